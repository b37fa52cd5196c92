// Every change a run makes below the destination root. The passes look and decide; these calls
// act: each makes the file-system call, writes the change's log line (and its failure), and
// notes in the run record what the later passes of the run need to know of it. Nothing else in
// the engine writes to the destination.
//
// Between BeginDestinationChanges and EndDestinationChanges the file-system layer writes nothing
// through a link below the root, not even one put in place of a folder after the walks looked at
// it. A change it refuses for that names the link ("link in the way %s"), counted as a failure.
#pragma once

#include <cstdint>

#include "engine/fs/file_system.h"

// Guards every later write below destinationRoot (FsGuardWritesBelow) and keeps the root for
// naming a link that stops one; EndDestinationChanges lets go of both.
void BeginDestinationChanges(const wchar_t* destinationRoot);
void EndDestinationChanges();

// Removes the leftovers of interrupted copies the index scan met, before any pass could take one
// for a file of the user's. One that cannot be removed stays, unnamed: every pass passes it over.
void RemoveLeftoverCopies();

// How a folder chain ended: the folder stands; it could not be made (the caller names the
// failure with *error); or the failure was already written (a link on the way, a kept file that
// could not make way).
enum ChainResult { kChainReady, kChainFailed, kChainReported };

// Makes each missing folder of destinationRoot\relativeFolder (null: none) from the top, each part looked
// at before anything is made in it, never through a link; a file in the way fails with kErrorAlreadyExists.
ChainResult MakeDestinationFolders(const wchar_t* destinationRoot, const wchar_t* relativeFolder, uint32_t* error);

// Starts and ends the copies of one copy pass (CopyQueue): they may overlap the walk.
void BeginCopies();
void EndCopies();
// Queues the copy, with its "copy file %s" line, of sourceFile (listed with sourceTime and size) to
// destinationFile (name in its folder), a place found or made empty: never over another program's file.
void CopyIntoPlace(const wchar_t* sourceFile, const wchar_t* destinationFile, const wchar_t* name,
                   FileTime sourceTime, uint64_t size);
// Writes the lines of a copy not tried because its folder could not be made: "copy file %s" and
// "copy %s failed: %u" with the folder's error.
void RefuseCopy(const wchar_t* sourceFile, uint32_t error);
// Whether a queued copy not yet settled writes a file that name also names in that folder.
bool CopyPendingFor(const wchar_t* name);
// Lets the queued copies end, and records the files they brought into relativeFolder.
void SettleCopies(const wchar_t* relativeFolder);

// How a twin's move ended: moved; failed (written); or stopped by a link in the way (named), so
// that nothing more is tried through that folder.
enum MoveResult { kMoved, kMoveFailed, kMoveLinkInTheWay };

// Writes "move file %s" and moves the twin (its index id) from oldPlace (its place as indexed) to
// destinationFile in relativeFolder; once moved, the twin is taken and never offered again.
MoveResult MoveTwin(uint32_t twin, const wchar_t* oldPlace, const wchar_t* destinationFile,
                    const wchar_t* relativeFolder);
// The moves into Backup and Deleted put the file into destinationRoot\Backup\relativeFolder (or
// Deleted), made as needed, as name or as the first free numbered name ("name (2).txt"): nothing
// kept there is ever replaced. A kept file where a folder is needed moves aside first ("move kept
// file %s"). On failure the reason is written (or "move %s failed: %u") and the file stays.
// backupReady says that an earlier backup in this walk of the folder found the way into Backup clear
// (the look is then spared), and is set once it is.

// Writes "backup file %s" and moves destinationFile (name in relativeFolder) into Backup; true when it is
// there, and known (its index id, or kNoIndexEntry) is then marked moved away.
bool BackUpFile(const wchar_t* destinationFile, const wchar_t* destinationRoot, const wchar_t* relativeFolder,
                const wchar_t* name, uint32_t known, bool* backupReady);
// Writes "move deleted file %s" and moves destinationFile (name in relativeFolder) into Deleted.
bool MoveDeletedFile(const wchar_t* destinationFile, const wchar_t* destinationRoot,
                     const wchar_t* relativeFolder, const wchar_t* name);

// Removes the empty folder root\relativeFolder; a failure is written ("delete empty folder %s
// failed: %u").
void RemoveEmptyFolder(const wchar_t* root, const wchar_t* relativeFolder);
