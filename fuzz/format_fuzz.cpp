// The message formatter on formats it never sees in the engine. Two kinds of input, picked by the
// first byte:
//   - a format built from the input out of the conversions the engine uses (%s %c %d %u %x %%,
//     the flags '-' and '0', widths and precisions, given or '*'), with arguments of the right
//     kinds: the text must equal what the C library's swprintf makes of the same format;
//   - any text as the format, every argument a valid string pointer, so that no conversion, however
//     garbled, can read past what was passed.
// For both, a buffer of any smaller capacity must hold exactly the first characters of the whole
// text, terminated, and nothing is written past it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

#include "fuzz/fuzz_text.h"
#include "output/format.h"

namespace {

// Every call passes this many argument slots; each is 64 bits wide, as int and pointer arguments
// both are in a variadic call on this platform, so a slot read as either kind is well defined here.
constexpr int kSlots = 48;
using Slots = uint64_t[kSlots];

#define KESTROME_SLOTS(a)                                                                          \
    a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13], a[14],  \
        a[15], a[16], a[17], a[18], a[19], a[20], a[21], a[22], a[23], a[24], a[25], a[26], a[27],  \
        a[28], a[29], a[30], a[31], a[32], a[33], a[34], a[35], a[36], a[37], a[38], a[39], a[40],  \
        a[41], a[42], a[43], a[44], a[45], a[46], a[47]

constexpr size_t kLarge = 1 << 13;

const wchar_t* const kStrings[] = {L"", L"abc", L"C:\\dst\\x\\y\\a.txt", L"p\u00e4th/\U0001F600",
                                   L"0123456789012345678901234567890123456789"};

// Shows a text on the failure report: ASCII as it is, anything else as \x{...}.
void Show(const char* what, const std::wstring& text) {
    fprintf(stderr, "%s: \"", what);
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) fputc(static_cast<int>(c), stderr);
        else fprintf(stderr, "\\x{%x}", static_cast<unsigned>(c));
    }
    fprintf(stderr, "\"\n");
}

// Formats into a heap buffer of exactly `capacity` characters, so that any write beyond it is
// caught, and checks what it holds against the whole text.
void CheckCut(const std::wstring& format, const Slots& slots, const std::wstring& whole, size_t capacity) {
    std::unique_ptr<wchar_t[]> out(new wchar_t[capacity]);
    size_t length = FormatText(out.get(), capacity, format.c_str(), KESTROME_SLOTS(slots));
    size_t expected = whole.size() < capacity - 1 ? whole.size() : capacity - 1;
    if (length != expected || out[length] != L'\0' || wmemcmp(out.get(), whole.data(), length) != 0) abort();
}

// The built kind: a format and an oracle format for swprintf (where %s is %ls), with arguments.
bool BuildFormat(FuzzBytes& bytes, std::wstring& format, std::wstring& oracle, Slots& slots) {
    int slot = 0;
    auto take = [&](uint64_t value) { slots[slot++] = value; };
    while (!bytes.Empty() && slot + 3 <= kSlots) {
        uint8_t kind = bytes.Byte();
        if (kind % 4 == 0) {  // literal text, no '%'
            size_t count = bytes.Byte() % 8;
            for (size_t i = 0; i < count; ++i) {
                static const wchar_t kLiterals[] = L" aZ9.\\/\n\r\t\u00e9\u4e2d\U0001F600";
                wchar_t c = kLiterals[bytes.Byte() % (sizeof kLiterals / sizeof(wchar_t) - 1)];
                format += c;
                oracle += c;
            }
            continue;
        }
        static const wchar_t kConversions[] = L"scdux";
        wchar_t conversion = kConversions[bytes.Byte() % 5];
        if (kind % 7 == 1) conversion = L'%';
        std::wstring directive = L"%";
        if (conversion == L'%') {
            format += directive + L"%";
            oracle += directive + L"%";
            continue;
        }
        uint8_t flags = bytes.Byte();
        if (flags & 1) directive += L'-';
        bool numeric = conversion == L'd' || conversion == L'u' || conversion == L'x';
        if ((flags & 2) && numeric) directive += L'0';
        uint8_t width = bytes.Byte();
        if (flags & 4) {
            directive += L'*';
            take(static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(width))));
        } else if (flags & 8) {
            directive += std::to_wstring(width);
        }
        uint8_t precision = bytes.Byte();
        if ((flags & 16) && conversion != L'c') {
            if (flags & 32) {
                directive += L".*";
                take(static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(precision))));
            } else {
                directive += L"." + (precision % 3 == 0 ? std::wstring() : std::to_wstring(precision % 40));
            }
        }
        uint8_t value[4] = {bytes.Byte(), bytes.Byte(), bytes.Byte(), bytes.Byte()};
        int32_t number;
        memcpy(&number, value, sizeof number);
        switch (conversion) {
            case L's':
                take(reinterpret_cast<uint64_t>(kStrings[value[0] % (sizeof kStrings / sizeof kStrings[0])]));
                format += directive + L"s";
                oracle += directive + L"ls";
                break;
            case L'c':
                take(static_cast<uint64_t>(0x20 + value[0] % 0x5F));  // printable ASCII: %c is narrow there
                format += directive + L"c";
                oracle += directive + L"c";
                break;
            default:
                take(static_cast<uint64_t>(static_cast<int64_t>(number)));
                format += directive + conversion;
                oracle += directive + conversion;
                break;
        }
    }
    return !format.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBytes bytes{data, size};
    Slots slots = {};
    std::wstring format, oracle;
    uint8_t mode = bytes.Byte();
    if (mode & 1) {
        if (!BuildFormat(bytes, format, oracle, slots)) return 0;
    } else {
        format = bytes.Text(400);
        // Each conversion takes at most three arguments (width, precision, value).
        size_t conversions = 0;
        for (wchar_t c : format) conversions += c == L'%';
        if (conversions * 3 > static_cast<size_t>(kSlots)) return 0;
        for (uint64_t& slot : slots) slot = reinterpret_cast<uint64_t>(kStrings[2]);
    }

    std::unique_ptr<wchar_t[]> large(new wchar_t[kLarge]);
    size_t length = FormatText(large.get(), kLarge, format.c_str(), KESTROME_SLOTS(slots));
    if (length >= kLarge || large[length] != L'\0') abort();
    std::wstring whole(large.get(), length);

    // A text that filled the buffer may have been cut, and swprintf refuses what does not fit.
    if (!oracle.empty() && length + 1 < kLarge) {
        std::unique_ptr<wchar_t[]> expected(new wchar_t[kLarge]);
        int count = swprintf(expected.get(), kLarge, oracle.c_str(), KESTROME_SLOTS(slots));
        if (count < 0 || whole != std::wstring(expected.get(), static_cast<size_t>(count))) {
            Show("format", format);
            Show("ours", whole);
            Show("swprintf", count < 0 ? std::wstring(L"<failed>") : std::wstring(expected.get(), count));
            abort();
        }
    }

    // A text that filled the large buffer may have been cut itself: compare only within it.
    for (size_t capacity : {size_t{1}, size_t{2}, length / 2 + 1, length, length + 1, length + 2}) {
        if (capacity > 0 && capacity <= kLarge) CheckCut(format, slots, whole, capacity);
    }
    // Capacity 0 writes nothing at all.
    wchar_t untouched = L'#';
    if (FormatText(&untouched, 0, format.c_str(), KESTROME_SLOTS(slots)) != 0 || untouched != L'#') abort();
    return 0;
}
