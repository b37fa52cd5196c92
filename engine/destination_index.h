// The destination index: every destination file by its exact name, so that a source file that was
// moved to another folder can be found in the destination and moved instead of copied again.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/file_system.h"

struct IndexEntry {
    uint32_t sizeHigh;
    uint32_t sizeLow;
    FileTime lastWriteTime;
    std::wstring relativeFolder;  // empty for a file directly in the destination root
};

// Entries of one name, in the order the scan met them.
using DestinationIndexMap = std::unordered_map<std::wstring, std::vector<IndexEntry>>;
extern DestinationIndexMap DestinationIndex;

// Scans root\relativeFolder and below into the index (a counting walk); the call with no relative
// folder first empties the index.
void BuildDestinationIndex(const wchar_t* root, const wchar_t* relativeFolder);

// The first entry (in scan order) with the source file's name, size and exact last-write time
// whose own place in the source holds no file; null when there is none. Valid until the next scan.
const IndexEntry* FindMovedCounterpart(const FindEntry& sourceEntry, const wchar_t* sourceRoot);
