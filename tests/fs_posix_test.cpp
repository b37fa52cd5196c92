// The POSIX provider on real folders: every test gets fresh folders, removed afterwards.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/copy_move_pass.h"
#include "engine/fs/file_system.h"
#include "engine/fs/fs_posix_test_knobs.h"
#include "engine/fs/text_encoding.h"
#include "tests/test_support.h"

namespace {

const FileSystem& Fs() { return PlatformFileSystem(); }

std::wstring Wide(const std::string& bytes) {
    wchar_t out[PATH_MAX];
    EXPECT_TRUE(Utf8ToWide(bytes.data(), bytes.size(), out, PATH_MAX));
    return out;
}

int64_t Ticks(int64_t seconds, long nanoseconds) {
    return (seconds + 11644473600LL) * 10000000 + nanoseconds / 100;
}

// Leftover-shaped names standing in folder.
size_t TemporaryNames(const std::string& folder) {
    size_t count = 0;
    DIR* d = opendir(folder.c_str());
    while (struct dirent* e = d ? readdir(d) : nullptr)
        if (IsLeftoverCopyName(Wide(e->d_name).c_str())) ++count;
    if (d) closedir(d);
    return count;
}

using Calls = std::vector<std::pair<int64_t, int64_t>>;
Calls g_progress;
size_t g_cancelAtCall = 0;  // 0: never
std::string g_watchedFolder;  // where RecordProgress counts temporary names; empty: nowhere
size_t g_temporariesSeen = 0;
uint32_t RecordProgress(int64_t total, int64_t transferred) {
    g_progress.emplace_back(total, transferred);
    if (!g_watchedFolder.empty()) g_temporariesSeen = std::max(g_temporariesSeen, TemporaryNames(g_watchedFolder));
    return g_progress.size() == g_cancelAtCall ? kCopyCancel : kCopyContinue;
}

class PosixFsTest : public ::testing::Test {
protected:
    void SetUp() override {
        AddRoot("/tmp");
        g_progress.clear();
        g_cancelAtCall = 0;
        g_watchedFolder.clear();
        g_temporariesSeen = 0;
    }
    void AddRoot(std::string parent) {
        parent += "/kestrome-test-XXXXXX";
        ASSERT_NE(mkdtemp(parent.data()), nullptr);
        roots.push_back(parent);
    }
    void TearDown() override {
        Fs().guardWritesBelow(nullptr);
        PosixResolveStepwise(false);
        for (const std::string& r : roots)
            nftw(r.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
                 FTW_DEPTH | FTW_PHYS);
    }
    std::string N(const std::string& name, size_t root = 0) const { return roots[root] + "/" + name; }
    std::wstring W(const std::string& name, size_t root = 0) const { return Wide(N(name, root)); }
    uint32_t Copy(const std::string& from, const std::string& to, CopyProgressFn p = nullptr, bool replace = true) {
        return Fs().copyFile(W(from).c_str(), W(to).c_str(), p, replace);
    }
    uint32_t Move(const std::string& from, const std::string& to) {
        return Fs().moveFile(W(from).c_str(), W(to).c_str());
    }
    void Write(const std::string& path, const std::string& bytes, int64_t sec = 1600000000, long nsec = 0) {
        std::ofstream(path, std::ios::binary) << bytes;
        struct timespec t[2] = {{sec, nsec}, {sec, nsec}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0) << path;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(N(name), std::ios::binary);
        struct stat st;
        if (!in || stat(N(name).c_str(), &st) != 0) return "<missing>";
        std::string bytes(static_cast<size_t>(st.st_size), '\0');
        return in.read(bytes.data(), st.st_size) ? bytes : "<short>";
    }
    // What stands in folder below the first root (in the root itself by default), "." and ".." aside.
    std::vector<std::string> Names(const std::string& folder = "") const {
        std::vector<std::string> names;
        DIR* d = opendir(folder.empty() ? roots[0].c_str() : N(folder).c_str());
        while (struct dirent* e = d ? readdir(d) : nullptr)
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        if (d) closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }
    // Puts a link to target where the folder stood, the folder itself moved to aside.
    void SwapForLink(const std::string& folder, const std::string& aside, const std::string& target) {
        ASSERT_EQ(rename(N(folder).c_str(), N(aside).c_str()), 0) << folder;
        ASSERT_EQ(symlink(N(target).c_str(), N(folder).c_str()), 0) << folder;
    }
    bool IsLink(const std::string& name) const {
        struct stat st;
        return lstat(N(name).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }
    bool Listed(const std::wstring& pattern, const std::wstring& name, FindEntry* out) {
        uint32_t error = 0;
        FindHandle h = Fs().findFirst(pattern.c_str(), out, &error);
        bool more = h != nullptr;
        while (more && name != out->name) more = Fs().findNext(h, out, &error);
        if (h) Fs().findClose(h);
        return more;
    }
    std::vector<std::string> roots;
};

// A link that leads nowhere is still an entry in the way (the contract suite covers files and
// folders in the way).
TEST_F(PosixFsTest, MoveNeverReplacesALinkThatLeadsNowhere) {
    Write(N("a"), "alpha");
    ASSERT_EQ(symlink("nowhere", N("dead").c_str()), 0);
    EXPECT_EQ(Move("a", "dead"), kErrorAlreadyExists);
    EXPECT_EQ(Read("a"), "alpha");
    EXPECT_TRUE(IsLink("dead"));
    EXPECT_EQ(Names(), (std::vector<std::string>{"a", "dead"}));
}

// Every copy test runs twice: with unnamed temporary files, and through named ones as on file
// systems without them (FAT, most network mounts).
class PosixCopyTest : public PosixFsTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        PosixFsTest::SetUp();
        PosixRefuseUnnamedFiles(GetParam());
    }
    void TearDown() override {
        PosixRefuseUnnamedFiles(false);
        PosixFsTest::TearDown();
    }
};

