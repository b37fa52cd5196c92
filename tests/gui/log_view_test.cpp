// The log view inside the process, on the real main window and its edit control (Wine, under
// Xvfb): the line rule against the hand-written table, a log of 100,000 lines, the posts that
// are refused and retried, and the "About..." item of the system menu.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "engine/run_state.h"
#include "gui/log_model.h"
#include "gui/log_view.h"
#include "gui/main_window.h"
#include "output/message.h"
#include "tests/gui_log_cases.h"

namespace {

std::string Narrow(const std::wstring& text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes, nullptr, nullptr);
    return out;
}

std::wstring TextOf(HWND window) {
    std::wstring text(GetWindowTextLengthW(window) + 1, L'\0');
    text.resize(GetWindowTextW(window, text.data(), static_cast<int>(text.size())));
    return text;
}

// Dispatches what is queued for this thread until done() or timeoutMs.
template <typename Done>
bool PumpUntil(Done done, DWORD timeoutMs) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() > end) return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(1);
    }
    return true;
}

// The real main window of the program, created (not shown) in this process.
class MainWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterMainWindowClass(GetModuleHandleW(nullptr)); }
    void SetUp() override {
        window = CreateMainWindow(GetModuleHandleW(nullptr));
        ASSERT_NE(window, nullptr);
        MainWindow = window;
        pane = GetDlgItem(window, kLogViewId);
        ASSERT_NE(pane, nullptr);
    }
    void TearDown() override {
        PostToWindow = PostMessageW;
        ClearOutputSink();
        if (IsWindow(window)) DestroyWindow(window);
        // WM_DESTROY posted the quit message meant for the program's loop; take it out again.
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    HWND window = nullptr;
    HWND pane = nullptr;
};

TEST_F(MainWindowTest, ThePaneHoldsWhatTheTableSaysAndWhatTheModelHolds) {
    for (const LogCase& c : LogCases()) {
        SetWindowTextW(pane, L"");
        LogPaneModel model;
        for (const std::wstring& text : c.texts) {
            AppendLogText(pane, text.c_str());
            AppendLogTextToModel(model, text.c_str());
        }
        EXPECT_EQ(Narrow(TextOf(pane)), Narrow(c.pane)) << c.name;
        EXPECT_EQ(Narrow(TextOf(pane)), Narrow(model.text)) << c.name;
        EXPECT_EQ(static_cast<size_t>(SendMessageW(pane, EM_GETLINECOUNT, 0, 0)), ModelLineCount(model)) << c.name;

        // All texts of the case in one batch, as the window adds queued texts: the same pane.
        SetWindowTextW(pane, L"");
        LogBatch batch = {pane, std::wstring()};
        for (const std::wstring& text : c.texts) AppendLogTextToBatch(batch, text.c_str());
        FlushLogBatch(batch);
        EXPECT_EQ(Narrow(TextOf(pane)), Narrow(c.pane)) << c.name << " (one batch)";
    }
}

TEST_F(MainWindowTest, ACarriageReturnReplacesOnlyTheLastRowOfAWrappedLine) {
    std::wstring longLine(400, L'x');
    AppendLogText(pane, L"first\n");
    AppendLogText(pane, longLine.c_str());
    LRESULT rows = SendMessageW(pane, EM_GETLINECOUNT, 0, 0);
    ASSERT_GT(rows, 3) << "the line must wrap for this test to mean anything";
    AppendLogText(pane, L"\rabc");
    std::wstring text = TextOf(pane);
    EXPECT_EQ(SendMessageW(pane, EM_GETLINECOUNT, 0, 0), rows);
    EXPECT_EQ(text.rfind(L"first\r\nxxx", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 4), L"xabc");
    EXPECT_LT(text.size(), 7 + longLine.size());
}

