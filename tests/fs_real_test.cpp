// Whole runs over real folders through the platform's own provider.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <errno.h>
#include <stdio.h>
#include <fcntl.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/fs/file_system.h"
#ifndef _WIN32
#include "engine/fs/fs_posix_test_knobs.h"
#endif
#include "engine/paths.h"
#include "engine/run_state.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

class RealRunTest : public RealFolderTest {
protected:
    std::wstring Src(const std::wstring& rel = L"") { return rel.empty() ? root + P(L"/src") : root + P(L"/src/") + P(rel); }
    std::wstring Dst(const std::wstring& rel = L"") { return rel.empty() ? root + P(L"/dst") : root + P(L"/dst/") + P(rel); }
    bool Exists(const std::wstring& path) { return fs::exists(fs::path(path)); }
    std::string Read(const std::wstring& path) {
        std::string content;
        EXPECT_TRUE(ReadRealFile(path, &content)) << Narrow(path);
        return content;
    }
    int Run(const wchar_t* extra = nullptr) {
        StartCapture();
        if (extra) return RunWith({L"kestrome", Src(), Dst(), extra});
        return RunWith({L"kestrome", Src(), Dst()});
    }
};

TEST_F(RealRunTest, VolumeLinesNameTheSameFileSystemForBothFolders) {
    MakeRealFolder(Src());
    MakeRealFolder(Dst());
    EXPECT_EQ(Run(), 0);
    std::wstring text = CapturedText();
    size_t source = text.find(L"Source File System: ");
    size_t dest = text.find(L"Dest File System: ");
    ASSERT_NE(source, std::wstring::npos) << Narrow(text);
    ASSERT_NE(dest, std::wstring::npos);
    std::wstring sourceName = text.substr(source + 20, text.find(L'\n', source) - source - 20);
    std::wstring destName = text.substr(dest + 18, text.find(L'\n', dest) - dest - 18);
    EXPECT_FALSE(sourceName.empty());
    EXPECT_LE(sourceName.size(), 7u);
    EXPECT_EQ(sourceName, destName);
}

TEST_F(RealRunTest, CopyThenRenameAFolderAndChangeAFileThenDeleteOne) {
    int64_t t1 = UtcFileTime(2024, 1, 1, 12);
    int64_t t2 = UtcFileTime(2024, 6, 1, 12);
    WriteRealFile(Src(L"Photos/a.jpg"), "photo a", t1);
    WriteRealFile(Src(L"Photos/b.jpg"), "photo b", t1);
    WriteRealFile(Src(L"notes.txt"), "first", t1);
    WriteRealFile(Src(L"gone.txt"), "soon gone", t1);
    MakeRealFolder(Dst());

    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Read(Dst(L"Photos/a.jpg")), "photo a");
    EXPECT_EQ(Read(Dst(L"notes.txt")), "first");
    FileInfo copied;
    ASSERT_TRUE(FsGetAttributesEx(Dst(L"notes.txt").c_str(), &copied));
    EXPECT_EQ(FileTimeToInt64(copied.lastWriteTime), t1);

    // Nothing changed: nothing to do and nothing said about files.
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(CapturedText().find(L" file "), std::wstring::npos) << Narrow(CapturedText());

    fs::rename(fs::path(Src(L"Photos")), fs::path(Src(L"Pictures")));
    WriteRealFile(Src(L"notes.txt"), "second", t2);
    fs::remove(fs::path(Src(L"gone.txt")));
    EXPECT_EQ(Run(L"d"), 0);
    std::wstring text = CapturedText();
    EXPECT_NE(text.find(L"move file " + Dst(L"Photos/a.jpg") + L"\n"), std::wstring::npos) << Narrow(text);
    EXPECT_EQ(text.find(L"copy file " + Src(L"Pictures/a.jpg")), std::wstring::npos);
    EXPECT_NE(text.find(L"backup file " + Dst(L"notes.txt") + L"\n"), std::wstring::npos);
    EXPECT_NE(text.find(L"move deleted file " + Dst(L"gone.txt") + L"\n"), std::wstring::npos);
    EXPECT_EQ(Read(Dst(L"Pictures/a.jpg")), "photo a");
    EXPECT_EQ(Read(Dst(L"Pictures/b.jpg")), "photo b");
    EXPECT_FALSE(Exists(Dst(L"Photos")));  // emptied by the moves and removed
    EXPECT_EQ(Read(Dst(L"notes.txt")), "second");
    EXPECT_EQ(Read(Dst(L"Backup/notes.txt")), "first");
    EXPECT_EQ(Read(Dst(L"Deleted/gone.txt")), "soon gone");

    // Changed again: the first backup is kept and the new one takes the next free name.
    WriteRealFile(Src(L"notes.txt"), "third", t2 + 10000000);
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Read(Dst(L"Backup/notes.txt")), "first");
    EXPECT_EQ(Read(Dst(L"Backup/notes (2).txt")), "second");
    EXPECT_EQ(Read(Dst(L"notes.txt")), "third");
}