std::string CopyModeName(const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "NamedTemporary" : "Unnamed";
}

// The copy replaces a larger file or a link (never writing through it), and keeps the source's
// size, last-write time to the nanosecond and permission bits. (Files and folders in the way
// without leave to replace, and folders with it, are the contract suite's.)
TEST_P(PosixCopyTest, CopyReplacesFilesAndLinksKeepingNanosecondsAndMode) {
    std::string data(3 << 20, 'x');
    data[12345] = 'y';
    Write(N("src"), data, 1234567890, 987654321);
    chmod(N("src").c_str(), 0640);
    Write(N("dst"), std::string(5 << 20, 'o'));
    Write(N("target"), "keep");
    ASSERT_EQ(symlink("target", N("link").c_str()), 0);
    for (const char* to : {"dst", "link"}) {
        ASSERT_EQ(Copy("src", to), 0u);
        EXPECT_TRUE(Read(to) == data);
        FileInfo info;
        ASSERT_TRUE(Fs().getAttributesEx(W(to).c_str(), &info));
        EXPECT_EQ(FileTimeToInt64(info.lastWriteTime), Ticks(1234567890, 987654321));
        EXPECT_EQ(info.sizeLow, data.size());
        struct stat st;
        ASSERT_EQ(lstat(N(to).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode, S_IFREG | 0640u);
    }
    EXPECT_EQ(Read("target"), "keep");
    EXPECT_EQ(Names(), (std::vector<std::string>{"dst", "link", "src", "target"}));
}

// tmpfs to ext4: copy_file_range refuses across file systems, read/write copies.
TEST_P(PosixCopyTest, CopyAcrossFileSystems) {
    if (access("/dev/shm", W_OK) != 0) GTEST_SKIP() << "no /dev/shm";
    AddRoot("/dev/shm");
    std::string data(1500000, 'q');
    data.back() = 'z';
    Write(N("src", 1), data);
    ASSERT_EQ(Fs().copyFile(W("src", 1).c_str(), W("dst").c_str(), RecordProgress, true), 0u);
    EXPECT_TRUE(Read("dst") == data);
    EXPECT_EQ(g_progress.back(), std::make_pair(int64_t{1500000}, int64_t{1500000}));
}

TEST_P(PosixCopyTest, CopyProgressAndCancel) {
    const int64_t size = 17 << 20;  // more than one chunk of either copy path
    std::string data(size, 'p');
    Write(N("src"), data);
    Write(N("empty"), "");
    g_watchedFolder = roots[0];
    ASSERT_EQ(Copy("src", "dst", RecordProgress), 0u);
    g_watchedFolder.clear();
    // Only the named way has a name in the folder before the copy is whole.
    EXPECT_EQ(g_temporariesSeen, GetParam() ? 1u : 0u);
    ASSERT_GE(g_progress.size(), 3u);
    EXPECT_EQ(g_progress.front(), std::make_pair(size, int64_t{0}));
    EXPECT_EQ(g_progress.back(), std::make_pair(size, size));
    for (size_t i = 1; i < g_progress.size(); ++i) EXPECT_LT(g_progress[i - 1].second, g_progress[i].second);
    const size_t lastCall = g_progress.size();
    g_progress.clear();
    ASSERT_EQ(Copy("empty", "empty2", RecordProgress), 0u);
    EXPECT_EQ(g_progress, (Calls{{0, 0}}));
    // Before the first byte, after one chunk, and at the last call with every byte copied.
    for (size_t cancelAt : {size_t{1}, size_t{2}, lastCall}) {
        g_progress.clear();
        g_cancelAtCall = cancelAt;
        EXPECT_EQ(Copy("src", "new", RecordProgress), kErrorCancelled);
        EXPECT_EQ(g_progress.size(), cancelAt);
    }
    EXPECT_EQ(Names(), (std::vector<std::string>{"dst", "empty", "empty2", "src"}));
}

std::string g_growing;  // the file GrowSource appends to once, then empty
uint32_t GrowSource(int64_t, int64_t transferred) {
    if (transferred == 0 || g_growing.empty()) return kCopyContinue;
    std::ofstream(g_growing, std::ios::binary | std::ios::app) << "more";
    g_growing.clear();
    return kCopyContinue;
}

// The failures only POSIX has (a missing source, a folder and the rest are the contract suite's).
TEST_P(PosixCopyTest, FailedCopiesLeaveNothingBehind) {
    Write(N("src"), "data");
    ASSERT_EQ(mkfifo(N("pipe").c_str(), 0644), 0);  // must neither block nor be copied
    EXPECT_NE(Copy("pipe", "b"), 0u);
    // Written to while it is copied: the copy matches no version of the file and is dropped.
    g_growing = N("src");
    EXPECT_EQ(Copy("src", "d", GrowSource), static_cast<uint32_t>(EBUSY));
    EXPECT_EQ(Read("src"), "datamore");
    EXPECT_EQ(Names(), (std::vector<std::string>{"pipe", "src"}));
}

// Holes are copied as holes, wherever they lie: first, last, between data, or the whole file.
TEST_P(PosixCopyTest, SparseFilesKeepTheirBytesAndHoles) {
    struct Layout {
        const char* name;
        off_t size;
        std::vector<std::pair<off_t, std::string>> data;
    };
    const off_t mib = 1 << 20;
    const std::vector<Layout> layouts = {
        {"hole-only", 3 * mib, {}},
        {"data-hole-data", 8 * mib, {{0, std::string(5000, 'a')}, {8 * mib - 3, "end"}}},
        // data longer than one chunk of copy_file_range
        {"hole-data-hole", 20 * mib, {{mib + 100, std::string(17 * mib, 'm')}}},
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        int fd = open(N(layout.name).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, layout.size), 0);
        std::string expected(static_cast<size_t>(layout.size), '\0');
        for (const auto& [offset, bytes] : layout.data) {
            ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
            expected.replace(static_cast<size_t>(offset), bytes.size(), bytes);
        }
        close(fd);
        struct stat source;
        ASSERT_EQ(stat(N(layout.name).c_str(), &source), 0);
        g_progress.clear();
        std::string copy = std::string(layout.name) + ".copy";
        ASSERT_EQ(Copy(layout.name, copy, RecordProgress), 0u);
        EXPECT_TRUE(Read(copy) == expected);
        struct stat st;
        ASSERT_EQ(stat(N(copy).c_str(), &st), 0);
        EXPECT_EQ(st.st_size, layout.size);
        EXPECT_LE(st.st_blocks, source.st_blocks + 8);  // a block or so of slack per data run
        EXPECT_EQ(g_progress.back(), std::make_pair(int64_t{layout.size}, int64_t{layout.size}));
        for (size_t i = 1; i < g_progress.size(); ++i)
            EXPECT_LT(g_progress[i - 1].second, g_progress[i].second);
        // Cancelled at each report, a hole skipped or data copied, it leaves nothing.
        const size_t calls = g_progress.size();
        for (size_t cancelAt = 1; cancelAt <= calls; ++cancelAt) {
            g_progress.clear();
            g_cancelAtCall = cancelAt;
            EXPECT_EQ(Copy(layout.name, "cancelled", RecordProgress), kErrorCancelled);
        }
        g_cancelAtCall = 0;
        EXPECT_EQ(access(N("cancelled").c_str(), F_OK), -1);
        EXPECT_EQ(TemporaryNames(roots[0]), 0u);
    }
}

