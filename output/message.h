// Message output: every text of the engine goes through WriteMessage, then through the log order
// (output/log_order) to the sink (output/sink): the installed sink or the console.
#pragma once

#include <cstdarg>
#include <cstddef>

// Whoever writes messages also chooses where they go: the sink's calls come with these.
#include "output/sink.h"

#ifdef _WIN32
constexpr size_t kMessageLimit = 771;
#else
// Paths on Linux hold up to 1023 characters; the limit grows in proportion so a message naming
// such a path keeps its line end.
constexpr size_t kMessageLimit = 3071;
#endif

// Formats one message (cut at kMessageLimit characters) and delivers it whole, once. Returns its
// length when a sink took it, else the number of characters the console took (0 on failure).
int WriteMessage(const wchar_t* format, ...);
int WriteMessageV(const wchar_t* format, va_list args);

// Writes out every message the console holds back; returns once they are written. Called at the
// end of each pass, before the closing text, at a stop and before the process ends.
void FlushMessages();
