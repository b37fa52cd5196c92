#include "engine/run_state.h"

#include <atomic>
#include <cstdarg>

#include "output/message.h"

namespace {
std::atomic<uint32_t> g_failures{0};  // copies on worker threads report their failures too
std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop request is set from signal handlers");
}  // namespace

uint32_t RunFailureCount() { return g_failures.load(); }

void ResetRunFailures() { g_failures.store(0); }

void WriteFailure(const wchar_t* format, ...) {
    ++g_failures;
    va_list args;
    va_start(args, format);
    WriteMessageV(format, args);
    va_end(args);
}

void RequestStop() { g_stopRequested.store(true, std::memory_order_relaxed); }

bool StopRequested() { return g_stopRequested.load(std::memory_order_relaxed); }

void ClearStopRequest() { g_stopRequested.store(false, std::memory_order_relaxed); }
