#include "output/sink.h"

namespace {
OutputSink g_sink = nullptr;
}

void SetOutputSink(OutputSink sink) { g_sink = sink; }

void ClearOutputSink() { g_sink = nullptr; }

int DeliverMessage(const wchar_t* text, size_t length) {
    OutputSink sink = g_sink;
    if (sink) {
        sink(text);
        size_t n = 0;
        while (text[n]) ++n;
        return static_cast<int>(n);
    }
    return WriteConsoleText(text, length);
}
