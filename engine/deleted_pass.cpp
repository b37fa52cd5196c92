#include "engine/deleted_pass.h"

#include <algorithm>
#include <cwchar>
#include <vector>

#include "engine/move_aside.h"
#include "engine/paths.h"
#include "engine/walk.h"
#include "output/message.h"

namespace {

// The plain files of one source folder by exact name, read with one listing when the matching
// destination folder shows its first file. A name found here is a file at its source place
// without a query of its own, which spares a query per file in a run where little changed. Any
// other name is asked of the file system: a link, a name the file system matches in another case,
// or a folder that could not be listed.
struct SourceFileNames {
    bool listed = false;
    std::vector<wchar_t> text;
    std::vector<uint32_t> starts;  // sorted by name
};

void ListSourceFiles(SourceFileNames& names, const wchar_t* sourceRoot, const wchar_t* relativeFolder) {
    names.listed = true;
    PathBuffer pattern;
    FindEntry entry;
    if (!ComposePath(pattern, sourceRoot, relativeFolder, L"*.*")) return;
    uint32_t error = 0;
    FindHandle handle = FsFindFirstTypesOnly(pattern.text, &entry, &error);
    if (!handle) return;
    do {
        if (entry.attributes & (kFileAttributeDirectory | kFileAttributeReparsePoint)) continue;
        names.starts.push_back(static_cast<uint32_t>(names.text.size()));
        names.text.insert(names.text.end(), entry.name, entry.name + wcslen(entry.name) + 1);
    } while (FsFindNext(handle, &entry, &error));
    FsFindClose(handle);
    const wchar_t* text = names.text.data();
    std::sort(names.starts.begin(), names.starts.end(),
              [text](uint32_t a, uint32_t b) { return wcscmp(text + a, text + b) < 0; });
}

bool HasSourceFile(const SourceFileNames& names, const wchar_t* name) {
    const wchar_t* text = names.text.data();
    auto at = std::lower_bound(names.starts.begin(), names.starts.end(), name,
                               [text](uint32_t a, const wchar_t* n) { return wcscmp(text + a, n) < 0; });
    return at != names.starts.end() && wcscmp(text + *at, name) == 0;
}

void HandleDestinationFile(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder,
                           const FindEntry& entry, SourceFileNames& sourceFiles) {
    PathBuffer sourcePlace;
    if (!ComposePath(sourcePlace, sourceRoot, relativeFolder, entry.name)) {
        // A place the source cannot even name is not proof that the file is gone: leave it.
        ReportPathTooLong(sourceRoot, relativeFolder, entry.name);
        return;
    }
    if (!sourceFiles.listed) ListSourceFiles(sourceFiles, sourceRoot, relativeFolder);
    if (HasSourceFile(sourceFiles, entry.name)) return;
    FileInfo info;
    if (FsGetAttributesEx(sourcePlace.text, &info) && !(info.attributes & kFileAttributeDirectory)) return;

    PathBuffer destinationFile;
    if (!ComposePath(destinationFile, destinationRoot, relativeFolder, entry.name)) {
        ReportPathTooLong(destinationRoot, relativeFolder, entry.name);
        return;
    }
    WriteMessage(L"move deleted file %s\n", destinationFile.text);
    MoveAside(destinationFile.text, destinationRoot, L"Deleted", relativeFolder, entry.name);
}

}  // namespace

void MoveDeletedPass(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder) {
    SourceFileNames sourceFiles;
    ForEachEntry(destinationRoot, relativeFolder, true, kNamesAndTypes, [&](const FindEntry& entry) {
        if (!IsFolder(entry)) {
            // A leftover the index scan could not remove is no deleted file of the user's.
            if (!IsLeftoverCopyName(entry.name))
                HandleDestinationFile(sourceRoot, destinationRoot, relativeFolder, entry, sourceFiles);
            return;
        }
        if (IsDeletedWalkSkippedFolder(entry.name) || IsLinkedFolder(entry)) return;
        PathBuffer child;
        if (!ChildRelativeFolder(child, relativeFolder, entry.name)) {
            ReportPathTooLong(destinationRoot, relativeFolder, entry.name);
            return;
        }
        MoveDeletedPass(sourceRoot, destinationRoot, child.text);
    });
}
