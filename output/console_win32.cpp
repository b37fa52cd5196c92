// The console on Windows: UTF-16 to a real console, UTF-8 bytes to anything else.
#include <windows.h>

#include <string>

#include "output/console_blocks.h"
#include "output/progress.h"
#include "output/sink.h"
#include "engine/fs/text_encoding.h"

namespace {

struct StandardOutput {
    HANDLE handle;
    bool console;  // GetConsoleMode answers only for a real console (not a file, pipe or Wine shell)
};

const StandardOutput& Output() {
    static const StandardOutput output = [] {
        HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD mode = 0;
        return StandardOutput{handle, GetConsoleMode(handle, &mode) != 0};
    }();
    return output;
}

}  // namespace

bool WriteStandardOutput(const char* bytes, size_t size) {
    DWORD written = 0;
    return WriteFile(Output().handle, bytes, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

int WriteConsoleText(const wchar_t* text, size_t length) {
    const StandardOutput& output = Output();
    if (output.console) {
        DWORD written = 0;
        if (!WriteConsoleW(output.handle, text, static_cast<DWORD>(length), &written, nullptr)) return 0;
        return static_cast<int>(written);
    }
    if (length == 0) return 0;
    // A file or a pipe gets blocks of whole messages, each block one WriteFile: every message
    // still lies inside one WriteFile, as with one per message, which keeps it whole when several
    // writers share a pipe or file. (Windows names no pipe size up to which a write stays whole,
    // as PIPE_BUF does on Linux, so a pipe gets full blocks too.)
    thread_local std::string bytes;
    bytes.clear();
    AppendUtf8(bytes, text, length);
    HoldConsoleBytes(bytes.data(), bytes.size(), kConsoleBlockBytes);
    return static_cast<int>(length);
}

uint32_t SystemTickCount() { return GetTickCount(); }
