// Whole runs on the in-memory file system: what each pass does with the cases that could break.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>

#include "engine/copy_move_pass.h"
#include "engine/deleted_pass.h"
#include "engine/destination_changes.h"
#include "engine/destination_index.h"
#include "engine/run_state.h"
#include "engine/walk.h"
#include "tests/test_support.h"

namespace {

// Some time in 2022, with the finer part of a time that NTFS or ext4 keeps: a destination whose
// times all lack it would be taken for one that keeps whole seconds.
constexpr int64_t T0 = 133000000000000000LL + 1234567;
constexpr int64_t kSecond = 10000000;

// Every case runs twice: with listings that carry no sizes (each destination file is asked about)
// and with listings that carry them, as on Windows (the index scan's record stands in for the query).
class PassesTest : public MemFsTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        MemFsTest::SetUp();
        MemFsSetListingsCarrySizes(GetParam());
        MemFsAddFolder(P(L"/src"));
        MemFsAddFolder(P(L"/dst"));
    }
    static void File(const std::wstring& path, const std::string& content, int64_t time = T0) {
        MemFsAddFile(P(path), content, time, time);
    }
    int Run(const wchar_t* extra = nullptr) {
        StartCapture();
        if (extra) return RunWith({L"k", P(L"/src"), P(L"/dst"), extra});
        return RunWith({L"k", P(L"/src"), P(L"/dst")});
    }
    // The content at path, or "<none>" / "<folder>".
    static std::string At(const std::wstring& path) {
        MemFsNode node;
        if (!MemFsLookup(P(path), &node)) return "<none>";
        return node.folder ? "<folder>" : node.content;
    }
    static bool Said(const std::wstring& line) { return CapturedText().find(P(line)) != std::wstring::npos; }
    static size_t Count(const std::wstring& prefix) {
        size_t n = 0;
        for (const std::wstring& m : CapturedMessages()) n += m.rfind(prefix, 0) == 0;
        return n;
    }
};

