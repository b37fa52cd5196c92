// The name and root rules the engine takes from the provider in use: how names match, how long a
// name is on disk, which roots keep their separator. Every case runs under both rule sets of the
// in-memory provider on every build, so the Windows rules are tested natively too, and where a
// case needs no disk, against the platform's own provider as well.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "engine/paths.h"
#include "engine/run_state.h"
#include "tests/test_support.h"

namespace {

class NameRulesTest : public MemFsTest {
protected:
    static std::wstring Numbered(const std::wstring& name, unsigned number) {
        wchar_t out[kMaxEntryName + 16];
        if (!NumberedName(out, sizeof(out) / sizeof(wchar_t), name.c_str(), number)) return L"<refused>";
        return out;
    }
    static std::wstring Normalized(const std::wstring& path) {
        PathBuffer buffer;
        EXPECT_TRUE(CopyPath(buffer, path.c_str()));
        NormalizeFolder(buffer);
        return buffer.text;
    }
    // Every path below root as stored, with the names' own case.
    static std::set<std::wstring> Below(const std::wstring& root) {
        std::set<std::wstring> paths;
        for (const MemFsNode& node : MemFsSnapshot()) {
            if (node.path.rfind(P(root) + P(L"/"), 0) == 0) paths.insert(node.path);
        }
        return paths;
    }
};

std::wstring Repeat(const std::wstring& unit, size_t times) {
    std::wstring text;
    for (size_t i = 0; i < times; ++i) text += unit;
    return text;
}

#ifdef _WIN32
constexpr bool kPlatformHasWindowsNames = true;
#else
constexpr bool kPlatformHasWindowsNames = false;
#endif

// The rule sets a case needing no disk runs under: 0 the in-memory provider's POSIX rules, 1 its
// Windows rules, 2 the platform's own provider. Installs the provider; true where Windows rules
// are in use.
bool UseRuleSet(int provider) {
    bool windowsNames = provider == 2 ? kPlatformHasWindowsNames : provider == 1;
    MemFsReset(windowsNames);
    SetFileSystem(provider == 2 ? &PlatformFileSystem() : &MemoryFileSystem());
    return windowsNames;
}
const char* RuleSetName(int provider) {
    return provider == 2 ? "platform provider" : provider == 1 ? "Windows names" : "POSIX names";
}

// A numbered name near the limit gives way by the length the provider counts: UTF-8 bytes under
// the POSIX rules, UTF-16 units under the Windows ones, where a character beyond U+FFFF is a pair
// that is never cut in half (on Windows text the cut would land between its halves).
TEST_F(NameRulesTest, NumberedNamesGiveWayByTheLengthTheProviderCounts) {
    const std::wstring e = L"\u00e9";            // 2 UTF-8 bytes, 1 UTF-16 unit
    const std::wstring face = L"\U0001F600";      // 4 UTF-8 bytes, 2 UTF-16 units
    const struct {
        std::wstring name;
        std::wstring posix, windows;
    } rows[] = {
        // 254 bytes, 129 units: the number fits only in UTF-16; in bytes 123 characters are left.
        {Repeat(e, 125) + L".txt", Repeat(e, 123) + L" (2).txt", Repeat(e, 125) + L" (2).txt"},
        // 254 units: room for 247, which would end in the first half of the 124th pair.
        {Repeat(face, 127) + L".txt", Repeat(face, 61) + L" (2).txt", Repeat(face, 123) + L" (2).txt"},
        // ASCII counts alike.
        {std::wstring(251, L'a') + L".txt", std::wstring(247, L'a') + L" (2).txt", std::wstring(247, L'a') + L" (2).txt"},
        {L"report.txt", L"report (2).txt", L"report (2).txt"},
    };
    for (int provider = 0; provider < 3; ++provider) {
        SCOPED_TRACE(RuleSetName(provider));
        bool windowsNames = UseRuleSet(provider);
        for (const auto& row : rows) {
            EXPECT_EQ(Numbered(row.name, 2), windowsNames ? row.windows : row.posix) << Narrow(row.name);
        }
    }
}

// A trailing separator goes, except where the root needs it: under the Windows rules a drive's
// root and a volume's root keep theirs, under the POSIX rules only a lone separator does.
TEST_F(NameRulesTest, OnlyARootThatNeedsItKeepsItsSeparator) {
    const struct {
        const wchar_t* path;
        const wchar_t* posix;
        const wchar_t* windows;
    } rows[] = {
        {L"/", L"/", L"/"},
        {L"/dst/", L"/dst", L"/dst"},
        {L"/dst", L"/dst", L"/dst"},
        {L"C:/", L"C:", L"C:/"},
        {L"C:/dst/", L"C:/dst", L"C:/dst"},
        {L"//?/C:/", L"//?/C:", L"//?/C:/"},
        {L"//?/Volume{0a1b2c3d}/", L"//?/Volume{0a1b2c3d}", L"//?/Volume{0a1b2c3d}/"},
        {L"//?/Volume{0a1b2c3d}/dst/", L"//?/Volume{0a1b2c3d}/dst", L"//?/Volume{0a1b2c3d}/dst"},
        {L"//?/Volumes/", L"//?/Volumes", L"//?/Volumes"},
    };
    for (int provider = 0; provider < 3; ++provider) {
        SCOPED_TRACE(RuleSetName(provider));
        bool windowsNames = UseRuleSet(provider);
        for (const auto& row : rows) {
            EXPECT_EQ(Normalized(P(row.path)), P(windowsNames ? row.windows : row.posix)) << Narrow(row.path);
        }
    }
}

// A whole run into a volume's root: the root keeps its separator in every line and path under the
// Windows rules, and loses it under the POSIX ones; the file arrives either way.
TEST_F(NameRulesTest, ARunIntoAVolumeRootNamesItAsTheRulesSay) {
    for (bool windowsNames : {false, true}) {
        SCOPED_TRACE(windowsNames ? "Windows names" : "POSIX names");
        MemFsReset(windowsNames);
        MemFsAddFile(P(L"/src/a.txt"), "a", 1);
        MemFsAddFolder(P(L"//?/Volume{0a1b2c3d}"));
        StartCapture();
        EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"//?/Volume{0a1b2c3d}/")}), 0) << Narrow(CapturedText());
        std::wstring root = P(windowsNames ? L"//?/Volume{0a1b2c3d}/" : L"//?/Volume{0a1b2c3d}");
        EXPECT_EQ(Count(L"Read " + root + L"\n"), 1u) << Narrow(CapturedText());
        MemFsNode node;
        EXPECT_TRUE(MemFsLookup(P(L"//?/Volume{0a1b2c3d}/a.txt"), &node));
    }
}

