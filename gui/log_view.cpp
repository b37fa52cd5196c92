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

void EditAppend(void* context, const wchar_t* text) {
    HWND edit = static_cast<HWND>(context);
    int length = GetWindowTextLengthW(edit);
    SendMessageW(edit, EM_SETSEL, length, length);
    SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

void EditReplaceLastLine(void* context, const wchar_t* text) {
    HWND edit = static_cast<HWND>(context);
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
    RenderLogText(LogPane{edit, EditAppend, EditReplaceLastLine}, text);
}

void LiftLogViewLimit(HWND edit) {
    // 0 means the largest limit the control has.
    SendMessageW(edit, EM_SETLIMITTEXT, 0, 0);
}
