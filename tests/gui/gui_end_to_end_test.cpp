// Drives the real Kestrome.exe under Wine and Xvfb from another process: the window's layout, the
// checks on Start, real runs and their log, the About box, and closing during a run.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "kestrome_version.h"
#include "tests/gui/driver_support.h"

namespace {

constexpr DWORD kBoxTimeoutMs = 20000;
constexpr DWORD kSmallRunTimeoutMs = 60000;
constexpr DWORD kBigRunTimeoutMs = 600000;
constexpr int kManyFiles = 20000;

const wchar_t kDone[] = L"Done";
const wchar_t kFinished[] = L"Synchronization finished.";
const wchar_t kBanner[] = L"Kestrovane, Copyright (C) 2026 The Kestrome developers";

struct ExpectedControl {
    int id;
    const wchar_t* className;
    const wchar_t* text;
    DWORD style;
    int x, y, width, height;
};

const ExpectedControl kControls[] = {
    {0, L"Static", L"Source:", 0x50000000, 10, 10, 50, 20},
    {1001, L"Edit", L"", 0x50800080, 70, 10, 460, 22},
    {1002, L"Button", L"Browse...", 0x50000000, 540, 10, 90, 22},
    {0, L"Static", L"Dest:", 0x50000000, 10, 40, 50, 20},
    {1003, L"Edit", L"", 0x50800080, 70, 40, 460, 22},
    {1004, L"Button", L"Browse...", 0x50000000, 540, 40, 90, 22},
    {0, L"Static", L"Date (optional):", 0x50000000, 10, 70, 100, 20},
    {1005, L"Edit", L"", 0x50800080, 120, 70, 200, 22},
    {1006, L"Button", L"Move deleted files to Deleted folder", 0x50000003, 340, 70, 260, 22},
    {1007, L"Button", L"Start", 0x50000000, 10, 100, 80, 28},
    {1008, L"Edit", L"", 0x50A00844, 10, 140, 640, 210},
};

class KestromeWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(StartKestrome(app)) << "Kestrome.exe did not show its window: " << Narrow(KestromePath);
        window = app.window;
    }
    void TearDown() override {
        if (!app.process.hProcess) return;
        // An idle window closes without asking, and the program ends with 0.
        PostMessageW(window, WM_CLOSE, 0, 0);
        DWORD exitCode = 0;
        if (WaitForExit(app, 30000, &exitCode)) {
            EXPECT_EQ(exitCode, 0u);
        } else {
            ADD_FAILURE() << "Kestrome.exe did not end after WM_CLOSE";
            KillKestrome(app);
        }
    }

    HWND Control(int id) { return GetDlgItem(window, id); }
    void Fill(const std::wstring& source, const std::wstring& destination, const std::wstring& date, bool deleted) {
        ASSERT_TRUE(SetText(Control(1001), source));
        ASSERT_TRUE(SetText(Control(1003), destination));
        ASSERT_TRUE(SetText(Control(1005), date));
        SendMessageW(Control(1006), BM_SETCHECK, deleted ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    void PressStart() {
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(1007, BN_CLICKED), reinterpret_cast<LPARAM>(Control(1007)));
    }
    std::wstring Pane() { return WindowText(Control(1008)); }
    // Presses Start and waits for the "Done" box; returns the pane's text at that moment.
    std::wstring RunToDone(DWORD timeoutMs) {
        PressStart();
        HWND box = WaitForBox(window, kDone, timeoutMs);
        if (!box) {
            ADD_FAILURE() << "no \"Done\" box";
            return L"";
        }
        EXPECT_EQ(BoxText(box), kFinished);
        EXPECT_FALSE(BoxHasIcon(box));
        std::wstring pane = Pane();
        EXPECT_TRUE(PressBoxButton(box, IDOK));
        return pane;
    }
    // Expects the box with this caption and text and an error icon, and presses OK.
    void ExpectErrorBox(const wchar_t* caption, const wchar_t* text) {
        HWND box = WaitForBox(window, caption, kBoxTimeoutMs);
        ASSERT_NE(box, nullptr) << "no \"" << Narrow(caption) << "\" box";
        EXPECT_EQ(BoxText(box), text);
        EXPECT_TRUE(BoxHasIcon(box));
        EXPECT_TRUE(PressBoxButton(box, IDOK));
    }

    Kestrome app;
    HWND window = nullptr;
};

