// The console on Linux: UTF-8 bytes on standard output, and a millisecond tick.
#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "output/console_blocks.h"
#include "output/progress.h"
#include "output/sink.h"
#include "engine/fs/text_encoding.h"

namespace {

enum ConsoleKind : int { kNotLookedAt, kTerminal, kPipe, kFile };

std::atomic<int> g_kind{kNotLookedAt};

// Looked at once: a check per message would itself be a system call per message.
ConsoleKind Kind() {
    int kind = g_kind.load(std::memory_order_relaxed);
    if (kind != kNotLookedAt) return static_cast<ConsoleKind>(kind);
    struct stat status;
    if (isatty(1)) {
        kind = kTerminal;
    } else if (fstat(1, &status) == 0 && S_ISFIFO(status.st_mode)) {
        kind = kPipe;
    } else {
        kind = kFile;  // a file, /dev/null, a socket, or closed
    }
    g_kind.store(kind, std::memory_order_relaxed);
    return static_cast<ConsoleKind>(kind);
}

}  // namespace

bool WriteStandardOutput(const char* data, size_t left) {
    while (left > 0) {
        ssize_t n = write(1, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        data += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

int WriteConsoleText(const wchar_t* text, size_t length) {
    if (length == 0) return 0;
    // Reused between calls so a message costs no allocation once the buffer has grown.
    thread_local std::string bytes;
    bytes.clear();
    AppendUtf8(bytes, text, length);
    switch (Kind()) {
    case kTerminal:
        // Someone watches: each message at once, as it comes.
        return WriteStandardOutput(bytes.data(), bytes.size()) ? static_cast<int>(length) : 0;
    case kPipe:
        // Writes of up to PIPE_BUF bytes go into a pipe whole, never mixed with another writer's:
        // blocks no larger keep each message whole, as one write per message did.
        HoldConsoleBytes(bytes.data(), bytes.size(), PIPE_BUF);
        return static_cast<int>(length);
    default:
        HoldConsoleBytes(bytes.data(), bytes.size(), kConsoleBlockBytes);
        return static_cast<int>(length);
    }
}

void ReadConsoleKindAgain() {
    WriteHeldConsoleBytes();
    g_kind.store(kNotLookedAt, std::memory_order_relaxed);
}

uint32_t SystemTickCount() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t milliseconds = static_cast<uint64_t>(now.tv_sec) * 1000u +
                            static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(milliseconds);
}
