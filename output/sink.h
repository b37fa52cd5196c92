// The last stage of message output: where a finished message goes. The installed sink (the
// window's log pane) takes it when there is one, else the platform's console path.
#pragma once

#include <cstddef>

// Receives each finished message; the text is valid only during the call.
using OutputSink = void (*)(const wchar_t* text);

// Every later message goes to sink instead of the console.
void SetOutputSink(OutputSink sink);
// Every later message goes to the console.
void ClearOutputSink();

// Sends one finished message (text[length] is L'\0') to the sink or the console. Returns its
// length when a sink took it, else the number of characters the console took (0 on failure).
int DeliverMessage(const wchar_t* text, size_t length);

// Platform console path: writes text, unchanged, to a terminal or real console at once and to a
// file or a pipe in blocks of whole messages (at the latest kConsoleBlockDelayMs later, or at
// FlushMessages); returns the characters written or held, 0 on failure.
int WriteConsoleText(const wchar_t* text, size_t length);
#ifndef _WIN32
// Writes out what the console holds back, then looks at standard output again with the next
// message (a terminal, a pipe or a file), as at process start; for tests that redirect it.
void ReadConsoleKindAgain();
#endif
