#include "engine/fs/text_encoding.h"

#include <cstdint>
#include <cstring>
#include <cwchar>

// Every name and every message passes through here, so the loops are plain, take runs of ASCII
// several units at a time, and check the output room per character only when the worst case
// might not fit.
//
// Wide text is UTF-16 where wchar_t has 16 bits (Windows) and UTF-32 where it has 32 (Linux). Only
// the UTF-32 form can carry an undecodable byte back out: there U+DC80 + byte stands for that byte,
// which is how every byte string read from the disk survives the trip through the engine. UTF-16
// text uses surrogates for its own purpose, so there invalid bytes and lone surrogates become
// U+FFFD, as the system's own conversions do.

namespace {

constexpr bool kUtf16 = sizeof(wchar_t) == 2;
constexpr uint32_t kReplacement = 0xFFFD;
constexpr uint32_t kEscapeBase = 0xDC00;  // U+DC80..U+DCFF stand for bytes 0x80..0xFF
constexpr uint32_t kEscapedByte = 0x80000000u;  // marks "write this byte as it is"
// The most bytes one wide unit can need: a UTF-16 unit alone gives at most three (a pair gives
// four for two units); a UTF-32 unit gives four.
constexpr size_t kMaxBytesPerUnit = kUtf16 ? 3 : 4;

inline uint32_t Unit(wchar_t w) {
    return kUtf16 ? static_cast<uint32_t>(w) & 0xFFFF : static_cast<uint32_t>(w);
}

// Reads the code point at text[i] (i < length) and advances i. Returns kEscapedByte | byte for an
// escaped byte; U+FFFD for a lone surrogate or a value beyond U+10FFFF (a negative wchar_t too).
inline uint32_t NextCodePoint(const wchar_t* text, size_t length, size_t& i) {
    uint32_t c = Unit(text[i++]);
    if (c < 0xD800) return c;
    if constexpr (kUtf16) {
        if (c > 0xDFFF) return c;
        if (c <= 0xDBFF && i < length) {
            uint32_t d = Unit(text[i]);
            if (d >= 0xDC00 && d <= 0xDFFF) {
                ++i;
                return 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
            }
        }
        return kReplacement;
    } else {
        if (c <= 0xDFFF) {
            if (c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF) return kEscapedByte | (c - kEscapeBase);
            return kReplacement;
        }
        return c <= 0x10FFFF ? c : kReplacement;
    }
}

inline size_t EncodedSize(uint32_t c) {
    if (c < 0x80 || (c & kEscapedByte)) return 1;
    if (c < 0x800) return 2;
    return c < 0x10000 ? 3 : 4;
}

inline void EncodeCodePoint(uint32_t c, size_t size, char* out) {
    switch (size) {
        case 1:
            out[0] = static_cast<char>(c & 0xFF);
            break;
        case 2:
            out[0] = static_cast<char>(0xC0 | (c >> 6));
            out[1] = static_cast<char>(0x80 | (c & 0x3F));
            break;
        case 3:
            out[0] = static_cast<char>(0xE0 | (c >> 12));
            out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[2] = static_cast<char>(0x80 | (c & 0x3F));
            break;
        default:
            out[0] = static_cast<char>(0xF0 | (c >> 18));
            out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[3] = static_cast<char>(0x80 | (c & 0x3F));
            break;
    }
}

// Encodes length units into out (room bytes; checked per character only when kChecked). Returns
// the number of bytes written, or SIZE_MAX when they do not fit.
template <bool kChecked>
size_t Encode(const wchar_t* text, size_t length, char* out, size_t room) {
    size_t i = 0;
    size_t o = 0;
    while (i < length) {
        if (!kChecked) {
            while (i + 4 <= length &&
                   (Unit(text[i]) | Unit(text[i + 1]) | Unit(text[i + 2]) | Unit(text[i + 3])) < 0x80) {
                out[o] = static_cast<char>(text[i]);
                out[o + 1] = static_cast<char>(text[i + 1]);
                out[o + 2] = static_cast<char>(text[i + 2]);
                out[o + 3] = static_cast<char>(text[i + 3]);
                i += 4;
                o += 4;
            }
            if (i == length) break;
        }
        uint32_t c = NextCodePoint(text, length, i);
        size_t size = EncodedSize(c);
        if (kChecked && room - o < size) return SIZE_MAX;
        EncodeCodePoint(c, size, out + o);
        o += size;
    }
    return o;
}

inline bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Decodes the sequence at p (n >= 1 bytes available, p[0] >= 0x80) and sets used. Returns
// UINT32_MAX, used 1, when p[0] does not start a valid sequence: a stray continuation byte, an
// overlong form, an encoded surrogate, a code point beyond U+10FFFF, a byte >= 0xF5 or a sequence
// cut short.
inline uint32_t DecodeSequence(const unsigned char* p, size_t n, size_t& used) {
    used = 1;
    unsigned char b0 = p[0];
    if (b0 < 0xC2) return UINT32_MAX;
    if (b0 < 0xE0) {
        if (n < 2 || !IsContinuation(p[1])) return UINT32_MAX;
        used = 2;
        return (static_cast<uint32_t>(b0 & 0x1F) << 6) | (p[1] & 0x3F);
    }
    if (b0 < 0xF0) {
        if (n < 3) return UINT32_MAX;
        unsigned char b1 = p[1];
        unsigned char low = b0 == 0xE0 ? 0xA0 : 0x80;   // below: overlong
        unsigned char high = b0 == 0xED ? 0x9F : 0xBF;  // above: a surrogate
        if (b1 < low || b1 > high || !IsContinuation(p[2])) return UINT32_MAX;
        used = 3;
        return (static_cast<uint32_t>(b0 & 0x0F) << 12) | (static_cast<uint32_t>(b1 & 0x3F) << 6) |
               (p[2] & 0x3F);
    }
    if (b0 < 0xF5) {
        if (n < 4) return UINT32_MAX;
        unsigned char b1 = p[1];
        unsigned char low = b0 == 0xF0 ? 0x90 : 0x80;   // below: overlong
        unsigned char high = b0 == 0xF4 ? 0x8F : 0xBF;  // above: beyond U+10FFFF
        if (b1 < low || b1 > high || !IsContinuation(p[2]) || !IsContinuation(p[3]))
            return UINT32_MAX;
        used = 4;
        return (static_cast<uint32_t>(b0 & 0x07) << 18) | (static_cast<uint32_t>(b1 & 0x3F) << 12) |
               (static_cast<uint32_t>(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    }
    return UINT32_MAX;
}

constexpr uint64_t kHighBits = 0x8080808080808080ull;

// Decodes length bytes into out (room units; checked per character only when kChecked). Returns
// the number of units written, or SIZE_MAX when they do not fit.
template <bool kChecked>
size_t Decode(const unsigned char* bytes, size_t length, wchar_t* out, size_t room) {
    size_t i = 0;
    size_t o = 0;
    while (i < length) {
        if (!kChecked) {
            while (i + 8 <= length) {
                uint64_t word;
                std::memcpy(&word, bytes + i, sizeof word);
                if (word & kHighBits) break;
                for (int k = 0; k < 8; ++k) out[o + k] = static_cast<wchar_t>(bytes[i + k]);
                i += 8;
                o += 8;
            }
            if (i == length) break;
        }
        unsigned char b = bytes[i];
        if (b < 0x80) {
            if (kChecked && o == room) return SIZE_MAX;
            out[o++] = static_cast<wchar_t>(b);
            ++i;
            continue;
        }
        size_t used;
        uint32_t c = DecodeSequence(bytes + i, length - i, used);
        i += used;
        if (c == UINT32_MAX) c = kUtf16 ? kReplacement : kEscapeBase + b;
        if (kUtf16 && c >= 0x10000) {
            if (kChecked && room - o < 2) return SIZE_MAX;
            c -= 0x10000;
            out[o++] = static_cast<wchar_t>(0xD800 + (c >> 10));
            out[o++] = static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        } else {
            if (kChecked && o == room) return SIZE_MAX;
            out[o++] = static_cast<wchar_t>(c);
        }
    }
    return o;
}

}  // namespace

size_t Utf8Length(const wchar_t* text, size_t length) {
    size_t bytes = 0;
    for (size_t i = 0; i < length;) bytes += EncodedSize(NextCodePoint(text, length, i));
    return bytes;
}

void AppendUtf8(std::string& out, const wchar_t* text, size_t length) {
    if (length == 0) return;
    size_t start = out.size();
    out.resize(start + length * kMaxBytesPerUnit);
    size_t written = Encode<false>(text, length, out.data() + start, length * kMaxBytesPerUnit);
    out.resize(start + written);
}

bool Utf8ToWide(const char* bytes, size_t length, wchar_t* out, size_t capacity) {
    if (capacity == 0) return false;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes);
    // No byte gives more than one unit, except four bytes that give a UTF-16 pair.
    size_t written = capacity > length ? Decode<false>(in, length, out, capacity - 1)
                                       : Decode<true>(in, length, out, capacity - 1);
    if (written == SIZE_MAX) {
        out[0] = L'\0';
        return false;
    }
    out[written] = L'\0';
    return true;
}

bool WideToUtf8(const wchar_t* text, char* out, size_t capacity) {
    if (capacity == 0) return false;
    size_t length = std::wcslen(text);
    size_t written = capacity - 1 >= length * kMaxBytesPerUnit
                         ? Encode<false>(text, length, out, capacity - 1)
                         : Encode<true>(text, length, out, capacity - 1);
    if (written == SIZE_MAX) {
        out[0] = '\0';
        return false;
    }
    out[written] = '\0';
    return true;
}