// What the window was sent and posted while texts came: posts through the queue's hook, and for
// each text the pane received, how long after it was written (the texts carry their own tick).
std::atomic<int> g_posts{0};
BOOL WINAPI CountingPosts(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    ++g_posts;
    return PostMessageW(window, message, wParam, lParam);
}
struct LagLog {
    WNDPROC paneProc;
    ULONGLONG worstMs;
    int inserts;
};
LagLog g_lag;
LRESULT CALLBACK RecordLag(HWND pane, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == EM_REPLACESEL) {
        ++g_lag.inserts;
        // The first text of an insertion is its oldest: "line N at TICK".
        const wchar_t* text = reinterpret_cast<const wchar_t*>(lParam);
        const wchar_t* at = wcsstr(text, L" at ");
        if (at) {
            DWORD written = static_cast<DWORD>(wcstoul(at + 4, nullptr, 10));
            g_lag.worstMs = std::max<ULONGLONG>(g_lag.worstMs, GetTickCount() - written);
        }
    }
    return CallWindowProcW(g_lag.paneProc, pane, message, wParam, lParam);
}

constexpr int kLines = 100000;
DWORD WINAPI WriteAHundredThousandLines(LPVOID) {
    for (int i = 0; i < kLines; ++i) WriteMessage(L"line %d at %u\n", i, static_cast<unsigned>(GetTickCount()));
    return 0;
}

// Texts written through the sink at full speed on another thread, as a run writes them, while
// the window's loop runs: every one arrives, once, in order, the pane never far behind, and the
// window is posted a handful of wake-ups instead of one message per text.
TEST_F(MainWindowTest, ALogOfAHundredThousandLinesAtFullSpeedIsThereWholeInOrderAndKeptUpWith) {
    g_posts = 0;
    PostToWindow = CountingPosts;
    g_lag = LagLog{nullptr, 0, 0};
    g_lag.paneProc =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrW(pane, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordLag)));
    SetOutputSink(PostLogText);
    ULONGLONG start = GetTickCount64();
    HANDLE writer = CreateThread(nullptr, 0, WriteAHundredThousandLines, nullptr, 0, nullptr);
    ASSERT_NE(writer, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return WaitForSingleObject(writer, 0) == WAIT_OBJECT_0 && QueuedLogTexts() == 0; },
                          600000));
    ULONGLONG elapsed = GetTickCount64() - start;
    CloseHandle(writer);
    ClearOutputSink();
    SetWindowLongPtrW(pane, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_lag.paneProc));
    printf("100,000 lines in %llu ms: %d posts to the window, %d insertions into the pane, worst lag %llu ms\n",
           static_cast<unsigned long long>(elapsed), g_posts.load(), g_lag.inserts,
           static_cast<unsigned long long>(g_lag.worstMs));

    EXPECT_EQ(SendMessageW(pane, EM_GETLINECOUNT, 0, 0), kLines + 1);
    std::wstring text = TextOf(pane);
    EXPECT_GT(text.size(), 1500000u);
    int expected = 0;
    for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        std::wstring prefix = L"line " + std::to_wstring(expected) + L" at ";
        if (text.compare(start, prefix.size(), prefix) != 0) {
            ADD_FAILURE() << "line " << expected << " is " << Narrow(text.substr(start, end - start));
            break;
        }
        ++expected;
    }
    EXPECT_EQ(expected, kLines);
    // Generous bounds, far above what the window takes: only a window that goes back to one post
    // per text, or lets the writer run away from it, fails.
    EXPECT_LT(g_posts, kLines / 100);
    EXPECT_LT(g_lag.worstMs, 5000u);

    // The same texts stop near the edit control's default limit when it is not lifted: the
    // lift is what keeps the log whole.
    HWND plain = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY,
                                 0, 0, 640, 210, window, nullptr, nullptr, nullptr);
    for (int i = 0; i < 1000; ++i) AppendLogText(plain, L"copy file C:\\source\\folder 0\\file 0.txt\n");
    EXPECT_LT(GetWindowTextLengthW(plain), 32768);
}

