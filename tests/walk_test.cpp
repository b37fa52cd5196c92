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

// The walks of whole runs: which folders each walk skips, and how each walk treats links.

class WalkRunTest : public PassTest {};

TEST_F(WalkRunTest, RecycleBinFoldersAreSkippedOnlyWithTheExactName) {
    File(L"/src/$RECYCLE.BIN/trash.txt", "t");
    File(L"/src/$Recycle.Bin/kept.txt", "k");
    File(L"/dst/$RECYCLE.BIN/own.txt", "o");
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_EQ(At(L"/dst/$RECYCLE.BIN/trash.txt"), "<none>");
    // Names compare exactly here; under the Windows rules this is the NTFS spelling of the same
    // folder (SkipNamesIgnoreCaseOnWindows).
    EXPECT_EQ(At(L"/dst/$Recycle.Bin/kept.txt"), "k");
    EXPECT_EQ(At(L"/dst/$RECYCLE.BIN/own.txt"), "o");
}

// On Windows names ignore case: a source folder "deleted", once mirrored, is the destination's
// Deleted folder, and a drive's Recycle Bin is "$Recycle.Bin". Neither is walked for deleted
// files, so nothing goes one level deeper on every run, and the Recycle Bin is left alone.
TEST_F(WalkRunTest, SkipNamesIgnoreCaseOnWindows) {
    MemFsReset(true);
    MemFsAddFolder(P(L"/src"));
    MemFsAddFolder(P(L"/dst"));
    File(L"/src/deleted/old.txt", "kept in the source");
    // The mirror made the folder first, so on disk the Deleted folder is spelled "deleted".
    File(L"/dst/deleted/old.txt", "kept in the source");
    File(L"/dst/deleted/gone.txt", "deleted by an earlier run");
    File(L"/dst/$Recycle.Bin/S-1-5-21/$R1.txt", "the user's recycled file");
    MemFsAddFolder(P(L"/dst/$Recycle.Bin/S-1-5-21/empty"));
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(Run(L"d"), 0);
        EXPECT_EQ(Count(L"move deleted file"), 0u) << run;
    }
    EXPECT_EQ(At(L"/dst/Deleted/old.txt"), "kept in the source");
    EXPECT_EQ(At(L"/dst/Deleted/gone.txt"), "deleted by an earlier run");
    EXPECT_EQ(At(L"/dst/Deleted/deleted"), "<none>");
    EXPECT_EQ(At(L"/dst/$Recycle.Bin/S-1-5-21/$R1.txt"), "the user's recycled file");
    EXPECT_EQ(At(L"/dst/$Recycle.Bin/S-1-5-21/empty"), "<folder>");
}

// The destination walks never enter a junction or a link to a folder: what it leads to is not
// the destination's to index, move into Deleted or remove. The source walk goes through them.
TEST_F(WalkRunTest, LinkedFoldersAreLeftAloneInTheDestinationAndWalkedInTheSource) {
    MemFsAddFolder(P(L"/dst/junction"), kFileAttributeReparsePoint);
    File(L"/dst/junction/elsewhere.txt", "not ours");
    MemFsAddFolder(P(L"/dst/holder/empty-link"), kFileAttributeReparsePoint);
    MemFsAddFolder(P(L"/src/linked"), kFileAttributeReparsePoint);
    File(L"/src/linked/taken.txt", "through the link");
    File(L"/src/elsewhere.txt", "not ours");
    File(L"/outside/x.txt", "twin", T0);
    MemFsAddLink(P(L"/dst/old/x.txt"), P(L"/outside/x.txt"));
    File(L"/src/new/x.txt", "twin", T0);
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_EQ(At(L"/dst/junction/elsewhere.txt"), "not ours");
    EXPECT_EQ(Count(L"move file"), 0u);  // the index never saw the file behind the junction, nor
                                         // takes a link for a twin
    EXPECT_EQ(At(L"/dst/new/x.txt"), "twin");
    EXPECT_EQ(At(L"/outside/x.txt"), "twin");
    EXPECT_EQ(At(L"/dst/holder/empty-link"), "<folder>");
    EXPECT_EQ(Count(L"delete empty folder"), 0u);
    EXPECT_EQ(At(L"/dst/linked/taken.txt"), "through the link");
}

// Only name-surrogate reparse points (symbolic links, junctions, mount points) are links. Cloud
// placeholders, deduplicated files and the rest are plain files and folders to every walk: a
// synced destination file is compared like any other (never put aside for being a reparse point),
// and a synced folder is indexed, walked for deleted files and removed when empty.
TEST_F(WalkRunTest, ReparsePointsThatAreNotLinksArePlainFilesAndFolders) {
    constexpr uint32_t kSymlink = 0xA000000C, kJunction = 0xA0000003, kCloud = 0x9000601A, kDedup = 0x80000013;
    File(L"/src/cloud.txt", "same");
    File(L"/dst/cloud.txt", "same");
    MemFsSetReparseTag(P(L"/dst/cloud.txt"), kCloud);
    File(L"/src/linked.txt", "the file");
    File(L"/dst/linked.txt", "the file");
    MemFsSetReparseTag(P(L"/dst/linked.txt"), kSymlink);
    File(L"/dst/dedup/gone.txt", "gone from the source");
    MemFsSetReparseTag(P(L"/dst/dedup"), kDedup);
    MemFsAddFolder(P(L"/dst/synced-empty"));
    MemFsSetReparseTag(P(L"/dst/synced-empty"), kCloud);
    File(L"/dst/junction/kept.txt", "behind a junction");
    MemFsSetReparseTag(P(L"/dst/junction"), kJunction);
    File(L"/src/placeholder-folder/in.txt", "in");
    MemFsSetReparseTag(P(L"/src/placeholder-folder"), kCloud);
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_EQ(Count(L"backup file"), 1u);  // the symbolic link only
    EXPECT_TRUE(Said(L"backup file /dst/linked.txt\n"));
    EXPECT_EQ(At(L"/dst/Deleted/dedup/gone.txt"), "gone from the source");
    EXPECT_EQ(At(L"/dst/synced-empty"), "<none>");
    EXPECT_EQ(At(L"/dst/junction/kept.txt"), "behind a junction");
    EXPECT_EQ(At(L"/dst/placeholder-folder/in.txt"), "in");
    EXPECT_EQ(Count(L"link not followed"), 0u);
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_EQ(Count(L"backup file"), 0u);
    EXPECT_EQ(Count(L"copy file"), 0u);
}

}  // namespace
