// The main window and run control: the fields, the Start button, the worker thread that runs the
// engine, and the end of each run.
#pragma once

#include <windows.h>

// Its private messages and control ids, for those who post to it or drive it.
#include "gui/window_ids.h"

extern const wchar_t kMainWindowClass[];  // "KestromeWndClass"
extern const wchar_t kMainWindowTitle[];  // "Kestrome - GUI"
extern const wchar_t kCloseQuestion[];    // asked when the window is closed during a run
extern const wchar_t kCloseQuestionCaption[];

// The main window's handle: set once by wWinMain after creation, never cleared. Read by the
// worker, which posts the end of its run to it (PostLogText finds the window in the log queue).
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
