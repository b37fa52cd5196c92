#include <gtest/gtest.h>

#include "engine/date_filter.h"
#include "tests/test_support.h"

namespace {

constexpr int64_t kOneSecondBefore1970 = 116444735990000000LL;

class DateFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetTimeZone("UTC0");
        DateFilter.enabled = 0;
    }
    void TearDown() override {
        DateFilter.enabled = 0;
        SetTimeZone("UTC0");
    }
    // The threshold ParseDateArgument sets for text, or -2 when it leaves the filter off.
    static int64_t ThresholdOf(const wchar_t* text) {
        DateFilter.enabled = 0;
        ParseDateArgument(text);
        return DateFilter.enabled ? FileTimeToInt64(DateFilter.threshold) : -2;
    }
};

TEST_F(DateFilterTest, FourFormsGiveTheSameDayAndTheFirstMatchingFormWins) {
    int64_t day = UtcFileTime(2024, 3, 15);
    EXPECT_EQ(ThresholdOf(L"2024.03.15"), day);
    EXPECT_EQ(ThresholdOf(L"15.03.2024"), day);
    EXPECT_EQ(ThresholdOf(L"2024-03-15"), day);
    EXPECT_EQ(ThresholdOf(L"03/15/2024"), day);
    // Y.m.d is tried before d.m.Y: 2000.5.2001 is day 2001 of May 2000, not a year 2001.
    EXPECT_EQ(ThresholdOf(L"2000.5.2001"), UtcFileTime(2000, 5, 1) + 2000LL * 86400 * 10000000);
    // Leading blanks are skipped, trailing text ignored, a blank before a separator breaks it.
    EXPECT_EQ(ThresholdOf(L"  2024.5.7"), UtcFileTime(2024, 5, 7));
    EXPECT_EQ(ThresholdOf(L"2024.5.7 12:30"), UtcFileTime(2024, 5, 7));
    EXPECT_EQ(ThresholdOf(L"2024. 5. 7"), UtcFileTime(2024, 5, 7));
    EXPECT_EQ(ThresholdOf(L"+2024.+5.7"), UtcFileTime(2024, 5, 7));
}

TEST_F(DateFilterTest, TextsThatAreNoDateLeaveTheFilterOff) {
    for (const wchar_t* text : {L"", L"2024 .5.7", L"2024.5", L"1.2.3", L"1900.1.1", L"d", L"D", L"yesterday",
                                L"2024/5/7", L"-2024.1.1", L"2024.x.1"}) {
        EXPECT_EQ(ThresholdOf(text), -2) << Narrow(text);
    }
}

TEST_F(DateFilterTest, OutOfRangeMonthsAndDaysAreNormalized) {
    EXPECT_EQ(ThresholdOf(L"2024.13.01"), UtcFileTime(2025, 1, 1));
    EXPECT_EQ(ThresholdOf(L"15/03/2024"), UtcFileTime(2025, 3, 3));
    EXPECT_EQ(ThresholdOf(L"2023.2.29"), UtcFileTime(2023, 3, 1));
    EXPECT_EQ(ThresholdOf(L"2024.2.29"), UtcFileTime(2024, 2, 29));
    EXPECT_EQ(ThresholdOf(L"2024.2.30"), UtcFileTime(2024, 3, 1));
    EXPECT_EQ(ThresholdOf(L"2024.4.31"), UtcFileTime(2024, 5, 1));
    EXPECT_EQ(ThresholdOf(L"2024.3.0"), UtcFileTime(2024, 2, 29));
    EXPECT_EQ(ThresholdOf(L"2024.0.1"), UtcFileTime(2023, 12, 1));
}

TEST_F(DateFilterTest, DatesOutsideTheConversionRangeEnableTheFilterFromBefore1970) {
    EXPECT_EQ(ThresholdOf(L"1950.06.01"), kOneSecondBefore1970);
    EXPECT_EQ(ThresholdOf(L"1969.12.31"), kOneSecondBefore1970);
    EXPECT_EQ(ThresholdOf(L"1970.1.1"), UtcFileTime(1970, 1, 1));
    EXPECT_EQ(ThresholdOf(L"2040.01.01"), UtcFileTime(2040, 1, 1));
    EXPECT_EQ(ThresholdOf(L"3000.12.31"), UtcFileTime(3000, 12, 31));
    EXPECT_EQ(ThresholdOf(L"3001.1.1"), kOneSecondBefore1970);
    EXPECT_EQ(ThresholdOf(L"3000.13.1"), kOneSecondBefore1970);
    EXPECT_EQ(ThresholdOf(L"1901.1.1"), kOneSecondBefore1970);
    // A year too large for an int saturates: still a year above 1900, still no conversion.
    EXPECT_EQ(ThresholdOf(L"99999999999999999999.1.1x"), kOneSecondBefore1970);
    EXPECT_EQ(ThresholdOf(L"2024.-2147483648.1"), kOneSecondBefore1970);
}

