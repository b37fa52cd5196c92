#include "gui/log_view.h"

#include <objbase.h>

#include <cwchar>

#include "gui/log_text.h"
#include "gui/main_window.h"

WindowPostFunction PostToWindow = PostMessageW;

namespace {

// A refused post means the window's queue is full (10,000 messages on Windows); the window thread
// empties it within milliseconds, so a short sleep between tries costs the run nothing.
constexpr DWORD kRetryPauseMs = 1;

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

void PostLogText(const wchar_t* text) {
    HWND window = MainWindow;
    if (!window) return;
    size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    wchar_t* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (!copy) return;
    memcpy(copy, text, bytes);
    // Dropping a text would leave a log with holes nobody can see; only a window that is gone can
    // never take it.
    if (!PostWhileWindowExists(window, WM_APP_LOG_TEXT, reinterpret_cast<WPARAM>(copy), 0)) CoTaskMemFree(copy);
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
