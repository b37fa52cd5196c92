// What the POSIX provider offers beyond the file-system table to the platform layer. The settings
// only tests change are in fs_posix_test_knobs.h.
#pragma once

// Reads the process's file-creation mask anew; copies rely on the value last read to decide
// whether a file's mode can be given at creation, so call it whenever the mask may have changed.
void PosixReadCreationMask();
