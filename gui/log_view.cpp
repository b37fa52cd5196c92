#include "gui/log_view.h"

#include <objbase.h>

#include <cstdint>
#include <cwchar>

#include "gui/log_text.h"
#include "gui/window_ids.h"

WindowPostFunction PostToWindow = PostMessageW;

namespace {

// A refused post means the window's queue is full (10,000 messages on Windows); the window thread
// empties it within milliseconds, so a short sleep between tries costs the run nothing.
constexpr DWORD kRetryPauseMs = 1;
// The log timer's period: the pane is brought up to date this often while a run writes.
constexpr UINT kLogTickMs = 40;
// A waiting writer looks this often whether the window still exists: one destroyed from another
// thread, without its WM_DESTROY reaching CloseLogQueue, must not hold the engine for ever.
constexpr DWORD kWaitCheckMs = 100;

struct QueuedText {
    wchar_t* text;         // owned copy in COM task memory
    ULONGLONG queuedAt;    // GetTickCount64 when it was queued
};

// Texts between head and tail (counts that only grow; slot = count % capacity) are queued, the
// oldest at head. The window reads the slots it takes outside the lock: writers never reach
// them, because head moves past them only when the window is done with them.
struct LogQueue {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE taken = CONDITION_VARIABLE_INIT;  // head moved or the queue closed
    HWND window = nullptr;                               // null: texts are dropped
    uint64_t head = 0;
    uint64_t tail = 0;
    bool woken = false;  // a wake-up is posted or the log timer runs: no further post is needed
    QueuedText slots[kLogQueueCapacity];
};
LogQueue g_queue;

QueuedText& Slot(uint64_t count) { return g_queue.slots[count % kLogQueueCapacity]; }

// Under the lock: the writer has to let the window catch up first.
bool MustWait() {
    uint64_t queued = g_queue.tail - g_queue.head;
    if (queued == kLogQueueCapacity) return true;
    return queued > 0 && GetTickCount64() - Slot(g_queue.head).queuedAt > kLogLagLimitMs;
}

void EditAppend(HWND edit, const wchar_t* text) {
    int length = GetWindowTextLengthW(edit);
    SendMessageW(edit, EM_SETSEL, length, length);
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

void EditReplaceLastLine(HWND edit, const wchar_t* text) {
    LRESULT count = SendMessageW(edit, EM_GETLINECOUNT, 0, 0);
    LRESULT start = 0;
    if (count > 0) {
        LRESULT index = SendMessageW(edit, EM_LINEINDEX, count - 1, 0);
        if (index != -1) start = index;
    }
    int length = GetWindowTextLengthW(edit);
    SendMessageW(edit, EM_SETSEL, start, length);
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

void BatchAppend(void* context, const wchar_t* text) { static_cast<LogBatch*>(context)->appended += text; }

void BatchReplaceLastLine(void* context, const wchar_t* text) {
    LogBatch* batch = static_cast<LogBatch*>(context);
    FlushLogBatch(*batch);
    EditReplaceLastLine(batch->edit, text);
}

}  // namespace

bool PostWhileWindowExists(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // Checking the window after each refusal ends the loop when it goes.
    while (!PostToWindow(window, message, wParam, lParam)) {
        if (!IsWindow(window)) return false;
        Sleep(kRetryPauseMs);
    }
    return true;
}

void OpenLogQueue(HWND window) {
    AcquireSRWLockExclusive(&g_queue.lock);
    for (; g_queue.head != g_queue.tail; ++g_queue.head) CoTaskMemFree(Slot(g_queue.head).text);
    g_queue.window = window;
    g_queue.woken = false;
    ReleaseSRWLockExclusive(&g_queue.lock);
}

void CloseLogQueue(HWND window) {
    AcquireSRWLockExclusive(&g_queue.lock);
    if (g_queue.window == window) {
        for (; g_queue.head != g_queue.tail; ++g_queue.head) CoTaskMemFree(Slot(g_queue.head).text);
        g_queue.window = nullptr;
        g_queue.woken = false;
        WakeAllConditionVariable(&g_queue.taken);
    }
    ReleaseSRWLockExclusive(&g_queue.lock);
}

void PostLogText(const wchar_t* text) {
    size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (!copy) return;
    memcpy(copy, text, bytes);

    AcquireSRWLockExclusive(&g_queue.lock);
    HWND window = g_queue.window;
    while (window && MustWait()) {
        if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId()) {
            // The window's own thread cannot wait for itself: it takes the texts at once.
            ReleaseSRWLockExclusive(&g_queue.lock);
            TakeLogTexts(window);
            AcquireSRWLockExclusive(&g_queue.lock);
        } else if (!SleepConditionVariableSRW(&g_queue.taken, &g_queue.lock, kWaitCheckMs, 0) && !IsWindow(window)) {
            window = nullptr;
            break;
        }
        if (g_queue.window != window) window = nullptr;
    }
    // Dropping a text would leave a log with holes nobody can see; only a window that is gone can
    // never take it.
    if (!window) {
        ReleaseSRWLockExclusive(&g_queue.lock);
        CoTaskMemFree(copy);
        return;
    }
    Slot(g_queue.tail) = QueuedText{copy, GetTickCount64()};
    ++g_queue.tail;
    bool wake = !g_queue.woken;
    g_queue.woken = true;
    ReleaseSRWLockExclusive(&g_queue.lock);
    // A wake-up that is refused for good belongs to a window that is gone; its WM_DESTROY frees
    // the text with the rest of the queue.
    if (wake) PostWhileWindowExists(window, WM_APP_LOG_TEXT, 0, 0);
}

// Turning drawing off on the pane alone: WM_SETREDRAW clears the visible state of the window it
// goes to, and the main window without it would let clicks on its caption and buttons fall
// through. With drawing off the pane neither scrolls nor paints line by line; the one repaint at
// the end shows the batch whole, so no frame shows it half drawn.
void TakeLogTexts(HWND window) {
    AcquireSRWLockExclusive(&g_queue.lock);
    bool mine = g_queue.window == window;
    uint64_t from = g_queue.head;
    uint64_t to = g_queue.tail;
    if (mine && from == to) g_queue.woken = false;
    ReleaseSRWLockExclusive(&g_queue.lock);
    if (!mine) return;
    if (from == to) {
        // A quiet tick: the next text wakes the window with a post of its own.
        KillTimer(window, kLogTimerId);
        return;
    }
    SetTimer(window, kLogTimerId, kLogTickMs, nullptr);

    LogBatch batch = {GetDlgItem(window, kLogViewId), std::wstring()};
    SendMessageW(batch.edit, WM_SETREDRAW, FALSE, 0);
    for (uint64_t at = from; at != to; ++at) {
        AppendLogTextToBatch(batch, Slot(at).text);
        CoTaskMemFree(Slot(at).text);
    }
    FlushLogBatch(batch);
    SendMessageW(batch.edit, WM_SETREDRAW, TRUE, 0);
    RedrawWindow(batch.edit, nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);

    AcquireSRWLockExclusive(&g_queue.lock);
    g_queue.head = to;
    WakeAllConditionVariable(&g_queue.taken);
    ReleaseSRWLockExclusive(&g_queue.lock);
}

size_t QueuedLogTexts() {
    AcquireSRWLockShared(&g_queue.lock);
    size_t queued = static_cast<size_t>(g_queue.tail - g_queue.head);
    ReleaseSRWLockShared(&g_queue.lock);
    return queued;
}

void AppendLogText(HWND edit, const wchar_t* text) {
    LogBatch batch = {edit, std::wstring()};
    AppendLogTextToBatch(batch, text);
    FlushLogBatch(batch);
}

void AppendLogTextToBatch(LogBatch& batch, const wchar_t* text) {
    RenderLogText(LogPane{&batch, BatchAppend, BatchReplaceLastLine}, text);
}

void FlushLogBatch(LogBatch& batch) {
    if (batch.appended.empty()) return;
    // Each EM_REPLACESEL re-lays the control's text out; on a long log that is the expensive
    // part, so one per batch instead of one per line.
    EditAppend(batch.edit, batch.appended.c_str());
    batch.appended.clear();
}

void LiftLogViewLimit(HWND edit) {
    // 0 means the largest limit the control has.
    SendMessageW(edit, EM_SETLIMITTEXT, 0, 0);
}
