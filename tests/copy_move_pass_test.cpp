// The copy-and-move pass in whole runs on the in-memory file system: copies, moved twins and
// look-alikes, backups, the tolerance, the date filter, and the source walk's links and names.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/copy_move_pass.h"
#include "engine/run_state.h"
#include "tests/test_support.h"

namespace {

class CopyMovePassTest : public PassTest {};

TEST_F(CopyMovePassTest, MissingFilesAreCopiedAndEqualFilesLeftAloneWithoutAWord) {
    File(L"/src/a.txt", "a");
    File(L"/src/x/y/b.txt", "b");
    MemFsAddFolder(P(L"/src/empty/inner"));
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(At(L"/dst/a.txt"), "a");
    EXPECT_EQ(At(L"/dst/x/y/b.txt"), "b");
    EXPECT_EQ(At(L"/dst/empty"), "<none>");  // a folder is created only to receive a file
    EXPECT_TRUE(Said(L"copy file /src/x/y/b.txt\n"));
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Count(L"copy"), 0u);
    EXPECT_EQ(Count(L"move"), 0u);
    EXPECT_EQ(Count(L"backup"), 0u);
}

TEST_F(CopyMovePassTest, MovedTwinsAreTakenInScanOrder) {
    File(L"/dst/A/x.txt", "same");
    File(L"/dst/B/x.txt", "same");
    File(L"/src/C/x.txt", "same");
    MemFsSetFolderOrder(P(L"/dst"), {L"B", L"A"});
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(Said(L"move file /dst/B/x.txt\n"));
    EXPECT_EQ(At(L"/dst/C/x.txt"), "same");
    EXPECT_EQ(At(L"/dst/B"), "<none>");  // emptied, then removed
    EXPECT_EQ(At(L"/dst/A/x.txt"), "same");
    EXPECT_EQ(Count(L"copy file"), 0u);
}

// The twin whose source place still holds the file is that file's own, not a moved one.
TEST_F(CopyMovePassTest, ATwinWhoseSourcePlaceHoldsTheFileIsThatFilesOwn) {
    File(L"/dst/A/x.txt", "same");
    File(L"/dst/B/x.txt", "same");
    File(L"/src/A/x.txt", "same");
    File(L"/src/C/x.txt", "same");
    MemFsSetFolderOrder(P(L"/src"), {L"C", L"A"});
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(Said(L"move file /dst/B/x.txt\n"));
    EXPECT_EQ(At(L"/dst/A/x.txt"), "same");
}

// Both source places hold files: no twin, a copy.
TEST_F(CopyMovePassTest, NoTwinWhereTheSourceStillHoldsTheFile) {
    File(L"/dst/A/x.txt", "same");
    File(L"/src/A/x.txt", "same");
    File(L"/src/C/x.txt", "same");
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(Said(L"copy file /src/C/x.txt\n"));
    EXPECT_EQ(Count(L"move file"), 0u);
}

TEST_F(CopyMovePassTest, TwinsNeedTheExactNameSizeAndTime) {
    File(L"/dst/old/photo.jpg", "12345", T0);
    File(L"/dst/old/Photo.JPG", "12345", T0);
    File(L"/dst/old/late.jpg", "12345", T0 + 1);
    File(L"/dst/old/size.jpg", "1234", T0);
    File(L"/src/new/photo.JPG", "12345", T0);
    File(L"/src/new/late.jpg", "12345", T0);
    File(L"/src/new/size.jpg", "12345", T0);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Count(L"move file"), 0u);
    EXPECT_EQ(Count(L"copy file"), 3u);
}

TEST_F(CopyMovePassTest, ATwinKeptInDeletedOrBackupIsMovedBackOut) {
    File(L"/dst/Deleted/docs/cv.pdf", "cv");
    File(L"/src/docs/cv.pdf", "cv");
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_TRUE(Said(L"move file /dst/Deleted/docs/cv.pdf\n"));
    EXPECT_EQ(At(L"/dst/docs/cv.pdf"), "cv");
    EXPECT_EQ(At(L"/dst/Deleted"), "<none>");
}

