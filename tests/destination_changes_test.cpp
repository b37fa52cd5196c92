// The changes a run makes to the destination, in whole runs: a copy never replaces, a kept file
// makes way for a folder, and nothing is ever written through a link.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/run_state.h"
#include "tests/test_support.h"

namespace {

class DestinationChangesTest : public PassTest {};

// Another program saves a file where a copy is about to land: after the old version went into
// Backup, or at a place that was found empty. Its file stays, the copy fails and says so.
TEST_F(DestinationChangesTest, AFileSavedWhileACopyIsUnderWayIsNeverReplaced) {
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

// A file kept in Backup or Deleted under the name of a folder needed there now moves to a
// numbered name, so the folder can be made; the Backup and Deleted folders themselves are the
// user's and are never moved.
TEST_F(DestinationChangesTest, AKeptFileInTheWayOfAKeptFolderMovesToANumberedName) {
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
}

// Deleted itself is a file of the user's (mirrored from the source): it stays, and the move
// into it fails on every run, as it must.
TEST_F(DestinationChangesTest, ADeletedFolderThatIsAFileOfTheUsersStays) {
    File(L"/src/Deleted", "mirrored");
    File(L"/dst/Deleted", "mirrored");
    File(L"/dst/gone/file.txt", "gone from the source");
    EXPECT_EQ(Run(L"d"), 2);
    EXPECT_EQ(Count(L"move " + P(L"/dst/gone/file.txt") + L" failed: "), 1u);
    EXPECT_EQ(At(L"/dst/Deleted"), "mirrored");
    EXPECT_EQ(At(L"/dst/gone/file.txt"), "gone from the source");
}

// A link in the destination is an entry, never a folder to write through. Where the source has a
// file it goes aside like a changed file (the link itself, whatever it leads to); where the
// source has a folder, or on the way into Backup or Deleted, it is named on every run and nothing
// is written, created or moved through it.
TEST_F(DestinationChangesTest, LinksInTheDestinationNeverCarryAWriteOut) {
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
TEST_F(DestinationChangesTest, AFolderSwappedForALinkMidRunCarriesNoWriteOut) {
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

}  // namespace
