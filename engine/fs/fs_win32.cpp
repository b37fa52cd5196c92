// The Win32 provider: each operation is one system call (a copy two: the data, then the rename),
// its failure the failing call's GetLastError; below a guarded root, the folders on the way are
// opened and held first, once for as long as they stay in use.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"

namespace {

// A failed call whose GetLastError is 0 must still read as a failure to the engine, which takes 0
// for success.
uint32_t LastError() {
    DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

FileTime ToFileTime(const FILETIME& t) { return FileTime{t.dwLowDateTime, t.dwHighDateTime}; }

// Whether a path is already full and plain: a drive or a share at its start, backslashes only, no
// "." or ".." part. Such a path needs nothing from the system's text rules.
bool IsFullPlainPath(const wchar_t* path) {
    bool drive = path[0] != L'\0' && path[1] == L':' && path[2] == L'\\';
    bool share = path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?' && path[2] != L'.';
    if (!drive && !share) return false;
    for (const wchar_t* c = path; *c; ++c) {
        if (*c == L'/') return false;
        if (*c == L'\\' && c[1] == L'.' && (c[2] == L'\\' || c[2] == L'\0' || (c[2] == L'.' && (c[3] == L'\\' || c[3] == L'\0'))))
            return false;
    }
    return true;
}

// The \\?\ form of a path, in which the system takes every name as it stands: a last part that
// ends in "." or " " and a device name (CON, aux.txt) are files like any other, as the listing
// gave them. Without it, Win32 drops the trailing dot or blank and opens the device. The engine's
// paths are full already (its roots were made full once, at the start); anything else is made
// full first, the one place where the system's text rules still apply.
class ExactPath {
public:
    explicit ExactPath(const wchar_t* path) {
        if (wcsncmp(path, L"\\\\?\\", 4) == 0) {
            text_ = path;
        } else if (wcsncmp(path, L"\\\\.\\", 4) == 0) {
            text_ = std::wstring(L"\\\\?\\") + (path + 4);
        } else if (IsFullPlainPath(path)) {
            text_ = path[0] == L'\\' ? std::wstring(L"\\\\?\\UNC") + (path + 1) : std::wstring(L"\\\\?\\") + path;
        } else {
            std::wstring full(kLongestPathUnits, L'\0');
            DWORD length = GetFullPathNameW(path, kLongestPathUnits, full.data(), nullptr);
            if (length == 0 || length >= kLongestPathUnits) {
                text_ = path;  // the call that follows fails on it with its own error
                return;
            }
            full.resize(length);
            if (IsFullPlainPath(full.c_str()) || wcsncmp(full.c_str(), L"\\\\?\\", 4) == 0) {
                *this = ExactPath(full.c_str());
            } else {
                text_ = full;
            }
        }
    }
    const wchar_t* c_str() const { return text_.c_str(); }

private:
    static constexpr DWORD kLongestPathUnits = 32768;
    std::wstring text_;
};

// The reparse-point bit stays only on links: cloud placeholders, deduplicated files and other
// reparse points are plain files and folders to every walk, or a file in a synced folder would be
// put aside on every run.
// A listing without the 8.3 short names, which nothing here reads and which cost the file system a
// second lookup per entry, fetched in larger batches (one round trip to a share per batch).
HANDLE OpenFind(const wchar_t* pattern, WIN32_FIND_DATAW* data) {
    return FindFirstFileExW(pattern, FindExInfoBasic, data, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
}

DWORD LinkAttributes(DWORD attributes, DWORD tag) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !IsLinkReparseTag(tag))
        attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT);
    return attributes;
}

// The tag sits only in a listing entry; a query of one path asks the listing of that path.
DWORD LinkAttributesOf(const wchar_t* path, DWORD attributes) {
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return attributes;
    WIN32_FIND_DATAW data;
    HANDLE handle = OpenFind(ExactPath(path).c_str(), &data);
    if (handle == INVALID_HANDLE_VALUE) return attributes;  // unknown kind: a link, the safe side
    FindClose(handle);
    return LinkAttributes(attributes, data.dwReserved0);
}

void ToFindEntry(const WIN32_FIND_DATAW& data, FindEntry* entry) {
    entry->attributes = LinkAttributes(data.dwFileAttributes, data.dwReserved0);
    entry->creationTime = ToFileTime(data.ftCreationTime);
    entry->lastWriteTime = ToFileTime(data.ftLastWriteTime);
    entry->sizeHigh = data.nFileSizeHigh;
    entry->sizeLow = data.nFileSizeLow;
    entry->error = 0;
    size_t i = 0;
    for (; i < kMaxEntryName && data.cFileName[i] != L'\0'; ++i) entry->name[i] = data.cFileName[i];
    entry->name[i] = L'\0';
}