// Two new source files with one name, size and time, and one destination twin: the first takes
// it, and the second is copied, without a failed move: a twin once taken is never offered again.
TEST_F(CopyMovePassTest, ATwinTakenOnceIsNeverOfferedAgain) {
    File(L"/dst/gone/x.bin", "xx");
    File(L"/src/one/x.bin", "xx");
    File(L"/src/two/x.bin", "xx");
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Count(L"move file " + P(L"/dst/gone/x.bin")), 1u);
    EXPECT_TRUE(Said(L"copy file /src/two/x.bin\n"));
    EXPECT_EQ(At(L"/dst/one/x.bin"), "xx");
    EXPECT_EQ(At(L"/dst/two/x.bin"), "xx");
    EXPECT_EQ(RunFailureCount(), 0u);
}

// Look-alikes (one name, size and time, other bytes) in several folders. A lone one is moved
// unread; where several qualify, or one went to another source file of the name earlier in the
// run, only one whose bytes are the source file's is moved, and otherwise the file is copied.
// Candidates that cannot be read prove nothing and are no failure; a source that cannot be read
// fails in its copy, as it always did.
TEST_F(CopyMovePassTest, LookAlikeTwinsAreMovedOnlyWhenTheirBytesAreTheSourceFiles) {
    auto contentReads = [] {
        size_t n = 0;
        for (const std::wstring& call : MemFsCalls()) n += call.rfind(L"OpenRead ", 0) == 0;
        return n;
    };
    // Folders a, b and c were renamed to x, y and z; the scan meets a first.
    File(L"/dst/a/input.js", "AAAA");
    File(L"/dst/b/input.js", "BBBB");
    File(L"/dst/c/input.js", "CCCC");
    File(L"/dst/lone/unique.js", "uniq");
    File(L"/src/x/input.js", "BBBB");
    File(L"/src/y/input.js", "CCCC");
    File(L"/src/z/input.js", "AAAA");
    File(L"/src/moved/unique.js", "uniq");
    MemFsSetFolderOrder(P(L"/dst"), {L"a", L"b", L"c"});
    MemFsSetFolderOrder(P(L"/src"), {L"x", L"y", L"z"});
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_EQ(At(L"/dst/x/input.js"), "BBBB");
    EXPECT_EQ(At(L"/dst/y/input.js"), "CCCC");
    EXPECT_EQ(At(L"/dst/z/input.js"), "AAAA");
    EXPECT_EQ(At(L"/dst/moved/unique.js"), "uniq");
    EXPECT_EQ(Count(L"move file"), 4u);
    EXPECT_EQ(Count(L"copy file"), 0u);
    EXPECT_TRUE(Said(L"move file /dst/b/input.js\n"));
    // x reads itself, a and b; y itself and c (a's first bytes are known by now); z itself and
    // the a that was left, which is no longer alone (b and c went to other source files of the
    // name) and begins as z does, so it is read whole; unique.js reads nothing.
    EXPECT_EQ(contentReads(), 3u + 2u + 2u);
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_EQ(Count(L"move"), 0u);
    EXPECT_EQ(Count(L"copy"), 0u);
}

// The only look-alike left for the second source file holds other bytes: the one taken first
// shows that look-alikes of other bytes are about, so the second is read, and copied.
TEST_F(CopyMovePassTest, ALookAlikeOfOtherBytesIsCopiedOverOnceAnotherWasTaken) {
    File(L"/dst/a/index.js", "AAAA");
    File(L"/dst/b/index.js", "BBBB");
    File(L"/src/x/index.js", "AAAA");
    File(L"/src/y/index.js", "NEW!");
    MemFsSetFolderOrder(P(L"/src"), {L"x", L"y"});
    MemFsSetFolderOrder(P(L"/dst"), {L"a", L"b"});
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_EQ(At(L"/dst/x/index.js"), "AAAA");
    EXPECT_EQ(At(L"/dst/y/index.js"), "NEW!");
    EXPECT_TRUE(Said(L"copy file /src/y/index.js\n"));
    EXPECT_EQ(At(L"/dst/Deleted/b/index.js"), "BBBB");
}

