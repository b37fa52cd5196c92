// Names and trees a sync tool meets sooner or later, on real folders through the platform's own
// provider (under Wine in the Windows build): characters outside the Basic Multilingual Plane,
// names that differ only in case, bytes that are not UTF-8, the longest names, paths at and one
// past the limit, files named Backup and Deleted, read-only and hidden files, empty files and the
// deepest tree. In every case: nothing lost, and whatever cannot be done is named in a message.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli/run_thread.h"
#include "engine/fs/file_system.h"
#include "engine/paths.h"
#include "engine/fs/text_encoding.h"
#include "tests/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const std::wstring S(1, kPathSeparator);
const int64_t T1 = UtcFileTime(2023, 3, 1, 10);
const int64_t T2 = UtcFileTime(2023, 4, 1, 10);
const int64_t T3 = UtcFileTime(2023, 5, 1, 10);

// ---- real files by wide path, whatever their length or bytes ----------------------------------

#ifdef _WIN32
// The long form passes paths beyond MAX_PATH straight to the file system.
std::wstring Native(const std::wstring& path) { return L"\\\\?\\" + path; }

void MakeFolder(const std::wstring& path) {
    for (size_t i = 3; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == L'\\') CreateDirectoryW(Native(path.substr(0, i)).c_str(), nullptr);
    }
}

