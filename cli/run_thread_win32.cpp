// The console program's run thread on Windows, and the console's control events.
#include <windows.h>

#include <atomic>

#include "cli/run_thread.h"
#include "engine/fs/thread.h"
#include "engine/run_state.h"
#include "engine/run_sync.h"
#include "output/message.h"

namespace {

struct RunArguments {
    int32_t argc;
    const wchar_t* const* argv;
    int32_t result;
};

void RunSyncThread(void* parameter) {
    RunArguments* run = static_cast<RunArguments*>(parameter);
    run->result = RunSync(run->argc, run->argv);
}

// Set once the run in progress has ended, for a control handler waiting on its own thread.
HANDLE RunEnded() {
    static const HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return ended;
}
std::atomic<int32_t> g_lastExitCode{0};

// Closing the console and ending the session leave the process about 5 s after the event is
// sent (SPI_GETHUNGAPPTIMEOUT for the close, SPI_GETWAITTOKILLTIMEOUT for logoff and shutdown, both
// 5,000 ms unless changed; reading them would load user32, which stops logoff and shutdown events
// from reaching a console handler at all). The last half second is left for ExitProcess.
constexpr DWORD kConsoleEndWait = 4500;

BOOL WINAPI ConsoleStopHandler(DWORD event) {
    int32_t exitCode = 0;
    // Returning from the handler for these events ends the process wherever the run is; ending
    // it here, after the run, keeps the exit code that says it was stopped.
    if (StopRunForConsoleEvent(event, kConsoleEndWait, &exitCode)) ExitProcess(static_cast<UINT>(exitCode));
    // The wait ran out (or Ctrl+C, whose run flushes as it ends): a log that is a file gets what
    // the run wrote so far before the process may be ended.
    FlushMessages();
    return TRUE;
}

}  // namespace

int32_t RunSyncOnLargeStack(int32_t argc, const wchar_t* const* argv) {
    HANDLE ended = RunEnded();
    if (ended) ResetEvent(ended);
    RunArguments run = {argc, argv, 0};
    ThreadHandle thread;
    if (StartThread(RunSyncThread, &run, kRunStackSize, &thread)) {
        JoinThread(thread);
    } else {
        // Without a thread the run still happens, on the caller's stack: better than no run at all.
        run.result = RunSync(argc, argv);
    }
    g_lastExitCode.store(run.result);
    if (ended) SetEvent(ended);
    return run.result;
}

bool StopRunForConsoleEvent(uint32_t event, uint32_t waitMilliseconds, int32_t* exitCode) {
    RequestStop();
    if (event != CTRL_CLOSE_EVENT && event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT) return false;
    HANDLE ended = RunEnded();
    if (!ended || WaitForSingleObject(ended, waitMilliseconds) != WAIT_OBJECT_0) return false;
    *exitCode = g_lastExitCode.load();
    return true;
}

void InstallConsoleStopHandler() {
    RunEnded();
    SetConsoleCtrlHandler(ConsoleStopHandler, TRUE);
}
