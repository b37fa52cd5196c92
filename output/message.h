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

// Platform console path: writes text once, unchanged; returns the characters written, 0 on failure.
int WriteConsoleText(const wchar_t* text, size_t length);
