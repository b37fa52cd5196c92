// What an interrupted or disturbed copy leaves behind, and what the next run makes of it: the
// partial files of a run that was killed, and a source written to while it is being copied.
#include <gtest/gtest.h>

#include <cwchar>

#include <string>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/paths.h"
#include "tests/test_support.h"

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/fs/text_encoding.h"
#endif

namespace {

constexpr int64_t T0 = 133000000000000000LL;  // some time in 2022

class LeftoverTest : public MemFsTest {
protected:
    void SetUp() override {
        MemFsTest::SetUp();
        MemFsAddFolder(P(L"/src"));
        MemFsAddFolder(P(L"/dst"));
    }
    static void File(const std::wstring& path, const std::string& content) { MemFsAddFile(P(path), content, T0, T0); }
    static bool Exists(const std::wstring& path) {
        MemFsNode node;
        return MemFsLookup(P(path), &node);
    }
    int Run(const wchar_t* extra = nullptr) {
        StartCapture();
        if (extra) return RunWith({L"k", P(L"/src"), P(L"/dst"), extra});
        return RunWith({L"k", P(L"/src"), P(L"/dst")});
    }
};

// A partial copy of a killed run is removed by the next run's first walk: never indexed as a
// twin, never moved into Deleted, and its folder is removed once it is gone.
TEST_F(LeftoverTest, TheNextRunRemovesPartialCopiesAndKeepsNothingOfThem) {
    File(L"/src/keep/a.txt", "a");
    File(L"/dst/keep/a.txt", "a");
    File(L"/dst/keep/.kestrome-0123456789ab.tmp", "partial a");
    File(L"/dst/only/.kestrome-fedcba987654.tmp", "partial b");
    // The same name and time as a leftover in the source: would be a moved twin if indexed.
    File(L"/dst/x/.kestrome-00000000000f.tmp", "twin");
    File(L"/src/y/.kestrome-00000000000f.tmp", "twin");
    EXPECT_EQ(Run(L"d"), 0) << Narrow(CapturedText());
    EXPECT_FALSE(Exists(L"/dst/keep/.kestrome-0123456789ab.tmp"));
    EXPECT_FALSE(Exists(L"/dst/only"));
    EXPECT_FALSE(Exists(L"/dst/x"));
    EXPECT_FALSE(Exists(L"/dst/y"));
    EXPECT_FALSE(Exists(L"/dst/Deleted"));
    EXPECT_TRUE(Exists(L"/dst/keep/a.txt"));
    EXPECT_TRUE(Exists(L"/src/y/.kestrome-00000000000f.tmp"));  // the source is never touched
    std::wstring text = CapturedText();
    EXPECT_EQ(text.find(L" file "), std::wstring::npos) << Narrow(text);
}

// Only the exact shape is ours: anything close to it is a file of the user's and is treated as
// one (here: moved into Deleted, since the source lacks it).
TEST_F(LeftoverTest, NamesCloseToTheShapeAreTheUsers) {
    const std::vector<std::wstring> names = {
        L".kestrome-0123456789AB.tmp", L".kestrome-0123456789a.tmp",  L".kestrome-0123456789abc.tmp",
        L"kestrome-0123456789ab.tmp",  L".kestrome-0123456789ab.tmp.txt", L".kestrome-0123456789ag.tmp",
        L".kestrome-0123456789ab.TMP", L".Kestrome-0123456789ab.tmp", L".kestrome--123456789ab.tmp"};
    for (const std::wstring& name : names) File(L"/dst/" + name, "mine");
    EXPECT_EQ(Run(L"d"), 0);
    for (const std::wstring& name : names) {
        EXPECT_FALSE(Exists(L"/dst/" + name)) << Narrow(name);
        EXPECT_TRUE(Exists(L"/dst/Deleted/" + name)) << Narrow(name);
    }
    // The names the copies make are exactly the shape, whatever their digits.
    for (uint64_t bits : {0ull, 0xABCDEF012345ull, ~0ull}) {
        wchar_t made[kLeftoverCopyNameLength + 1];
        MakeLeftoverCopyName(bits, made);
        EXPECT_EQ(std::wcslen(made), kLeftoverCopyNameLength);
        EXPECT_TRUE(IsLeftoverCopyName(made)) << Narrow(made);
    }
    wchar_t made[kLeftoverCopyNameLength + 1];
    MakeLeftoverCopyName(0xABCDEF012345ull, made);
    EXPECT_EQ(std::wstring(made), L".kestrome-543210fedcba.tmp");
}

// A leftover that cannot be removed stays where it is, untouched by every pass, and a folder of
// that shape is an ordinary folder.
TEST_F(LeftoverTest, AnUnremovableLeftoverStaysAndAFolderOfThatShapeIsWalked) {
    File(L"/dst/s/.kestrome-0123456789ab.tmp", "partial");
    MemFsFailOn(MemOp::RemoveLeftoverCopy, P(L"/dst/s/.kestrome-0123456789ab.tmp"), kErrorAccessDenied);
    File(L"/dst/.kestrome-aaaaaaaaaaaa.tmp/inside.txt", "a user's file in an odd folder");
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_TRUE(Exists(L"/dst/s/.kestrome-0123456789ab.tmp"));
    EXPECT_TRUE(Exists(L"/dst/Deleted/.kestrome-aaaaaaaaaaaa.tmp/inside.txt"));
    EXPECT_FALSE(Exists(L"/dst/Deleted/s"));
}

class RealLeftoverTest : public RealFolderTest {};

// Through the platform's own provider: the leftover goes, a folder of that shape and its file stay.
TEST_F(RealLeftoverTest, ALeftoverInTheDestinationIsRemovedAndNothingElse) {
    MakeRealFolder(root + P(L"/src"));
    WriteRealFile(root + P(L"/dst/sub/.kestrome-0123456789ab.tmp"), "partial", UtcFileTime(2024, 1, 2));
    WriteRealFile(root + P(L"/dst/.kestrome-bbbbbbbbbbbb.tmp/kept.txt"), "kept", UtcFileTime(2024, 1, 2));
    EXPECT_EQ(RunWith({L"k", root + P(L"/src"), root + P(L"/dst"), L"d"}), 0) << Narrow(CapturedText());
    std::string content;
    EXPECT_FALSE(ReadRealFile(root + P(L"/dst/sub/.kestrome-0123456789ab.tmp"), &content));
    EXPECT_FALSE(ReadRealFile(root + P(L"/dst/Deleted/sub/.kestrome-0123456789ab.tmp"), &content));
    EXPECT_EQ(FsGetAttributes((root + P(L"/dst/sub")).c_str()), kInvalidFileAttributes);
    EXPECT_TRUE(ReadRealFile(root + P(L"/dst/Deleted/.kestrome-bbbbbbbbbbbb.tmp/kept.txt"), &content));
    EXPECT_EQ(content, "kept");
}

#ifndef _WIN32

std::wstring Wide(const std::string& bytes) {
    wchar_t out[4096];
    EXPECT_TRUE(Utf8ToWide(bytes.data(), bytes.size(), out, 4096));
    return out;
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        }
        closedir(d);
    }
    return names;
}

