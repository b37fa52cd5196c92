// An in-memory file system for tests: folder listings in an order the test chooses, failures
// injected into any operation on any path, a log of the calls made, and the name rules of either
// platform, so that every build tests both: by default those of POSIX, optionally those of Windows
// (names that compare without regard to letter case, lengths in UTF-16 units, drive roots).
//
// Paths use the platform's separator. An optional drive prefix ("C:") is accepted and ignored, so
// "C:\dst" and "\dst" name the same folder; the root folder always exists.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"

const FileSystem& MemoryFileSystem();

enum class MemOp { FindFirst, FindNext, GetAttributes, GetAttributesEx, CreateDirectory,
                   RemoveDirectory, MoveFile, CopyFile, GetFileSystemName, GetFullPath, FolderContains,
                   GetFolderId, RemoveLeftoverCopy, Enter, OpenRead };

enum class ListingOrder { Insertion, Sorted, Reverse, Random };

// Empties the file system and forgets every setting (order, failures, log, names). Then the
// name rules are POSIX's: names compare exactly, a name's length is its UTF-8 bytes, and no root
// but a lone separator needs its separator. With windowsNames they are those of the Win32
// provider: names compare without regard to case, a name's length is its UTF-16 units, and "C:"
// and "\\?\Volume{...}" (spelled with the platform's separator) keep their separator as roots.
void MemFsReset(bool windowsNames = false);

// Creates the folder and any missing folder above it; attributes go to the last one (for example
// kFileAttributeReparsePoint for a junction).
void MemFsAddFolder(const std::wstring& path, uint32_t attributes = 0);
// Creates or replaces a file (and its missing folders) with the given bytes and times.
void MemFsAddFile(const std::wstring& path, const std::string& content, int64_t lastWriteTime,
                  int64_t creationTime = 0, uint32_t attributes = 0);

// Makes path a symbolic link to target (a full path, which need not exist): every operation
// follows it on the way to something below it; the attribute queries mark it as a link, a move
// moves the link itself and a copy onto it replaces it. Missing folders above path are made.
void MemFsAddLink(const std::wstring& path, const std::wstring& target);

// Removes the file or the folder with everything below it; false when nothing is there.
bool MemFsRemove(const std::wstring& path);

struct MemFsNode {
    std::wstring path;  // full path as stored, with the names' own case
    bool folder;
    std::string content;
    int64_t lastWriteTime;
    int64_t creationTime;
    std::wstring linkTarget;  // non-empty for a link (which is neither a folder nor a file)
};
// Every folder and file, parents before children, in listing order of insertion.
std::vector<MemFsNode> MemFsSnapshot();
// The node at path; false when nothing is there.
bool MemFsLookup(const std::wstring& path, MemFsNode* node);

// How folders are listed. "." and ".." always come first, as the real systems give them.
void MemFsSetListingOrder(ListingOrder order, uint64_t seed = 0);
// Lists folder's entries in exactly this order (names not given follow in the general order).
void MemFsSetFolderOrder(const std::wstring& folder, const std::vector<std::wstring>& names);

// Makes op on path fail with error (every time, or only the next `times` times when times > 0).
// OpenRead on a file makes it unreadable: opening it for reading fails.
// FindNext on a folder makes its listings break off before their last entry. Enter on a folder
// makes it listable but not enterable: its full listings give names and kinds with that error,
// and every operation on anything below it fails with it.
void MemFsFailOn(MemOp op, const std::wstring& path, uint32_t error, int times = 0);
// Makes the file or folder at path a reparse point with this Windows tag: a link when the tag is
// a name surrogate (0xA000000C a symbolic link, 0xA0000003 a junction, the default), otherwise
// (a cloud placeholder 0x9000601A, a deduplicated file 0x80000013) a plain file or folder, as the
// Win32 provider reports them.
void MemFsSetReparseTag(const std::wstring& path, uint32_t tag);
// Forgets every failure set with MemFsFailOn.
void MemFsClearFailures();
// Makes each mutating operation (create, remove, move, copy) and each listing fail with
// probability rate; 0 turns it off.
void MemFsSetRandomFailures(double rate, uint64_t seed);
// In a case-insensitive file system, makes the (empty) folder at path, and every folder later
// made in it, tell names apart by case, as a Windows folder with case sensitivity turned on, or a
// Linux folder seen through Wine. Folders are made as needed; one that holds entries is left as it is.
void MemFsSetCaseSensitiveFolder(const std::wstring& path);
// The name getFileSystemName reports (default "MEMFS").
void MemFsSetFileSystemName(const std::wstring& name);

// What a copy keeps of its source's last-write time, as a destination of coarser times does: the
// time truncated (or, with roundUp, rounded up) to a multiple of precision (100-ns units; 1 keeps
// it exact), then clamped to minTime..maxTime. After MemFsReset copies keep times exactly.
void MemFsSetStoredTimes(int64_t precision, int64_t minTime, int64_t maxTime, bool roundUp = false);
// The time a copy of a file of this time stores under the current setting.
int64_t MemFsStoredTime(int64_t time);

// Whether the provider lets copies run on worker threads beside the walk, as the real ones do
// (off after MemFsReset). The call log and random failures then follow the threads' timing.
void MemFsSetCopiesMayOverlap(bool overlap);

// Keeps the whole state (tree, settings, random sources, log); MemFsRollBack returns to it, so a
// test can run the same run twice and compare.
void MemFsCheckpoint();
void MemFsRollBack();

// Runs action once, when op first reaches path (its first path), before the operation itself:
// a change made by someone else in the middle of a run.
void MemFsOnCall(MemOp op, const std::wstring& path, std::function<void()> action);
// Forgets every action set with MemFsOnCall that has not run yet.
void MemFsClearHooks();

// Calls made, one line each: the operation's name and its path(s), e.g. L"CreateDirectory /d/x".
const std::vector<std::wstring>& MemFsCalls();
void MemFsClearCalls();
// Turns the call log on or off (on after MemFsReset).
void MemFsLogCalls(bool on);
