#include "engine/destination_changes.h"

#include <cwchar>
#include <string>

#include "engine/copy_queue.h"
#include "engine/destination_index.h"
#include "engine/destination_times.h"
#include "engine/paths.h"
#include "engine/run_record.h"
#include "engine/run_state.h"
#include "output/message.h"
#include "output/progress.h"

namespace {

// Far more versions of one file than anyone keeps; past it the move fails as taken.
constexpr unsigned kMaxNumberedName = 100000;

// The root the writes are guarded below; empty outside a run.
std::wstring g_root;

// The first folder on the way to path's last part, below the root, that is a link now.
bool FindLinkOnTheWay(const wchar_t* path, PathBuffer& link) {
    size_t start = g_root.size();
    if (start == 0 || wcsncmp(path, g_root.c_str(), start) != 0) return false;
    if (path[start] == kPathSeparator) {
        ++start;
    } else if (g_root.back() != kPathSeparator) {
        return false;  // a longer name beside the root
    }
    const wchar_t* last = wcsrchr(path + start, kPathSeparator);
    if (!last) return false;
    for (size_t i = start; i <= static_cast<size_t>(last - path); ++i) {
        if (path[i] != kPathSeparator) continue;
        wmemcpy(link.text, path, i);
        link.text[i] = L'\0';
        uint32_t attributes = FsGetAttributes(link.text);
        if (attributes != kInvalidFileAttributes && (attributes & kFileAttributeReparsePoint)) return true;
    }
    return false;
}

// Names the link that stopped a change at path (for a move, at path or other). Should it be gone
// again already, the folder the change went into stands for it.
void ReportLinkInTheWay(const wchar_t* path, const wchar_t* other = nullptr) {
    PathBuffer link;
    if (!FindLinkOnTheWay(path, link) && !(other && FindLinkOnTheWay(other, link))) {
        CopyPath(link, path);  // fits: path did
        if (wchar_t* last = wcsrchr(link.text, kPathSeparator)) *last = L'\0';
    }
    WriteFailure(L"link in the way %s\n", link.text);
}

// Writes why a change at path (and other) failed: the link, when the file-system layer refused
// the change for one on the way; else format with named and error. True for a link.
bool ReportChangeFailure(const wchar_t* format, const wchar_t* named, uint32_t error, const wchar_t* path,
                         const wchar_t* other = nullptr) {
    if (error == kErrorLinkInTheWay) {
        ReportLinkInTheWay(path, other);
        return true;
    }
    WriteFailure(format, named, error);
    return false;
}

// Moves file into folder as name (from number 1) or as the first free numbered name from
// firstNumber on. On failure writes "move %s failed: %u\n" naming file (or "path too long").
MoveResult MoveToFreeName(const wchar_t* file, const wchar_t* folder, const wchar_t* name, unsigned firstNumber) {
    wchar_t candidateName[kMaxEntryName + 16];
    for (unsigned number = firstNumber;; ++number) {
        const wchar_t* target = name;
        if (number > 1) {
            if (!NumberedName(candidateName, sizeof(candidateName) / sizeof(wchar_t), name, number)) {
                ReportPathTooLong(folder, nullptr, name);
                return kMoveFailed;
            }
            target = candidateName;
        }
        PathBuffer targetPath;
        if (!CopyPath(targetPath, folder) || !AppendPathPart(targetPath, target)) {
            ReportPathTooLong(folder, nullptr, target);
            return kMoveFailed;
        }
        uint32_t error = FsMoveFile(file, targetPath.text);
        if (error == 0) return kMoved;
        if (error != kErrorAlreadyExists || number > kMaxNumberedName) {
            return ReportChangeFailure(L"move %s failed: %u\n", file, error, targetPath.text, file) ? kMoveLinkInTheWay
                                                                                                  : kMoveFailed;
        }
    }
}

// A file kept in Backup or Deleted stands where a folder is needed now (a file X was deleted,
// later a folder X was): it moves to a free numbered name beside itself, so that nothing stays
// stuck. keptFile lies in folder (relativeFolder below the root) as name.
bool MoveKeptFileAside(const wchar_t* keptFile, const wchar_t* folder, const wchar_t* relativeFolder,
                       const wchar_t* name) {
    WriteMessage(L"move kept file %s\n", keptFile);
    if (MoveToFreeName(keptFile, folder, name, 2) != kMoved) return false;
    // Its old place holds a folder from now on, whatever the index scan found there.
    for (uint32_t id = NextIndexedFileIn(relativeFolder, name, kNoIndexEntry); id != kNoIndexEntry;
         id = NextIndexedFileIn(relativeFolder, name, id)) {
        MarkMovedAway(id);
    }
    return true;
}

// The one walk down a folder chain below root, for the copy pass's folders and for the way into
// Backup and Deleted alike: each part is looked at before anything is made in it, and below a
// folder made here nothing can be there yet. In an archive chain (its first part Backup or
// Deleted) a kept file in the way of a folder makes way; where the source needs a folder, a file
// in the way is the user's and fails the chain.
ChainResult MakeChain(const wchar_t* root, const wchar_t* relativeFolder, bool archive, uint32_t* error) {
    PathBuffer prefix, relative;
    relative.text[0] = L'\0';
    if (!CopyPath(prefix, root)) {
        *error = kErrorPathNotFound;
        return kChainFailed;
    }
    bool made = false;
    bool atArchive = archive;
    for (const wchar_t* part = relativeFolder; part && *part != L'\0';) {
        const wchar_t* end = wcschr(part, kPathSeparator);
        size_t length = end ? static_cast<size_t>(end - part) : wcslen(part);
        wchar_t component[kMaxPath + 1];
        size_t parentLength = wcslen(prefix.text), parentRelativeLength = wcslen(relative.text);
        if (length > kMaxPath) {
            *error = kErrorPathNotFound;
            return kChainFailed;
        }
        wmemcpy(component, part, length);
        component[length] = L'\0';
        if (!AppendPathPart(prefix, component) || !AppendPathPart(relative, component)) {
            *error = kErrorPathNotFound;
            return kChainFailed;
        }
        part = end ? end + 1 : part + length;
        bool archiveItself = atArchive;
        atArchive = false;
        if (!made) {
            uint32_t attributes = FsGetAttributes(prefix.text);
            if (attributes != kInvalidFileAttributes) {
                if (attributes & kFileAttributeReparsePoint) {
                    WriteFailure(L"link in the way %s\n", prefix.text);
                    return kChainReported;
                }
                if (attributes & kFileAttributeDirectory) continue;
                if (!archive) {
                    *error = kErrorAlreadyExists;
                    return kChainFailed;
                }
                // The archive folder itself is the user's file (mirrored from the source, say):
                // the move fails on it and says so.
                if (archiveItself) return kChainReady;
                std::wstring parent(prefix.text, parentLength), parentRelative(relative.text, parentRelativeLength);
                if (!MoveKeptFileAside(prefix.text, parent.c_str(), parentRelative.c_str(), component)) return kChainReported;
            }
        }
        // "Already there" after a query that found nothing cannot be told from a link: refused.
        if (uint32_t failure = FsCreateDirectory(prefix.text)) {
            if (failure == kErrorLinkInTheWay) {
                ReportLinkInTheWay(prefix.text);
                return kChainReported;
            }
            *error = failure;
            return kChainFailed;
        }
        NoteMadeFolder(relative.text);
        made = true;
    }
    return kChainReady;
}

// Moves file into destinationRoot\archiveName\relativeFolder as the header says.
bool MoveIntoArchive(const wchar_t* file, const wchar_t* destinationRoot, const wchar_t* archiveName,
                     const wchar_t* relativeFolder, const wchar_t* name, bool* archiveReady) {
    PathBuffer archive, folder;
    if (!FolderPath(archive, destinationRoot, archiveName) || !FolderPath(folder, archive.text, relativeFolder)) {
        ReportPathTooLong(destinationRoot, archiveName, relativeFolder);
        return false;
    }
    // Once the way was found clear in this walk of the folder it stays so: the walk removes no
    // folder, and nothing but files moving into the archive folder changes below it.
    if (!(archiveReady && *archiveReady)) {
        PathBuffer chain;
        FolderPath(chain, archiveName, relativeFolder);  // fits: so did the longer folder
        uint32_t error = 0;
        ChainResult made = MakeChain(destinationRoot, chain.text, true, &error);
        if (made == kChainFailed) WriteFailure(L"move %s failed: %u\n", file, error);
        if (made != kChainReady) return false;
        if (archiveReady) *archiveReady = true;
    }
    return MoveToFreeName(file, folder.text, name, 1) == kMoved;
}

// The progress line, and the point where a requested stop abandons the copy under way.
static_assert(kProgressContinue == kCopyContinue, "the progress line's answer must let the copy go on");
uint32_t CopyProgressOrStop(int64_t totalSize, int64_t transferred) {
    if (StopRequested()) return kCopyCancel;
    return CopyProgressRoutine(totalSize, transferred);
}

// One copy with its lines, on whichever thread the queue runs it.
bool CopyNow(const wchar_t* source, const wchar_t* destination, FileTime sourceTime, uint64_t size, bool* abandoned) {
    WriteMessage(L"copy file %s\n", source);
    // Never over a file: the place was looked at and found empty, or emptied by the move into
    // Backup, and whatever stands there now another program put there meanwhile.
    uint32_t error = FsCopyFile(source, destination, CopyProgressOrStop, false);
    // A copy abandoned for a stop is not a failure of the file: the stop line says why.
    *abandoned = error == kErrorCancelled && StopRequested();
    if (error != 0 && !*abandoned) ReportChangeFailure(L"copy %s failed: %u\n", source, error, destination);
    if (error == 0) LearnFromCopy(destination, sourceTime, size);
    return error == 0;
}

}  // namespace