TEST_F(KestromeWindow, HasItsClassTitleStyleAndSize) {
    EXPECT_EQ(ClassOf(window), L"KestromeWndClass");
    EXPECT_EQ(WindowText(window), L"Kestrome - GUI");
    LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX),
              WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX);
    EXPECT_EQ(style & WS_MAXIMIZEBOX, 0);
    EXPECT_EQ(GetWindowLongW(window, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);
    RECT outer;
    GetWindowRect(window, &outer);
    EXPECT_EQ(outer.right - outer.left, 680);
    EXPECT_EQ(outer.bottom - outer.top, 420);
}

TEST_F(KestromeWindow, HasEachControlWithItsClassIdTextStyleAndPlace) {
    std::vector<HWND> children;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    ASSERT_EQ(children.size(), std::size(kControls));
    for (size_t i = 0; i < children.size(); ++i) {
        const ExpectedControl& expected = kControls[i];
        HWND child = children[i];
        SCOPED_TRACE(testing::Message() << "control " << i << " (" << Narrow(expected.text) << ", id " << expected.id << ")");
        EXPECT_EQ(_wcsicmp(ClassOf(child).c_str(), expected.className), 0) << Narrow(ClassOf(child));
        EXPECT_EQ(GetDlgCtrlID(child), expected.id);
        EXPECT_EQ(WindowText(child), expected.text);
        DWORD style = static_cast<DWORD>(GetWindowLongW(child, GWL_STYLE));
        // The edit control takes WS_BORDER off its window style and draws the border itself.
        DWORD expectedStyle = expected.style;
        if (_wcsicmp(expected.className, L"Edit") == 0 && (style & WS_BORDER) == 0) expectedStyle &= ~WS_BORDER;
        EXPECT_EQ(style, expectedStyle) << std::hex << style;
        EXPECT_EQ(GetWindowLongW(child, GWL_EXSTYLE), 0);
        RECT rect;
        GetWindowRect(child, &rect);
        MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&rect), 2);
        EXPECT_EQ(rect.left, expected.x);
        EXPECT_EQ(rect.top, expected.y);
        EXPECT_EQ(rect.right - rect.left, expected.width);
        EXPECT_EQ(rect.bottom - rect.top, expected.height);
    }
    EXPECT_EQ(SendMessageW(Control(1006), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_TRUE(IsWindowEnabled(Control(1007)));
    // The log view takes far more than the edit control's default of about 32,000 characters.
    EXPECT_GE(static_cast<DWORD>(SendMessageW(Control(1008), EM_GETLIMITTEXT, 0, 0)), 0x7FFFFFFEu);
}



// Two folders with a few files: src\a.txt, src\sub\b.txt, and dst\gone.txt that the source lacks.
struct SmallTree {
    std::wstring source, destination;
};
SmallTree MakeSmallTree(const std::wstring& tag) {
    std::wstring root = MakeTempFolder(tag);
    SmallTree tree = {root + L"\\src", root + L"\\dst"};
    WriteFileBytes(tree.source + L"\\a.txt", "alpha");
    WriteFileBytes(tree.source + L"\\sub\\b.txt", "beta");
    WriteFileBytes(tree.destination + L"\\gone.txt", "gone");
    return tree;
}

bool HasLine(const std::vector<std::wstring>& lines, const std::wstring& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

size_t CountLinesStartingWith(const std::vector<std::wstring>& lines, const std::wstring& prefix) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::wstring& line) {
        return line.rfind(prefix, 0) == 0;
    }));
}

