#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/run_thread.h"
#include "engine/date_filter.h"
#include "engine/destination_index.h"
#include "engine/paths.h"
#include "engine/run_state.h"
#include "engine/run_sync.h"
#include "engine/walk.h"
#include "output/message.h"
#include "tests/test_support.h"

namespace {

const std::wstring kBanner = L"Kestrovane, Copyright (C) 2026 The Kestrome developers\n\n";
const std::vector<std::wstring> kUsage = {
    L"use: Kestrome.exe sourcedir destdir arg\n",
    L"arg:\n",
    L"d - optional, move deleted files into <Deleted> folder\n",
    L"date in format d.m.Y or Y.m.d or Y-m-d or m/d/Y - optional, synchronize only files newer than the specified date\n",
};
const std::vector<std::wstring> kClosingTail = {
    L"Please look the <Backup> folder for replaced files\n",
    L"and the <Deleted> folder for deleted files.\n",
    L"Please remove these folders if you don't need old files.\n",
};

class RunSyncTest : public MemFsTest {
protected:
    void SetUp() override {
        MemFsTest::SetUp();
        SetTimeZone("UTC0");
        MemFsAddFolder(P(L"/src"));
        MemFsAddFolder(P(L"/dst"));
    }
    std::vector<std::wstring> Expected(std::initializer_list<std::wstring> middle,
                                       const std::wstring& firstClosing = L"All files are successfully synchronized.\n\n") {
        std::vector<std::wstring> lines = {kBanner};
        lines.insert(lines.end(), middle);
        lines.push_back(firstClosing);
        lines.insert(lines.end(), kClosingTail.begin(), kClosingTail.end());
        return lines;
    }
};

TEST_F(RunSyncTest, TooFewArgumentsWriteBannerAndUsageAndTouchNoFolder) {
    for (int count = 0; count < 3; ++count) {
        StartCapture();
        MemFsClearCalls();
        std::vector<std::wstring> args = {L"kestrome", P(L"/src"), P(L"/dst")};
        args.resize(static_cast<size_t>(count));
        EXPECT_EQ(RunWith(args), 1);
        std::vector<std::wstring> expected = {kBanner};
        expected.insert(expected.end(), kUsage.begin(), kUsage.end());
        EXPECT_EQ(CapturedMessages(), expected);
        EXPECT_TRUE(MemFsCalls().empty());
    }
}

TEST_F(RunSyncTest, MissingFoldersAreNamedExactlyAsPassed) {
    MemFsAddFile(P(L"/file"), "x", 1);
    EXPECT_EQ(RunWith({L"k", P(L"/nothing/"), P(L"/also-nothing")}), 1);
    EXPECT_EQ(CapturedMessages(), (std::vector<std::wstring>{kBanner, P(L"/nothing/") + L" not exist\n"}));
    StartCapture();
    EXPECT_EQ(RunWith({L"k", P(L"/src/"), P(L"/file")}), 1);
    EXPECT_EQ(CapturedMessages(), (std::vector<std::wstring>{kBanner, P(L"/file") + L" not exist\n"}));
    StartCapture();
    EXPECT_EQ(RunWith({L"k", P(L"/file"), P(L"/dst")}), 1);
    EXPECT_EQ(CapturedMessages().back(), P(L"/file") + L" not exist\n");
}

TEST_F(RunSyncTest, AnEmptyRunWritesEveryLineInOrderWithNormalizedPaths) {
    EXPECT_EQ(RunWith({L"k", P(L"/src/"), P(L"/dst/")}), 0);
    EXPECT_EQ(CapturedMessages(), Expected({L"Source File System: MEMFS\n", L"Dest File System: MEMFS\n",
                                            L"Copy and Move files\n", L"Read " + P(L"/dst") + L"\n",
                                            L"\nRead " + P(L"/src") + L"\n"}));
    EXPECT_FALSE(DifferentFileSystems);
    // The destination root stays even though the run leaves it without files.
    MemFsNode node;
    EXPECT_TRUE(MemFsLookup(P(L"/dst"), &node));
}

TEST_F(RunSyncTest, ArgumentThreeSelectsDeletedModeOnlyWhenItIsExactlyD) {
    EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst"), L"d"}), 0);
    EXPECT_EQ(CapturedMessages(), Expected({L"Source File System: MEMFS\n", L"Dest File System: MEMFS\n",
                                            L"Copy and Move files\n", L"Read " + P(L"/dst") + L"\n",
                                            L"\nRead " + P(L"/src") + L"\n", L"Checking for deleted files\n",
                                            L"Read " + P(L"/src") + L"\n"}));
    for (const wchar_t* notD : {L"D", L"d ", L"dd", L""}) {
        StartCapture();
        EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst"), notD}), 0);
        EXPECT_EQ(CapturedText().find(L"Checking for deleted files"), std::wstring::npos) << Narrow(notD);
        EXPECT_NE(CapturedText().find(L"Copy and Move files\n"), std::wstring::npos);
        EXPECT_FALSE(DateFilter.enabled);
    }
    // With five or more arguments the fourth is not looked at.
    StartCapture();
    EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst"), L"d", L"extra"}), 0);
    EXPECT_EQ(CapturedText().find(L"Checking"), std::wstring::npos);
    StartCapture();
    EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst"), L"2024.1.1", L"extra"}), 0);
    EXPECT_FALSE(DateFilter.enabled);
}

TEST_F(RunSyncTest, ADateRunIsFollowedByAnUnfilteredRun) {
    MemFsAddFile(P(L"/src/old.txt"), "old", UtcFileTime(2020, 1, 1), UtcFileTime(2020, 1, 1));
    EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst"), L"2024.5.7 "}), 0);
    EXPECT_NE(CapturedText().find(L"Copy and Move files newer 2024.5.7 \n"), std::wstring::npos);
    EXPECT_EQ(CapturedText().find(L"copy file"), std::wstring::npos);
    StartCapture();
    EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst")}), 0);
    EXPECT_NE(CapturedText().find(L"Copy and Move files\n"), std::wstring::npos);
    EXPECT_NE(CapturedText().find(L"copy file " + P(L"/src/old.txt")), std::wstring::npos);
}

TEST_F(RunSyncTest, VolumeNamesDecideTheTimeTolerance) {
    EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst")}), 0);
    EXPECT_FALSE(DifferentFileSystems);
    MemFsFailOn(MemOp::GetFileSystemName, P(L"/dst"), kErrorAccessDenied);
    StartCapture();
    EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst")}), 0);
    EXPECT_TRUE(DifferentFileSystems);  // MEMFS against an empty name
    EXPECT_EQ(CapturedText().find(L"Dest File System"), std::wstring::npos);
    MemFsFailOn(MemOp::GetFileSystemName, P(L"/src"), kErrorAccessDenied);
    StartCapture();
    EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst")}), 0);
    EXPECT_FALSE(DifferentFileSystems);  // both empty
    EXPECT_EQ(CapturedText().find(L"File System"), std::wstring::npos);
}

TEST_F(RunSyncTest, OverlappingFoldersAreRefusedBeforeAnythingIsTouched) {
    MemFsAddFolder(P(L"/src/inner"));
    MemFsAddFile(P(L"/src/a.txt"), "a", 1);
    for (auto pair : std::vector<std::pair<std::wstring, std::wstring>>{
             {P(L"/src"), P(L"/src/")}, {P(L"/src"), P(L"/src/inner")}, {P(L"/src/inner"), P(L"/src")}}) {
        StartCapture();
        MemFsClearCalls();
        EXPECT_EQ(RunWith({L"k", pair.first, pair.second, L"d"}), 1);
        EXPECT_EQ(CapturedMessages(),
                  (std::vector<std::wstring>{kBanner, L"source and destination folders overlap\n"}));
        for (const std::wstring& call : MemFsCalls()) {
            EXPECT_TRUE(call.rfind(L"GetAttributes ", 0) == 0 || call.rfind(L"GetFullPath ", 0) == 0 ||
                        call.rfind(L"FolderContains ", 0) == 0)
                << Narrow(call);
        }
    }
    // A name that merely starts like the other folder's is no overlap.
    MemFsAddFolder(P(L"/src2"));
    StartCapture();
    EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/src2")}), 0);

    // When the check cannot tell, in either direction, the run is refused, never taken as apart.
    for (const std::wstring& inner : {P(L"/src2"), P(L"/src")}) {
        MemFsFailOn(MemOp::FolderContains, inner, kErrorAccessDenied, 1);
        StartCapture();
        EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/src2"), L"d"}), 1);
        EXPECT_EQ(CapturedMessages(), (std::vector<std::wstring>{
                                           kBanner, L"source and destination folders cannot be compared: " +
                                                        std::to_wstring(kErrorAccessDenied) + L"\n"}));
    }
    MemFsNode node;
    EXPECT_TRUE(MemFsLookup(P(L"/src/a.txt"), &node));
}

TEST_F(RunSyncTest, FailuresAreCountedIntoTheClosingLineAndExitCode) {
    MemFsAddFile(P(L"/src/a.txt"), "a", 5);
    MemFsAddFile(P(L"/src/b.txt"), "b", 5);
    MemFsFailOn(MemOp::CopyFile, P(L"/src/a.txt"), kErrorAccessDenied, 1);
    EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst")}), 2);
    std::wstring text = CapturedText();
    EXPECT_NE(text.find(L"copy " + P(L"/src/a.txt") + L" failed: " + std::to_wstring(kErrorAccessDenied) + L"\n"),
              std::wstring::npos);
    EXPECT_NE(text.find(L"Synchronization finished with errors: 1\n\n" + kClosingTail[0]), std::wstring::npos);
    EXPECT_EQ(text.find(L"All files are successfully"), std::wstring::npos);
    // The count belongs to one run: the next run, without failures, ends as usual.
    StartCapture();
    EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst")}), 0);
    EXPECT_NE(CapturedText().find(L"All files are successfully synchronized.\n\n"), std::wstring::npos);
}

TEST_F(RunSyncTest, EachCountingWalkStartsFromZeroInEveryRun) {
    for (int i = 0; i < 300; ++i) MemFsAddFile(P(L"/dst/f") + std::to_wstring(i), "x", 1);
    for (int run = 0; run < 2; ++run) {
        StartCapture();
        EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst")}), 0);
        int lines = 0;
        for (const std::wstring& m : CapturedMessages()) lines += m == L"read 00000256 files\r";
        EXPECT_EQ(lines, 1) << "run " << run;
        // The index holds this run's destination only.
        EXPECT_EQ(IndexedFileCount(), 300u);
    }
}

TEST_F(RunSyncTest, AStopRequestEndsTheRunWithItsOwnLine) {
    MemFsAddFile(P(L"/src/a.txt"), "a", 5);
    RequestStop();
    EXPECT_EQ(RunWith({L"k", P(L"/src"), P(L"/dst"), L"d"}), 3);
    std::wstring text = CapturedText();
    EXPECT_NE(text.find(L"Synchronization stopped.\n\n" + kClosingTail[0]), std::wstring::npos);
    EXPECT_EQ(text.find(L"copy file"), std::wstring::npos);
    EXPECT_EQ(text.find(L"Checking for deleted files"), std::wstring::npos);
}

TEST_F(RunSyncTest, ArgumentsLongerThanThePathLimitAreRefused) {
    std::wstring longPath = P(L"/") + std::wstring(kMaxPath + 5, L'x');
    EXPECT_EQ(RunWith({L"k", longPath, P(L"/dst")}), 1);
    EXPECT_EQ(CapturedMessages().back(), L"path too long " + longPath + L"\n");
}

// The deepest tree the path limit allows is walked without exhausting the stack, and entries one
// level deeper are reported and passed over.
TEST_F(RunSyncTest, DeepestTreeOnTheLargeStack) {
    std::wstring folder = P(L"/src");
    while (folder.size() + 2 + 4 <= kMaxPath) folder += P(L"/d");
    MemFsAddFile(folder + P(L"/f"), "deep", 1);
    MemFsAddFile(folder + P(L"/d/toolong"), "x", 1);
    MemFsLogCalls(false);
    const wchar_t* args[] = {L"k", L"", L""};
    std::wstring src = P(L"/src"), dst = P(L"/dst");
    args[1] = src.c_str();
    args[2] = dst.c_str();
    EXPECT_EQ(RunSyncOnLargeStack(3, args), 2);
    std::wstring copied = P(L"/dst") + folder.substr(4) + P(L"/f");
    MemFsNode node;
    EXPECT_TRUE(MemFsLookup(copied, &node)) << Narrow(copied);
    EXPECT_NE(CapturedText().find(L"path too long "), std::wstring::npos);
}

// A root that cannot be listed ends the run as a failure: the source's, before anything is copied
// into or moved out of the destination; the destination's, before anything is copied into it.
class RunPassesTest : public PassTest {};

TEST_F(RunPassesTest, ASourceRootThatCannotBeListedEndsTheRun) {
    for (MemOp op : {MemOp::FindFirst, MemOp::FindNext}) {
        SetUp();
        File(L"/dst/kept.txt", "k");
        MemFsAddFolder(P(L"/dst/empty"));
        MemFsFailOn(op, P(L"/src"), kErrorAccessDenied);
        EXPECT_EQ(Run(L"d"), 2);
        EXPECT_EQ(At(L"/dst/kept.txt"), "k");
        EXPECT_EQ(At(L"/dst/empty"), "<folder>");
        EXPECT_EQ(Count(L"Checking for deleted files"), 0u);
        EXPECT_TRUE(Said(L"read folder /src failed: "));
    }
}

TEST_F(RunPassesTest, ADestinationRootThatCannotBeListedEndsTheRun) {
    File(L"/dst/kept.txt", "k");
    MemFsAddFolder(P(L"/dst/empty"));
    File(L"/src/new.txt", "n");
    MemFsFailOn(MemOp::FindFirst, P(L"/dst"), kErrorAccessDenied);
    EXPECT_EQ(Run(L"d"), 2);
    EXPECT_TRUE(Said(L"read folder /dst failed: "));
    EXPECT_EQ(At(L"/dst/new.txt"), "<none>");
    EXPECT_EQ(At(L"/dst/empty"), "<folder>");
}

}  // namespace
