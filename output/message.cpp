#include "output/message.h"

#include "output/format.h"

namespace {
OutputSink g_sink = nullptr;
}

void SetOutputSink(OutputSink sink) { g_sink = sink; }

void ClearOutputSink() { g_sink = nullptr; }

int WriteMessageV(const wchar_t* format, va_list args) {
    wchar_t buffer[kMessageLimit + 1];
    size_t length = FormatTextV(buffer, kMessageLimit + 1, format, args);
    OutputSink sink = g_sink;
    if (sink) {
        sink(buffer);
        size_t n = 0;
        while (buffer[n]) ++n;
        return static_cast<int>(n);
    }
    return WriteConsoleText(buffer, length);
}

int WriteMessage(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int result = WriteMessageV(format, args);
    va_end(args);
    return result;
}