// The source of the big runs, made once: kManyFiles small files in 20 folders.
const std::wstring& ManyFilesSource() {
    static std::wstring source;
    if (source.empty()) {
        source = MakeTempFolder(L"many") + L"\\src";
        CreateDirectoryW(source.c_str(), nullptr);
        for (int d = 0; d < 20; ++d) CreateDirectoryW((source + L"\\d" + std::to_wstring(d)).c_str(), nullptr);
        for (int i = 0; i < kManyFiles; ++i) {
            WriteFileBytes(source + L"\\d" + std::to_wstring(i % 20) + L"\\f" + std::to_wstring(i) + L".txt",
                           "file " + std::to_string(i), false);
        }
    }
    return source;
}

TEST_F(KestromeWindow, StartWithAnEmptyFolderFieldShowsTheErrorBoxAndKeepsTheLog) {
    SmallTree tree = MakeSmallTree(L"empty-field");
    Fill(tree.source, tree.destination, L"", false);
    std::wstring log = RunToDone(kSmallRunTimeoutMs);
    ASSERT_NE(log.find(L"copy file"), std::wstring::npos);

    Fill(tree.source, L"", L"", false);
    PressStart();
    ExpectErrorBox(L"Error", L"Please specify source and destination folders.");
    EXPECT_EQ(Pane(), log);
    Fill(L"", tree.destination, L"", false);
    PressStart();
    ExpectErrorBox(L"Error", L"Please specify source and destination folders.");
    EXPECT_EQ(Pane(), log);
    EXPECT_EQ(FindBox(window, kDone), nullptr);
}

TEST_F(KestromeWindow, AnInvalidDateIsRefusedAndTheFocusGoesBackToTheDateField) {
    const wchar_t kInvalid[] = L"Invalid date format. Use d.m.Y or Y.m.d or Y-m-d or m/d/Y.";
    SmallTree tree = MakeSmallTree(L"invalid-date");
    HWND dateField = Control(1005);
    for (bool deleted : {false, true}) {
        SCOPED_TRACE(deleted ? "check box on" : "check box off");
        Fill(tree.source, tree.destination, L"31.31.2020", deleted);
        PressStart();
        ExpectErrorBox(L"Invalid date", kInvalid);
        EXPECT_TRUE(WaitUntil([&] { return FocusOfThreadOf(window) == dateField; }, 5000))
            << "focus on " << FocusOfThreadOf(window);
        // Leaving the field for the box must not stack a second complaint on the first.
        Sleep(1000);
        EXPECT_EQ(FindBox(window, L"Invalid date"), nullptr);
        EXPECT_EQ(FindBox(window, kDone), nullptr) << "a run started";
        EXPECT_EQ(Pane(), L"");
        EXPECT_EQ(WindowText(dateField), L"31.31.2020");
    }

    // Leaving the date field: an invalid text is pointed out, an empty one is not.
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(1005, EN_KILLFOCUS), reinterpret_cast<LPARAM>(dateField));
    ExpectErrorBox(L"Invalid date", kInvalid);
    EXPECT_TRUE(WaitUntil([&] { return FocusOfThreadOf(window) == dateField; }, 5000));
    ASSERT_TRUE(SetText(dateField, L""));
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(1005, EN_KILLFOCUS), reinterpret_cast<LPARAM>(dateField));
    Sleep(1000);
    EXPECT_EQ(FindBox(window, L"Invalid date"), nullptr);
}

