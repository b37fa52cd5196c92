#include <gtest/gtest.h>

#include <string>

#include "engine/paths.h"
#include "engine/run_state.h"
#include "output/message.h"
#include "tests/test_support.h"

namespace {

std::wstring Compose(const std::wstring& root, const wchar_t* relative, const wchar_t* last) {
    PathBuffer buffer;
    EXPECT_TRUE(ComposePath(buffer, root.c_str(), relative, last));
    return buffer.text;
}

TEST(Paths, JoinRuleUsesOneSeparatorOnly) {
    EXPECT_EQ(Compose(P(L"/dst"), nullptr, L"*.*"), P(L"/dst/*.*"));
    EXPECT_EQ(Compose(P(L"/dst/"), nullptr, L"*.*"), P(L"/dst/*.*"));
    EXPECT_EQ(Compose(P(L"/dst"), P(L"x/y").c_str(), L"a.txt"), P(L"/dst/x/y/a.txt"));
    EXPECT_EQ(Compose(P(L"/dst/"), L"x", L"a.txt"), P(L"/dst/x/a.txt"));
    EXPECT_EQ(Compose(L"", nullptr, L"a"), L"a");
#ifdef _WIN32
    EXPECT_EQ(Compose(L"D:", nullptr, L"*.*"), L"D:\\*.*");
    EXPECT_EQ(Compose(L"D:\\", nullptr, L"*.*"), L"D:\\*.*");
    // Only the backslash counts as a separator.
    PathBuffer b;
    ASSERT_TRUE(CopyPath(b, L"C:/x/"));
    ASSERT_TRUE(AppendPathPart(b, L"y"));
    EXPECT_EQ(std::wstring(b.text), L"C:/x/\\y");
#else
    EXPECT_EQ(Compose(L"/", nullptr, L"*.*"), L"/*.*");
#endif
    PathBuffer child;
    ASSERT_TRUE(ChildRelativeFolder(child, nullptr, L"x"));
    EXPECT_EQ(std::wstring(child.text), L"x");
    ASSERT_TRUE(ChildRelativeFolder(child, L"x", L"y"));
    EXPECT_EQ(std::wstring(child.text), P(L"x/y"));
}

TEST(Paths, NothingIsWrittenBeyondTheBuffer) {
    std::wstring root(kMaxPath - 4, L'r');
    PathBuffer buffer;
    EXPECT_TRUE(ComposePath(buffer, root.c_str(), nullptr, L"abc"));  // exactly kMaxPath
    EXPECT_EQ(wcslen(buffer.text), kMaxPath);
    EXPECT_FALSE(ComposePath(buffer, root.c_str(), nullptr, L"abcd"));
    EXPECT_LE(wcslen(buffer.text), kMaxPath);
    EXPECT_FALSE(ComposePath(buffer, root.c_str(), L"xy", L"a"));
    std::wstring full(kMaxPath, L'f');
    EXPECT_TRUE(CopyPath(buffer, full.c_str()));
    EXPECT_FALSE(AppendPathPart(buffer, L"x"));
    EXPECT_EQ(std::wstring(buffer.text), full);  // unchanged after a refused append
    EXPECT_FALSE(CopyPath(buffer, (full + L"g").c_str()));
    EXPECT_FALSE(ChildRelativeFolder(buffer, full.c_str(), L"y"));
}

TEST(Paths, NumberedNamesGoBeforeTheLastDot) {
    wchar_t out[64];
    ASSERT_TRUE(NumberedName(out, 64, L"report.txt", 2));
    EXPECT_EQ(std::wstring(out), L"report (2).txt");
    ASSERT_TRUE(NumberedName(out, 64, L"README", 3));
    EXPECT_EQ(std::wstring(out), L"README (3)");
    ASSERT_TRUE(NumberedName(out, 64, L".bashrc", 2));
    EXPECT_EQ(std::wstring(out), L".bashrc (2)");
    ASSERT_TRUE(NumberedName(out, 64, L"archive.tar.gz", 12));
    EXPECT_EQ(std::wstring(out), L"archive.tar (12).gz");
    ASSERT_TRUE(NumberedName(out, 64, L"name.", 2));
    EXPECT_EQ(std::wstring(out), L"name (2).");
    EXPECT_FALSE(NumberedName(out, 10, L"report.txt", 2));  // never a cut name
}

class ReportPathTest : public MemFsTest {};

TEST_F(ReportPathTest, PathTooLongIsReportedCutWithItsLineEndAndCounted) {
    ResetRunFailures();
    std::wstring longName(300, L'n');
    std::wstring longFolder(kMaxPath, L'f');
    ReportPathTooLong(longFolder.c_str(), longFolder.c_str(), longName.c_str());
    ASSERT_EQ(CapturedMessages().size(), 1u);
    const std::wstring& line = CapturedMessages()[0];
    EXPECT_EQ(line.rfind(L"path too long " + longFolder.substr(0, 10), 0), 0u);
    EXPECT_EQ(line.back(), L'\n');
    EXPECT_LE(line.size(), kMessageLimit);
    EXPECT_EQ(RunFailureCount(), 1u);
}

}  // namespace
