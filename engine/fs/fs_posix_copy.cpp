// The POSIX provider's copy: the bytes by copy_file_range (read and write where it cannot), holes
// kept, into a file without a name (O_TMPFILE) or a named temporary beside the target, linked or
// renamed into place only when whole and unchanged at its source; and the removal of what an
// interrupted copy left.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <wchar.h>

#include <atomic>
#include <memory>
#include <new>

#include "engine/fs/file_system.h"
#include "engine/fs/fs_posix.h"
#include "engine/fs/fs_posix_internal.h"

using namespace posix;

namespace {

constexpr size_t kRangeChunk = 16u << 20;  // copy_file_range: large, yet a cancel is soon seen
constexpr size_t kBufferSize = 1u << 20;   // read/write, where copy_file_range cannot work

// Temporary names need not be secret, only distinct from each other and from leftovers; O_EXCL
// settles any collision. The generator is seeded once per thread.
uint64_t NextRandom() {
    thread_local uint64_t state = 0;
    if (state == 0) {
        if (getrandom(&state, sizeof state, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof state)) {
            struct timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            state = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
                    (static_cast<uint64_t>(getpid()) << 20);
        }
        state |= 1;
    }
    state += 0x9E3779B97F4A7C15ull;  // splitmix64
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void MakeTempName(char (&name)[32]) {
    wchar_t wide[kLeftoverCopyNameLength + 1];
    MakeLeftoverCopyName(NextRandom(), wide);
    for (size_t i = 0; i <= kLeftoverCopyNameLength; ++i) name[i] = static_cast<char>(wide[i]);  // ASCII
}

int WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

bool CopyRangeUnsupported(int err) {
    return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EBADF;
}

// The source is opened with O_NONBLOCK so that a named pipe cannot block the open; a regular file
// ignores the flag on every local file system, so it is cleared (one more call) only when some
// file system answers EAGAIN after all.
bool ClearedNonBlocking(int in, int err) { return err == EAGAIN && fcntl(in, F_SETFL, 0) == 0; }

// The data of in from offset on: [*start, *end), after which a hole or the end follows. With no
// data left, *start == *end == the end as the copy began (or offset, if past it): should the file
// have changed meanwhile, the check after the copy sees it. A file system that cannot tell holes
// gives everything from offset on as data.
int NextData(int in, int64_t offset, int64_t total, int64_t* start, int64_t* end) {
    off_t data = lseek(in, offset, SEEK_DATA);
    if (data < 0) {
        if (errno == ENXIO) {
            *start = *end = offset < total ? total : offset;
            return 0;
        }
        if (errno != EINVAL && errno != EOPNOTSUPP) return errno;
        *start = offset;  // a failed lseek left the position where it was
        *end = INT64_MAX;
        return 0;
    }
    off_t hole = lseek(in, data, SEEK_HOLE);
    if (hole < 0 || lseek(in, data, SEEK_SET) < 0) return errno;
    *start = data;
    *end = hole;
    return 0;
}

// Copies in to out until the end of in, and tells how many bytes that was. Every chunk is
// reported; total is the size seen when the copy began (a file that grows meanwhile is reported
// against its new size). The holes of a sparse file stay holes: copy_file_range and read() would
// write them out as zeros (4 GiB of holes cost half a minute and 4 GiB of disk on ext4), so they
// are skipped on both sides and counted as copied. Only files with fewer blocks than bytes pay
// for finding the holes.
int CopyData(int in, int out, int64_t total, bool sparse, CopyProgressFn progress, int64_t* copied) {
    if (progress && progress(total, 0) == kCopyCancel) return ECANCELED;
    thread_local std::unique_ptr<char[]> buffer;
    bool useRange = true;
    bool endsInHole = false;
    int64_t done = 0;
    int64_t dataEnd = sparse ? 0 : INT64_MAX;  // where the data being copied ends
    for (;;) {
        ssize_t n;
        if (done >= dataEnd) {
            int64_t start = 0;
            if (int err = NextData(in, done, total, &start, &dataEnd)) return err;
            if (start == done && dataEnd == done) break;
            if (start > done) {
                if (lseek(out, start, SEEK_SET) < 0) return errno;
                endsInHole = true;
                done = start;
                if (progress && progress(done > total ? done : total, done) == kCopyCancel) return ECANCELED;
                continue;
            }
        }
        size_t want = dataEnd - done < static_cast<int64_t>(kRangeChunk) ? static_cast<size_t>(dataEnd - done)
                                                                           : kRangeChunk;
        if (useRange) {
            n = copy_file_range(in, nullptr, out, nullptr, want, 0);
            if (n < 0) {
                if (errno == EINTR || ClearedNonBlocking(in, errno)) continue;
                if (!CopyRangeUnsupported(errno)) return errno;
                useRange = false;
                continue;
            }
            // Some file systems answer 0 before the end: short of the size the copy began with,
            // read() tells the truth. At or past that size 0 is the end, as read() would say.
            if (n == 0) {
                if (done >= total) break;
                useRange = false;
                continue;
            }
        } else {
            if (!buffer) {
                buffer.reset(new (std::nothrow) char[kBufferSize]);
                if (!buffer) return ENOMEM;
            }
            n = read(in, buffer.get(), want < kBufferSize ? want : kBufferSize);
            if (n < 0) {
                if (errno == EINTR || ClearedNonBlocking(in, errno)) continue;
                return errno;
            }
            if (n == 0) break;
            if (int err = WriteAll(out, buffer.get(), static_cast<size_t>(n))) return err;
        }
        endsInHole = false;
        done += n;
        if (progress && progress(done > total ? done : total, done) == kCopyCancel) return ECANCELED;
        // At the size the copy began with, a call that only says "the end" is spared: anything
        // written to the file since changed its times, which the look after the copy compares.
        if (done == total && total > 0 && !sparse) break;
    }
    // A skipped hole at the end has not made the copy any longer yet.
    if (endsInHole && ftruncate(out, done) != 0) return errno;
    *copied = done;
    // A file that shrank during the copy still ends its progress at the full count.
    if (progress && done < total && progress(done, done) == kCopyCancel) return ECANCELED;
    return 0;
}

// The process's file-creation mask, read without changing it (umask(2) cannot be read without
// setting it, which would race with other threads); -1 when it cannot be read.
int ReadCreationMask() {
    int value = -1;
    if (FILE* status = fopen("/proc/self/status", "re")) {
        char line[128];
        while (fgets(line, sizeof line, status)) {
            unsigned parsed;
            if (sscanf(line, "Umask: %o", &parsed) == 1) {
                value = static_cast<int>(parsed & 0777);
                break;
            }
        }
        fclose(status);
    }
    return value;
}

// Reading the mask costs three calls and a text scan, too much for every copy: it is read at the
// first copy and again at the start of every run (PosixReadCreationMask), as a caller may change
// it between runs. -2: not read yet.
std::atomic<int> g_creationMask{-2};

int CreationMask() {
    int known = g_creationMask.load(std::memory_order_relaxed);
    if (known != -2) return known;
    known = ReadCreationMask();
    g_creationMask.store(known, std::memory_order_relaxed);
    return known;
}

}  // namespace

void PosixReadCreationMask() { g_creationMask.store(ReadCreationMask(), std::memory_order_relaxed); }

namespace {

// A source written to while it was copied leaves a copy that matches no version of it; under the
// real name with the old last-write time, the next run would take it for the file itself. The
// change time also catches a writer that puts the last-write time back. The copy's own size is
// the count of bytes written into the new, empty file, which spares asking the kernel for it.
int SourceChangedDuringCopy(int in, int64_t copied, const struct stat& before) {
    struct stat now;
    if (fstat(in, &now) != 0) return errno;
    if (now.st_size != before.st_size || copied != before.st_size ||
        now.st_mtim.tv_sec != before.st_mtim.tv_sec || now.st_mtim.tv_nsec != before.st_mtim.tv_nsec ||
        now.st_ctim.tv_sec != before.st_ctim.tv_sec || now.st_ctim.tv_nsec != before.st_ctim.tv_nsec) {
        return EBUSY;
    }
    return 0;
}

// The copy is written into a file without a name in the target's folder (O_TMPFILE) and linked
// under `to` only when it is whole: until then nothing stands in the folder, and a copy that is
// never linked (a failure, a cancel, a killed run) leaves nothing behind at all. It also spares
// the folder a second name to add and remove. -1 with errno EOPNOTSUPP where the kernel or the
// file system cannot; the copy then goes through a named temporary as before.
std::atomic<bool> g_noUnnamed{false};

}  // namespace

// Turning refusal off also forgets an old kernel's answer; the next copy finds it out again.
void PosixRefuseUnnamedFiles(bool refuse) { g_noUnnamed.store(refuse, std::memory_order_relaxed); }

namespace {

// The folder part of target is relative to folder (AT_FDCWD: the working folder); no folder part
// is the folder itself.
int OpenUnnamed(int folder, const char* target, size_t folderLength, mode_t mode) {
    if (g_noUnnamed.load(std::memory_order_relaxed)) {
        errno = EOPNOTSUPP;
        return -1;
    }
    NativePath folderPath;
    if (folderLength == 0) {
        strcpy(folderPath.text, ".");
    } else {
        memcpy(folderPath.text, target, folderLength);  // with its closing slash, so "/" stays "/"
        folderPath.text[folderLength] = '\0';
    }
    int fd = openat(folder, folderPath.text, O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    // Kernels before 3.11 take O_TMPFILE for O_DIRECTORY and say EISDIR; file systems without
    // it say EOPNOTSUPP. Only those mean "not here"; anything else is the folder's own answer.
    if (errno == EOPNOTSUPP || errno == EISDIR) {
        if (errno == EISDIR) g_noUnnamed.store(true, std::memory_order_relaxed);
        errno = EOPNOTSUPP;
    }
    return -1;
}

// A named temporary beside the target, for file systems without unnamed files.
int OpenNamedTemp(int folder, NativePath& temp, size_t folderLength, mode_t mode) {
    int out = -1;
    for (int attempt = 0; attempt < 8 && out < 0; ++attempt) {
        char tempName[32];
        MakeTempName(tempName);
        memcpy(temp.text + folderLength, tempName, sizeof tempName);
        out = openat(folder, temp.text, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (out < 0 && errno != EEXIST) break;
    }
    return out;
}

// Links the unnamed file under path relative to folder; never replaces (EEXIST). AT_EMPTY_PATH
// needs a capability that most users lack; the /proc link of the descriptor serves everyone else.
std::atomic<bool> g_linkThroughProc{false};

int LinkUnnamed(int fd, int folder, const char* path) {
    if (!g_linkThroughProc.load(std::memory_order_relaxed)) {
        if (linkat(fd, "", folder, path, AT_EMPTY_PATH) == 0) return 0;
        if (errno != EPERM && errno != ENOENT && errno != EINVAL) return errno;
        g_linkThroughProc.store(true, std::memory_order_relaxed);
    }
    char self[40];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, self, folder, path, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

int LinkUnnamedAsTemp(int fd, int folder, NativePath& temp, size_t folderLength) {
    int err = EEXIST;
    for (int attempt = 0; attempt < 8 && err == EEXIST; ++attempt) {
        char tempName[32];
        MakeTempName(tempName);
        memcpy(temp.text + folderLength, tempName, sizeof tempName);
        err = LinkUnnamed(fd, folder, temp.text);
    }
    return err;
}

}  // namespace

// The copy is written under a temporary name beside `to` and renamed onto it only when complete,
// with the source's last-write time already set: `to` holds either its old file or the whole new
// one, and a symbolic link standing at `to` is replaced, never written through. A folder at `to`
// makes the final rename fail and stays as it was. Without replaceExisting the final rename never
// replaces anything. Each call here costs a kernel entry, which on a virtual machine weighs more
// than the copy of a small file: outside a guarded root the folder is named by path rather than
// opened, and the mode is given at creation when the creation mask leaves it whole. Below a
// guarded root every step is taken relative to the target's folder as it was opened.
uint32_t posix::PosixCopyFile(const wchar_t* from, const wchar_t* to, CopyProgressFn progress, bool replaceExisting) {
    NativePath source, target, temp;
    if (!ToNative(from, source) || !ToNative(to, target)) return ENAMETOOLONG;
    const char* slash = strrchr(target.text, '/');
    if ((slash ? slash + 1 : target.text)[0] == '\0') return EISDIR;

    int in = OpenThroughLinks(source.text, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (in < 0) return errno;
    struct stat st;
    int err = 0;
    if (fstat(in, &st) != 0) {
        err = errno;
    } else if (S_ISDIR(st.st_mode)) {
        err = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
        err = ENOTSUP;
    }
    Place at;
    if (!err) err = OpenPlace(target.text, at);
    if (err) {
        close(in);
        return err;
    }
    // From here on the target is at.name within at.folder.
    const char* targetName = at.name;
    slash = strrchr(targetName, '/');
    size_t folderLength = slash ? static_cast<size_t>(slash + 1 - targetName) : 0;
    if (folderLength + 32 > sizeof temp.text) {
        close(in);
        return ENAMETOOLONG;
    }
    memcpy(temp.text, targetName, folderLength);

    mode_t mode = st.st_mode & 0777;
    int mask = CreationMask();
    bool modeAtCreation = mask >= 0 && (mode & static_cast<mode_t>(mask)) == 0;
    mode_t createMode = modeAtCreation ? mode : 0600;
    bool named = false;
    int out = OpenUnnamed(at.folder, targetName, folderLength, createMode);
    if (out < 0 && errno == EOPNOTSUPP) {
        named = true;
        out = OpenNamedTemp(at.folder, temp, folderLength, createMode);
    }
    if (out < 0) {
        err = errno;
        close(in);
        return err;
    }
    int64_t copied = 0;
    bool sparse = static_cast<int64_t>(st.st_blocks) * 512 < st.st_size;
    err = CopyData(in, out, st.st_size, sparse, progress, &copied);
    if (!err) err = SourceChangedDuringCopy(in, copied, st);
    if (!err) {
        if (!modeAtCreation) fchmod(out, mode);  // a file system without modes keeps its own
        struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
        if (futimens(out, times) != 0) err = errno;
    }
    bool linked = false;
    if (!err && !named) {
        // Linking never replaces: what stands at `to` is replaced only by way of a named
        // temporary, which the rename below puts in its place in one step.
        err = LinkUnnamed(out, at.folder, targetName);
        if (err == EEXIST && replaceExisting) {
            named = true;
            err = LinkUnnamedAsTemp(out, at.folder, temp, folderLength);
        } else if (!err) {
            linked = true;
        }
    }
    if (close(out) != 0 && !err) {
        err = errno;
        if (linked) unlinkat(at.folder, targetName, 0);  // the name this call made; nothing stood there before
    }
    if (named) {
        if (!err && replaceExisting && renameat(at.folder, temp.text, at.folder, targetName) != 0) err = errno;
        if (!err && !replaceExisting) err = RenameNoReplace(at.folder, temp.text, at.folder, targetName);
        if (err) unlinkat(at.folder, temp.text, 0);
    }
    close(in);
    return err;
}

uint32_t posix::PosixRemoveLeftoverCopy(const wchar_t* path) {
    const wchar_t* name = wcsrchr(path, L'/');
    if (!IsLeftoverCopyName(name ? name + 1 : path)) return EINVAL;
    NativePath native;
    if (!ToNative(path, native)) return ENAMETOOLONG;
    Place at;
    if (int err = OpenPlace(native.text, at)) return err;
    struct stat st;
    int err = 0;
    if (fstatat(at.folder, at.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        err = EPERM;  // a folder or link of that name is not ours
    } else if (unlinkat(at.folder, at.name, 0) != 0) {
        err = errno;
    }
    return err;
}