// The window's own thread writing more than the queue holds cannot wait for itself to take
// them: it takes them on the spot, and nothing is lost.
TEST_F(MainWindowTest, TextsWrittenOnTheWindowThreadBeyondTheQueueAreTakenThereAndThen) {
    SetOutputSink(PostLogText);
    const int count = static_cast<int>(2 * kLogQueueCapacity + 5);
    for (int i = 0; i < count; ++i) WriteMessage(L"%d\n", i);
    ClearOutputSink();
    EXPECT_LE(QueuedLogTexts(), kLogQueueCapacity);
    ASSERT_TRUE(PumpUntil([&] { return QueuedLogTexts() == 0; }, 60000));
    EXPECT_EQ(SendMessageW(pane, EM_GETLINECOUNT, 0, 0), count + 1);
    std::wstring text = TextOf(pane);
    std::wstring last = L"\r\n" + std::to_wstring(count - 2) + L"\r\n" + std::to_wstring(count - 1) + L"\r\n";
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

// While a batch of texts goes into the pane, the main window keeps its visible state, which
// hit-testing needs for clicks on its caption and buttons; the pane is shown whole afterwards.
struct VisibilityLog {
    HWND main;
    WNDPROC paneProc;
    std::vector<bool> mainVisibleAtInsert;
};
VisibilityLog g_visibility;
LRESULT CALLBACK RecordVisibility(HWND pane, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == EM_REPLACESEL) {
        g_visibility.mainVisibleAtInsert.push_back((GetWindowLongW(g_visibility.main, GWL_STYLE) & WS_VISIBLE) != 0);
    }
    return CallWindowProcW(g_visibility.paneProc, pane, message, wParam, lParam);
}

TEST_F(MainWindowTest, TheMainWindowStaysVisibleWhileABatchGoesIntoThePane) {
    ShowWindow(window, SW_SHOWNA);
    g_visibility = VisibilityLog{window, nullptr, {}};
    g_visibility.paneProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(pane, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordVisibility)));
    SetOutputSink(PostLogText);
    for (int i = 0; i < 50; ++i) WriteMessage(L"copy file %d\n", i);
    WriteMessage(L"\r 50%% [|||]");
    ClearOutputSink();
    ASSERT_TRUE(PumpUntil([&] { return QueuedLogTexts() == 0; }, 60000));
    SetWindowLongPtrW(pane, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_visibility.paneProc));
    ASSERT_FALSE(g_visibility.mainVisibleAtInsert.empty());
    for (bool mainVisible : g_visibility.mainVisibleAtInsert) EXPECT_TRUE(mainVisible);
    EXPECT_TRUE(GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE);
    EXPECT_TRUE(GetWindowLongW(pane, GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(SendMessageW(pane, EM_GETLINECOUNT, 0, 0), 51);
}

// A wake-up refused as by a full queue (Wine's queues never fill) is tried again: every text
// arrives, once, in order. The end-of-run message is retried the same way.
std::atomic<int> g_refusalsLeft{0};
std::atomic<int> g_refusals{0};
BOOL WINAPI RefusingSomePosts(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (g_refusalsLeft > 0) {
        --g_refusalsLeft;
        ++g_refusals;
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    return PostMessageW(window, message, wParam, lParam);
}

DWORD WINAPI PostThreeTexts(LPVOID) {
    for (const wchar_t* text : {L"one\n", L"two\n", L"three\n"}) {
        g_refusalsLeft = 4;
        PostLogText(text);
        // A quiet spell between the texts: each one wakes the window with a post of its own.
        Sleep(300);
    }
    return 0;
}

TEST_F(MainWindowTest, RefusedPostsAreRetriedAndEveryTextArrivesOnceInOrder) {
    g_refusals = 0;
    PostToWindow = RefusingSomePosts;
    HANDLE worker = CreateThread(nullptr, 0, PostThreeTexts, nullptr, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(worker, 0) == WAIT_OBJECT_0; }, 10000));
    CloseHandle(worker);
    PumpUntil([] { return QueuedLogTexts() == 0; }, 10000);
    EXPECT_EQ(g_refusals, 12);
    EXPECT_EQ(TextOf(pane), L"one\r\ntwo\r\nthree\r\n");
}