// A tree of fixtures, as in a project folder: in every case folder an input.js, an output.js and
// an options.json, all of one size and one time, some of equal bytes and most not. The case
// folders are renamed, some files moved, and new look-alikes appear: the destination must end
// byte for byte as the source, without a failure, and a second run must have nothing to do.
TEST_F(RealRunTest, LookAlikeFixturesEndByteForByteAsTheSource) {
    const int64_t t = UtcFileTime(2024, 3, 1, 9);
    const wchar_t* const names[] = {L"input.js", L"output.js", L"options.json"};
    auto bytes = [](int kind, int n) {
        std::string text = std::string("fixture ") + static_cast<char>('a' + kind) + " #" + std::to_string(n);
        return text + std::string(32 - text.size(), '.');  // one size for all
    };
    for (int c = 0; c < 12; ++c) {
        for (int k = 0; k < 3; ++k) {
            // Cases 0 to 3 share their bytes, as copied fixtures do; the others differ.
            WriteRealFile(Src(L"cases/case" + std::to_wstring(c) + L"/" + names[k]), bytes(k, c < 4 ? 0 : c), t);
        }
    }
    MakeRealFolder(Dst());
    EXPECT_EQ(Run(), 0);

    // Every case folder gets a new name (in another order than the scan meets them), two files
    // move to a folder of their own, and a new look-alike appears beside them.
    for (int c = 11; c >= 0; --c) {
        fs::create_directories(fs::path(Src(L"renamed")));
        fs::rename(fs::path(Src(L"cases/case" + std::to_wstring(c))), fs::path(Src(L"renamed/t" + std::to_wstring((c * 5) % 12))));
    }
    fs::create_directories(fs::path(Src(L"moved")));
    fs::rename(fs::path(Src(L"renamed/t0/input.js")), fs::path(Src(L"moved/input.js")));
    fs::rename(fs::path(Src(L"renamed/t7/output.js")), fs::path(Src(L"moved/output.js")));
    WriteRealFile(Src(L"new/options.json"), bytes(2, 99), t);
    EXPECT_EQ(Run(L"d"), 0) << Narrow(CapturedText());
    EXPECT_EQ(RunFailureCount(), 0u);
    std::wstring text = CapturedText();
    EXPECT_EQ(text.find(L" failed: "), std::wstring::npos) << Narrow(text);
    size_t copies = 0;
    for (size_t at = text.find(L"copy file "); at != std::wstring::npos; at = text.find(L"copy file ", at + 1)) ++copies;
    EXPECT_EQ(copies, 1u) << Narrow(text);  // only the new look-alike
    for (const auto& item : fs::recursive_directory_iterator(fs::path(Src()))) {
        if (item.is_directory()) continue;
        std::wstring rel = item.path().wstring().substr(Src().size() + 1);
        EXPECT_EQ(Read(Dst(rel)), Read(item.path().wstring())) << Narrow(rel);
    }
    EXPECT_FALSE(Exists(Dst(L"cases")));

    EXPECT_EQ(Run(L"d"), 0);
    text = CapturedText();
    EXPECT_EQ(text.find(L" file "), std::wstring::npos) << Narrow(text);
}

// The reads that compare look-alikes: at any offset, the end as 0 bytes, and nothing but a plain
// file is opened.
TEST_F(RealRunTest, ReadsForComparingOpenPlainFilesOnly) {
    std::string content(200000, 'x');
    content[150000] = 'y';
    WriteRealFile(Src(L"big.bin"), content, UtcFileTime(2024, 1, 1));
    ReadHandle file = nullptr;
    ASSERT_EQ(FsOpenRead(Src(L"big.bin").c_str(), &file), 0u);
    char buffer[16];
    size_t got = 0;
    EXPECT_EQ(FsReadAt(file, 150000, buffer, sizeof buffer, &got), 0u);
    ASSERT_GT(got, 0u);
    EXPECT_EQ(buffer[0], 'y');
    EXPECT_EQ(FsReadAt(file, content.size(), buffer, sizeof buffer, &got), 0u);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(FsReadAt(file, content.size() + 5000, buffer, sizeof buffer, &got), 0u);
    EXPECT_EQ(got, 0u);
    FsCloseRead(file);
    EXPECT_NE(FsOpenRead(Src().c_str(), &file), 0u);
    EXPECT_NE(FsOpenRead(Src(L"none.bin").c_str(), &file), 0u);
#ifndef _WIN32
    // A link is never read as the file it leads to, and a FIFO is refused without waiting for a
    // writer (the call would hang here otherwise).
    fs::create_symlink(fs::path(Src(L"big.bin")), fs::path(Src(L"link.bin")));
    EXPECT_NE(FsOpenRead(Src(L"link.bin").c_str(), &file), 0u);
    ASSERT_EQ(mkfifo(Narrow(Src(L"fifo")).c_str(), 0600), 0);
    EXPECT_NE(FsOpenRead(Src(L"fifo").c_str(), &file), 0u);
#endif
}

