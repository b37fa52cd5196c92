// UTF-8 <-> wide text: the code points at each length boundary, every kind of invalid sequence,
// exact round trips of any bytes where wchar_t is UTF-32, and the capacity limits.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "engine/fs/text_encoding.h"

namespace {

constexpr bool kUtf16 = sizeof(wchar_t) == 2;

std::wstring ToWide(const std::string& bytes) {
    std::wstring out(bytes.size() + 1, L'?');
    EXPECT_TRUE(Utf8ToWide(bytes.data(), bytes.size(), out.data(), out.size()));
    return out.c_str();
}

std::string ToUtf8(const std::wstring& text) {
    std::string out = "kept:";  // AppendUtf8 appends
    AppendUtf8(out, text.data(), text.size());
    EXPECT_EQ(out.substr(0, 5), "kept:");
    return out.substr(5);
}

// What one byte of an invalid sequence becomes.
wchar_t Invalid(unsigned char b) { return static_cast<wchar_t>(kUtf16 ? 0xFFFD : 0xDC00 + b); }

TEST(TextEncoding, CodePointsAtEveryLengthBoundary) {
    struct Case { const char* bytes; uint32_t code; } cases[] = {
        {"\x7f", 0x7F}, {"\xc2\x80", 0x80}, {"\xdf\xbf", 0x7FF}, {"\xe0\xa0\x80", 0x800},
        {"\xed\x9f\xbf", 0xD7FF}, {"\xee\x80\x80", 0xE000}, {"\xef\xbf\xbf", 0xFFFF},
        {"\xf0\x90\x80\x80", 0x10000}, {"\xf0\x9f\x98\x80", 0x1F600}, {"\xf4\x8f\xbf\xbf", 0x10FFFF},
    };
    for (const Case& c : cases) {
        std::wstring wide{static_cast<wchar_t>(c.code)};
        if (kUtf16 && c.code >= 0x10000)
            wide = {static_cast<wchar_t>(0xD800 + ((c.code - 0x10000) >> 10)),
                    static_cast<wchar_t>(0xDC00 + ((c.code - 0x10000) & 0x3FF))};
        std::string text = std::string("a") + c.bytes + "z";  // neighbours must stay intact
        EXPECT_EQ(ToWide(text), L"a" + wide + L"z") << std::hex << c.code;
        EXPECT_EQ(ToUtf8(L"a" + wide + L"z"), text) << std::hex << c.code;
    }
}

TEST(TextEncoding, InvalidSequencesBecomeOneUnitPerByte) {
    const char* cases[] = {
        "\xc0\x80", "\xc1\xbf", "\xe0\x80\x80", "\xe0\x9f\xbf", "\xf0\x80\x80\x80", "\xf0\x8f\xbf\xbf",  // overlong
        "\xed\xa0\x80", "\xed\xbf\xbf",                           // surrogates
        "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xfe", "\xff",   // beyond U+10FFFF
        "\xe2\x82", "\xf0\x9f\x98", "\xe2\x82" "A", "\xc3" "A", "\x80", "\xbf\xbf",  // cut short, stray
    };
    for (const char* c : cases) {
        std::string bytes = std::string("12345678") + c + "12345678";  // inside the ASCII fast runs
        std::wstring expected;
        for (unsigned char b : bytes) expected += b < 0x80 ? static_cast<wchar_t>(b) : Invalid(b);
        EXPECT_EQ(ToWide(bytes), expected) << bytes;
        if (!kUtf16) {
            EXPECT_EQ(ToUtf8(expected), bytes);
        }
    }
    EXPECT_EQ(ToWide("\xc3\xc3\xa9"), std::wstring({Invalid(0xC3), L'\xe9'}));  // next one decodes
}

// Where wchar_t is UTF-32 any byte string round-trips; UTF-16 round-trips valid text.
TEST(TextEncoding, ByteStringsRoundTrip) {
    for (int b = 1; b < (kUtf16 ? 0x80 : 0x100); ++b) {
        std::string one(1, static_cast<char>(b));
        ASSERT_EQ(ToWide(one), std::wstring(1, static_cast<wchar_t>(b < 0x80 ? b : 0xDC00 + b)));
        EXPECT_EQ(ToUtf8(ToWide(one)), one) << b;
    }
    unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    const char* pieces[] = {"a", "Zz09ab", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\xed\x9f\xbf"};
    for (int round = 0; round < 5000; ++round) {
        std::string bytes;
        for (int i = static_cast<int>(random() % 48); i > 0; --i) {
            if (kUtf16 || random() % 3 == 0) bytes += pieces[random() % 6];
            else bytes += static_cast<char>(random() % 255 + 1);  // any byte but the terminator
        }
        std::wstring wide = ToWide(bytes);
        ASSERT_EQ(ToUtf8(wide), bytes) << "seed " << seed << " round " << round;
        char out[48 * 6 * 4 + 1];
        ASSERT_TRUE(WideToUtf8(wide.c_str(), out, sizeof out));
        ASSERT_EQ(std::string(out), bytes) << "seed " << seed << " round " << round;
    }
}

TEST(TextEncoding, LoneSurrogatesAndOutOfRangeBecomeReplacement) {
    // UTF-32 keeps U+DC80..U+DCFF for raw bytes; UTF-16 has pairs, and a lone half ends one.
    const uint32_t cases[] = {0xD800, 0xDFFF, kUtf16 ? 0xD83D : 0xDC7F, kUtf16 ? 0xDC00 : 0xDD00,
                              kUtf16 ? 0xDBFF : 0x110000};
    for (uint32_t c : cases)
        EXPECT_EQ(ToUtf8(std::wstring{L'x', static_cast<wchar_t>(c), L'y'}), "x\xef\xbf\xbdy") << std::hex << c;
}

TEST(TextEncoding, CapacityIsExactAndFailureLeavesEmptyText) {
    const std::string bytes = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";  // 2 + 3 + 4 bytes
    const std::wstring wide = ToWide(bytes);                            // 3 or 4 units
    char narrow[16];
    EXPECT_TRUE(WideToUtf8(wide.c_str(), narrow, bytes.size() + 1));
    EXPECT_EQ(std::string(narrow), bytes);
    EXPECT_FALSE(WideToUtf8(wide.c_str(), narrow, bytes.size()));
    EXPECT_STREQ(narrow, "");
    wchar_t units[17];
    EXPECT_TRUE(Utf8ToWide(bytes.data(), bytes.size(), units, wide.size() + 1));
    EXPECT_EQ(std::wstring(units), wide);
    EXPECT_FALSE(Utf8ToWide(bytes.data(), bytes.size(), units, wide.size()));
    EXPECT_STREQ(units, L"");
    EXPECT_TRUE(Utf8ToWide("abcdefghijklmnop", 16, units, 17));
    EXPECT_FALSE(Utf8ToWide("abcdefghijklmnop", 16, units, 16));
}

}  // namespace
