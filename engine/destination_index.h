// The destination index: every destination file by its exact name, so that a source file that was
// moved to another folder can be found in the destination and moved instead of copied again.
//
// It holds one entry per destination file for the whole run, so it is kept lean: 32 bytes per
// file, the relative folder stored once for all the files of a folder, each distinct name stored
// once in a compact byte form, and a hash table of 12 bytes per slot that leads from a name to the
// chain of its entries in scan order.
//
// Where the provider's listings carry sizes and times (FsListingsCarrySizes), the scan keeps each
// plain file's size and last-write time, and the copy pass compares with them instead of asking
// about each destination file again. Elsewhere the scan reads names and kinds only, and a file's
// values are read when a lookup first needs them, and kept from then on. Until its first lookup
// nothing in the run touches a file's place but a backup and copy of that same place, whose source
// file stands at the candidate's own place and so rules it out either way; a file moved away, as a
// twin or as a kept file making way, is marked so that its old place reads as empty.
//
// The copy pass also leaves here what the deleted-files pass needs, so that the source is not
// listed a second time: which destination files it met a source file for, and which source
// folders it listed in full.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/walk.h"

struct IndexEntry {
    uint32_t sizeHigh;
    uint32_t sizeLow;
    FileTime lastWriteTime;
    uint32_t folder;        // number of the relative folder; 0 for the destination root
    uint32_t name;          // where the name's bytes start in the name store
    uint32_t nextSameName;  // the next entry of this name in scan order; kNoIndexEntry at the end
    uint32_t values;        // kValuesUnread, kValuesRead (the three fields above hold them) or
                            // kValuesUnreadable (no file could be described there: never a twin),
                            // with the marks kSourceFileSeen, kMovedAway, kTakenAsTwin and
                            // kSourcePlaceEmpty or kSourcePlaceHeld
};
constexpr uint32_t kValuesUnread = 0;
constexpr uint32_t kValuesRead = 1;
constexpr uint32_t kValuesUnreadable = 2;
constexpr uint32_t kValuesMask = 3;
constexpr uint32_t kSourceFileSeen = 4;  // the copy pass met a source file at this place
constexpr uint32_t kMovedAway = 8;       // this run moved the file to another place
constexpr uint32_t kTakenAsTwin = 16;    // moved into place for a source file (with kMovedAway)
// What a lookup found at the file's own place in the source, kept for the rest of the run: a
// look-alike met by many source files of its name is looked at once.
constexpr uint32_t kSourcePlaceEmpty = 32;
constexpr uint32_t kSourcePlaceHeld = 64;

// What the copy pass learned of the source folder at one destination folder's place.
constexpr uint32_t kSourceFolderMet = 1;     // listed as a folder in its parent
constexpr uint32_t kSourceFolderListed = 2;  // its own listing ended complete

// One destination folder: its files lie between firstEntry and endEntry in scan order, among the
// files of its sub-folders (a sub-folder is scanned where its parent's listing meets it). A folder
// this run made has no files in the index and lies after all of them.
struct IndexFolder {
    uint32_t firstEntry;
    uint32_t endEntry;
    uint32_t source;        // kSourceFolderMet and kSourceFolderListed
    uint32_t parent;        // number of the parent folder; kNoIndexEntry for the root
    uint32_t otherEntries;  // what a listing now gives beside the indexed files still in place
    bool present;           // scanned, or made by this run
};
constexpr uint32_t kNoIndexEntry = 0xFFFFFFFFu;

// One hash-table slot: the first and last entries of one name, and the name's hash.
struct IndexSlot {
    uint32_t first;
    uint32_t last;
    uint32_t hash;
};

// Memory in blocks that never move, so that what FindMovedCounterpart hands out stays where it is
// while the index grows, and growing never copies what is already stored.
struct DestinationIndexStore {
    std::wstring root;  // the destination root of the scan
    std::vector<std::unique_ptr<IndexEntry[]>> entryBlocks;
    uint32_t entryCount = 0;
    std::vector<std::unique_ptr<unsigned char[]>> nameBlocks;
    uint32_t nameUsed = 0;  // bytes taken in the last name block
    std::vector<std::unique_ptr<wchar_t[]>> folders;  // relative folders by number; 0 is ""
    std::vector<IndexFolder> folderInfo;             // by the same numbers
    std::unordered_map<std::wstring_view, uint32_t> folderNumbers;  // exact relative folder to number
    std::vector<std::pair<uint32_t, std::wstring>> tooLongFolders;  // met in folder, name
    std::vector<std::pair<uint32_t, std::wstring>> leftovers;       // leftover copies: folder, name
    std::unique_ptr<IndexSlot[]> slots;
    uint32_t slotMask = 0;  // slot count - 1 (a power of two), 0 while there is no table
    uint32_t nameCount = 0;
};
extern DestinationIndexStore DestinationIndex;