// Only a drive's root lists no "." and "..", and some network and add-on file systems list
// neither anywhere: an empty folder there answers ERROR_FILE_NOT_FOUND. That is an empty listing
// only while the folder itself is there; taken for one without that check, a folder that vanished
// would read as emptied, and the deleted-files pass would move its twins in the destination away.
FindHandle Win32FindFirst(const wchar_t* pattern, FindEntry* entry, uint32_t* error) {
    WIN32_FIND_DATAW data;
    HANDLE handle = OpenFind(ExactPath(pattern).c_str(), &data);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = LastError();
        if (*error == ERROR_FILE_NOT_FOUND) {
            std::wstring folder = pattern;
            size_t separator = folder.find_last_of(L"\\/");
            folder.resize(separator == std::wstring::npos ? 0 : separator + 1);  // "X:\" keeps its root
            DWORD attributes = GetFileAttributesW(ExactPath(folder.empty() ? L"." : folder.c_str()).c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES) *error = LastError();
            else if (attributes & FILE_ATTRIBUTE_DIRECTORY) *error = 0;
            else *error = ERROR_DIRECTORY;
        }
        return nullptr;
    }
    *error = 0;
    ToFindEntry(data, entry);
    return handle;
}

bool Win32FindNext(FindHandle handle, FindEntry* entry, uint32_t* error) {
    WIN32_FIND_DATAW data;
    if (!FindNextFileW(static_cast<HANDLE>(handle), &data)) {
        *error = GetLastError() == ERROR_NO_MORE_FILES ? 0 : LastError();
        return false;
    }
    *error = 0;
    ToFindEntry(data, entry);
    return true;
}

void Win32FindClose(FindHandle handle) {
    if (handle) FindClose(static_cast<HANDLE>(handle));
}

uint32_t Win32GetAttributes(const wchar_t* path) {
    return LinkAttributesOf(path, GetFileAttributesW(ExactPath(path).c_str()));
}

bool Win32GetAttributesEx(const wchar_t* path, FileInfo* info) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(ExactPath(path).c_str(), GetFileExInfoStandard, &data)) return false;
    info->attributes = LinkAttributesOf(path, data.dwFileAttributes);
    info->creationTime = ToFileTime(data.ftCreationTime);
    info->lastWriteTime = ToFileTime(data.ftLastWriteTime);
    info->sizeHigh = data.nFileSizeHigh;
    info->sizeLow = data.nFileSizeLow;
    return true;
}

// Under Wine every drive letter is a folder of one Unix tree: Z: holds all of it, and a drive may
// be mapped to a folder of another drive. Its final paths name the deepest drive, so a folder of
// one drive can lie inside a plain folder of another with nothing in the texts to show it.
// Windows never does that: a volume appears inside another only at a mount point, which the walks
// treat as a link.
bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// ---- Writes below a guarded root: through held folders only ------------------------------------
//
// While a root is guarded, a call that changes something below it first holds every folder from
// the root down to the folder it writes in: each opened without FILE_SHARE_DELETE, so that nobody
// can rename or remove it, nor put a junction in its place, while the handle is open; and each
// looked at through its own handle, which FILE_FLAG_OPEN_REPARSE_POINT makes the link itself where
// a link stands. The call's own system call, by full path, then goes through exactly the folders
// that were looked at. (Opens relative to a held folder handle, NtCreateFile with a RootDirectory,
// would need no holding, but CopyFileExW and MoveFileExW take no folder handle: copies would need
// a loop of our own, without the system's server-side copy on shares.)
//
// The folders stay held after the call, as a small tree of handles shared by both copying threads,
// so that the next file in the same folder, or below a folder already held, costs no system call;
// as nobody can rename or replace a held folder, what was looked at stays true. Our own removal of
// a folder, or move of one, lets go of the handles at and below it first: it would meet them as a
// sharing violation.

// A listing or traversal right in the access is what makes the share mode count: an open for
// attributes alone takes part in no sharing check and would not keep anyone from renaming.
constexpr DWORD kHeldFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;
constexpr DWORD kHeldFolderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
// Folders kept held between calls: a chain of folders a few levels deep for each of the two
// copying threads, and the ways of a move from one folder into another.
constexpr size_t kFoldersKeptHeld = 48;

struct HeldFolder {
    std::wstring path;       // the guarded root's text, then the names below it
    std::wstring finalPath;  // under Wine only: where the handle leads
    HANDLE handle;
    HeldFolder* parent;  // null for the root
    uint32_t children;   // held folders directly below it
    uint32_t users;      // calls under way that write in it
    uint64_t lastUse;
    bool stale;  // held for a root since let go: never handed out again
};

