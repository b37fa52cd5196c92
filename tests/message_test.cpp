#include <gtest/gtest.h>

#include <chrono>
#include <cwchar>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "output/console_blocks.h"
#include "output/log_order.h"
#include "output/message.h"
#include "output/progress.h"
#include "engine/fs/text_encoding.h"
#include "tests/test_support.h"

#ifndef _WIN32
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

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
// Standard output sent to a fresh file, or to a pipe that a thread drains, for the console path
// to find as at process start.
struct Redirect {
    int saved = -1;
    int fd = -1;  // the file, or the pipe's read end
    bool pipe = false;
    std::thread drain;
    std::string drained;
};

bool BeginRedirect(Redirect& out, bool pipe) {
    fflush(stdout);
    FlushMessages();
    out.pipe = pipe;
    int target;
    if (pipe) {
        int ends[2];
        if (::pipe(ends) != 0) return false;
        out.fd = ends[0];
        target = ends[1];
        out.drain = std::thread([&out] {
            char chunk[65536];
            ssize_t n;
            while ((n = read(out.fd, chunk, sizeof chunk)) > 0) out.drained.append(chunk, static_cast<size_t>(n));
        });
    } else {
        char path[] = "/tmp/kestrome-console-XXXXXX";
        out.fd = mkstemp(path);
        if (out.fd < 0) return false;
        unlink(path);
        target = out.fd;
    }
    out.saved = dup(1);
    dup2(target, 1);
    if (pipe) close(target);
    ReadConsoleKindAgain();
    return true;
}

// What the file holds now.
std::string ReadSoFar(const Redirect& out) {
    std::string bytes;
    char chunk[65536];
    ssize_t n;
    while ((n = pread(out.fd, chunk, sizeof chunk, static_cast<off_t>(bytes.size()))) > 0)
        bytes.append(chunk, static_cast<size_t>(n));
    return bytes;
}

// Flushes, puts standard output back and returns every byte that went to the file or pipe.
std::string EndRedirect(Redirect& out) {
    FlushMessages();
    dup2(out.saved, 1);  // for a pipe the last write end goes: the drain sees its end
    close(out.saved);
    ReadConsoleKindAgain();
    std::string bytes;
    if (out.pipe) {
        out.drain.join();
        bytes = out.drained;
    } else {
        bytes = ReadSoFar(out);
    }
    close(out.fd);
    return bytes;
}

// The console path writes UTF-8 without line-ending translation, and gives back the bytes it
// was given as invalid names (U+DC80 + byte).
TEST_F(MessageTest, ConsoleWritesUtf8ToStandardOutput) {
    ClearOutputSink();
    Redirect out;
    ASSERT_TRUE(BeginRedirect(out, false));
    int written = WriteMessage(L"%s\r\n", L"\u00e4\U0001F600\xDCFF");
    EXPECT_EQ(EndRedirect(out), "\xC3\xA4\xF0\x9F\x98\x80\xFF\r\n");
    EXPECT_EQ(written, 5);
}