// Below a guarded root a copy reaches its folder from the root, never through a link: a folder
// swapped for a link before the copy fails it with 40, however deep it stands, and nothing lands
// where the link leads. A folder this thread has just written into stays the folder it opened:
// swapped afterwards, it gets the next copy wherever it was moved, still never the link; once it
// has given way to two other folders it is looked at anew. A link as the last part is replaced as
// ever, the root itself may be reached through a link, and once the guard is let go full paths are
// followed as before. Both ways of opening the folders (openat2, and one by one as on kernels
// without it).
TEST_P(PosixCopyTest, GuardedCopiesNeverGoThroughAFolderSwappedForALink) {
    Write(N("src"), "data");
    for (bool stepwise : {false, true}) {
        SCOPED_TRACE(stepwise ? "one by one" : "openat2");
        PosixResolveStepwise(stepwise);
        const std::string b = stepwise ? "stepwise/" : "openat2/";
        for (const char* folder : {"", "dst", "dst/sub", "dst/c", "dst/a", "dst/a/b", "dst/d1", "dst/d2", "outside",
                                   "outside/b"})
            ASSERT_EQ(mkdir(N(b + folder).c_str(), 0777), 0) << folder;
        Write(N(b + "outside/target"), "keep");
        ASSERT_EQ(symlink(N(b + "dst").c_str(), N(b + "dst-link").c_str()), 0);
        ASSERT_EQ(symlink(N(b + "outside/target").c_str(), N(b + "dst/sub/lnk").c_str()), 0);
        Fs().guardWritesBelow(W(b + "dst-link").c_str());
        EXPECT_EQ(Copy("src", b + "dst-link/top", nullptr, false), 0u);
        EXPECT_EQ(Copy("src", b + "dst-link/sub/lnk"), 0u);
        EXPECT_FALSE(IsLink(b + "dst/sub/lnk"));
        EXPECT_EQ(Read(b + "dst/sub/lnk"), "data");
        EXPECT_EQ(Read(b + "outside/target"), "keep");

        SwapForLink(b + "dst/sub", b + "sub-aside", b + "outside");
        SwapForLink(b + "dst/c", b + "c-aside", b + "outside");
        SwapForLink(b + "dst/a/b", b + "b-aside", b + "outside/b");
        EXPECT_EQ(Copy("src", b + "dst-link/sub/target"), 0u);  // into the folder opened before the swap
        EXPECT_EQ(Read(b + "sub-aside/target"), "data");
        EXPECT_EQ(Copy("src", b + "dst-link/c/g"), kErrorLinkInTheWay);
        EXPECT_EQ(Copy("src", b + "dst-link/c/g", nullptr, false), kErrorLinkInTheWay);
        EXPECT_EQ(Copy("src", b + "dst-link/c/target"), kErrorLinkInTheWay);
        EXPECT_EQ(Copy("src", b + "dst-link/a/b/g"), kErrorLinkInTheWay);
        EXPECT_EQ(Copy("src", b + "dst-link/d1/f"), 0u);
        EXPECT_EQ(Copy("src", b + "dst-link/d2/f"), 0u);
        EXPECT_EQ(Copy("src", b + "dst-link/sub/h"), kErrorLinkInTheWay);  // looked at anew
        EXPECT_EQ(Names(b + "outside"), (std::vector<std::string>{"b", "target"}));
        EXPECT_EQ(Names(b + "outside/b"), std::vector<std::string>{});
        EXPECT_EQ(Read(b + "outside/target"), "keep");
        EXPECT_EQ(Names(b + "c-aside"), std::vector<std::string>{});
        EXPECT_EQ(TemporaryNames(N(b + "outside")), 0u);

        Fs().guardWritesBelow(nullptr);
        EXPECT_EQ(Copy("src", b + "dst-link/c/g"), 0u);  // let go: the link is followed as before
        EXPECT_EQ(Read(b + "outside/g"), "data");
    }
}

