// The console program's own services under Windows (under Wine in the cross build): its run on a
// thread of its own, stopped by the console's control events, and its text on a redirected
// standard output.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "cli/run_thread.h"
#include "engine/fs/file_system.h"
#include "engine/run_state.h"
#include "output/message.h"
#include "tests/support/win32_files.h"
#include "tests/test_support.h"

namespace {

// Blocks the first copy of a run until released, so that a control event arrives mid-copy.
HANDLE g_copyEntered = nullptr;
HANDLE g_copyReleased = nullptr;
uint32_t CopyOnceReleased(const wchar_t* from, const wchar_t* to, CopyProgressFn progress, bool replace) {
    SetEvent(g_copyEntered);
    WaitForSingleObject(g_copyReleased, 30000);
    return PlatformFileSystem().copyFile(from, to, progress, replace);
}

class ConsoleStop : public RealFolderTest {};

// The console's control events during a copy: each asks the run to stop; closing the console,
// logoff and shutdown return only once the run has ended (its closing line written, code 3), and a
// wait that runs out returns without the run. No event leaves a partial file. No program can send
// itself a close, logoff or shutdown event (GenerateConsoleCtrlEvent takes only Ctrl+C and
// Ctrl+Break, and under Wine 8 it delivers neither: it returns FALSE), so the handling is called
// as the handler thread would call it.
TEST_F(ConsoleStop, CloseLogoffAndShutdownWaitForTheStoppedRunToEnd) {
    const std::string content(256 * 1024, 'k');
    std::wstring source = root + L"\\source", destination = root + L"\\destination";
    for (const wchar_t* name : {L"\\a.bin", L"\\b.bin", L"\\c.bin"}) WriteRealFile(source + name, content, 0);
    MakeRealFolder(destination);
    FileSystem blocking = PlatformFileSystem();
    blocking.copyFile = CopyOnceReleased;
    g_copyEntered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_copyReleased = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(g_copyEntered && g_copyReleased);

    struct Row {
        const char* what;
        DWORD event;
        DWORD waitMilliseconds;
        bool endsWithTheRun;
    } rows[] = {
        {"Ctrl+C", CTRL_C_EVENT, 20000, false},
        {"Ctrl+Break", CTRL_BREAK_EVENT, 20000, false},
        {"close", CTRL_CLOSE_EVENT, 20000, true},
        {"logoff", CTRL_LOGOFF_EVENT, 20000, true},
        {"shutdown", CTRL_SHUTDOWN_EVENT, 20000, true},
        {"close, wait runs out", CTRL_CLOSE_EVENT, 300, false},
    };
    const FileSystem* previous = SetFileSystem(&blocking);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ClearStopRequest();
        StartCapture();
        ResetEvent(g_copyEntered);
        ResetEvent(g_copyReleased);
        int32_t runCode = -1;
        std::thread run([&] {
            const wchar_t* argv[] = {L"k", source.c_str(), destination.c_str()};
            runCode = RunSyncOnLargeStack(3, argv);
        });
        ASSERT_EQ(WaitForSingleObject(g_copyEntered, 20000), WAIT_OBJECT_0);

        std::atomic<bool> handlerReturned{false};
        bool ended = false;
        int32_t handlerCode = -1;
        std::wstring textAtReturn;
        std::thread handler([&] {
            ended = StopRunForConsoleEvent(row.event, row.waitMilliseconds, &handlerCode);
            if (ended) textAtReturn = CapturedText();
            handlerReturned = true;
        });
        for (int i = 0; i < 2000 && !StopRequested(); ++i) Sleep(5);
        EXPECT_TRUE(StopRequested());
        if (row.endsWithTheRun) {
            Sleep(500);
            EXPECT_FALSE(handlerReturned) << "returned while the copy was still held";
        } else {
            handler.join();  // returns with the copy still held
        }
        SetEvent(g_copyReleased);
        if (handler.joinable()) handler.join();
        run.join();
        EXPECT_EQ(runCode, 3) << Narrow(CapturedText());
        EXPECT_EQ(ended, row.endsWithTheRun);
        if (row.endsWithTheRun) {
            EXPECT_EQ(handlerCode, 3);
            EXPECT_NE(textAtReturn.find(L"Synchronization stopped."), std::wstring::npos) << Narrow(textAtReturn);
        }
        // Windows cancels the held copy through its progress routine; Wine never calls the routine
        // and finishes it. Either way a file stands whole or not at all.
        EXPECT_EQ(LeftoverCount(destination), 0);
        for (const wchar_t* name : {L"\\a.bin", L"\\b.bin", L"\\c.bin"}) {
            std::string copied;
            if (ReadRealFile(destination + name, &copied)) {
                EXPECT_EQ(copied.size(), content.size());
            }
            DeleteFileW((destination + name).c_str());
        }
    }
    SetFileSystem(previous);
    CloseHandle(g_copyEntered);
    CloseHandle(g_copyReleased);
}


