// Process settings on Windows: the console's input mode and the priority class.
#include <windows.h>

#include "engine/fs/process.h"

void PrepareProcessForRun() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode)) {
        // Clearing quick-edit takes effect only together with ENABLE_EXTENDED_FLAGS.
        SetConsoleMode(input, (mode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE));
    }
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
}