struct WriteGuard {
    SRWLOCK lock = SRWLOCK_INIT;
    std::wstring root;  // empty: nothing guarded
    std::vector<HeldFolder*> held;
    uint64_t clock = 0;
};

WriteGuard g_guard;

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Whether the first length characters of text name folder or something below it, spelled alike
// (or alike but for case).
bool TextAtOrBelow(const wchar_t* text, size_t length, const std::wstring& folder, bool ignoreCase = false) {
    size_t n = folder.size();
    if (n == 0 || length < n) return false;
    if (ignoreCase ? CompareStringOrdinal(text, static_cast<int>(n), folder.c_str(), static_cast<int>(n), TRUE) != CSTR_EQUAL
                   : wcsncmp(text, folder.c_str(), n) != 0)
        return false;
    return length == n || IsSeparator(text[n]) || IsSeparator(folder[n - 1]);
}

void DropHeldFolder(size_t at) {
    HeldFolder* folder = g_guard.held[at];
    CloseHandle(folder->handle);
    if (folder->parent) --folder->parent->children;
    g_guard.held.erase(g_guard.held.begin() + static_cast<std::ptrdiff_t>(at));
    delete folder;
}

// Lets go of unused folders with nothing held below them: every stale one, and the least recently
// used ones beyond the number kept. The lock is held.
void TrimHeldFolders() {
    size_t keep = g_guard.root.empty() ? 0 : kFoldersKeptHeld;
    for (;;) {
        size_t pick = g_guard.held.size();
        for (size_t i = 0; i < g_guard.held.size(); ++i) {
            const HeldFolder* f = g_guard.held[i];
            if (f->users != 0 || f->children != 0) continue;
            if (f->stale) {
                pick = i;
                break;
            }
            if (g_guard.held.size() > keep && (pick == g_guard.held.size() || f->lastUse < g_guard.held[pick]->lastUse))
                pick = i;
        }
        if (pick == g_guard.held.size()) return;
        DropHeldFolder(pick);
    }
}

