// The About box (dialog resource 101) and the folder picker behind the Browse buttons.
#pragma once

#include <string>

#include <windows.h>

#include "gui/resource_ids.h"

constexpr int kAboutDialogId = IDD_ABOUT;
constexpr int kAboutTextId = IDC_ABOUT_TEXT;
constexpr int kAboutOkId = IDC_ABOUT_OK;

// The four lines of the About box: long product name, "Version " and the project's version, the
// maker's domain and notice, each ending in "\r\n".
std::wstring BuildAboutText();

// The About box's dialog procedure: sets the text on WM_INITDIALOG; OK, Enter, Escape and the close
// box end it with result 0.
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Shows the shell's folder browser owned by owner; on a chosen file-system folder writes its path
// into path (at least MAX_PATH characters) and returns true. Needs COM on the calling thread.
bool BrowseForFolder(HWND owner, wchar_t* path);