TEST_P(PassesTest, MissingFilesAreCopiedAndEqualFilesLeftAloneWithoutAWord) {
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

TEST_P(PassesTest, MovedTwinsAreTakenInScanOrderAndOnlyWhereTheSourceLacksThem) {
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

    // The twin whose source place still holds the file is that file's own, not a moved one.
    MemFsReset();
    SetUp();
    File(L"/dst/A/x.txt", "same");
    File(L"/dst/B/x.txt", "same");
    File(L"/src/A/x.txt", "same");
    File(L"/src/C/x.txt", "same");
    MemFsSetFolderOrder(P(L"/src"), {L"C", L"A"});
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(Said(L"move file /dst/B/x.txt\n"));
    EXPECT_EQ(At(L"/dst/A/x.txt"), "same");

    // Both source places hold files: no twin, a copy.
    MemFsReset();
    SetUp();
    File(L"/dst/A/x.txt", "same");
    File(L"/src/A/x.txt", "same");
    File(L"/src/C/x.txt", "same");
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(Said(L"copy file /src/C/x.txt\n"));
    EXPECT_EQ(Count(L"move file"), 0u);
}

TEST_P(PassesTest, TwinsNeedTheExactNameSizeAndTime) {
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

TEST_P(PassesTest, ATwinKeptInDeletedOrBackupIsMovedBackOut) {
    File(L"/dst/Deleted/docs/cv.pdf", "cv");
    File(L"/src/docs/cv.pdf", "cv");
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_TRUE(Said(L"move file /dst/Deleted/docs/cv.pdf\n"));
    EXPECT_EQ(At(L"/dst/docs/cv.pdf"), "cv");
    EXPECT_EQ(At(L"/dst/Deleted"), "<none>");
}

// Two new source files with one name, size and time, and one destination twin: the first takes
// it, and the second is copied, without a failed move: a twin once taken is never offered again.
TEST_P(PassesTest, ATwinTakenOnceIsNeverOfferedAgain) {
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
TEST_P(PassesTest, LookAlikeTwinsAreMovedOnlyWhenTheirBytesAreTheSourceFiles) {
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

    // The only look-alike left for the second source file holds other bytes: the one taken first
    // shows that look-alikes of other bytes are about, so the second is read, and copied.
    MemFsReset();
    SetUp();
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

    // Unreadable candidates are passed over, silently (and not tried again in the run); with
    // none left the file is copied.
    MemFsReset();
    SetUp();
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

    // A source file that cannot be read: no look-alike is moved for it, and its copy reports.
    MemFsReset();
    SetUp();
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
// (the source has no file there); sizes equal in their low 32 bits only are different sizes, for
// the equality rule and for twins alike; a folder that could not be made is not taken as made by
// the next file of its folder.
TEST_P(PassesTest, FoldersAtTheOldPlaceSizeHalvesAndUnmadeFolders) {
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
    FindEntry huge{};
    huge.attributes = kFileAttributeNormal;
    huge.sizeHigh = 1;  // 4 GiB and 5 bytes, against a destination file of 5
    huge.sizeLow = 5;
    huge.lastWriteTime = FileTimeFromInt64(T0);
    wcscpy(huge.name, L"big.bin");
    File(L"/dst/old/big.bin", "12345");
    BuildDestinationIndex(P(L"/dst").c_str(), nullptr);
    EXPECT_EQ(FindMovedCounterpart(huge, P(L"/src").c_str()), nullptr);
    huge.sizeHigh = 0;
    EXPECT_NE(FindMovedCounterpart(huge, P(L"/src").c_str()), nullptr);
}

// Between different file systems every look-alike within the two seconds is a candidate: one
// alone is moved, several are told apart by their bytes.
TEST_P(PassesTest, LookAlikesWithinTheToleranceAreCandidatesToo) {
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

TEST_P(PassesTest, AFolderWhereTheSourceHasAFileIsLeftAloneAndTheCopyFails) {
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

TEST_P(PassesTest, ChangedFilesAreBackedUpBeforeTheCopyAndNeverOverwritten) {
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

// Another program saves a file where a copy is about to land: after the old version went into
// Backup, or at a place that was found empty. Its file stays, the copy fails and says so.
TEST_P(PassesTest, AFileSavedWhileACopyIsUnderWayIsNeverReplaced) {
    File(L"/dst/a.txt", "old", T0);
    File(L"/src/a.txt", "new", T0 + kSecond);
    File(L"/src/b.txt", "b", T0);
    MemFsOnCall(MemOp::CopyFile, P(L"/src/a.txt"), [] { File(L"/dst/a.txt", "saved meanwhile", T0 + 5 * kSecond); });
    MemFsOnCall(MemOp::CopyFile, P(L"/src/b.txt"), [] { File(L"/dst/b.txt", "made meanwhile", T0 + 5 * kSecond); });
    EXPECT_EQ(Run(), 2);
    EXPECT_EQ(At(L"/dst/Backup/a.txt"), "old");
    EXPECT_EQ(At(L"/dst/a.txt"), "saved meanwhile");
    EXPECT_EQ(At(L"/dst/b.txt"), "made meanwhile");
    EXPECT_TRUE(Said(L"copy /src/a.txt failed: " + std::to_wstring(kErrorAlreadyExists) + L"\n"));
    EXPECT_TRUE(Said(L"copy /src/b.txt failed: " + std::to_wstring(kErrorAlreadyExists) + L"\n"));
    EXPECT_EQ(RunFailureCount(), 2u);
    // The next run treats the other program's files as changed ones: into Backup, then copied.
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(At(L"/dst/Backup/a (2).txt"), "saved meanwhile");
    EXPECT_EQ(At(L"/dst/Backup/b.txt"), "made meanwhile");
    EXPECT_EQ(At(L"/dst/a.txt"), "new");
}

TEST_P(PassesTest, AFailedBackupMoveLeavesTheDestinationFileAsItIs) {
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

// A file kept in Backup or Deleted under the name of a folder needed there now moves to a
// numbered name, so the folder can be made; the Backup and Deleted folders themselves are the
// user's and are never moved.
TEST_P(PassesTest, AKeptFileInTheWayOfAKeptFolderMovesToANumberedName) {
    File(L"/dst/Deleted/X", "a file X, deleted long ago");
    File(L"/dst/X/Y/Z/N", "a file in folder X/Y/Z, deleted now");
    File(L"/dst/Backup/Docs/Old", "a file Old, replaced long ago");
    File(L"/dst/Docs/Old/a.txt", "v1", T0);
    File(L"/src/Docs/Old/a.txt", "v2", T0 + kSecond);
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_EQ(At(L"/dst/Deleted/X/Y/Z/N"), "a file in folder X/Y/Z, deleted now");
    EXPECT_EQ(At(L"/dst/Deleted/X (2)"), "a file X, deleted long ago");
    EXPECT_EQ(At(L"/dst/Backup/Docs/Old/a.txt"), "v1");
    EXPECT_EQ(At(L"/dst/Backup/Docs/Old (2)"), "a file Old, replaced long ago");
    EXPECT_EQ(At(L"/dst/Docs/Old/a.txt"), "v2");
    // Every move is in the log, the ones that make way included.
    EXPECT_TRUE(Said(L"move kept file /dst/Deleted/X\n"));
    EXPECT_TRUE(Said(L"move kept file /dst/Backup/Docs/Old\n"));
    EXPECT_EQ(Count(L"move kept file"), 2u);
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_EQ(Count(L"move"), 0u);

    // Deleted itself is a file of the user's (mirrored from the source): it stays, and the move
    // into it fails on every run, as it must.
    MemFsReset();
    SetUp();
    File(L"/src/Deleted", "mirrored");
    File(L"/dst/Deleted", "mirrored");
    File(L"/dst/gone/file.txt", "gone from the source");
    EXPECT_EQ(Run(L"d"), 2);
    EXPECT_EQ(Count(L"move " + P(L"/dst/gone/file.txt") + L" failed: "), 1u);
    EXPECT_EQ(At(L"/dst/Deleted"), "mirrored");
    EXPECT_EQ(At(L"/dst/gone/file.txt"), "gone from the source");
}

TEST_P(PassesTest, SourceFoldersNamedBackupAndDeletedShareTheDestinationsFolders) {
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

TEST_P(PassesTest, TheTwoSecondToleranceAppliesOnlyBetweenDifferentFileSystems) {
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

    MemFsReset();
    SetUp();
    File(L"/src/tick.txt", "t", T0 + 1);
    File(L"/dst/tick.txt", "t", T0);
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(Said(L"backup file /dst/tick.txt\n"));
}

// Destinations that keep coarser times than the source's: each copy's time differs from its
// source's, both volumes report one file-system name, and still the next run, which knows only
// what the destination shows, writes nothing. A change that keeps the size within the precision
// goes unseen; one beyond it is backed up and copied.
TEST_P(PassesTest, CoarseDestinationTimesAreComparedAtTheirPrecision) {
    struct Kept {
        const char* what;
        int64_t precision;
        bool roundUp;
    };
    for (Kept kept : {Kept{"whole seconds, truncated", kSecond, false}, Kept{"10 ms, rounded up", 100000, true},
                      Kept{"2 s, rounded up", 2 * kSecond, true}, Kept{"1 us, truncated", 10, false}}) {
        SCOPED_TRACE(kept.what);
        MemFsReset();
        SetUp();
        MemFsSetStoredTimes(kept.precision, INT64_MIN, INT64_MAX, kept.roundUp);
        for (int i = 0; i < 20; ++i) File(L"/src/f/" + std::to_wstring(i) + L".txt", "same", T0 + i * 3333337);
        File(L"/src/inside.txt", "1234", T0);
        File(L"/src/outside.txt", "1234", T0);
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(Count(L"copy file"), 22u);
        MemFsNode copied;
        ASSERT_TRUE(MemFsLookup(P(L"/dst/inside.txt"), &copied));
        EXPECT_NE(copied.lastWriteTime, T0);  // what the destination kept is not the source's time

        MemFsClearCalls();
        EXPECT_EQ(Run(L"d"), 0);
        EXPECT_EQ(Count(L"copy"), 0u) << Narrow(CapturedText());
        EXPECT_EQ(Count(L"backup"), 0u);
        EXPECT_EQ(Count(L"move"), 0u);
        EXPECT_EQ(At(L"/dst/Backup"), "<none>");
        for (const std::wstring& call : MemFsCalls()) EXPECT_NE(call.rfind(L"CopyFile", 0), 0u) << Narrow(call);

        // Same size, and a time that the destination keeps as it keeps the old one: unseen.
        int64_t same = MemFsStoredTime(T0) == MemFsStoredTime(T0 + 1) ? T0 + 1 : T0 - 1;
        ASSERT_EQ(MemFsStoredTime(same), MemFsStoredTime(T0));
        File(L"/src/inside.txt", "5678", same);
        File(L"/src/outside.txt", "5678", T0 + 2 * kept.precision);  // beyond both roundings
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(At(L"/dst/inside.txt"), "1234");
        EXPECT_EQ(Count(L"backup file"), 1u);
        EXPECT_TRUE(Said(L"backup file /dst/outside.txt\n"));
        EXPECT_EQ(At(L"/dst/outside.txt"), "5678");
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(Count(L"copy"), 0u);
    }
}

// Dates the destination cannot hold are clamped to its bounds: ext4's 1901 to 2446 (with 100-ns
// times), ext4 with small inodes (whole seconds, 1901 to 2038), FAT's 1980 to 2107 (in the time
// zone of whoever wrote it). A file at a bound whose source lies beyond it is equal: the second
// run writes nothing.
TEST_P(PassesTest, DatesBeyondTheDestinationsRangeAreClampedAndNotCopiedAgain) {
    struct Kept {
        const char* what;
        int64_t precision, low, high;
    };
    const int64_t kInt32Low = UtcFileTime(1901, 12, 13, 20, 45, 52);
    for (Kept kept : {Kept{"ext4", 1, kInt32Low, UtcFileTime(2446, 5, 10, 22, 38, 55)},
                      Kept{"ext4, 128-byte inodes", kSecond, kInt32Low, UtcFileTime(2038, 1, 19, 3, 14, 7)},
                      Kept{"exFAT", 100000, UtcFileTime(1980, 1, 1), UtcFileTime(2107, 12, 31, 23, 59, 59)},
                      // Windows keeps FAT times in local time: here 5:30 ahead of UTC.
                      Kept{"FAT, local time", 2 * kSecond, UtcFileTime(1979, 12, 31, 18, 30),
                           UtcFileTime(2107, 12, 31, 18, 29, 58)}}) {
        SCOPED_TRACE(kept.what);
        MemFsReset();
        SetUp();
        MemFsSetStoredTimes(kept.precision, kept.low, kept.high);
        File(L"/src/far/2500.txt", "future", UtcFileTime(2500, 1, 1) + 1234567);
        File(L"/src/far/2440.txt", "future", UtcFileTime(2440, 1, 1) + 1234567);
        File(L"/src/old/1850.txt", "past", UtcFileTime(1850, 6, 1) + 7654321);
        File(L"/src/old/1970.txt", "past", UtcFileTime(1970, 6, 1) + 7654321);
        File(L"/src/now.txt", "now", T0);
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(Count(L"copy file"), 5u);
        MemFsNode clamped;
        ASSERT_TRUE(MemFsLookup(P(L"/dst/far/2500.txt"), &clamped));
        EXPECT_EQ(clamped.lastWriteTime, kept.high);
        ASSERT_TRUE(MemFsLookup(P(L"/dst/old/1850.txt"), &clamped));
        EXPECT_EQ(clamped.lastWriteTime, kept.low);

        EXPECT_EQ(Run(L"d"), 0);
        EXPECT_EQ(Count(L"copy"), 0u) << Narrow(CapturedText());
        EXPECT_EQ(Count(L"backup"), 0u);
        EXPECT_EQ(Count(L"move"), 0u);
        EXPECT_EQ(At(L"/dst/Backup"), "<none>");

        // A destination that shows a time beyond a bound does not clamp there: at the bound, a
        // file whose source lies beyond it has changed.
        MemFsReset();
        SetUp();
        File(L"/src/shows-more.txt", "m", kept.high + 5 * kSecond);
        File(L"/dst/shows-more.txt", "m", kept.high + 5 * kSecond);
        File(L"/src/beyond.txt", "b", kept.high + 10 * kSecond);
        File(L"/dst/beyond.txt", "b", kept.high);
        EXPECT_EQ(Run(), 0);
        EXPECT_TRUE(Said(L"backup file /dst/beyond.txt\n"));
        EXPECT_EQ(Count(L"backup file"), 1u);
    }

    // A bound no known file system has: what a copy's read-back showed holds for the rest of the run.
    MemFsReset();
    SetUp();
    const int64_t kOddBound = UtcFileTime(2200, 1, 1);
    MemFsSetStoredTimes(1, INT64_MIN, kOddBound);
    File(L"/src/a/first.txt", "copied first", UtcFileTime(2300, 1, 1));
    File(L"/src/b/later.txt", "met later", UtcFileTime(2300, 1, 1));
    File(L"/dst/b/later.txt", "met later", kOddBound);
    MemFsSetFolderOrder(P(L"/src"), {L"a", L"b"});
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Count(L"copy file"), 1u) << Narrow(CapturedText());
    EXPECT_EQ(Count(L"backup file"), 0u);
}

// Whole-second times on a destination that keeps 100 ns: one file with a finer part is enough to
// keep the comparison exact, and so is a copy whose read-back showed its fine time kept.
TEST_P(PassesTest, ADestinationWhoseTimesShowFinerPartsStaysExact) {
    const int64_t whole = UtcFileTime(2024, 2, 3, 4, 5, 6);
    File(L"/dst/fine.txt", "f", whole + 1);
    File(L"/dst/a.txt", "aaa", whole);
    File(L"/src/fine.txt", "f", whole + 1);
    File(L"/src/a.txt", "bbb", whole + 3000000);
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(Said(L"backup file /dst/a.txt\n"));
    EXPECT_EQ(At(L"/dst/a.txt"), "bbb");

    // Without it, the destination's times are all whole seconds: the change goes unseen...
    MemFsReset();
    SetUp();
    File(L"/dst/a.txt", "aaa", whole);
    File(L"/src/a.txt", "bbb", whole + 3000000);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(At(L"/dst/a.txt"), "aaa");
    // ...unless a copy earlier in the run showed the destination keeping a fine time.
    File(L"/src/0/new.txt", "n", whole + 7);
    MemFsSetFolderOrder(P(L"/src"), {L"0", L"a.txt"});
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(Said(L"backup file /dst/a.txt\n"));
    EXPECT_EQ(At(L"/dst/a.txt"), "bbb");
}

// Reading back what a copy stored costs a query only while it can teach something: a few per
// run, not one per copy, on a destination that keeps every time and on one that keeps seconds.
TEST_P(PassesTest, CopiesReadBackTheirStoredTimeOnlyWhileItTeachesSomething) {
    for (int64_t precision : {int64_t{1}, kSecond}) {
        SCOPED_TRACE(precision);
        MemFsReset();
        SetUp();
        MemFsSetStoredTimes(precision, INT64_MIN, INT64_MAX);
        for (int i = 0; i < 40; ++i) File(L"/src/" + std::to_wstring(i) + L".txt", "x", T0 + i * 1111111);
        MemFsClearCalls();
        EXPECT_EQ(Run(), 0);
        size_t readBacks = 0;
        std::vector<std::wstring> copied;
        for (const std::wstring& call : MemFsCalls()) {
            if (call.rfind(L"CopyFile ", 0) == 0) copied.push_back(call.substr(call.rfind(L' ') + 1));
            if (call.rfind(L"GetAttributesEx ", 0) == 0) {
                readBacks += std::count(copied.begin(), copied.end(), call.substr(16)) > 0;
            }
        }
        EXPECT_GE(readBacks, 1u);
        EXPECT_LE(readBacks, 2u);
    }
}

TEST_P(PassesTest, DateFilterTakesFilesCreatedOrWrittenSinceTheDay) {
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

TEST_P(PassesTest, DeletedFilesGoToDeletedAndKeptFoldersAreNeverLookedAt) {
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
TEST_P(PassesTest, DeletedFilesAreJudgedByTheirOwnSourceFolder) {
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

TEST_P(PassesTest, RecycleBinFoldersAreSkippedOnlyWithTheExactName) {
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
TEST_P(PassesTest, SkipNamesIgnoreCaseOnWindows) {
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

TEST_P(PassesTest, EmptyFoldersGoDeepestFirstButTheDestinationRootStays) {
    MemFsAddFolder(P(L"/dst/a/b/c"));
    MemFsAddFolder(P(L"/dst/keep/empty"));
    File(L"/dst/keep/file.txt", "f");
    File(L"/src/keep/file.txt", "f");
    MemFsAddFolder(P(L"/dst/$RECYCLE.BIN"));
    MemFsAddFolder(P(L"/dst/bin-holder/$RECYCLE.BIN"));
    MemFsClearCalls();
    EXPECT_EQ(Run(), 2);
    EXPECT_EQ(At(L"/dst/a"), "<none>");
    EXPECT_EQ(At(L"/dst/keep/empty"), "<none>");
    EXPECT_EQ(At(L"/dst/keep/file.txt"), "f");
    EXPECT_EQ(At(L"/dst"), "<folder>");
    // A folder holding only a recycle bin cannot go, and says so.
    EXPECT_EQ(Count(L"delete empty folder " + P(L"/dst/bin-holder") + L" failed: " +
                    std::to_wstring(kErrorDirNotEmpty) + L"\n"), 1u);
    std::vector<std::wstring> removals;
    for (const std::wstring& call : MemFsCalls()) {
        if (call.rfind(L"RemoveDirectory ", 0) == 0) removals.push_back(call.substr(16));
    }
    auto position = [&](const std::wstring& p) { return std::find(removals.begin(), removals.end(), P(p)) - removals.begin(); };
    EXPECT_LT(position(L"/dst/a/b/c"), position(L"/dst/a/b"));
    EXPECT_LT(position(L"/dst/a/b"), position(L"/dst/a"));
    EXPECT_EQ(std::find(removals.begin(), removals.end(), P(L"/dst")), removals.end());

    // An empty source into an empty destination leaves the destination for the next run.
    MemFsReset();
    SetUp();
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Run(), 0);
}

// A folder that cannot be listed is a failure on either side, never an empty folder: named with
// its error and counted; in the destination it is not removed, and neither is anything above it.
TEST_P(PassesTest, FoldersThatCannotBeListedAreFailuresNeverEmpty) {
    File(L"/src/locked/a.txt", "a");
    File(L"/src/open/b.txt", "b");
    MemFsFailOn(MemOp::FindFirst, P(L"/src/locked"), kErrorAccessDenied);
    EXPECT_EQ(Run(), 2);
    EXPECT_TRUE(Said(L"read folder /src/locked failed: " + std::to_wstring(kErrorAccessDenied) + L"\n"));
    EXPECT_EQ(At(L"/dst/locked"), "<none>");
    EXPECT_EQ(At(L"/dst/open/b.txt"), "b");

    MemFsAddFolder(P(L"/dst/outer/hidden"));
    MemFsFailOn(MemOp::FindFirst, P(L"/dst/outer/hidden"), kErrorAccessDenied);
    EXPECT_EQ(Run(L"d"), 2);
    EXPECT_EQ(At(L"/dst/outer/hidden"), "<folder>");
    EXPECT_EQ(Count(L"read folder " + P(L"/dst/outer/hidden") + L" failed: "), 1u);
    EXPECT_EQ(Count(L"delete empty folder"), 0u);
    EXPECT_EQ(Count(L"move deleted file"), 0u);

    // A listing that breaks off keeps everything of its folder where it is.
    MemFsReset();
    SetUp();
    File(L"/dst/d/one.txt", "1");
    File(L"/dst/d/two.txt", "2");
    MemFsAddFolder(P(L"/dst/d/empty"));
    MemFsFailOn(MemOp::FindNext, P(L"/dst/d"), kErrorAccessDenied);
    EXPECT_EQ(Run(L"d"), 2);
    EXPECT_EQ(Count(L"read folder " + P(L"/dst/d") + L" failed: "), 1u);
    EXPECT_EQ(At(L"/dst/d/empty"), "<folder>");
}

// A root that cannot be listed ends the run as a failure: the source's, before anything is copied
// into or moved out of the destination; the destination's, before anything is copied into it.
TEST_P(PassesTest, ARootThatCannotBeListedEndsTheRun) {
    File(L"/dst/kept.txt", "k");
    MemFsAddFolder(P(L"/dst/empty"));
    for (MemOp op : {MemOp::FindFirst, MemOp::FindNext}) {
        MemFsFailOn(op, P(L"/src"), kErrorAccessDenied);
        EXPECT_EQ(Run(L"d"), 2);
        EXPECT_EQ(At(L"/dst/kept.txt"), "k");
        EXPECT_EQ(At(L"/dst/empty"), "<folder>");
        EXPECT_EQ(Count(L"Checking for deleted files"), 0u);
        EXPECT_TRUE(Said(L"read folder /src failed: "));
        MemFsReset();
        SetUp();
        File(L"/dst/kept.txt", "k");
        MemFsAddFolder(P(L"/dst/empty"));
    }
    File(L"/src/new.txt", "n");
    MemFsFailOn(MemOp::FindFirst, P(L"/dst"), kErrorAccessDenied);
    EXPECT_EQ(Run(L"d"), 2);
    EXPECT_TRUE(Said(L"read folder /dst failed: "));
    EXPECT_EQ(At(L"/dst/new.txt"), "<none>");
    EXPECT_EQ(At(L"/dst/empty"), "<folder>");
}

TEST_P(PassesTest, ASecondRunInOneProcessSeesOnlyItsOwnIndex) {
    File(L"/dst/old/x.txt", "x");
    File(L"/src/new/x.txt", "x");
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Count(L"move file"), 1u);
    // The index of the first run named /dst/old/x.txt; the second run must not try it again.
    File(L"/src/other/x.txt", "x");
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Count(L"move file"), 0u);
    EXPECT_EQ(At(L"/dst/other/x.txt"), "x");
    EXPECT_EQ(IndexedFileCount(L"x.txt"), 1u);
}

// The destination walks never enter a junction or a link to a folder: what it leads to is not
// the destination's to index, move into Deleted or remove. The source walk goes through them.
TEST_P(PassesTest, LinkedFoldersAreLeftAloneInTheDestinationAndWalkedInTheSource) {
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
TEST_P(PassesTest, ReparsePointsThatAreNotLinksArePlainFilesAndFolders) {
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

// A link in the destination is an entry, never a folder to write through. Where the source has a
// file it goes aside like a changed file (the link itself, whatever it leads to); where the
// source has a folder, or on the way into Backup or Deleted, it is named on every run and nothing
// is written, created or moved through it.
TEST_P(PassesTest, LinksInTheDestinationNeverCarryAWriteOut) {
    File(L"/src/b/f", "the source's own b/f");
    File(L"/src/a/f", "a/f");
    File(L"/src/dangling", "d");
    File(L"/src/to-folder", "t");
    File(L"/src/sub/c.txt", "c v2", T0 + kSecond);
    File(L"/src/gone-parent/keep.txt", "k");
    File(L"/dst/sub/c.txt", "c v1", T0);
    File(L"/dst/gone-parent/gone.txt", "gone");
    File(L"/dst/gone-parent/keep.txt", "k");
    File(L"/outside/precious.txt", "outside");
    MemFsAddLink(P(L"/dst/a"), P(L"/src/b"));
    MemFsAddLink(P(L"/dst/dangling"), P(L"/nowhere"));
    MemFsAddLink(P(L"/dst/to-folder"), P(L"/outside"));
    MemFsAddLink(P(L"/dst/Backup/sub"), P(L"/outside"));
    MemFsAddLink(P(L"/dst/Deleted"), P(L"/outside"));
    std::vector<MemFsNode> before;
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(Run(L"d"), 2);
        EXPECT_EQ(Count(L"link in the way " + P(L"/dst/a") + L"\n"), 1u);
        EXPECT_EQ(Count(L"link in the way " + P(L"/dst/Backup/sub") + L"\n"), 1u);
        EXPECT_EQ(Count(L"link in the way " + P(L"/dst/Deleted") + L"\n"), 1u);
        EXPECT_EQ(At(L"/src/b/f"), "the source's own b/f");
        EXPECT_EQ(At(L"/dst/sub/c.txt"), "c v1");
        EXPECT_EQ(At(L"/dst/gone-parent/gone.txt"), "gone");
        EXPECT_EQ(At(L"/outside/precious.txt"), "outside");
        // Nothing came into the folders the links lead to, and the second run changed nothing.
        std::vector<std::wstring> outside, source;
        for (const MemFsNode& node : MemFsSnapshot()) {
            if (node.path.rfind(P(L"/outside/"), 0) == 0) outside.push_back(node.path);
            if (node.path.rfind(P(L"/src/"), 0) == 0) source.push_back(node.path);
        }
        EXPECT_EQ(outside, std::vector<std::wstring>{P(L"/outside/precious.txt")});
        EXPECT_EQ(source.size(), 10u);  // the source's five files and five folders, no more
        if (run == 1) {
            EXPECT_EQ(MemFsSnapshot().size(), before.size());
        }
        before = MemFsSnapshot();
    }
    MemFsNode node;
    ASSERT_TRUE(MemFsLookup(P(L"/dst/Backup/dangling"), &node));
    EXPECT_EQ(node.linkTarget, P(L"/nowhere"));
    ASSERT_TRUE(MemFsLookup(P(L"/dst/Backup/to-folder"), &node));
    EXPECT_EQ(node.linkTarget, P(L"/outside"));
    EXPECT_EQ(At(L"/dst/dangling"), "d");
    EXPECT_EQ(At(L"/dst/to-folder"), "t");
}

// Someone who can write into the destination swaps a folder for a link after the walk looked at
// it: before a twin is moved into it, before a changed file goes into Backup, and before a
// vanished file is taken from it into Deleted. Nothing is written where the links lead, nor taken
// from there; each refused step names the link, and nothing more is tried through it.
TEST_P(PassesTest, AFolderSwappedForALinkMidRunCarriesNoWriteOut) {
    File(L"/src/sub/new.txt", "new");
    File(L"/src/sub/renamed.txt", "twin");
    File(L"/dst/old/renamed.txt", "twin");
    File(L"/src/changed/c.txt", "v2", T0 + kSecond);
    File(L"/dst/changed/c.txt", "v1", T0);
    File(L"/dst/Backup/changed/kept.txt", "kept");
    File(L"/outside/precious.txt", "outside");
    MemFsSetFolderOrder(P(L"/src"), {L"changed", L"sub"});
    MemFsSetFolderOrder(P(L"/src/sub"), {L"renamed.txt", L"new.txt"});
    // The other program's own moves are not the run's: they go by the file system itself.
    auto swap = [](const wchar_t* folder, const wchar_t* asideTo) {
        MemoryFileSystem().guardWritesBelow(nullptr);
        if (MemoryFileSystem().moveFile(P(folder).c_str(), P(asideTo).c_str()) != 0) MemFsRemove(P(folder));
        MemFsAddLink(P(folder), P(L"/outside"));
        MemoryFileSystem().guardWritesBelow(P(L"/dst").c_str());
    };
    MemFsOnCall(MemOp::MoveFile, P(L"/dst/changed/c.txt"), [&] { swap(L"/dst/Backup/changed", L"/dst/Backup/was"); });
    MemFsOnCall(MemOp::MoveFile, P(L"/dst/old/renamed.txt"), [&] { swap(L"/dst/sub", L"/dst/sub-was"); });
    // The folder a vanished file is taken from: a move through the link would take the file of
    // that name where it leads.
    File(L"/dst/gone/g.txt", "vanished from the source");
    File(L"/outside/g.txt", "outside, not the destination's");
    MemFsOnCall(MemOp::MoveFile, P(L"/dst/gone/g.txt"), [&] { swap(L"/dst/gone", L"/dst/gone-was"); });
    EXPECT_EQ(Run(L"d"), 2);
    EXPECT_EQ(Count(L"link in the way " + P(L"/dst/gone") + L"\n"), 1u);
    EXPECT_EQ(At(L"/outside/g.txt"), "outside, not the destination's");
    EXPECT_EQ(At(L"/dst/gone-was/g.txt"), "vanished from the source");
    // Each refused step names the link it met; the copy into sub is not tried once the twin's
    // move met the link there.
    EXPECT_EQ(Count(L"link in the way " + P(L"/dst/Backup/changed") + L"\n"), 1u);
    EXPECT_EQ(Count(L"link in the way " + P(L"/dst/sub") + L"\n"), 1u);
    EXPECT_EQ(Count(L" failed: "), 0u);
    EXPECT_EQ(Count(L"copy file " + P(L"/src/sub/new.txt")), 0u);
    EXPECT_EQ(RunFailureCount(), 3u);
    EXPECT_EQ(At(L"/dst/changed/c.txt"), "v1");          // never moved out, never replaced
    EXPECT_EQ(At(L"/dst/Backup/was/kept.txt"), "kept");
    std::vector<std::wstring> outside;
    for (const MemFsNode& node : MemFsSnapshot()) {
        if (node.path.rfind(P(L"/outside/"), 0) == 0) outside.push_back(node.path);
    }
    EXPECT_EQ(outside, (std::vector<std::wstring>{P(L"/outside/precious.txt"), P(L"/outside/g.txt")}));
    // The twin the failed move left was copied or kept: no content is gone.
    EXPECT_TRUE(At(L"/dst/old/renamed.txt") == "twin" || At(L"/dst/Deleted/old/renamed.txt") == "twin");
}

// A source link that leads back onto the walk path, or into the destination, is named and not
// walked; anything else behind a link is walked. Two loop links in one folder end at once.
TEST_P(PassesTest, SourceLinksThatLoopOrLeadIntoTheDestinationAreNotWalked) {
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
TEST_P(PassesTest, SourceFilesThatCannotBeDescribedAreFailuresAndNothingGoesAside) {
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
TEST_P(PassesTest, SourceEntriesThatAreNoFilesAreFailuresAndNeverOpened) {
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

// A stop in the middle of the empty-folder removal cuts a listing short: the folder is not known
// to be empty, so nothing is tried on it and no failure is written for work never done.
TEST_P(PassesTest, AStopDuringTheRemovalWritesNoFailure) {
    static FileSystem stopping;
    stopping = MemoryFileSystem();
    stopping.removeDirectory = [](const wchar_t* path) {
        RequestStop();
        return MemoryFileSystem().removeDirectory(path);
    };
    SetFileSystem(&stopping);
    MemFsAddFolder(P(L"/dst/x/empty"));
    File(L"/dst/x/file.txt", "f");
    File(L"/src/x/file.txt", "f");
    MemFsSetFolderOrder(P(L"/dst/x"), {L"empty", L"file.txt"});
    EXPECT_EQ(Run(), 3);
    EXPECT_EQ(Count(L"delete empty folder"), 0u);
    EXPECT_EQ(Count(L"Synchronization stopped."), 1u);
    EXPECT_EQ(At(L"/dst/x/file.txt"), "f");
}

TEST_P(PassesTest, CaseInsensitiveNamesAsOnWindows) {
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
TEST_P(PassesTest, SourceNamesThatDifferOnlyInCaseTakeOneDestinationPlace) {
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
// "d" too, and where listings carry sizes no destination file is asked about: the scan's record
// stands in for the query, and the deleted-files pass takes what the copy pass met.
TEST_P(PassesTest, ANoChangeRunListsEachSourceFolderOnceAndAsksNothingPerFile) {
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
        if (GetParam()) {
            // The two folder arguments, and one look at each destination folder for a link.
            EXPECT_LE(queries, static_cast<size_t>(kFolders + 3));
        } else {
            EXPECT_GE(queries, static_cast<size_t>(kFolders * kFilesPerFolder));
        }
    }
}

// What the copy pass met stands for the source in the deleted-files pass: a file it met keeps its
// twin in the destination even if it has gone since (the safe side), and a file made since the
// copy pass is still found by the look right before each move.
TEST_P(PassesTest, TheDeletedFilesPassTakesWhatTheCopyPassMetAndLooksAgainBeforeEachMove) {
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

// Someone else's change in the middle of a run: a place this run moved a file from holds nothing
// afterwards, whatever the index scan recorded there. Here a file equal to a twin the run moved
// away appears at the twin's old source place, and a source mirrors a kept file that had to make
// way for a folder.
TEST_P(PassesTest, APlaceThisRunMovedAFileFromIsNotTakenForHoldingIt) {
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

    MemFsReset();
    SetUp();
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

// The deleted-files pass works from the index scan's record and what the copy pass changed since,
// without listing the destination again: on random trees (moved twins, changed files, folders gone
// from the source, leftovers of interrupted copies, kept files in Backup and Deleted) it counts
// exactly the entries a fresh walk of the destination lists at that moment, and moves exactly the
// files whose source is gone.
TEST_P(PassesTest, TheDeletedFilesPassCountsAndMovesAsAFreshWalkWould) {
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

// The way into Backup is looked at once per folder walk, however many of its files change; each
// folder still gets its own look.
TEST_P(PassesTest, TheWayIntoBackupIsLookedAtOncePerFolder) {
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

INSTANTIATE_TEST_SUITE_P(Listings, PassesTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "CarrySizes" : "NamesOnly"; });

}  // namespace
