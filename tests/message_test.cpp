#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "output/log_order.h"
#include "output/message.h"
#include "tests/test_support.h"

#ifndef _WIN32
#include <cstdio>
#include <unistd.h>
#endif

namespace {

class MessageTest : public ::testing::Test {
protected:
    void SetUp() override { StartCapture(); }
    void TearDown() override { ClearOutputSink(); }
};

TEST_F(MessageTest, SinkReceivesEachMessageWholeAndOnce) {
    EXPECT_EQ(WriteMessage(L"copy file %s\n", L"a.txt"), 16);
    EXPECT_EQ(WriteMessage(L"\r"), 1);
    EXPECT_EQ(WriteMessage(L"no line end"), 11);
    ASSERT_EQ(CapturedMessages().size(), 3u);
    EXPECT_EQ(CapturedMessages()[0], L"copy file a.txt\n");
    EXPECT_EQ(CapturedMessages()[1], L"\r");
    EXPECT_EQ(CapturedMessages()[2], L"no line end");
}

// Parts opened in the order A, B, C: what B's thread writes while A is open waits, goes out when A
// ends, and B's later lines go out at once; an ended part's held lines are dropped on discard,
// never those already out; C's lines follow B's whatever the threads' timing.
TEST_F(MessageTest, LogPartsGoOutInTheOrderTheyWereOpened) {
    uint64_t a = OpenLogPart(), b = OpenLogPart(), c = OpenLogPart();
    WriteIntoLogPart(a);
    WriteMessage(L"a1\n");
    std::thread([b] {
        WriteIntoLogPart(b);
        WriteMessage(L"b1\n");
        WriteIntoLogPart(0);
    }).join();
    std::thread([c] {
        WriteIntoLogPart(c);
        WriteMessage(L"c1\n");
        WriteIntoLogPart(0);
        CloseLogPart(c);
    }).join();
    EXPECT_EQ(CapturedText(), L"a1\n");
    WriteMessage(L"a2\n");
    CloseLogPart(a);
    EXPECT_EQ(CapturedText(), L"a1\na2\nb1\n");
    WriteIntoLogPart(b);
    WriteMessage(L"b2\n");
    EXPECT_EQ(CapturedText(), L"a1\na2\nb1\nb2\n");
    CloseLogPart(b, true);  // b's lines are out already; c's wait no longer
    EXPECT_EQ(CapturedText(), L"a1\na2\nb1\nb2\nc1\n");
    WriteIntoLogPart(0);
    WriteMessage(L"free\n");
    EXPECT_EQ(CapturedText(), L"a1\na2\nb1\nb2\nc1\nfree\n");

    // A discarded part behind an open one leaves nothing.
    uint64_t d = OpenLogPart(), e = OpenLogPart(), f = OpenLogPart();
    StartCapture();
    WriteIntoLogPart(e);
    WriteMessage(L"e1\n");
    WriteIntoLogPart(f);
    WriteMessage(L"f1\n");
    WriteIntoLogPart(0);
    CloseLogPart(e, true);
    CloseLogPart(f);
    EXPECT_TRUE(CapturedMessages().empty());
    CloseLogPart(d);
    EXPECT_EQ(CapturedText(), L"f1\n");
}

TEST_F(MessageTest, LongMessagesAreCutAtTheLimit) {
    std::wstring exact(kMessageLimit, L'x');
    EXPECT_EQ(WriteMessage(L"%s", exact.c_str()), static_cast<int>(kMessageLimit));
    EXPECT_EQ(CapturedMessages().back(), exact);

    std::wstring longer(kMessageLimit + 50, L'y');
    EXPECT_EQ(WriteMessage(L"%s\n", longer.c_str()), static_cast<int>(kMessageLimit));
    EXPECT_EQ(CapturedMessages().back(), std::wstring(kMessageLimit, L'y'));
}

TEST_F(MessageTest, SinkChangesTakeEffectWithTheNextMessage) {
    static std::wstring second;
    ClearOutputSink();
    SetOutputSink([](const wchar_t* text) { second += text; });
    WriteMessage(L"one");
    EXPECT_TRUE(CapturedMessages().empty());
    StartCapture();
    WriteMessage(L"two");
    EXPECT_EQ(second, L"one");
    EXPECT_EQ(CapturedText(), L"two");
}

#ifndef _WIN32
// The console path writes UTF-8, once per message, without line-ending translation, and gives
// back the bytes it was given as invalid names (U+DC80 + byte).
TEST_F(MessageTest, ConsoleWritesUtf8ToStandardOutput) {
    ClearOutputSink();
    fflush(stdout);
    char path[] = "/tmp/kestrome-console-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    int saved = dup(1);
    dup2(fd, 1);
    int written = WriteMessage(L"%s\r\n", L"\u00e4\U0001F600\xDCFF");
    dup2(saved, 1);
    close(saved);
    std::string bytes(64, '\0');
    ssize_t n = pread(fd, bytes.data(), bytes.size(), 0);
    close(fd);
    unlink(path);
    ASSERT_GE(n, 0);
    bytes.resize(static_cast<size_t>(n));
    EXPECT_EQ(written, 5);
    EXPECT_EQ(bytes, "\xC3\xA4\xF0\x9F\x98\x80\xFF\r\n");
}
#endif

}  // namespace