INSTANTIATE_TEST_SUITE_P(PosixFs, PosixCopyTest, ::testing::Bool(), CopyModeName);

// Whole runs over real folders, in both ways of copying.
class PosixRunTest : public RealFolderTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        RealFolderTest::SetUp();
        savedMask = umask(022);
        umask(savedMask);
        PosixRefuseUnnamedFiles(GetParam());
    }
    void TearDown() override {
        PosixRefuseUnnamedFiles(false);
        umask(savedMask);
        RealFolderTest::TearDown();
    }
    std::string Src(const std::string& name = "") const { return Narrow(root) + "/src/" + name; }
    std::string Dst(const std::string& name = "") const { return Narrow(root) + "/dst/" + name; }
    int Run() {
        StartCapture();
        return RunWith({L"kestrome", root + L"/src", root + L"/dst"});
    }
    mode_t savedMask = 0;
};

// The mode of a copy is given at creation only where the creation mask leaves it whole; a mask
// changed between runs must not take bits from any copy.
TEST_P(PosixRunTest, CopiesKeepTheirPermissionBitsUnderEveryCreationMask) {
    MakeRealFolder(root + L"/src");
    MakeRealFolder(root + L"/dst");
    for (mode_t mask : {000, 022, 077, 002}) {
        umask(mask);
        std::vector<std::pair<std::string, mode_t>> files;
        for (mode_t mode : {0775, 0644, 0600, 0751}) {
            char name[32];
            snprintf(name, sizeof name, "under%03o-%03o", mask, mode);
            files.emplace_back(name, mode);
            WriteRealFile(Wide(Src(name)), name, UtcFileTime(2024, 1, 1));
            ASSERT_EQ(chmod(Src(name).c_str(), mode), 0);
        }
        ASSERT_EQ(Run(), 0) << Narrow(CapturedText());
        for (const auto& [name, mode] : files) {
            struct stat st;
            ASSERT_EQ(lstat(Dst(name).c_str(), &st), 0) << name;
            EXPECT_EQ(st.st_mode, S_IFREG | mode) << name;
        }
    }
}

