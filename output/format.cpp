#include "output/format.h"

#include <cstdint>
#include <cwchar>

namespace {

// Appends into a fixed buffer and silently drops what does not fit.
struct Writer {
    wchar_t* out;
    size_t limit;  // characters that may be stored, terminator excluded
    size_t length;

    void Put(wchar_t c) {
        if (length < limit) out[length++] = c;
    }
    void Repeat(wchar_t c, size_t count) {
        while (count-- > 0 && length < limit) out[length++] = c;
    }
    void PutText(const wchar_t* text, size_t count) {
        size_t room = limit - length;
        if (count > room) count = room;
        wmemcpy(out + length, text, count);
        length += count;
    }
};

struct Spec {
    bool leftAlign = false;
    bool zeroPad = false;
    int width = 0;
    int precision = -1;  // -1: none given
};

void PutPadded(Writer& w, const Spec& spec, const wchar_t* text, size_t count) {
    size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    size_t pad = width > count ? width - count : 0;
    if (!spec.leftAlign) w.Repeat(L' ', pad);
    w.PutText(text, count);
    if (spec.leftAlign) w.Repeat(L' ', pad);
}

// Digits of value in base (10 or 16), with an optional minus sign, honouring precision (minimum
// digits) and zero padding as printf does.
void PutNumber(Writer& w, const Spec& spec, uint64_t magnitude, bool negative, unsigned base) {
    wchar_t digits[24];
    size_t count = 0;
    do {
        unsigned d = static_cast<unsigned>(magnitude % base);
        digits[count++] = static_cast<wchar_t>(d < 10 ? L'0' + d : L'a' + d - 10);
        magnitude /= base;
    } while (magnitude != 0);
    // printf prints nothing for the value 0 with precision 0.
    if (spec.precision == 0 && count == 1 && digits[0] == L'0') count = 0;

    size_t minDigits = spec.precision > 0 ? static_cast<size_t>(spec.precision) : 0;
    size_t zeros = minDigits > count ? minDigits - count : 0;
    size_t body = (negative ? 1 : 0) + zeros + count;
    size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    size_t pad = width > body ? width - body : 0;
    // The '0' flag pads with zeros after the sign, and only without a precision or '-'.
    if (spec.zeroPad && !spec.leftAlign && spec.precision < 0) {
        zeros += pad;
        pad = 0;
    }
    if (!spec.leftAlign) w.Repeat(L' ', pad);
    if (negative) w.Put(L'-');
    w.Repeat(L'0', zeros);
    while (count > 0) w.Put(digits[--count]);
    if (spec.leftAlign) w.Repeat(L' ', pad);
}

int ReadNumber(const wchar_t*& p) {
    int value = 0;
    while (*p >= L'0' && *p <= L'9') {
        if (value < 100000) value = value * 10 + (*p - L'0');
        ++p;
    }
    return value;
}

}  // namespace

size_t FormatTextV(wchar_t* out, size_t capacity, const wchar_t* format, va_list args) {
    if (capacity == 0) return 0;
    Writer w{out, capacity - 1, 0};
    const wchar_t* p = format;
    while (*p) {
        if (*p != L'%') {
            const wchar_t* start = p;
            while (*p && *p != L'%') ++p;
            w.PutText(start, static_cast<size_t>(p - start));
            continue;
        }
        const wchar_t* conversionStart = p++;
        Spec spec;
        for (;; ++p) {
            if (*p == L'-') spec.leftAlign = true;
            else if (*p == L'0') spec.zeroPad = true;
            else break;
        }
        if (*p == L'*') {
            spec.width = va_arg(args, int);
            if (spec.width < 0) {  // a negative width means left alignment, as in printf
                spec.leftAlign = true;
                spec.width = spec.width == INT32_MIN ? 0 : -spec.width;
            }
            ++p;
        } else {
            spec.width = ReadNumber(p);
        }
        if (*p == L'.') {
            ++p;
            if (*p == L'*') {
                spec.precision = va_arg(args, int);
                if (spec.precision < 0) spec.precision = -1;
                ++p;
            } else {
                spec.precision = ReadNumber(p);
            }
        }
        switch (*p) {
            case L's': {
                const wchar_t* text = va_arg(args, const wchar_t*);
                if (!text) text = L"(null)";
                size_t count = 0;
                size_t maxCount = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX;
                while (count < maxCount && text[count]) ++count;
                PutPadded(w, spec, text, count);
                break;
            }
            case L'c': {
                wchar_t c = static_cast<wchar_t>(va_arg(args, int));
                PutPadded(w, spec, &c, 1);
                break;
            }
            case L'd': {
                int value = va_arg(args, int);
                bool negative = value < 0;
                uint64_t magnitude = negative ? static_cast<uint64_t>(-static_cast<int64_t>(value))
                                              : static_cast<uint64_t>(value);
                PutNumber(w, spec, magnitude, negative, 10);
                break;
            }
            case L'u':
                PutNumber(w, spec, va_arg(args, unsigned), false, 10);
                break;
            case L'x':
                PutNumber(w, spec, va_arg(args, unsigned), false, 16);
                break;
            case L'%':
                w.Put(L'%');
                break;
            default:
                // Not a conversion we know: keep the text as it stands rather than guess.
                if (!*p) {
                    w.PutText(conversionStart, static_cast<size_t>(p - conversionStart));
                    continue;
                }
                w.PutText(conversionStart, static_cast<size_t>(p + 1 - conversionStart));
                break;
        }
        ++p;
    }
    out[w.length] = L'\0';
    return w.length;
}

size_t FormatText(wchar_t* out, size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    size_t length = FormatTextV(out, capacity, format, args);
    va_end(args);
    return length;
}
