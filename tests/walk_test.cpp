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

TEST_F(WalkTest, SkipListsMatchWholeNamesWithCase) {
    EXPECT_TRUE(IsAlwaysSkippedFolder(L"."));
    EXPECT_TRUE(IsAlwaysSkippedFolder(L".."));
    EXPECT_TRUE(IsAlwaysSkippedFolder(L"$RECYCLE.BIN"));
    EXPECT_FALSE(IsAlwaysSkippedFolder(L"$Recycle.Bin"));
    EXPECT_FALSE(IsAlwaysSkippedFolder(L"..."));
    EXPECT_FALSE(IsAlwaysSkippedFolder(L"Backup"));
    EXPECT_TRUE(IsDeletedWalkSkippedFolder(L"Backup"));
    EXPECT_TRUE(IsDeletedWalkSkippedFolder(L"Deleted"));
    EXPECT_TRUE(IsDeletedWalkSkippedFolder(L"$RECYCLE.BIN"));
    EXPECT_FALSE(IsDeletedWalkSkippedFolder(L"deleted"));
    EXPECT_FALSE(IsDeletedWalkSkippedFolder(L"Backups"));
}

TEST_F(WalkTest, EntriesComeInListingOrderAndAnUnlistableFolderIsPassedOverSilently) {
    MemFsAddFile(P(L"/d/b.txt"), "b", 1);
    MemFsAddFile(P(L"/d/locked/x.txt"), "x", 1);
    MemFsAddFile(P(L"/d/a.txt"), "a", 1);
    MemFsSetFolderOrder(P(L"/d"), {L"locked", L"a.txt", L"b.txt"});
    MemFsFailOn(MemOp::FindFirst, P(L"/d/locked"), kErrorAccessDenied);
    std::vector<std::wstring> seen;
    EXPECT_TRUE(ForEachEntry(P(L"/d").c_str(), nullptr, false, kFullEntries, [&](const FindEntry& e) { seen.push_back(e.name); }));
    EXPECT_EQ(seen, (std::vector<std::wstring>{L".", L"..", L"locked", L"a.txt", L"b.txt"}));
    EXPECT_FALSE(ForEachEntry(P(L"/d").c_str(), L"locked", false, kFullEntries, [&](const FindEntry&) { ADD_FAILURE(); }));
    EXPECT_TRUE(CapturedMessages().empty());
}

}  // namespace
