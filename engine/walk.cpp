#include "engine/walk.h"

#include <cwchar>

#include "output/message.h"

int32_t EntryCounter = 0;

void CountEntry() {
    ++EntryCounter;
    if (EntryCounter % 256 == 0) WriteMessage(L"read %8.8d files\r", EntryCounter);
}

bool IsAlwaysSkippedFolder(const wchar_t* name) {
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0 || wcscmp(name, L"$RECYCLE.BIN") == 0;
}

bool IsDeletedWalkSkippedFolder(const wchar_t* name) {
    return IsAlwaysSkippedFolder(name) || wcscmp(name, L"Deleted") == 0 || wcscmp(name, L"Backup") == 0;
}
