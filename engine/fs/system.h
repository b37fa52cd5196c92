// Process-level platform services the run driver uses besides the file system.
#pragma once

#include <cstddef>
#include <cstdint>

// Turns off the console's quick-edit mode (a click would pause the run) and raises the process
// priority; does nothing where neither exists.
void PrepareProcessForRun();

// Runs RunSync(argc, argv) on a thread whose stack holds the deepest tree the path limit allows,
// and returns its exit code.
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