// Unreadable candidates are passed over, silently (and not tried again in the run); with
// none left the file is copied.
TEST_F(CopyMovePassTest, UnreadableLookAlikesArePassedOverSilently) {
    File(L"/dst/a/f.txt", "same");
    File(L"/dst/b/f.txt", "same");
    File(L"/dst/c/f.txt", "same");
    File(L"/src/n/f.txt", "same");
    File(L"/src/m/f.txt", "same");
    MemFsSetFolderOrder(P(L"/src"), {L"n", L"m"});
    MemFsSetFolderOrder(P(L"/dst"), {L"a", L"b", L"c"});
    MemFsFailOn(MemOp::OpenRead, P(L"/dst/a/f.txt"), kErrorAccessDenied);
    MemFsFailOn(MemOp::OpenRead, P(L"/dst/b/f.txt"), kErrorAccessDenied);
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(Said(L"move file /dst/c/f.txt\n"));
    EXPECT_EQ(At(L"/dst/n/f.txt"), "same");
    EXPECT_TRUE(Said(L"copy file /src/m/f.txt\n"));
    EXPECT_EQ(At(L"/dst/m/f.txt"), "same");
    EXPECT_EQ(RunFailureCount(), 0u);
}

// A source file that cannot be read: no look-alike is moved for it, and its copy reports.
TEST_F(CopyMovePassTest, ASourceFileThatCannotBeReadGetsNoLookAlike) {
    File(L"/dst/a/f.txt", "same");
    File(L"/dst/b/f.txt", "same");
    File(L"/src/n/f.txt", "same");
    MemFsFailOn(MemOp::OpenRead, P(L"/src/n/f.txt"), kErrorAccessDenied);
    MemFsFailOn(MemOp::CopyFile, P(L"/src/n/f.txt"), kErrorAccessDenied);
    EXPECT_EQ(Run(), 2);
    EXPECT_EQ(Count(L"move file"), 0u);
    EXPECT_TRUE(Said(L"copy /src/n/f.txt failed: "));
    EXPECT_EQ(At(L"/dst/a/f.txt"), "same");
    EXPECT_EQ(At(L"/dst/b/f.txt"), "same");
}

// Faults that once slipped through: a candidate whose own source place holds a folder is a twin
// (the source has no file there); sizes equal in their low 32 bits only are different sizes for
// the equality rule; a folder that could not be made is not taken as made by the next file of its
// folder.
TEST_F(CopyMovePassTest, FoldersAtTheOldPlaceSizeHalvesAndUnmadeFolders) {
    File(L"/dst/A/x.txt", "moved");
    MemFsAddFolder(P(L"/src/A/x.txt"));  // a folder now where the file was
    File(L"/src/C/x.txt", "moved");
    File(L"/src/D/one.txt", "1");
    File(L"/src/D/two.txt", "2");
    MemFsSetFolderOrder(P(L"/src/D"), {L"one.txt", L"two.txt"});
    MemFsFailOn(MemOp::CreateDirectory, P(L"/dst/D"), kErrorAccessDenied, 1);
    EXPECT_EQ(Run(), 2);
    EXPECT_TRUE(Said(L"move file /dst/A/x.txt\n"));
    EXPECT_EQ(At(L"/dst/C/x.txt"), "moved");
    EXPECT_TRUE(Said(L"copy /src/D/one.txt failed: " + std::to_wstring(kErrorAccessDenied) + L"\n"));
    EXPECT_EQ(At(L"/dst/D/two.txt"), "2");  // its file makes the folder anew
    EXPECT_EQ(RunFailureCount(), 1u);

    const FileTime t = FileTimeFromInt64(T0);
    EXPECT_TRUE(FilesAreEqual(1, 5, t, 1, 5, t, false));
    EXPECT_FALSE(FilesAreEqual(1, 5, t, 0, 5, t, false));
    EXPECT_FALSE(FilesAreEqual(0, 5, t, 2, 5, t, true));
}