// Source names that differ only in case, as the console program meets them in a folder that tells
// them apart: under the Windows rules the first of each pair in code-unit order (A.txt, Docs) is
// synchronized and the other named once per run, a failure, on every run, while nothing changes
// after the first and nothing goes into Backup or Deleted; under the POSIX rules all are copied.
// Each loser is longer than its winner, so one copied over the other never passes for unchanged.
TEST_F(NameRulesTest, NamesThatDifferOnlyInCaseTakeOnePlaceUnderTheWindowsRules) {
    for (bool windowsNames : {false, true}) {
        SCOPED_TRACE(windowsNames ? "Windows names" : "POSIX names");
        MemFsReset(windowsNames);
        MemFsAddFolder(P(L"/dst"));
        if (windowsNames) MemFsSetCaseSensitiveFolder(P(L"/src"));
        MemFsAddFile(P(L"/src/A.txt"), "upper", 1);
        MemFsAddFile(P(L"/src/a.txt"), "lower, longer", 1);
        MemFsAddFile(P(L"/src/Docs/c.txt"), "upper docs", 1);
        MemFsAddFile(P(L"/src/docs/c.txt"), "lower docs, longer", 1);
        MemFsAddFile(P(L"/src/plain.txt"), "plain", 1);
        std::set<std::wstring> expected = {P(L"/dst/A.txt"), P(L"/dst/Docs"), P(L"/dst/Docs/c.txt"), P(L"/dst/plain.txt")};
        if (!windowsNames) expected.insert({P(L"/dst/a.txt"), P(L"/dst/docs"), P(L"/dst/docs/c.txt")});
        for (int run = 1; run <= 3; ++run) {
            SCOPED_TRACE(run);
            StartCapture();
            EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst"), L"d"}), windowsNames ? 2 : 0);
            size_t changes = Count(L"copy ") + Count(L"move ") + Count(L"backup ");
            EXPECT_EQ(changes, run > 1 ? 0u : windowsNames ? 3u : 5u) << Narrow(CapturedText());
            EXPECT_EQ(Count(L"name differs only in case "), windowsNames ? 2u : 0u);
            if (windowsNames) {
                EXPECT_EQ(Count(L"name differs only in case " + P(L"/src/a.txt") + L"\n"), 1u);
                EXPECT_EQ(Count(L"name differs only in case " + P(L"/src/docs") + L"\n"), 1u);
                EXPECT_EQ(RunFailureCount(), 2u);
            }
            EXPECT_EQ(Below(L"/dst"), expected);
        }
        MemFsNode node;
        ASSERT_TRUE(MemFsLookup(P(L"/dst/A.txt"), &node));
        EXPECT_EQ(node.content, "upper");
        ASSERT_TRUE(MemFsLookup(P(L"/dst/Docs/c.txt"), &node));
        EXPECT_EQ(node.content, "upper docs");
        if (!windowsNames) {
            ASSERT_TRUE(MemFsLookup(P(L"/dst/a.txt"), &node));
            EXPECT_EQ(node.content, "lower, longer");
        }
    }
}

// A second version of a file whose name is near the limit goes into Backup under a numbered name
// cut by the rules of the destination's provider.
TEST_F(NameRulesTest, ABackupBesideAnEarlierOneIsNumberedWithinTheNameLimit) {
    const std::wstring e = L"\u00e9";
    const std::wstring name = Repeat(e, 125) + L".txt";
    for (bool windowsNames : {false, true}) {
        SCOPED_TRACE(windowsNames ? "Windows names" : "POSIX names");
        MemFsReset(windowsNames);
        MemFsAddFile(P(L"/src/") + name, "new version", 3);
        MemFsAddFile(P(L"/dst/") + name, "old version", 2);
        MemFsAddFile(P(L"/dst/Backup/") + name, "oldest version", 1);
        StartCapture();
        EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst")}), 0) << Narrow(CapturedText());
        std::wstring numbered = (windowsNames ? Repeat(e, 125) : Repeat(e, 123)) + L" (2).txt";
        EXPECT_EQ(Below(L"/dst/Backup"), (std::set<std::wstring>{P(L"/dst/Backup/") + name, P(L"/dst/Backup/") + numbered}));
        MemFsNode node;
        ASSERT_TRUE(MemFsLookup(P(L"/dst/Backup/") + numbered, &node));
        EXPECT_EQ(node.content, "old version");
    }
}

}  // namespace
