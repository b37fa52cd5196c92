// The run on a thread of its own, for the console program, and on Windows the console's control
// events that stop it. The window program's worker takes the same stack.
#pragma once

#include <cstddef>
#include <cstdint>

// The stack a run needs: each folder level of a walk keeps its path buffers and a listing entry on
// the stack, and a main thread's default is too small for the deepest tree the path limit allows
// (260 characters on Windows; 1023 on Linux, with buffers of 4 KiB a level). Only the pages touched
// are committed.
#ifdef _WIN32
constexpr size_t kRunStackSize = 16 * 1024 * 1024;
#else
constexpr size_t kRunStackSize = 256u << 20;
#endif

// Runs RunSync(argc, argv) on a thread with a stack of kRunStackSize and returns its exit code;
// where no such thread can be had, on the caller's stack.
int32_t RunSyncOnLargeStack(int32_t argc, const wchar_t* const* argv);

#ifdef _WIN32
// What the console does with one control event (CTRL_C_EVENT and the others, by their numbers):
// asks the run to stop; for closing the console, logoff and shutdown it also waits up to
// waitMilliseconds for the run of RunSyncOnLargeStack to end. True, with the run's exit code,
// when the run has ended within the wait; false for Ctrl+C and Ctrl+Break, and when the wait ran out.
bool StopRunForConsoleEvent(uint32_t event, uint32_t waitMilliseconds, int32_t* exitCode);
// Installs the console program's control handler: every event asks the run to stop, and closing
// the console, logoff and shutdown end the process with the run's exit code once the run has ended.
void InstallConsoleStopHandler();
#endif
