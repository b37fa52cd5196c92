#include <gtest/gtest.h>

#include <string>

#include "output/format.h"

namespace {

std::wstring F(const wchar_t* format, ...) {
    wchar_t buffer[256];
    va_list args;
    va_start(args, format);
    FormatTextV(buffer, 256, format, args);
    va_end(args);
    return buffer;
}

TEST(Format, IntegersWithWidthsPrecisionsAndPadding) {
    EXPECT_EQ(F(L"read %8.8d files\r", 256), L"read 00000256 files\r");
    EXPECT_EQ(F(L"%8.8d", 123456789), L"123456789");
    EXPECT_EQ(F(L"[%3d%%]", 5), L"[  5%]");
    EXPECT_EQ(F(L"[%3d%%]", 100), L"[100%]");
    EXPECT_EQ(F(L"[%-4d]", 7), L"[7   ]");
    EXPECT_EQ(F(L"[%05d]", -42), L"[-0042]");
    EXPECT_EQ(F(L"[%.3d]", -7), L"[-007]");
    EXPECT_EQ(F(L"%d %d", INT32_MIN, INT32_MAX), L"-2147483648 2147483647");
    EXPECT_EQ(F(L"%u", 4294967295u), L"4294967295");
    EXPECT_EQ(F(L"%x", 0xEF53u), L"ef53");
    EXPECT_EQ(F(L"[%.0d]", 0), L"[]");
    EXPECT_EQ(F(L"[%*d]", 4, 12), L"[  12]");
    EXPECT_EQ(F(L"[%*d]", -4, 12), L"[12  ]");
}

TEST(Format, WideStringsWithStarWidthAndPrecision) {
    const wchar_t* bar = L"||||||||||";
    EXPECT_EQ(F(L"[%.*s%*s]", 3, bar, 7, L""), L"[|||       ]");
    EXPECT_EQ(F(L"[%.*s%*s]", 0, bar, 10, L""), L"[          ]");
    EXPECT_EQ(F(L"\r%*s\r", 5, L""), L"\r     \r");
    EXPECT_EQ(F(L"[%-6s]", L"ab"), L"[ab    ]");
    EXPECT_EQ(F(L"[%6s]", L"ab"), L"[    ab]");
    EXPECT_EQ(F(L"%s not exist\n", L"C:\\Daten \u00e4\U0001F600"), L"C:\\Daten \u00e4\U0001F600 not exist\n");
    EXPECT_EQ(F(L"%s", static_cast<const wchar_t*>(nullptr)), L"(null)");
    // A negative precision counts as none given.
    EXPECT_EQ(F(L"[%.*s]", -1, L"abc"), L"[abc]");
}

TEST(Format, UnknownConversionsAndControlCharactersPassThrough) {
    EXPECT_EQ(F(L"100%% [%q] %"), L"100% [%q] %");
    EXPECT_EQ(F(L"a\r\nb\tc"), L"a\r\nb\tc");
}

TEST(Format, CutsAtCapacityAndAlwaysTerminates) {
    wchar_t buffer[8];
    EXPECT_EQ(FormatText(buffer, 8, L"%s", L"abcdefghij"), 7u);
    EXPECT_EQ(std::wstring(buffer), L"abcdefg");
    EXPECT_EQ(FormatText(buffer, 8, L"%8.8d", 5), 7u);
    EXPECT_EQ(std::wstring(buffer), L"0000000");
    EXPECT_EQ(FormatText(buffer, 8, L"%20s", L"x"), 7u);
    EXPECT_EQ(std::wstring(buffer), L"       ");
    EXPECT_EQ(FormatText(buffer, 1, L"abc"), 0u);
    EXPECT_EQ(buffer[0], L'\0');
}

}  // namespace