// What a look found at a look-alike's own place in the source holds for the rest of the run: a
// name met by many source files costs one look per look-alike, whether its place was held or
// empty, also while several look-alikes are told apart by their bytes.
TEST_F(CopyMovePassTest, ALookAlikesSourcePlaceIsLookedAtOncePerRun) {
    File(L"/dst/held/x.txt", "same");
    File(L"/src/held/x.txt", "same");
    for (const wchar_t* folder : {L"/src/n1/", L"/src/n2/", L"/src/n3/"}) File(folder + std::wstring(L"x.txt"), "same");
    File(L"/dst/c/y.txt", "CCCC");
    File(L"/dst/d/y.txt", "DDDD");
    File(L"/src/n1/y.txt", "DDDD");
    MemFsSetFolderOrder(P(L"/src"), {L"n1", L"n2", L"n3", L"held"});
    MemFsSetFolderOrder(P(L"/dst"), {L"c", L"d", L"held"});
    MemFsClearCalls();
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Count(L"copy file"), 3u);
    EXPECT_EQ(Count(L"move file"), 1u);
    EXPECT_TRUE(Said(L"move file /dst/d/y.txt\n"));
    const std::vector<std::wstring>& calls = MemFsCalls();
    for (const wchar_t* place : {L"/src/held/x.txt", L"/src/c/y.txt", L"/src/d/y.txt"}) {
        EXPECT_EQ(std::count(calls.begin(), calls.end(), L"GetAttributesEx " + P(place)), 1) << Narrow(place);
    }
}

// Between different file systems every look-alike within the two seconds is a candidate: one
// alone is moved, several are told apart by their bytes.
TEST_F(CopyMovePassTest, LookAlikesWithinTheToleranceAreCandidatesToo) {
    MemFsFailOn(MemOp::GetFileSystemName, P(L"/dst"), kErrorAccessDenied);
    File(L"/dst/old/fat.txt", "on fat", T0 + 2 * kSecond);
    File(L"/src/new/fat.txt", "on fat", T0);
    File(L"/dst/p/two.txt", "AAAA", T0 + kSecond);
    File(L"/dst/q/two.txt", "BBBB", T0 - kSecond);
    File(L"/dst/r/two.txt", "CCCC", T0 + 3 * kSecond);  // beyond the tolerance: no candidate
    File(L"/src/s/two.txt", "BBBB", T0);
    MemFsSetFolderOrder(P(L"/dst"), {L"p", L"q", L"r"});
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(Said(L"move file /dst/old/fat.txt\n"));
    EXPECT_TRUE(Said(L"move file /dst/q/two.txt\n"));
    EXPECT_EQ(At(L"/dst/s/two.txt"), "BBBB");
    EXPECT_EQ(Count(L"copy file"), 0u);
}

TEST_F(CopyMovePassTest, AFolderWhereTheSourceHasAFileIsLeftAloneAndTheCopyFails) {
    File(L"/src/report", "text");
    File(L"/dst/report/inner.txt", "kept");
    EXPECT_EQ(Run(), 2);
    EXPECT_EQ(Count(L"copy " + P(L"/src/report") + L" failed: "), 1u);
    EXPECT_EQ(At(L"/dst/report/inner.txt"), "kept");
    // With "d", the file inside that folder has no source and goes to Deleted, the emptied folder
    // goes, and the run after that can copy the file.
    EXPECT_EQ(Run(L"d"), 2);
    EXPECT_EQ(At(L"/dst/Deleted/report/inner.txt"), "kept");
    EXPECT_EQ(At(L"/dst/report"), "<none>");
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_EQ(At(L"/dst/report"), "text");
}

TEST_F(CopyMovePassTest, ChangedFilesAreBackedUpBeforeTheCopyAndNeverOverwritten) {
    File(L"/dst/r/report.txt", "v1", T0);
    File(L"/src/r/report.txt", "v2", T0 + kSecond);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(At(L"/dst/Backup/r/report.txt"), "v1");
    EXPECT_EQ(At(L"/dst/r/report.txt"), "v2");
    size_t backup = CapturedText().find(P(L"backup file /dst/r/report.txt\n"));
    size_t copy = CapturedText().find(P(L"copy file /src/r/report.txt\n"));
    EXPECT_LT(backup, copy);

    File(L"/src/r/report.txt", "v3", T0 + 2 * kSecond);
    EXPECT_EQ(Run(), 0);
    File(L"/src/r/report.txt", "v4", T0 + 3 * kSecond);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(At(L"/dst/Backup/r/report.txt"), "v1");
    EXPECT_EQ(At(L"/dst/Backup/r/report (2).txt"), "v2");
    EXPECT_EQ(At(L"/dst/Backup/r/report (3).txt"), "v3");
    EXPECT_EQ(At(L"/dst/r/report.txt"), "v4");
}

