#include "gui/main_window.h"

#include <objbase.h>

#include <string>
#include <vector>

#include "cli/run_thread.h"
#include "engine/date_filter.h"
#include "engine/fs/thread.h"
#include "engine/run_state.h"
#include "engine/run_sync.h"
#include "gui/about_box.h"
#include "gui/log_view.h"
#include "output/sink.h"

const wchar_t kMainWindowClass[] = L"KestromeWndClass";
const wchar_t kMainWindowTitle[] = L"Kestrome - GUI";
const wchar_t kCloseQuestion[] = L"A synchronization is running. Stop it and close the window?";
const wchar_t kCloseQuestionCaption[] = L"Kestrome";

HWND MainWindow = nullptr;
volatile LONG SyncRunning = 0;

namespace {

using ArgumentVector = std::vector<std::wstring>;

constexpr DWORD kMainWindowStyle = WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX;
constexpr int kMainWindowWidth = 680;
constexpr int kMainWindowHeight = 420;
constexpr DWORD kLabelStyle = WS_CHILD | WS_VISIBLE;
constexpr DWORD kFieldStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE;
constexpr DWORD kCheckBoxStyle = WS_CHILD | WS_VISIBLE | BS_AUTOCHECKBOX;
constexpr DWORD kLogViewStyle =
    WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY;

constexpr int kFolderFieldLength = 260;  // characters, terminator included
constexpr int kDateFieldLength = 64;

const wchar_t kInvalidDateText[] = L"Invalid date format. Use d.m.Y or Y.m.d or Y-m-d or m/d/Y.";

struct ControlSpec {
    int id;
    const wchar_t* className;
    const wchar_t* text;
    DWORD style;
    int x, y, width, height;
};

const ControlSpec kControls[] = {
    {0, L"STATIC", L"Source:", kLabelStyle, 10, 10, 50, 20},
    {kSourceFieldId, L"EDIT", L"", kFieldStyle, 70, 10, 460, 22},
    {kSourceBrowseId, L"BUTTON", L"Browse...", kButtonStyle, 540, 10, 90, 22},
    {0, L"STATIC", L"Dest:", kLabelStyle, 10, 40, 50, 20},
    {kDestinationFieldId, L"EDIT", L"", kFieldStyle, 70, 40, 460, 22},
    {kDestinationBrowseId, L"BUTTON", L"Browse...", kButtonStyle, 540, 40, 90, 22},
    {0, L"STATIC", L"Date (optional):", kLabelStyle, 10, 70, 100, 20},
    {kDateFieldId, L"EDIT", L"", kFieldStyle, 120, 70, 200, 22},
    {kDeletedBoxId, L"BUTTON", L"Move deleted files to Deleted folder", kCheckBoxStyle, 340, 70, 260, 22},
    {kStartButtonId, L"BUTTON", L"Start", kButtonStyle, 10, 100, 80, 28},
    {kLogViewId, L"EDIT", L"", kLogViewStyle, 10, 140, 640, 210},
};

// Window-thread state of closing during a run: the question is on screen, or the user said Yes
// and the window goes as soon as the stopped worker reports.
bool CloseQuestionShown = false;
bool CloseAfterRun = false;
// The "Invalid date" box is on screen: the field loses the focus to the box itself, and that
// EN_KILLFOCUS must not stack a second box on the first.
bool DateComplaintShown = false;

bool IsRunning() { return InterlockedCompareExchange(&SyncRunning, 0, 0) == 1; }

void ComplainAboutDate(HWND window) {
    DateComplaintShown = true;
    MessageBoxW(window, kInvalidDateText, L"Invalid date", MB_ICONERROR);
    DateComplaintShown = false;
    SetFocus(GetDlgItem(window, kDateFieldId));
}

void OnCreate(HWND window) {
    for (const ControlSpec& control : kControls) {
        CreateWindowExW(0, control.className, control.text, control.style, control.x, control.y, control.width,
                        control.height, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), nullptr,
                        nullptr);
    }
    LiftLogViewLimit(GetDlgItem(window, kLogViewId));
    OpenLogQueue(window);
    HMENU systemMenu = GetSystemMenu(window, FALSE);
    if (systemMenu) {
        AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(systemMenu, MF_STRING, kAboutMenuId, L"About...");
    }
}

void OnDateFieldLeft(HWND window) {
    if (DateComplaintShown) return;
    wchar_t date[kDateFieldLength] = {};
    GetWindowTextW(GetDlgItem(window, kDateFieldId), date, kDateFieldLength);
    if (date[0] != L'\0' && !IsValidDateText(date)) ComplainAboutDate(window);
}

void OnBrowse(HWND window, int fieldId) {
    wchar_t path[MAX_PATH] = {};
    if (BrowseForFolder(window, path)) SetWindowTextW(GetDlgItem(window, fieldId), path);
}

// Leaves the running state when no worker could be started.
void AbandonRun(HWND window, ArgumentVector* arguments) {
    InterlockedExchange(&SyncRunning, 0);
    ClearOutputSink();
    EnableWindow(GetDlgItem(window, kStartButtonId), TRUE);
    delete arguments;
}