// The end of a run shows the modal "Done" box, whose own loop holds the test's thread: another
// thread waits for the box and presses its OK.
std::atomic<bool> g_doneBoxSeen{false};
DWORD WINAPI PressOkOnTheDoneBox(LPVOID) {
    for (int i = 0; i < 2000; ++i) {
        HWND box = FindWindowW(L"#32770", L"Done");
        if (box) {
            g_doneBoxSeen = true;
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(10);
    }
    return 0;
}

TEST_F(MainWindowTest, TheEndOfARunIsRetriedUntilTheWindowTakesIt) {
    g_refusals = 0;
    g_refusalsLeft = 1000000;  // the texts of the run (its usage text) are refused too, and retried
    g_doneBoxSeen = false;
    PostToWindow = RefusingSomePosts;
    InterlockedExchange(&SyncRunning, 1);
    SetOutputSink(PostLogText);
    HANDLE worker = CreateThread(nullptr, 0, SyncThreadProc, new std::vector<std::wstring>{L"Kestrome.exe"}, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    PumpUntil([] { return g_refusals > 50; }, 10000);
    EXPECT_EQ(TextOf(pane), L"") << "a refused text arrived";
    HANDLE presser = CreateThread(nullptr, 0, PressOkOnTheDoneBox, nullptr, 0, nullptr);
    g_refusalsLeft = 0;
    EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(presser, 0) == WAIT_OBJECT_0; }, 30000));
    EXPECT_TRUE(g_doneBoxSeen) << "WM_APP_SYNC_DONE never arrived";
    EXPECT_TRUE(PumpUntil([&] { return WaitForSingleObject(worker, 0) == WAIT_OBJECT_0; }, 10000));
    CloseHandle(presser);
    CloseHandle(worker);
    EXPECT_EQ(InterlockedCompareExchange(&SyncRunning, 0, 0), 0);
    EXPECT_NE(TextOf(pane).find(L"use: Kestrome.exe sourcedir destdir arg\r\n"), std::wstring::npos);
}

TEST_F(MainWindowTest, PostsToAWindowThatIsGoneAreDroppedWithoutWaiting) {
    g_refusals = 0;
    g_refusalsLeft = 1000000;
    PostToWindow = RefusingSomePosts;
    DestroyWindow(window);
    ULONGLONG start = GetTickCount64();
    PostLogText(L"lost\n");
    EXPECT_EQ(QueuedLogTexts(), 0u);
    EXPECT_TRUE(PostWhileWindowExists(window, WM_APP_SYNC_DONE, 0, 0) == false);
    EXPECT_LT(GetTickCount64() - start, 1000u);
    EXPECT_GE(g_refusals, 1);
}

TEST_F(MainWindowTest, TheSystemMenuEndsWithASeparatorAndAboutWithItsId) {
    HMENU menu = GetSystemMenu(window, FALSE);
    ASSERT_NE(menu, nullptr);
    int count = GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    wchar_t text[64] = {};
    GetMenuStringW(menu, count - 1, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(text, L"About...");
    EXPECT_EQ(GetMenuItemID(menu, count - 1), kAboutMenuId);
    MENUITEMINFOW item = {};
    item.cbSize = sizeof item;
    item.fMask = MIIM_FTYPE;
    ASSERT_TRUE(GetMenuItemInfoW(menu, count - 2, TRUE, &item));
    EXPECT_TRUE(item.fType & MFT_SEPARATOR);
}

}  // namespace