#ifndef _WIN32
// A FIFO in the source with a writer waiting at it: the run names it and goes on, and the writer
// is never released (a reader that opened the FIFO and closed it unread would kill it with
// SIGPIPE at its first write).
TEST_F(RealRunTest, AFifoInTheSourceIsNamedAndNeverOpened) {
    WriteRealFile(Src(L"plain.txt"), "plain", UtcFileTime(2024, 1, 1));
    MakeRealFolder(Dst());
    const std::string fifo = Narrow(Src(L"fifo"));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> released{false};
    std::thread writer([&] {
        int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // blocks until someone opens it to read
        released = true;
        if (fd >= 0) close(fd);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the writer is waiting by now
    EXPECT_EQ(Run(L"d"), 2);
    EXPECT_NE(CapturedText().find(L"read file " + Src(L"fifo") + L" failed: " + std::to_wstring(kErrorNotSupported) + L"\n"),
              std::wstring::npos)
        << Narrow(CapturedText());
    EXPECT_EQ(Read(Dst(L"plain.txt")), "plain");
    EXPECT_FALSE(Exists(Dst(L"fifo")));
    EXPECT_FALSE(released.load());
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // lets the writer go
    writer.join();
    if (reader >= 0) close(reader);
}
#endif

// Making a folder where a file stands reads as success on both systems; the file kept in Deleted
// still moves to a numbered name so that the folder can be made.
TEST_F(RealRunTest, AFileKeptInDeletedMakesRoomForAFolderOfItsName) {
    int64_t t = UtcFileTime(2024, 1, 1, 12);
    WriteRealFile(Dst(L"Deleted/X"), "a file X", t);
    WriteRealFile(Dst(L"X/N"), "in folder X", t);
    MakeRealFolder(Src());
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_EQ(Read(Dst(L"Deleted/X/N")), "in folder X");
    EXPECT_EQ(Read(Dst(L"Deleted/X (2)")), "a file X");
    EXPECT_FALSE(Exists(Dst(L"X")));
}

TEST_F(RealRunTest, AMissingDestinationIsReportedAndNothingIsCreated) {
    MakeRealFolder(Src());
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(CapturedMessages().back(), Dst() + L" not exist\n");
    EXPECT_FALSE(Exists(Dst()));
}

// Each folder argument names one folder for the whole run, however it is spelled. A source inside
// the destination, or the same folder, is refused in every spelling before anything is touched
// (with "d" its files would otherwise be moved into Deleted and the source folder removed); a
// folder beside the destination is synchronized in every spelling.
TEST_F(RealRunTest, FolderArgumentsInEverySpellingNameOneFolder) {
    const int64_t t = UtcFileTime(2024, 1, 1);
    const std::wstring sep(1, kPathSeparator);
    WriteRealFile(Dst(L"inner/f.txt"), "inside the destination", t);
    MakeRealFolder(Dst(L"x"));
    WriteRealFile(root + sep + L"beside" + sep + L"g.txt", "beside", t);
    MakeRealFolder(root + sep + L"dst2");
    struct Row {
        std::wstring source, destination;
        bool refused;
    };
    std::vector<Row> rows = {
        {Dst(L"inner"), Dst(), true},
        {L"dst" + sep + L"inner", L"dst", true},
        {L"." + sep + L"dst" + sep + L"." + sep + L"inner" + sep, L"dst", true},
        {L"dst" + sep + sep + L"inner", L"dst" + sep, true},
        {L"dst" + sep + L"x" + sep + L".." + sep + L"inner", L"dst", true},
        {L"dst", L"." + sep + L"dst" + sep, true},
        {L"dst" + sep + L"inner", L"dst" + sep + L"inner" + sep + L"..", true},
        {root + sep + L"beside", L"dst2", false},
        {L"." + sep + L"beside" + sep, L"dst2", false},
        {L"dst2" + sep + L".." + sep + L"beside", L"dst2" + sep, false},
    };
#ifdef _WIN32
    const std::wstring drive = root.substr(0, 2);  // "C:"
    const std::wstring rooted = root.substr(2);     // "\...": the current drive's root below it
    std::wstring slashes = Dst(L"inner");
    for (wchar_t& c : slashes) c = c == L'\\' ? L'/' : c;
    std::wstring lower = Dst(L"inner");
    for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
    rows.insert(rows.end(), {
        {L"\\\\?\\" + Dst(L"inner"), Dst(), true},
        {L"\\\\.\\" + Dst(L"inner"), Dst(), true},
        {slashes, Dst(), true},
        {lower, Dst(), true},
        {rooted + L"\\dst\\inner", drive + L"dst", true},  // drive-relative: the current folder of the drive
        {L"\\\\?\\" + root + L"\\beside", L"dst2", false},
        {L"beside ", L"dst2", false},  // a trailing blank is dropped where it ends the path
    });
#else
    fs::create_directory_symlink(fs::path(Dst(L"inner")), fs::path(root + L"/alias"));
    fs::create_directory_symlink(fs::path(Dst()), fs::path(root + L"/dst-alias"));
    fs::create_directory_symlink(fs::path(root + L"/dst2"), fs::path(root + L"/dst2-alias"));
    rows.insert(rows.end(), {{L"alias", L"dst", true},
                             {L"dst", L"dst-alias", true},
                             {L"beside", L"dst-alias/..", true},  // the root that holds both
                             {L"beside", L"dst2-alias", false}});
#endif
    fs::path previous = fs::current_path();
    fs::current_path(fs::path(root));
    for (const Row& row : rows) {
        StartCapture();
        int code = RunWith({L"kestrome", row.source, row.destination, L"d"});
        std::string what = Narrow(row.source) + " -> " + Narrow(row.destination) + "\n" + Narrow(CapturedText());
        if (row.refused) {
            EXPECT_EQ(code, 1) << what;
            EXPECT_EQ(CapturedMessages().back(), L"source and destination folders overlap\n") << what;
            EXPECT_EQ(Read(Dst(L"inner/f.txt")), "inside the destination") << what;
            EXPECT_FALSE(Exists(Dst(L"Deleted"))) << what;
        } else {
            EXPECT_EQ(code, 0) << what;
            EXPECT_EQ(Read(root + sep + L"dst2" + sep + L"g.txt"), "beside") << what;
            fs::remove(fs::path(root + sep + L"dst2" + sep + L"g.txt"));
        }
    }
#ifndef _WIN32
    // From a working folder deeper than any path buffer, relative arguments still name the folders
    // and the check still sees the overlap.
    std::wstring deep = root;
    while (deep.size() < 1200) deep += L"/" + std::wstring(100, L'd');
    WriteRealFile(deep + L"/dst/src/f.txt", "deep source", t);
    fs::current_path(fs::path(deep));
    StartCapture();
    EXPECT_EQ(RunWith({L"kestrome", L"dst/src", L"dst", L"d"}), 1) << Narrow(CapturedText());
    EXPECT_EQ(Read(deep + L"/dst/src/f.txt"), "deep source");
#endif
    fs::current_path(previous);
}

#ifdef _WIN32
// Names ignore case on Windows: the destination's Deleted folder, made first by the mirror of a
// source folder "deleted", is spelled that way on disk, and the deleted-files pass must still
// pass over it, or its files would go one level deeper into Deleted on every run.
TEST_F(RealRunTest, TheDeletedFolderInAnySpellingIsNeverWalkedForDeletedFiles) {
    const int64_t t = UtcFileTime(2024, 1, 1);
    WriteRealFile(Src(L"deleted/old.txt"), "in the source", t);
    WriteRealFile(Dst(L"deleted/old.txt"), "in the source", t);
    WriteRealFile(Dst(L"deleted/gone.txt"), "kept by an earlier run", t);
    WriteRealFile(Dst(L"$Recycle.Bin/S-1-5-21/$R1.txt"), "recycled", t);
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(Run(L"d"), 0) << Narrow(CapturedText());
        EXPECT_EQ(CapturedText().find(L"move deleted file"), std::wstring::npos) << Narrow(CapturedText());
    }
    EXPECT_EQ(Read(Dst(L"Deleted/gone.txt")), "kept by an earlier run");
    EXPECT_FALSE(Exists(Dst(L"Deleted/deleted")));
    EXPECT_EQ(Read(Dst(L"$Recycle.Bin/S-1-5-21/$R1.txt")), "recycled");
}

}  // namespace