TEST_F(CopyMovePassTest, AFailedBackupMoveLeavesTheDestinationFileAsItIs) {
    File(L"/dst/a.txt", "old", T0);
    File(L"/src/a.txt", "new", T0 + kSecond);
    MemFsFailOn(MemOp::MoveFile, P(L"/dst/a.txt"), kErrorAccessDenied, 1);
    EXPECT_EQ(Run(), 2);
    EXPECT_TRUE(Said(L"backup file /dst/a.txt\n"));
    EXPECT_EQ(Count(L"move " + P(L"/dst/a.txt") + L" failed: " + std::to_wstring(kErrorAccessDenied) + L"\n"), 1u);
    EXPECT_EQ(Count(L"copy file"), 0u);
    EXPECT_EQ(At(L"/dst/a.txt"), "old");
    EXPECT_EQ(Run(), 0);  // the next run tries again
    EXPECT_EQ(At(L"/dst/a.txt"), "new");
    EXPECT_EQ(At(L"/dst/Backup/a.txt"), "old");
}

TEST_F(CopyMovePassTest, SourceFoldersNamedBackupAndDeletedShareTheDestinationsFolders) {
    File(L"/dst/N", "top v1", T0);
    File(L"/src/N", "top v2", T0 + kSecond);
    File(L"/src/Backup/N", "mirrored");
    MemFsSetFolderOrder(P(L"/src"), {L"N", L"Backup"});
    EXPECT_EQ(Run(L"d"), 0);
    // The backup of N came first; the mirrored file then met it as an unequal file and put it aside.
    EXPECT_EQ(At(L"/dst/Backup/N"), "mirrored");
    EXPECT_EQ(At(L"/dst/Backup/Backup/N"), "top v1");
    EXPECT_EQ(At(L"/dst/N"), "top v2");
}

TEST_F(CopyMovePassTest, TheTwoSecondToleranceAppliesOnlyBetweenDifferentFileSystems) {
    File(L"/src/exact.txt", "e", T0 + 2 * kSecond);
    File(L"/dst/exact.txt", "e", T0);
    File(L"/src/over.txt", "o", T0 + 2 * kSecond + 1);
    File(L"/dst/over.txt", "o", T0);
    File(L"/src/back.txt", "b", T0);
    File(L"/dst/back.txt", "b", T0 + 2 * kSecond);
    MemFsFailOn(MemOp::GetFileSystemName, P(L"/dst"), kErrorAccessDenied);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Count(L"backup file"), 1u);
    EXPECT_TRUE(Said(L"backup file /dst/over.txt\n"));
}

// On one file system a time one unit (100 ns) later is a changed file.
TEST_F(CopyMovePassTest, OneUnitOfTimeIsAChangeOnOneFileSystem) {
    File(L"/src/tick.txt", "t", T0 + 1);
    File(L"/dst/tick.txt", "t", T0);
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(Said(L"backup file /dst/tick.txt\n"));
}

TEST_F(CopyMovePassTest, DateFilterTakesFilesCreatedOrWrittenSinceTheDay) {
    SetTimeZone("UTC0");
    int64_t before = UtcFileTime(2024, 5, 6, 23, 59, 59);
    int64_t after = UtcFileTime(2024, 5, 7);
    MemFsAddFile(P(L"/src/old.txt"), "old", before, before);
    MemFsAddFile(P(L"/src/copied-recently.txt"), "c", before, after);
    MemFsAddFile(P(L"/src/written.txt"), "w", after, before);
    EXPECT_EQ(Run(L"2024.5.7"), 0);
    EXPECT_EQ(At(L"/dst/old.txt"), "<none>");
    EXPECT_EQ(At(L"/dst/copied-recently.txt"), "c");
    EXPECT_EQ(At(L"/dst/written.txt"), "w");
}

