#include "engine/copy_queue.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/file_system.h"
#include "engine/run_state.h"
#include "engine/walk.h"
#include "output/log_order.h"
#include "output/message.h"
#include "output/progress.h"

namespace {

// Two copies in flight keep both cores busy (most of a small file's copy is the kernel making
// it); a few more queued let the walk run ahead over the names that need no copy.
constexpr size_t kWorkers = 2;
constexpr size_t kMostQueued = 16;

struct Job {
    std::wstring source, destination, name;
    bool replaceExisting;
    uint64_t part;
};

struct Queue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> waiting;
    std::map<uint64_t, std::wstring> unfinished;  // queued and not yet ended: part, destination name
    bool abandonShown = false;  // a copy abandoned for a stop has shown its line
    uint32_t arrived = 0;
    bool ending = false;
    std::vector<std::thread> workers;
    uint64_t walkPart = 0;  // the part the walking thread writes into
};

Queue g_queue;
std::atomic<bool> g_overlapAllowed{true};
uint32_t g_arrivedHere = 0;  // copies that ran on the walking thread

// The progress line, and the point where a requested stop abandons the copy under way.
uint32_t CopyProgressOrStop(int64_t totalSize, int64_t transferred) {
    if (StopRequested()) return kCopyCancel;
    return CopyProgressRoutine(totalSize, transferred);
}

// The copy with its lines; true when the file arrived. *abandoned: the copy gave way to a stop.
bool CopyWithLines(const wchar_t* source, const wchar_t* destination, bool replaceExisting, bool* abandoned) {
    WriteMessage(L"copy file %s\n", source);
    uint32_t error = FsCopyFile(source, destination, CopyProgressOrStop, replaceExisting);
    // A copy abandoned for a stop is not a failure of the file: the stop line says why.
    *abandoned = error == kErrorCancelled && StopRequested();
    if (error != 0 && !*abandoned) WriteFailure(L"copy %s failed: %u\n", source, error);
    return error == 0;
}

void Work() {
    Queue& q = g_queue;
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(q.mutex);
            q.changed.wait(lock, [&] { return q.ending || !q.waiting.empty(); });
            if (q.waiting.empty()) return;
            job = std::move(q.waiting.front());
            q.waiting.pop_front();
        }
        WriteIntoLogPart(job.part);
        bool arrived = false, abandoned = true;
        // After a stop a one-at-a-time run starts no further copy.
        if (!StopRequested()) arrived = CopyWithLines(job.source.c_str(), job.destination.c_str(), job.replaceExisting, &abandoned);
        WriteIntoLogPart(0);
        std::lock_guard<std::mutex> lock(q.mutex);
        // A one-at-a-time run shows the one copy the stop cut short, the first not yet ended.
        bool shown = !abandoned || (!q.abandonShown && q.unfinished.begin()->first == job.part);
        if (abandoned && shown) {
            // Copies still running end abandoned too, and a one-at-a-time run would not have
            // started them: their lines wait until each knows.
            q.abandonShown = true;
            HoldLogPartsUntilClosed(true);
        }
        CloseLogPart(job.part, !shown);
        if (arrived) ++q.arrived;
        q.unfinished.erase(job.part);
        q.changed.notify_all();
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

void SetCopiesOverlap(bool overlap) { g_overlapAllowed.store(overlap); }

void BeginCopyQueue() {
    Queue& q = g_queue;
    g_arrivedHere = 0;
    q.arrived = 0;
    q.ending = false;
    q.abandonShown = false;
    HoldLogPartsUntilClosed(false);
    if (!g_overlapAllowed.load() || !FsCopiesMayOverlap() || std::thread::hardware_concurrency() < 2) return;
    for (size_t i = 0; i < kWorkers; ++i) {
        try {
            q.workers.emplace_back(Work);
        } catch (const std::system_error&) {
            break;  // with fewer workers, or none, the copies still all run
        }
    }
    if (q.workers.empty()) return;
    q.walkPart = OpenLogPart();
    WriteIntoLogPart(q.walkPart);
}

void EndCopyQueue() {
    Queue& q = g_queue;
    if (q.workers.empty()) return;
    WaitForQueuedCopies();
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        q.ending = true;
    }
    q.changed.notify_all();
    for (std::thread& worker : q.workers) worker.join();
    q.workers.clear();
    WriteIntoLogPart(0);
    CloseLogPart(q.walkPart);
    q.walkPart = 0;
}

void QueueCopy(const wchar_t* sourceFile, const wchar_t* destinationFile, const wchar_t* name, bool replaceExisting) {
    Queue& q = g_queue;
    if (q.workers.empty()) {
        bool abandoned;
        if (CopyWithLines(sourceFile, destinationFile, replaceExisting, &abandoned)) ++g_arrivedHere;
        return;
    }
    std::unique_lock<std::mutex> lock(q.mutex);
    q.changed.wait(lock, [&] { return q.unfinished.size() < kMostQueued; });
    uint64_t part = OpenLogPart();
    q.waiting.push_back(Job{sourceFile, destinationFile, name, replaceExisting, part});
    q.unfinished.emplace(part, name);
    lock.unlock();
    q.changed.notify_all();
    MoveWalkBehindQueue();
}

bool CopyQueuedFor(const wchar_t* name) {
    Queue& q = g_queue;
    if (q.workers.empty()) return false;
    std::lock_guard<std::mutex> lock(q.mutex);
    for (const auto& [part, queued] : q.unfinished) {
        if (SameNameOnDisk(queued.c_str(), name)) return true;
    }
    return false;
}

uint32_t WaitForQueuedCopies() {
    Queue& q = g_queue;
    uint32_t arrived = g_arrivedHere;
    g_arrivedHere = 0;
    if (q.workers.empty()) return arrived;
    std::unique_lock<std::mutex> lock(q.mutex);
    q.changed.wait(lock, [&] { return q.unfinished.empty(); });
    arrived += q.arrived;
    q.arrived = 0;
    return arrived;
}
