// Helpers of the end-to-end test that drives the real Kestrome.exe from another process, as a
// person would with the mouse: only window messages, window queries and the files on disk.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The program under test; set from the command line by main.
extern std::wstring KestromePath;

// Milliseconds since the system started; for timeouts.
ULONGLONG Now();
// Waits until ready() is true, pumping nothing; false after timeoutMs.
template <typename Ready>
bool WaitUntil(Ready ready, DWORD timeoutMs) {
    ULONGLONG end = Now() + timeoutMs;
    while (!ready()) {
        if (Now() > end) return false;
        Sleep(20);
    }
    return true;
}

// A running Kestrome.exe and its main window.
struct Kestrome {
    PROCESS_INFORMATION process = {};
    HWND window = nullptr;
};
// Starts the program and waits for its "KestromeWndClass" window; false when it does not come.
bool StartKestrome(Kestrome& app);
// Waits for the process to end; false on timeout. exitCode receives its exit code.
bool WaitForExit(Kestrome& app, DWORD timeoutMs, DWORD* exitCode);
// Ends the process the hard way and forgets its handles (after a failed test).
void KillKestrome(Kestrome& app);

// Text and class of any window, also of another process.
std::wstring WindowText(HWND window);
std::wstring ClassOf(HWND window);
// Sets a control's text with WM_SETTEXT; false when the window does not answer.
bool SetText(HWND window, const std::wstring& text);

// The message box (or dialog) of class "#32770" with this caption (any when empty), owned by owner;
// null if none.
HWND FindBox(HWND owner, const std::wstring& caption);
// Waits for such a box; null after timeoutMs.
HWND WaitForBox(HWND owner, const std::wstring& caption, DWORD timeoutMs);
// The text of a message box (its static control that is not the icon).
std::wstring BoxText(HWND box);
// True when the box shows an icon.
bool BoxHasIcon(HWND box);
// Presses the box's button with this id and waits until the box is gone; false if it stays.
bool PressBoxButton(HWND box, int id);

// The window that has the keyboard focus in the thread of window; null if none.
HWND FocusOfThreadOf(HWND window);

// Real input, through the system's input queue as a mouse and a keyboard give it (SendInput).
// A left click at a point of the screen.
void ClickAt(POINT screen);
// Presses the keys in order and lets them go in reverse order (e.g. {VK_MENU, VK_F4}).
void PressKeys(const std::vector<WORD>& keys);
// The middle of a window, in screen coordinates.
POINT CenterOf(HWND window);
// A point on window's close box, found by asking the window what lies where (WM_NCHITTEST);
// false when the window draws no close box of its own.
bool FindCloseBox(HWND window, POINT* at);

// Files on disk.
// A fresh folder in the temporary folder, removed by RemoveTempFolders.
std::wstring MakeTempFolder(const std::wstring& tag);
void RemoveTempFolders();
// Writes a file, creating its missing folders first unless makeFolders is false.
void WriteFileBytes(const std::wstring& path, const std::string& bytes, bool makeFolders = true);
bool ReadFileBytes(const std::wstring& path, std::string* bytes);
// Removes a folder with everything below it.
void RemoveTree(const std::wstring& path);
// Relative paths of every file below root, sorted.
std::vector<std::wstring> ListFiles(const std::wstring& root);

// Lines of a pane text (split at "\r\n").
std::vector<std::wstring> SplitLines(const std::wstring& text);
// UTF-8 for failure output.
std::string Narrow(const std::wstring& text);