// The way into Backup is looked at once per folder walk, however many of its files change; each
// folder still gets its own look.
TEST_F(CopyMovePassTest, TheWayIntoBackupIsLookedAtOncePerFolder) {
    for (const wchar_t* folder : {L"/a/", L"/b/"}) {
        for (const wchar_t* name : {L"1.txt", L"2.txt", L"3.txt"}) {
            File(L"/dst" + std::wstring(folder) + name, "old");
            File(L"/src" + std::wstring(folder) + name, "new", T0 + kSecond);
        }
    }
    MemFsClearCalls();
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Count(L"backup file"), 6u);
    for (const wchar_t* kept : {L"/dst/Backup/a/1.txt", L"/dst/Backup/a/3.txt", L"/dst/Backup/b/2.txt"}) EXPECT_EQ(At(kept), "old");
    EXPECT_EQ(At(L"/dst/b/3.txt"), "new");
    const std::vector<std::wstring>& calls = MemFsCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), L"GetAttributes " + P(L"/dst/Backup")), 2);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), L"CreateDirectory " + P(L"/dst/Backup/b")), 1);
}

// Someone else's change in the middle of a run: a place this run moved a file from holds nothing
// afterwards, whatever the index scan recorded there. Here a file equal to a twin the run moved
// away appears at the twin's old source place.
TEST_F(CopyMovePassTest, APlaceThisRunMovedAFileFromIsNotTakenForHoldingIt) {
    File(L"/dst/a/x.txt", "same");
    File(L"/dst/a/other.txt", "o");
    File(L"/src/a/other.txt", "o");
    File(L"/src/c/x.txt", "same");
    MemFsSetFolderOrder(P(L"/src"), {L"c", L"a"});
    MemFsOnCall(MemOp::MoveFile, P(L"/dst/a/x.txt"), [] { File(L"/src/a/x.txt", "same"); });
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(Said(L"move file /dst/a/x.txt\n"));
    EXPECT_EQ(At(L"/dst/c/x.txt"), "same");
    EXPECT_TRUE(Said(L"copy file /src/a/x.txt\n"));
    EXPECT_EQ(At(L"/dst/a/x.txt"), "same");
}

// A kept file that had to make way for a folder is gone from its place, whatever the index scan
// recorded there: the source's file that mirrors it is no copy of it.
TEST_F(CopyMovePassTest, AKeptFileThatMadeWayIsNotTakenForTheSourcesFile) {
    File(L"/dst/Backup/sub", "kept");
    File(L"/src/Backup/sub", "kept");
    File(L"/dst/sub/a.txt", "old");
    File(L"/src/sub/a.txt", "new", T0 + kSecond);
    MemFsSetFolderOrder(P(L"/src"), {L"sub", L"Backup"});
    EXPECT_EQ(Run(), 2);
    EXPECT_TRUE(Said(L"move kept file /dst/Backup/sub\n"));
    EXPECT_EQ(At(L"/dst/Backup/sub (2)"), "kept");
    EXPECT_EQ(At(L"/dst/Backup/sub/a.txt"), "old");
    // A folder stands where the scan saw the kept file: the source's file is no copy of it.
    EXPECT_TRUE(Said(L"copy file /src/Backup/sub\n"));
}

