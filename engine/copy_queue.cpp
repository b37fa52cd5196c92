#include "engine/copy_queue.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "engine/fs/file_system.h"
#include "engine/fs/thread.h"
#include "engine/run_state.h"
#include "engine/walk.h"
#include "output/log_order.h"
#include "output/message.h"

namespace {

// One worker beside the walking thread, which copies too whenever a copy is already waiting: two
// copies in flight keep both cores busy (most of a small file's copy is the kernel making it),
// and no third thread competes with them for the cores.
constexpr size_t kMostWaiting = 1;

struct Job {
    std::wstring source, destination, name;
    uint64_t part;
    FileTime sourceTime;
    uint64_t size;
};

struct Queue {
    std::mutex mutex;
    std::condition_variable work;  // the worker waits for a job or the end
    std::condition_variable done;  // the walking thread waits for the last copy to end
    std::deque<Job> waiting;       // queued, not yet started
    std::map<uint64_t, std::wstring> unfinished;  // queued and not yet ended: part, destination name
    bool abandonShown = false;  // a copy abandoned for a stop has shown its line
    uint32_t arrived = 0;  // copies that brought their file since the last wait
    bool ending = false;
    bool workerIdle = false;
    bool walkerWaiting = false;
    ThreadHandle worker = nullptr;
    bool running = false;   // the worker was started for this pass
    CopyRunner run = nullptr;
    uint64_t walkPart = 0;  // the part the walking thread writes into
};

Queue g_queue;

// Runs a job taken from the queue on the calling thread, its lines in its own log part.
void RunJob(const Job& job) {
    Queue& q = g_queue;
    uint64_t own = CurrentLogPart();
    WriteIntoLogPart(job.part);
    bool arrived = false, abandoned = true;
    // After a stop a one-at-a-time run starts no further copy.
    if (!StopRequested()) arrived = q.run(job.source.c_str(), job.destination.c_str(), job.sourceTime, job.size, &abandoned);
    WriteIntoLogPart(own);
    std::lock_guard<std::mutex> lock(q.mutex);
    // A one-at-a-time run shows the one copy the stop cut short: the first not yet ended.
    bool shown = !abandoned || (!q.abandonShown && q.unfinished.begin()->first == job.part);
    if (abandoned && shown) {
        // The copies still running end abandoned too, and a one-at-a-time run would not have
        // started them: their lines wait until each knows.
        q.abandonShown = true;
        HoldLogPartsUntilClosed(true);
    }
    CloseLogPart(job.part, !shown);
    if (arrived) ++q.arrived;
    q.unfinished.erase(job.part);
    if (q.walkerWaiting && q.unfinished.empty()) q.done.notify_one();
}

void Work() {
    Queue& q = g_queue;
    for (;;) {
        std::unique_lock<std::mutex> lock(q.mutex);
        while (!q.ending && q.waiting.empty()) {
            q.workerIdle = true;
            q.work.wait(lock);
        }
        q.workerIdle = false;
        if (q.waiting.empty()) return;
        Job job = std::move(q.waiting.front());
        q.waiting.pop_front();
        lock.unlock();
        RunJob(job);
    }
}

// The walking thread goes on writing into a new part behind everything queued so far.
void MoveWalkBehindQueue() {
    uint64_t previous = g_queue.walkPart;
    g_queue.walkPart = OpenLogPart();
    WriteIntoLogPart(g_queue.walkPart);
    CloseLogPart(previous);
}

}  // namespace

void BeginCopyQueue(CopyRunner run) {
    Queue& q = g_queue;
    q.run = run;
    q.arrived = 0;
    q.ending = false;
    q.abandonShown = false;
    HoldLogPartsUntilClosed(false);
    if (!FsCopiesMayOverlap() || std::thread::hardware_concurrency() < 2) return;
    // Without a worker the copies still all run, one at a time.
    if (!StartThread([](void*) { Work(); }, nullptr, 0, &q.worker)) return;
    q.running = true;
    q.walkPart = OpenLogPart();
    WriteIntoLogPart(q.walkPart);
}

void EndCopyQueue() {
    Queue& q = g_queue;
    if (!q.running) return;
    WaitForQueuedCopies();
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        q.ending = true;
    }
    q.work.notify_one();
    JoinThread(q.worker);
    q.worker = nullptr;
    q.running = false;
    WriteIntoLogPart(0);
    CloseLogPart(q.walkPart);
    q.walkPart = 0;
}

void QueueCopy(const wchar_t* sourceFile, const wchar_t* destinationFile, const wchar_t* name, FileTime sourceTime,
               uint64_t size) {
    Queue& q = g_queue;
    if (!q.running) {
        bool abandoned;
        if (q.run(sourceFile, destinationFile, sourceTime, size, &abandoned)) ++q.arrived;
        return;
    }
    std::unique_lock<std::mutex> lock(q.mutex);
    uint64_t part = OpenLogPart();
    q.waiting.push_back(Job{sourceFile, destinationFile, name, part, sourceTime, size});
    q.unfinished.emplace(part, name);
    bool wake = q.workerIdle;
    Job mine;
    bool runHere = q.waiting.size() > kMostWaiting;
    if (runHere) {
        mine = std::move(q.waiting.front());
        q.waiting.pop_front();
    }
    lock.unlock();
    if (wake) q.work.notify_one();
    MoveWalkBehindQueue();
    if (runHere) RunJob(mine);
}

bool CopyQueuedFor(const wchar_t* name) {
    Queue& q = g_queue;
    if (!q.running) return false;
    std::lock_guard<std::mutex> lock(q.mutex);
    for (const auto& [part, queued] : q.unfinished) {
        if (SameNameOnDisk(queued.c_str(), name)) return true;
    }
    return false;
}

uint32_t WaitForQueuedCopies() {
    Queue& q = g_queue;
    std::unique_lock<std::mutex> lock(q.mutex);
    // The copies not yet started are run here rather than waited for.
    while (!q.waiting.empty()) {
        Job job = std::move(q.waiting.front());
        q.waiting.pop_front();
        lock.unlock();
        RunJob(job);
        lock.lock();
    }
    q.walkerWaiting = true;
    q.done.wait(lock, [&] { return q.unfinished.empty(); });
    q.walkerWaiting = false;
    uint32_t arrived = q.arrived;
    q.arrived = 0;
    return arrived;
}
