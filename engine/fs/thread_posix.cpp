#include "engine/fs/thread.h"

#include <pthread.h>

#include <new>

namespace {

struct ThreadStart {
    ThreadEntry entry;
    void* context;
};

void* RunThread(void* start) {
    ThreadStart what = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    what.entry(what.context);
    return nullptr;
}

// The handle is the thread's id itself (an integer or a pointer, as the C library has it).
static_assert(sizeof(pthread_t) <= sizeof(ThreadHandle));

}  // namespace

bool StartThread(ThreadEntry entry, void* context, size_t stackSize, ThreadHandle* joined) {
    ThreadStart* start = new (std::nothrow) ThreadStart{entry, context};
    if (!start) return false;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        delete start;
        return false;
    }
    pthread_t thread;
    bool started = (stackSize == 0 || pthread_attr_setstacksize(&attributes, stackSize) == 0) &&
                   (joined || pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0) &&
                   pthread_create(&thread, &attributes, RunThread, start) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) {
        delete start;
        return false;
    }
    if (joined) *joined = reinterpret_cast<ThreadHandle>(thread);
    return true;
}

void JoinThread(ThreadHandle thread) { pthread_join(reinterpret_cast<pthread_t>(thread), nullptr); }
