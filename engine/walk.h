// The folder walk shared by the passes: one listing per folder, entries in the order the file
// system gives them, and the running entry counter.
#pragma once

#include <cstdint>

#include "engine/file_system.h"
#include "engine/paths.h"
#include "engine/run_state.h"

// Entries listed by the current counting walk; set to 0 by the run before each counting walk.
extern int32_t EntryCounter;

// Steps EntryCounter and writes "read %8.8d files\r" at every multiple of 256.
void CountEntry();

// True when entry is a folder.
inline bool IsFolder(const FindEntry& entry) { return (entry.attributes & kFileAttributeDirectory) != 0; }

// A folder reached through a symbolic link or junction. The destination walks never enter one:
// what it leads to lies outside the destination tree, or is walked at its own place.
inline bool IsLinkedFolder(const FindEntry& entry) {
    return IsFolder(entry) && (entry.attributes & kFileAttributeReparsePoint) != 0;
}

// ".", ".." and "$RECYCLE.BIN", matched whole and case-sensitively.
bool IsAlwaysSkippedFolder(const wchar_t* name);
// The deleted-files walk also passes over "Deleted" and "Backup".
bool IsDeletedWalkSkippedFolder(const wchar_t* name);

// What a walk reads of each entry: everything, or only its name and its directory and
// reparse-point bits (the walks that never look at sizes or times spare a query per entry).
enum EntryDetail { kFullEntries, kNamesAndTypes };

// Lists root\relativeFolder and calls visit(entry) for each entry, counting it first when counting
// is set; ends early once a stop is requested. Returns false, without a message, when the folder
// cannot be listed; reports "path too long" and returns false when its pattern does not fit.
template <typename Visit>
bool ForEachEntry(const wchar_t* root, const wchar_t* relativeFolder, bool counting, EntryDetail detail,
                  Visit&& visit) {
    PathBuffer pattern;
    if (!ComposePath(pattern, root, relativeFolder, L"*.*")) {
        ReportPathTooLong(root, relativeFolder, nullptr);
        return false;
    }
    FindEntry entry;
    uint32_t error = 0;
    FindHandle handle = detail == kFullEntries ? FsFindFirst(pattern.text, &entry, &error)
                                               : FsFindFirstTypesOnly(pattern.text, &entry, &error);
    if (!handle) return false;
    do {
        if (StopRequested()) break;
        if (counting) CountEntry();
        visit(entry);
    } while (FsFindNext(handle, &entry, &error));
    FsFindClose(handle);
    return true;
}
