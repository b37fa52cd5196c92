#include <windows.h>

#include <new>

#include "engine/fs/thread.h"

namespace {

struct ThreadStart {
    ThreadEntry entry;
    void* context;
};

DWORD WINAPI RunThread(LPVOID start) {
    ThreadStart what = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    what.entry(what.context);
    return 0;
}

}  // namespace

bool StartThread(ThreadEntry entry, void* context, size_t stackSize, ThreadHandle* joined) {
    ThreadStart* start = new (std::nothrow) ThreadStart{entry, context};
    if (!start) return false;
    // A reservation, not a commitment: the pages are committed as the stack grows into them.
    HANDLE thread = CreateThread(nullptr, stackSize, RunThread, start, stackSize ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0,
                                 nullptr);
    if (!thread) {
        delete start;
        return false;
    }
    if (joined) {
        *joined = thread;
    } else {
        CloseHandle(thread);
    }
    return true;
}

void JoinThread(ThreadHandle thread) {
    WaitForSingleObject(static_cast<HANDLE>(thread), INFINITE);
    CloseHandle(static_cast<HANDLE>(thread));
}
