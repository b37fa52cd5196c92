// The log view: engine messages travel from the worker thread to the window's read-only edit
// control (id 1008) as owned copies, and are added there with the pane's line rule.
#pragma once

#include <windows.h>

#include <string>

// How the engine's threads hand log texts to the window thread. Each text is copied into COM task
// memory and put into a queue of fixed size under a lock, in the order written; the window takes
// everything queued in one go. It is woken by one posted WM_APP_LOG_TEXT when texts start to come
// after a quiet spell, and then by its log timer for as long as they keep coming: a posted message
// is taken before any click or key, so a stream of them would keep the window deaf.
//
// How the queue posts its wake-up and the worker the end of the run; PostMessageW unless a test
// installs its own, to refuse posts the way a full message queue does.
using WindowPostFunction = BOOL(WINAPI*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
extern WindowPostFunction PostToWindow;

// Posts through PostToWindow; a refused post is tried again after a pause for as long as window
// exists. False when the window is gone and the message was not posted.
bool PostWhileWindowExists(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The id of the window's log timer (WM_TIMER), which runs while texts keep coming.
constexpr UINT_PTR kLogTimerId = 1;
// Texts the queue holds at most; a writer waits for room.
constexpr size_t kLogQueueCapacity = 1024;
// A writer waits while the oldest text not yet in the pane is older than this, so the pane is
// never more than about this much of the engine's work behind.
constexpr ULONGLONG kLogLagLimitMs = 200;

// On the window thread, at the window's creation: the queue feeds window from now on, empty.
void OpenLogQueue(HWND window);
// On the window thread, when window goes: the texts still queued are freed, later ones are
// dropped, and a writer waiting for room goes on.
void CloseLogQueue(HWND window);

// The output sink of the window front end, on any thread of the engine: queues a copy of text for
// the window and wakes it when the queue was idle. Waits while the queue is full or the window
// more than kLogLagLimitMs behind (never on the window's own thread, which takes the texts itself
// instead). The text is dropped only without a window or without memory.
void PostLogText(const wchar_t* text);

// On the window thread, for WM_APP_LOG_TEXT and the log timer: adds every queued text to the
// window's log view in order, as one batch drawn once, and frees them. Keeps the log timer
// running while texts come, and stops it at the first tick that finds none.
void TakeLogTexts(HWND window);
// Texts queued and not yet in the pane.
size_t QueuedLogTexts();

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