// A message written and then nothing more still reaches the file, without a flush, and so does
// the next one once the first block has gone out: a log that someone watches moves.
TEST_F(MessageTest, HeldTextReachesTheFileWithoutAFlush) {
    ClearOutputSink();
    Redirect out;
    ASSERT_TRUE(BeginRedirect(out, false));
    std::string expected[2], seen[2];
    const wchar_t* texts[2] = {L"Read /data/source\n", L"copy file /data/source/a.txt\n"};
    for (int step = 0; step < 2; ++step) {
        WriteMessage(L"%s", texts[step]);
        expected[step] = (step > 0 ? expected[step - 1] : std::string());
        AppendUtf8(expected[step], texts[step], wcslen(texts[step]));
        // Generous: the bound is a fifth of a second, a busy machine must not fail the test.
        for (int i = 0; i < 200 && (seen[step] = ReadSoFar(out)) != expected[step]; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string all = EndRedirect(out);  // checked only now: a failure's text would go into the file
    EXPECT_EQ(seen[0], expected[0]);
    EXPECT_EQ(seen[1], expected[1]);
    EXPECT_EQ(all, expected[1]);
}

// Two threads write at once, into a file (blocks of 64 KiB) and into a pipe (blocks no larger
// than PIPE_BUF, some messages larger than that): every message arrives whole, each thread's in
// its own order. The fill characters take one and three bytes of UTF-8, so the messages run from
// a few bytes to about 7,500 and straddle every block boundary.
TEST_F(MessageTest, TwoThreadsWritingNeverSplitAMessage) {
    ClearOutputSink();
    constexpr unsigned kEach = 2000;
    const wchar_t fills[2] = {L'a', L'\u20ac'};
    for (bool pipe : {false, true}) {
        SCOPED_TRACE(pipe ? "pipe" : "file");
        Redirect out;
        ASSERT_TRUE(BeginRedirect(out, pipe));
        auto writer = [&fills](int who) {
            for (unsigned i = 0; i < kEach; ++i) {
                unsigned pad = (i * 7919u + static_cast<unsigned>(who) * 13u) % 2500u;
                std::wstring fill(pad, fills[who]);
                WriteMessage(L"<%d %u %u %s>\n", who, i, pad, fill.c_str());
            }
        };
        std::thread other(writer, 1);
        writer(0);
        other.join();
        std::string bytes = EndRedirect(out);

        std::string fillBytes[2];
        for (int who = 0; who < 2; ++who) AppendUtf8(fillBytes[who], &fills[who], 1);
        unsigned next[2] = {0, 0};
        size_t start = 0, bad = 0;
        while (start < bytes.size()) {
            size_t end = bytes.find('\n', start);
            if (end == std::string::npos) end = bytes.size();
            std::string line = bytes.substr(start, end - start);
            start = end + 1;
            int who = -1;
            unsigned i = 0, pad = 0;
            int used = 0;
            if (sscanf(line.c_str(), "<%d %u %u %n", &who, &i, &pad, &used) != 3 || who < 0 || who > 1) {
                ++bad;
                continue;
            }
            std::string expected;
            for (unsigned k = 0; k < pad; ++k) expected += fillBytes[who];
            expected += '>';
            if (line.compare(static_cast<size_t>(used), std::string::npos, expected) != 0 || i != next[who]) {
                ++bad;
                continue;
            }
            ++next[who];
        }
        EXPECT_EQ(bad, 0u);
        EXPECT_EQ(next[0], kEach);
        EXPECT_EQ(next[1], kEach);
    }
}

// A file of content, its folders made, last written at a time in 100-ns units since 1601; path
// in UTF-8 (std::filesystem would need a locale for wide names that are not ASCII).
void WriteNamedFile(const std::string& path, const std::string& content, int64_t lastWriteTime) {
    fs::create_directories(fs::path(path).parent_path());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = lastWriteTime / 10000000 - 11644473600LL;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    futimens(fd, times);
    close(fd);
}

class ConsoleRunTest : public RealFolderTest {
protected:
    void TearDown() override {
        SetTickSource(nullptr);
        ResetCopyProgress();
        RealFolderTest::TearDown();
    }
};

// A whole run with d over real folders (copies on two threads where the machine has two cores,
// backups, moves into Deleted, several blocks of text): the log redirected to a file holds, byte
// for byte, the UTF-8 of the text a sink receives message by message. A clock that stands still
// makes each copy show only its last progress piece, so both runs write the same pieces.
TEST_F(ConsoleRunTest, ALogRedirectedToAFileIsByteForByteTheSinkText) {
    SetTickSource([]() -> uint32_t { return 0; });
    const std::wstring src = root + L"/src", dst = root + L"/dst";
    const std::string src8 = Narrow(src), dst8 = Narrow(dst);
    int64_t older = UtcFileTime(2024, 1, 1), newer = UtcFileTime(2024, 6, 1);
    for (int folder = 0; folder < 8; ++folder) {
        for (int file = 0; file < 100; ++file) {
            std::string name = src8 + "/folder " + std::to_string(folder) + "/d\xC3\xA9j\xC3\xA0 " + std::to_string(file) + ".txt";
            WriteNamedFile(name, std::string(static_cast<size_t>(file * 37 % 900), 'x'), newer);
        }
    }
    auto prepareDestination = [&] {
        fs::remove_all(fs::path(dst8));
        for (int file = 0; file < 20; ++file) {
            WriteNamedFile(dst8 + "/folder 1/d\xC3\xA9j\xC3\xA0 " + std::to_string(file) + ".txt", "old", older);
            WriteNamedFile(dst8 + "/gone/only here " + std::to_string(file) + ".txt", "gone", older);
        }
    };

    prepareDestination();
    StartCapture();
    ResetCopyProgress();
    int sinkCode = RunWith({L"kestrome", src, dst, L"d"});
    std::wstring sinkText = CapturedText();
    ClearOutputSink();

    prepareDestination();
    ResetCopyProgress();
    Redirect out;
    ASSERT_TRUE(BeginRedirect(out, false));
    int fileCode = RunWith({L"kestrome", src, dst, L"d"});
    std::string bytes = EndRedirect(out);

    EXPECT_EQ(sinkCode, 0) << Narrow(sinkText);
    EXPECT_EQ(fileCode, sinkCode);
    std::string expected;
    AppendUtf8(expected, sinkText.data(), sinkText.size());
    EXPECT_GT(expected.size(), 2 * kConsoleBlockBytes);
    EXPECT_NE(sinkText.find(L"move deleted file "), std::wstring::npos);
    EXPECT_NE(sinkText.find(L"backup file "), std::wstring::npos);
    EXPECT_TRUE(bytes == expected) << bytes.size() << " bytes in the file, " << expected.size() << " sent to the sink";
}
#endif

}  // namespace
