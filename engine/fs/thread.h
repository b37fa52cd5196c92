// Starting a thread, the one way every part of the program does it: the stack a thread gets and
// whether anyone waits for its end are said where it starts, and the platform's call is made here.
#pragma once

#include <cstddef>

using ThreadEntry = void (*)(void* context);
using ThreadHandle = void*;

// Starts entry(context) on a new thread whose stack holds at least stackSize bytes (0: the
// platform's default; only the pages touched are committed). With joined null the thread is
// detached and nothing waits for its end; otherwise *joined receives the handle JoinThread takes.
// False, with nothing started, when no such thread can be had.
bool StartThread(ThreadEntry entry, void* context, size_t stackSize, ThreadHandle* joined);
// Waits for the thread of a handle from StartThread to end, and lets the handle go.
void JoinThread(ThreadHandle thread);
