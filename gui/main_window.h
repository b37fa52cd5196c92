// The main window and run control: the fields, the Start button, the worker thread that runs the
// engine, and the end of each run.
#pragma once

#include <windows.h>

// Private messages posted to the main window. WM_APP_LOG_TEXT (wParam and lParam 0): log texts
// wait in the log queue after a quiet spell (gui/log_view). WM_APP_SYNC_DONE: posted once by the
// worker when a run has ended, after its last log text was queued.
constexpr UINT WM_APP_LOG_TEXT = WM_APP + 1;
constexpr UINT WM_APP_SYNC_DONE = WM_APP + 2;

// Control and menu ids.
constexpr int kSourceFieldId = 1001;
constexpr int kSourceBrowseId = 1002;
constexpr int kDestinationFieldId = 1003;
constexpr int kDestinationBrowseId = 1004;
constexpr int kDateFieldId = 1005;
constexpr int kDeletedBoxId = 1006;
constexpr int kStartButtonId = 1007;
constexpr int kLogViewId = 1008;
constexpr UINT kAboutMenuId = 9001;

extern const wchar_t kMainWindowClass[];  // "KestromeWndClass"
extern const wchar_t kMainWindowTitle[];  // "Kestrome - GUI"
extern const wchar_t kCloseQuestion[];    // asked when the window is closed during a run
extern const wchar_t kCloseQuestionCaption[];

// The main window's handle: set once by wWinMain after creation, never cleared. Read by the
// worker and by PostLogText.
extern HWND MainWindow;
// 1 while a run is in progress, else 0; touched only by the window thread, always interlocked.
extern volatile LONG SyncRunning;

// Registers "KestromeWndClass" with MainWndProc for instance; returns the class atom (0 on failure).
ATOM RegisterMainWindowClass(HINSTANCE instance);
// Creates the main window (not yet shown); its WM_CREATE creates the controls and the "About..."
// system-menu item. Null when the window cannot be created.
HWND CreateMainWindow(HINSTANCE instance);

// The window procedure of the main window.
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The worker: runs RunSync over the argument vector (a heap std::vector<std::wstring>, whose
// ownership it takes), posts WM_APP_SYNC_DONE to MainWindow, frees the vector; returns 0.
DWORD WINAPI SyncThreadProc(LPVOID argumentVector);
