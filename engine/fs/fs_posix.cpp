// The POSIX provider of the file-system layer (Linux).
//
// Paths arrive as wide text with '/' separators and leave as UTF-8 in stack buffers; names read
// from the disk come back through the same lossless conversion, so a name that is not valid UTF-8
// can still be opened, moved and copied under the wide name the listing gave.
#include "engine/fs/file_system.h"
#include "engine/fs/fs_posix.h"
#include "engine/fs/fs_posix_test_knobs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <wchar.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/fs/fs_posix_internal.h"
#include "engine/fs/text_encoding.h"
#include "engine/fs/thread.h"

using namespace posix;

bool posix::ToNative(const wchar_t* path, NativePath& out) { return WideToUtf8(path, out.text, sizeof out.text); }

namespace {

// ---- attributes and times -------------------------------------------------------------------

constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr int64_t kTicksPerSecond = 10000000;

// tv_nsec is never negative, also for times before 1970, so the two parts simply add up. Times
// before 1601 clamp to 0 and times beyond the 64-bit range to its end, so that comparisons as
// unsigned counts keep their order.
FileTime ToFileTime(int64_t seconds, uint32_t nanoseconds) {
    if (seconds < -kSecondsFrom1601To1970) return FileTimeFromInt64(0);
    if (seconds > INT64_MAX / kTicksPerSecond - kSecondsFrom1601To1970 - 1)
        return FileTimeFromInt64(INT64_MAX);
    return FileTimeFromInt64((seconds + kSecondsFrom1601To1970) * kTicksPerSecond +
                             nanoseconds / 100);
}

struct Meta {
    uint32_t mode;
    uint64_t size;
    FileTime lastWrite;
    FileTime creation;
};

// statx(2) first: one call gives the type, size, last-write and birth times. Kernels before 4.11
// do not have it; they get fstatat and the last-write time as creation time.
std::atomic<bool> g_noStatx{false};

int StatAt(int dirfd, const char* path, int flags, Meta& m) {
    if (!g_noStatx.load(std::memory_order_relaxed)) {
        struct statx sx;
        unsigned int want = STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MTIME | STATX_BTIME;
        if (statx(dirfd, path, flags, want, &sx) == 0) {
            m.mode = sx.stx_mode;
            m.size = sx.stx_size;
            m.lastWrite = ToFileTime(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
            m.creation = (sx.stx_mask & STATX_BTIME)
                             ? ToFileTime(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec)
                             : m.lastWrite;
            return 0;
        }
        if (errno != ENOSYS) return errno;
        g_noStatx.store(true, std::memory_order_relaxed);
    }
    struct stat st;
    if (fstatat(dirfd, path, &st, flags & AT_SYMLINK_NOFOLLOW) != 0) return errno;
    m.mode = st.st_mode;
    m.size = static_cast<uint64_t>(st.st_size);
    m.lastWrite = ToFileTime(st.st_mtim.tv_sec, static_cast<uint32_t>(st.st_mtim.tv_nsec));
    m.creation = m.lastWrite;
    return 0;
}

uint32_t AttributesOf(uint32_t mode) {
    uint32_t attributes = 0;
    if (S_ISDIR(mode)) attributes |= kFileAttributeDirectory;
    if (!S_ISDIR(mode) && !S_ISREG(mode) && !S_ISLNK(mode)) attributes |= kFileAttributeDevice;
    if ((mode & 0222) == 0) attributes |= kFileAttributeReadOnly;
    return attributes ? attributes : kFileAttributeNormal;
}

// ---- paths through link cycles ----------------------------------------------------------------

// The kernel follows at most 40 links while it resolves one path, so in a source folder that
// links back to itself (loop -> .) the path src/loop/loop/... stops resolving long before the
// engine's own path limit, and the walk would end there without a word. Resolved one component
// at a time, each link is followed by itself. Only paths the kernel refused with ELOOP pay for it.

// Opens the folder holding the last component of path one component at a time, and points leaf
// at that component inside path; -1 with errno on failure.
int OpenParentStepwise(char* path, const char** leaf) {
    size_t n = strlen(path);
    while (n > 1 && path[n - 1] == '/') path[--n] = '\0';
    char* last = strrchr(path, '/');
    if (!last || last[1] == '\0') {
        errno = ELOOP;
        return -1;
    }
    int fd = open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    char* component = path;
    while (fd >= 0 && component < last) {
        char* end = strchr(component, '/');
        *end = '\0';
        int next = *component ? openat(fd, component, O_PATH | O_DIRECTORY | O_CLOEXEC) : dup(fd);
        int err = errno;
        *end = '/';
        close(fd);
        fd = next;
        errno = err;
        component = end + 1;
    }
    *leaf = last + 1;
    return fd;
}

}  // namespace

int posix::OpenThroughLinks(const char* path, int flags) {
    int fd = open(path, flags);
    if (fd >= 0 || errno != ELOOP) return fd;
    NativePath copy;
    strcpy(copy.text, path);
    const char* leaf;
    int parent = OpenParentStepwise(copy.text, &leaf);
    if (parent < 0) return -1;
    fd = openat(parent, leaf, flags);
    int err = errno;
    close(parent);
    errno = err;
    return fd;
}

namespace {

// StatAt of path from the working folder, resolved as OpenThroughLinks does.
int StatThroughLinks(const char* path, int flags, Meta& m) {
    int err = StatAt(AT_FDCWD, path, flags, m);
    if (err != ELOOP) return err;
    NativePath copy;
    strcpy(copy.text, path);
    const char* leaf;
    int parent = OpenParentStepwise(copy.text, &leaf);
    if (parent < 0) return errno;
    err = StatAt(parent, leaf, flags, m);
    close(parent);
    return err;
}

// What stands at path itself: a link is described by what it leads to, or as a file when it
// leads nowhere, and is marked as a link either way. One call for anything but a link.
int DescribePath(const char* path, Meta& m, bool* link) {
    int err = StatThroughLinks(path, AT_STATX_SYNC_AS_STAT | AT_SYMLINK_NOFOLLOW, m);
    *link = err == 0 && S_ISLNK(m.mode);
    if (!*link) return err;
    Meta target{};
    if (StatThroughLinks(path, AT_STATX_SYNC_AS_STAT, target) == 0) {
        m = target;
    } else {
        m.mode = S_IFREG | (m.mode & 0777);
    }
    return 0;
}

// ---- listings -------------------------------------------------------------------------------

// The folder's records are read straight with getdents64 into a buffer of the listing's own:
// opendir would add a status query and two descriptor-flag calls to every folder of every walk.
constexpr size_t kListingBuffer = 32 * 1024;
// The smallest record: its fixed fields and a one-byte name with its zero, rounded up to 8.
constexpr size_t kMaxRecords = kListingBuffer / 24;

// What the first query of a full listing said of one record: errno or 0, and the description.
struct Described {
    int err;
    Meta m;
};

struct PosixFind {
    int fd;
    bool typesOnly;
    size_t next;  // offset of the next record in buffer
    size_t end;   // bytes of records in buffer
    size_t record;  // number of the next record in buffer, counted from 0
    alignas(struct dirent64) char buffer[kListingBuffer];
    Described described[kMaxRecords];  // full listings: each record of buffer, described ahead
};

// ---- describing records on the second core ----------------------------------------------------
//
// Describing the entries is most of a walk's time, and each query waits on the kernel alone: the
// records of one read are described ahead, shared with a helper thread where the machine has a
// second core. The answers are the same calls' answers; only the order of asking changes.

constexpr size_t kHalvedFrom = 32;  // fewer records are not worth waking the helper for

void DescribeRecords(int fd, const char* const* names, Described* out, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        out[i].m = Meta{};
        out[i].err = names[i] ? StatAt(fd, names[i], AT_STATX_DONT_SYNC, out[i].m) : 0;  // null: a folder
    }
}

// One job at a time; a listing that finds the helper busy (another thread's walk) describes all
// of its records itself. Made once and never freed: the helper waits on it until the process ends.
//
// The two threads take the records one at a time from a shared counter, so that neither ever
// waits for the other to begin: on a machine whose second core is busy the helper may come to a
// job late or not at all, and the listing then describes the records itself instead of waiting a
// scheduler's turn per read (with many folders, that wait was most of a no-change run's time on
// a busy machine). The listing waits only for records the helper has already begun.
struct DescribeHelper {
    std::mutex owner;  // held by the listing whose job the helper may join
    std::mutex lock;
    std::condition_variable posted;
    std::condition_variable finished;
    bool open = false;    // a job is posted and the helper may still join it
    bool inside = false;  // the helper works on the job
    int fd = -1;
    const char* const* names = nullptr;
    Described* out = nullptr;
    size_t count = 0;
    std::atomic<size_t> next{0};  // the next record of the job not yet taken
};

// Records are taken a few at a time: the two threads then seldom write next to each other.
constexpr size_t kRecordsPerTake = 8;

// Describes records of the job taken from the shared counter until none is left; how many.
size_t TakeRecords(DescribeHelper* job) {
    size_t taken = 0;
    for (size_t i = job->next.fetch_add(kRecordsPerTake, std::memory_order_relaxed); i < job->count;
         i = job->next.fetch_add(kRecordsPerTake, std::memory_order_relaxed)) {
        size_t count = job->count - i < kRecordsPerTake ? job->count - i : kRecordsPerTake;
        DescribeRecords(job->fd, job->names + i, job->out + i, count);
        taken += count;
    }
    return taken;
}

void RunHelper(DescribeHelper* helper) {
    for (;;) {
        std::unique_lock<std::mutex> hold(helper->lock);
        helper->posted.wait(hold, [helper] { return helper->open; });
        helper->open = false;
        helper->inside = true;
        hold.unlock();
        TakeRecords(helper);
        hold.lock();
        helper->inside = false;
        helper->finished.notify_one();
    }
}

std::atomic<bool> g_oneCore{false};

}  // namespace