TEST_F(DateFilterTest, ThresholdIsLocalMidnightWithDaylightSavingChosenByTheDate) {
    SetTimeZone("CET-1CEST,M3.5.0,M10.5.0/3");
    // Winter: midnight in Berlin is 23:00 UTC the day before; summer: 22:00.
    EXPECT_EQ(ThresholdOf(L"2024.01.15"), UtcFileTime(2024, 1, 14, 23));
    EXPECT_EQ(ThresholdOf(L"15.07.2024"), UtcFileTime(2024, 7, 14, 22));
    // Local midnight of 1 January 1970 lies before the epoch east of Greenwich.
    EXPECT_EQ(ThresholdOf(L"1970.1.1"), kOneSecondBefore1970);
    EXPECT_EQ(ThresholdOf(L"1970.1.2"), UtcFileTime(1970, 1, 1, 23));
    SetTimeZone("EST5");
    EXPECT_EQ(ThresholdOf(L"1970.1.1"), UtcFileTime(1970, 1, 1, 5));
}

TEST_F(DateFilterTest, WindowCheckAddsMonthAndDayRanges) {
    for (const wchar_t* text : {L"1901.1.1", L"2024.12.31", L"31.12.2024", L"2024-02-29", L"12/31/2024",
                                L"2023.2.29", L"2024.4.31", L" 2024.5.7 later", L"1.1.1901"}) {
        EXPECT_TRUE(IsValidDateText(text)) << Narrow(text);
    }
    for (const wchar_t* text : {L"", L"d", L"1900.1.1", L"1.2.3", L"2024.13.01", L"2024.0.1", L"2024.1.32",
                                L"32.1.2024", L"2000.5.2001", L"15/03/2024", L"2024-13-1", L"2024.5",
                                L"2024 .5.7", L"0.0.0"}) {
        EXPECT_FALSE(IsValidDateText(text)) << Narrow(text);
    }
}

// Every text the window accepts is the day the engine filters by.
TEST_F(DateFilterTest, WindowAndEngineAgreeOnTheDay) {
    EXPECT_EQ(ThresholdOf(L"1.3.2024"), UtcFileTime(2024, 3, 1));
    EXPECT_TRUE(IsValidDateText(L"1.3.2024"));
    EXPECT_EQ(ThresholdOf(L"3/1/2024"), UtcFileTime(2024, 3, 1));
    EXPECT_TRUE(IsValidDateText(L"3/1/2024"));
}

TEST(ScanThreeNumbers, CountsConvertedNumbersAsTheCRuntimeScanDoes) {
    int a = 0, b = 0, c = 0;
    EXPECT_EQ(ScanThreeNumbers(L"1.2.3", L'.', &a, &b, &c), 3);
    EXPECT_EQ(ScanThreeNumbers(L"1.2", L'.', &a, &b, &c), 2);
    EXPECT_EQ(ScanThreeNumbers(L"1-2.3", L'.', &a, &b, &c), 1);
    EXPECT_EQ(ScanThreeNumbers(L"x", L'.', &a, &b, &c), 0);
    EXPECT_EQ(ScanThreeNumbers(L"-", L'.', &a, &b, &c), 0);
    EXPECT_EQ(ScanThreeNumbers(L"\t\n7.-8.+9", L'.', &a, &b, &c), 3);
    EXPECT_EQ(a, 7);
    EXPECT_EQ(b, -8);
    EXPECT_EQ(c, 9);
    EXPECT_EQ(ScanThreeNumbers(L"99999999999.-99999999999.0", L'.', &a, &b, &c), 3);
    EXPECT_EQ(a, INT32_MAX);
    EXPECT_EQ(b, INT32_MIN);
}

}  // namespace
