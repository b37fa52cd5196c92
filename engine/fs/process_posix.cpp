// Process settings on Linux: no console modes or priority classes to set.
#include "engine/fs/process.h"

#include "engine/fs/fs_posix.h"

// The copies give a file its mode at creation when the creation mask leaves it whole; a mask
// changed since the last run would otherwise take bits from every copy of this one.
void PrepareProcessForRun() { PosixReadCreationMask(); }
