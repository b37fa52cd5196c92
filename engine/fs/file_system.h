// The file-system layer: the only door from the engine to the disk.
//
// Three providers stand behind one table of plain function pointers: the real Win32 calls, POSIX,
// and an in-memory file system for tests. The platform's own provider is installed at start-up;
// tests swap in another with SetFileSystem. Operations that can fail return the platform's own
// error number (GetLastError values on Windows, errno on Linux), 0 on success.
//
// Threads. A run calls the provider from its walking thread and, where copiesMayOverlap says so,
// from one copy worker beside it, which calls copyFile (its progress routine on that thread) and
// then getAttributes and getAttributesEx, while the walking thread goes on with any operation,
// copies included: these three must bear that. A listing or read handle is used by the thread
// that opened it alone; a POSIX full listing may have a helper thread of the provider's describe
// its records meanwhile, unseen by the caller. guardWritesBelow and SetFileSystem are called
// only while no other thread uses the provider. What the guard keeps of recently opened folders
// is per thread on POSIX (each thread's writes go through its own) and one locked set shared by
// both threads on Win32. The rule and answer operations may be asked on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// 100-ns units since 1601-01-01 00:00:00 UTC, as two 32-bit halves (low first).
struct FileTime {
    uint32_t lowDateTime;
    uint32_t highDateTime;
};

constexpr int64_t FileTimeToInt64(FileTime t) {
    return static_cast<int64_t>((static_cast<uint64_t>(t.highDateTime) << 32) | t.lowDateTime);
}
constexpr FileTime FileTimeFromInt64(int64_t v) {
    return FileTime{static_cast<uint32_t>(static_cast<uint64_t>(v)),
                    static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32)};
}
// -1, 0 or +1, comparing the two times as unsigned 64-bit counts.
int CompareFileTimes(FileTime a, FileTime b);
// Whether the two times, as signed 64-bit counts, differ by at most tolerance (0: are equal).
bool TimesWithin(FileTime a, FileTime b, int64_t tolerance);

constexpr uint32_t kFileAttributeReadOnly = 0x01;
constexpr uint32_t kFileAttributeHidden = 0x02;
constexpr uint32_t kFileAttributeDirectory = 0x10;
// Neither a file, a folder nor a link: a FIFO, a socket or a device node (POSIX). Opening one
// can block, release a waiting writer or act on a device, so no step ever opens it.
constexpr uint32_t kFileAttributeDevice = 0x40;
constexpr uint32_t kFileAttributeNormal = 0x80;
// A symbolic link or junction: kFileAttributeDirectory says whether it leads to a folder, this bit
// says it is a link.
constexpr uint32_t kFileAttributeReparsePoint = 0x400;
constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;

// Whether a Windows reparse point with this tag is a link: symbolic links, junctions and volume
// mount points carry the name-surrogate bit. A tag of 0 never comes with the reparse bit on
// Windows; Wine gives it for the links it shows, so it counts as a link too.
constexpr bool IsLinkReparseTag(uint32_t tag) { return tag == 0 || (tag & 0x20000000u) != 0; }

// Longest bare name a listing entry can hold (both platforms stay below it).
constexpr size_t kMaxEntryName = 260;

// One record of a folder listing.
struct FindEntry {
    uint32_t attributes;
    FileTime creationTime;
    FileTime lastWriteTime;
    uint32_t sizeHigh;
    uint32_t sizeLow;
    // 0, or the error number of the query that was to describe the entry (a folder that can be
    // listed but not entered): its sizes and times are then 0 and say nothing.
    uint32_t error;
    wchar_t name[kMaxEntryName + 1];
};

// What an attribute query reports about one path.
struct FileInfo {
    uint32_t attributes;
    FileTime creationTime;
    FileTime lastWriteTime;
    uint32_t sizeHigh;
    uint32_t sizeLow;
};

// What a folder is, as opposed to what it is named: two paths give the same identity exactly when
// they lead to the same folder (through links, second names or mount points alike).
struct FolderId {
    uint64_t volume;
    uint64_t fileHigh;
    uint64_t fileLow;
};
inline bool SameFolder(const FolderId& a, const FolderId& b) {
    return a.volume == b.volume && a.fileHigh == b.fileHigh && a.fileLow == b.fileLow;
}

