// Our own printf-style formatter, identical on every platform: "%s" always takes a wide string.
// Conversions: %s %c %d %u %x %% with the flags '-' and '0', a width and a precision, each of which
// may be '*' (an int argument taken before the value).
#pragma once

#include <cstdarg>
#include <cstddef>

// Formats into out (capacity characters, terminator included), cutting what does not fit.
// Returns the number of characters stored, without the terminator.
size_t FormatTextV(wchar_t* out, size_t capacity, const wchar_t* format, va_list args);
size_t FormatText(wchar_t* out, size_t capacity, const wchar_t* format, ...);