void PosixDescribeOnOneCore(bool one) { g_oneCore.store(one, std::memory_order_relaxed); }

namespace {

DescribeHelper* Helper() {
    static DescribeHelper* helper = [] {
        if (std::thread::hardware_concurrency() < 2) return static_cast<DescribeHelper*>(nullptr);
        DescribeHelper* made = new (std::nothrow) DescribeHelper;
        if (!made) return made;
        auto run = [](void* helper) { RunHelper(static_cast<DescribeHelper*>(helper)); };
        if (!StartThread(run, made, 0, nullptr)) {  // no thread to be had: every listing describes its own records
            delete made;
            return static_cast<DescribeHelper*>(nullptr);
        }
        return made;
    }();
    return g_oneCore.load(std::memory_order_relaxed) ? nullptr : helper;
}

// A helper that comes to its jobs late, or hardly at all, shows that the second core is busy:
// waking it then costs more than it gives, so the listings describe alone for a while, and try
// again after kPassedOverJobs jobs. Kept per listing thread.
constexpr size_t kPassedOverJobs = 32;
thread_local size_t t_passOver = 0;

void DescribeAhead(int fd, const char* const* names, Described* out, size_t count) {
    DescribeHelper* helper = count >= kHalvedFrom ? Helper() : nullptr;
    if (helper && t_passOver > 0) {
        --t_passOver;
        helper = nullptr;
    }
    if (!helper || !helper->owner.try_lock()) {
        DescribeRecords(fd, names, out, count);
        return;
    }
    {
        std::lock_guard<std::mutex> hold(helper->lock);
        helper->fd = fd;
        helper->names = names;
        helper->out = out;
        helper->count = count;
        helper->next.store(0, std::memory_order_relaxed);
        helper->open = true;
    }
    helper->posted.notify_one();
    size_t own = TakeRecords(helper);
    {
        // A helper that has not come yet finds no job; one that has, ends with the records it took.
        std::unique_lock<std::mutex> hold(helper->lock);
        helper->open = false;
        helper->finished.wait(hold, [helper] { return !helper->inside; });
    }
    helper->owner.unlock();
    if (own > count - count / 4) t_passOver = kPassedOverJobs;  // the helper took under a quarter
}

// The next record of the folder; null at its end (*error 0) or on a read error (*error set).
const struct dirent64* NextRecord(PosixFind* find, uint32_t* error) {
    *error = 0;
    if (find->next >= find->end) {
        ssize_t n;
        do n = getdents64(find->fd, find->buffer, sizeof find->buffer);
        while (n < 0 && errno == EINTR);
        if (n < 0) *error = static_cast<uint32_t>(errno);
        if (n <= 0) return nullptr;
        find->next = 0;
        find->end = static_cast<size_t>(n);
        find->record = 0;
        if (!find->typesOnly) {
            const char* names[kMaxRecords];
            size_t count = 0;
            for (size_t at = 0; at < find->end && count < kMaxRecords; ++count) {
                const struct dirent64* d = reinterpret_cast<const struct dirent64*>(find->buffer + at);
                names[count] = d->d_type == DT_DIR ? nullptr : d->d_name;
                at += d->d_reclen;
            }
            DescribeAhead(find->fd, names, find->described, count);
        }
    }
    const struct dirent64* d = reinterpret_cast<const struct dirent64*>(find->buffer + find->next);
    find->next += d->d_reclen;
    ++find->record;
    return d;
}

// Fills e with the next entry; false at the end (*error 0) or on a read error (*error set). An
// entry that cannot be described (a folder listed but not entered) comes with its error and the
// kind the listing itself gives.
bool ReadEntry(PosixFind* find, FindEntry* e, uint32_t* error) {
    int fd = find->fd;
    for (;;) {
        const struct dirent64* d = NextRecord(find, error);
        if (!d) return false;
        if (!Utf8ToWide(d->d_name, strlen(d->d_name), e->name, kMaxEntryName + 1)) continue;
        e->error = 0;
        // A folder or a plain file is known from the listing alone; a link, or an entry whose
        // type the file system leaves unknown, is looked at as in a full listing. A folder's size
        // and times are never read, so a full listing does not ask about it either.
        if (d->d_type == DT_DIR || (find->typesOnly && d->d_type == DT_REG)) {
            e->attributes = d->d_type == DT_DIR ? kFileAttributeDirectory : kFileAttributeNormal;
            e->creationTime = FileTime{0, 0};
            e->lastWriteTime = FileTime{0, 0};
            e->sizeHigh = 0;
            e->sizeLow = 0;
            return true;
        }
        Meta m{};
        struct stat linkCheck;
        // Links are followed, as the engine walks into linked folders; a link that leads nowhere
        // (or round in a circle) is described by itself, as a file.
        Described now{};
        const Described* ahead = &find->described[find->record - 1];
        if (find->typesOnly) {  // a link or an unknown kind in a listing that described nothing ahead
            now.err = StatAt(fd, d->d_name, AT_STATX_DONT_SYNC, now.m);
            ahead = &now;
        }
        m = ahead->m;
        if (ahead->err != 0) {
            int err = StatAt(fd, d->d_name, AT_STATX_DONT_SYNC | AT_SYMLINK_NOFOLLOW, m);
            if (err == ENOENT) continue;  // removed since readdir
            if (err != 0) {
                m = Meta{};
                m.mode = d->d_type == DT_DIR ? S_IFDIR | 0755 : S_IFREG | 0644;
                e->error = static_cast<uint32_t>(err);
            } else if (S_ISLNK(m.mode)) {
                m.mode = S_IFREG | (m.mode & 0777);
            }
        }
        e->attributes = AttributesOf(m.mode);
        // d_type says "link" without a further call; only file systems that leave it unknown
        // need one.
        if (d->d_type == DT_LNK ||
            (d->d_type == DT_UNKNOWN && fstatat(fd, d->d_name, &linkCheck, AT_SYMLINK_NOFOLLOW) == 0 &&
             S_ISLNK(linkCheck.st_mode))) {
            e->attributes |= kFileAttributeReparsePoint;
        }
        e->creationTime = m.creation;
        e->lastWriteTime = m.lastWrite;
        e->sizeHigh = static_cast<uint32_t>(m.size >> 32);
        e->sizeLow = static_cast<uint32_t>(m.size);
        return true;
    }
}

FindHandle OpenListing(const wchar_t* pattern, FindEntry* entry, bool typesOnly, uint32_t* error) {
    NativePath path;
    if (!ToNative(pattern, path)) {
        *error = ENAMETOOLONG;
        return nullptr;
    }
    size_t n = strlen(path.text);
    if (n < 3 || strcmp(path.text + n - 3, "*.*") != 0) {
        *error = EINVAL;
        return nullptr;
    }
    path.text[n - 3] = '\0';
    const char* folder = n == 3 ? "." : path.text;
    int fd = OpenThroughLinks(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *error = static_cast<uint32_t>(errno);
        return nullptr;
    }
    PosixFind* find = new (std::nothrow) PosixFind;
    if (!find) {
        close(fd);
        *error = ENOMEM;
        return nullptr;
    }
    find->fd = fd;
    find->typesOnly = typesOnly;
    find->next = 0;
    find->end = 0;
    find->record = 0;
    if (!ReadEntry(find, entry, error)) {
        close(fd);
        delete find;
        return nullptr;
    }
    return find;
}

FindHandle PosixFindFirst(const wchar_t* pattern, FindEntry* entry, uint32_t* error) {
    return OpenListing(pattern, entry, false, error);
}

FindHandle PosixFindFirstTypesOnly(const wchar_t* pattern, FindEntry* entry, uint32_t* error) {
    return OpenListing(pattern, entry, true, error);
}

bool PosixFindNext(FindHandle handle, FindEntry* entry, uint32_t* error) {
    *error = 0;
    return handle && ReadEntry(static_cast<PosixFind*>(handle), entry, error);
}

void PosixFindClose(FindHandle handle) {
    if (!handle) return;
    PosixFind* find = static_cast<PosixFind*>(handle);
    close(find->fd);
    delete find;
}

// ---- single paths ---------------------------------------------------------------------------

uint32_t PosixGetAttributes(const wchar_t* path) {
    NativePath native;
    Meta m{};
    bool link = false;
    if (!ToNative(path, native) || DescribePath(native.text, m, &link) != 0)
        return kInvalidFileAttributes;
    return AttributesOf(m.mode) | (link ? kFileAttributeReparsePoint : 0);
}

bool PosixGetAttributesEx(const wchar_t* path, FileInfo* info) {
    NativePath native;
    Meta m{};
    bool link = false;
    if (!ToNative(path, native) || DescribePath(native.text, m, &link) != 0)
        return false;
    info->attributes = AttributesOf(m.mode) | (link ? kFileAttributeReparsePoint : 0);
    info->creationTime = m.creation;
    info->lastWriteTime = m.lastWrite;
    info->sizeHigh = static_cast<uint32_t>(m.size >> 32);
    info->sizeLow = static_cast<uint32_t>(m.size);
    return true;
}

// ---- writes below a guarded root ------------------------------------------------------------
//
// A folder looked at by a walk can be swapped for a link before the write that follows the look;
// a write by full path would then land wherever the link leads. While a root is guarded, every
// write below it reaches its folder from the root's descriptor, one component after another and
// none of them a link (openat2 with RESOLVE_NO_SYMLINKS, or the same walk by hand on kernels
// before 5.6), and is then made relative to that folder's descriptor: the folder as it stood when
// it was opened is what is written into, and a link on the way fails the call with ELOOP. The
// last part itself may be a link, which the operations treat as an entry, never as a way.
//
// The guard is set and let go only between runs; while the walks and the copy threads use it, it
// is only read (the copy queue hands every job over under its lock).
struct WriteGuard {
    bool held;
    int rootFd;          // -1 when the root could not be opened: every write below it fails
    int rootError;       // why it could not be opened
    size_t prefixLength;
    char prefix[PATH_MAX];  // the root's text with one closing '/'
};
WriteGuard g_guard = {false, -1, 0, 0, {}};

// Set when openat2 cannot be had (or a test asks for it): folders are opened one by one.
std::atomic<bool> g_stepwise{false};

}  // namespace