// A source link that leads back onto the walk path, or into the destination, is named and not
// walked; anything else behind a link is walked. Two loop links in one folder end at once.
TEST_F(CopyMovePassTest, SourceLinksThatLoopOrLeadIntoTheDestinationAreNotWalked) {
    File(L"/src/top.txt", "t");
    MemFsAddLink(P(L"/src/a"), P(L"/src"));
    MemFsAddLink(P(L"/src/b"), P(L"/src"));
    MemFsAddLink(P(L"/src/to-dst"), P(L"/dst/sub"));
    File(L"/src/sub/own.txt", "mirrored");
    File(L"/dst/sub/own.txt", "mirrored");
    File(L"/elsewhere/e.txt", "e");
    MemFsAddLink(P(L"/src/via"), P(L"/elsewhere"));
    MemFsAddLink(P(L"/elsewhere/back"), P(L"/src"));
    MemFsAddLink(P(L"/elsewhere/into"), P(L"/dst"));
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(Run(L"d"), 0);
        for (const wchar_t* link : {L"/src/a", L"/src/b", L"/src/to-dst", L"/src/via/back", L"/src/via/into"}) {
            EXPECT_EQ(Count(L"link not followed " + P(link) + L"\n"), 1u) << Narrow(link);
        }
        EXPECT_EQ(At(L"/dst/via/e.txt"), "e");
        EXPECT_EQ(At(L"/dst/top.txt"), "t");
        EXPECT_EQ(At(L"/dst/a"), "<none>");
        EXPECT_EQ(At(L"/dst/via/into"), "<none>");
    }
    EXPECT_EQ(Count(L"copy file"), 0u);

    // A link whose identity cannot be read is not taken to be safe.
    MemFsFailOn(MemOp::GetFolderId, P(L"/src/via"), kErrorAccessDenied);
    File(L"/elsewhere/new.txt", "n");
    EXPECT_EQ(Run(), 2);
    EXPECT_TRUE(Said(L"read folder /src/via failed: "));
    EXPECT_EQ(At(L"/dst/via/new.txt"), "<none>");
}

// A source folder that can be listed but not entered gives names without sizes or times: such a
// file is a failure, and its good copy in the destination stays where it is, not in Backup.
TEST_F(CopyMovePassTest, SourceFilesThatCannotBeDescribedAreFailuresAndNothingGoesAside) {
    File(L"/src/noexec/f.txt", "f");
    File(L"/dst/noexec/f.txt", "f");
    MemFsFailOn(MemOp::Enter, P(L"/src/noexec"), kErrorAccessDenied);
    EXPECT_EQ(Run(L"d"), 2);
    EXPECT_TRUE(Said(L"read file /src/noexec/f.txt failed: " + std::to_wstring(kErrorAccessDenied) + L"\n"));
    EXPECT_EQ(At(L"/dst/noexec/f.txt"), "f");
    EXPECT_EQ(Count(L"backup file"), 0u);
    EXPECT_EQ(Count(L"move deleted file"), 0u);
}

// A FIFO, socket or device node in the source is named from its listing alone: never opened
// (which could block, or release and then kill a writer waiting at the FIFO), never copied, and
// the destination's file of that name neither goes aside nor into Deleted.
TEST_F(CopyMovePassTest, SourceEntriesThatAreNoFilesAreFailuresAndNeverOpened) {
    MemFsAddFile(P(L"/src/pipe"), "", T0, T0, kFileAttributeDevice);
    MemFsAddFile(P(L"/src/sub/tty"), "", T0, T0, kFileAttributeDevice);
    File(L"/dst/sub/tty", "an old file of that name", T0 - kSecond);
    EXPECT_EQ(Run(L"d"), 2);
    EXPECT_TRUE(Said(L"read file /src/pipe failed: " + std::to_wstring(kErrorNotSupported) + L"\n"));
    EXPECT_TRUE(Said(L"read file /src/sub/tty failed: " + std::to_wstring(kErrorNotSupported) + L"\n"));
    EXPECT_EQ(RunFailureCount(), 2u);
    EXPECT_EQ(At(L"/dst/pipe"), "<none>");
    EXPECT_EQ(At(L"/dst/sub/tty"), "an old file of that name");
    for (const std::wstring& call : MemFsCalls()) {
        EXPECT_TRUE(call.find(P(L"/src/pipe")) == std::wstring::npos && call.find(P(L"/src/sub/tty")) == std::wstring::npos)
            << Narrow(call);
    }
}

TEST_F(CopyMovePassTest, CaseInsensitiveNamesAsOnWindows) {
    MemFsReset(true);
    MemFsAddFolder(P(L"/src"));
    MemFsAddFolder(P(L"/dst"));
    File(L"/dst/Docs/Report.TXT", "r");
    File(L"/src/docs/report.txt", "r");
    EXPECT_EQ(Run(L"d"), 0);
    // Same file as far as Windows is concerned: equal, nothing to do, nothing deleted.
    EXPECT_EQ(Count(L"copy file"), 0u);
    EXPECT_EQ(Count(L"move deleted file"), 0u);
    EXPECT_EQ(At(L"/dst/DOCS/REPORT.txt"), "r");
}

