#include "engine/copy_move_pass.h"

#include "engine/date_filter.h"
#include "engine/destination_index.h"
#include "engine/move_aside.h"
#include "engine/paths.h"
#include "engine/run_state.h"
#include "engine/walk.h"
#include "output/message.h"
#include "output/progress.h"

namespace {

constexpr int64_t kTwoSeconds = 20000000;

// The progress line, and the point where a requested stop abandons the copy under way.
uint32_t CopyProgressOrStop(int64_t totalSize, int64_t transferred) {
    if (StopRequested()) return kCopyCancel;
    return CopyProgressRoutine(totalSize, transferred);
}

bool SkippedByDate(const FindEntry& entry) {
    if (!DateFilter.enabled) return false;
    return CompareFileTimes(entry.creationTime, DateFilter.threshold) < 0 &&
           CompareFileTimes(entry.lastWriteTime, DateFilter.threshold) < 0;
}

// replaceExisting is set only once the destination file is safe in Backup; a file that the query
// missed (a failed query counts as missing) is never copied over.
void CopySourceFile(const wchar_t* sourceRoot, const wchar_t* relativeFolder, const wchar_t* name,
                    const wchar_t* destinationFile, bool replaceExisting) {
    PathBuffer sourceFile;
    if (!ComposePath(sourceFile, sourceRoot, relativeFolder, name)) {
        ReportPathTooLong(sourceRoot, relativeFolder, name);
        return;
    }
    WriteMessage(L"copy file %s\n", sourceFile.text);
    uint32_t error = FsCopyFile(sourceFile.text, destinationFile, CopyProgressOrStop, replaceExisting);
    // A copy abandoned for a stop is not a failure of the file: the stop line says why.
    if (error != 0 && !(error == kErrorCancelled && StopRequested())) {
        WriteFailure(L"copy %s failed: %u\n", sourceFile.text, error);
    }
}

// The destination lacks the file: move its twin from the folder it was moved away from, or copy.
// folderReady is kept by the walk of one source folder: once the chain of its destination folder
// has been made without a failure, nothing in this pass removes a folder, and what stands in the
// way of one cannot be moved while that folder is walked (a move into it would fail first), so
// the later files of the folder skip the chain and its system calls.
void BringMissingFile(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder,
                      const FindEntry& entry, const wchar_t* destinationFile, bool& folderReady) {
    const IndexEntry* twin = FindMovedCounterpart(entry, sourceRoot);
    if (!folderReady) {
        PathBuffer destinationFolder;
        FolderPath(destinationFolder, destinationRoot, relativeFolder);  // fits: destinationFile does
        folderReady = CreateDirectoryChain(destinationFolder.text) == 0;
    }
    if (twin) {
        const wchar_t* twinFolder = IndexedFolder(*twin)[0] != L'\0' ? IndexedFolder(*twin) : nullptr;
        PathBuffer oldPlace;
        if (!ComposePath(oldPlace, destinationRoot, twinFolder, entry.name)) {
            ReportPathTooLong(destinationRoot, twinFolder, entry.name);
        } else {
            WriteMessage(L"move file %s\n", oldPlace.text);
            uint32_t error = FsMoveFile(oldPlace.text, destinationFile);
            if (error == 0) return;
            WriteFailure(L"move %s failed: %u\n", oldPlace.text, error);
            // The twin may already have been taken by an earlier source file of the same name;
            // copying keeps the destination complete.
        }
    }
    CopySourceFile(sourceRoot, relativeFolder, entry.name, destinationFile, false);
}

void HandleSourceFile(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder,
                      const FindEntry& entry, bool differentFileSystems, bool& folderReady) {
    // A source tree that was once a destination may hold leftovers of an interrupted copy: no
    // file of the user's, and one the destination's next index scan would remove again.
    if (SkippedByDate(entry) || IsLeftoverCopyName(entry.name)) return;
    PathBuffer destinationFile;
    if (!ComposePath(destinationFile, destinationRoot, relativeFolder, entry.name)) {
        ReportPathTooLong(destinationRoot, relativeFolder, entry.name);
        return;
    }
    FileInfo present;
    if (!FsGetAttributesEx(destinationFile.text, &present) || (present.attributes & kFileAttributeDirectory)) {
        BringMissingFile(sourceRoot, destinationRoot, relativeFolder, entry, destinationFile.text, folderReady);
        return;
    }
    if (FilesAreEqual(entry.sizeHigh, entry.sizeLow, entry.lastWriteTime, present.sizeHigh, present.sizeLow,
                      present.lastWriteTime, differentFileSystems)) {
        return;
    }
    WriteMessage(L"backup file %s\n", destinationFile.text);
    // The copy goes over the destination file only once that file is safe in Backup.
    if (!MoveAside(destinationFile.text, destinationRoot, L"Backup", relativeFolder, entry.name)) return;
    CopySourceFile(sourceRoot, relativeFolder, entry.name, destinationFile.text, true);
}

}  // namespace

bool FilesAreEqual(uint32_t sizeHigh1, uint32_t sizeLow1, FileTime time1,
                   uint32_t sizeHigh2, uint32_t sizeLow2, FileTime time2, bool differentFileSystems) {
    if (sizeLow1 != sizeLow2 || sizeHigh1 != sizeHigh2) return false;
    if (!differentFileSystems) return CompareFileTimes(time1, time2) == 0;
    int64_t a = FileTimeToInt64(time1);
    int64_t b = FileTimeToInt64(time2);
    // Compare without overflow: the difference of two arbitrary 64-bit counts may not fit.
    return a >= b ? static_cast<uint64_t>(a) - static_cast<uint64_t>(b) <= static_cast<uint64_t>(kTwoSeconds)
                  : static_cast<uint64_t>(b) - static_cast<uint64_t>(a) <= static_cast<uint64_t>(kTwoSeconds);
}

void CopyAndMovePass(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder,
                     bool differentFileSystems) {
    bool folderReady = false;
    ForEachEntry(sourceRoot, relativeFolder, true, kFullEntries, [&](const FindEntry& entry) {
        if (!IsFolder(entry)) {
            HandleSourceFile(sourceRoot, destinationRoot, relativeFolder, entry, differentFileSystems, folderReady);
            return;
        }
        if (IsAlwaysSkippedFolder(entry.name)) return;
        PathBuffer child;
        if (!ChildRelativeFolder(child, relativeFolder, entry.name)) {
            ReportPathTooLong(sourceRoot, relativeFolder, entry.name);
            return;
        }
        CopyAndMovePass(sourceRoot, destinationRoot, child.text, differentFileSystems);
    });
}
