// The run record: folders numbered in the scan's order, the counts the deleted-files pass replays
// instead of listing the destination again, and what the copy pass learned of the source.
#include <gtest/gtest.h>

#include <cwchar>
#include <random>
#include <string>
#include <vector>

#include "engine/copy_move_pass.h"
#include "engine/destination_changes.h"
#include "engine/destination_index.h"
#include "engine/run_record.h"
#include "engine/walk.h"
#include "tests/test_support.h"

namespace {

class RunRecordTest : public PassTest {
protected:
    // The index scan, the leftovers' removal and the copy pass, as a run does them.
    static void ScanAndCopy() {
        StartCapture();
        ASSERT_EQ(BuildDestinationIndex(P(L"/dst").c_str(), nullptr), kListingComplete);
        RemoveLeftoverCopies();
        CopyAndMovePass(P(L"/src").c_str(), P(L"/dst").c_str(), nullptr, false);
    }
    // The id of the indexed file at relative path rel ('/' as separator) of the destination.
    static uint32_t FileAt(const std::wstring& rel) {
        std::wstring path = P(rel);
        size_t cut = path.rfind(kPathSeparator);
        std::wstring folder = cut == std::wstring::npos ? L"" : path.substr(0, cut);
        std::wstring name = cut == std::wstring::npos ? path : path.substr(cut + 1);
        return NextIndexedFileIn(folder.empty() ? nullptr : folder.c_str(), name.c_str(), kNoIndexEntry);
    }
    static std::wstring FolderText(uint32_t folder) {
        const wchar_t* text = RecordedRelativeFolder(folder);
        return text ? text : L"<root>";
    }
};

// Folders are numbered as the scan began them, depth first in listing order, each one's files in
// its range; a folder registered after the scan comes after all of them and holds no file.
TEST_F(RunRecordTest, FoldersAreNumberedInScanOrderAndLaterOnesComeAfterEveryFile) {
    File(L"/dst/top.txt", "t");
    File(L"/dst/b/one.txt", "1");
    File(L"/dst/b/inner/two.txt", "2");
    File(L"/dst/b/three.txt", "3");
    File(L"/dst/a/four.txt", "4");
    MemFsSetFolderOrder(P(L"/dst"), {L"b", L"top.txt", L"a"});
    MemFsSetFolderOrder(P(L"/dst/b"), {L"one.txt", L"inner", L"three.txt"});
    StartCapture();
    ASSERT_EQ(BuildDestinationIndex(P(L"/dst").c_str(), nullptr), kListingComplete);
    ASSERT_TRUE(RecordCovers(P(L"/dst").c_str()));
    EXPECT_FALSE(RecordCovers(P(L"/dst/b").c_str()));
    ASSERT_EQ(RecordedFolderCount(), 4u);
    std::vector<std::wstring> folders;
    for (uint32_t n = 0; n < RecordedFolderCount(); ++n) folders.push_back(FolderText(n));
    EXPECT_EQ(folders, (std::vector<std::wstring>{L"<root>", L"b", P(L"b/inner"), L"a"}));
    // Each folder's files lie in its range; the ranges of sub-folders nest inside.
    for (uint32_t id = 0; id < IndexedFileCount(); ++id) {
        const uint32_t folder = IndexedFile(id).folder;
        for (uint32_t n = folder; n != kNoRecordedFolder; n = RecordedFolderAt(n).parent) {
            EXPECT_GE(id, RecordedFolderAt(n).firstFile) << id;
            EXPECT_LT(id, RecordedFolderAt(n).endFile) << id;
        }
    }
    EXPECT_EQ(RecordedFolderAt(FindRecordedFolder(L"b")).endFile - RecordedFolderAt(FindRecordedFolder(L"b")).firstFile, 3u);

    NoteSourceFolder(P(L"a/new").c_str(), kSourceFolderMet);
    const uint32_t late = FindRecordedFolder(P(L"a/new").c_str());
    ASSERT_EQ(late, 4u);
    EXPECT_EQ(RecordedFolderAt(late).firstFile, IndexedFileCount());
    EXPECT_EQ(RecordedFolderAt(late).endFile, IndexedFileCount());
    EXPECT_EQ(RecordedFolderAt(late).parent, FindRecordedFolder(L"a"));
    EXPECT_FALSE(RecordedFolderAt(late).present);  // met in the source, not made in the destination
    NoteMadeFolder(P(L"a/new").c_str());
    EXPECT_TRUE(RecordedFolderAt(late).present);
    EXPECT_EQ(RecordedFolderAt(late).unindexedEntries, 2u);  // "." and ".."
    EXPECT_EQ(FindRecordedFolder(P(L"x/y").c_str()), kNoRecordedFolder);
    NoteMadeFolder(P(L"x/y").c_str());  // its parent has no number: not registered
    EXPECT_EQ(FindRecordedFolder(P(L"x/y").c_str()), kNoRecordedFolder);
}

// What the copy pass learned: which folders of the source it met and listed in full, at which
// destination files' places the source has a file, what it found at a look-alike's own place, and
// what it moved away. A new scan begins with none of it.
TEST_F(RunRecordTest, WhatTheCopyPassLearnedAndANewScanForgets) {
    File(L"/src/same/kept.txt", "k");
    File(L"/dst/same/kept.txt", "k");
    File(L"/dst/same/gone.txt", "g");
    File(L"/src/changed/c.txt", "v2", T0 + kSecond);
    File(L"/dst/changed/c.txt", "v1");
    File(L"/dst/old/moved.txt", "m");  // a twin of new/moved.txt: its own place is empty
    File(L"/src/new/moved.txt", "m");
    File(L"/dst/held/moved.txt", "m");  // a look-alike whose own place in the source holds it
    File(L"/src/held/moved.txt", "m");
    MemFsAddFolder(P(L"/src/locked"));
    MemFsFailOn(MemOp::FindFirst, P(L"/src/locked"), kErrorAccessDenied);
    MemFsSetFolderOrder(P(L"/src"), {L"new", L"held", L"same", L"changed", L"locked"});
    MemFsSetFolderOrder(P(L"/dst"), {L"held", L"old", L"same", L"changed"});
    ScanAndCopy();
    EXPECT_EQ(SourceFolderKnowledge(nullptr), kSourceFolderListed);
    EXPECT_EQ(SourceFolderKnowledge(L"same"), kSourceFolderMet | kSourceFolderListed);
    EXPECT_EQ(SourceFolderKnowledge(L"locked"), kSourceFolderMet);  // its listing failed
    EXPECT_EQ(SourceFolderKnowledge(L"nowhere"), 0u);

    EXPECT_EQ(FileMarks(FileAt(L"same/kept.txt")), kSourceFileSeen);
    EXPECT_EQ(FileMarks(FileAt(L"same/gone.txt")), 0u);
    EXPECT_EQ(FileMarks(FileAt(L"changed/c.txt")), kSourceFileSeen | kMovedAway);  // into Backup
    EXPECT_EQ(FileMarks(FileAt(L"old/moved.txt")), kSourcePlaceEmpty | kMovedAway | kTakenAsTwin);
    // Looked at for new/moved.txt before the walk met held/moved.txt in the source.
    EXPECT_EQ(FileMarks(FileAt(L"held/moved.txt")), kSourcePlaceHeld | kSourceFileSeen);
    EXPECT_EQ(At(L"/dst/new/moved.txt"), "m");

    ASSERT_EQ(BuildDestinationIndex(P(L"/dst").c_str(), nullptr), kListingComplete);
    for (uint32_t id = 0; id < IndexedFileCount(); ++id) EXPECT_EQ(FileMarks(id), 0u) << id;
    EXPECT_EQ(SourceFolderKnowledge(nullptr), 0u);
    EXPECT_EQ(SourceFolderKnowledge(L"same"), 0u);
}

// Each folder the deleted-files pass walks counts, beside its indexed files still in place,
// exactly the entries a fresh listing gives once the copy pass is done: ".", "..", sub-folders,
// leftovers that could not be removed, files the copy pass brought or moved in, folders it made.
TEST_F(RunRecordTest, EachFolderCountsWhatAFreshListingGivesBesideItsIndexedFiles) {
    const wchar_t* const folders[] = {L"", L"a", L"a/b", L"c", L"c/d/e", L"Backup", L"$RECYCLE.BIN"};
    const wchar_t* const names[] = {L"x.txt", L"y.txt", L"z", L".kestrome-0123456789ab.tmp"};
    for (uint64_t seed = 1; seed <= 150; ++seed) {
        SetUp();
        MemFsSetListingOrder(ListingOrder::Random, seed);
        std::mt19937_64 random(seed);
        auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
        for (int i = 0; i < 20; ++i) {
            std::wstring folder = folders[pick(std::size(folders))];
            std::wstring name = names[pick(std::size(names))];
            std::wstring rel = folder.empty() ? name : folder + L"/" + name;
            std::string content = "c";
            content += std::to_string(pick(2));
            bool leftover = IsLeftoverCopyName(name.c_str());
            switch (pick(4)) {
                case 0: if (!leftover) File(L"/src/" + rel, content); break;
                case 1: File(L"/dst/" + rel, content); break;
                default:
                    if (!leftover) File(L"/src/" + rel, content);
                    File(L"/dst/" + rel, pick(2) ? content : "changed", T0 + kSecond);
                    break;
            }
        }
        if (pick(2)) MemFsAddLink(P(L"/dst/linked"), P(L"/src"));
        if (seed % 2) MemFsFailOn(MemOp::RemoveLeftoverCopy, P(L"/dst/a/.kestrome-0123456789ab.tmp"), kErrorAccessDenied);
        ScanAndCopy();
        SCOPED_TRACE("seed " + std::to_string(seed) + "\n" + Narrow(CapturedText()));
        for (uint32_t n = 0; n < RecordedFolderCount(); ++n) {
            const RecordedFolder folder = RecordedFolderAt(n);
            const wchar_t* rel = RecordedRelativeFolder(n);
            // Only the folders the replay walks keep their counts: none below Backup or Deleted.
            if (!folder.present || (rel && (wcsncmp(rel, L"Backup", 6) == 0 || wcsncmp(rel, L"Deleted", 7) == 0))) continue;
            uint32_t listed = 0;
            ForEachEntry(P(L"/dst").c_str(), rel, false, kNamesAndTypes, false, [&](const FindEntry&) { ++listed; });
            uint32_t inPlace = 0;
            for (uint32_t id = folder.firstFile; id < folder.endFile; ++id) {
                inPlace += IndexedFile(id).folder == n && !(FileMarks(id) & kMovedAway);
            }
            EXPECT_EQ(folder.unindexedEntries + inPlace, listed) << Narrow(FolderText(n));
        }
        if (HasFailure()) break;
    }
}

}  // namespace
