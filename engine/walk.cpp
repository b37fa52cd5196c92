#include "engine/walk.h"

#include <cwchar>
#include <string>
#include <vector>

#include "output/message.h"

int32_t EntryCounter = 0;

namespace {
// Folders reported as unreadable in this run; nearly always none.
std::vector<std::wstring> g_unreadableFolders;
}  // namespace

void ReportUnreadableFolder(const wchar_t* root, const wchar_t* relativeFolder, uint32_t error) {
    PathBuffer folder;
    if (!FolderPath(folder, root, relativeFolder)) {
        ReportPathTooLong(root, relativeFolder, nullptr);
        return;
    }
    for (const std::wstring& known : g_unreadableFolders) {
        if (known == folder.text) return;
    }
    g_unreadableFolders.emplace_back(folder.text);
    WriteFailure(L"read folder %s failed: %u\n", folder.text, error);
}

void ForgetUnreadableFolders() { g_unreadableFolders.clear(); }

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
