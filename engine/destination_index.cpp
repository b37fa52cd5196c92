#include "engine/destination_index.h"

#include "engine/paths.h"
#include "engine/walk.h"

DestinationIndexMap DestinationIndex;

namespace {
// The index scan is the first destination walk of every run, so what an interrupted copy of an
// earlier run left behind is gone before any pass could take it for a file of the user's.
void RemoveLeftoverCopy(const wchar_t* root, const wchar_t* relativeFolder, const wchar_t* name) {
    PathBuffer path;
    if (ComposePath(path, root, relativeFolder, name)) FsRemoveLeftoverCopy(path.text);
}
}  // namespace

void BuildDestinationIndex(const wchar_t* root, const wchar_t* relativeFolder) {
    if (!relativeFolder) DestinationIndex.clear();
    ForEachEntry(root, relativeFolder, true, kFullEntries, [&](const FindEntry& entry) {
        if (IsFolder(entry)) {
            if (IsAlwaysSkippedFolder(entry.name) || IsLinkedFolder(entry)) return;
            PathBuffer child;
            if (!ChildRelativeFolder(child, relativeFolder, entry.name)) {
                ReportPathTooLong(root, relativeFolder, entry.name);
                return;
            }
            BuildDestinationIndex(root, child.text);
            return;
        }
        if (IsLeftoverCopyName(entry.name)) {
            RemoveLeftoverCopy(root, relativeFolder, entry.name);
            return;
        }
        DestinationIndex[entry.name].push_back(
            IndexEntry{entry.sizeHigh, entry.sizeLow, entry.lastWriteTime,
                       relativeFolder ? std::wstring(relativeFolder) : std::wstring()});
    });
}

const IndexEntry* FindMovedCounterpart(const FindEntry& sourceEntry, const wchar_t* sourceRoot) {
    auto found = DestinationIndex.find(sourceEntry.name);
    if (found == DestinationIndex.end()) return nullptr;
    for (const IndexEntry& candidate : found->second) {
        if (candidate.sizeLow != sourceEntry.sizeLow || candidate.sizeHigh != sourceEntry.sizeHigh) continue;
        if (CompareFileTimes(sourceEntry.lastWriteTime, candidate.lastWriteTime) != 0) continue;
        PathBuffer sourcePlace;
        const wchar_t* folder = candidate.relativeFolder.empty() ? nullptr : candidate.relativeFolder.c_str();
        // A place that cannot even be named cannot be checked: never take that candidate.
        if (!ComposePath(sourcePlace, sourceRoot, folder, sourceEntry.name)) continue;
        FileInfo info;
        if (!FsGetAttributesEx(sourcePlace.text, &info) || (info.attributes & kFileAttributeDirectory)) {
            return &candidate;
        }
    }
    return nullptr;
}