// Error numbers the engine compares with; the platform's own values.
#ifdef _WIN32
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorDirNotEmpty = 145;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorCancelled = 1235;  // ERROR_REQUEST_ABORTED
constexpr uint32_t kErrorNotSupported = 50;  // ERROR_NOT_SUPPORTED
constexpr uint32_t kErrorLinkInTheWay = 681;  // ERROR_STOPPED_ON_SYMLINK
#else
constexpr uint32_t kErrorFileNotFound = 2;   // ENOENT
constexpr uint32_t kErrorPathNotFound = 2;   // ENOENT
constexpr uint32_t kErrorAccessDenied = 13;  // EACCES
constexpr uint32_t kErrorDirNotEmpty = 39;   // ENOTEMPTY
constexpr uint32_t kErrorAlreadyExists = 17; // EEXIST
constexpr uint32_t kErrorCancelled = 125;    // ECANCELED
constexpr uint32_t kErrorNotSupported = 95;  // EOPNOTSUPP
constexpr uint32_t kErrorLinkInTheWay = 40;   // ELOOP
#endif

// Called during a copy with the file's size and the bytes copied so far; returns
// kCopyContinue to go on or kCopyCancel to abandon the copy.
constexpr uint32_t kCopyContinue = 0;
constexpr uint32_t kCopyCancel = 1;
using CopyProgressFn = uint32_t (*)(int64_t totalSize, int64_t transferred);

using FindHandle = void*;  // null when a listing could not be opened
using ReadHandle = void*;  // a file opened for reading by openRead

