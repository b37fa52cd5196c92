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

struct Directive {
    bool leftAlign = false;
    bool zeroPad = false;
    int width = 0;
    int precision = -1;  // -1: none given
};

void PutPadded(Writer& w, const Directive& directive, const wchar_t* text, size_t count) {
    size_t width = directive.width > 0 ? static_cast<size_t>(directive.width) : 0;
    size_t pad = width > count ? width - count : 0;
    if (!directive.leftAlign) w.Repeat(L' ', pad);
    w.PutText(text, count);
    if (directive.leftAlign) w.Repeat(L' ', pad);
}

// Digits of value in base (10 or 16), with an optional minus sign, honouring precision (minimum
// digits) and zero padding as printf does.
void PutNumber(Writer& w, const Directive& directive, uint64_t magnitude, bool negative, unsigned base) {
    wchar_t digits[24];
    size_t count = 0;
    do {
        unsigned d = static_cast<unsigned>(magnitude % base);
        digits[count++] = static_cast<wchar_t>(d < 10 ? L'0' + d : L'a' + d - 10);
        magnitude /= base;
    } while (magnitude != 0);
    // printf prints nothing for the value 0 with precision 0.
    if (directive.precision == 0 && count == 1 && digits[0] == L'0') count = 0;

    size_t minDigits = directive.precision > 0 ? static_cast<size_t>(directive.precision) : 0;
    size_t zeros = minDigits > count ? minDigits - count : 0;
    size_t body = (negative ? 1 : 0) + zeros + count;
    size_t width = directive.width > 0 ? static_cast<size_t>(directive.width) : 0;
    size_t pad = width > body ? width - body : 0;
    // The '0' flag pads with zeros after the sign, and only without a precision or '-'.
    if (directive.zeroPad && !directive.leftAlign && directive.precision < 0) {
        zeros += pad;
        pad = 0;
    }
    if (!directive.leftAlign) w.Repeat(L' ', pad);
    if (negative) w.Put(L'-');
    w.Repeat(L'0', zeros);
    while (count > 0) w.Put(digits[--count]);
    if (directive.leftAlign) w.Repeat(L' ', pad);
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
        Directive directive;
        for (;; ++p) {
            if (*p == L'-') directive.leftAlign = true;
            else if (*p == L'0') directive.zeroPad = true;
            else break;
        }
        if (*p == L'*') {
            directive.width = va_arg(args, int);
            if (directive.width < 0) {  // a negative width means left alignment, as in printf
                directive.leftAlign = true;
                directive.width = directive.width == INT32_MIN ? 0 : -directive.width;
            }
            ++p;
        } else {
            directive.width = ReadNumber(p);
        }
        if (*p == L'.') {
            ++p;
            if (*p == L'*') {
                directive.precision = va_arg(args, int);
                if (directive.precision < 0) directive.precision = -1;
                ++p;
            } else {
                directive.precision = ReadNumber(p);
            }
        }
        switch (*p) {
            case L's': {
                const wchar_t* text = va_arg(args, const wchar_t*);
                if (!text) text = L"(null)";
                size_t count = 0;
                size_t maxCount = directive.precision >= 0 ? static_cast<size_t>(directive.precision) : SIZE_MAX;
                while (count < maxCount && text[count]) ++count;
                PutPadded(w, directive, text, count);
                break;
            }
            case L'c': {
                wchar_t c = static_cast<wchar_t>(va_arg(args, int));
                PutPadded(w, directive, &c, 1);
                break;
            }
            case L'd': {
                int value = va_arg(args, int);
                bool negative = value < 0;
                uint64_t magnitude = negative ? static_cast<uint64_t>(-static_cast<int64_t>(value))
                                              : static_cast<uint64_t>(value);
                PutNumber(w, directive, magnitude, negative, 10);
                break;
            }
            case L'u':
                PutNumber(w, directive, va_arg(args, unsigned), false, 10);
                break;
            case L'x':
                PutNumber(w, directive, va_arg(args, unsigned), false, 16);
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