void BeginDestinationChanges(const wchar_t* destinationRoot) {
    g_root = destinationRoot;
    FsGuardWritesBelow(destinationRoot);
}

void EndDestinationChanges() {
    FsGuardWritesBelow(nullptr);
    g_root.clear();
}

void RemoveLeftoverCopies() {
    for (const auto& [folder, name] : FoundLeftovers()) {
        PathBuffer path;
        if (ComposePath(path, RecordedRoot(), RecordedRelativeFolder(folder), name.c_str()) &&
            FsRemoveLeftoverCopy(path.text) == 0)
            NoteLeftoverRemoved(folder);
    }
}

ChainResult MakeDestinationFolders(const wchar_t* destinationRoot, const wchar_t* relativeFolder, uint32_t* error) {
    return MakeChain(destinationRoot, relativeFolder, false, error);
}

void BeginCopies() { BeginCopyQueue(CopyNow); }

void EndCopies() { EndCopyQueue(); }

void CopyIntoPlace(const wchar_t* sourceFile, const wchar_t* destinationFile, const wchar_t* name,
                   FileTime sourceTime, uint64_t size) {
    QueueCopy(sourceFile, destinationFile, name, sourceTime, size);
}

void RefuseCopy(const wchar_t* sourceFile, uint32_t error) {
    WriteMessage(L"copy file %s\n", sourceFile);
    WriteFailure(L"copy %s failed: %u\n", sourceFile, error);
}

