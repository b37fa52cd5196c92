#include "output/console_blocks.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "engine/fs/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Flusher { kNotStarted, kRunning, kFailed };

// One lock over the block and its write keeps every message whole and in order whichever thread
// wrote it: the copy worker's and the walking thread's lines both come here.
struct Held {
    std::mutex lock;
    std::condition_variable arrived;  // the flusher waits for bytes, then for their time to go out
    Clock::time_point since;          // when the oldest held byte came
    size_t size = 0;
    Flusher flusher = Flusher::kNotStarted;
    char bytes[kConsoleBlockBytes];
};

// Never destroyed: the flusher thread still waits on it while the process ends, and glibc's
// condition variable blocks its destruction until every waiter has left.
Held& TheHeld() {
    static Held* held = new Held();
    return *held;
}

void WriteOut(Held& held) {
    if (held.size == 0) return;
    // A failed write loses this block as it lost each message before; the run goes on.
    WriteStandardOutput(held.bytes, held.size);
    held.size = 0;
}

// A thread of its own, because the bound must hold while no further message comes (a long copy,
// a slow folder): a time check on the next message would come too late, and a timer signal
// would cut the copies' system calls short. It sleeps while nothing is held.
void FlushLoop() {
    Held& held = TheHeld();
    std::unique_lock<std::mutex> lock(held.lock);
    for (;;) {
        if (held.size == 0) {
            held.arrived.wait(lock);
            continue;
        }
        Clock::time_point due = held.since + std::chrono::milliseconds(kConsoleBlockDelayMs);
        if (Clock::now() < due) {
            // Woken early, or the block went out meanwhile and new bytes came: looked at again.
            held.arrived.wait_until(lock, due);
            continue;
        }
        WriteOut(held);
    }
}

void FlushAtExit() { WriteHeldConsoleBytes(); }

void StartFlusher(Held& held) {
    if (!StartThread([](void*) { FlushLoop(); }, nullptr, 0, nullptr)) {
        // Without the flusher nothing could keep the bound: each message goes out at once.
        held.flusher = Flusher::kFailed;
        return;
    }
    held.flusher = Flusher::kRunning;
    // The run flushes before it ends; this also covers text written after it.
    std::atexit(FlushAtExit);
}

}  // namespace

void HoldConsoleBytes(const char* bytes, size_t size, size_t blockLimit) {
    if (blockLimit > kConsoleBlockBytes) blockLimit = kConsoleBlockBytes;
    Held& held = TheHeld();
    std::lock_guard<std::mutex> lock(held.lock);
    if (held.flusher == Flusher::kNotStarted) StartFlusher(held);
    if (held.flusher == Flusher::kFailed || size > blockLimit) {
        WriteOut(held);
        WriteStandardOutput(bytes, size);
        return;
    }
    if (held.size + size > blockLimit) WriteOut(held);
    if (held.size == 0) {
        held.since = Clock::now();
        held.arrived.notify_one();
    }
    std::memcpy(held.bytes + held.size, bytes, size);
    held.size += size;
    if (held.size == blockLimit) WriteOut(held);
}

void WriteHeldConsoleBytes() {
    Held& held = TheHeld();
    std::lock_guard<std::mutex> lock(held.lock);
    WriteOut(held);
}
