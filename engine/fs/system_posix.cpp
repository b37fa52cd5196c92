// Process services on Linux: no console modes or priority classes to set, and a thread of our own
// with a stack large enough for the deepest tree.
#include "engine/fs/system.h"

#include <pthread.h>

#include "engine/fs/fs_posix.h"
#include "engine/run_sync.h"

namespace {

// Each folder level of a walk holds a few path buffers of 4 KiB on the stack; 256 MiB covers the
// deepest tree a 1023-character path allows with room to spare. Only touched pages are committed.
constexpr size_t kRunStackSize = 256u << 20;

struct RunArguments {
    int32_t argc;
    const wchar_t* const* argv;
    int32_t exitCode;
};

void* RunSyncThread(void* context) {
    RunArguments* run = static_cast<RunArguments*>(context);
    run->exitCode = RunSync(run->argc, run->argv);
    return nullptr;
}

}  // namespace

// The copies give a file its mode at creation when the creation mask leaves it whole; a mask
// changed since the last run would otherwise take bits from every copy of this one.
void PrepareProcessForRun() { PosixReadCreationMask(); }

int32_t RunSyncOnLargeStack(int32_t argc, const wchar_t* const* argv) {
    RunArguments run{argc, argv, 0};
    pthread_attr_t attributes;
    bool started = false;
    pthread_t thread;
    if (pthread_attr_init(&attributes) == 0) {
        started = pthread_attr_setstacksize(&attributes, kRunStackSize) == 0 &&
                  pthread_create(&thread, &attributes, RunSyncThread, &run) == 0;
        pthread_attr_destroy(&attributes);
    }
    if (!started) {
        // Without the large stack only extremely deep trees are at risk; running on the
        // caller's stack still serves every ordinary tree.
        return RunSync(argc, argv);
    }
    pthread_join(thread, nullptr);
    return run.exitCode;
}
