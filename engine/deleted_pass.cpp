#include "engine/deleted_pass.h"

#include "engine/move_aside.h"
#include "engine/paths.h"
#include "engine/walk.h"
#include "output/message.h"

namespace {

void HandleDestinationFile(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder,
                           const FindEntry& entry) {
    PathBuffer sourcePlace;
    if (!ComposePath(sourcePlace, sourceRoot, relativeFolder, entry.name)) {
        // A place the source cannot even name is not proof that the file is gone: leave it.
        ReportPathTooLong(sourceRoot, relativeFolder, entry.name);
        return;
    }
    FileInfo info;
    if (FsGetAttributesEx(sourcePlace.text, &info) && !(info.attributes & kFileAttributeDirectory)) return;

    PathBuffer destinationFile, deletedFolder;
    if (!ComposePath(destinationFile, destinationRoot, relativeFolder, entry.name)) {
        ReportPathTooLong(destinationRoot, relativeFolder, entry.name);
        return;
    }
    WriteMessage(L"move deleted file %s\n", destinationFile.text);
    if (!FolderPath(deletedFolder, destinationRoot, L"Deleted") ||
        (relativeFolder && !AppendPathPart(deletedFolder, relativeFolder))) {
        ReportPathTooLong(destinationRoot, L"Deleted", relativeFolder);
        return;
    }
    MoveAside(destinationFile.text, deletedFolder.text, entry.name);
}

}  // namespace

void MoveDeletedPass(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder) {
    ForEachEntry(destinationRoot, relativeFolder, true, kNamesAndTypes, [&](const FindEntry& entry) {
        if (!IsFolder(entry)) {
            // A leftover the index scan could not remove is no deleted file of the user's.
            if (!IsLeftoverCopyName(entry.name)) HandleDestinationFile(sourceRoot, destinationRoot, relativeFolder, entry);
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