TEST_F(KestromeWindow, AValidRunFillsTheLogWithTheEngineLinesAndEndsWithDone) {
    SmallTree tree = MakeSmallTree(L"valid-run");
    Fill(tree.source, tree.destination, L"", false);
    std::vector<std::wstring> lines = SplitLines(RunToDone(kSmallRunTimeoutMs));
    ASSERT_GE(lines.size(), 12u);
    EXPECT_EQ(lines[0], kBanner);
    EXPECT_EQ(lines[1], L"");
    EXPECT_TRUE(HasLine(lines, L"Copy and Move files"));
    EXPECT_TRUE(HasLine(lines, L"Read " + tree.destination));
    EXPECT_TRUE(HasLine(lines, L"Read " + tree.source));
    EXPECT_TRUE(HasLine(lines, L"copy file " + tree.source + L"\\a.txt"));
    EXPECT_TRUE(HasLine(lines, L"copy file " + tree.source + L"\\sub\\b.txt"));
    EXPECT_FALSE(HasLine(lines, L"Checking for deleted files"));
    const std::vector<std::wstring> closing = {
        L"All files are successfully synchronized.",
        L"",
        L"Please look the <Backup> folder for replaced files",
        L"and the <Deleted> folder for deleted files.",
        L"Please remove these folders if you don't need old files.",
        L"",
    };
    EXPECT_EQ(std::vector<std::wstring>(lines.end() - closing.size(), lines.end()), closing);
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(tree.destination + L"\\a.txt", &bytes));
    EXPECT_EQ(bytes, "alpha");
    EXPECT_TRUE(ReadFileBytes(tree.destination + L"\\sub\\b.txt", &bytes));
    EXPECT_EQ(bytes, "beta");
    EXPECT_TRUE(ReadFileBytes(tree.destination + L"\\gone.txt", &bytes)) << "moved without d";
    EXPECT_TRUE(IsWindowEnabled(Control(1007)));
    // A folder that does not exist still ends with the "Done" box, after the engine's message.
    Fill(tree.source + L"\\missing", tree.destination, L"", false);
    lines = SplitLines(RunToDone(kSmallRunTimeoutMs));
    EXPECT_TRUE(HasLine(lines, tree.source + L"\\missing not exist"));
}

TEST_F(KestromeWindow, TheCheckedBoxPassesDAndDropsTheDateTheClearBoxPassesTheDate) {
    SmallTree tree = MakeSmallTree(L"box-and-date");
    Fill(tree.source, tree.destination, L"2020-01-01", true);
    std::vector<std::wstring> lines = SplitLines(RunToDone(kSmallRunTimeoutMs));
    EXPECT_TRUE(HasLine(lines, L"Copy and Move files"));
    EXPECT_EQ(CountLinesStartingWith(lines, L"Copy and Move files newer"), 0u);
    EXPECT_TRUE(HasLine(lines, L"Checking for deleted files"));
    EXPECT_TRUE(HasLine(lines, L"move deleted file " + tree.destination + L"\\gone.txt"));
    std::string bytes;
    EXPECT_TRUE(ReadFileBytes(tree.destination + L"\\Deleted\\gone.txt", &bytes));

    WriteFileBytes(tree.source + L"\\c.txt", "gamma");
    Fill(tree.source, tree.destination, L"2020-01-01", false);
    lines = SplitLines(RunToDone(kSmallRunTimeoutMs));
    EXPECT_TRUE(HasLine(lines, L"Copy and Move files newer 2020-01-01"));
    EXPECT_FALSE(HasLine(lines, L"Checking for deleted files"));
    EXPECT_TRUE(HasLine(lines, L"copy file " + tree.source + L"\\c.txt"));
}

TEST_F(KestromeWindow, ARunOverTwentyThousandFilesShowsEveryCopyLine) {
    const std::wstring& source = ManyFilesSource();
    std::wstring destination = MakeTempFolder(L"many-dst");
    Fill(source, destination, L"", false);
    PressStart();
    ASSERT_TRUE(WaitUntil([&] { return !IsWindowEnabled(Control(1007)); }, 10000)) << "Start stays enabled";
    // A second Start during the run does nothing: no second run, no cleared log.
    PressStart();
    HWND box = WaitForBox(window, kDone, kBigRunTimeoutMs);
    ASSERT_NE(box, nullptr) << "no \"Done\" box";
    std::vector<std::wstring> lines = SplitLines(Pane());
    EXPECT_TRUE(PressBoxButton(box, IDOK));

    std::set<std::wstring> copied;
    for (const std::wstring& line : lines) {
        if (line.rfind(L"copy file ", 0) == 0) copied.insert(line);
    }
    EXPECT_EQ(CountLinesStartingWith(lines, L"copy file "), static_cast<size_t>(kManyFiles));
    EXPECT_EQ(copied.size(), static_cast<size_t>(kManyFiles));
    for (int i = 0; i < kManyFiles; i += 997) {
        std::wstring line = L"copy file " + source + L"\\d" + std::to_wstring(i % 20) + L"\\f" + std::to_wstring(i) + L".txt";
        EXPECT_EQ(copied.count(line), 1u) << Narrow(line);
    }
    EXPECT_EQ(CountLinesStartingWith(lines, kBanner), 1u);
    EXPECT_TRUE(HasLine(lines, L"All files are successfully synchronized."));
    EXPECT_EQ(CountLinesStartingWith(lines, L"read "), 0u) << "an entry counter stayed in the log";
    Sleep(1000);
    EXPECT_EQ(FindBox(window, kDone), nullptr) << "a second run";
    EXPECT_TRUE(IsWindowEnabled(Control(1007)));
    EXPECT_EQ(ListFiles(destination).size(), static_cast<size_t>(kManyFiles));
}