void Write(const std::wstring& path, const std::string& content, int64_t time) {
    MakeFolder(path.substr(0, path.rfind(L'\\')));
    SetFileAttributesW(Native(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE h = CreateFileW(Native(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << Narrow(path);
    DWORD written = 0;
    WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    FILETIME t = {static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    SetFileTime(h, nullptr, nullptr, &t);
    CloseHandle(h);
}

bool Read(const std::wstring& path, std::string* content) {
    HANDLE h = CreateFileW(Native(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    content->clear();
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got > 0) content->append(chunk, got);
    CloseHandle(h);
    return true;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(Native(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

int64_t TimeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Native(path).c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                data.ftLastWriteTime.dwLowDateTime);
}

bool Rename(const std::wstring& from, const std::wstring& to) {
    return MoveFileW(Native(from).c_str(), Native(to).c_str()) != 0;
}

std::vector<std::wstring> Names(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(Native(folder + L"\\*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(h, &data));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveAll(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(Native(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesW(Native(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(Native(path).c_str());
        return;
    }
    for (const std::wstring& name : Names(path)) RemoveAll(path + L"\\" + name);
    RemoveDirectoryW(Native(path).c_str());
}

void Remove(const std::wstring& path) { RemoveAll(path); }
#else
// Wide text to the bytes on disk, losslessly: what the provider itself does.
std::string Native(const std::wstring& path) {
    std::vector<char> bytes(path.size() * 4 + 1);
    EXPECT_TRUE(WideToUtf8(path.c_str(), bytes.data(), bytes.size()));
    return bytes.data();
}

std::wstring Wide(const std::string& bytes) {
    std::vector<wchar_t> wide(bytes.size() + 1);
    EXPECT_TRUE(Utf8ToWide(bytes.data(), bytes.size(), wide.data(), wide.size()));
    return wide.data();
}

void MakeFolder(const std::wstring& path) {
    std::string native = Native(path);
    for (size_t i = 1; i <= native.size(); ++i) {
        if (i == native.size() || native[i] == '/') mkdir(native.substr(0, i).c_str(), 0777);
    }
}

void Write(const std::wstring& path, const std::string& content, int64_t time) {
    MakeFolder(path.substr(0, path.rfind(L'/')));
    std::string native = Native(path);
    chmod(native.c_str(), 0644);
    int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << native;
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    int64_t unixTicks = time - 116444736000000000LL;
    struct timespec times[2] = {{0, UTIME_OMIT}, {unixTicks / 10000000, (unixTicks % 10000000) * 100}};
    futimens(fd, times);
    close(fd);
}

bool Read(const std::wstring& path, std::string* content) {
    int fd = open(Native(path).c_str(), O_RDONLY);
    if (fd < 0) return false;
    content->clear();
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0) content->append(chunk, static_cast<size_t>(got));
    close(fd);
    return true;
}

bool Exists(const std::wstring& path) {
    struct stat st;
    return lstat(Native(path).c_str(), &st) == 0;
}

int64_t TimeOf(const std::wstring& path) {
    struct stat st;
    if (stat(Native(path).c_str(), &st) != 0) return -1;
    return (st.st_mtim.tv_sec + 11644473600LL) * 10000000LL + st.st_mtim.tv_nsec / 100;
}

bool Rename(const std::wstring& from, const std::wstring& to) {
    return rename(Native(from).c_str(), Native(to).c_str()) == 0;
}

std::vector<std::wstring> Names(const std::wstring& folder) {
    std::vector<std::wstring> names;
    if (DIR* d = opendir(Native(folder).c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(Wide(e->d_name));
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void Remove(const std::wstring& path) {
    struct stat st;
    std::string native = Native(path);
    if (lstat(native.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(native.c_str());
        return;
    }
    for (const std::wstring& name : Names(path)) Remove(path + L"/" + name);
    rmdir(native.c_str());
}
#endif

std::string Content(const std::wstring& path) {
    std::string content;
    return Read(path, &content) ? content : "<missing>";
}

class OddNamesTest : public RealFolderTest {
protected:
    void SetUp() override {
        RealFolderTest::SetUp();
        MakeFolder(Src());
        MakeFolder(Dst());
    }
    void TearDown() override {
        Remove(root);  // long paths and read-only files included
        RealFolderTest::TearDown();
    }
    std::wstring Src(const std::wstring& rel = L"") const { return root + S + L"src" + (rel.empty() ? L"" : S + rel); }
    std::wstring Dst(const std::wstring& rel = L"") const { return root + S + L"dst" + (rel.empty() ? L"" : S + rel); }
    // The console program's own way: a thread whose stack holds the deepest tree.
    int Run(const wchar_t* extra = nullptr) {
        StartCapture();
        std::vector<std::wstring> arguments = {L"kestrome", Src(), Dst()};
        if (extra) arguments.push_back(extra);
        std::vector<const wchar_t*> pointers;
        for (const std::wstring& a : arguments) pointers.push_back(a.c_str());
        return RunSyncOnLargeStack(static_cast<int32_t>(pointers.size()), pointers.data());
    }
    static bool Said(const std::wstring& text) { return CapturedText().find(text) != std::wstring::npos; }
    static std::string Output() { return Narrow(CapturedText()); }
    // Each failure line of the last run, in order.
    static std::vector<std::wstring> Failures() {
        std::vector<std::wstring> lines;
        for (const std::wstring& m : CapturedMessages()) {
            if (m.find(L" failed: ") != std::wstring::npos || m.rfind(L"path too long ", 0) == 0) lines.push_back(m);
        }
        return lines;
    }
};

TEST_F(OddNamesTest, CharactersOutsideTheBasicPlane) {
    const std::wstring folder = L"\U0001D11E music", renamed = L"\U0001F3B5 songs";
    const std::wstring name = L"\U0001F600 smile.txt", bare = L"\U00010348";
    Write(Src(folder + S + name), "smile", T1);
    Write(Src(bare), "first", T1);
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_TRUE(Said(L"copy file " + Src(folder + S + name) + L"\n")) << Output();
    EXPECT_EQ(Content(Dst(folder + S + name)), "smile");
    EXPECT_EQ(TimeOf(Dst(folder + S + name)), T1);

    ASSERT_TRUE(Rename(Src(folder), Src(renamed)));
    Write(Src(bare), "second", T2);
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_TRUE(Said(L"move file " + Dst(folder + S + name) + L"\n")) << Output();
    EXPECT_FALSE(Said(L"copy file " + Src(renamed + S + name)));
    EXPECT_EQ(Content(Dst(renamed + S + name)), "smile");
    EXPECT_FALSE(Exists(Dst(folder)));
    EXPECT_EQ(Content(Dst(L"Backup" + S + bare)), "first");
    EXPECT_EQ(Content(Dst(bare)), "second");

    Write(Src(bare), "third", T3);  // the next backup of the same name takes a number
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Content(Dst(L"Backup" + S + bare + L" (2)")), "second");

    Remove(Src(renamed + S + name));
    ASSERT_EQ(Run(L"d"), 0) << Output();
    EXPECT_EQ(Content(Dst(L"Deleted" + S + renamed + S + name)), "smile");
    EXPECT_TRUE(Said(L"move deleted file " + Dst(renamed + S + name) + L"\n"));
}

// Names Win32 would otherwise rewrite or take for devices: a last part ending in "." or " ", and
// device names. They are files and folders like any other, under their own names, in both
// directions: copied, put aside in Backup, moved into Deleted, and equal on the next run. (On
// Linux they are ordinary names and the same holds.)
TEST_F(OddNamesTest, NamesEndingInADotOrABlankAndDeviceNames) {
    const std::vector<std::wstring> names = {L"report.", L"trailing ", L"CON", L"aux.txt", L"sub." + S + L"inner.", L"end " + S + L"x"};
    for (const std::wstring& name : names) Write(Src(name), "first " + Narrow(name), T1);
    ASSERT_EQ(Run(), 0) << Output();
    for (const std::wstring& name : names) EXPECT_EQ(Content(Dst(name)), "first " + Narrow(name)) << Narrow(name);
    EXPECT_EQ(Content(Dst(L"report")), "<missing>");  // never the name without its dot
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_FALSE(Said(L"copy file")) << Output();
    EXPECT_FALSE(Said(L"backup file")) << Output();

    Write(Src(L"report."), "second", T2);
    Remove(Src(L"CON"));
    ASSERT_EQ(Run(L"d"), 0) << Output();
    EXPECT_EQ(Content(Dst(L"Backup" + S + L"report.")), "first report.");
    EXPECT_EQ(Content(Dst(L"report.")), "second");
    EXPECT_EQ(Content(Dst(L"Deleted" + S + L"CON")), "first CON");
    ASSERT_EQ(Run(L"d"), 0) << Output();
    EXPECT_FALSE(Said(L"copy file")) << Output();
}

TEST_F(OddNamesTest, NamesThatDifferOnlyInCase) {
#ifdef _WIN32
    // One file to the system: the destination's own spelling stays, and nothing is copied twice.
    Write(Src(L"Photo.jpg"), "photo", T1);
    Write(Dst(L"photo.jpg"), "photo", T1);
    Write(Src(L"Docs\\a.txt"), "a", T1);
    Write(Dst(L"docs\\a.txt"), "a", T1);
    ASSERT_EQ(Run(L"d"), 0) << Output();
    EXPECT_FALSE(Said(L" file ")) << Output();
    EXPECT_EQ(Names(Dst()), (std::vector<std::wstring>{L"docs", L"photo.jpg"}));
    Write(Src(L"Photo.jpg"), "photo 2", T2);
    ASSERT_EQ(Run(L"d"), 0) << Output();
    EXPECT_EQ(Content(Dst(L"Backup\\Photo.jpg")), "photo");
    EXPECT_EQ(Content(Dst(L"Photo.jpg")), "photo 2");
    EXPECT_FALSE(Exists(Dst(L"Deleted")));
#else
    // Two files here: each keeps its own content, and a folder renamed only in case is another
    // folder whose files are moved, not copied.
    Write(Src(L"Photo.jpg"), "upper", T1);
    Write(Src(L"photo.jpg"), "lower", T1);
    Write(Src(L"Docs/a.txt"), "A", T1);
    Write(Src(L"docs/a.txt"), "a", T2);
    ASSERT_EQ(Run(L"d"), 0) << Output();
    EXPECT_EQ(Content(Dst(L"Photo.jpg")), "upper");
    EXPECT_EQ(Content(Dst(L"photo.jpg")), "lower");
    EXPECT_EQ(Content(Dst(L"Docs/a.txt")), "A");
    EXPECT_EQ(Content(Dst(L"docs/a.txt")), "a");

    Remove(Src(L"docs"));
    ASSERT_TRUE(Rename(Src(L"Docs"), Src(L"DOCS")));
    ASSERT_EQ(Run(L"d"), 0) << Output();
    EXPECT_TRUE(Said(L"move file " + Dst(L"Docs/a.txt") + L"\n")) << Output();
    EXPECT_EQ(Content(Dst(L"DOCS/a.txt")), "A");
    EXPECT_EQ(Content(Dst(L"Deleted/docs/a.txt")), "a");
    EXPECT_FALSE(Exists(Dst(L"Docs")));
    EXPECT_FALSE(Exists(Dst(L"docs")));
#endif
}

#ifndef _WIN32
// Linux names are bytes: every name reaches the destination byte for byte, and an overlong
// encoding of '/' is a byte like any other, never a separator.
TEST_F(OddNamesTest, NamesThatAreNotUtf8) {
    const std::vector<std::string> names = {"bad\xff.txt", "a\xc0\xaf" "b", "\xed\xa0\x80x", "\xf4\x90\x80\x80",
                                            "caf\xe9.txt", "\xc3\xa9\xff mixed",
                                            // a raw byte, and the UTF-8 form of the character that stands for it
                                            "\x80", "\xed\xb2\x80"};
    const std::wstring folder = Wide("dir\xfe"), renamed = Wide("dir\xfd");
    for (const std::string& name : names) Write(Src(folder + S + Wide(name)), name, T1);
    ASSERT_EQ(Run(), 0) << Output();
    std::vector<std::wstring> expected;
    for (const std::string& name : names) {
        EXPECT_EQ(Content(Dst(folder + S + Wide(name))), name);
        EXPECT_TRUE(Said(L"copy file " + Src(folder + S + Wide(name)) + L"\n"));
        expected.push_back(Wide(name));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(Dst(folder)), expected);
    EXPECT_FALSE(Exists(Dst(folder + S + L"a")));

    ASSERT_TRUE(Rename(Src(folder), Src(renamed)));
    Remove(Src(renamed + S + Wide(names[1])));
    ASSERT_EQ(Run(L"d"), 0) << Output();
    for (size_t i = 2; i < names.size(); ++i) {
        EXPECT_TRUE(Said(L"move file " + Dst(folder + S + Wide(names[i])) + L"\n")) << Output();
        EXPECT_EQ(Content(Dst(renamed + S + Wide(names[i]))), names[i]);
    }
    EXPECT_EQ(Content(Dst(L"Deleted" + S + folder + S + Wide(names[1]))), names[1]);
    EXPECT_FALSE(Exists(Dst(folder)));
    // Put aside twice: the numbered name keeps the raw bytes around the number.
    Write(Src(renamed + S + Wide(names[0])), "changed", T2);
    ASSERT_EQ(Run(), 0) << Output();
    Write(Src(renamed + S + Wide(names[0])), "again", T3);
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Content(Dst(L"Backup" + S + renamed + S + Wide(names[0]))), names[0]);
    EXPECT_EQ(Content(Dst(L"Backup" + S + renamed + S + Wide("bad\xff (2).txt"))), "changed");
    EXPECT_EQ(Content(Dst(renamed + S + Wide(names[0]))), "again");
}
#endif

// The longest names the system allows are copied, moved aside and put into Deleted; where the
// numbered name of a second version would pass the name limit, the part before the number gives
// way (whole characters only), so every version is kept.
TEST_F(OddNamesTest, TheLongestNames) {
#ifdef _WIN32
    // Here the path limit comes first: the longest name whose destination path fits it exactly.
    std::vector<std::wstring> names = {std::wstring(kMaxPath - Dst().size() - 1, L'n')};
#else
    std::wstring euros, faces;
    for (int i = 0; i < 85; ++i) euros += L'\u20AC';                  // 3 bytes each: 255
    for (int i = 0; i < 63; ++i) faces += L'\U0001F600';              // 4 bytes each: 252
    std::vector<std::wstring> names = {std::wstring(251, L'n') + L".txt", euros, faces + L"abc"};
    for (const std::wstring& name : names) ASSERT_EQ(Native(name).size(), 255u);
#endif
    for (const std::wstring& name : names) Write(Src(name), "first", T1);
    ASSERT_EQ(Run(), 0) << Output();
    for (const std::wstring& name : names) {
        EXPECT_EQ(Content(Dst(name)), "first");
        EXPECT_EQ(TimeOf(Dst(name)), T1);
        Write(Src(name), "second", T2);
    }
#ifdef _WIN32
    // Backup\ adds seven characters: past the limit, so the file is not replaced, and says so.
    EXPECT_EQ(Run(), 2) << Output();
    for (const std::wstring& name : names) {
        EXPECT_TRUE(Said(L"path too long " + Dst(L"Backup")));
        EXPECT_EQ(Content(Dst(name)), "first");
    }
#else
    ASSERT_EQ(Run(), 0) << Output();
    for (const std::wstring& name : names) {
        EXPECT_EQ(Content(Dst(L"Backup/" + name)), "first");
        EXPECT_EQ(Content(Dst(name)), "second");
        Write(Src(name), "third", T3);
    }
    // " (2)" whole would make 259 bytes: 247 n's, 83 euros (249 bytes), 62 faces (248 bytes).
    const std::vector<std::wstring> second = {std::wstring(247, L'n') + L" (2).txt", euros.substr(0, 83) + L" (2)",
                                              faces.substr(0, 62) + L" (2)"};
    ASSERT_EQ(Run(), 0) << Output();
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(Content(Dst(L"Backup/" + names[i])), "first");
        EXPECT_EQ(Content(Dst(L"Backup/" + second[i])), "second") << Output();
        EXPECT_LE(Native(second[i]).size(), 255u);
        EXPECT_EQ(Content(Dst(names[i])), "third");
        Remove(Src(names[i]));
    }
    ASSERT_EQ(Run(L"d"), 0) << Output();
    for (const std::wstring& name : names) EXPECT_EQ(Content(Dst(L"Deleted/" + name)), "third");
#endif
}

// A relative folder of exactly `length` characters: parts of at most 100 characters.
std::wstring RelativeOfLength(size_t length, wchar_t letter) {
    std::wstring rel;
    while (length > 101) {
        rel += std::wstring(100, letter) + S;
        length -= 101;
    }
    return rel + std::wstring(length, letter);
}

// Paths of exactly kMaxPath characters work everywhere; one more gives "path too long" naming
// the whole path, and the walk goes on with the next entry.
TEST_F(OddNamesTest, TreesAtAndOnePastThePathLimit) {
    ASSERT_EQ(Src().size(), Dst().size());
    const size_t folderLength = kMaxPath - 20;  // room for names of up to 19 characters
    const std::wstring rel = RelativeOfLength(folderLength - Src().size() - 1, L'p');
    ASSERT_EQ(Src(rel).size(), folderLength);
    const std::wstring atLimit = rel + S + std::wstring(19, L'a');
    const std::wstring pastLimit = rel + S + std::wstring(20, L'b');
    // Folders whose listing pattern (folder, separator, "*.*") is exactly at and one past it.
    const std::wstring folderAt = rel + S + std::wstring(15, L'f');
    const std::wstring folderPast = rel + S + std::wstring(16, L'g');
    ASSERT_EQ(Src(atLimit).size(), kMaxPath);
    ASSERT_EQ(Src(folderAt).size() + 4, kMaxPath);
    Write(Src(atLimit), "at", T1);
    Write(Src(pastLimit), "past", T1);
    Write(Src(rel + S + L"ok.txt"), "ok", T1);
    Write(Src(folderAt + S + L"x"), "x", T1);
    Write(Src(folderPast + S + L"y"), "y", T1);
    Write(Src(L"z.txt"), "z", T1);

    EXPECT_EQ(Run(), 2) << Output();
    std::vector<std::wstring> failures = Failures();
    std::sort(failures.begin(), failures.end());
    std::vector<std::wstring> expected = {L"path too long " + Dst(pastLimit) + L"\n",
                                          L"path too long " + Src(folderPast) + L"\n"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(failures, expected) << Output();
    EXPECT_EQ(Content(Dst(atLimit)), "at");
    EXPECT_EQ(TimeOf(Dst(atLimit)), T1);
    EXPECT_EQ(Content(Dst(rel + S + L"ok.txt")), "ok");
    EXPECT_EQ(Content(Dst(folderAt + S + L"x")), "x");
    EXPECT_EQ(Content(Dst(L"z.txt")), "z");
    EXPECT_FALSE(Exists(Dst(pastLimit)));
    EXPECT_FALSE(Exists(Dst(folderPast)));

    // At the limit, Backup and Deleted add their names: the file stays where it is, and says so.
    Write(Src(atLimit), "at, changed", T2);
    EXPECT_EQ(Run(), 2) << Output();
    EXPECT_TRUE(Said(L"path too long " + Dst(L"Backup" + S + atLimit) + L"\n")) << Output();
    EXPECT_EQ(Content(Dst(atLimit)), "at");
    Remove(Src(atLimit));
    EXPECT_EQ(Run(L"d"), 2) << Output();
    EXPECT_TRUE(Said(L"path too long " + Dst(L"Deleted" + S + atLimit) + L"\n")) << Output();
    EXPECT_EQ(Content(Dst(atLimit)), "at");

    // The same trees in the destination: indexed, walked and left alone past the limit.
    Write(Dst(pastLimit), "past, in the destination", T1);
    Write(Dst(folderPast + S + L"y"), "y, in the destination", T1);
    EXPECT_EQ(Run(L"d"), 2) << Output();
    EXPECT_TRUE(Said(L"path too long " + Dst(folderPast) + L"\n")) << Output();
    EXPECT_EQ(Content(Dst(pastLimit)), "past, in the destination");
    EXPECT_EQ(Content(Dst(folderPast + S + L"y")), "y, in the destination");
}

// A tree as deep as the path limit allows, one character a level: walked, copied, and moved
// whole when its top folder is renamed, without running out of stack.
TEST_F(OddNamesTest, TheDeepestTree) {
    std::wstring rel;
    while (Src(rel).size() + 2 + 4 <= kMaxPath) rel += (rel.empty() ? L"" : S) + std::wstring(1, L'd');
    const std::wstring file = rel + S + std::wstring(kMaxPath - Src(rel).size() - 1, L'f');
    ASSERT_EQ(Src(file).size(), kMaxPath);
    Write(Src(file), "deep", T1);
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Content(Dst(file)), "deep");
    ASSERT_TRUE(Rename(Src(L"d"), Src(L"e")));
    ASSERT_EQ(Run(L"d"), 0) << Output();
    const std::wstring moved = L"e" + file.substr(1);
    EXPECT_TRUE(Said(L"move file " + Dst(file) + L"\n")) << Output();
    EXPECT_EQ(Content(Dst(moved)), "deep");
    EXPECT_EQ(Names(Dst()), std::vector<std::wstring>{L"e"});
}

// Files named like the folders the runs keep: a file in the way of Backup or Deleted makes the
// move aside fail with a message, and the file it was for stays as it was.
TEST_F(OddNamesTest, FilesNamedBackupAndDeleted) {
    Write(Src(L"Backup"), "a file named Backup", T1);
    Write(Src(L"Deleted"), "a file named Deleted", T1);
    Write(Src(L"x.txt"), "x1", T1);
    Write(Src(L"y.txt"), "y1", T1);
    ASSERT_EQ(Run(L"d"), 0) << Output();
    EXPECT_EQ(Content(Dst(L"Backup")), "a file named Backup");
    EXPECT_EQ(Content(Dst(L"Deleted")), "a file named Deleted");

    Write(Src(L"x.txt"), "x2", T2);
    Remove(Src(L"y.txt"));
    EXPECT_EQ(Run(L"d"), 2) << Output();
    std::vector<std::wstring> failures = Failures();
    ASSERT_EQ(failures.size(), 2u) << Output();
    EXPECT_EQ(failures[0].rfind(L"move " + Dst(L"x.txt") + L" failed: ", 0), 0u) << Output();
    EXPECT_EQ(failures[1].rfind(L"move " + Dst(L"y.txt") + L" failed: ", 0), 0u) << Output();
    EXPECT_EQ(Content(Dst(L"x.txt")), "x1");
    EXPECT_EQ(Content(Dst(L"y.txt")), "y1");
    EXPECT_EQ(Content(Dst(L"Backup")), "a file named Backup");
    EXPECT_EQ(Content(Dst(L"Deleted")), "a file named Deleted");

    // A source folder named Backup holds files like any other; a backup of the same name beside
    // them takes a number, and nothing of either is lost.
    Remove(Src(L"Backup"));
    Remove(Src(L"Deleted"));
    Remove(Dst(L"Backup"));
    Remove(Dst(L"Deleted"));
    Write(Src(L"Backup" + S + L"x.txt"), "the user's own Backup/x.txt", T1);
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Content(Dst(L"Backup" + S + L"x.txt")), "the user's own Backup/x.txt");
    EXPECT_EQ(Content(Dst(L"x.txt")), "x2");
    // Beside the user's file when the source's Backup folder came first in the listing; else it
    // stood at Backup/x.txt first and was put aside into Backup/Backup when the user's file came.
    EXPECT_TRUE(Content(Dst(L"Backup" + S + L"x (2).txt")) == "x1" ||
                Content(Dst(L"Backup" + S + L"Backup" + S + L"x.txt")) == "x1")
        << Output();
    // y.txt, kept when Deleted was a file, now goes there; the user's Backup folder stays put.
    ASSERT_EQ(Run(L"d"), 0) << Output();
    EXPECT_EQ(Content(Dst(L"Deleted" + S + L"y.txt")), "y1");
    EXPECT_EQ(Content(Dst(L"Backup" + S + L"x.txt")), "the user's own Backup/x.txt");
    EXPECT_FALSE(Said(L"copy file")) << Output();
    EXPECT_FALSE(Said(L"backup file")) << Output();
}

// Read-only and hidden files go through every step: copied, moved as a twin, put aside into
// Backup and replaced, and moved into Deleted.
TEST_F(OddNamesTest, ReadOnlyAndHiddenFiles) {
    const std::vector<std::wstring> names = {L"readonly.txt", L".hidden", L"hidden.txt"};
    for (const std::wstring& name : names) Write(Src(L"a" + S + name), "v1 " + Narrow(name), T1);
    auto mark = [&](const std::wstring& path) {
#ifdef _WIN32
        std::wstring name = path.substr(path.rfind(L'\\') + 1);
        SetFileAttributesW(Native(path).c_str(), name == L"readonly.txt" ? FILE_ATTRIBUTE_READONLY
                                                                           : FILE_ATTRIBUTE_HIDDEN);
#else
        if (path.size() >= 12 && path.compare(path.size() - 12, 12, L"readonly.txt") == 0) {
            chmod(Native(path).c_str(), 0444);
        }
#endif
    };
    for (const std::wstring& name : names) mark(Src(L"a" + S + name));
    ASSERT_EQ(Run(), 0) << Output();
    for (const std::wstring& name : names) EXPECT_EQ(Content(Dst(L"a" + S + name)), "v1 " + Narrow(name));
#ifdef _WIN32
    EXPECT_TRUE(GetFileAttributesW(Native(Dst(L"a\\readonly.txt")).c_str()) & FILE_ATTRIBUTE_READONLY);
#else
    struct stat st;
    ASSERT_EQ(stat(Native(Dst(L"a/readonly.txt")).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
#endif

    ASSERT_TRUE(Rename(Src(L"a"), Src(L"b")));
    ASSERT_EQ(Run(), 0) << Output();
    for (const std::wstring& name : names) {
        EXPECT_TRUE(Said(L"move file " + Dst(L"a" + S + name) + L"\n")) << Output();
        Write(Src(L"b" + S + name), "v2 " + Narrow(name), T2);
        mark(Src(L"b" + S + name));
    }
    ASSERT_EQ(Run(), 0) << Output();
    for (const std::wstring& name : names) {
        EXPECT_EQ(Content(Dst(L"Backup" + S + L"b" + S + name)), "v1 " + Narrow(name));
        EXPECT_EQ(Content(Dst(L"b" + S + name)), "v2 " + Narrow(name));
        Remove(Src(L"b" + S + name));
    }
    ASSERT_EQ(Run(L"d"), 0) << Output();
    for (const std::wstring& name : names) EXPECT_EQ(Content(Dst(L"Deleted" + S + L"b" + S + name)), "v2 " + Narrow(name));
}

// An empty file is a file: copied with its time, moved as a twin, put aside when it gains bytes.
TEST_F(OddNamesTest, AnEmptyFile) {
    Write(Src(L"in" + S + L"empty"), "", T1);
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Content(Dst(L"in" + S + L"empty")), "");
    EXPECT_EQ(TimeOf(Dst(L"in" + S + L"empty")), T1);
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_FALSE(Said(L" file ")) << Output();
    ASSERT_TRUE(Rename(Src(L"in"), Src(L"out")));
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_TRUE(Said(L"move file " + Dst(L"in" + S + L"empty") + L"\n")) << Output();
    Write(Src(L"out" + S + L"empty"), "no longer empty", T2);
    ASSERT_EQ(Run(), 0) << Output();
    EXPECT_EQ(Content(Dst(L"Backup" + S + L"out" + S + L"empty")), "");
    EXPECT_EQ(Content(Dst(L"out" + S + L"empty")), "no longer empty");
}

}  // namespace