void OnStart(HWND window) {
    if (IsRunning()) return;
    wchar_t source[kFolderFieldLength] = {};
    wchar_t destination[kFolderFieldLength] = {};
    wchar_t date[kDateFieldLength] = {};
    GetWindowTextW(GetDlgItem(window, kSourceFieldId), source, kFolderFieldLength);
    GetWindowTextW(GetDlgItem(window, kDestinationFieldId), destination, kFolderFieldLength);
    GetWindowTextW(GetDlgItem(window, kDateFieldId), date, kDateFieldLength);
    bool deletedMode = IsDlgButtonChecked(window, kDeletedBoxId) == BST_CHECKED;

    if (source[0] == L'\0' || destination[0] == L'\0') {
        MessageBoxW(window, L"Please specify source and destination folders.", L"Error", MB_ICONERROR);
        return;
    }
    // Checked even when the box wins over the date: a wrong date is a typing mistake to point out.
    if (date[0] != L'\0' && !IsValidDateText(date)) {
        ComplainAboutDate(window);
        return;
    }
    SetWindowTextW(GetDlgItem(window, kLogViewId), L"");

    ArgumentVector* arguments = new ArgumentVector{L"Kestrome.exe", source, destination};
    if (deletedMode) {
        arguments->push_back(L"d");
    } else if (date[0] != L'\0') {
        arguments->push_back(date);
    }

    ClearStopRequest();
    SetOutputSink(PostLogText);
    InterlockedExchange(&SyncRunning, 1);
    EnableWindow(GetDlgItem(window, kStartButtonId), FALSE);
    // The worker walks folder trees recursively with path buffers on its stack: it gets the
    // console program's run stack, enough for the deepest tree a path allows.
    if (!StartThread([](void* vector) { SyncThreadProc(vector); }, arguments, kRunStackSize, nullptr)) {
        AbandonRun(window, arguments);
    }
}

void OnCommand(HWND window, WPARAM wParam) {
    int id = LOWORD(wParam);
    int code = HIWORD(wParam);
    if (code == EN_KILLFOCUS && id == kDateFieldId) {
        OnDateFieldLeft(window);
    } else if (id == kSourceBrowseId) {
        OnBrowse(window, kSourceFieldId);
    } else if (id == kDestinationBrowseId) {
        OnBrowse(window, kDestinationFieldId);
    } else if (id == kStartButtonId) {
        OnStart(window);
    }
}

void OnSyncDone(HWND window) {
    // The worker queued its last text before it posted this: the pane is complete after this.
    TakeLogTexts(window);
    InterlockedExchange(&SyncRunning, 0);
    ClearOutputSink();
    EnableWindow(GetDlgItem(window, kStartButtonId), TRUE);
    if (CloseAfterRun) {
        // Every text of the stopped run came before this message, so nothing more is on its way.
        DestroyWindow(window);
        return;
    }
    MessageBoxW(window, L"Synchronization finished.", L"Done", MB_OK);
}

// Closing during a run would end the process under the engine, in the middle of a copy. Ask;
// on Yes stop the engine and let the window go when the worker reports (OnSyncDone). The message
// loop keeps running meanwhile, so the worker's texts are taken and it can reach its end.
void OnClose(HWND window) {
    if (!IsRunning()) {
        DestroyWindow(window);
        return;
    }
    if (CloseQuestionShown || CloseAfterRun) return;
    CloseQuestionShown = true;
    int answer = MessageBoxW(window, kCloseQuestion, kCloseQuestionCaption, MB_YESNO | MB_ICONWARNING);
    CloseQuestionShown = false;
    if (answer != IDYES) return;
    // The run may have ended while the question was on screen.
    if (!IsRunning()) {
        DestroyWindow(window);
        return;
    }
    CloseAfterRun = true;
    RequestStop();
}

void OnDestroy(HWND window) {
    KillTimer(window, kLogTimerId);
    CloseLogQueue(window);
    PostQuitMessage(0);
}

}  // namespace

ATOM RegisterMainWindowClass(HINSTANCE instance) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = CreateSolidBrush(RGB(240, 240, 240));
    windowClass.lpszClassName = kMainWindowClass;
    return RegisterClassW(&windowClass);
}

HWND CreateMainWindow(HINSTANCE instance) {
    return CreateWindowExW(0, kMainWindowClass, kMainWindowTitle, kMainWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                           kMainWindowWidth, kMainWindowHeight, nullptr, nullptr, instance, nullptr);
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        OnCreate(window);
        return 0;
    case WM_DESTROY:
        OnDestroy(window);
        return 0;
    case WM_CLOSE:
        OnClose(window);
        return 0;
    case WM_COMMAND:
        OnCommand(window, wParam);
        return 0;
    case WM_SYSCOMMAND:
        if (LOWORD(wParam) == kAboutMenuId) {
            DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kAboutDialogId), window, AboutDialogProc, 0);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_APP_LOG_TEXT:
        TakeLogTexts(window);
        return 0;
    case WM_TIMER:
        if (wParam == kLogTimerId) {
            TakeLogTexts(window);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_APP_SYNC_DONE:
        OnSyncDone(window);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

DWORD WINAPI SyncThreadProc(LPVOID argumentVector) {
    ArgumentVector* arguments = static_cast<ArgumentVector*>(argumentVector);
    const wchar_t** pointers = new const wchar_t*[arguments->size()];
    for (size_t i = 0; i < arguments->size(); ++i) pointers[i] = (*arguments)[i].c_str();
    RunSync(static_cast<int32_t>(arguments->size()), pointers);
    // A lost end signal would leave the window running for ever: retried like the log texts.
    PostWhileWindowExists(MainWindow, WM_APP_SYNC_DONE, 0, 0);
    delete[] pointers;
    delete arguments;
    return 0;
}