// In fs_win32_test.cpp: a link of a kind (0 junction, 1 directory symbolic link, 2 Unix symbolic
// link under Wine) and its removal.
bool MakeFolderLink(const std::wstring& at, const std::wstring& target, int kind);
void RemoveFolderLink(const std::wstring& at);

namespace {

// What another program does between the walks' look at a folder and the run's write into it: when
// the provider is asked to write at trigger, it first moves folder aside and puts a link to target
// in its place.
struct SwapBeforeWrite {
    std::wstring trigger, folder, target;
    int kind;
    bool done;
};
std::vector<SwapBeforeWrite> g_swaps;

void SwapIfDue(const wchar_t* path) {
    for (SwapBeforeWrite& swap : g_swaps) {
        if (swap.done || _wcsicmp(path, swap.trigger.c_str()) != 0) continue;
        std::error_code error;
        fs::rename(fs::path(swap.folder), fs::path(swap.folder + L"-was"), error);
        swap.done = !error && MakeFolderLink(swap.folder, swap.target, swap.kind);
    }
}
uint32_t CopySwappingFirst(const wchar_t* from, const wchar_t* to, CopyProgressFn progress, bool replace) {
    SwapIfDue(to);
    return PlatformFileSystem().copyFile(from, to, progress, replace);
}
uint32_t MoveSwappingFirst(const wchar_t* from, const wchar_t* to) {
    SwapIfDue(from);
    return PlatformFileSystem().moveFile(from, to);
}

// A destination folder swapped for a link after the walks looked at it (a junction, which any
// user can make on Windows; under Wine a Unix link): right before a copy into it, and before a
// changed file's move into Backup. Nothing is written where the links lead; each refused step
// names the link and the run ends with errors.
TEST_F(RealRunTest, AFolderSwappedForALinkMidRunCarriesNoWriteOut) {
    const int64_t t = UtcFileTime(2024, 1, 1);
    WriteRealFile(Src(L"sub/new.txt"), "new", t);
    MakeRealFolder(Dst(L"sub"));
    WriteRealFile(Src(L"changed/c.txt"), "v2, changed", t + 36000000000LL);  // changed beyond any precision
    WriteRealFile(Dst(L"changed/c.txt"), "v1", t);
    WriteRealFile(Dst(L"Backup/changed/kept.txt"), "kept", t);
    const std::wstring outside = root + L"\\outside";
    WriteRealFile(outside + L"\\precious.txt", "outside", t);
    int kind = 0;
    for (; kind < 3 && !MakeFolderLink(root + L"\\probe", outside, kind); ++kind) {}
    if (kind == 3) GTEST_SKIP() << "no kind of folder link can be made here";
    RemoveFolderLink(root + L"\\probe");
    g_swaps = {{Dst(L"sub\\new.txt"), Dst(L"sub"), outside, kind, false},
               {Dst(L"changed\\c.txt"), Dst(L"Backup\\changed"), outside, kind, false}};
    FileSystem swapping = PlatformFileSystem();
    swapping.copyFile = CopySwappingFirst;
    swapping.moveFile = MoveSwappingFirst;
    const FileSystem* previous = SetFileSystem(&swapping);
    int code = Run();
    SetFileSystem(previous);
    for (const SwapBeforeWrite& swap : g_swaps) {
        EXPECT_TRUE(swap.done) << Narrow(swap.folder);
        RemoveFolderLink(swap.folder);
    }
    const std::wstring text = CapturedText(), loop = std::to_wstring(kErrorLinkInTheWay);
    EXPECT_EQ(code, 2) << Narrow(text);
    EXPECT_NE(text.find(L"link in the way " + Dst(L"sub") + L"\n"), std::wstring::npos) << Narrow(text);
    EXPECT_NE(text.find(L"link in the way " + Dst(L"Backup\\changed") + L"\n"), std::wstring::npos) << Narrow(text);
    EXPECT_EQ(text.find(L" failed: " + loop), std::wstring::npos) << Narrow(text);
    std::vector<std::wstring> there;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(outside))) there.push_back(entry.path().wstring());
    EXPECT_EQ(there, std::vector<std::wstring>{outside + L"\\precious.txt"});
    EXPECT_EQ(Read(Dst(L"changed\\c.txt")), "v1");  // never moved out, never replaced
    EXPECT_EQ(Read(Dst(L"Backup\\changed-was\\kept.txt")), "kept");
}
#endif

