#include <gtest/gtest.h>

#include <string>

#include "engine/destination_index.h"
#include "engine/walk.h"
#include "tests/test_support.h"

namespace {

class WalkTest : public MemFsTest {};

int CounterLines() {
    int lines = 0;
    for (const std::wstring& m : CapturedMessages()) lines += m.rfind(L"read ", 0) == 0;
    return lines;
}

// 253 files in the root and one sub-folder with "." and "..": 255 entries and no line; one more
// entry anywhere in the tree writes the line, whatever folder it is in.
TEST_F(WalkTest, CounterLineAtEvery256EntriesAcrossFolders) {
    for (int i = 0; i < 252; ++i) MemFsAddFile(P(L"/d/f") + std::to_wstring(i), "x", 1);
    MemFsAddFolder(P(L"/d/sub"));
    EntryCounter = 0;
    BuildDestinationIndex(P(L"/d").c_str(), nullptr);
    // root: ".", "..", 252 files, "sub" = 255; sub: "." and ".." = 257.
    EXPECT_EQ(EntryCounter, 257);
    ASSERT_EQ(CounterLines(), 1);
    EXPECT_EQ(CapturedText(), L"read 00000256 files\r");

    StartCapture();
    MemFsReset();
    SetFileSystem(&MemoryFileSystem());
    for (int i = 0; i < 251; ++i) MemFsAddFile(P(L"/d/f") + std::to_wstring(i), "x", 1);
    MemFsAddFolder(P(L"/d/sub"));
    EntryCounter = 0;
    BuildDestinationIndex(P(L"/d").c_str(), nullptr);
    EXPECT_EQ(EntryCounter, 256);
    EXPECT_EQ(CounterLines(), 1);
}

// Skip names match whole names, as the provider matches names: other letter case is the same
// folder under the Windows rules and another folder under the POSIX ones.
TEST_F(WalkTest, SkipListsMatchWholeNamesAsTheFileSystemDoes) {
    for (bool windowsNames : {false, true}) {
        SCOPED_TRACE(windowsNames ? "Windows names" : "POSIX names");
        MemFsReset(windowsNames);
        const bool otherCase = windowsNames;
        const struct {
            const wchar_t* name;
            bool always, deletedWalk;
        } rows[] = {
            {L".", true, true},          {L"..", true, true},
            {L"$RECYCLE.BIN", true, true}, {L"$Recycle.Bin", otherCase, otherCase},
            {L"...", false, false},      {L"$RECYCLE.BIN2", false, false},
            {L"Backup", false, true},    {L"Deleted", false, true},
            {L"deleted", false, otherCase}, {L"BACKUP", false, otherCase},
            {L"Backups", false, false},  {L"Delete", false, false},
        };
        for (const auto& row : rows) {
            EXPECT_EQ(IsAlwaysSkippedFolder(row.name), row.always) << Narrow(row.name);
            EXPECT_EQ(IsDeletedWalkSkippedFolder(row.name), row.deletedWalk) << Narrow(row.name);
        }
    }
}

// Entries come in listing order. A folder that cannot be listed, or whose listing breaks off, is a
// failed listing, never an empty one: named once per run however many walks meet it, and counted.
// A stop cuts a listing short without a word.
TEST_F(WalkTest, ListingsEndCompleteFailedOrStopped) {
    MemFsAddFile(P(L"/d/b.txt"), "b", 1);
    MemFsAddFile(P(L"/d/locked/x.txt"), "x", 1);
    MemFsAddFile(P(L"/d/broken/1"), "1", 1);
    MemFsAddFile(P(L"/d/broken/2"), "2", 1);
    MemFsAddFile(P(L"/d/a.txt"), "a", 1);
    MemFsSetFolderOrder(P(L"/d"), {L"locked", L"broken", L"a.txt", L"b.txt"});
    MemFsFailOn(MemOp::FindFirst, P(L"/d/locked"), kErrorAccessDenied);
    MemFsFailOn(MemOp::FindNext, P(L"/d/broken"), kErrorAccessDenied);
    ResetRunFailures();
    ForgetUnreadableFolders();
    std::vector<std::wstring> seen;
    auto collect = [&](const FindEntry& e) { seen.push_back(e.name); };
    EXPECT_EQ(ForEachEntry(P(L"/d").c_str(), nullptr, false, kFullEntries, true, collect), kListingComplete);
    EXPECT_EQ(seen, (std::vector<std::wstring>{L".", L"..", L"locked", L"broken", L"a.txt", L"b.txt"}));
    EXPECT_TRUE(CapturedMessages().empty());

    const std::wstring lockedLine =
        L"read folder " + P(L"/d/locked") + L" failed: " + std::to_wstring(kErrorAccessDenied) + L"\n";
    for (EntryDetail detail : {kFullEntries, kNamesAndTypes}) {
        EXPECT_EQ(ForEachEntry(P(L"/d").c_str(), L"locked", false, detail, true, [](const FindEntry&) { ADD_FAILURE(); }),
                  kListingFailed);
    }
    EXPECT_EQ(CapturedMessages(), std::vector<std::wstring>{lockedLine});
    seen.clear();
    EXPECT_EQ(ForEachEntry(P(L"/d").c_str(), L"broken", false, kFullEntries, false, collect), kListingFailed);
    EXPECT_EQ(seen, (std::vector<std::wstring>{L".", L"..", L"1"}));  // the last entry never came
    EXPECT_EQ(CapturedMessages().size(), 1u);                         // not asked to report
    EXPECT_EQ(ForEachEntry(P(L"/d").c_str(), L"broken", false, kFullEntries, true, collect), kListingFailed);
    EXPECT_EQ(CapturedMessages().back(),
              L"read folder " + P(L"/d/broken") + L" failed: " + std::to_wstring(kErrorAccessDenied) + L"\n");
    EXPECT_EQ(RunFailureCount(), 2u);

    // The next run names the folder again.
    ForgetUnreadableFolders();
    ForEachEntry(P(L"/d").c_str(), L"locked", false, kFullEntries, true, collect);
    EXPECT_EQ(CapturedMessages().back(), lockedLine);

    StartCapture();
    RequestStop();
    EXPECT_EQ(ForEachEntry(P(L"/d").c_str(), nullptr, true, kFullEntries, true, collect), kListingStopped);
    EXPECT_TRUE(CapturedMessages().empty());
}

}  // namespace
