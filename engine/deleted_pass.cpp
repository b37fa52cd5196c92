#include "engine/deleted_pass.h"

#include <algorithm>
#include <cwchar>
#include <memory>
#include <vector>

#include "engine/destination_changes.h"
#include "engine/destination_index.h"
#include "engine/paths.h"
#include "engine/run_record.h"
#include "engine/walk.h"
#include "output/message.h"

namespace {

// What is known of the source folder that matches the destination folder being walked. A file
// goes into Deleted only on proof that its source is gone: its source folder was listed in full
// without it, or that folder itself is not there in a parent listed in full. A folder whose
// listing failed proves nothing, and nothing below it is moved.
//
// Most source folders were listed in full by the copy pass of the same run, which marked in the
// run record each file it met a source file for (kSourceKnown): those are not listed
// again. Folders it did not list in full (behind a link it did not follow, named in another case
// on Windows) are listed here (kSourceListed).
enum SourceState { kSourceKnown, kSourceListed, kSourceAbsent, kSourceUnknown };

// The plain files and the folders of one source folder by exact name, read with one listing (the
// copy pass's marks in the run record stand in for them in kSourceKnown).
struct SourceFolder {
    SourceState state = kSourceUnknown;
    std::vector<wchar_t> text;
    std::vector<uint32_t> files;    // sorted by name
    std::vector<uint32_t> folders;  // sorted by name
};

void SortNames(const SourceFolder& folder, std::vector<uint32_t>& names) {
    const wchar_t* text = folder.text.data();
    std::sort(names.begin(), names.end(), [text](uint32_t a, uint32_t b) { return wcscmp(text + a, text + b) < 0; });
}

// Lists source\relativeFolder; the state says whether that listing was whole.
void ListSourceFolder(SourceFolder& folder, const wchar_t* sourceRoot, const wchar_t* relativeFolder) {
    ListingResult result = ForEachEntry(sourceRoot, relativeFolder, false, kNamesAndTypes, true, [&](const FindEntry& entry) {
        std::vector<uint32_t>& names = IsFolder(entry) ? folder.folders : folder.files;
        // A file link names a file the source has; it is kept by name like any other.
        if (IsFolder(entry) && IsAlwaysSkippedFolder(entry.name)) return;
        names.push_back(static_cast<uint32_t>(folder.text.size()));
        folder.text.insert(folder.text.end(), entry.name, entry.name + wcslen(entry.name) + 1);
    });
    folder.state = result == kListingComplete ? kSourceListed : kSourceUnknown;
    SortNames(folder, folder.files);
    SortNames(folder, folder.folders);
}

// Takes what the copy pass learned of source\relativeFolder, or lists it when that is not enough.
// useKnowledge: the run record holds this run's copy pass's marks for this destination.
void TakeSourceFolder(SourceFolder& folder, const wchar_t* sourceRoot, const wchar_t* relativeFolder, bool useKnowledge) {
    if (useKnowledge && (SourceFolderKnowledge(relativeFolder) & kSourceFolderListed)) {
        folder.state = kSourceKnown;
        return;
    }
    ListSourceFolder(folder, sourceRoot, relativeFolder);
}

// Whether a name is among names, as the file system matches names.
bool HasName(const SourceFolder& folder, const std::vector<uint32_t>& names, const wchar_t* name) {
    const wchar_t* text = folder.text.data();
    auto at = std::lower_bound(names.begin(), names.end(), name,
                               [text](uint32_t a, const wchar_t* n) { return wcscmp(text + a, n) < 0; });
    if (at != names.end() && wcscmp(text + *at, name) == 0) return true;
    if (!FsNamesIgnoreCase()) return false;
    for (uint32_t start : names) {
        if (SameNameIgnoringCase(text + start, name)) return true;
    }
    return false;
}

// True when the source still has a file at sourcePlace. The listing decides; the query asks only
// about names the listing lacks, which catches a file made since it was read.
bool SourceHasFile(const wchar_t* sourcePlace, const wchar_t* name, const SourceFolder& source) {
    if (source.state == kSourceAbsent) return false;
    if (source.state == kSourceListed && HasName(source, source.files, name)) return true;
    FileInfo info;
    return FsGetAttributesEx(sourcePlace, &info) && !(info.attributes & kFileAttributeDirectory);
}

// indexed: the index holds the file, and marks are its marks in the run record.
void HandleDestinationFile(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder,
                           const wchar_t* name, const SourceFolder& source, bool indexed, uint32_t marks) {
    if (source.state == kSourceUnknown) return;
    // A file the scan did not see came during this run, a copy of a source file most likely: no
    // proof that its source is gone. One the copy pass met a source file for has its source.
    if (source.state == kSourceKnown && (!indexed || (marks & (kSourceFileSeen | kMovedAway)))) return;
    PathBuffer sourcePlace;
    if (!ComposePath(sourcePlace, sourceRoot, relativeFolder, name)) {
        // A place the source cannot even name is not proof that the file is gone: leave it.
        ReportPathTooLong(sourceRoot, relativeFolder, name);
        return;
    }
    if (SourceHasFile(sourcePlace.text, name, source)) return;

    PathBuffer destinationFile;
    if (!ComposePath(destinationFile, destinationRoot, relativeFolder, name)) {
        ReportPathTooLong(destinationRoot, relativeFolder, name);
        return;
    }
    MoveDeletedFile(destinationFile.text, destinationRoot, relativeFolder, name);
}

// What is known of the source folder of a destination sub-folder, given its parent's.
void LearnSourceFolder(SourceFolder& child, const SourceFolder& parent, const wchar_t* sourceRoot,
                       const wchar_t* childRelativeFolder, const wchar_t* name, bool useKnowledge) {
    if (parent.state == kSourceAbsent || parent.state == kSourceUnknown) {
        child.state = parent.state;
        return;
    }
    bool listedAsFolder = parent.state == kSourceListed
                              ? HasName(parent, parent.folders, name)
                              : (SourceFolderKnowledge(childRelativeFolder) & kSourceFolderMet) != 0;
    if (!listedAsFolder) {
        // Not among the folders of a whole listing; a folder made since is still looked at.
        PathBuffer place;
        uint32_t attributes = FolderPath(place, sourceRoot, childRelativeFolder) ? FsGetAttributes(place.text)
                                                                                  : kInvalidFileAttributes;
        if (attributes == kInvalidFileAttributes || !(attributes & kFileAttributeDirectory)) {
            child.state = kSourceAbsent;
            return;
        }
    }
    TakeSourceFolder(child, sourceRoot, childRelativeFolder, useKnowledge);
}

void WalkDestination(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder,
                     const SourceFolder& source) {
    ForEachEntry(destinationRoot, relativeFolder, true, kNamesAndTypes, true, [&](const FindEntry& entry) {
        if (!IsFolder(entry)) {
            // A leftover the index scan could not remove is no deleted file of the user's.
            if (!IsLeftoverCopyName(entry.name))
                HandleDestinationFile(sourceRoot, destinationRoot, relativeFolder, entry.name, source, false, 0);
            return;
        }
        if (IsDeletedWalkSkippedFolder(entry.name) || IsLinkedFolder(entry)) return;
        PathBuffer child;
        if (!ChildRelativeFolder(child, relativeFolder, entry.name)) {
            ReportPathTooLong(destinationRoot, relativeFolder, entry.name);
            return;
        }
        SourceFolder childSource;
        LearnSourceFolder(childSource, source, sourceRoot, child.text, entry.name, false);
        WalkDestination(sourceRoot, destinationRoot, child.text, childSource);
    });
}

// The destination as the index scan listed it, with what this run changed since, in the order of
// the scan's walk: each folder's other entries are counted where its walk began, and each indexed
// file still in its place is counted and judged where the scan met it. Nothing is listed again.
struct ReplayState {
    const wchar_t* sourceRoot;
    const wchar_t* destinationRoot;
    std::vector<std::unique_ptr<SourceFolder>> sources;  // by folder number; null: not walked
};

// Begins the walk of one folder; a folder the walk does not enter (below Deleted or Backup, never
// there, or below one that was not walked) stays without a source state.
void StartFolder(ReplayState& replay, uint32_t folder) {
    const RecordedFolder info = RecordedFolderAt(folder);
    const wchar_t* relativeFolder = RecordedRelativeFolder(folder);
    auto source = std::make_unique<SourceFolder>();
    if (folder == 0) {
        TakeSourceFolder(*source, replay.sourceRoot, nullptr, true);
    } else {
        if (!info.present || info.parent == kNoRecordedFolder || !replay.sources[info.parent]) return;
        const wchar_t* last = wcsrchr(relativeFolder, kPathSeparator);
        const wchar_t* name = last ? last + 1 : relativeFolder;
        if (IsDeletedWalkSkippedFolder(name)) return;
        LearnSourceFolder(*source, *replay.sources[info.parent], replay.sourceRoot, relativeFolder, name, true);
    }
    replay.sources[folder] = std::move(source);
    for (uint32_t i = 0; i < info.unindexedEntries && !StopRequested(); ++i) CountEntry();
    for (const auto& [metIn, name] : TooLongFolders()) {
        if (metIn == folder && !IsDeletedWalkSkippedFolder(name.c_str()))
            ReportPathTooLong(replay.destinationRoot, relativeFolder, name.c_str());
    }
}

void ReplayDestination(const wchar_t* sourceRoot, const wchar_t* destinationRoot) {
    // The folders the moves into Deleted make are registered as the replay goes; they lie below
    // Deleted and are never walked.
    const uint32_t folderCount = RecordedFolderCount();
    ReplayState replay{sourceRoot, destinationRoot, {}};
    replay.sources.resize(folderCount);
    uint32_t nextFolder = 0;
    uint32_t nextFirstFile = folderCount > 0 ? RecordedFolderAt(0).firstFile : 0;  // where nextFolder's walk begins
    uint32_t count = static_cast<uint32_t>(IndexedFileCount());
    // Folders are numbered as the scan began them, so their walks begin in number order; the
    // folders this run made come after every indexed file.
    for (uint32_t id = 0; id <= count; ++id) {
        while (nextFolder < folderCount && (id == count || nextFirstFile <= id)) {
            if (StopRequested()) return;
            StartFolder(replay, nextFolder++);
            if (nextFolder < folderCount) nextFirstFile = RecordedFolderAt(nextFolder).firstFile;
        }
        if (id == count || StopRequested()) return;
        const IndexEntry& entry = IndexedFile(id);
        const SourceFolder* source = replay.sources[entry.folder].get();
        if (!source) continue;
        uint32_t marks = FileMarks(id);
        if (marks & kMovedAway) continue;
        CountEntry();
        wchar_t name[kMaxEntryName + 1];
        IndexedName(id, name);
        HandleDestinationFile(sourceRoot, destinationRoot, IndexedFolder(entry), name, *source, true, marks);
    }
}

}  // namespace

void MoveDeletedPass(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder) {
    if (!relativeFolder && RecordCovers(destinationRoot)) {
        ReplayDestination(sourceRoot, destinationRoot);
        return;
    }
    // Without this run's index for this destination there are no marks to trust: list the source.
    SourceFolder source;
    TakeSourceFolder(source, sourceRoot, relativeFolder, false);
    WalkDestination(sourceRoot, destinationRoot, relativeFolder, source);
}