void PosixResolveStepwise(bool stepwise) { g_stepwise.store(stepwise, std::memory_order_relaxed); }

namespace {

// The folder at relative (no leading '/') below root, opened one component at a time without
// following a link; -1 with errno (ELOOP for a link on the way).
int OpenBeneathStepwise(int root, char* relative) {
    int fd = root;
    for (char* component = relative; *component;) {
        char* end = strchr(component, '/');
        if (end) *end = '\0';
        int next = -2;  // -2: nothing to open for this component
        int err = 0;
        if (strcmp(component, "..") == 0) {
            err = EXDEV;  // never composed by the engine; the kernel's own walk refuses it alike
            next = -1;
        } else if (*component && strcmp(component, ".") != 0) {
            next = openat(fd, component, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            err = errno;
            struct stat st;
            if (next < 0 && (err == ENOTDIR || err == ELOOP) &&
                fstatat(fd, component, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                err = ELOOP;
        }
        if (end) *end = '/';
        if (next != -2) {
            if (fd != root) close(fd);
            if (next < 0) {
                errno = err;
                return -1;
            }
            fd = next;
        }
        component = end ? end + 1 : component + strlen(component);
    }
    return fd == root ? fcntl(root, F_DUPFD_CLOEXEC, 0) : fd;
}

int OpenBeneath(int root, char* relative) {
    if (!g_stepwise.load(std::memory_order_relaxed)) {
        struct open_how how = {};
        how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
        long fd = syscall(SYS_openat2, root, relative, &how, sizeof how);
        // Some sandboxes (older systemd and container seccomp filters) refuse the call with EPERM
        // instead of ENOSYS; opening a path descriptor needs no permission that could say EPERM.
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
        g_stepwise.store(true, std::memory_order_relaxed);
    }
    return OpenBeneathStepwise(root, relative);
}

// The two folders below the guarded root that this thread opened last, by their text relative
// to the root: a walk writes into one folder many times in a row (and moves between it and its
// twin in Backup or Deleted), so most writes spare the walk from the root. A folder opened earlier
// stays the folder that was looked at: writes through it go where the look was, even if it is
// renamed or replaced meanwhile, and never through a link put in its place. Each thread has its
// own; an entry of an earlier guard is closed at the next look-up, by the guard's release on the
// thread that lets go, or when its thread ends (the copy queue's worker ends with every run).
std::atomic<uint64_t> g_guardGeneration{0};

struct OpenedFolder {
    uint64_t generation = 0;
    int fd = -1;
    std::string relative;
};

struct OpenedFolders {
    OpenedFolder slot[2];
    unsigned recent = 0;  // the slot used last; a look-up that misses replaces the other
    void Forget() {
        for (OpenedFolder& folder : slot) {
            if (folder.fd >= 0) close(folder.fd);
            folder.fd = -1;
        }
    }
    ~OpenedFolders() { Forget(); }
};
thread_local OpenedFolders t_opened;

// The descriptor of the folder at relative below the root, opened now or earlier by this thread;
// it stays the cache's. -1 with errno.
int OpenedFolderBelowRoot(char* relative) {
    uint64_t generation = g_guardGeneration.load(std::memory_order_relaxed);
    OpenedFolders& opened = t_opened;
    for (unsigned i = 0; i < 2; ++i) {
        OpenedFolder& folder = opened.slot[i];
        if (folder.fd >= 0 && folder.generation != generation) {
            close(folder.fd);
            folder.fd = -1;
        }
        if (folder.fd >= 0 && folder.relative == relative) {
            opened.recent = i;
            return folder.fd;
        }
    }
    int fd = OpenBeneath(g_guard.rootFd, relative);
    if (fd < 0) return -1;
    unsigned replaced = 1 - opened.recent;
    OpenedFolder& folder = opened.slot[replaced];
    if (folder.fd >= 0) close(folder.fd);
    folder.fd = fd;
    folder.generation = generation;
    try {
        folder.relative = relative;
    } catch (const std::bad_alloc&) {
        folder.relative.clear();  // matches no folder below the root
    }
    opened.recent = replaced;
    return fd;
}

}  // namespace

int posix::OpenPlace(char* path, Place& place) {
    place.folder = AT_FDCWD;
    place.name = path;
    if (!g_guard.held || strncmp(path, g_guard.prefix, g_guard.prefixLength) != 0) return 0;
    char* relative = path + g_guard.prefixLength;
    while (*relative == '/') ++relative;
    size_t n = strlen(relative);
    while (n > 0 && relative[n - 1] == '/') relative[--n] = '\0';
    if (n == 0) return 0;  // the root itself, by another spelling: nothing below it is reached
    if (g_guard.rootFd < 0) return g_guard.rootError;
    char* slash = strrchr(relative, '/');
    if (!slash) {
        place.folder = g_guard.rootFd;
        place.name = relative;
        return 0;
    }
    *slash = '\0';
    int fd = OpenedFolderBelowRoot(relative);
    int err = errno;
    *slash = '/';
    if (fd < 0) return err;
    place.folder = fd;
    place.name = slash + 1;
    return 0;
}

namespace {

// The root as the user gave it is trusted, links on the way to it included: it is opened once,
// and everything below it is reached from that descriptor.
void PosixGuardWritesBelow(const wchar_t* root) {
    g_guardGeneration.fetch_add(1, std::memory_order_relaxed);
    t_opened.Forget();
    if (g_guard.rootFd >= 0) close(g_guard.rootFd);
    g_guard = WriteGuard{false, -1, 0, 0, {}};
    if (!root) return;
    NativePath native;
    size_t n = 0;
    // Every path below a root too long for the buffer is too long as well, and fails by itself;
    // the engine never passes an empty root.
    if (!ToNative(root, native) || (n = strlen(native.text)) == 0 || n + 2 > sizeof g_guard.prefix) return;
    memcpy(g_guard.prefix, native.text, n);
    if (native.text[n - 1] != '/') g_guard.prefix[n++] = '/';
    g_guard.prefix[n] = '\0';
    g_guard.prefixLength = n;
    g_guard.rootFd = OpenThroughLinks(native.text, O_PATH | O_DIRECTORY | O_CLOEXEC);
    g_guard.rootError = g_guard.rootFd < 0 ? errno : 0;
    g_guard.held = true;
}

uint32_t PosixCreateDirectory(const wchar_t* path) {
    NativePath native;
    if (!ToNative(path, native)) return ENAMETOOLONG;
    Place at;
    if (int err = OpenPlace(native.text, at)) return err;
    return mkdirat(at.folder, at.name, 0777) == 0 ? 0 : errno;
}

uint32_t PosixRemoveDirectory(const wchar_t* path) {
    NativePath native;
    if (!ToNative(path, native)) return ENAMETOOLONG;
    Place at;
    if (int err = OpenPlace(native.text, at)) return err;
    int err = unlinkat(at.folder, at.name, AT_REMOVEDIR) == 0 ? 0 : errno;
    // POSIX lets a file system say EEXIST for a folder that is not empty.
    return err == EEXIST ? ENOTEMPTY : err;
}

}  // namespace

// The kernel checks and renames in one step, so nothing that appears at `to` meanwhile is ever
// replaced. File systems without RENAME_NOREPLACE get link + unlink, where link fails atomically
// when `to` exists.
int posix::RenameNoReplace(int fromFolder, const char* from, int toFolder, const char* to) {
    if (renameat2(fromFolder, from, toFolder, to, RENAME_NOREPLACE) == 0) return 0;
    int err = errno;
    if (err != EINVAL && err != ENOSYS && err != EOPNOTSUPP) return err;
    if (linkat(fromFolder, from, toFolder, to, 0) != 0) return errno;
    if (unlinkat(fromFolder, from, 0) != 0) {
        err = errno;
        unlinkat(toFolder, to, 0);  // the name this call made; the file lives on under `from`
        return err;
    }
    return 0;
}

namespace {

uint32_t PosixMoveFile(const wchar_t* from, const wchar_t* to) {
    NativePath source, target;
    if (!ToNative(from, source) || !ToNative(to, target)) return ENAMETOOLONG;
    Place fromAt, toAt;
    if (int err = OpenPlace(source.text, fromAt)) return err;
    if (int err = OpenPlace(target.text, toAt)) return err;
    return static_cast<uint32_t>(RenameNoReplace(fromAt.folder, fromAt.name, toAt.folder, toAt.name));
}

// ---- volumes and canonical paths ------------------------------------------------------------

struct KnownFileSystem {
    uint32_t magic;
    const char* name;
};

const KnownFileSystem kKnownFileSystems[] = {
    {0xEF53, "ext4"},       {0x01021994, "tmpfs"},   {0x58465342, "xfs"},
    {0x9123683E, "btrfs"},  {0x794C7630, "overlay"}, {0x6969, "nfs"},
    {0x4D44, "FAT32"},      {0x5346544E, "NTFS"},    {0x7366746E, "NTFS"},
    {0x2011BAB0, "exFAT"},  {0x65735546, "fuse"},    {0x2FC12FC1, "zfs"},
    {0xF2F52010, "f2fs"},   {0x01021997, "9p"},      {0xFF534D42, "cifs"},
    {0xFE534D42, "cifs"},   {0x858458F6, "ramfs"},   {0x73717368, "squash"},
    {0x9660, "iso9660"},    {0x15013346, "udf"},
};

// Known types by name; any other by its number in base 36 (at most 7 digits for 32 bits), in
// capitals so that it can only ever spell one of the capital names above, which then gets a '#'.
void FileSystemName(uint32_t magic, char (&out)[8]) {
    for (const KnownFileSystem& known : kKnownFileSystems) {
        if (known.magic == magic) {
            strcpy(out, known.name);
            return;
        }
    }
    char digits[8];
    int n = 0;
    do {
        digits[n++] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[magic % 36];
        magic /= 36;
    } while (magic != 0);
    int o = 0;
    while (n > 0) out[o++] = digits[--n];
    out[o] = '\0';
    if (strcmp(out, "NTFS") == 0 || strcmp(out, "FAT32") == 0) {
        memmove(out + 1, out, static_cast<size_t>(o) + 1);
        out[0] = '#';
    }
}

bool PosixGetFileSystemName(const wchar_t* folder, wchar_t* name, size_t capacity) {
    NativePath native;
    struct statfs sf;
    if (!ToNative(folder, native) || statfs(native.text, &sf) != 0) return false;
    char text[8];
    FileSystemName(static_cast<uint32_t>(sf.f_type), text);
    return Utf8ToWide(text, strlen(text), name, capacity);
}

// Relative paths stay relative: the working folder never changes during a run, and a path made
// absolute could pass PATH_MAX where the relative one does not.
bool PosixGetFullPath(const wchar_t* path, wchar_t* out, size_t capacity) {
    size_t length = wcslen(path);
    if (length >= capacity) return false;
    wmemcpy(out, path, length + 1);
    return true;
}

uint32_t PosixGetFolderId(const wchar_t* path, FolderId* id) {
    NativePath native;
    if (!ToNative(path, native)) return ENAMETOOLONG;
    int fd = OpenThroughLinks(native.text, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return static_cast<uint32_t>(errno);
    struct stat st;
    int err = fstat(fd, &st) == 0 ? 0 : errno;
    close(fd);
    if (err == 0) *id = FolderId{static_cast<uint64_t>(st.st_dev), 0, static_cast<uint64_t>(st.st_ino)};
    return static_cast<uint32_t>(err);
}

// ---- folders seen through more than one mount -------------------------------------------------

// Climbing ".." follows the mount a folder was reached through, so a folder mounted a second time
// (a bind mount of a folder, or the same file system mounted twice) leads somewhere else. The
// mount table says what each mount shows: the file system (its device numbers) and the folder of
// that file system at its root. With it every folder maps to its device and its path within the
// file system, which is the same whichever mount it was reached through.
struct MountRecord {
    int id;
    int parent;
    unsigned major, minor;
    std::string root;   // within the file system
    std::string point;  // where it is mounted, as the process sees it
};

struct MountTable {
    std::vector<MountRecord> records;
    std::unordered_map<int, size_t> byId;
};

// One space-separated field of the table; space, tab, newline and backslash stand there as a
// backslash and three octal digits.
bool TakeMountField(const char*& p, const char* end, std::string& out) {
    out.clear();
    while (p < end && *p == ' ') ++p;
    const char* start = p;
    while (p < end && *p != ' ') {
        if (*p == '\\' && end - p >= 4 && p[1] >= '0' && p[1] <= '3' && p[2] >= '0' && p[2] <= '7' &&
            p[3] >= '0' && p[3] <= '7') {
            out += static_cast<char>((p[1] - '0') * 64 + (p[2] - '0') * 8 + (p[3] - '0'));
            p += 4;
        } else {
            out += *p++;
        }
    }
    return p > start;
}

bool ParseMountLine(const char* p, const char* end, MountRecord& record) {
    std::string field;
    char* rest;
    if (!TakeMountField(p, end, field)) return false;
    record.id = static_cast<int>(strtol(field.c_str(), &rest, 10));
    if (*rest) return false;
    if (!TakeMountField(p, end, field)) return false;
    record.parent = static_cast<int>(strtol(field.c_str(), &rest, 10));
    if (*rest) return false;
    if (!TakeMountField(p, end, field) || sscanf(field.c_str(), "%u:%u", &record.major, &record.minor) != 2)
        return false;
    return TakeMountField(p, end, record.root) && record.root[0] == '/' && TakeMountField(p, end, record.point) &&
           record.point[0] == '/';
}

// The process's mount table. *shown false when the system shows none (no /proc mounted).
uint32_t ReadMountTable(MountTable& table, bool* shown) {
    *shown = false;
    int fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? 0 : errno;
    std::string text;
    char chunk[16384];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            close(fd);
            return err;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    for (size_t at = 0; at < text.size();) {
        size_t line = text.find('\n', at);
        if (line == std::string::npos) line = text.size();
        MountRecord record;
        if (!ParseMountLine(text.data() + at, text.data() + line, record)) return EIO;
        table.byId[record.id] = table.records.size();
        table.records.push_back(std::move(record));
        at = line + 1;
    }
    *shown = !table.records.empty();
    return table.records.empty() ? EIO : 0;
}

// The id of the mount an open folder was reached through: statx where the kernel gives it (5.8),
// else the descriptor's entry in /proc (3.15). -1 when neither has it.
int MountIdOf(int fd) {
    struct statx sx;
    if (!g_noStatx.load(std::memory_order_relaxed) && statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) == 0 &&
        (sx.stx_mask & STATX_MNT_ID))
        return static_cast<int>(sx.stx_mnt_id);
    char name[48];
    snprintf(name, sizeof name, "/proc/self/fdinfo/%d", fd);
    FILE* info = fopen(name, "re");
    if (!info) return -1;
    int id = -1;
    char line[128];
    while (id < 0 && fgets(line, sizeof line, info))
        if (sscanf(line, "mnt_id: %d", &id) != 1) id = -1;
    fclose(info);
    return id;
}

struct FolderPlace {
    size_t mount;        // its record in the table
    std::string path;    // as the process sees it
    std::string inFs;    // within the file system
};

// Whether path is the folder within or lies below it.
bool PathWithin(const std::string& path, const std::string& within) {
    if (within == "/") return true;
    return path.compare(0, within.size(), within) == 0 && (path.size() == within.size() || path[within.size()] == '/');
}

// Where the open folder fd sits. *shown false when its mount cannot be known on this kernel.
uint32_t PlaceOfFolder(int fd, const MountTable& table, FolderPlace& place, bool* shown) {
    *shown = false;
    int id = MountIdOf(fd);
    if (id < 0) return 0;
    char link[48];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    NativePath path;
    ssize_t n = readlink(link, path.text, sizeof path.text);
    if (n < 0) return errno;
    if (n == static_cast<ssize_t>(sizeof path.text)) return ENAMETOOLONG;
    place.path.assign(path.text, static_cast<size_t>(n));
    // A mount the table leaves out (one outside the process's root) or a path that is not below
    // its mount point cannot be placed: not guessed.
    auto found = table.byId.find(id);
    if (found == table.byId.end() || place.path[0] != '/') return ENOENT;
    place.mount = found->second;
    const MountRecord& m = table.records[place.mount];
    if (!PathWithin(place.path, m.point)) return ENOENT;
    std::string below = m.point == "/" ? place.path : place.path.substr(m.point.size());
    place.inFs = m.root == "/" ? (below.empty() ? "/" : below) : m.root + (below == "/" ? "" : below);
    *shown = true;
    return 0;
}

// The record of the mount that record i is mounted on; table.size() for the first mount.
size_t ParentOf(const MountTable& table, size_t i) {
    auto found = table.byId.find(table.records[i].parent);
    return found == table.byId.end() || found->second == i ? table.records.size() : found->second;
}

// Marks every mount that lies in the folder's tree: mounted on its mount at or below it, and all
// mounted on those in turn.
std::vector<bool> MountsBelow(const MountTable& table, const FolderPlace& folder) {
    const std::vector<MountRecord>& r = table.records;
    std::vector<bool> below(r.size(), false);
    for (size_t i = 0; i < r.size(); ++i) {
        for (size_t at = i, steps = 0; at < r.size() && at != folder.mount && steps < r.size(); ++steps) {
            size_t up = ParentOf(table, at);
            if (up == folder.mount && PathWithin(r[at].point, folder.path)) {
                below[i] = true;
                break;
            }
            at = up;
        }
    }
    return below;
}

// Whether two mounts show the same file system.
bool SameDevice(const MountRecord& a, const MountRecord& b) { return a.major == b.major && a.minor == b.minor; }

// Whether what the folder outer shows, itself and everything mounted in its tree, includes inner
// itself or part of what is mounted in inner's tree. Of inner's mounts, those in outer's tree and
// outer's own mount with the ones it is mounted on are left out: they hold outer at its place
// below inner, which is no second mount (the question the other way round answers it), and a
// source link to a folder that merely holds the destination is walked up to the destination.
bool MountsShowInside(const MountTable& mounts, const FolderPlace& outer, const FolderPlace& inner) {
    const std::vector<MountRecord>& table = mounts.records;
    std::vector<bool> outerBelow = MountsBelow(mounts, outer);
    std::vector<bool> innerBelow = MountsBelow(mounts, inner);
    std::vector<bool> onWay(table.size(), false);
    for (size_t at = outer.mount; at < table.size() && !onWay[at]; at = ParentOf(mounts, at)) onWay[at] = true;
    auto inOuter = [&](const MountRecord& device, const std::string& path, bool tree) {
        if (SameDevice(device, table[outer.mount]) &&
            (PathWithin(path, outer.inFs) || (tree && PathWithin(outer.inFs, path))))
            return true;
        for (size_t i = 0; i < table.size(); ++i)
            if (outerBelow[i] && SameDevice(device, table[i]) &&
                (PathWithin(path, table[i].root) || (tree && PathWithin(table[i].root, path))))
                return true;
        return false;
    };
    if (inOuter(table[inner.mount], inner.inFs, false)) return true;
    for (size_t i = 0; i < table.size(); ++i)
        if (innerBelow[i] && !outerBelow[i] && !onWay[i] && inOuter(table[i], table[i].root, true)) return true;
    return false;
}

// Whether the mount table places inner in outer. Without a table, or where this kernel cannot
// say which mount a folder was reached through (before 3.15), the climb alone decides and a
// second mount of a folder is not seen: refusing every run on a system without /proc would make
// the program useless there, and only an administrator can set up such a mount.
uint32_t MountTablePlacesInside(int outerFd, int innerFd, bool* inside) {
    MountTable table;
    bool shown;
    uint32_t err = ReadMountTable(table, &shown);
    if (err || !shown) return err;
    FolderPlace outer, inner;
    if ((err = PlaceOfFolder(outerFd, table, outer, &shown)) != 0 || !shown) return err;
    if ((err = PlaceOfFolder(innerFd, table, inner, &shown)) != 0 || !shown) return err;
    *inside = MountsShowInside(table, outer, inner);
    return 0;
}

// Climbs from the folder fd through ".." to the root, comparing each folder's device and inode
// with target's: no path is composed, so neither depth nor links nor second names can hide an
// overlap. A folder mounted a second time elsewhere climbs through its second place.
uint32_t ClimbMeets(int start, const struct stat& target, bool* inside) {
    int fd = fcntl(start, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return static_cast<uint32_t>(errno);
    struct stat here;
    for (;;) {
        if (fstat(fd, &here) != 0) break;
        if (here.st_dev == target.st_dev && here.st_ino == target.st_ino) {
            close(fd);
            *inside = true;
            return 0;
        }
        int parent = openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (parent < 0) break;
        struct stat above;
        if (fstat(parent, &above) != 0) {
            int err = errno;
            close(parent);
            close(fd);
            return static_cast<uint32_t>(err);
        }
        close(fd);
        fd = parent;
        if (above.st_dev == here.st_dev && above.st_ino == here.st_ino) {  // the root is its own parent
            close(fd);
            *inside = false;
            return 0;
        }
    }
    int err = errno;
    close(fd);
    return static_cast<uint32_t>(err ? err : EIO);
}

// The climb sees links and second names; the mount table sees second mounts, which the climb
// passes by.
uint32_t PosixFolderContains(const wchar_t* outer, const wchar_t* inner, bool* inside) {
    NativePath outerPath, innerPath;
    if (!ToNative(outer, outerPath) || !ToNative(inner, innerPath)) return ENAMETOOLONG;
    int outerFd = OpenThroughLinks(outerPath.text, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (outerFd < 0) return static_cast<uint32_t>(errno);
    int innerFd = OpenThroughLinks(innerPath.text, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (innerFd < 0) {
        int err = errno;
        close(outerFd);
        return static_cast<uint32_t>(err);
    }
    struct stat target;
    uint32_t err = fstat(outerFd, &target) == 0 ? 0 : static_cast<uint32_t>(errno);
    *inside = false;
    if (!err) err = ClimbMeets(innerFd, target, inside);
    if (!err && !*inside) err = MountTablePlacesInside(outerFd, innerFd, inside);
    close(innerFd);
    close(outerFd);
    return err;
}

// Opening a FIFO for reading would release a writer waiting at its other end (who then dies of
// SIGPIPE when it is closed unread), and opening a device can act on it: the type is looked at
// through an O_PATH descriptor, which opens nothing, and only a plain file is then opened for
// reading, through that same descriptor, so that nothing put in its place meanwhile is. Without
// /proc the file is opened by its name, unblocking and without following a link, and must be the
// one looked at.
uint32_t PosixOpenRead(const wchar_t* path, ReadHandle* file) {
    NativePath native;
    if (!ToNative(path, native)) return ENAMETOOLONG;
    int looked = open(native.text, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (looked < 0) return errno;
    struct stat st;
    int err = fstat(looked, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : (S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP));
    int fd = -1;
    if (!err) {
        char again[32];
        snprintf(again, sizeof again, "/proc/self/fd/%d", looked);
        fd = open(again, O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0 && errno == ENOENT) {
            fd = open(native.text, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
            struct stat now;
            if (fd >= 0 && (fstat(fd, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
                close(fd);
                fd = -1;
                errno = EAGAIN;
            }
        }
        if (fd < 0) err = errno;
    }
    close(looked);
    if (err) return err;
    *file = reinterpret_cast<ReadHandle>(static_cast<intptr_t>(fd) + 1);  // never null
    return 0;
}

uint32_t PosixReadAt(ReadHandle file, uint64_t offset, void* buffer, size_t size, size_t* got) {
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(file) - 1);
    ssize_t n;
    do n = pread(fd, buffer, size, static_cast<off_t>(offset));
    while (n < 0 && errno == EINTR);
    if (n < 0) return errno;
    *got = static_cast<size_t>(n);
    return 0;
}

void PosixCloseRead(ReadHandle file) { close(static_cast<int>(reinterpret_cast<intptr_t>(file) - 1)); }

const FileSystem kPosixFileSystem = {
    PosixFindFirst,        PosixFindNext,        PosixFindClose,         PosixFindFirstTypesOnly,
    PosixGetAttributes,
    PosixGetAttributesEx,  PosixCreateDirectory, PosixRemoveDirectory,   PosixMoveFile,
    PosixCopyFile,         PosixGetFileSystemName, PosixGetFullPath, PosixFolderContains, PosixGetFolderId,
    PosixRemoveLeftoverCopy, [] { return true; },
    PosixOpenRead,         PosixReadAt,          PosixCloseRead,         [] { return false; },
    PosixGuardWritesBelow,
    // The kernel's limit is on the bytes of a name; a root never needs more than a lone "/".
    Utf8Length, [](const wchar_t*) { return false; },
};

}  // namespace

const FileSystem& PlatformFileSystem() { return kPosixFileSystem; }
