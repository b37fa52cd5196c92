// The destination index: every destination file by its exact name, so that a source file that was
// moved to another folder can be found in the destination and moved instead of copied again.
//
// It holds one entry per destination file for the whole run, so it is kept lean: 28 bytes per
// file, the relative folder stored once for all the files of a folder, each distinct name stored
// once in a compact byte form, and a hash table of 12 bytes per slot that leads from a name to the
// chain of its entries in scan order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/file_system.h"

struct IndexEntry {
    uint32_t sizeHigh;
    uint32_t sizeLow;
    FileTime lastWriteTime;
    uint32_t folder;        // number of the relative folder; 0 for the destination root
    uint32_t name;          // where the name's bytes start in the name store
    uint32_t nextSameName;  // the next entry of this name in scan order; kNoIndexEntry at the end
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
// folder first empties the index.
void BuildDestinationIndex(const wchar_t* root, const wchar_t* relativeFolder);

// The first entry (in scan order) with the source file's name, size and exact last-write time
// whose own place in the source holds no file; null when there is none. Valid until the next scan.
const IndexEntry* FindMovedCounterpart(const FindEntry& sourceEntry, const wchar_t* sourceRoot);

// The relative folder of an entry: "" for a file directly in the destination root.
const wchar_t* IndexedFolder(const IndexEntry& entry);

// Number of files indexed, in all and under one exact name.
size_t IndexedFileCount();
size_t IndexedFileCount(const wchar_t* name);
