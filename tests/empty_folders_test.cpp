// The empty-folder removal at the end of every run: deepest first, never the destination root,
// never a folder not known to be empty.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/run_state.h"
#include "tests/test_support.h"

namespace {

class EmptyFoldersTest : public PassTest {};

TEST_F(EmptyFoldersTest, EmptyFoldersGoDeepestFirstButTheDestinationRootStays) {
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
}

// An empty source into an empty destination leaves the destination for the next run.
TEST_F(EmptyFoldersTest, AnEmptySourceIntoAnEmptyDestinationLeavesTheDestination) {
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Run(), 0);
}

// A folder that cannot be listed is a failure on either side, never an empty folder: named with
// its error and counted; in the destination it is not removed, and neither is anything above it.
TEST_F(EmptyFoldersTest, FoldersThatCannotBeListedAreFailuresNeverEmpty) {
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
}

// A listing that breaks off keeps everything of its folder where it is.
TEST_F(EmptyFoldersTest, AListingThatBreaksOffKeepsEverythingOfItsFolder) {
    File(L"/dst/d/one.txt", "1");
    File(L"/dst/d/two.txt", "2");
    MemFsAddFolder(P(L"/dst/d/empty"));
    MemFsFailOn(MemOp::FindNext, P(L"/dst/d"), kErrorAccessDenied);
    EXPECT_EQ(Run(L"d"), 2);
    EXPECT_EQ(Count(L"read folder " + P(L"/dst/d") + L" failed: "), 1u);
    EXPECT_EQ(At(L"/dst/d/empty"), "<folder>");
}

// A stop in the middle of the empty-folder removal cuts a listing short: the folder is not known
// to be empty, so nothing is tried on it and no failure is written for work never done.
TEST_F(EmptyFoldersTest, AStopDuringTheRemovalWritesNoFailure) {
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

}  // namespace