// Under Wine, FILE_FLAG_OPEN_REPARSE_POINT opens what a Unix symbolic link leads to, and the
// handle shows a plain folder; its final path tells: a folder reached by its own name ends as its
// parent's final path and that name (in whatever case the disk keeps it). Windows needs none of
// this, as its handle is the link itself.
uint32_t WineCheckReachedByName(HANDLE handle, const std::wstring& path, const HeldFolder* parent, std::wstring* finalPath) {
    wchar_t text[1024];
    DWORD length = GetFinalPathNameByHandleW(handle, text, 1024, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length > 0 && length < 1024) finalPath->assign(text, length);
    if (!parent) return 0;
    if (!finalPath->empty() && !parent->finalPath.empty()) {
        size_t nameStart = parent->path.size() + (IsSeparator(parent->path.back()) ? 0 : 1);
        std::wstring expected = parent->finalPath;
        if (!IsSeparator(expected.back())) expected += L'\\';
        expected.append(path, nameStart, std::wstring::npos);
        if (CompareStringOrdinal(finalPath->c_str(), static_cast<int>(finalPath->size()), expected.c_str(),
                                 static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL)
            return 0;
    }
    // Wine 8 gives no final path longer than MAX_PATH, and gives a name that is no valid DOS name
    // (a last "." or " ") as a made-up short name: then the listing's reparse bit, looked at after
    // the open, is the next best sign.
    DWORD attributes = GetFileAttributesW(ExactPath(path.c_str()).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return ERROR_PATH_NOT_FOUND;
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? kErrorLinkInTheWay : 0;
}

// Opens and looks at one folder of the way: the root as it is given (the user chose it, links and
// all), any folder below it only when it is no link. The lock is held.
uint32_t OpenHeldFolder(const std::wstring& path, HeldFolder* parent, HeldFolder** made) {
    static const bool underWine = UnderWine();
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (parent ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE handle = CreateFileW(ExactPath(path.c_str()).c_str(), kHeldFolderAccess, kHeldFolderShare, nullptr, OPEN_EXISTING,
                                flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        uint32_t error = LastError();
        // A folder missing on the way: what the call itself would have said.
        return error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error;
    }
    FILE_ATTRIBUTE_TAG_INFO kind{};
    std::wstring finalPath;
    uint32_t error = 0;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &kind, sizeof kind)) {
        error = LastError();
    } else if (parent && (kind.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkReparseTag(kind.ReparseTag)) {
        error = kErrorLinkInTheWay;
    } else if (!(kind.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = ERROR_PATH_NOT_FOUND;  // a file on the way, as the call itself would say
    } else if (underWine) {
        error = WineCheckReachedByName(handle, path, parent, &finalPath);
    }
    if (error != 0) {
        CloseHandle(handle);
        return error;
    }
    *made = new HeldFolder{path, std::move(finalPath), handle, parent, 0, 0, 0, false};
    if (parent) ++parent->children;
    g_guard.held.push_back(*made);
    return 0;
}

// Holds every folder from the guarded root down to the one that holds path's last part, and gives
// the deepest (null when path is not below the root: nothing to hold). kErrorLinkInTheWay when
// one of them is a link, or the error that keeps one from being held.
uint32_t HoldWay(const wchar_t* path, HeldFolder** way) {
    *way = nullptr;
    size_t length = wcslen(path);
    AcquireSRWLockExclusive(&g_guard.lock);
    const std::wstring& root = g_guard.root;
    if (!TextAtOrBelow(path, length, root) || length <= root.size() + (IsSeparator(root.back()) ? 0 : 1)) {
        ReleaseSRWLockExclusive(&g_guard.lock);
        return 0;
    }
    size_t folderLength = length;
    while (folderLength > root.size() && !IsSeparator(path[folderLength - 1])) --folderLength;
    if (folderLength > root.size()) --folderLength;  // its separator
    if (folderLength < root.size()) folderLength = root.size();
    HeldFolder* deepest = nullptr;
    for (HeldFolder* f : g_guard.held) {
        if (!f->stale && TextAtOrBelow(path, folderLength, f->path) && (!deepest || f->path.size() > deepest->path.size()))
            deepest = f;
    }
    uint32_t error = 0;
    if (!deepest) error = OpenHeldFolder(root, nullptr, &deepest);
    while (error == 0 && deepest->path.size() < folderLength) {
        size_t start = deepest->path.size() + (IsSeparator(deepest->path.back()) ? 0 : 1);
        size_t end = start;
        while (end < folderLength && !IsSeparator(path[end])) ++end;
        HeldFolder* child = nullptr;
        error = OpenHeldFolder(std::wstring(path, end), deepest, &child);
        if (error == 0) deepest = child;
    }
    if (error == 0) {
        ++deepest->users;
        uint64_t now = ++g_guard.clock;
        for (HeldFolder* f = deepest; f; f = f->parent) f->lastUse = now;
        *way = deepest;
    } else {
        TrimHeldFolders();
    }
    ReleaseSRWLockExclusive(&g_guard.lock);
    return error;
}

void LetGoOfWay(HeldFolder* way) {
    if (!way) return;
    AcquireSRWLockExclusive(&g_guard.lock);
    --way->users;
    TrimHeldFolders();
    ReleaseSRWLockExclusive(&g_guard.lock);
}

// The way held for the length of one call.
struct HeldWay {
    HeldFolder* folder = nullptr;
    HeldWay() = default;
    HeldWay(const HeldWay&) = delete;
    HeldWay& operator=(const HeldWay&) = delete;
    ~HeldWay() { LetGoOfWay(folder); }
};

// Lets go of the unused handles held at and below path, before our own removal or move of it. A
// folder another thread is writing in stays held, and the removal or move fails as it would on a
// folder someone else holds. Names compare without regard to case here: a copy spells a folder as
// the source does, a move as the destination's listing does, and both may be held. (Holding
// compares exactly: in a folder with case sensitivity turned on, two spellings are two folders.)
void LetGoAtAndBelow(const wchar_t* path) {
    std::wstring folder = path;
    AcquireSRWLockExclusive(&g_guard.lock);
    for (bool dropped = true; dropped;) {
        dropped = false;
        for (size_t i = 0; i < g_guard.held.size(); ++i) {
            const HeldFolder* f = g_guard.held[i];
            if (f->users == 0 && f->children == 0 && TextAtOrBelow(f->path.c_str(), f->path.size(), folder, true)) {
                DropHeldFolder(i);
                dropped = true;
                break;
            }
        }
    }
    ReleaseSRWLockExclusive(&g_guard.lock);
}

void Win32GuardWritesBelow(const wchar_t* root) {
    AcquireSRWLockExclusive(&g_guard.lock);
    for (HeldFolder* f : g_guard.held) f->stale = true;
    g_guard.root = root ? root : L"";
    TrimHeldFolders();
    ReleaseSRWLockExclusive(&g_guard.lock);
}

uint32_t Win32CreateDirectory(const wchar_t* path) {
    HeldWay way;
    if (uint32_t error = HoldWay(path, &way.folder)) return error;
    return CreateDirectoryW(ExactPath(path).c_str(), nullptr) ? 0 : LastError();
}

uint32_t Win32RemoveDirectory(const wchar_t* path) {
    LetGoAtAndBelow(path);
    HeldWay way;
    if (uint32_t error = HoldWay(path, &way.folder)) return error;
    return RemoveDirectoryW(ExactPath(path).c_str()) ? 0 : LastError();
}

// MoveFileW without flags refuses an existing target, which is the contract. A link as the last
// part of either path is moved or refused as an entry, never followed.
uint32_t Win32MoveFile(const wchar_t* from, const wchar_t* to) {
    LetGoAtAndBelow(from);
    HeldWay fromWay, toWay;
    if (uint32_t error = HoldWay(from, &fromWay.folder)) return error;
    if (uint32_t error = HoldWay(to, &toWay.folder)) return error;
    return MoveFileW(ExactPath(from).c_str(), ExactPath(to).c_str()) ? 0 : LastError();
}

DWORD CALLBACK CopyProgressTrampoline(LARGE_INTEGER totalFileSize, LARGE_INTEGER totalTransferred,
                                      LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE, HANDLE,
                                      LPVOID data) {
    CopyProgressFn fn = *static_cast<const CopyProgressFn*>(data);
    return fn(totalFileSize.QuadPart, totalTransferred.QuadPart) == kCopyCancel ? PROGRESS_CANCEL
                                                                               : PROGRESS_CONTINUE;
}

// CopyFileExW removes its partial target when it fails or is cancelled; a cancel reports
// ERROR_REQUEST_ABORTED.
uint32_t CopyUnder(const wchar_t* from, const wchar_t* to, CopyProgressFn progress, DWORD flags) {
    // The function pointer travels as the address of a local: a function pointer itself need not
    // fit a data pointer.
    CopyProgressFn fn = progress;
    BOOL ok = CopyFileExW(ExactPath(from).c_str(), ExactPath(to).c_str(), progress ? CopyProgressTrampoline : nullptr,
                          progress ? static_cast<void*>(&fn) : nullptr, nullptr, flags);
    return ok ? 0 : LastError();
}

// Temporary names need only differ from each other and from leftovers; COPY_FILE_FAIL_IF_EXISTS
// settles any collision.
uint64_t NextTempBits() {
    static LONG64 counter = 0;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    uint64_t z = static_cast<uint64_t>(now.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 40) ^
                 (static_cast<uint64_t>(InterlockedIncrement64(&counter)) * 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;  // splitmix64's finish
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The copy goes under a temporary name beside `to` and is renamed onto it only when whole: a
// process killed or cut off from power in the middle of CopyFileExW leaves its target as far as it
// got, and under the real name such a file could pass for the whole one at the next run. A
// leftover under the temporary name is removed by the next run's scan of the destination.
uint32_t Win32CopyFile(const wchar_t* from, const wchar_t* to, CopyProgressFn progress, bool replaceExisting) {
    // The temporary, its rename and its removal all go through the one way held here.
    HeldWay way;
    if (uint32_t error = HoldWay(to, &way.folder)) return error;
    DWORD directFlags = replaceExisting ? 0 : COPY_FILE_FAIL_IF_EXISTS;
    size_t folderLength = 0;
    for (size_t i = 0; to[i] != L'\0'; ++i) {
        if (to[i] == L'\\' || to[i] == L'/') folderLength = i + 1;
    }
    // A temporary name that would not fit where `to` does: the copy goes straight to `to`, as
    // before, rather than fail.
    wchar_t temp[MAX_PATH];
    if (folderLength + kLeftoverCopyNameLength >= MAX_PATH) return CopyUnder(from, to, progress, directFlags);
    wmemcpy(temp, to, folderLength);
    uint32_t error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 8 && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS); ++attempt) {
        wchar_t name[kLeftoverCopyNameLength + 1];
        MakeLeftoverCopyName(NextTempBits(), name);
        wmemcpy(temp + folderLength, name, kLeftoverCopyNameLength + 1);
        error = CopyUnder(from, temp, progress, COPY_FILE_FAIL_IF_EXISTS);
    }
    if (error != 0) return error;
    // Without MOVEFILE_REPLACE_EXISTING the rename refuses a file that stands at `to`; with it, a
    // link standing there is replaced, never written through.
    ExactPath exactTemp(temp);
    if (MoveFileExW(exactTemp.c_str(), ExactPath(to).c_str(), replaceExisting ? MOVEFILE_REPLACE_EXISTING : 0)) return 0;
    error = LastError();
    SetFileAttributesW(exactTemp.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only copy could not be deleted
    DeleteFileW(exactTemp.c_str());
    return error;
}

bool Win32GetFileSystemName(const wchar_t* folder, wchar_t* name, size_t capacity) {
    if (!folder || !name || capacity == 0) return false;
    // Asked at the folder's own volume path, also for a path with a drive letter: a volume mounted
    // into a folder (C:\mnt\usb) has a file system of its own, and a FAT stick there must turn
    // the two-second tolerance on. GetVolumeInformationW itself wants a root ("E:" alone fails).
    wchar_t root[2 * MAX_PATH];
    if (!GetVolumePathNameW(ExactPath(folder).c_str(), root, static_cast<DWORD>(sizeof root / sizeof root[0])))
        return false;
    DWORD size = capacity > MAX_PATH + 1 ? MAX_PATH + 1 : static_cast<DWORD>(capacity);
    return GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, name, size) == TRUE;
}

bool Win32GetFullPath(const wchar_t* path, wchar_t* out, size_t capacity) {
    if (!path || !out || capacity == 0) return false;
    DWORD size = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(capacity);
    DWORD length = GetFullPathNameW(path, size, out, nullptr);
    // Too small a buffer gives the size it needs, terminator included, so never below capacity.
    if (length == 0 || length >= size) {
        out[0] = L'\0';
        return false;
    }
    return true;
}

// Windows' longest path in any spelling, terminator included.
constexpr DWORD kLongestPath = 32768;

// Links, junctions and mount points on the way are followed: the handle is the folder itself.
HANDLE OpenFolder(const wchar_t* path) {
    return CreateFileW(ExactPath(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// What a folder is, as opposed to how it was spelled.
struct FolderFacts {
    FolderId id;
    // A file index of 0 (some network servers) or all ones says nothing about sameness.
    bool idTrusted;
    // The 32-bit serial and 64-bit index every file system reports, local or served: the identity's
    // may be the 64-bit serial and 128-bit id of FileIdInfo, which a server need not offer.
    uint32_t serial;
    uint64_t index;
    bool indexTrusted;
    // "\\?\C:\...", "\\?\UNC\server\share\..." or "\\?\Volume{...}\..." with links resolved.
    std::wstring finalPath;
    bool remote;
};

// Windows 8's FileIdInfo class and FILE_ID_INFO, by number and layout: the build targets Windows 7,
// where the call fails and the 64-bit index serves.
constexpr auto kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
struct FileIdInformation {
    ULONGLONG volumeSerialNumber;
    BYTE identifier[16];
};

// Identity of an open folder: the 128-bit file id where the file system has one (ReFS needs all
// 128 bits; NTFS's 64-bit index is its low half, so both calls agree there), else the 64-bit
// index. ERROR_DIRECTORY when the handle is not a folder.
uint32_t ReadIdentity(HANDLE handle, FolderFacts* facts) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return LastError();
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_DIRECTORY;
    facts->serial = info.dwVolumeSerialNumber;
    facts->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    facts->indexTrusted = facts->index != 0 && facts->index != ~0ull;
    facts->id = FolderId{info.dwVolumeSerialNumber, 0, facts->index};
    FileIdInformation wide;
    if (GetFileInformationByHandleEx(handle, kFileIdInfo, &wide, sizeof wide)) {
        uint64_t low = 0, high = 0;
        memcpy(&low, wide.identifier, sizeof low);
        memcpy(&high, wide.identifier + sizeof low, sizeof high);
        facts->id = FolderId{wide.volumeSerialNumber, high, low};
    }
    bool zero = facts->id.fileHigh == 0 && facts->id.fileLow == 0;
    bool ones = facts->id.fileHigh == ~0ull && facts->id.fileLow == ~0ull;
    facts->idTrusted = !zero && !ones;
    return 0;
}

// Length of the volume part of a final path, its backslash included: "\\?\C:\",
// "\\?\Volume{...}\", "\\?\UNC\server\share\". 0 when the text has none of these shapes.
size_t RootLength(const std::wstring& path) {
    if (path.size() < 6 || path.compare(0, 4, L"\\\\?\\") != 0) return 0;
    bool unc = path.size() > 8 && CompareStringOrdinal(path.c_str() + 4, 4, L"UNC\\", 4, TRUE) == CSTR_EQUAL;
    size_t parts = unc ? 3 : 1;
    size_t at = 4;
    for (size_t i = 0; i < parts; ++i) {
        at = path.find(L'\\', at);
        if (at == std::wstring::npos) return i + 1 == parts ? path.size() : 0;  // "\\?\C:" alone
        ++at;
    }
    return at;
}

// A redirector's folder: a UNC path, or a drive letter a network client serves.
bool OnNetwork(const std::wstring& finalPath) {
    if (finalPath.size() >= 8 && CompareStringOrdinal(finalPath.c_str(), 8, L"\\\\?\\UNC\\", 8, TRUE) == CSTR_EQUAL)
        return true;
    if (finalPath.size() < 6 || finalPath[5] != L':') return false;
    wchar_t root[] = {finalPath[4], L':', L'\\', L'\0'};
    return GetDriveTypeW(root) == DRIVE_REMOTE;
}

// Final path of an open folder, by drive letter where the volume has one, else by volume GUID.
// Wine 8 answers ERROR_MORE_DATA for any final path longer than MAX_PATH, whatever the buffer;
// Windows gives up to 32,767 characters. There a deep folder is refused, never misjudged.
uint32_t ReadFinalPath(HANDLE handle, std::wstring& path) {
    path.assign(kLongestPath, L'\0');
    uint32_t error = ERROR_GEN_FAILURE;
    for (DWORD volume : {VOLUME_NAME_DOS, VOLUME_NAME_GUID}) {
        DWORD length = GetFinalPathNameByHandleW(handle, path.data(), kLongestPath, FILE_NAME_NORMALIZED | volume);
        if (length > 0 && length < kLongestPath) {
            path.resize(length);
            if (RootLength(path) != 0) return 0;
            error = ERROR_BAD_PATHNAME;  // a shape the comparison below cannot cut into folders
        } else {
            error = LastError();
        }
    }
    return error;
}

uint32_t DescribeFolder(const wchar_t* path, FolderFacts* facts, bool withFinalPath) {
    HANDLE folder = OpenFolder(path);
    if (folder == INVALID_HANDLE_VALUE) return LastError();
    uint32_t error = ReadIdentity(folder, facts);
    if (error == 0 && withFinalPath) error = ReadFinalPath(folder, facts->finalPath);
    CloseHandle(folder);
    if (error == 0 && withFinalPath) facts->remote = OnNetwork(facts->finalPath);
    return error;
}

// The same folder by serial and index, the pair a local volume and a server report alike. ReFS's
// index may repeat across its 128-bit ids: a false "same" only ever refuses.
bool SameIndex(const FolderFacts& a, const FolderFacts& b) {
    return a.indexTrusted && b.indexTrusted && a.serial == b.serial && a.index == b.index;
}

// Whether the final path inner is outer or lies below it. Names compare without regard to case,
// as the file system does; a case-sensitive folder can only make this say "inside" too often,
// which refuses rather than harms.
bool AtOrBelow(const std::wstring& inner, const std::wstring& outer) {
    size_t length = outer.size();
    if (length > 0 && outer[length - 1] == L'\\') --length;
    if (inner.size() < length) return false;
    if (length > 0 && CompareStringOrdinal(inner.c_str(), static_cast<int>(length), outer.c_str(),
                                           static_cast<int>(length), TRUE) != CSTR_EQUAL)
        return false;
    return inner.size() == length || inner[length] == L'\\';
}

uint32_t Win32GetFolderId(const wchar_t* path, FolderId* id) {
    FolderFacts facts{};
    if (uint32_t error = DescribeFolder(path, &facts, false)) return error;
    // An index of 0 would make every such folder the same one.
    if (!facts.idTrusted) return ERROR_NOT_SUPPORTED;
    *id = facts.id;
    return 0;
}

// Judged by the final paths (links, junctions, mount points, subst drives, 8.3 names and prefixes
// resolved by the system) and the identities of the folders:
// - local volumes: a final path is the one name of its folder, so the texts decide (identities
//   are not asked: a cloned disk repeats the serial and the indexes of the original);
// - a network folder: a server may reach one folder under several share names, through links of
//   its own or from another share root, and may report invented serials; only a proof of "inside"
//   (the texts, or an identity on the way up from inner) or, for a network folder against a local
//   one, different volume serials decide. Two network folders that are not proven nested cannot be
//   told apart from nested ones and are refused.
uint32_t Win32FolderContains(const wchar_t* outer, const wchar_t* inner, bool* inside) {
    FolderFacts o{}, i{};
    if (uint32_t error = DescribeFolder(outer, &o, true)) return error;
    if (uint32_t error = DescribeFolder(inner, &i, true)) return error;
    if (AtOrBelow(i.finalPath, o.finalPath) || ((o.remote || i.remote) && SameIndex(o, i))) {
        *inside = true;
        return 0;
    }
    if (!o.remote && !i.remote) {
        size_t oRoot = RootLength(o.finalPath), iRoot = RootLength(i.finalPath);
        bool sameVolume = oRoot == iRoot && CompareStringOrdinal(o.finalPath.c_str(), static_cast<int>(oRoot),
                                                                 i.finalPath.c_str(), static_cast<int>(iRoot),
                                                                 TRUE) == CSTR_EQUAL;
        if (!sameVolume && UnderWine()) return ERROR_NOT_SUPPORTED;
        *inside = false;
        return 0;
    }
    // A server on this machine reports the serial of the volume it shares from (Windows' own file
    // server does); with another serial the network folder is taken to be on another machine's
    // disk. The one server this cannot see through is one on this machine that makes serials up
    // (Samba does, from the share name) while sharing this machine's own drive.
    if (o.remote != i.remote && o.serial != i.serial) {
        *inside = false;
        return 0;
    }
    // What is left can only be proven nested: outer met on the way up from inner, as the server
    // names its folders.
    if (o.indexTrusted) {
        size_t root = RootLength(i.finalPath);
        std::wstring above = i.finalPath;
        while (above.size() > root) {
            size_t cut = above.rfind(L'\\');
            above.resize(cut < root ? root : cut);
            FolderFacts step{};
            if (DescribeFolder(above.c_str(), &step, false) != 0) break;
            if (SameIndex(step, o)) {
                *inside = true;
                return 0;
            }
        }
    }
    return ERROR_NOT_SUPPORTED;
}

// What a killed copy left under its temporary name, here or by the POSIX provider.
uint32_t Win32RemoveLeftoverCopy(const wchar_t* path) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'\\' || *p == L'/') name = p + 1;
    }
    if (!IsLeftoverCopyName(name)) return ERROR_INVALID_NAME;
    HeldWay way;
    if (uint32_t error = HoldWay(path, &way.folder)) return error;
    ExactPath exact(path);
    DWORD attributes = GetFileAttributesW(exact.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return ERROR_ACCESS_DENIED;
    return DeleteFileW(exact.c_str()) ? 0 : LastError();
}

// FILE_FLAG_OPEN_REPARSE_POINT opens a link itself instead of what it leads to, so that no link
// is read as a file; every reparse point is refused, also those that are plain files to a listing
// (a cloud placeholder would be fetched, or read as its stub).
uint32_t Win32OpenRead(const wchar_t* path, ReadHandle* file) {
    HANDLE handle = CreateFileW(ExactPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    BY_HANDLE_FILE_INFORMATION info;
    uint32_t error = 0;
    if (!GetFileInformationByHandle(handle, &info)) {
        error = LastError();
    } else if (GetFileType(handle) != FILE_TYPE_DISK ||
               (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        error = ERROR_NOT_SUPPORTED;
    }
    if (error) {
        CloseHandle(handle);
        return error;
    }
    *file = handle;
    return 0;
}

// An offset in the OVERLAPPED record reads a synchronous handle at that offset; at or past the
// end the call fails with ERROR_HANDLE_EOF, which is the end, not a failure.
uint32_t Win32ReadAt(ReadHandle file, uint64_t offset, void* buffer, size_t size, size_t* got) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    if (!ReadFile(static_cast<HANDLE>(file), buffer, chunk, &read, &at)) {
        if (GetLastError() != ERROR_HANDLE_EOF) return LastError();
        read = 0;
    }
    *got = read;
    return 0;
}

void Win32CloseRead(ReadHandle file) { CloseHandle(static_cast<HANDLE>(file)); }

bool Win32RootNeedsSeparator(const wchar_t* path) { return WindowsRootNeedsSeparator(path, L'\\'); }

constexpr FileSystem kWin32FileSystem = {
    // FindFirstFileExW gives every field at no extra cost: one listing serves both kinds.
    Win32FindFirst,       Win32FindNext,         Win32FindClose,  Win32FindFirst,  Win32GetAttributes,
    Win32GetAttributesEx, Win32CreateDirectory,  Win32RemoveDirectory, Win32MoveFile,
    Win32CopyFile,        Win32GetFileSystemName, Win32GetFullPath, Win32FolderContains, Win32GetFolderId,
    Win32RemoveLeftoverCopy, [] { return true; },
    // A folder with case sensitivity turned on is the exception; a destination is taken to be
    // none, as the engine's name rules on Windows take it.
    Win32OpenRead,        Win32ReadAt,           Win32CloseRead,  [] { return true; },
    Win32GuardWritesBelow,
    // NTFS, FAT and exFAT count a name's UTF-16 code units.
    Utf16NameLength,      Win32RootNeedsSeparator,
};

}  // namespace

const FileSystem& PlatformFileSystem() { return kWin32FileSystem; }
