// The log view: engine messages travel from the worker thread to the window's read-only edit
// control (id 1008) as owned copies, and are added there with the pane's line rule.
#pragma once

#include <windows.h>

#include <string>

// How the worker posts to the window (log texts and the end of the run); PostMessageW unless a
// test installs its own, to refuse posts the way a full message queue does.
using WindowPostFunction = BOOL(WINAPI*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
extern WindowPostFunction PostToWindow;

// Posts through PostToWindow; a refused post is tried again after a pause for as long as window
// exists. False when the window is gone and the message was not posted.
bool PostWhileWindowExists(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The output sink of the window front end, on the worker thread: copies text into COM task memory
// and posts it to MainWindow as WM_APP_LOG_TEXT. A refused post is retried while the window
// exists; the text is dropped only without a window or without memory.
void PostLogText(const wchar_t* text);

// Adds one engine text to the edit control, on the window thread (see RenderLogText).
void AppendLogText(HWND edit, const wchar_t* text);

// Several texts added in a row: plain appends are gathered and reach the edit control as one
// EM_REPLACESEL, sent before any last-line replacement and at the flush, so the pane ends exactly
// as after one AppendLogText per text.
struct LogBatch {
    HWND edit;
    std::wstring appended;  // appended text not yet in the edit control
};
void AppendLogTextToBatch(LogBatch& batch, const wchar_t* text);
void FlushLogBatch(LogBatch& batch);

// Lets the edit control hold text of any length; its default stops near 32,000 characters.
void LiftLogViewLimit(HWND edit);