TEST_F(KestromeWindow, TheSystemMenuOpensTheAboutBoxWhichClosesWithOkEscapeEnterAndItsCloseBox) {
    const std::wstring kAboutText = L"Kestrovane\r\nVersion " KESTROME_VERSION_WTEXT
                                    L"\r\nkestrome.example\r\nCopyright (C) 2026 The Kestrome developers\r\n";
    // Through the keyboard, as a person would: Alt+Space opens the system menu, End selects its
    // last item, Enter chooses it.
    PostMessageW(window, WM_SYSCOMMAND, SC_KEYMENU, L' ');
    ASSERT_TRUE(WaitUntil([] { return FindWindowW(L"#32768", nullptr) && IsWindowVisible(FindWindowW(L"#32768", nullptr)); }, 10000))
        << "the system menu did not open";
    PostMessageW(window, WM_KEYDOWN, VK_END, 0);
    PostMessageW(window, WM_KEYDOWN, VK_RETURN, 0);

    struct Closing {
        const char* how;
        void (*close)(HWND about);
    };
    const Closing closings[] = {
        {"OK button", [](HWND about) { PostMessageW(GetDlgItem(about, 2002), BM_CLICK, 0, 0); }},
        {"Escape", [](HWND about) { PostMessageW(GetDlgItem(about, 2002), WM_KEYDOWN, VK_ESCAPE, 0); }},
        {"Enter", [](HWND about) { PostMessageW(GetDlgItem(about, 2002), WM_KEYDOWN, VK_RETURN, 0); }},
        {"close box", [](HWND about) { PostMessageW(about, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const Closing& closing : closings) {
        SCOPED_TRACE(closing.how);
        HWND about = WaitForBox(window, L"About Kestrome", kBoxTimeoutMs);
        ASSERT_NE(about, nullptr) << "no About box";
        EXPECT_EQ(WindowText(GetDlgItem(about, 2001)), kAboutText);
        EXPECT_EQ(WindowText(GetDlgItem(about, 2002)), L"OK");
        EXPECT_FALSE(IsWindowEnabled(window)) << "the About box is not modal";
        EXPECT_TRUE(WaitUntil([&] { return FocusOfThreadOf(window) == GetDlgItem(about, 2002); }, 5000));
        closing.close(about);
        EXPECT_TRUE(WaitUntil([&] { return !IsWindow(about); }, kBoxTimeoutMs)) << "the About box stays";
        EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(window) != FALSE; }, 5000));
        PostMessageW(window, WM_SYSCOMMAND, 9001, 0);
    }
    HWND about = WaitForBox(window, L"About Kestrome", kBoxTimeoutMs);
    ASSERT_NE(about, nullptr);
    PostMessageW(about, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(about); }, kBoxTimeoutMs));
}

