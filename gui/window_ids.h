// The main window's private messages and the ids of its controls and menu item: what the window,
// its log view and the tests that drive them agree on, kept apart from either's code.
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