#ifndef _WIN32
// Links never carry a write out of the destination and never make a walk endless. In the
// destination a link is an entry: a link where the source has a file goes aside like a changed
// file; a link where the source has a folder, or on the way into Backup, is named and nothing is
// written through it. In the source a link is walked, unless it leads back onto the walk path or
// into the destination.
TEST_F(RealRunTest, SymbolicLinksNeverLeadAWriteOutOfTheDestination) {
    const int64_t t = UtcFileTime(2024, 1, 1);
    WriteRealFile(root + L"/outside/precious.txt", "outside", t);
    WriteRealFile(Src(L"b/f"), "the source's own b/f", t);
    WriteRealFile(Src(L"a/f"), "a/f", t);
    WriteRealFile(Src(L"dangling"), "a file where a dangling link is", t);
    WriteRealFile(Src(L"to-folder"), "a file where a folder link is", t);
    WriteRealFile(Src(L"linked-target/in.txt"), "in", t);
    MakeRealFolder(Dst());
    fs::create_directory_symlink(fs::path(Src(L"b")), fs::path(Dst(L"a")));
    fs::create_symlink(fs::path(L"nowhere"), fs::path(Dst(L"dangling")));
    fs::create_directory_symlink(fs::path(root + L"/outside"), fs::path(Dst(L"to-folder")));
    fs::create_directory_symlink(fs::path(root + L"/outside"), fs::path(Dst(L"outside-link")));
    fs::create_directory_symlink(fs::path(Src(L"linked-target")), fs::path(Src(L"via-link")));
    fs::create_directory_symlink(fs::path(L"."), fs::path(Src(L"loop")));
    fs::create_directory_symlink(fs::path(L"."), fs::path(Src(L"loop2")));
    fs::create_directory_symlink(fs::path(Dst()), fs::path(Src(L"to-destination")));

    EXPECT_EQ(Run(L"d"), 2);  // the link in the way of folder a
    std::wstring text = CapturedText();
    EXPECT_NE(text.find(L"link in the way " + Dst(L"a") + L"\n"), std::wstring::npos) << Narrow(text);
    for (const wchar_t* link : {L"loop", L"loop2", L"to-destination"}) {
        EXPECT_NE(text.find(L"link not followed " + Src(link) + L"\n"), std::wstring::npos) << Narrow(link);
    }
    EXPECT_EQ(Read(Src(L"b/f")), "the source's own b/f");
    EXPECT_EQ(Read(root + L"/outside/precious.txt"), "outside");
    EXPECT_FALSE(Exists(root + L"/outside/dangling"));
    EXPECT_TRUE(fs::is_symlink(fs::path(Dst(L"a"))));
    EXPECT_TRUE(fs::is_symlink(fs::path(Dst(L"outside-link"))));
    // The links stood where the source has files: they are kept in Backup, the files copied.
    EXPECT_TRUE(fs::is_symlink(fs::path(Dst(L"Backup/dangling"))));
    EXPECT_TRUE(fs::is_symlink(fs::path(Dst(L"Backup/to-folder"))));
    EXPECT_EQ(Read(Dst(L"dangling")), "a file where a dangling link is");
    EXPECT_EQ(Read(Dst(L"to-folder")), "a file where a folder link is");
    EXPECT_EQ(Read(Dst(L"via-link/in.txt")), "in");
    EXPECT_FALSE(Exists(Dst(L"loop")));
    EXPECT_FALSE(Exists(Dst(L"to-destination")));

    // Settled: the next run does the same, and nothing more.
    EXPECT_EQ(Run(L"d"), 2);
    text = CapturedText();
    EXPECT_EQ(text.find(L"copy file"), std::wstring::npos) << Narrow(text);
    EXPECT_EQ(text.find(L"\nmove "), std::wstring::npos) << Narrow(text);
    EXPECT_EQ(text.find(L"backup file"), std::wstring::npos) << Narrow(text);
    EXPECT_NE(text.find(L"link in the way " + Dst(L"a") + L"\n"), std::wstring::npos);

    // Backup itself a link: the changed file stays where it is.
    fs::remove(fs::path(Dst(L"a")));
    fs::rename(fs::path(Dst(L"Backup")), fs::path(root + L"/outside/kept"));
    fs::create_directory_symlink(fs::path(root + L"/outside/kept"), fs::path(Dst(L"Backup")));
    WriteRealFile(Src(L"dangling"), "changed", t + 10000000);
    EXPECT_EQ(Run(), 2);
    EXPECT_NE(CapturedText().find(L"link in the way " + Dst(L"Backup") + L"\n"), std::wstring::npos);
    EXPECT_EQ(Read(Dst(L"dangling")), "a file where a dangling link is");
    EXPECT_EQ(Read(Dst(L"a/f")), "a/f");  // the link in its way is gone: copied now
    EXPECT_FALSE(Exists(root + L"/outside/kept/dangling (2)"));
}

