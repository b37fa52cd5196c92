#include "engine/copy_move_pass.h"

#include <cwchar>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/date_filter.h"
#include "engine/destination_changes.h"
#include "engine/destination_index.h"
#include "engine/destination_times.h"
#include "engine/paths.h"
#include "engine/run_record.h"
#include "engine/run_state.h"
#include "engine/same_content.h"
#include "engine/walk.h"
#include "output/message.h"

namespace {

constexpr int64_t kTwoSeconds = 20000000;

bool SkippedByDate(const FindEntry& entry) {
    if (!DateFilter.enabled) return false;
    return CompareFileTimes(entry.creationTime, DateFilter.threshold) < 0 &&
           CompareFileTimes(entry.lastWriteTime, DateFilter.threshold) < 0;
}

// Copies the source file into its place, or names the copy refused: refused holds the error that
// stopped its folder. A copy never replaces: a file that the query missed (a failed query counts
// as missing), or that another program saved after the old one went into Backup, stays, and the
// copy fails.
void CopySourceFile(const wchar_t* sourceRoot, const wchar_t* relativeFolder, const FindEntry& entry,
                    const wchar_t* destinationFile, uint32_t refused = 0) {
    PathBuffer sourceFile;
    if (!ComposePath(sourceFile, sourceRoot, relativeFolder, entry.name)) {
        ReportPathTooLong(sourceRoot, relativeFolder, entry.name);
        return;
    }
    if (refused) {
        RefuseCopy(sourceFile.text, refused);
        return;
    }
    CopyIntoPlace(sourceFile.text, destinationFile, entry.name, entry.lastWriteTime,
                  static_cast<uint64_t>(entry.sizeHigh) << 32 | entry.sizeLow);
}

// The state of the destination folder of one source folder, kept by its walk: once its chain has
// been made without a failure, nothing in this pass removes a folder, and what stands in the way
// of one cannot be moved while that folder is walked (a move into it would fail first), so the
// later files of the folder skip the chain and its system calls. A link in the way blocks them all.
enum FolderState { kFolderUnknown, kFolderReady, kFolderBlocked };

// The digests of the first bytes of the look-alikes compared in this run (HeadDigest), by id.
struct CandidateHead {
    bool readable;
    uint64_t digest;
};
std::unordered_map<uint32_t, CandidateHead> g_candidateHeads;

// The old place of an indexed file in the destination; false when it cannot be named (reported
// when report is set).
bool OldPlace(PathBuffer& path, const wchar_t* destinationRoot, uint32_t twin, const wchar_t* name,
              bool report = true) {
    const wchar_t* folder = IndexedFolder(IndexedFile(twin));
    if (ComposePath(path, destinationRoot, folder, name)) return true;
    if (report) ReportPathTooLong(destinationRoot, folder, name);
    return false;
}

// The first look-alike after `after` (kNoIndexEntry: from the start) that is still at its place
// in this run, at whose place the copy pass met no source file, and whose own place in the source
// holds no file: the file that moved. What a look at a place found is kept for the run, so that a
// look-alike met by many source files of its name is looked at once; kNoIndexEntry when none.
uint32_t FindMovedCounterpart(const FindEntry& sourceEntry, const wchar_t* sourceRoot, int64_t tolerance,
                              uint32_t after = kNoIndexEntry) {
    for (uint32_t id = FindLookAlike(sourceEntry, tolerance, after); id != kNoIndexEntry;
         id = FindLookAlike(sourceEntry, tolerance, id)) {
        uint32_t marks = FileMarks(id);
        // Moved away (as a twin, or into Backup): nothing of it is at its place any more. Met
        // by the source, or looked at and found held: its own source file still stands there.
        if (marks & (kMovedAway | kSourceFileSeen | kSourcePlaceHeld)) continue;
        if (!(marks & kSourcePlaceEmpty)) {
            PathBuffer sourcePlace;
            // A place that cannot even be named cannot be checked: never take that candidate.
            FileInfo info;
            bool empty = ComposePath(sourcePlace, sourceRoot, IndexedFolder(IndexedFile(id)), sourceEntry.name) &&
                         (!FsGetAttributesEx(sourcePlace.text, &info) || (info.attributes & kFileAttributeDirectory));
            NoteSourcePlace(id, !empty);
            if (!empty) continue;
        }
        return id;
    }
    return kNoIndexEntry;
}

// Whether this run already moved a look-alike of the source file into place for another source
// file (kTakenAsTwin).
bool TwinTakenBefore(const FindEntry& sourceEntry, int64_t tolerance) {
    for (uint32_t id = FindLookAlike(sourceEntry, tolerance); id != kNoIndexEntry;
         id = FindLookAlike(sourceEntry, tolerance, id)) {
        if (FileMarks(id) & kTakenAsTwin) return true;
    }
    return false;
}

// The index id of the destination file to move into the source file's place, or kNoIndexEntry to
// copy. A lone look-alike (name, size and time) is taken as it is, unread. Where several qualify,
// or one already went to another source file of this name (so look-alikes of different content
// are about), only one whose bytes equal the source file's is taken: a wrong one would pass for
// the source's file in every later run.
uint32_t ChooseTwin(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder,
                    const FindEntry& entry, int64_t tolerance) {
    uint32_t first = FindMovedCounterpart(entry, sourceRoot, tolerance);
    if (first == kNoIndexEntry) return kNoIndexEntry;
    uint32_t second = FindMovedCounterpart(entry, sourceRoot, tolerance, first);
    if (second == kNoIndexEntry && !TwinTakenBefore(entry, tolerance)) return first;
    PathBuffer sourceFile;
    if (!ComposePath(sourceFile, sourceRoot, relativeFolder, entry.name)) return kNoIndexEntry;  // the copy reports it
    ContentSource source;
    uint64_t size = static_cast<uint64_t>(entry.sizeHigh) << 32 | entry.sizeLow;
    if (!OpenContentSource(sourceFile.text, size, &source)) return kNoIndexEntry;  // the copy reports it
    uint64_t sourceHead = SourceHeadDigest(source);
    uint32_t proven = kNoIndexEntry;
    for (uint32_t candidate = first; candidate != kNoIndexEntry && proven == kNoIndexEntry;) {
        PathBuffer oldPlace;
        // One that cannot be named cannot be moved either: it proves nothing, and is no failure.
        ContentVerdict verdict = kCandidateUnreadable;
        if (OldPlace(oldPlace, destinationRoot, candidate, entry.name, false)) {
            // Each candidate's first bytes are read once per run, however many source files of
            // its name look at it; only one that begins as the source does is compared whole.
            auto known = g_candidateHeads.find(candidate);
            if (known == g_candidateHeads.end()) {
                uint64_t digest = 0;
                verdict = CompareHead(source, oldPlace.text, &digest);
                g_candidateHeads.emplace(candidate, CandidateHead{verdict != kCandidateUnreadable, digest});
            } else if (!known->second.readable) {
                verdict = kCandidateUnreadable;
            } else {
                verdict = known->second.digest == sourceHead ? kContentHeadEqual : kContentDiffers;
            }
            if (verdict == kContentHeadEqual) verdict = CompareWithSource(source, oldPlace.text);
        }
        if (verdict == kSourceUnreadable) break;
        if (verdict == kContentEqual) proven = candidate;
        else candidate = FindMovedCounterpart(entry, sourceRoot, tolerance, candidate);  // its source place is known by now
    }
    CloseContentSource(source);
    return proven;
}

// The destination lacks the file: move its twin from the folder it was moved away from, or copy.
void BringMissingFile(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder,
                      const FindEntry& entry, const wchar_t* destinationFile, FolderState& folder, int64_t tolerance) {
    uint32_t refused = 0;
    if (folder == kFolderUnknown) {
        ChainResult chain = MakeDestinationFolders(destinationRoot, relativeFolder, &refused);
        if (chain == kChainReady) folder = kFolderReady;
        if (chain == kChainReported) folder = kFolderBlocked;
    }
    if (folder == kFolderBlocked) return;  // named once; nothing goes through the link
    uint32_t twin = refused ? kNoIndexEntry : ChooseTwin(sourceRoot, destinationRoot, relativeFolder, entry, tolerance);
    PathBuffer oldPlace;
    if (twin != kNoIndexEntry && OldPlace(oldPlace, destinationRoot, twin, entry.name)) {
        MoveResult moved = MoveTwin(twin, oldPlace.text, destinationFile, relativeFolder);
        if (moved == kMoved) return;
        // A link swapped in on the way: nothing more goes through it, and it was named.
        if (moved == kMoveLinkInTheWay) {
            folder = kFolderBlocked;
            return;
        }
        // Someone else moved or removed it meanwhile: copying keeps the destination complete.
    }
    CopySourceFile(sourceRoot, relativeFolder, entry, destinationFile, refused);
}

// indexed: the destination folder's files as the index scan found them (ListIndexedFiles);
// backupReady: this folder's way into Backup was found clear (BackUpFile).
void HandleSourceFile(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder,
                      const FindEntry& entry, bool differentFileSystems, FolderState& folder,
                      const std::vector<uint64_t>& indexed, bool& backupReady) {
    // A source tree that was once a destination may hold leftovers of an interrupted copy: no
    // file of the user's, and one the destination's next index scan would remove again.
    if (IsLeftoverCopyName(entry.name)) return;
    // A queued copy to this very place would stand where this file is looked at, moved or copied.
    if (CopyPendingFor(entry.name)) SettleCopies(relativeFolder);
    uint32_t knownId = kNoIndexEntry;
    const IndexEntry* known = FindIndexedFile(indexed, entry.name, &knownId);
    // The source has a file at this place: whatever becomes of the destination's, it is no
    // deleted file.
    if (known) MarkSourceFileSeen(knownId);
    if (entry.error != 0 || (entry.attributes & kFileAttributeDevice)) {
        // Without its size and time the file cannot be compared: putting the destination's copy
        // aside on a guess could leave it with none. A FIFO or a device is no file to copy, and
        // even opening it reaches into the source: it is named from the listing alone.
        PathBuffer sourceFile;
        if (ComposePath(sourceFile, sourceRoot, relativeFolder, entry.name)) {
            WriteFailure(L"read file %s failed: %u\n", sourceFile.text, entry.error ? entry.error : kErrorNotSupported);
        } else {
            ReportPathTooLong(sourceRoot, relativeFolder, entry.name);
        }
        return;
    }
    if (SkippedByDate(entry)) return;
    PathBuffer destinationFile;
    if (!ComposePath(destinationFile, destinationRoot, relativeFolder, entry.name)) {
        ReportPathTooLong(destinationRoot, relativeFolder, entry.name);
        return;
    }
    FileInfo present;
    bool there = true;
    if (known && known->described && !(FileMarks(knownId) & kMovedAway)) {
        // The scan's listing described this very file, and nothing in this run has moved it
        // away since: the query would say the same.
        present = FileInfo{kFileAttributeNormal, FileTime{0, 0}, known->lastWriteTime, known->sizeHigh, known->sizeLow};
    } else {
        there = FsGetAttributesEx(destinationFile.text, &present);
        if (there && !(present.attributes & (kFileAttributeDirectory | kFileAttributeReparsePoint | kFileAttributeDevice)))
            NoteDestinationTime(present.lastWriteTime);  // before it is compared under what the times show
    }
    // A link where the source has a file is no copy of it, whatever it leads to (or if nothing):
    // the link itself goes aside like a changed file, and nothing is written through it.
    bool link = there && (present.attributes & kFileAttributeReparsePoint);
    if (!link && (!there || (present.attributes & kFileAttributeDirectory))) {
        BringMissingFile(sourceRoot, destinationRoot, relativeFolder, entry, destinationFile.text, folder,
                         differentFileSystems ? kTwoSeconds : 0);
        return;
    }
    if (!link && FilesAreEqual(entry.sizeHigh, entry.sizeLow, entry.lastWriteTime, present.sizeHigh,
                               present.sizeLow, present.lastWriteTime, differentFileSystems)) {
        return;
    }
    // The copy goes into the destination file's place only once that file is safe in Backup.
    if (!BackUpFile(destinationFile.text, destinationRoot, relativeFolder, entry.name, knownId, &backupReady)) return;
    CopySourceFile(sourceRoot, relativeFolder, entry, destinationFile.text);
}

// What the walk of the source keeps while it goes down. The identities of the folders on the
// walk path are asked only once a link has been met, so a tree without links costs nothing.
struct SourceWalk {
    const wchar_t* sourceRoot;
    const wchar_t* destinationRoot;
    bool differentFileSystems;
    std::vector<FolderId> path;  // identities of the folders on the walk path, root first
    bool destinationKnown = false;
    FolderId destination{};
};

enum FolderVerdict { kWalkFolder, kNotFollowed, kCannotTell };

bool OnWalkPath(const SourceWalk& walk, const FolderId& id) {
    for (const FolderId& known : walk.path) {
        if (SameFolder(known, id)) return true;
    }
    return false;
}

// The number of folders below the root down to relativeFolder: 0 for the root itself.
size_t Level(const wchar_t* relativeFolder) {
    if (!relativeFolder) return 0;
    size_t level = 1;
    for (const wchar_t* c = relativeFolder; *c; ++c) level += *c == kPathSeparator;
    return level;
}

// Fills in the identities of the walk path from the root down to relativeFolder, and the
// destination's; 0, or the error number of the one that could not be had.
uint32_t KnowWalkPath(SourceWalk& walk, const wchar_t* relativeFolder) {
    if (!walk.destinationKnown) {
        if (uint32_t error = FsGetFolderId(walk.destinationRoot, &walk.destination)) return error;
        walk.destinationKnown = true;
    }
    FolderId id;
    if (walk.path.empty()) {
        if (uint32_t error = FsGetFolderId(walk.sourceRoot, &id)) return error;
        walk.path.push_back(id);
    }
    if (!relativeFolder) return 0;
    size_t level = 1;
    for (size_t i = 0;; ++i) {
        if (relativeFolder[i] != kPathSeparator && relativeFolder[i] != L'\0') continue;
        if (level >= walk.path.size()) {
            wchar_t prefix[kMaxPath + 1];
            wmemcpy(prefix, relativeFolder, i);
            prefix[i] = L'\0';
            PathBuffer folder;
            FolderPath(folder, walk.sourceRoot, prefix);  // fits: the longer relative folder did
            if (uint32_t error = FsGetFolderId(folder.text, &id)) return error;
            walk.path.push_back(id);
        }
        if (relativeFolder[i] == L'\0') return 0;
        ++level;
    }
}

// Whether a sub-folder of the source is walked. Below a link the tree can lead anywhere: a
// folder that is already on the walk path would be walked without end, and the destination (or
// anything in it) would be copied into itself and, with "d", moved into Deleted, one level deeper
// on every run. Such a folder is named once and passed over.
FolderVerdict JudgeSourceFolder(SourceWalk& walk, const wchar_t* relativeFolder, const wchar_t* childFolder,
                                const wchar_t* folderPath, bool link, bool belowLink) {
    if (!link && !belowLink) return kWalkFolder;
    FolderId id;
    uint32_t error = KnowWalkPath(walk, relativeFolder);
    if (error == 0) error = FsGetFolderId(folderPath, &id);
    bool inside = false;
    if (error == 0 && !OnWalkPath(walk, id)) {
        if (SameFolder(id, walk.destination)) {
            inside = true;
        } else if (link) {
            error = FsFolderContains(walk.destinationRoot, folderPath, &inside);
        }
        if (error == 0 && !inside) {
            walk.path.push_back(id);  // the folder is entered next: its own place on the walk path
            return kWalkFolder;
        }
    }
    if (error != 0) {
        // What cannot be told apart from a loop or the destination is not walked.
        ReportUnreadableFolder(walk.sourceRoot, childFolder, error);
        return kCannotTell;
    }
    WriteMessage(L"link not followed %s\n", folderPath);
    return kNotFollowed;
}

// A link in the destination where the source has a folder would take every file of that folder
// out of the destination, into wherever it leads. destinationAbsent says that the destination has
// nothing at the parent's place, so nothing below it needs a look.
bool DestinationFolderIsLink(const wchar_t* destinationRoot, const wchar_t* relativeFolder, bool* destinationAbsent) {
    PathBuffer folder;
    if (!FolderPath(folder, destinationRoot, relativeFolder)) return false;  // reported by the walk
    uint32_t attributes = FsGetAttributes(folder.text);
    *destinationAbsent = attributes == kInvalidFileAttributes;
    if (attributes == kInvalidFileAttributes || !(attributes & kFileAttributeReparsePoint)) return false;
    WriteFailure(L"link in the way %s\n", folder.text);
    return true;
}

// Lists the source folder for the walk as ForEachEntry does. Where the destination ignores case,
// two source names that differ only in case (a folder with case sensitivity on, a share that
// tells them apart) would take turns at one destination file: a new version in Backup on every
// run, or with "d" a file in Deleted one run and back the next. Of such names only the first in
// code-unit order is visited, whatever order the listing gives; every other one is named, once per
// run, and left alone. The listing is then read whole before the first entry is visited.
template <typename Visit>
ListingResult ForEachSourceEntry(const wchar_t* sourceRoot, const wchar_t* relativeFolder, Visit&& visit) {
    if (!FsNamesIgnoreCase()) return ForEachEntry(sourceRoot, relativeFolder, true, kFullEntries, true, visit);
    std::vector<FindEntry> entries;
    ListingResult result = ForEachEntry(sourceRoot, relativeFolder, false, kFullEntries, true,
                                        [&](const FindEntry& entry) { entries.push_back(entry); });
    std::unordered_map<std::wstring, size_t> first;  // folded name to the entry that is visited
    for (size_t i = 0; i < entries.size(); ++i) {
        auto [at, added] = first.emplace(FoldedName(entries[i].name), i);
        if (!added && wcscmp(entries[i].name, entries[at->second].name) < 0) at->second = i;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        if (StopRequested()) return kListingStopped;
        CountEntry();
        if (first[FoldedName(entries[i].name)] == i) {
            visit(entries[i]);
            continue;
        }
        PathBuffer path;
        if (ComposePath(path, sourceRoot, relativeFolder, entries[i].name)) {
            WriteFailure(L"name differs only in case %s\n", path.text);
        } else {
            ReportPathTooLong(sourceRoot, relativeFolder, entries[i].name);
        }
    }
    return result;
}

ListingResult WalkSource(SourceWalk& walk, const wchar_t* relativeFolder, bool belowLink, bool destinationAbsent) {
    FolderState folder = kFolderUnknown;
    bool backupReady = false;
    std::vector<uint64_t> indexed;
    if (!destinationAbsent) ListIndexedFiles(relativeFolder, &indexed);
    ListingResult result = ForEachSourceEntry(walk.sourceRoot, relativeFolder, [&](const FindEntry& entry) {
        if (!IsFolder(entry)) {
            HandleSourceFile(walk.sourceRoot, walk.destinationRoot, relativeFolder, entry, walk.differentFileSystems,
                             folder, indexed, backupReady);
            return;
        }
        if (IsAlwaysSkippedFolder(entry.name)) return;
        // The queued copies belong to this folder and are noted as its own; below it, too, the
        // walk looks at and makes places that only a finished copy leaves as a one-at-a-time run would.
        SettleCopies(relativeFolder);
        PathBuffer child, folderPath;
        if (!ChildRelativeFolder(child, relativeFolder, entry.name) ||
            !FolderPath(folderPath, walk.sourceRoot, child.text)) {
            ReportPathTooLong(walk.sourceRoot, relativeFolder, entry.name);
            return;
        }
        NoteSourceFolder(child.text, kSourceFolderMet);
        bool link = (entry.attributes & kFileAttributeReparsePoint) != 0;
        if (JudgeSourceFolder(walk, relativeFolder, child.text, folderPath.text, link, belowLink) != kWalkFolder) return;
        bool childAbsent = destinationAbsent;
        if (!destinationAbsent && DestinationFolderIsLink(walk.destinationRoot, child.text, &childAbsent)) return;
        WalkSource(walk, child.text, belowLink || link, childAbsent);
        // What was learned below this folder is not on the walk path of its next entries.
        size_t keep = Level(relativeFolder) + 1;
        if (walk.path.size() > keep) walk.path.resize(keep);
    });
    SettleCopies(relativeFolder);
    // The deleted-files pass takes the files of a folder listed in full from what was met here.
    if (result == kListingComplete) NoteSourceFolder(relativeFolder, kSourceFolderListed);
    return result;
}

}  // namespace

bool FilesAreEqual(uint32_t sizeHigh1, uint32_t sizeLow1, FileTime time1,
                   uint32_t sizeHigh2, uint32_t sizeLow2, FileTime time2, bool differentFileSystems) {
    if (sizeLow1 != sizeLow2 || sizeHigh1 != sizeHigh2) return false;
    return DestinationTimeMatches(time1, time2, differentFileSystems ? kTwoSeconds : 0);
}

ListingResult CopyAndMovePass(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder,
                              bool differentFileSystems) {
    SourceWalk walk{sourceRoot, destinationRoot, differentFileSystems, {}, false, {}};
    g_candidateHeads.clear();
    BeginCopies();
    ListingResult result = WalkSource(walk, relativeFolder, false, false);
    EndCopies();
    return result;
}