const wchar_t kChildMessage[] = L"<<line one\n\u00e9\U0001F600 two\n>>";

// When started as the child of the next tests, the program writes one message to its redirected
// standard output before GoogleTest starts. "flush": then flushes and ends with 0 when the write
// took every character. "wait": then writes nothing more and waits to be ended.
const bool g_consoleChild = [] {
    wchar_t mode[16] = L"";
    if (!GetEnvironmentVariableW(L"KESTROME_CONSOLE_CHILD", mode, 16)) return false;
    size_t length = wcslen(kChildMessage);
    bool whole = WriteConsoleText(kChildMessage, length) == static_cast<int>(length);
    if (wcscmp(mode, L"wait") == 0) Sleep(60000);
    FlushMessages();
    ExitProcess(whole ? 0 : 1);
}();

// Starts this program as the console child in mode, its standard output the file outFile.
bool StartConsoleChild(const std::wstring& outFile, const wchar_t* mode, PROCESS_INFORMATION* child) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;
    wchar_t self[MAX_PATH];
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return false;
    std::wstring command = L"\"" + std::wstring(self) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    SetEnvironmentVariableW(L"KESTROME_CONSOLE_CHILD", mode);
    BOOL started = CreateProcessW(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, child);
    SetEnvironmentVariableW(L"KESTROME_CONSOLE_CHILD", nullptr);
    CloseHandle(out);
    return started != FALSE;
}

// What the file holds now, while the child may still write to it.
std::string ReadShared(const std::wstring& path) { return ReadBytes(path, FILE_SHARE_READ | FILE_SHARE_WRITE); }

class RedirectedConsole : public RealFolderTest {};

const char kChildBytes[] = "<<line one\n\xC3\xA9\xF0\x9F\x98\x80 two\n>>";

TEST_F(RedirectedConsole, GetsTheMessageWholeAsUtf8) {
    std::wstring outFile = root + L"\\out.txt";
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(StartConsoleChild(outFile, L"flush", &child));
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(child.hProcess, &exitCode);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    EXPECT_EQ(exitCode, 0u);
    // Exactly the bytes of the message: UTF-8, no carriage returns added, in one piece.
    EXPECT_EQ(ReadBytes(outFile), kChildBytes);
}

// A file gets the console's text in blocks; a message written and then nothing more still reaches
// it within a fraction of a second, while the program goes on (waited for generously here).
TEST_F(RedirectedConsole, TextArrivesWithoutAFlush) {
    std::wstring outFile = root + L"\\out.txt";
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(StartConsoleChild(outFile, L"wait", &child));
    std::string seen;
    for (int i = 0; i < 200 && (seen = ReadShared(outFile)) != kChildBytes; ++i) Sleep(10);
    bool stillRunning = WaitForSingleObject(child.hProcess, 0) == WAIT_TIMEOUT;
    TerminateProcess(child.hProcess, 9);
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    EXPECT_TRUE(stillRunning);
    EXPECT_EQ(seen, kChildBytes);
}

}  // namespace
