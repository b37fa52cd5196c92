#include "engine/walk.h"

#include <cwchar>
#include <cwctype>
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

bool SameNameIgnoringCase(const wchar_t* a, const wchar_t* b) {
    for (; *a && *b; ++a, ++b) {
        if (std::towupper(static_cast<wint_t>(*a)) != std::towupper(static_cast<wint_t>(*b))) return false;
    }
    return *a == *b;
}

bool SameNameOnDisk(const wchar_t* a, const wchar_t* b) {
    return FsNamesIgnoreCase() ? SameNameIgnoringCase(a, b) : wcscmp(a, b) == 0;
}

std::wstring FoldedName(const wchar_t* name) {
    std::wstring folded(name);
    for (wchar_t& c : folded) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return folded;
}

bool IsAlwaysSkippedFolder(const wchar_t* name) {
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0 || SameNameOnDisk(name, L"$RECYCLE.BIN");
}

bool IsDeletedWalkSkippedFolder(const wchar_t* name) {
    return IsAlwaysSkippedFolder(name) || SameNameOnDisk(name, L"Deleted") || SameNameOnDisk(name, L"Backup");
}
