// The console on Linux: UTF-8 bytes on standard output, and a millisecond tick.
#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "output/message.h"
#include "output/progress.h"
#include "output/text_encoding.h"

int WriteConsoleText(const wchar_t* text, size_t length) {
    if (length == 0) return 0;
    // Reused between calls so a message costs no allocation once the buffer has grown.
    thread_local std::string bytes;
    bytes.clear();
    AppendUtf8(bytes, text, length);
    const char* data = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = write(1, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (n == 0) return 0;
        data += n;
        left -= static_cast<size_t>(n);
    }
    return static_cast<int>(length);
}

uint32_t SystemTickCount() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t milliseconds = static_cast<uint64_t>(now.tv_sec) * 1000u +
                            static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(milliseconds);
}