struct FileSystem {
    // Opens the listing of "folder<sep>*.*" and fills the first entry. Null with *error 0 when the
    // folder holds no entry at all (a drive's empty root); null with the error number when the
    // folder cannot be listed.
    FindHandle (*findFirst)(const wchar_t* pattern, FindEntry* entry, uint32_t* error);
    // Fills the next entry; false with *error 0 at the end of the listing, false with the error
    // number when the listing breaks off before its end.
    bool (*findNext)(FindHandle handle, FindEntry* entry, uint32_t* error);
    void (*findClose)(FindHandle handle);
    // As findFirst, for walks that look at nothing but the names and the directory and
    // reparse-point bits: every other field of its entries may be 0, which spares a platform
    // whose listing does not carry them a query per entry. findNext and findClose serve it alike.
    FindHandle (*findFirstTypesOnly)(const wchar_t* pattern, FindEntry* entry, uint32_t* error);
    // Attribute bits of whatever stands at path; kInvalidFileAttributes when nothing can be read.
    // A link at path itself carries kFileAttributeReparsePoint (with kFileAttributeDirectory when
    // it leads to a folder) and counts as standing there even when it leads nowhere; links on
    // the way to it are followed.
    uint32_t (*getAttributes)(const wchar_t* path);
    // Attributes, times and size of path, links as getAttributes says (a link's size and times
    // are its own or its target's, as the platform gives them); false when nothing can be read.
    bool (*getAttributesEx)(const wchar_t* path, FileInfo* info);
    // Creates one folder; kErrorAlreadyExists when anything already stands at path.
    uint32_t (*createDirectory)(const wchar_t* path);
    // Removes a folder only when it is empty.
    uint32_t (*removeDirectory)(const wchar_t* path);
    // Renames a file; never replaces: fails, both sides untouched, when `to` exists.
    uint32_t (*moveFile)(const wchar_t* from, const wchar_t* to);
    // Copies a file to `to`, keeping size and last-write time; no half-written file ever stands
    // under `to`. A file at `to` is replaced only with replaceExisting, else the copy fails with
    // kErrorAlreadyExists. progress may be null.
    uint32_t (*copyFile)(const wchar_t* from, const wchar_t* to, CopyProgressFn progress, bool replaceExisting);
    // Name of the file system that holds folder (at most capacity - 1 characters); false on failure.
    bool (*getFileSystemName)(const wchar_t* folder, wchar_t* name, size_t capacity);
    // The full form of path as every later call would resolve it: the current folder (of its
    // drive) applied and "." and ".." taken out where the system does that by text, so that the
    // text alone says which folder it names. Links and second names stay as they are. False when
    // it does not fit or cannot be made.
    bool (*getFullPath)(const wchar_t* path, wchar_t* out, size_t capacity);
    // Sets *inside to whether the folder inner is the folder outer or lies anywhere below it,
    // judged by what the folders are (links, second drive letters, short names, prefixes, mount
    // points and second mounts of a folder resolved), never by their names alone; where the
    // platform shows second mounts, also whether a folder mounted below inner shows part of
    // outer's tree. 0, or the error number when it cannot be decided.
    uint32_t (*folderContains)(const wchar_t* outer, const wchar_t* inner, bool* inside);
    // The identity of the folder at path, links followed; 0 or the error number.
    uint32_t (*getFolderId)(const wchar_t* path, FolderId* id);
    // Removes the file at path only when it is what an interrupted copy left behind: a plain file
    // whose name IsLeftoverCopyName accepts. Anything else is refused and stays.
    uint32_t (*removeLeftoverCopy)(const wchar_t* path);
    // Whether copyFile may run on other threads while this thread goes on with any operation
    // (the real providers; the in-memory one only when a test allows it).
    bool (*copiesMayOverlap)();
    // Opens the plain file at path for reading, to compare its bytes. A link at path itself, a
    // folder or anything else that is no plain file (a FIFO, a device) is refused unopened.
    uint32_t (*openRead)(const wchar_t* path, ReadHandle* file);
    // Reads up to size bytes from offset on; *got is 0 only at the end of the file.
    uint32_t (*readAt)(ReadHandle file, uint64_t offset, void* buffer, size_t size, size_t* got);
    void (*closeRead)(ReadHandle file);
    // Whether the destination's folders match names without regard to case (Windows), so that
    // two source names that differ only in case would name one destination file.
    bool (*namesIgnoreCase)();
    // Makes every later call that changes something below root (a folder made or removed, a move
    // from or to there, a copy's target, a leftover's removal) reach it only through the folders
    // from root down, none of them a link: a link or junction on the way, also one put there in
    // place of a folder meanwhile, fails the call with kErrorLinkInTheWay and nothing is written
    // through it. A folder the provider opened for a recent call may serve the next ones as the
    // folder it was (POSIX keeps the last two per thread; Win32 holds them so that nobody can
    // rename them). root itself is taken as given and held from this call on; null lets it go.
    void (*guardWritesBelow)(const wchar_t* root);
    // The length of name's first count characters as the file system counts it against its
    // limit of 255: UTF-16 code units (Win32), the bytes of the name's UTF-8 form (POSIX).
    size_t (*nameLengthOnDisk)(const wchar_t* name, size_t count);
    // Whether path, a full path that ends in a separator, is a root that needs it: without it the
    // text would name another folder ("X:\" the current folder of drive X, "\\?\Volume{...}\" the
    // volume's device). A lone separator always needs it and is never asked about.
    bool (*rootNeedsSeparator)(const wchar_t* path);
};

// A copy that cannot write its target in one step writes ".kestrome-" + 12 lowercase hex digits +
// ".tmp" beside it first. A run killed meanwhile leaves that partial file behind; no such name is
// ever a user's file, so the walks never index, copy or keep one.
constexpr wchar_t kLeftoverCopyPrefix[] = L".kestrome-";
constexpr size_t kLeftoverCopyDigits = 12;
constexpr wchar_t kLeftoverCopySuffix[] = L".tmp";
bool IsLeftoverCopyName(const wchar_t* name);
// The leftover-shaped name whose digits are the low 48 bits of bits.
constexpr size_t kLeftoverCopyNameLength = 26;
void MakeLeftoverCopyName(uint64_t bits, wchar_t (&name)[kLeftoverCopyNameLength + 1]);

