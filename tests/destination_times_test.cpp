// What the destination keeps of times, learned in whole runs: coarse precisions, ranges that
// clamp, finer parts that keep the comparison exact, and the copies' read-backs that teach it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>
#include "tests/test_support.h"

namespace {

class DestinationTimesTest : public PassTest {};

// The ranges of times destinations keep: ext4's 1901 to 2446 (with 100-ns times), ext4 with small
// inodes (whole seconds, 1901 to 2038), FAT's 1980 to 2107 (in the time zone of whoever wrote it).
struct KeptRange {
    const char* what;
    int64_t precision, low, high;
};
std::vector<KeptRange> KeptRanges() {
    const int64_t kInt32Low = UtcFileTime(1901, 12, 13, 20, 45, 52);
    return {KeptRange{"ext4", 1, kInt32Low, UtcFileTime(2446, 5, 10, 22, 38, 55)},
            KeptRange{"ext4, 128-byte inodes", DestinationTimesTest::kSecond, kInt32Low, UtcFileTime(2038, 1, 19, 3, 14, 7)},
            KeptRange{"exFAT", 100000, UtcFileTime(1980, 1, 1), UtcFileTime(2107, 12, 31, 23, 59, 59)},
            // Windows keeps FAT times in local time: here 5:30 ahead of UTC.
            KeptRange{"FAT, local time", 2 * DestinationTimesTest::kSecond, UtcFileTime(1979, 12, 31, 18, 30),
                      UtcFileTime(2107, 12, 31, 18, 29, 58)}};
}

// Dates the destination cannot hold are clamped to its bounds. A file at a bound whose source lies
// beyond it is equal: the second run writes nothing.
TEST_F(DestinationTimesTest, DatesBeyondTheDestinationsRangeAreClampedAndNotCopiedAgain) {
    for (const KeptRange& kept : KeptRanges()) {
        SCOPED_TRACE(kept.what);
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
    }
}

// A destination that shows a time beyond a bound does not clamp there: at the bound, a file whose
// source lies beyond it has changed.
TEST_F(DestinationTimesTest, ADestinationThatShowsATimeBeyondABoundDoesNotClampThere) {
    for (const KeptRange& kept : KeptRanges()) {
        SCOPED_TRACE(kept.what);
        SetUp();
        File(L"/src/shows-more.txt", "m", kept.high + 5 * kSecond);
        File(L"/dst/shows-more.txt", "m", kept.high + 5 * kSecond);
        File(L"/src/beyond.txt", "b", kept.high + 10 * kSecond);
        File(L"/dst/beyond.txt", "b", kept.high);
        EXPECT_EQ(Run(), 0);
        EXPECT_TRUE(Said(L"backup file /dst/beyond.txt\n"));
        EXPECT_EQ(Count(L"backup file"), 1u);
    }
}

// A bound no known file system has: what a copy's read-back showed holds for the rest of the run.
TEST_F(DestinationTimesTest, ABoundThatACopyShowedHoldsForTheRestOfTheRun) {
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

// Destinations that keep coarser times than the source's: each copy's time differs from its
// source's, both volumes report one file-system name, and still the next run, which knows only
// what the destination shows, writes nothing. A change that keeps the size within the precision
// goes unseen; one beyond it is backed up and copied.
TEST_F(DestinationTimesTest, CoarseDestinationTimesAreComparedAtTheirPrecision) {
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

// Whole-second times on a destination that keeps 100 ns: one file with a finer part is enough to
// keep the comparison exact, and so is a copy whose read-back showed its fine time kept.
TEST_F(DestinationTimesTest, ADestinationWhoseTimesShowFinerPartsStaysExact) {
    const int64_t whole = UtcFileTime(2024, 2, 3, 4, 5, 6);
    File(L"/dst/fine.txt", "f", whole + 1);
    File(L"/dst/a.txt", "aaa", whole);
    File(L"/src/fine.txt", "f", whole + 1);
    File(L"/src/a.txt", "bbb", whole + 3000000);
    EXPECT_EQ(Run(), 0);
    EXPECT_TRUE(Said(L"backup file /dst/a.txt\n"));
    EXPECT_EQ(At(L"/dst/a.txt"), "bbb");
}

// Without it, the destination's times are all whole seconds: the change goes unseen...
TEST_F(DestinationTimesTest, WholeSecondTimesHideAChangeUntilACopyShowsFinerOnes) {
    const int64_t whole = UtcFileTime(2024, 2, 3, 4, 5, 6);
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
TEST_F(DestinationTimesTest, CopiesReadBackTheirStoredTimeOnlyWhileItTeachesSomething) {
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

}  // namespace