// Sizes from 4 GiB on need the high half everywhere: the copy, its description, the equality rule
// and the next run. The source is sparse, and so must its copies be.
TEST_P(PosixRunTest, FilesOfFourGibibytesAndMore) {
    const off_t size = (off_t{4} << 30) + 3;
    MakeRealFolder(root + L"/src");
    MakeRealFolder(root + L"/dst");
    int fd = open(Src("big").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
    ASSERT_EQ(pwrite(fd, "middle", 6, size / 2), 6);
    ASSERT_EQ(pwrite(fd, "ACROSS", 6, size - 6), 6);  // straddles 2^32
    struct timespec times[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
    struct stat source;
    ASSERT_EQ(stat(Src("big").c_str(), &source), 0);
    if (source.st_blocks * 512 >= size) GTEST_SKIP() << "no sparse files in " << Narrow(root);

    auto check = [&](const std::string& path) {
        SCOPED_TRACE(path);
        FileInfo from, to;
        ASSERT_TRUE(FsGetAttributesEx(Wide(Src("big")).c_str(), &from));
        ASSERT_TRUE(FsGetAttributesEx(Wide(path).c_str(), &to));
        EXPECT_EQ(to.sizeHigh, 1u);
        EXPECT_EQ(to.sizeLow, 3u);
        EXPECT_EQ(FileTimeToInt64(to.lastWriteTime), Ticks(1700000000, 123456789));
        EXPECT_TRUE(FilesAreEqual(from.sizeHigh, from.sizeLow, from.lastWriteTime, to.sizeHigh, to.sizeLow,
                                  to.lastWriteTime, false));
        int copy = open(path.c_str(), O_RDONLY);
        ASSERT_GE(copy, 0);
        char head[5] = {}, middle[7] = {}, tail[7] = {}, hole[3] = {1, 1, 1};
        EXPECT_EQ(pread(copy, head, 4, 0), 4);
        EXPECT_EQ(pread(copy, middle, 6, size / 2), 6);
        EXPECT_EQ(pread(copy, tail, 7, size - 6), 6);
        EXPECT_EQ(pread(copy, hole, 3, size / 4), 3);
        struct stat st;
        EXPECT_EQ(fstat(copy, &st), 0);
        close(copy);
        EXPECT_STREQ(head, "head");
        EXPECT_STREQ(middle, "middle");
        EXPECT_STREQ(tail, "ACROSS");
        EXPECT_EQ(std::string(hole, 3), std::string(3, '\0'));
        EXPECT_LE(st.st_blocks, source.st_blocks + 24);
    };

    g_progress.clear();
    ASSERT_EQ(FsCopyFile(Wide(Src("big")).c_str(), (root + L"/provider-copy").c_str(), RecordProgress, false), 0u);
    EXPECT_EQ(g_progress.back(), std::make_pair(int64_t{size}, int64_t{size}));
    check(Narrow(root) + "/provider-copy");
    unlink((Narrow(root) + "/provider-copy").c_str());

    ASSERT_EQ(Run(), 0) << Narrow(CapturedText());
    EXPECT_NE(CapturedText().find(L"copy file"), std::wstring::npos);
    check(Dst("big"));
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(CapturedText().find(L"copy file"), std::wstring::npos) << Narrow(CapturedText());
    EXPECT_EQ(CapturedText().find(L"backup file"), std::wstring::npos);
}

INSTANTIATE_TEST_SUITE_P(PosixFs, PosixRunTest, ::testing::Bool(), CopyModeName);

TEST_F(PosixFsTest, ListingFollowsLinksAndKeepsRawNames) {
    ASSERT_EQ(mkdir(N("sub").c_str(), 0777), 0);
    ASSERT_EQ(symlink("sub", N("link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", N("dead").c_str()), 0);
    const std::string raw = "bad\xff\xc3(\x80.txt";
    Write(N(raw), "raw bytes", -1, 500000000);  // half a second before 1970
    Write(N("old"), "", -631152000);            // 1950-01-01
    FindEntry e;
    for (const char* pattern : {"*.*", "sub/../*.*"}) {
        std::wstring p = W(pattern);
        for (const char* folder : {".", "..", "sub", "link"}) {
            ASSERT_TRUE(Listed(p, Wide(folder), &e)) << folder;
            EXPECT_TRUE(e.attributes & kFileAttributeDirectory) << folder;
        }
        ASSERT_TRUE(Listed(p, L"dead", &e));
        EXPECT_FALSE(e.attributes & kFileAttributeDirectory);
        ASSERT_TRUE(Listed(p, L"old", &e));
        EXPECT_EQ(FileTimeToInt64(e.lastWriteTime), Ticks(-631152000, 0));
        ASSERT_TRUE(Listed(p, Wide(raw), &e));
        EXPECT_EQ(std::wstring(e.name).substr(0, 6), std::wstring(L"bad\xdcff\xdcc3("));
        EXPECT_EQ(FileTimeToInt64(e.lastWriteTime), Ticks(-1, 500000000));
        EXPECT_EQ(e.sizeLow, 9u);
    }
    EXPECT_EQ(Fs().getAttributes(Wide(N(raw)).c_str()), kFileAttributeNormal);
    ASSERT_EQ(Copy(raw, raw + "2"), 0u);
    EXPECT_EQ(Read(raw + "2"), "raw bytes");
}

// The walks that read only kinds must see exactly the entries and kinds a full listing gives,
// links and names that are not UTF-8 included, in the same order; and a full listing gives the same
// entries whether its records are described on one core or halved with the helper thread (a
// folder large enough to be halved, with links among the records of either half).
TEST_F(PosixFsTest, TypesOnlyAndHalvedListingsAgreeWithTheFullOne) {
    ASSERT_EQ(mkdir(N("sub").c_str(), 0777), 0);
    ASSERT_EQ(symlink("sub", N("folder-link").c_str()), 0);
    ASSERT_EQ(symlink("file", N("file-link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", N("dead").c_str()), 0);
    ASSERT_EQ(symlink("loop", N("loop").c_str()), 0);
    ASSERT_EQ(mkfifo(N("pipe").c_str(), 0644), 0);
    Write(N("file"), "12345");
    Write(N("bad\xff.txt"), "raw");
    constexpr int kMore = 60;
    for (int i = 0; i < kMore; ++i) {
        std::string number = std::to_string(i);
        Write(N(std::string("f").append(number)), std::string(static_cast<size_t>(i), 'x'), 1000000 + i * 61, i * 1000);
        if (i % 20 == 7) {
            ASSERT_EQ(symlink(std::string("f").append(number).c_str(), N(std::string("l").append(number)).c_str()), 0);
        }
    }
    using Entry = std::tuple<std::wstring, uint32_t, int64_t, int64_t, uint32_t, uint32_t, uint32_t>;
    auto list = [&](FindHandle (*first)(const wchar_t*, FindEntry*, uint32_t*), bool kindsOnly) {
        std::vector<Entry> entries;
        FindEntry e;
        uint32_t error = 0;
        FindHandle h = first(W("*.*").c_str(), &e, &error);
        for (bool more = h != nullptr; more; more = Fs().findNext(h, &e, &error)) {
            uint32_t kind = e.attributes & (kFileAttributeDirectory | kFileAttributeReparsePoint);
            if (kindsOnly) {
                entries.emplace_back(e.name, kind, 0, 0, 0, 0, 0);
            } else {
                entries.emplace_back(e.name, e.attributes, FileTimeToInt64(e.lastWriteTime),
                                     FileTimeToInt64(e.creationTime), e.sizeHigh, e.sizeLow, e.error);
            }
        }
        if (h) Fs().findClose(h);
        EXPECT_EQ(error, 0u);
        return entries;
    };
    PosixDescribeOnOneCore(true);
    auto oneCore = list(Fs().findFirst, false);
    PosixDescribeOnOneCore(false);
    auto halved = list(Fs().findFirst, false);
    EXPECT_EQ(oneCore.size(), 10u + kMore + 3);  // ".", "..", eight entries, the files and their links
    EXPECT_EQ(halved, oneCore);
    for (const Entry& entry : halved) {
        const std::wstring& name = std::get<0>(entry);
        if (name.size() > 1 && name[0] == L'f' && iswdigit(name[1])) {
            EXPECT_EQ(std::get<5>(entry), std::stoul(name.substr(1))) << Narrow(name);
            EXPECT_EQ(std::get<2>(entry), Ticks(1000000 + std::stol(name.substr(1)) * 61, std::stol(name.substr(1)) * 1000));
        }
    }
    EXPECT_EQ(list(Fs().findFirstTypesOnly, true), list(Fs().findFirst, true));
    // Two listings at once share the one helper (one of them finds it busy), and the helper takes
    // records of a job as it comes to it, early, late or not at all: every answer still is the
    // answer for that record.
    std::vector<std::vector<Entry>> seen(2);
    auto listMany = [&](size_t into) {
        for (int round = 0; round < 200; ++round) {
            std::vector<Entry> entries = list(Fs().findFirst, false);
            if (entries != oneCore) seen[into] = entries;
        }
    };
    std::thread other(listMany, 1);
    listMany(0);
    other.join();
    EXPECT_TRUE(seen[0].empty());
    EXPECT_TRUE(seen[1].empty());
    FindEntry e;
    uint32_t error = 0;
    EXPECT_EQ(Fs().findFirstTypesOnly(W("missing/*.*").c_str(), &e, &error), nullptr);
}

// Below a guarded root no move, folder made or removed, or leftover removed goes through a folder
// swapped for a link after the look, on either side of a move: each fails with 40 and what the
// link leads to stays as it was. A link as the last part is an entry: it is moved as itself. A
// root that cannot be opened lets nothing below it be written, also once a folder stands there;
// paths beside the root, also one whose name begins with the root's, are not guarded.
TEST_F(PosixFsTest, GuardedMovesAndFolderChangesStopAtALinkOnTheWay) {
    const std::string leftover = ".kestrome-00000000abcd.tmp";
    for (bool stepwise : {false, true}) {
        SCOPED_TRACE(stepwise ? "one by one" : "openat2");
        PosixResolveStepwise(stepwise);
        const std::string b = stepwise ? "stepwise/" : "openat2/";
        for (const char* folder : {"", "dst", "dst/x", "dst/Backup", "dst/sub", "dst/sub/empty", "dst/keep", "outside",
                                   "outside/empty", "dst2"})
            ASSERT_EQ(mkdir(N(b + folder).c_str(), 0777), 0) << folder;
        Write(N(b + "dst/x/twin"), "twin");
        Write(N(b + "dst/f"), "f");
        Write(N(b + "outside/inner.txt"), "outside");
        Write(N(b + "outside/" + leftover), "not ours to remove");
        ASSERT_EQ(symlink(N(b + "outside/inner.txt").c_str(), N(b + "dst/lnk").c_str()), 0);
        ASSERT_EQ(symlink(N(b + "outside").c_str(), N(b + "dst2/out").c_str()), 0);
        Fs().guardWritesBelow(W(b + "dst").c_str());

        EXPECT_EQ(Move(b + "dst/lnk", b + "dst/keep/lnk"), 0u);
        EXPECT_TRUE(IsLink(b + "dst/keep/lnk"));
        SwapForLink(b + "dst/sub", b + "sub-aside", b + "outside");
        SwapForLink(b + "dst/Backup", b + "backup-aside", b + "outside");
        EXPECT_EQ(Move(b + "dst/x/twin", b + "dst/sub/twin"), kErrorLinkInTheWay);
        EXPECT_EQ(Move(b + "dst/f", b + "dst/Backup/f"), kErrorLinkInTheWay);
        EXPECT_EQ(Move(b + "dst/sub/inner.txt", b + "dst/x/inner.txt"), kErrorLinkInTheWay);
        EXPECT_EQ(Fs().createDirectory(W(b + "dst/sub/new").c_str()), kErrorLinkInTheWay);
        EXPECT_EQ(Fs().createDirectory(W(b + "dst/Backup/x").c_str()), kErrorLinkInTheWay);
        EXPECT_EQ(Fs().removeDirectory(W(b + "dst/sub/empty").c_str()), kErrorLinkInTheWay);
        EXPECT_EQ(Fs().removeLeftoverCopy(W(b + "dst/sub/" + leftover).c_str()), kErrorLinkInTheWay);
        EXPECT_EQ(Fs().removeDirectory(W(b + "dst/sub").c_str()), static_cast<uint32_t>(ENOTDIR));  // as ever
        EXPECT_EQ(Names(b + "outside"), (std::vector<std::string>{leftover, "empty", "inner.txt"}));
        EXPECT_EQ(Read(b + "dst/x/twin"), "twin");
        EXPECT_EQ(Read(b + "dst/f"), "f");
        EXPECT_TRUE(IsLink(b + "dst/sub"));
        // Beside the root, and in a folder whose name only begins like the root's, links are
        // followed as they always were.
        EXPECT_EQ(Fs().createDirectory(W(b + "dst2/out/made").c_str()), 0u);
        EXPECT_EQ(Fs().removeDirectory(W(b + "dst2/out/made").c_str()), 0u);

        Fs().guardWritesBelow(W(b + "later").c_str());
        ASSERT_EQ(mkdir(N(b + "later").c_str(), 0777), 0);
        EXPECT_EQ(Fs().createDirectory(W(b + "later/x").c_str()), kErrorPathNotFound);
        Fs().guardWritesBelow(nullptr);
        EXPECT_EQ(Fs().createDirectory(W(b + "later/x").c_str()), 0u);
        EXPECT_EQ(Fs().removeDirectory(W(b + "dst/sub/empty").c_str()), 0u);  // let go: through the link
        EXPECT_EQ(Names(b + "outside"), (std::vector<std::string>{leftover, "inner.txt"}));
    }
}

// Sandboxes that filter system calls (older systemd services and container runtimes) may refuse
// openat2 with EPERM rather than ENOSYS: guarded writes then open their folders one by one, and
// still stop at a link. Run in a child process under such a filter.
TEST_F(PosixFsTest, GuardedWritesGoOnWhereASandboxRefusesOpenat2) {
    for (const char* folder : {"dst", "dst/sub", "dst/swapped", "outside"}) ASSERT_EQ(mkdir(N(folder).c_str(), 0777), 0);
    Write(N("src"), "data");
    SwapForLink("dst/swapped", "aside", "outside");
    pid_t child = fork();
    if (child == 0) {
        struct sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        struct sock_fprog filter = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0)
            _exit(77);
        Fs().guardWritesBelow(W("dst").c_str());
        int failures = (Copy("src", "dst/sub/f") != 0) + (Copy("src", "dst/swapped/f") != kErrorLinkInTheWay) +
                       (Fs().createDirectory(W("dst/sub/new").c_str()) != 0);
        _exit(failures);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no seccomp filter to be had here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Names("dst/sub"), (std::vector<std::string>{"f", "new"}));
    EXPECT_EQ(Names("outside"), std::vector<std::string>{});
}

// The bits of a mode as attributes, and volume names (folders made and removed are the contract
// suite's).
TEST_F(PosixFsTest, AttributesAndVolumes) {
    Write(N("file"), "x");
    ASSERT_EQ(mkdir(N("sub").c_str(), 0777), 0);
    EXPECT_EQ(Fs().getAttributes(W("sub").c_str()), kFileAttributeDirectory);
    chmod(N("file").c_str(), 0444);
    EXPECT_EQ(Fs().getAttributes(W("file").c_str()), kFileAttributeReadOnly);
    wchar_t a[8], b[8], tiny[2];
    ASSERT_TRUE(Fs().getFileSystemName(W("").c_str(), a, 8));
    ASSERT_TRUE(Fs().getFileSystemName(W("sub").c_str(), b, 8));
    EXPECT_STREQ(a, b);
    EXPECT_FALSE(Fs().getFileSystemName(W("").c_str(), tiny, 2));
}

}  // namespace
#endif
