// UTF-8 at the boundary of the system. Bytes that are not valid UTF-8 become U+DC80 + byte in wide
// text and turn back into the same byte, so every name on disk round-trips.
#pragma once

#include <cstddef>
#include <string>

// The number of bytes AppendUtf8 makes of length wide characters.
size_t Utf8Length(const wchar_t* text, size_t length);
// Appends the UTF-8 form of length wide characters to out.
void AppendUtf8(std::string& out, const wchar_t* text, size_t length);
// UTF-8 (or any bytes) to wide text into out (capacity characters, terminator included).
// False when it does not fit.
bool Utf8ToWide(const char* bytes, size_t length, wchar_t* out, size_t capacity);
// Wide text to UTF-8 into out (capacity bytes, terminator included). False when it does not fit.
bool WideToUtf8(const wchar_t* text, char* out, size_t capacity);
