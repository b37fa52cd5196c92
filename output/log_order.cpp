#include "output/log_order.h"

#include <deque>
#include <mutex>
#include <string>

#include "output/sink.h"

namespace {

struct Part {
    uint64_t number;
    bool closed = false;
    std::wstring held;  // messages, each ended by a L'\0'
};

std::mutex g_mutex;
std::deque<Part> g_parts;  // open parts and ended ones waiting for those before them, oldest first
uint64_t g_nextPart = 1;
bool g_heldUntilClosed = false;
thread_local uint64_t t_part = 0;

Part* FindPart(uint64_t number) {
    // Parts are opened in increasing numbers and leave from the front: the deque is sorted.
    if (g_parts.empty() || number < g_parts.front().number) return nullptr;
    uint64_t offset = number - g_parts.front().number;
    if (offset >= g_parts.size()) return nullptr;
    Part& part = g_parts[static_cast<size_t>(offset)];
    return part.number == number ? &part : nullptr;
}

void SendHeld(Part& part) {
    for (size_t start = 0; start < part.held.size();) {
        size_t end = part.held.find(L'\0', start);
        DeliverMessage(part.held.c_str() + start, end - start);
        start = end + 1;
    }
    part.held.clear();
}

}  // namespace

uint64_t OpenLogPart() {
    std::lock_guard<std::mutex> lock(g_mutex);
    uint64_t number = g_nextPart++;
    // Numbers leave no gap in the deque: FindPart counts on it.
    g_parts.push_back(Part{number, false, std::wstring()});
    return number;
}

void WriteIntoLogPart(uint64_t part) { t_part = part; }

uint64_t CurrentLogPart() { return t_part; }

void CloseLogPart(uint64_t number, bool discard) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Part* part = FindPart(number);
    if (!part) return;
    part->closed = true;
    if (discard) part->held.clear();
    while (!g_parts.empty()) {
        Part& front = g_parts.front();
        if (front.closed || !g_heldUntilClosed) SendHeld(front);
        if (!front.closed) break;
        g_parts.pop_front();
    }
}

void HoldLogPartsUntilClosed(bool hold) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_heldUntilClosed = hold;
}

bool RouteToLogPart(const wchar_t* text, size_t length) {
    if (t_part == 0) return false;
    std::lock_guard<std::mutex> lock(g_mutex);
    Part* part = FindPart(t_part);
    if (!part) return false;  // ended already: nothing is held back for it
    if (part == &g_parts.front() && !g_heldUntilClosed) {
        DeliverMessage(text, length);
    } else {
        part->held.append(text, length);
        part->held.push_back(L'\0');
    }
    return true;
}