// Scans root\relativeFolder and below into the index (a counting walk); the call with no relative
// folder first empties the index. Folders that cannot be listed are reported; the result is how
// the listing of root\relativeFolder itself ended.
ListingResult BuildDestinationIndex(const wchar_t* root, const wchar_t* relativeFolder);

// The first entry in scan order after `after` (null: from the start) with the source file's name
// and size, a last-write time that matches its own (DestinationTimeMatches: within tolerance, in
// 100-ns units, or as the destination keeps times), still at its place in this run, and whose own
// place in the source holds no file (looked at once per run, and held once the copy pass met a
// source file there); null when there is none. Valid until the next scan.
IndexEntry* FindMovedCounterpart(const FindEntry& sourceEntry, const wchar_t* sourceRoot, int64_t tolerance = 0,
                                 const IndexEntry* after = nullptr);
// How many entries with the source file's name, size and matching time this run has
// already moved into place as twins (kTakenAsTwin).
size_t TakenTwinCount(const FindEntry& sourceEntry, int64_t tolerance);

// The relative folder of an entry: "" for a file directly in the destination root.
const wchar_t* IndexedFolder(const IndexEntry& entry);

// The files indexed in one destination folder (null: the root), each as its name's hash and its
// id, sorted for FindIndexedFile; empty when the folder was not scanned.
void ListIndexedFiles(const wchar_t* relativeFolder, std::vector<uint64_t>* files);
// The entry of exactly this name among files; null when there is none.
IndexEntry* FindIndexedFile(const std::vector<uint64_t>& files, const wchar_t* name);
// Whether the entry's values stand for the file at its place now: read, and not moved away.
bool HoldsCurrentValues(const IndexEntry& entry);

// Adds what the copy pass learned (kSourceFolderMet, kSourceFolderListed) to the record of the
// destination folder at relativeFolder (null: the root), making the record when the scan had none.
void NoteSourceFolder(const wchar_t* relativeFolder, uint32_t learned);
// What the copy pass learned of the source folder at relativeFolder's place; 0 when nothing.
uint32_t SourceFolderKnowledge(const wchar_t* relativeFolder);

// The source has a file at the entry's place: whatever becomes of the destination's, it is no
// deleted file (kSourceFileSeen).
void MarkSourceFileSeen(IndexEntry& entry);
// The run moved the entry's file away (into Backup, or as a kept file making way): its old place
// reads as empty from now on.
void MarkMovedAway(IndexEntry& entry);
// The run moved the entry's file into place for a source file: never offered again.
void MarkTakenAsTwin(IndexEntry& entry);
// Marks every indexed file of exactly this name in the destination folder at relativeFolder
// (null: the root) as moved away; nothing when the index holds none.
void ForgetIndexedFile(const wchar_t* relativeFolder, const wchar_t* name);
// Counts a file this run brought into the destination folder at relativeFolder (null: the root).
void NoteArrivedFile(const wchar_t* relativeFolder);
// Counts a folder this run made at relativeFolder (never the root), with its "." and "..", in
// its parent's record; nothing when the parent has none.
void NoteMadeFolder(const wchar_t* relativeFolder);
// The leftovers of interrupted copies the scan met (never indexed): folder number and name; and
// the note that one of them in that folder was removed since.
const std::vector<std::pair<uint32_t, std::wstring>>& FoundLeftovers();
void NoteLeftoverRemoved(uint32_t folder);
// The relative folder with this number: null for the root.
const wchar_t* IndexedFolderText(uint32_t folder);
// Folders whose path was too long to scan: the folder they were met in, and the name.
const std::vector<std::pair<uint32_t, std::wstring>>& TooLongFolders();

// The entry with this id (ids count from 0 in scan order, below IndexedFileCount()), and its name.
IndexEntry& IndexedFile(uint32_t id);
void IndexedName(const IndexEntry& entry, wchar_t (&name)[kMaxEntryName + 1]);

// Number of files indexed, in all and under one exact name.
size_t IndexedFileCount();
size_t IndexedFileCount(const wchar_t* name);