// The Win32 provider's name rules, written for either separator, so that the in-memory provider
// can take on the Windows rules in the native build too. Utf16NameLength counts a character
// beyond U+FFFF as two units where wchar_t has 32 bits; WindowsRootNeedsSeparator is
// rootNeedsSeparator for "X:" and "\\?\Volume{...}" spelled with separator.
size_t Utf16NameLength(const wchar_t* name, size_t count);
bool WindowsRootNeedsSeparator(const wchar_t* path, wchar_t separator);

// The platform's own provider (Win32 on Windows, POSIX elsewhere).
const FileSystem& PlatformFileSystem();
// Installs a provider for every later call; returns the one it replaces.
const FileSystem* SetFileSystem(const FileSystem* fs);
// The provider in use.
const FileSystem& CurrentFileSystem();

// Shorthands through the provider in use.
inline FindHandle FsFindFirst(const wchar_t* pattern, FindEntry* e, uint32_t* error) { return CurrentFileSystem().findFirst(pattern, e, error); }
inline bool FsFindNext(FindHandle h, FindEntry* e, uint32_t* error) { return CurrentFileSystem().findNext(h, e, error); }
inline void FsFindClose(FindHandle h) { CurrentFileSystem().findClose(h); }
inline FindHandle FsFindFirstTypesOnly(const wchar_t* pattern, FindEntry* e, uint32_t* error) { return CurrentFileSystem().findFirstTypesOnly(pattern, e, error); }
inline uint32_t FsGetAttributes(const wchar_t* p) { return CurrentFileSystem().getAttributes(p); }
inline bool FsGetAttributesEx(const wchar_t* p, FileInfo* i) { return CurrentFileSystem().getAttributesEx(p, i); }
inline uint32_t FsCreateDirectory(const wchar_t* p) { return CurrentFileSystem().createDirectory(p); }
inline uint32_t FsRemoveDirectory(const wchar_t* p) { return CurrentFileSystem().removeDirectory(p); }
inline uint32_t FsMoveFile(const wchar_t* from, const wchar_t* to) { return CurrentFileSystem().moveFile(from, to); }
inline uint32_t FsCopyFile(const wchar_t* from, const wchar_t* to, CopyProgressFn p, bool replace) { return CurrentFileSystem().copyFile(from, to, p, replace); }
inline bool FsGetFileSystemName(const wchar_t* folder, wchar_t* name, size_t cap) { return CurrentFileSystem().getFileSystemName(folder, name, cap); }
inline bool FsGetFullPath(const wchar_t* p, wchar_t* out, size_t cap) { return CurrentFileSystem().getFullPath(p, out, cap); }
inline uint32_t FsFolderContains(const wchar_t* outer, const wchar_t* inner, bool* inside) { return CurrentFileSystem().folderContains(outer, inner, inside); }
inline uint32_t FsGetFolderId(const wchar_t* p, FolderId* id) { return CurrentFileSystem().getFolderId(p, id); }
inline uint32_t FsRemoveLeftoverCopy(const wchar_t* p) { return CurrentFileSystem().removeLeftoverCopy(p); }
inline bool FsCopiesMayOverlap() { return CurrentFileSystem().copiesMayOverlap(); }
inline uint32_t FsOpenRead(const wchar_t* p, ReadHandle* f) { return CurrentFileSystem().openRead(p, f); }
inline uint32_t FsReadAt(ReadHandle f, uint64_t offset, void* buffer, size_t size, size_t* got) { return CurrentFileSystem().readAt(f, offset, buffer, size, got); }
inline void FsCloseRead(ReadHandle f) { CurrentFileSystem().closeRead(f); }
inline bool FsNamesIgnoreCase() { return CurrentFileSystem().namesIgnoreCase(); }
inline void FsGuardWritesBelow(const wchar_t* root) { CurrentFileSystem().guardWritesBelow(root); }
inline size_t FsNameLengthOnDisk(const wchar_t* name, size_t count) { return CurrentFileSystem().nameLengthOnDisk(name, count); }
inline bool FsRootNeedsSeparator(const wchar_t* path) { return CurrentFileSystem().rootNeedsSeparator(path); }