TEST_F(KestromeWindow, ClosingDuringARunAsksNoGoesOnAndYesStopsTheRunCleanly) {
    const wchar_t kQuestion[] = L"A synchronization is running. Stop it and close the window?";
    const std::wstring& source = ManyFilesSource();
    std::wstring destination = MakeTempFolder(L"close-dst");
    Fill(source, destination, L"", false);
    PressStart();
    ASSERT_TRUE(WaitUntil([&] { return Pane().find(L"copy file ") != std::wstring::npos; }, 60000));

    PostMessageW(window, WM_CLOSE, 0, 0);
    HWND box = WaitForBox(window, L"Kestrome", kBoxTimeoutMs);
    ASSERT_NE(box, nullptr) << "closing during a run did not ask";
    EXPECT_EQ(BoxText(box), kQuestion);
    EXPECT_NE(GetDlgItem(box, IDYES), nullptr);
    EXPECT_NE(GetDlgItem(box, IDNO), nullptr);
    ASSERT_TRUE(PressBoxButton(box, IDNO));
    Sleep(500);
    ASSERT_TRUE(IsWindow(window)) << "No closed the window";
    EXPECT_FALSE(IsWindowEnabled(Control(1007))) << "No ended the run";

    PostMessageW(window, WM_CLOSE, 0, 0);
    box = WaitForBox(window, L"Kestrome", kBoxTimeoutMs);
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(PressBoxButton(box, IDYES));
    DWORD exitCode = 99;
    bool doneBox = false;
    bool ended = WaitUntil([&] {
        doneBox = doneBox || FindBox(window, kDone) != nullptr;
        return WaitForSingleObject(app.process.hProcess, 0) == WAIT_OBJECT_0;
    }, 120000);
    ASSERT_TRUE(ended) << "the window did not close after Yes";
    ASSERT_TRUE(WaitForExit(app, 1000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(doneBox);

    // Stopped, not finished; and every file that stands in the destination is whole.
    std::vector<std::wstring> copied = ListFiles(destination);
    EXPECT_LT(copied.size(), static_cast<size_t>(kManyFiles)) << "the run was not stopped";
    for (const std::wstring& file : copied) {
        std::string got, expected;
        ASSERT_TRUE(ReadFileBytes(source + L"\\" + file, &expected)) << Narrow(file);
        ASSERT_TRUE(ReadFileBytes(destination + L"\\" + file, &got)) << Narrow(file);
        EXPECT_EQ(got, expected) << Narrow(file);
    }
}

// How far the pane is behind the work: files that stand in the destination against "copy file"
// lines in the pane (each line is written before its copy starts, so a pane that keeps up shows
// at least as many lines as there are files).
struct PaneLag {
    size_t worstFiles = 0;
    double worstMs = 0;
    int samples = 0;
};
void SamplePaneLag(HWND pane, const std::wstring& destination, ULONGLONG runStart, PaneLag& lag) {
    size_t files = ListFiles(destination).size();
    std::wstring text = WindowText(pane);
    size_t lines = 0;
    for (size_t at = text.find(L"copy file "); at != std::wstring::npos; at = text.find(L"copy file ", at + 1)) ++lines;
    ULONGLONG elapsed = Now() - runStart;
    ++lag.samples;
    if (files <= lines || elapsed == 0) return;
    size_t behind = files - lines;
    // In time: the files behind at the run's rate so far.
    double ms = static_cast<double>(behind) * static_cast<double>(elapsed) / static_cast<double>(files);
    lag.worstFiles = std::max(lag.worstFiles, behind);
    lag.worstMs = std::max(lag.worstMs, ms);
}

// Milliseconds from queuing the input to the answer seen; timeoutMs when none came.
template <typename Answered>
ULONGLONG AnswerTime(Answered answered, DWORD timeoutMs) {
    ULONGLONG start = Now();
    ULONGLONG end = start + timeoutMs;
    while (!answered()) {
        if (Now() > end) return timeoutMs;
        Sleep(5);
    }
    return Now() - start;
}

// The measurement of the window's answers while the engine writes as fast as it copies: real
// clicks and keys, the close box, the pane's lag, and the end after Yes. The figures go to the
// output; the bounds are far above what the window takes, so that only a window that does not
// answer at all fails.
TEST_F(KestromeWindow, DuringABusyRunClicksKeysAndTheCloseBoxAreAnsweredAndThePaneKeepsUp) {
    constexpr DWORD kAnswerBoundMs = 5000;
    constexpr DWORD kNoAnswerMs = 60000;
    const std::wstring& source = ManyFilesSource();
    std::wstring destination = MakeTempFolder(L"busy-dst");
    Fill(source, destination, L"", false);
    ULONGLONG runStart = Now();
    PressStart();
    ASSERT_TRUE(WaitUntil([&] { return ListFiles(destination).size() >= 50; }, 60000)) << "the run did not start";
    SetForegroundWindow(window);
    HWND box1006 = Control(1006), sourceField = Control(1001), pane = Control(1008);
    POINT closeBox = {};
    bool hasCloseBox = FindCloseBox(window, &closeBox);
    PaneLag lag;
    std::vector<ULONGLONG> clicks, keys, closes;
    for (int round = 0; round < 3 && !IsWindowEnabled(Control(1007)); ++round) {
        for (int i = 0; i < 5; ++i) {
            SamplePaneLag(pane, destination, runStart, lag);
            Sleep(50);
        }
        // A click on the check box turns it over.
        LRESULT checked = SendMessageW(box1006, BM_GETCHECK, 0, 0);
        ClickAt(CenterOf(box1006));
        clicks.push_back(AnswerTime([&] { return SendMessageW(box1006, BM_GETCHECK, 0, 0) != checked; }, kNoAnswerMs));
        // A key typed into the source field, which the click before it gave the focus.
        ClickAt(CenterOf(sourceField));
        WaitUntil([&] { return FocusOfThreadOf(window) == sourceField; }, kNoAnswerMs);
        size_t length = WindowText(sourceField).size();
        PressKeys({'X'});
        keys.push_back(AnswerTime([&] { return WindowText(sourceField).size() != length; }, kNoAnswerMs));
        // The close box (Alt+F4 where the window has no caption of its own): the question comes,
        // No goes on with the run.
        if (hasCloseBox) {
            ClickAt(closeBox);
        } else {
            PressKeys({VK_MENU, VK_F4});
        }
        HWND question = nullptr;
        closes.push_back(AnswerTime([&] { return (question = FindBox(window, L"Kestrome")) != nullptr; }, kNoAnswerMs));
        printf("round %d: click %llu ms, key %llu ms, close %llu ms\n", round,
               static_cast<unsigned long long>(clicks.back()), static_cast<unsigned long long>(keys.back()),
               static_cast<unsigned long long>(closes.back()));
        if (!question) {
            ADD_FAILURE() << "closing during the run did not ask";
            break;
        }
        ASSERT_TRUE(PressBoxButton(question, IDNO));
        SamplePaneLag(pane, destination, runStart, lag);
    }
    auto list = [](const std::vector<ULONGLONG>& times) {
        std::string text;
        for (ULONGLONG t : times) {
            if (!text.empty()) text += ' ';
            text += std::to_string(t);
        }
        return text;
    };
    printf("answer times in ms: click %s; key %s; close %s (%s)\n", list(clicks).c_str(), list(keys).c_str(),
           list(closes).c_str(), hasCloseBox ? "close box" : "Alt+F4");
    printf("pane lag: worst %zu files behind, about %.0f ms of work, over %d samples\n", lag.worstFiles, lag.worstMs,
           lag.samples);
    ASSERT_FALSE(IsWindowEnabled(Control(1007))) << "the run ended before the measurement did";
    ASSERT_EQ(closes.size(), 3u);

    // Yes: the run stops between two files and the window goes.
    PostMessageW(window, WM_CLOSE, 0, 0);
    HWND question = WaitForBox(window, L"Kestrome", kBoxTimeoutMs);
    ASSERT_NE(question, nullptr);
    ULONGLONG yes = Now();
    PostMessageW(question, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(question, IDYES)));
    WaitUntil([&] { return !IsWindow(window); }, kNoAnswerMs);
    ULONGLONG destroyed = Now() - yes;
    bool ended = WaitForSingleObject(app.process.hProcess, kNoAnswerMs) == WAIT_OBJECT_0;
    ULONGLONG gone = Now() - yes;
    printf("window destroyed %llu ms after Yes\n", static_cast<unsigned long long>(destroyed));
    DWORD exitCode = 99;
    ASSERT_TRUE(ended) << "the window did not go after Yes";
    ASSERT_TRUE(WaitForExit(app, 1000, &exitCode));
    EXPECT_EQ(exitCode, 0u);

    auto worst = [](const std::vector<ULONGLONG>& times) { return *std::max_element(times.begin(), times.end()); };
    printf("process ended %llu ms after Yes\n", static_cast<unsigned long long>(gone));
    EXPECT_LT(worst(clicks), kAnswerBoundMs);
    EXPECT_LT(worst(keys), kAnswerBoundMs);
    EXPECT_LT(worst(closes), kAnswerBoundMs);
    EXPECT_LT(lag.worstMs, 5000.0);
    EXPECT_LT(gone, 10000u);

    std::vector<std::wstring> copied = ListFiles(destination);
    EXPECT_LT(copied.size(), static_cast<size_t>(kManyFiles)) << "the run was not stopped";
    for (const std::wstring& file : copied) {
        std::string got, expected;
        ASSERT_TRUE(ReadFileBytes(source + L"\\" + file, &expected)) << Narrow(file);
        ASSERT_TRUE(ReadFileBytes(destination + L"\\" + file, &got)) << Narrow(file);
        EXPECT_EQ(got, expected) << Narrow(file);
    }
}

TEST_F(KestromeWindow, BrowseFillsItsFieldWithTheChosenFolderAndCancelLeavesTheFieldAlone) {
    const struct {
        int button, field, other;
    } pairs[] = {{1002, 1001, 1003}, {1004, 1003, 1001}};
    for (const auto& pair : pairs) {
        SCOPED_TRACE(pair.button);
        ASSERT_TRUE(SetText(Control(pair.field), L"typed by hand"));
        ASSERT_TRUE(SetText(Control(pair.other), L"other field"));
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(pair.button, BN_CLICKED), reinterpret_cast<LPARAM>(Control(pair.button)));
        HWND picker = WaitForBox(window, L"", kBoxTimeoutMs);
        ASSERT_NE(picker, nullptr) << "no folder picker";
        ASSERT_TRUE(PressBoxButton(picker, IDCANCEL));
        Sleep(300);
        EXPECT_EQ(WindowText(Control(pair.field)), L"typed by hand");

        // The picker opens on the desktop; OK chooses that folder, and its path replaces the text.
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(pair.button, BN_CLICKED), reinterpret_cast<LPARAM>(Control(pair.button)));
        picker = WaitForBox(window, L"", kBoxTimeoutMs);
        ASSERT_NE(picker, nullptr) << "no folder picker";
        ASSERT_TRUE(PressBoxButton(picker, IDOK));
        std::wstring chosen;
        EXPECT_TRUE(WaitUntil([&] { return (chosen = WindowText(Control(pair.field))) != L"typed by hand"; }, 5000));
        DWORD attributes = GetFileAttributesW(chosen.c_str());
        EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) << Narrow(chosen);
        EXPECT_EQ(WindowText(Control(pair.other)), L"other field");
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        fprintf(stderr, "usage: %s KESTROME.EXE [gtest options]\n", argv[0]);
        return 2;
    }
    // A path from the Unix side (CTest gives one) names the same file through Wine's drive Z:.
    std::string path = argv[1];
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    std::replace(path.begin(), path.end(), '/', '\\');
    KestromePath.assign(path.begin(), path.end());
    // The X server of the tests runs no window manager. Wine leaves the windows it lets a window
    // manager handle without a caption of its own (a click on the close box would land beside the
    // window) and waits 2 s for the manager each time such a window is hidden (a message box
    // going, the main window closing). Told so in its registry, Wine handles the windows itself,
    // as Windows does: this is Wine's own key, in the tests' own prefix; Windows has no such key.
    HKEY x11;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\X11 Driver", 0, nullptr, 0, KEY_SET_VALUE, nullptr, &x11,
                        nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(x11, L"Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"N"), 2 * sizeof(wchar_t));
        RegCloseKey(x11);
    }
    int result = RUN_ALL_TESTS();
    RemoveTempFolders();
    return result;
}
