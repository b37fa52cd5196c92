// The folder walk shared by the passes: one listing per folder, entries in the order the file
// system gives them, and the running entry counter.
#pragma once

#include <cstdint>
#include <string>

#include "engine/fs/file_system.h"
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

// Whether two names name the same entry of one folder, as the provider in use matches names:
// exactly, or without regard to case where its names ignore case (Windows).
bool SameNameOnDisk(const wchar_t* a, const wchar_t* b);
// Whether two names are the same but for letter case.
bool SameNameIgnoringCase(const wchar_t* a, const wchar_t* b);
// The name with every letter in upper case: names that differ only in case fold alike.
std::wstring FoldedName(const wchar_t* name);

// ".", ".." and "$RECYCLE.BIN", matched whole (the latter as the file system matches names: the
// NTFS Recycle Bin is "$Recycle.Bin").
bool IsAlwaysSkippedFolder(const wchar_t* name);
// The deleted-files walk also passes over "Deleted" and "Backup", matched the same way: on Windows
// a mirrored source folder "deleted" is the destination's Deleted folder.
bool IsDeletedWalkSkippedFolder(const wchar_t* name);

// What a walk reads of each entry: everything, or only its name and its directory and
// reparse-point bits (the walks that never look at sizes or times spare a query per entry).
enum EntryDetail { kFullEntries, kNamesAndTypes };

// How a listing ended: every entry visited, cut short by a stop request, or not (fully) listed.
enum ListingResult { kListingComplete, kListingStopped, kListingFailed };

// Writes "read folder %s failed: %u\n" for root\relativeFolder and counts the failure, once per
// folder and run however many walks meet it.
void ReportUnreadableFolder(const wchar_t* root, const wchar_t* relativeFolder, uint32_t error);
// Forgets which folders were reported; the run calls it at its start.
void ForgetUnreadableFolders();

// Lists root\relativeFolder and calls visit(entry) for each entry, counting it first when counting
// is set; ends early once a stop is requested. A folder that cannot be listed, or whose listing
// breaks off, gives kListingFailed and is reported when report is set; a pattern that does not
// fit is reported as "path too long" and fails.
template <typename Visit>
ListingResult ForEachEntry(const wchar_t* root, const wchar_t* relativeFolder, bool counting, EntryDetail detail,
                           bool report, Visit&& visit) {
    PathBuffer pattern;
    if (!ComposePath(pattern, root, relativeFolder, L"*.*")) {
        ReportPathTooLong(root, relativeFolder, nullptr);
        return kListingFailed;
    }
    FindEntry entry;
    uint32_t error = 0;
    FindHandle handle = detail == kFullEntries ? FsFindFirst(pattern.text, &entry, &error)
                                               : FsFindFirstTypesOnly(pattern.text, &entry, &error);
    if (!handle) {
        if (error == 0) return kListingComplete;  // nothing in it at all
        if (report) ReportUnreadableFolder(root, relativeFolder, error);
        return kListingFailed;
    }
    ListingResult result = kListingComplete;
    do {
        if (StopRequested()) {
            result = kListingStopped;
            break;
        }
        if (counting) CountEntry();
        visit(entry);
    } while (FsFindNext(handle, &entry, &error));
    FsFindClose(handle);
    if (result == kListingComplete && error != 0) {
        if (report) ReportUnreadableFolder(root, relativeFolder, error);
        result = kListingFailed;
    }
    return result;
}
