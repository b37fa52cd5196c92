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
