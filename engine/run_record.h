// The run's record of the destination, for the passes after the index scan: the folders the scan
// listed, what their listings held beside files, the folders this run made, the files it brought
// or moved away, and what the copy pass learned of the source. With it the deleted-files pass
// replays the destination in the scan's order instead of listing either tree a second time.
//
// The index scan fills the record as it walks; the copy pass and the changes to the destination
// add to it. Folders are numbered in the order the scan began them, and a folder registered later
// (made by this run, or a source folder the copy pass met) comes after all of them. Files are the
// destination index's, by their ids in scan order; each has one byte of marks here.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

constexpr uint32_t kNoRecordedFolder = 0xFFFFFFFFu;

// What the copy pass learned of the source folder at one destination folder's place.
constexpr uint32_t kSourceFolderMet = 1;     // listed as a folder in its parent
constexpr uint32_t kSourceFolderListed = 2;  // its own listing ended complete

// The marks of one indexed file (FileMarks).
constexpr uint32_t kSourceFileSeen = 1;    // the copy pass met a source file at this file's place
constexpr uint32_t kSourcePlaceEmpty = 2;  // a look found no file at this file's place in the source
constexpr uint32_t kSourcePlaceHeld = 4;   // a look found a file there
constexpr uint32_t kMovedAway = 8;         // this run moved the file to another place
constexpr uint32_t kTakenAsTwin = 16;      // moved into place for a source file (with kMovedAway)

// One destination folder. Its indexed files lie between firstFile and endFile in scan order,
// among the files of its sub-folders (a sub-folder is scanned where its parent's listing meets
// it); a folder registered after the scan has no files and lies after all of them.
struct RecordedFolder {
    uint32_t firstFile;
    uint32_t endFile;
    uint32_t parent;  // kNoRecordedFolder for the root
    // The entries a listing of the folder gives now that are no indexed file in its place: "."
    // and "..", sub-folders, skipped and linked folders, leftovers not removed, and the files and
    // folders this run brought into it.
    uint32_t unindexedEntries;
    uint32_t sourceKnowledge;  // kSourceFolderMet and kSourceFolderListed
    bool present;              // scanned, or made by this run
};

// Empties the record for a scan of destinationRoot: only the root's folder, not yet scanned.
void BeginRunRecord(const wchar_t* destinationRoot);
// Whether the record holds a scan of exactly destinationRoot (each run's scan begins a new one).
bool RecordCovers(const wchar_t* destinationRoot);
// The destination root of the record's scan; "" before the first.
const wchar_t* RecordedRoot();

// The scan begins listing the folder at relativeFolder (null: the root), whose files start at
// firstFile: registers it (as present) when it has no number yet; kNoRecordedFolder without memory.
uint32_t BeginScannedFolder(const wchar_t* relativeFolder, uint32_t firstFile);
// The scan's listing of the folder ended before file endFile; unindexedEntries of its entries
// were no indexed file (added to the folder's count).
void EndScannedFolder(uint32_t folder, uint32_t endFile, uint32_t unindexedEntries);
// The scan met a folder too long to name (name, in folder); the deleted-files pass names it again.
void NoteTooLongFolder(uint32_t folder, const wchar_t* name);
// The scan met the leftover of an interrupted copy (name, in folder), which it never indexes.
void NoteLeftover(uint32_t folder, const wchar_t* name);

// The number of the folder at relativeFolder (null: the root); kNoRecordedFolder when it has none.
uint32_t FindRecordedFolder(const wchar_t* relativeFolder);
// The relative folder with this number: null for the root.
const wchar_t* RecordedRelativeFolder(uint32_t folder);
// How many folders the record holds (numbers below it), and one of them by value: the table grows
// while the passes register folders.
uint32_t RecordedFolderCount();
RecordedFolder RecordedFolderAt(uint32_t folder);
// The folders the scan found too long to name, and the leftovers it met: folder number and name.
const std::vector<std::pair<uint32_t, std::wstring>>& TooLongFolders();
const std::vector<std::pair<uint32_t, std::wstring>>& FoundLeftovers();
// One leftover in that folder is gone since the scan: a listing gives one entry less there.
void NoteLeftoverRemoved(uint32_t folder);

// Adds what the copy pass learned (kSourceFolderMet, kSourceFolderListed) to the folder at
// relativeFolder (null: the root), registering it when the scan had none; nothing before a scan.
void NoteSourceFolder(const wchar_t* relativeFolder, uint32_t learned);
// What the copy pass learned of the source folder at relativeFolder's place; 0 when nothing.
uint32_t SourceFolderKnowledge(const wchar_t* relativeFolder);
// Counts a file this run brought into the folder at relativeFolder (null: the root).
void NoteArrivedFile(const wchar_t* relativeFolder);
// Registers a folder this run made at relativeFolder (never the root) as present, with its "."
// and "..", and counts it in its parent; nothing when the parent has no number.
void NoteMadeFolder(const wchar_t* relativeFolder);

// The marks of the indexed file with this id (kSourceFileSeen ...); 0 before any is set.
uint32_t FileMarks(uint32_t file);
// The source has a file at the file's place: whatever becomes of the destination's, it is no
// deleted file.
void MarkSourceFileSeen(uint32_t file);
// What a look at the file's own place in the source found, kept for the rest of the run.
void NoteSourcePlace(uint32_t file, bool holdsFile);
// The run moved the file away (into Backup, or as a kept file making way): its old place reads
// as empty from now on.
void MarkMovedAway(uint32_t file);
// The run moved the file into place for a source file (kTakenAsTwin and kMovedAway).
void MarkTakenAsTwin(uint32_t file);