// A source folder that tells names apart by case, into a destination that does not: of a.txt
// and A.txt, and of folders Docs and docs, the first in code-unit order is synchronized, whatever
// order the listing gives, and the other is named and left alone: no file goes into Backup for
// it, none into Deleted, and a second run does exactly what the first did.
TEST_F(CopyMovePassTest, SourceNamesThatDifferOnlyInCaseTakeOneDestinationPlace) {
    MemFsReset(true);
    MemFsAddFolder(P(L"/dst"));
    MemFsSetCaseSensitiveFolder(P(L"/src"));
    File(L"/src/a.txt", "lower", T0);
    File(L"/src/A.txt", "upper", T0 + kSecond);
    File(L"/src/docs/c.txt", "lower c");
    File(L"/src/Docs/c.txt", "upper c");
    File(L"/src/Docs/only.txt", "o");
    File(L"/dst/a.txt", "upper", T0 + kSecond);  // an earlier run's copy of A.txt
    MemFsSetFolderOrder(P(L"/src"), {L"a.txt", L"docs", L"A.txt", L"Docs"});
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(Run(L"d"), 2) << run;
        EXPECT_TRUE(Said(L"name differs only in case /src/a.txt\n")) << run;
        EXPECT_TRUE(Said(L"name differs only in case /src/docs\n")) << run;
        EXPECT_EQ(RunFailureCount(), 2u);
        EXPECT_EQ(Count(L"backup file"), 0u) << run;
        EXPECT_EQ(Count(L"move deleted file"), 0u) << run;
        EXPECT_EQ(Count(L"copy file"), run == 0 ? 2u : 0u) << run;
        EXPECT_EQ(At(L"/dst/A.txt"), "upper");
        EXPECT_EQ(At(L"/dst/docs/c.txt"), "upper c");
        EXPECT_EQ(At(L"/dst/Docs/only.txt"), "o");
        EXPECT_EQ(At(L"/dst/Backup"), "<none>");
        EXPECT_EQ(At(L"/dst/Deleted"), "<none>");
        MemFsSetFolderOrder(P(L"/src"), {L"Docs", L"A.txt", L"docs", L"a.txt"});  // another order
    }
}

// A run over a mirrored tree of F folders and N files: the source is listed once per folder, with
// "d" too, and no destination file is asked about: the scan's record stands in for the query, and
// the deleted-files pass takes what the copy pass met.
TEST_F(CopyMovePassTest, ANoChangeRunListsEachSourceFolderOnceAndAsksNothingPerFile) {
    constexpr int kFolders = 5;
    constexpr int kFilesPerFolder = 30;
    for (int f = 0; f < kFolders; ++f) {
        for (int i = 0; i < kFilesPerFolder; ++i) {
            std::wstring name = L"/f" + std::to_wstring(f) + L"/file" + std::to_wstring(i) + L".txt";
            File(L"/src" + name, "same", T0 + i * kSecond);
            File(L"/dst" + name, "same", T0 + i * kSecond);
        }
    }
    for (const wchar_t* extra : {static_cast<const wchar_t*>(nullptr), L"d"}) {
        MemFsClearCalls();
        EXPECT_EQ(Run(extra), 0);
        EXPECT_EQ(Count(L"copy"), 0u);
        EXPECT_EQ(Count(L"move"), 0u);
        size_t queries = 0, sourceListings = 0;
        for (const std::wstring& call : MemFsCalls()) {
            queries += call.rfind(L"GetAttributes", 0) == 0;
            sourceListings += call.rfind(L"FindFirst " + P(L"/src"), 0) == 0;
        }
        EXPECT_EQ(sourceListings, static_cast<size_t>(kFolders + 1));
        // The two folder arguments, and one look at each destination folder for a link.
        EXPECT_LE(queries, static_cast<size_t>(kFolders + 3));
    }
}

}  // namespace
