// The deleted-files pass: what goes into Deleted and what never does, judged by each file's own
// source folder, and its replay of the destination from the index scan's record.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/copy_move_pass.h"
#include "engine/deleted_pass.h"
#include "engine/destination_changes.h"
#include "engine/destination_index.h"
#include "engine/run_state.h"
#include "engine/walk.h"
#include "tests/test_support.h"

namespace {

class DeletedPassTest : public PassTest {};

TEST_F(DeletedPassTest, DeletedFilesGoToDeletedAndKeptFoldersAreNeverLookedAt) {
    File(L"/src/keep.txt", "k");
    File(L"/dst/keep.txt", "k");
    File(L"/dst/top.txt", "gone at the top");
    File(L"/dst/a/b/deep.txt", "gone deep");
    File(L"/dst/Projects/Deleted/N", "inside a Deleted folder");
    File(L"/dst/Projects/Backup/N", "inside a Backup folder");
    File(L"/dst/Backup/old.txt", "an old backup");
    File(L"/dst/folder-in-source", "a file where the source has a folder");
    MemFsAddFolder(P(L"/src/folder-in-source"));
    MemFsAddFolder(P(L"/src/Projects"));
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_EQ(At(L"/dst/Deleted/top.txt"), "gone at the top");
    EXPECT_EQ(At(L"/dst/Deleted/a/b/deep.txt"), "gone deep");
    EXPECT_EQ(At(L"/dst/Deleted/folder-in-source"), "a file where the source has a folder");
    EXPECT_EQ(At(L"/dst/Projects/Deleted/N"), "inside a Deleted folder");
    EXPECT_EQ(At(L"/dst/Projects/Backup/N"), "inside a Backup folder");
    EXPECT_EQ(At(L"/dst/Backup/old.txt"), "an old backup");
    EXPECT_EQ(At(L"/dst/keep.txt"), "k");
    EXPECT_EQ(At(L"/dst/a"), "<none>");
    EXPECT_EQ(Count(L"move deleted file"), 3u);

    // A second file of the same name vanishes later: it is kept beside the first.
    File(L"/dst/top.txt", "second of that name");
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_EQ(At(L"/dst/Deleted/top.txt"), "gone at the top");
    EXPECT_EQ(At(L"/dst/Deleted/top (2).txt"), "second of that name");
}

// The deleted pass reads each source folder once; a name goes by the listing of its own folder
// only. A file goes into Deleted only when its source folder was listed in full without it, or
// that folder is missing from a parent listed in full: a folder that cannot be listed, or whose
// listing breaks off, proves nothing, and nothing below it moves.
TEST_F(DeletedPassTest, DeletedFilesAreJudgedByTheirOwnSourceFolder) {
    File(L"/src/a/same.txt", "s");
    File(L"/dst/a/same.txt", "s");
    File(L"/dst/b/same.txt", "s, gone from b");
    File(L"/src/locked/kept.txt", "k");
    File(L"/dst/locked/kept.txt", "k");
    File(L"/dst/locked/gone.txt", "g");
    File(L"/src/broken/first.txt", "1");
    File(L"/src/broken/last.txt", "2");
    File(L"/dst/broken/first.txt", "1");
    File(L"/dst/broken/last.txt", "2");
    File(L"/dst/broken/gone.txt", "g");
    File(L"/dst/vanished/deeper/old.txt", "o");
    MemFsAddFolder(P(L"/src/b"));
    MemFsFailOn(MemOp::FindFirst, P(L"/src/locked"), kErrorAccessDenied);
    MemFsFailOn(MemOp::FindNext, P(L"/src/broken"), kErrorAccessDenied);
    MemFsClearCalls();
    EXPECT_EQ(Run(L"d"), 2);
    EXPECT_EQ(At(L"/dst/a/same.txt"), "s");
    EXPECT_EQ(At(L"/dst/Deleted/b/same.txt"), "s, gone from b");
    EXPECT_EQ(At(L"/dst/Deleted/vanished/deeper/old.txt"), "o");
    for (const wchar_t* kept : {L"/dst/locked/kept.txt", L"/dst/locked/gone.txt", L"/dst/broken/first.txt",
                                L"/dst/broken/last.txt", L"/dst/broken/gone.txt"}) {
        EXPECT_NE(At(kept), "<none>") << Narrow(kept);
    }
    EXPECT_EQ(Count(L"move deleted file"), 2u);
    // Each unreadable folder is named once, though two passes met it.
    EXPECT_EQ(Count(L"read folder " + P(L"/src/locked") + L" failed: " + std::to_wstring(kErrorAccessDenied)), 1u);
    EXPECT_EQ(Count(L"read folder " + P(L"/src/broken") + L" failed: "), 1u);
    EXPECT_TRUE(Said(L"Synchronization finished with errors: 2\n"));
    const std::vector<std::wstring>& calls = MemFsCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), L"GetAttributesEx " + P(L"/src/a/same.txt")), 0);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), L"GetAttributesEx " + P(L"/src/locked/gone.txt")), 0);
}