// Runs the engine in a child process with a mount namespace of its own, after bind-mounting each
// (folder, onto) pair there (an empty folder: onto is unmounted): the mounts end with the child
// and never reach the machine. -1 with *skipped saying why where this process may not mount.
int RunWithBindMounts(const std::vector<std::pair<std::wstring, std::wstring>>& binds,
                      const std::vector<std::wstring>& arguments, std::string* text, std::string* skipped) {
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) return -2;
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        std::string said = "R";
        int code = 0;
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            said = std::string("Sa mount namespace of its own: ") + strerror(errno);
        for (const auto& bind : binds) {
            if (said == "R" && bind.first.empty() && umount2(Narrow(bind.second).c_str(), MNT_DETACH) != 0)
                said = std::string("Fumount: ") + strerror(errno);
            if (said == "R" && !bind.first.empty() &&
                mount(Narrow(bind.first).c_str(), Narrow(bind.second).c_str(), nullptr, MS_BIND, nullptr) != 0)
                said = std::string(errno == EPERM || errno == EACCES ? "S" : "F") + "mount --bind: " + strerror(errno);
        }
        if (said == "R") {
            PosixDescribeOnOneCore(true);  // the parent's helper thread did not come along
            StartCapture();
            code = RunWith(arguments);
            said += Narrow(CapturedText());
        }
        for (size_t at = 0; at < said.size();) {
            ssize_t n = write(channel[1], said.data() + at, said.size() - at);
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
        _exit(code);
    }
    close(channel[1]);
    std::string said;
    char chunk[4096];
    for (ssize_t n; (n = read(channel[0], chunk, sizeof chunk)) > 0;) said.append(chunk, static_cast<size_t>(n));
    close(channel[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || said.empty()) return -2;
    if (said[0] == 'S') *skipped = said.substr(1);
    *text = said.substr(1);
    return said[0] == 'S' ? -1 : said[0] == 'F' ? -2 : WEXITSTATUS(status);
}

// Every entry below root with its content, links as their targets.
std::map<std::string, std::string> TreeOf(const std::wstring& root) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(root))) {
        std::string content = entry.is_symlink() ? "-> " + fs::read_symlink(entry.path()).string() : "folder";
        if (!entry.is_symlink() && entry.is_regular_file()) ReadRealFile(entry.path().wstring(), &content);
        tree[entry.path().lexically_relative(fs::path(root)).string()] = content;
    }
    return tree;
}

// What the wrapping provider of the next test swaps: the destination folder `folder` is renamed
// to `aside` and a link to `target` put in its place, once, at the first call of the wrapped
// operation that writes below it. Copies run on two threads, hence the lock.
struct FolderSwap {
    std::mutex lock;
    std::string folder, aside, target;
    bool done = false;
};
FolderSwap g_swap;

void SwapIfBelow(const wchar_t* path) {
    std::lock_guard<std::mutex> hold(g_swap.lock);
    std::string text = Narrow(path);
    if (g_swap.done || text.compare(0, g_swap.folder.size() + 1, g_swap.folder + "/") != 0) return;
    g_swap.done = rename(g_swap.folder.c_str(), g_swap.aside.c_str()) == 0 &&
                  symlink(g_swap.target.c_str(), g_swap.folder.c_str()) == 0;
}

