// The one way threads are started: what a thread is given, the stack it asks for, and its end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "engine/fs/thread.h"

namespace {

struct Deep {
    int levels;
    int reached;
};

// Each level keeps a mebibyte on the stack, written so that its pages are really touched; the
// levels reached, as long as every level's bytes outlived the levels below it.
int Descend(int level, int levels) {
    volatile char frame[1 << 20];
    std::memset(const_cast<char*>(frame), level & 0x7F, sizeof frame);
    int reached = level + 1 < levels ? Descend(level + 1, levels) : levels;
    return frame[sizeof frame - 1] == (level & 0x7F) ? reached : -1;
}

void DescendThread(void* context) {
    Deep* deep = static_cast<Deep*>(context);
    deep->reached = Descend(0, deep->levels);
}

// A thread asked for a stack of 64 MiB holds 40 MiB on it, far beyond any platform's default
// (8 MiB on Linux, 1 or 2 on Windows), and what it leaves is seen once it has been joined.
TEST(Threads, AJoinedThreadHasTheStackItAskedFor) {
    Deep deep{40, 0};
    ThreadHandle thread = nullptr;
    ASSERT_TRUE(StartThread(DescendThread, &deep, 64u << 20, &thread));
    ASSERT_NE(thread, nullptr);
    JoinThread(thread);
    EXPECT_EQ(deep.reached, 40);
}

// A detached thread runs on its own; nothing waits for it, and its start hands over the context.
TEST(Threads, ADetachedThreadRunsWithItsContext) {
    static std::atomic<int> seen{0};
    static int value = 7;
    seen = 0;
    ASSERT_TRUE(StartThread([](void* context) { seen = *static_cast<int*>(context); }, &value, 0, nullptr));
    for (int i = 0; i < 10000 && seen.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(seen.load(), 7);
}

}  // namespace