// What the copy pass met stands for the source in the deleted-files pass: a file it met keeps its
// twin in the destination even if it has gone since (the safe side), and a file made since the
// copy pass is still found by the look right before each move.
TEST_F(DeletedPassTest, TheDeletedFilesPassTakesWhatTheCopyPassMetAndLooksAgainBeforeEachMove) {
    File(L"/src/a/met.txt", "m");
    File(L"/dst/a/met.txt", "m");
    File(L"/dst/a/made-since.txt", "n");
    File(L"/dst/a/gone.txt", "g");
    File(L"/src/b/x.txt", "x");
    File(L"/dst/b/x.txt", "x");
    File(L"/dst/vanished/old.txt", "o");
    StartCapture();
    ASSERT_EQ(BuildDestinationIndex(P(L"/dst").c_str(), nullptr), kListingComplete);
    ASSERT_EQ(CopyAndMovePass(P(L"/src").c_str(), P(L"/dst").c_str(), nullptr, false), kListingComplete);
    ASSERT_TRUE(MemFsRemove(P(L"/src/a/met.txt")));
    File(L"/src/a/made-since.txt", "n");
    MemFsClearCalls();
    MoveDeletedPass(P(L"/src").c_str(), P(L"/dst").c_str(), nullptr);
    EXPECT_EQ(At(L"/dst/a/met.txt"), "m");
    EXPECT_EQ(At(L"/dst/a/made-since.txt"), "n");
    EXPECT_EQ(At(L"/dst/Deleted/a/gone.txt"), "g");
    EXPECT_EQ(At(L"/dst/Deleted/vanished/old.txt"), "o");
    EXPECT_EQ(At(L"/dst/b/x.txt"), "x");
    for (const std::wstring& call : MemFsCalls()) {
        EXPECT_NE(call.rfind(L"FindFirst " + P(L"/src"), 0), 0u) << "listed again: " << Narrow(call);
        // Only the candidates are looked at in the source.
        if (call.rfind(L"GetAttributes", 0) == 0 && call.find(P(L"/src")) != std::wstring::npos) {
            EXPECT_TRUE(call.find(L"gone.txt") != std::wstring::npos || call.find(L"made-since.txt") != std::wstring::npos ||
                        call.find(P(L"/src/vanished")) != std::wstring::npos)
                << Narrow(call);
        }
    }
}

// The deleted-files pass works from the index scan's record and what the copy pass changed since,
// without listing the destination again: on random trees (moved twins, changed files, folders gone
// from the source, leftovers of interrupted copies, kept files in Backup and Deleted) it counts
// exactly the entries a fresh walk of the destination lists at that moment, and moves exactly the
// files whose source is gone.
TEST_F(DeletedPassTest, TheDeletedFilesPassCountsAndMovesAsAFreshWalkWould) {
    const wchar_t* const folders[] = {L"", L"a", L"a/b", L"c", L"Backup", L"d/e", L"Deleted/a"};
    const wchar_t* const names[] = {L"x.txt", L"y.txt", L"z", L".kestrome-0123456789ab.tmp"};
    for (uint64_t seed = 1; seed <= 200; ++seed) {
        MemFsReset();
        SetUp();
        MemFsSetListingOrder(ListingOrder::Random, seed);
        std::mt19937_64 random(seed);
        auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
        for (int i = 0; i < 24; ++i) {
            std::wstring folder = folders[pick(std::size(folders))];
            std::wstring name = names[pick(std::size(names))];
            std::wstring rel = folder.empty() ? name : folder + L"/" + name;
            std::string content = "c" + std::to_string(pick(3));
            int64_t time = T0 + static_cast<int64_t>(pick(3)) * kSecond;
            bool leftover = IsLeftoverCopyName(name.c_str());
            switch (pick(4)) {
                case 0: if (!leftover) File(L"/src/" + rel, content, time); break;
                case 1: File(L"/dst/" + rel, content, time); break;
                default:
                    if (!leftover) File(L"/src/" + rel, content, time);
                    File(L"/dst/" + rel, pick(3) ? content : "changed", time);
                    break;
            }
        }
        if (pick(2)) MemFsAddFolder(P(L"/dst/empty/inner"));
        // A leftover that cannot be removed stays, and is counted where it stands.
        if (seed % 2) MemFsFailOn(MemOp::RemoveLeftoverCopy, P(L"/dst/a/.kestrome-0123456789ab.tmp"), kErrorAccessDenied);
        StartCapture();
        EntryCounter = 0;
        ASSERT_EQ(BuildDestinationIndex(P(L"/dst").c_str(), nullptr), kListingComplete);
        RemoveLeftoverCopies();
        EntryCounter = 0;
        CopyAndMovePass(P(L"/src").c_str(), P(L"/dst").c_str(), nullptr, false);
        int32_t listed = 0;
        MemFsNode node;
        std::vector<std::wstring> gone;  // files whose source is gone, in no kept folder
        std::function<void(const std::wstring&)> walk = [&](const std::wstring& rel) {
            ForEachEntry(P(L"/dst").c_str(), rel.empty() ? nullptr : rel.c_str(), false, kNamesAndTypes, false,
                         [&](const FindEntry& entry) {
                             ++listed;
                             std::wstring child = rel.empty() ? entry.name : rel + kPathSeparator + entry.name;
                             if (IsFolder(entry)) {
                                 if (!IsDeletedWalkSkippedFolder(entry.name) && !IsLinkedFolder(entry)) walk(child);
                             } else if (!MemFsLookup(P(L"/src/") + child, &node) && !IsLeftoverCopyName(entry.name)) {
                                 gone.push_back(child);
                             }
                         });
        };
        walk(L"");
        EntryCounter = 0;
        MoveDeletedPass(P(L"/src").c_str(), P(L"/dst").c_str(), nullptr);
        SCOPED_TRACE("seed " + std::to_string(seed) + "\n" + Narrow(CapturedText()));
        EXPECT_EQ(EntryCounter, listed);
        EXPECT_EQ(Count(L"move deleted file"), gone.size());
        for (const std::wstring& rel : gone) {
            EXPECT_EQ(At(L"/dst/" + rel), "<none>") << Narrow(rel);
            EXPECT_NE(At(L"/dst/Deleted/" + rel), "<none>") << Narrow(rel);
        }
        if (HasFailure()) break;
    }
}

}  // namespace
