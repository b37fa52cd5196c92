#include <gtest/gtest.h>

#include <string>

#include "output/message.h"
#include "output/progress.h"
#include "tests/test_support.h"

namespace {

uint32_t g_now = 0;
uint32_t FakeTick() { return g_now; }

std::wstring Line(int percentage, int cells) {
    wchar_t digits[8];
    swprintf(digits, 8, L"%3d", percentage);
    return L"\r" + std::wstring(digits) + L"% [" + std::wstring(cells, L'|') + std::wstring(60 - cells, L' ') + L"]";
}
const std::wstring kErase = L"\r" + std::wstring(67, L' ') + L"\r";

class ProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        StartCapture();
        ResetCopyProgress();
        SetTickSource(FakeTick);
        g_now = 1000;
    }
    void TearDown() override {
        SetTickSource(nullptr);
        ClearOutputSink();
        ResetCopyProgress();
    }
};

TEST_F(ProgressTest, LineShapeAndSuppressionOfAnUnchangedPercentage) {
    ShowCopyProgress(0.0);
    ShowCopyProgress(0.501);
    ShowCopyProgress(0.509);
    ShowCopyProgress(0.999);
    ASSERT_EQ(CapturedMessages().size(), 3u);
    EXPECT_EQ(CapturedMessages()[0], Line(0, 0));
    EXPECT_EQ(CapturedMessages()[1], Line(50, 30));
    EXPECT_EQ(CapturedMessages()[2], Line(99, 59));
    EXPECT_EQ(CapturedMessages()[0].size(), 68u);
}

TEST_F(ProgressTest, HundredPercentIsNeverSuppressedAndErasesTheLine) {
    ShowCopyProgress(1.0);
    ShowCopyProgress(1.0);
    ASSERT_EQ(CapturedMessages().size(), 4u);
    EXPECT_EQ(CapturedMessages()[0], Line(100, 60));
    EXPECT_EQ(CapturedMessages()[1], kErase);
    EXPECT_EQ(CapturedMessages()[3], kErase);
}

TEST_F(ProgressTest, ThePercentageOfAFailedCopyCarriesOverToTheNextFile) {
    ShowCopyProgress(0.37);
    ShowCopyProgress(0.375);  // next file, same whole percentage
    ShowCopyProgress(0.38);
    ASSERT_EQ(CapturedMessages().size(), 2u);
    EXPECT_EQ(CapturedMessages()[1], Line(38, 22));
}

TEST_F(ProgressTest, RoutineThrottlesToEightyMillisecondsButAlwaysShowsTheEnd) {
    EXPECT_EQ(CopyProgressRoutine(1000, 100), 0u);  // 1000 ms since tick 0: passes
    g_now += 80;
    CopyProgressRoutine(1000, 500);  // exactly 80 ms: held back, tick kept
    g_now += 1;
    CopyProgressRoutine(1000, 600);  // 81 ms after the last shown one: passes
    g_now += 1;
    CopyProgressRoutine(1000, 1000);  // the end always passes
    ASSERT_EQ(CapturedMessages().size(), 4u);
    EXPECT_EQ(CapturedMessages()[0], Line(10, 6));
    EXPECT_EQ(CapturedMessages()[1], Line(60, 36));
    EXPECT_EQ(CapturedMessages()[2], Line(100, 60));
    EXPECT_EQ(CapturedMessages()[3], kErase);
}

TEST_F(ProgressTest, WrappedTickAndEmptyFile) {
    g_now = 0xFFFFFFF0u;
    CopyProgressRoutine(100, 10);
    g_now = 5;  // the tick count wrapped: the update passes
    CopyProgressRoutine(100, 20);
    CopyProgressRoutine(0, 0);  // an empty file is complete at once
    ASSERT_EQ(CapturedMessages().size(), 4u);
    EXPECT_EQ(CapturedMessages()[1], Line(20, 12));
    EXPECT_EQ(CapturedMessages()[2], Line(100, 60));
    EXPECT_EQ(CapturedMessages()[3], kErase);
}

}  // namespace
