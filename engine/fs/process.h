// Process settings a run makes besides the file system.
#pragma once

// Turns off the console's quick-edit mode (a click would pause the run) and raises the process
// priority on Windows; reads the file-creation mask anew on POSIX, which the copies rely on.
void PrepareProcessForRun();
