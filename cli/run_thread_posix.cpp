// The console program's run thread on Linux.
#include "cli/run_thread.h"

#include "engine/fs/thread.h"
#include "engine/run_sync.h"

namespace {

struct RunArguments {
    int32_t argc;
    const wchar_t* const* argv;
    int32_t exitCode;
};

void RunSyncThread(void* context) {
    RunArguments* run = static_cast<RunArguments*>(context);
    run->exitCode = RunSync(run->argc, run->argv);
}

}  // namespace

int32_t RunSyncOnLargeStack(int32_t argc, const wchar_t* const* argv) {
    RunArguments run{argc, argv, 0};
    ThreadHandle thread;
    if (!StartThread(RunSyncThread, &run, kRunStackSize, &thread)) {
        // Without the large stack only extremely deep trees are at risk; running on the
        // caller's stack still serves every ordinary tree.
        return RunSync(argc, argv);
    }
    JoinThread(thread);
    return run.exitCode;
}
