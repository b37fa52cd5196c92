// How the log pane turns the engine's console-style texts into lines. The engine ends lines with
// "\n" alone and redraws its counter and progress bar with "\r"; the pane needs "\r\n" and has no
// cursor to move back, so a "\r" becomes "the text after it replaces the pane's last line".
//
// The rule lives here once and works on any pane given as two operations: the edit control of the
// window (gui/log_view) and an in-memory model (gui/log_model) that the tests run on both builds.
#pragma once

// A pane as its two operations. Texts are null-terminated and valid only during the call.
struct LogPane {
    void* context;
    // Adds text at the very end of the pane.
    void (*append)(void* context, const wchar_t* text);
    // Replaces the pane's last line (everything after its last line break) with text, which may
    // be empty; the line break before it stays.
    void (*replaceLastLine)(void* context, const wchar_t* text);
};

// Adds one engine text to the pane: each "\n" is appended as "\r\n"; each "\r" makes the text up
// to the next "\r", "\n" or the end replace the last line. An empty text changes nothing.
void RenderLogText(const LogPane& pane, const wchar_t* text);