// Every name a real copy puts into the target's folder, as the kernel reports them: the copy's
// temporary names among them, which a kill could leave behind.
std::vector<std::string> NamesMadeByCopy(const std::wstring& from, const std::wstring& to, bool replace) {
    std::vector<std::string> names;
    std::string folder = Narrow(to.substr(0, to.rfind(L'/')));
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    EXPECT_GE(watch, 0);
    EXPECT_GE(inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO), 0);
    EXPECT_EQ(FsCopyFile(from.c_str(), to.c_str(), nullptr, replace), 0u);
    alignas(struct inotify_event) char events[16384];
    ssize_t got = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < got;) {
        const struct inotify_event* event = reinterpret_cast<const struct inotify_event*>(events + at);
        if (event->len > 0) names.push_back(event->name);
        at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
    }
    close(watch);
    return names;
}

TEST_F(RealLeftoverTest, TheCopysTemporaryNameIsTheShapeTheWalksRemove) {
    std::string base = Narrow(root);
    WriteRealFile(root + L"/src/a.bin", std::string(100000, 'a'), UtcFileTime(2024, 1, 1));
    MakeRealFolder(root + L"/dst");
    // A copy to a new name may need no temporary name at all; one over a file always does, as
    // the file is replaced in one step.
    std::string temporary;
    for (bool replace : {false, true}) {
        for (const std::string& name : NamesMadeByCopy(root + L"/src/a.bin", root + L"/dst/a.bin", replace)) {
            if (name == "a.bin") continue;
            EXPECT_TRUE(IsLeftoverCopyName(Wide(name).c_str())) << name;
            temporary = name;
        }
    }
    ASSERT_FALSE(temporary.empty());
    EXPECT_EQ(Names(base + "/dst"), std::vector<std::string>{"a.bin"});

    // Leave one as a kill would, beside a link and a folder of that shape, which are not ours.
    WriteRealFile(root + L"/dst/sub/" + Wide(temporary), "partial", UtcFileTime(2024, 1, 2));
    ASSERT_EQ(symlink("../src/a.bin", (base + "/dst/.kestrome-aaaaaaaaaaaa.tmp").c_str()), 0);
    MakeRealFolder(root + L"/dst/.kestrome-bbbbbbbbbbbb.tmp/in");
    WriteRealFile(root + L"/dst/.kestrome-bbbbbbbbbbbb.tmp/in/kept.txt", "kept", UtcFileTime(2024, 1, 2));
    EXPECT_EQ(RunWith({L"k", root + L"/src", root + L"/dst"}), 0) << Narrow(CapturedText());
    EXPECT_TRUE(Names(base + "/dst/sub").empty());
    struct stat st;
    EXPECT_EQ(lstat((base + "/dst/sub").c_str(), &st), -1);  // emptied, then removed
    EXPECT_EQ(lstat((base + "/dst/.kestrome-aaaaaaaaaaaa.tmp").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    std::string kept;
    EXPECT_TRUE(ReadRealFile(root + L"/dst/.kestrome-bbbbbbbbbbbb.tmp/in/kept.txt", &kept));
    EXPECT_EQ(kept, "kept");
}

// A source written to while it is copied: what stands under the real name afterwards is either
// nothing or a whole version of the file with that version's own time, never a mix that claims
// the old time. Written from the progress callback, so the write lands in the middle of the copy.
enum class Disturbance { Grow, Shrink, RewriteSameSize };
Disturbance g_disturbance;
std::string g_source;
int g_calls = 0;
uint32_t Disturb(int64_t, int64_t transferred) {
    if (++g_calls != 2 || transferred == 0) return kCopyContinue;
    int fd = open(g_source.c_str(), O_WRONLY);
    if (fd < 0) return kCopyContinue;
    if (g_disturbance == Disturbance::Grow) {
        lseek(fd, 0, SEEK_END);
        EXPECT_EQ(write(fd, "more", 4), 4);
    } else if (g_disturbance == Disturbance::Shrink) {
        EXPECT_EQ(ftruncate(fd, 1000), 0);
    } else {
        EXPECT_EQ(pwrite(fd, "XXXX", 4, 10), 4);
    }
    close(fd);
    // A writer that puts the old time back must not pass either.
    if (g_disturbance == Disturbance::RewriteSameSize) {
        struct timespec t[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
        utimensat(AT_FDCWD, g_source.c_str(), t, 0);
    }
    return kCopyContinue;
}

// Forwards to the real provider, with the disturbing callback in front of the engine's.
CopyProgressFn g_engineProgress;
uint32_t DisturbThenReport(int64_t total, int64_t transferred) {
    Disturb(total, transferred);
    return g_engineProgress ? g_engineProgress(total, transferred) : kCopyContinue;
}
uint32_t DisturbingCopy(const wchar_t* from, const wchar_t* to, CopyProgressFn progress, bool replace) {
    g_engineProgress = progress;
    return PlatformFileSystem().copyFile(from, to, DisturbThenReport, replace);
}

class SourceChangedTest : public RealFolderTest {
protected:
    void TearDown() override {
        SetFileSystem(&PlatformFileSystem());
        RealFolderTest::TearDown();
    }
};

TEST_F(SourceChangedTest, ACopyOfASourceWrittenMeanwhileFailsAndLeavesNothing) {
    const std::string data(24 << 20, 'd');  // more than one chunk of either copy path
    for (Disturbance d : {Disturbance::Grow, Disturbance::Shrink, Disturbance::RewriteSameSize}) {
        SCOPED_TRACE(static_cast<int>(d));
        std::wstring src = root + L"/src" + std::to_wstring(static_cast<int>(d));
        std::wstring dst = root + L"/dst" + std::to_wstring(static_cast<int>(d));
        WriteRealFile(src + L"/big.bin", data, UtcFileTime(2023, 11, 14, 22, 13, 20));
        MakeRealFolder(dst);
        g_source = Narrow(src + L"/big.bin");
        g_disturbance = d;
        g_calls = 0;
        uint32_t error = FsCopyFile((src + L"/big.bin").c_str(), (dst + L"/big.bin").c_str(), Disturb, false);
        ASSERT_GE(g_calls, 2) << "the copy ended before the write";
        EXPECT_EQ(error, static_cast<uint32_t>(EBUSY));
        EXPECT_TRUE(Names(Narrow(dst)).empty());
    }
}

// The whole run: the failure is named, the old version stays in Backup, and the next run copies
// the file as it now is.
TEST_F(SourceChangedTest, TheRunReportsItAndTheNextRunCopiesTheFileAsItNowIs) {
    static FileSystem disturbing = PlatformFileSystem();
    disturbing.copyFile = DisturbingCopy;
    std::wstring src = root + L"/src", dst = root + L"/dst";
    WriteRealFile(src + L"/big.bin", std::string(24 << 20, 'n'), UtcFileTime(2024, 5, 1));
    WriteRealFile(dst + L"/big.bin", "old version", UtcFileTime(2020, 1, 1));
    g_source = Narrow(src + L"/big.bin");
    g_disturbance = Disturbance::Grow;
    g_calls = 0;
    SetFileSystem(&disturbing);
    EXPECT_EQ(RunWith({L"k", src, dst}), 2);
    SetFileSystem(&PlatformFileSystem());
    EXPECT_NE(CapturedText().find(L"copy " + src + L"/big.bin failed: " + std::to_wstring(EBUSY) + L"\n"),
              std::wstring::npos)
        << Narrow(CapturedText());
    std::string content;
    EXPECT_FALSE(ReadRealFile(dst + L"/big.bin", &content));
    ASSERT_TRUE(ReadRealFile(dst + L"/Backup/big.bin", &content));
    EXPECT_EQ(content, "old version");
    EXPECT_EQ(Names(Narrow(dst)), std::vector<std::string>{"Backup"});

    StartCapture();
    EXPECT_EQ(RunWith({L"k", src, dst}), 0);
    FileInfo source, copy;
    ASSERT_TRUE(FsGetAttributesEx((src + L"/big.bin").c_str(), &source));
    ASSERT_TRUE(FsGetAttributesEx((dst + L"/big.bin").c_str(), &copy));
    EXPECT_EQ(copy.sizeLow, (24u << 20) + 4);
    EXPECT_EQ(copy.sizeLow, source.sizeLow);
    EXPECT_EQ(FileTimeToInt64(copy.lastWriteTime), FileTimeToInt64(source.lastWriteTime));
}

#endif

}  // namespace