// A destination folder swapped for a link to a folder outside at the very moment the run writes
// below it, after every look the run took at it: a copy into it, a twin moved into it, a move
// into Backup, a folder made below it and an empty folder removed below it are each refused and
// name the link, nothing lands where the link leads (nor is taken from there), and the run ends
// with failures.
TEST_F(RealRunTest, AFolderSwappedForALinkMidRunIsNeverWrittenThrough) {
    enum Op { kCopy, kMove, kMakeFolder, kRemoveFolder };
    struct Row {
        const char* what;
        Op op;
        const wchar_t* swapped;  // below the destination
        std::vector<std::pair<const wchar_t*, const char*>> source, destination;  // file, content
        std::vector<const wchar_t*> destinationFolders;
        std::wstring line;  // @s: the source, @d: the destination
    };
    const std::wstring fail40 = L" failed: " + std::to_wstring(kErrorLinkInTheWay) + L"\n";
    const std::vector<Row> rows = {
        {"copy", kCopy, L"sub", {{L"sub/keep.txt", "k"}, {L"sub/new.txt", "new"}}, {{L"sub/keep.txt", "k"}}, {},
         L"link in the way @d/sub\n"},
        {"twin", kMove, L"sub", {{L"sub/keep.txt", "k"}, {L"sub/moved.txt", "moved"}},
         {{L"sub/keep.txt", "k"}, {L"old/moved.txt", "moved"}}, {}, L"link in the way @d/sub\n"},
        {"backup", kMove, L"Backup", {{L"changed.txt", "the new version"}},
         {{L"changed.txt", "old version"}, {L"Backup/older.txt", "o"}}, {}, L"link in the way @d/Backup\n"},
        {"folder", kMakeFolder, L"sub", {{L"sub/keep.txt", "k"}, {L"sub/deeper/f.txt", "f"}}, {{L"sub/keep.txt", "k"}},
         {}, L"link in the way @d/sub\n"},
        {"removal", kRemoveFolder, L"sub", {{L"sub/keep.txt", "k"}}, {{L"sub/keep.txt", "k"}}, {L"sub/empty"},
         L"link in the way @d/sub\n"},
    };
    const int64_t t = UtcFileTime(2024, 1, 1);
    static FileSystem wrapped;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::wstring outside = root + L"/outside";
        for (const std::wstring& folder : {Src(), Dst(), outside, root + L"/aside"}) fs::remove_all(fs::path(folder));
        WriteRealFile(outside + L"/inner.txt", "outside", t);
        MakeRealFolder(outside + L"/empty");
        MakeRealFolder(Src());
        MakeRealFolder(Dst());
        for (const auto& [file, content] : row.source) WriteRealFile(Src(file), content, file == std::wstring(L"changed.txt") ? t + 36000000000 : t);
        for (const auto& [file, content] : row.destination) WriteRealFile(Dst(file), content, t);
        for (const wchar_t* folder : row.destinationFolders) MakeRealFolder(Dst(folder));
        {
            std::lock_guard<std::mutex> hold(g_swap.lock);
            g_swap.folder = Narrow(Dst(row.swapped));
            g_swap.aside = Narrow(root + L"/aside");
            g_swap.target = Narrow(outside);
            g_swap.done = false;
        }
        wrapped = PlatformFileSystem();
        switch (row.op) {
        case kCopy:
            wrapped.copyFile = [](const wchar_t* from, const wchar_t* to, CopyProgressFn progress, bool replace) {
                SwapIfBelow(to);
                return PlatformFileSystem().copyFile(from, to, progress, replace);
            };
            break;
        case kMove:
            wrapped.moveFile = [](const wchar_t* from, const wchar_t* to) {
                SwapIfBelow(to);
                return PlatformFileSystem().moveFile(from, to);
            };
            break;
        case kMakeFolder:
            wrapped.createDirectory = [](const wchar_t* path) {
                SwapIfBelow(path);
                return PlatformFileSystem().createDirectory(path);
            };
            break;
        case kRemoveFolder:
            wrapped.removeDirectory = [](const wchar_t* path) {
                SwapIfBelow(path);
                return PlatformFileSystem().removeDirectory(path);
            };
            break;
        }
        std::map<std::string, std::string> before = TreeOf(outside);
        const FileSystem* previous = SetFileSystem(&wrapped);
        int code = Run();
        SetFileSystem(previous);
        std::wstring text = CapturedText();
        EXPECT_TRUE(g_swap.done) << Narrow(text);
        EXPECT_EQ(code, 2) << Narrow(text);
        std::wstring line = row.line;
        size_t at = line.find(L'@');
        line.replace(at, 2, line[at + 1] == L's' ? Src() : Dst());
        EXPECT_NE(text.find(line), std::wstring::npos) << Narrow(line) << "\n" << Narrow(text);
        EXPECT_EQ(text.find(fail40), std::wstring::npos) << Narrow(text);  // named as a link, once
        size_t named = 0;
        for (size_t at = text.find(L"link in the way "); at != std::wstring::npos; at = text.find(L"link in the way ", at + 1))
            ++named;
        EXPECT_EQ(named, 1u) << Narrow(text);
        EXPECT_EQ(TreeOf(outside), before) << Narrow(text);
        if (row.op == kMove && row.swapped == std::wstring(L"Backup")) {
            EXPECT_EQ(Read(Dst(L"changed.txt")), "old version");  // not replaced: it is in no Backup
        }
    }
}

// A folder mounted a second time is the same folder: a destination that is a second mount of a
// folder in the source, a source that is one of a folder in the destination, either one mounted
// into the other, and a source link into such a mount (but a link to a folder that merely holds
// the destination is walked up to it, as ever). Folders that only share a file system are
// apart, also where one of them is a second mount of a third, and without /proc to show the
// mounts the run goes on as the climb alone decides.
TEST_F(RealRunTest, FoldersMountedASecondTimeAreJudgedByWhatTheyShow) {
    struct Row {
        std::vector<std::pair<std::wstring, std::wstring>> binds;  // below the row's own folder
        std::wstring source, destination, extra, line;
        int code;
    };
    const std::wstring refused = L"source and destination folders overlap\n";
    const std::vector<Row> rows = {
        {{{L"src/sub", L"mnt"}}, L"src", L"mnt", L"d", refused, 1},
        {{{L"src/sub", L"a b\\c"}}, L"src", L"a b\\c", L"2024.01.01", refused, 1},  // escaped in the table
        {{{L"dst/inner", L"mnt"}}, L"mnt", L"dst", L"d", refused, 1},
        {{{L"dst/inner", L"src/m"}}, L"src", L"dst", L"d", refused, 1},
        {{{L"src", L"dst/m"}}, L"src", L"dst", L"d", refused, 1},
        {{{L"src", L"third"}, {L"src/sub", L"mnt"}}, L"third", L"mnt", L"d", refused, 1},
        {{{L"dst/inner", L"onto"}}, L"linked", L"dst", L"", L"link not followed @/linked/lnk\n", 0},
        {{{L"fourth", L"onto/d"}}, L"linked", L"onto/d", L"", L"link not followed @/linked/lnk/d\n", 0},
        {{{L"third", L"mnt"}}, L"beside", L"mnt", L"d", L"copy file @/beside/s.txt\n", 0},
        {{{L"third", L"mnt"}, {L"", L"/proc"}}, L"beside", L"mnt", L"d", L"copy file @/beside/s.txt\n", 0},
    };
    const int64_t t = UtcFileTime(2024, 1, 1);
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const std::wstring base = root + L"/" + std::to_wstring(i);
        WriteRealFile(base + L"/src/a.txt", "a", t);
        WriteRealFile(base + L"/src/sub/b.txt", "b", t);
        WriteRealFile(base + L"/dst/inner/f.txt", "f", t);
        WriteRealFile(base + L"/dst/m/hidden.txt", "under a mount", t);
        WriteRealFile(base + L"/beside/s.txt", "s", t);
        WriteRealFile(base + L"/fourth/t.txt", "t", t);
        for (const wchar_t* folder : {L"/mnt", L"/third", L"/onto/d", L"/linked", L"/src/m", L"/a b\\c"}) MakeRealFolder(base + folder);
        fs::create_directory_symlink(fs::path(base + L"/onto"), fs::path(base + L"/linked/lnk"));
        std::vector<std::pair<std::wstring, std::wstring>> binds;
        for (const auto& bind : row.binds)
            binds.push_back(bind.first.empty() ? bind : std::make_pair(base + L"/" + bind.first, base + L"/" + bind.second));
        std::vector<std::wstring> arguments = {L"kestrome", base + L"/" + row.source, base + L"/" + row.destination};
        if (!row.extra.empty()) arguments.push_back(row.extra);
        std::wstring line = row.line;
        if (line.find(L'@') != std::wstring::npos) line.replace(line.find(L'@'), 1, base);

        std::map<std::string, std::string> before = TreeOf(base);
        std::string text, skipped;
        int code = RunWithBindMounts(binds, arguments, &text, &skipped);
        if (code == -1) GTEST_SKIP() << "no bind mounts here: " << skipped;
        std::string what = Narrow(arguments[1]) + " -> " + Narrow(arguments[2]) + "\n" + text;
        EXPECT_EQ(code, row.code) << what;
        EXPECT_NE(text.find(Narrow(line)), std::string::npos) << what;
        if (row.source == L"beside") {  // copied into the folder mounted there
            std::string copied;
            EXPECT_TRUE(ReadRealFile(base + L"/third/s.txt", &copied) && copied == "s") << what;
            fs::remove(fs::path(base + L"/third/s.txt"));
        }
        EXPECT_EQ(TreeOf(base), before) << what;  // nothing else written, moved or removed
    }
}
#endif

