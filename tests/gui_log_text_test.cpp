// The log pane's line rule on the in-memory pane, on both builds: the hand-written table, and the
// texts of real engine runs delivered through the output sink.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gui/log_model.h"
#include "output/message.h"
#include "output/progress.h"
#include "tests/gui_log_cases.h"
#include "tests/test_support.h"

namespace {

TEST(LogPaneModel, HoldsWhatTheTableSaysAfterEachCase) {
    for (const LogCase& c : LogCases()) {
        LogPaneModel model;
        for (const std::wstring& text : c.texts) AppendLogTextToModel(model, text.c_str());
        EXPECT_EQ(Narrow(model.text), Narrow(c.pane)) << c.name;
    }
}

TEST(LogPaneModel, CountsAndReadsLinesAsTheEditControlDoes) {
    LogPaneModel model;
    EXPECT_EQ(ModelLineCount(model), 1u);
    EXPECT_EQ(ModelLastLine(model), L"");
    AppendLogTextToModel(model, L"first\nsecond\nthird");
    EXPECT_EQ(ModelLineCount(model), 3u);
    EXPECT_EQ(ModelLine(model, 0), L"first");
    EXPECT_EQ(ModelLine(model, 1), L"second");
    EXPECT_EQ(ModelLastLine(model), L"third");
    EXPECT_EQ(ModelLine(model, 7), L"");
    AppendLogTextToModel(model, L"\n");
    EXPECT_EQ(ModelLineCount(model), 4u);
    EXPECT_EQ(ModelLastLine(model), L"");
}

// The sink of these tests: every message of the engine goes into one model, as it would into the
// window's pane.
LogPaneModel g_pane;
void RenderIntoPane(const wchar_t* text) { AppendLogTextToModel(g_pane, text); }

class LogPaneSinkTest : public MemFsTest {
protected:
    void SetUp() override {
        MemFsTest::SetUp();
        g_pane = LogPaneModel();
        ResetCopyProgress();
    }
    void TearDown() override {
        ClearOutputSink();
        ResetCopyProgress();
        MemFsTest::TearDown();
    }
};

TEST_F(LogPaneSinkTest, ProgressLineOfACopyIsRedrawnInPlaceAndErased) {
    SetOutputSink(RenderIntoPane);
    WriteMessage(L"copy file %s\n", L"big.bin");
    size_t lines = ModelLineCount(g_pane);
    ShowCopyProgress(0.0);
    EXPECT_EQ(ModelLineCount(g_pane), lines);
    EXPECT_EQ(ModelLastLine(g_pane), ProgressBarText(0).substr(1));
    ShowCopyProgress(0.5);
    EXPECT_EQ(ModelLineCount(g_pane), lines);
    EXPECT_EQ(ModelLastLine(g_pane), ProgressBarText(50).substr(1));
    ShowCopyProgress(1.0);
    EXPECT_EQ(ModelLineCount(g_pane), lines);
    EXPECT_EQ(ModelLastLine(g_pane), L"");
    WriteMessage(L"copy file %s\n", L"next.bin");
    EXPECT_EQ(Narrow(g_pane.text), "copy file big.bin\r\ncopy file next.bin\r\n");
}

// A whole run over enough files for the entry counter to be written several times: every line of
// the pane is empty or one whole line the engine wrote, in order, and no counter is left over.
TEST_F(LogPaneSinkTest, AWholeRunLeavesEveryEngineLineWholeAndNoCounter) {
    MemFsAddFolder(P(L"/dst"));
    for (int i = 0; i < 700; ++i) {
        MemFsAddFile(P(L"/src/sub/f") + std::to_wstring(i) + L".txt", "x", UtcFileTime(2020, 1, 1));
    }
    StartCapture();
    ASSERT_EQ(RunWith({L"Kestrome.exe", P(L"/src"), P(L"/dst"), L"d"}), 0);
    std::vector<std::wstring> messages = CapturedMessages();

    size_t counters = 0;
    std::vector<std::wstring> expected;
    for (const std::wstring& message : messages) {
        if (message.find(L'\r') != std::wstring::npos) {
            if (message.rfind(L"read ", 0) == 0) ++counters;
            continue;
        }
        size_t start = 0;
        for (size_t end = message.find(L'\n'); end != std::wstring::npos; end = message.find(L'\n', start)) {
            if (end > start) expected.push_back(message.substr(start, end - start));
            start = end + 1;
        }
    }
    ASSERT_GE(counters, 4u) << "the run must write the entry counter for this test to mean anything";

    SetOutputSink(RenderIntoPane);
    for (const std::wstring& message : messages) WriteMessage(L"%s", message.c_str());
    std::vector<std::wstring> shown;
    for (size_t i = 0; i < ModelLineCount(g_pane); ++i) {
        std::wstring line = ModelLine(g_pane, i);
        EXPECT_EQ(line.rfind(L"read ", 0), std::wstring::npos) << "counter left in line " << i;
        if (!line.empty()) shown.push_back(line);
    }
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(ModelLastLine(g_pane), L"");
}

}  // namespace
