// Message output: every text of the engine goes through WriteMessage, to the installed sink or to
// the console.
#pragma once

#include <cstdarg>
#include <cstddef>

#ifdef _WIN32
constexpr size_t kMessageLimit = 771;
#else
// Paths on Linux hold up to 1023 characters; the limit grows in proportion so a message naming
// such a path keeps its line end.
constexpr size_t kMessageLimit = 3071;
#endif

// Receives each finished message; the text is valid only during the call.
using OutputSink = void (*)(const wchar_t* text);

// Every later message goes to sink instead of the console.
void SetOutputSink(OutputSink sink);
// Every later message goes to the console.
void ClearOutputSink();

// Formats one message (cut at kMessageLimit characters) and delivers it whole, once. Returns its
// length when a sink took it, else the number of characters the console took (0 on failure).
int WriteMessage(const wchar_t* format, ...);
int WriteMessageV(const wchar_t* format, va_list args);

// Sends one finished message (text[length] is L'\0') to the sink or the console, as WriteMessage
// does for a thread that writes into no log part.
int DeliverMessage(const wchar_t* text, size_t length);

// Writes out every message the console holds back; returns once they are written. Called at the
// end of each pass, before the closing text, at a stop and before the process ends.
void FlushMessages();

// Platform console path: writes text, unchanged, to a terminal or real console at once and to a
// file or a pipe in blocks of whole messages (at the latest kConsoleBlockDelayMs later, or at
// FlushMessages); returns the characters written or held, 0 on failure.
int WriteConsoleText(const wchar_t* text, size_t length);
#ifndef _WIN32
// Flushes, then looks at standard output again with the next message (a terminal, a pipe or a
// file), as at process start; for tests that redirect it.
void ReadConsoleKindAgain();
#endif
