// The console on Windows: UTF-16 to a real console, UTF-8 bytes to anything else.
#include <windows.h>

#include <string>

#include "output/message.h"
#include "output/progress.h"
#include "output/text_encoding.h"

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

int WriteConsoleText(const wchar_t* text, size_t length) {
    const StandardOutput& output = Output();
    if (output.console) {
        DWORD written = 0;
        if (!WriteConsoleW(output.handle, text, static_cast<DWORD>(length), &written, nullptr)) return 0;
        return static_cast<int>(written);
    }
    // One WriteFile per message keeps it whole when several writers share a pipe or file.
    std::string bytes;
    bytes.reserve(length * 3);
    AppendUtf8(bytes, text, length);
    DWORD written = 0;
    if (!WriteFile(output.handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        return 0;
    }
    return static_cast<int>(length);
}

uint32_t SystemTickCount() { return GetTickCount(); }
