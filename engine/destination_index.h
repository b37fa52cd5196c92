// The destination index: every destination file by its exact name, with its folder, size and
// last-write time, so that a source file moved to another folder can be found in the destination
// and moved instead of copied again. It offers candidates by name, size and time; which of them
// moved is the copy pass's to judge.
//
// It holds one entry per destination file for the whole run, so it is kept lean: 28 bytes per
// file (and the file's byte of marks in the run record), the relative folder stored once for all
// the files of a folder (as the run record's folder number), each distinct name stored once in a
// compact byte form, and a hash table of 12 bytes per slot that leads from a name to the chain of
// its entries in scan order. The scan takes each plain
// file's size and last-write time from its folder's listing, so a lookup never asks the disk.
//
// The scan also fills the run record (engine/run_record.h): the folders it listed, what their
// listings held beside files, the folders too long to name and the leftovers of interrupted copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/walk.h"

// What the index keeps of one destination file.
struct IndexEntry {
    uint32_t sizeHigh;
    uint32_t sizeLow;
    FileTime lastWriteTime;
    uint32_t folder : 31;   // the run record's number of its folder; 0 for the destination root
    // The scan's listing described a plain file (no link, folder or device, nothing that failed):
    // the three values above are its own. Otherwise they are 0, and the entry is never a candidate.
    uint32_t described : 1;
};
constexpr uint32_t kNoIndexEntry = 0xFFFFFFFFu;

// Indexes root\relativeFolder and below in a counting walk that names the folders it cannot list; with
// no relative folder, index and run record start empty. Returns how root\relativeFolder's listing ended.
ListingResult BuildDestinationIndex(const wchar_t* root, const wchar_t* relativeFolder);

// The id of the next described entry in scan order after `after` (kNoIndexEntry: from the first) with
// the source file's name and size and a time DestinationTimeMatches within tolerance; else kNoIndexEntry.
uint32_t FindLookAlike(const FindEntry& sourceEntry, int64_t tolerance, uint32_t after = kNoIndexEntry);

// The entry with this id (from 0 in scan order, below IndexedFileCount()); valid until the next scan.
const IndexEntry& IndexedFile(uint32_t id);
// The name of the entry with this id.
void IndexedName(uint32_t id, wchar_t (&name)[kMaxEntryName + 1]);
// The relative folder of an entry: null for a file directly in the destination root.
const wchar_t* IndexedFolder(const IndexEntry& entry);

// The files indexed in one destination folder (null: the root), each as its name's hash and its
// id, sorted for FindIndexedFile; empty when the folder was not scanned.
void ListIndexedFiles(const wchar_t* relativeFolder, std::vector<uint64_t>* files);
// The entry of exactly this name among files, with its id in *id; null when there is none.
const IndexEntry* FindIndexedFile(const std::vector<uint64_t>& files, const wchar_t* name, uint32_t* id);
// The id of the next entry after `after` (kNoIndexEntry: from the start) of exactly this name in
// the destination folder at relativeFolder (null: the root); kNoIndexEntry when there is none.
uint32_t NextIndexedFileIn(const wchar_t* relativeFolder, const wchar_t* name, uint32_t after);

// Number of files indexed, in all and under one exact name.
size_t IndexedFileCount();
size_t IndexedFileCount(const wchar_t* name);
