// Turning fuzzer bytes into the wide texts the engine takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Bytes 0x01-0xFC stand for themselves (ASCII and Latin-1); 0xFD, 0xFE and 0xFF take the next
// two bytes as a character of the Basic Multilingual Plane, of the planes above it, or as a code
// beyond the last character, so that surrogates, digits of other scripts, wide spaces and values
// no text should hold are all reachable. A 0 byte ends the text.
struct FuzzBytes {
    const uint8_t* data;
    size_t size;

    bool Empty() const { return size == 0; }
    uint8_t Byte() {
        if (size == 0) return 0;
        --size;
        return *data++;
    }
    // One text up to a 0 byte or the end, at most limit characters.
    std::wstring Text(size_t limit) {
        std::wstring text;
        while (size > 0 && text.size() < limit) {
            uint8_t b = Byte();
            if (b == 0) break;
            if (b < 0xFD) {
                text += static_cast<wchar_t>(b);
                continue;
            }
            unsigned high = Byte(), low = Byte();
            unsigned value = (high << 8) | low;
            if (b == 0xFE) value += 0x10000;
            if (b == 0xFF) value = (value << 8) | 0xFF;
            if (value == 0) value = 0xFFFD;
            text += static_cast<wchar_t>(value);
        }
        return text;
    }
};
