// The destination index: every destination file by its exact name, so that a source file that was
// moved to another folder can be found in the destination and moved instead of copied again.
//
// It holds one entry per destination file for the whole run, so it is kept lean: 32 bytes per
// file, the relative folder stored once for all the files of a folder, each distinct name stored
// once in a compact byte form, and a hash table of 12 bytes per slot that leads from a name to the
// chain of its entries in scan order.
//
// The scan reads names and kinds only. A file's size and last-write time are read when a lookup
// first needs them, and kept from then on: most runs look up few names or none, and a listing
// that must describe every file costs a query per file on systems whose listings carry no sizes.
// Until its first lookup nothing in the run touches a file's place but a backup and copy of that
// same place, whose source file stands at the candidate's own place and so rules it out either
// way; a file moved away as a twin keeps the values it was taken with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/file_system.h"
#include "engine/walk.h"

struct IndexEntry {
    uint32_t sizeHigh;
    uint32_t sizeLow;
    FileTime lastWriteTime;
    uint32_t folder;        // number of the relative folder; 0 for the destination root
    uint32_t name;          // where the name's bytes start in the name store
    uint32_t nextSameName;  // the next entry of this name in scan order; kNoIndexEntry at the end
    uint32_t values;        // kValuesUnread, kValuesRead (the three fields above hold them) or
                            // kValuesUnreadable (no file could be described there: never a twin)
};
constexpr uint32_t kValuesUnread = 0;
constexpr uint32_t kValuesRead = 1;
constexpr uint32_t kValuesUnreadable = 2;
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
    std::unique_ptr<IndexSlot[]> slots;
    uint32_t slotMask = 0;  // slot count - 1 (a power of two), 0 while there is no table
    uint32_t nameCount = 0;
};
extern DestinationIndexStore DestinationIndex;

// Scans root\relativeFolder and below into the index (a counting walk); the call with no relative
// folder first empties the index. Folders that cannot be listed are reported; the result is how
// the listing of root\relativeFolder itself ended.
ListingResult BuildDestinationIndex(const wchar_t* root, const wchar_t* relativeFolder);

// The first entry (in scan order) with the source file's name, size and exact last-write time
// whose own place in the source holds no file; null when there is none. Valid until the next scan.
const IndexEntry* FindMovedCounterpart(const FindEntry& sourceEntry, const wchar_t* sourceRoot);

// The relative folder of an entry: "" for a file directly in the destination root.
const wchar_t* IndexedFolder(const IndexEntry& entry);

// Number of files indexed, in all and under one exact name.
size_t IndexedFileCount();
size_t IndexedFileCount(const wchar_t* name);