bool CopyPendingFor(const wchar_t* name) { return CopyQueuedFor(name); }

void SettleCopies(const wchar_t* relativeFolder) {
    for (uint32_t n = WaitForQueuedCopies(); n > 0; --n) NoteArrivedFile(relativeFolder);
}

MoveResult MoveTwin(uint32_t twin, const wchar_t* oldPlace, const wchar_t* destinationFile,
                    const wchar_t* relativeFolder) {
    WriteMessage(L"move file %s\n", oldPlace);
    uint32_t error = FsMoveFile(oldPlace, destinationFile);
    if (error == 0) {
        MarkTakenAsTwin(twin);  // its old place holds nothing now
        NoteArrivedFile(relativeFolder);
        return kMoved;
    }
    return ReportChangeFailure(L"move %s failed: %u\n", oldPlace, error, destinationFile, oldPlace) ? kMoveLinkInTheWay
                                                                                                   : kMoveFailed;
}

bool BackUpFile(const wchar_t* destinationFile, const wchar_t* destinationRoot, const wchar_t* relativeFolder,
                const wchar_t* name, uint32_t known, bool* backupReady) {
    WriteMessage(L"backup file %s\n", destinationFile);
    if (!MoveIntoArchive(destinationFile, destinationRoot, L"Backup", relativeFolder, name, backupReady)) return false;
    if (known != kNoIndexEntry) MarkMovedAway(known);
    return true;
}

bool MoveDeletedFile(const wchar_t* destinationFile, const wchar_t* destinationRoot, const wchar_t* relativeFolder,
                     const wchar_t* name) {
    WriteMessage(L"move deleted file %s\n", destinationFile);
    return MoveIntoArchive(destinationFile, destinationRoot, L"Deleted", relativeFolder, name, nullptr);
}

void RemoveEmptyFolder(const wchar_t* root, const wchar_t* relativeFolder) {
    PathBuffer folder;
    if (!FolderPath(folder, root, relativeFolder)) return;  // never: its listing pattern fitted
    if (uint32_t error = FsRemoveDirectory(folder.text))
        ReportChangeFailure(L"delete empty folder %s failed: %u\n", folder.text, error, folder.text);
}
