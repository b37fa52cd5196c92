// Process services on Windows: console mode, priority, and the run's own large stack.
#include <windows.h>

#include "engine/run_sync.h"
#include "engine/system.h"

void PrepareProcessForRun() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode)) {
        // Clearing quick-edit takes effect only together with ENABLE_EXTENDED_FLAGS.
        SetConsoleMode(input, (mode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE));
    }
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
}

namespace {

// Each folder level of a walk keeps its path buffers and a listing entry on the stack; the main
// thread's default reservation is too small for the deepest tree a 260-character path allows.
constexpr SIZE_T kRunStackSize = 16 * 1024 * 1024;

struct RunArguments {
    int32_t argc;
    const wchar_t* const* argv;
    int32_t result;
};

DWORD WINAPI RunSyncThread(LPVOID parameter) {
    RunArguments* run = static_cast<RunArguments*>(parameter);
    run->result = RunSync(run->argc, run->argv);
    return 0;
}

}  // namespace

int32_t RunSyncOnLargeStack(int32_t argc, const wchar_t* const* argv) {
    RunArguments run = {argc, argv, 0};
    HANDLE thread = CreateThread(nullptr, kRunStackSize, RunSyncThread, &run,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    // Without a thread the run still happens, on the caller's stack: better than no run at all.
    if (!thread) return RunSync(argc, argv);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return run.result;
}
