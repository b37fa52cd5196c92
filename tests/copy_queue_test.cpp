#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/copy_queue.h"
#include "engine/destination_changes.h"
#include "tests/support/fs_memory.h"
#include "engine/run_state.h"
#include "output/message.h"
#include "tests/test_support.h"

namespace {

class CopyQueueTest : public MemFsTest {
protected:
    void SetUp() override {
        MemFsTest::SetUp();
        MemFsSetCopiesMayOverlap(true);
        ResetRunFailures();
    }
    void TearDown() override {
        EndCopies();
        MemFsTest::TearDown();
    }
    static std::wstring Source(int i) { return P(L"/s/f") + std::to_wstring(i); }
    static std::wstring Destination(int i) { return P(L"/d/f") + std::to_wstring(i); }
    static std::wstring Name(int i) { return L"f" + std::to_wstring(i); }
    void AddSources(int count) {
        MemFsAddFolder(P(L"/d"));
        for (int i = 0; i < count; ++i) MemFsAddFile(Source(i), std::string(100 + i, 'x'), 1000 + i);
    }
    void Queue(int i) {
        QueueCopy(Source(i).c_str(), Destination(i).c_str(), Name(i).c_str(), FileTimeFromInt64(1000 + i), 100 + i);
    }
    static std::vector<std::wstring> Lines() {
        std::vector<std::wstring> lines;
        for (const std::wstring& m : CapturedMessages()) {
            if (m.empty() || m[0] != L'\r') lines.push_back(m);
        }
        return lines;
    }
};

// The walk's lines and the copies' lines read as one copy at a time writes them, a failed copy's
// line right after its "copy file" line, whether the copies overlap or not.
TEST_F(CopyQueueTest, LinesKeepTheOrderTheCopiesWereQueuedIn) {
    for (bool overlap : {true, false}) {
        SCOPED_TRACE(overlap);
        MemFsReset();
        MemFsSetCopiesMayOverlap(overlap);
        ResetRunFailures();
        StartCapture();
        AddSources(60);
        MemFsFailOn(MemOp::CopyFile, Source(7), kErrorAccessDenied);
        std::vector<std::wstring> expected;
        BeginCopies();
        for (int i = 0; i < 60; ++i) {
            WriteMessage(L"walk %d\n", i);
            expected.push_back(L"walk " + std::to_wstring(i) + L"\n");
            Queue(i);
            expected.push_back(L"copy file " + Source(i) + L"\n");
            if (i == 7) expected.push_back(L"copy " + Source(i) + L" failed: " + std::to_wstring(kErrorAccessDenied) + L"\n");
        }
        WriteMessage(L"end\n");
        expected.push_back(L"end\n");
        EXPECT_EQ(WaitForQueuedCopies(), 59u);
        EndCopies();
        EXPECT_EQ(Lines(), expected);
        EXPECT_EQ(RunFailureCount(), 1u);
        MemFsNode node;
        for (int i = 0; i < 60; ++i) EXPECT_EQ(MemFsLookup(Destination(i), &node), i != 7) << i;
    }
}

// A copy that has not started when a stop is requested never starts; one abandoned for the stop
// leaves no file and none of its held lines. Every "copy file" line but the first names a file
// that arrived whole, and every file that arrived has its line.
TEST_F(CopyQueueTest, AStopStartsNoQueuedCopyAndLeavesNothingHalfDone) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "copies overlap only with a second core";
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        MemFsReset();
        MemFsSetCopiesMayOverlap(true);
        ClearStopRequest();
        StartCapture();
        AddSources(40);
        MemFsOnCall(MemOp::CopyFile, Source(0), [] { RequestStop(); });
        std::set<int> queuedAfterStop;
        BeginCopies();
        for (int i = 0; i < 40; ++i) {
            if (StopRequested()) queuedAfterStop.insert(i);
            Queue(i);
        }
        uint32_t arrived = WaitForQueuedCopies();
        EndCopies();
        std::vector<std::wstring> lines = Lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], L"copy file " + Source(0) + L"\n");
        std::set<int> named, present;
        for (size_t k = 1; k < lines.size(); ++k) named.insert(std::stoi(lines[k].substr(Source(0).size() + 9)));
        MemFsNode node;
        for (int i = 0; i < 40; ++i) {
            if (MemFsLookup(Destination(i), &node)) present.insert(i);
        }
        EXPECT_EQ(named, present);
        EXPECT_EQ(present.count(0), 0u);
        EXPECT_EQ(arrived, present.size());
        for (int i : queuedAfterStop) EXPECT_EQ(present.count(i), 0u) << i;
        int last = -1;
        for (size_t k = 1; k < lines.size(); ++k) {
            int i = std::stoi(lines[k].substr(Source(0).size() + 9));
            EXPECT_GT(i, last);
            last = i;
        }
        EXPECT_EQ(RunFailureCount(), 0u);
    }
    ClearStopRequest();
}

// The walk asks before it touches a place: a copy that has not ended still holds its name (as the
// destination's file system matches names), and lets it go once it has.
TEST_F(CopyQueueTest, AnUnfinishedCopyHoldsItsName) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "copies overlap only with a second core";
    for (bool windowsNames : {false, true}) {
        SCOPED_TRACE(windowsNames ? "Windows names" : "POSIX names");
        MemFsReset(windowsNames);
        MemFsSetCopiesMayOverlap(true);
        AddSources(2);
        std::atomic<bool> release{false};
        MemFsOnCall(MemOp::CopyFile, Source(0), [&] {
            for (int spins = 0; !release.load() && spins < 20000; ++spins) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        BeginCopies();
        Queue(0);
        EXPECT_TRUE(CopyQueuedFor(L"f0"));
        EXPECT_EQ(CopyQueuedFor(L"F0"), windowsNames);
        EXPECT_FALSE(CopyQueuedFor(L"f1"));
        release.store(true);
        EXPECT_EQ(WaitForQueuedCopies(), 1u);
        EXPECT_FALSE(CopyQueuedFor(L"f0"));
        EndCopies();
    }
}

}  // namespace