#ifndef _WIN32
// Two small ext4 volumes mounted from images in the test's folder: the source's keeps 100 ns and
// 1901 to 2446, the destination's (128-byte inodes) whole seconds and 1901 to 2038. Both report
// "ext4", so no tolerance applies. Where loop devices or mount are not to be had (no root, a
// container without them) the test says so and is skipped; the volumes are unmounted in TearDown,
// also after a failure.
class CoarseVolumeTest : public RealRunTest {
protected:
    void SetUp() override {
        RealRunTest::SetUp();
        if (!MountVolume(L"src", "-I 256") || !MountVolume(L"dst", "-I 128")) {
            GTEST_SKIP() << "loop-mounted ext4 not available here (needs root, loop devices and mkfs.ext4): " << why_;
        }
    }
    void TearDown() override {
        for (const std::string& point : mounted_) {
            if (std::system(("umount '" + point + "' 2>/dev/null").c_str()) != 0) {
                std::system(("umount -l '" + point + "'").c_str());  // let go once nothing uses it
            }
        }
        RealRunTest::TearDown();
    }
    // Makes an image root/name.img, formats it and mounts it at root/name.
    bool MountVolume(const std::wstring& name, const std::string& options) {
        std::string image = Narrow(root + L"/" + name + L".img"), point = Narrow(root + L"/" + name);
        fs::create_directories(point);
        std::string make = "truncate -s 16M '" + image + "' && mkfs.ext4 -q -F " + options + " '" + image + "' >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0) {
            why_ = "mkfs.ext4 failed";
            return false;
        }
        if (std::system(("mount -o loop '" + image + "' '" + point + "' 2>/dev/null").c_str()) != 0) {
            why_ = "mount -o loop failed";
            return false;
        }
        mounted_.push_back(point);
        return true;
    }
    std::vector<std::string> mounted_;
    std::string why_;
};

TEST_F(CoarseVolumeTest, WholeSecondsAndDatesTo2038AreNotCopiedAgain) {
    const int64_t fine = UtcFileTime(2024, 5, 6, 7, 8, 9) + 1234567;
    const int64_t far = UtcFileTime(2040, 2, 3, 4, 5, 6) + 7654321;
    for (int i = 0; i < 10; ++i) WriteRealFile(Src(L"photos/p" + std::to_wstring(i) + L".jpg"), "photo", fine + i * 3333333);
    WriteRealFile(Src(L"notes.txt"), "notes", fine);
    WriteRealFile(Src(L"future.txt"), "future", far);
    EXPECT_EQ(Run(), 0);
    EXPECT_NE(CapturedText().find(L"Source File System: ext4\nDest File System: ext4\n"), std::wstring::npos)
        << Narrow(CapturedText());
    FileInfo kept;
    ASSERT_TRUE(FsGetAttributesEx(Dst(L"notes.txt").c_str(), &kept));
    EXPECT_EQ(FileTimeToInt64(kept.lastWriteTime), fine - 1234567);  // whole seconds
    ASSERT_TRUE(FsGetAttributesEx(Dst(L"future.txt").c_str(), &kept));
    EXPECT_EQ(FileTimeToInt64(kept.lastWriteTime), UtcFileTime(2038, 1, 19, 3, 14, 7));  // clamped

    // Nothing changed: nothing backed up, nothing copied.
    EXPECT_EQ(Run(L"d"), 0);
    EXPECT_EQ(CapturedText().find(L" file "), std::wstring::npos) << Narrow(CapturedText());
    EXPECT_FALSE(Exists(Dst(L"Backup")));

    // A change of the same size seconds later is one.
    WriteRealFile(Src(L"notes.txt"), "NOTES", fine + 50000000);
    EXPECT_EQ(Run(), 0);
    EXPECT_NE(CapturedText().find(L"backup file " + Dst(L"notes.txt") + L"\n"), std::wstring::npos) << Narrow(CapturedText());
    EXPECT_EQ(Read(Dst(L"notes.txt")), "NOTES");
    EXPECT_EQ(Read(Dst(L"Backup/notes.txt")), "notes");
}
#endif

}  // namespace
