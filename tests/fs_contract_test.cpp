// The table of tests/fs_contract_cases.h against every provider of the build: the in-memory one,
// and the platform's own on real folders (POSIX on Linux, in both ways of copying; Win32 on
// Windows). Each provider brings a small setup of its own that makes the starting tree and reads
// the tree back without going through the provider, so that what a case finds afterwards is what
// stands there.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/paths.h"
#include "tests/fs_contract_cases.h"
#include "tests/support/fs_memory.h"
#include "tests/test_support.h"
#ifndef _WIN32
#include "engine/fs/fs_posix_test_knobs.h"
#endif

#ifdef _WIN32
// In fs_win32_test.cpp: a folder link of a kind (0 junction, 1 directory symbolic link, 2 Unix
// symbolic link under Wine) and its removal.
bool MakeFolderLink(const std::wstring& at, const std::wstring& target, int kind);
void RemoveFolderLink(const std::wstring& at);
#endif

namespace {

// What stands at one path below the root.
struct Item {
    bool folder = false;
    bool link = false;
    std::string content;
    int64_t lastWriteTime = 0;
};
// Every entry below the root by its relative path ('/' between the parts); links are not followed.
using Tree = std::map<std::wstring, Item>;

// How a provider is installed and how its tree is made and read without it.
struct ContractProvider {
    const char* name;
    uint32_t (*column)(const PerProvider& cell);  // the table's column this provider reads
    // Makes the provider the one in use, with its settings for this row of providers.
    void (*install)();
    // A fresh, empty folder for one case; empty when none can be made.
    std::wstring (*makeRoot)();
    // Removes the root with everything in it (links, never what they lead to) and puts the
    // provider's settings back.
    void (*removeRoot)(const std::wstring& root);
    // A file with these bytes and this last-write time (100-ns units since 1601), in a folder that
    // is there.
    void (*writeFile)(const std::wstring& path, const std::string& bytes, int64_t lastWriteTime);
    void (*makeFolder)(const std::wstring& path);
    // A link at `at` to the folder target; false when none can be made here.
    bool (*makeFolderLink)(const std::wstring& at, const std::wstring& target);
    // Adds every entry below folder to tree, by its path below the root (relative is folder's).
    void (*readTree)(const std::wstring& folder, const std::wstring& relative, Tree* tree);
};

std::wstring Slashed(const std::wstring& path) {
    std::wstring out = path;
    for (wchar_t& c : out) c = c == kPathSeparator ? L'/' : c;
    return out;
}

uint32_t MemoryColumn(const PerProvider& cell) { return cell.memory; }
#ifndef _WIN32
uint32_t PosixColumn(const PerProvider& cell) { return cell.posix; }
#else
bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
uint32_t Win32Column(const PerProvider& cell) {
    static const bool wine = UnderWine();
    return wine && cell.wine != kAsOnWindows ? cell.wine : cell.win32;
}
#endif

// ---- the in-memory provider -------------------------------------------------------------------

void MemoryInstall() {
    MemFsReset();
    SetFileSystem(&MemoryFileSystem());
}
std::wstring MemoryRoot() {
    MemFsAddFolder(P(L"/contract"));
    return P(L"/contract");
}
void MemoryRemoveRoot(const std::wstring&) { MemFsReset(); }
void MemoryWrite(const std::wstring& path, const std::string& bytes, int64_t time) { MemFsAddFile(path, bytes, time); }
void MemoryFolder(const std::wstring& path) { MemFsAddFolder(path); }
bool MemoryLink(const std::wstring& at, const std::wstring& target) {
    MemFsAddLink(at, target);
    return true;
}
void MemoryReadTree(const std::wstring& folder, const std::wstring&, Tree* tree) {
    const std::wstring prefix = folder + kPathSeparator;
    for (const MemFsNode& node : MemFsSnapshot()) {
        if (node.path.compare(0, prefix.size(), prefix) != 0) continue;
        Item& item = (*tree)[Slashed(node.path.substr(prefix.size()))];
        item.folder = node.folder;
        item.link = !node.linkTarget.empty();
        if (!item.folder && !item.link) {
            item.content = node.content;
            item.lastWriteTime = node.lastWriteTime;
        }
    }
}

#ifndef _WIN32
// ---- the POSIX provider on real folders --------------------------------------------------------

constexpr int64_t kUnixEpochTicks = 11644473600LL * 10000000;

void PosixInstall() {
    SetFileSystem(&PlatformFileSystem());
    PosixRefuseUnnamedFiles(false);
}
void PosixNamedInstall() {
    SetFileSystem(&PlatformFileSystem());
    PosixRefuseUnnamedFiles(true);
}
std::wstring PosixRoot() {
    char folder[] = "/tmp/kestrome-contract-XXXXXX";
    if (!mkdtemp(folder)) return L"";
    return std::wstring(folder, folder + strlen(folder));
}
void PosixRemoveRoot(const std::wstring& root) {
    PosixRefuseUnnamedFiles(false);
    if (root.empty()) return;
    nftw(Narrow(root).c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
}
void PosixWrite(const std::wstring& path, const std::string& bytes, int64_t time) {
    int fd = open(Narrow(path).c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << Narrow(path);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    int64_t unix100ns = time - kUnixEpochTicks;
    struct timespec times[2] = {{0, UTIME_OMIT}, {unix100ns / 10000000, (unix100ns % 10000000) * 100}};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
}
void PosixFolder(const std::wstring& path) { ASSERT_EQ(mkdir(Narrow(path).c_str(), 0777), 0) << Narrow(path); }
bool PosixLink(const std::wstring& at, const std::wstring& target) {
    return symlink(Narrow(target).c_str(), Narrow(at).c_str()) == 0;
}
void PosixReadTree(const std::wstring& folder, const std::wstring& relative, Tree* tree) {
    DIR* d = opendir(Narrow(folder).c_str());
    ASSERT_NE(d, nullptr) << Narrow(folder);
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        const std::string name = e->d_name;
        const std::wstring wide(name.begin(), name.end());  // the tree's names are ASCII
        const std::wstring path = folder + L"/" + wide, rel = relative.empty() ? wide : relative + L"/" + wide;
        struct stat st;
        ASSERT_EQ(lstat(Narrow(path).c_str(), &st), 0);
        Item& item = (*tree)[rel];
        if (S_ISLNK(st.st_mode)) {
            item.link = true;
        } else if (S_ISDIR(st.st_mode)) {
            item.folder = true;
            PosixReadTree(path, rel, tree);
        } else {
            ASSERT_TRUE(ReadRealFile(path, &item.content));
            item.lastWriteTime = st.st_mtim.tv_sec * 10000000 + st.st_mtim.tv_nsec / 100 + kUnixEpochTicks;
        }
    }
    closedir(d);
}
#else
// ---- the Win32 provider on real folders --------------------------------------------------------

void Win32Install() { SetFileSystem(&PlatformFileSystem()); }
std::wstring Win32Root() {
    static int made = 0;
    wchar_t temp[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, temp) == 0) return L"";
    // Wine gives its processes the same few ids run after run: the tick count tells runs apart.
    std::wstring root = std::wstring(temp) + L"kestrome-contract-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                        std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++made);
    return CreateDirectoryW(root.c_str(), nullptr) ? root : L"";
}
// Links first, while what they lead to is still there: Wine shows a Unix link that leads nowhere
// as no link at all, and then nothing here could remove it.
void Win32RemoveTree(const std::wstring& folder) {
    for (bool links : {true, false}) {
        WIN32_FIND_DATAW data;
        HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &data);
        if (h == INVALID_HANDLE_VALUE) break;
        do {
            std::wstring name = data.cFileName, path = folder + L"\\" + name;
            if (name == L"." || name == L".." || ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) != links) continue;
            if (links) RemoveFolderLink(path);  // never what it leads to
            else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) Win32RemoveTree(path);
            else DeleteFileW(path.c_str());
        } while (FindNextFileW(h, &data));
        FindClose(h);
    }
    RemoveDirectoryW(folder.c_str());
}
void Win32RemoveRoot(const std::wstring& root) {
    if (root.empty()) return;
    Win32RemoveTree(root);
    EXPECT_EQ(GetFileAttributesW(root.c_str()), INVALID_FILE_ATTRIBUTES) << "left behind: " << Narrow(root);
}
void Win32Write(const std::wstring& path, const std::string& bytes, int64_t time) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << Narrow(path);
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    FILETIME t = {static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    BOOL timed = SetFileTime(h, nullptr, nullptr, &t);
    CloseHandle(h);
    ASSERT_EQ(written, bytes.size());
    ASSERT_TRUE(timed);
}
void Win32Folder(const std::wstring& path) { ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << Narrow(path); }
// A junction on Windows; a Unix link under Wine, which makes neither junctions nor directory
// symbolic links.
bool Win32Link(const std::wstring& at, const std::wstring& target) {
    for (int kind = 0; kind < 3; ++kind) {
        if (MakeFolderLink(at, target, kind)) return true;
    }
    return false;
}
void Win32ReadTree(const std::wstring& folder, const std::wstring& relative, Tree* tree) {
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << Narrow(folder);
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name, rel = relative.empty() ? name : relative + L"/" + name;
        Item& item = (*tree)[rel];
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            item.link = true;
        } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            item.folder = true;
            Win32ReadTree(path, rel, tree);
        } else {
            EXPECT_TRUE(ReadRealFile(path, &item.content)) << Narrow(path);
            item.lastWriteTime = FileTimeToInt64(FileTime{data.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwHighDateTime});
        }
    } while (FindNextFileW(h, &data));
    FindClose(h);
}
#endif

const ContractProvider kMemoryProvider = {"Memory", MemoryColumn, MemoryInstall, MemoryRoot, MemoryRemoveRoot,
                                          MemoryWrite, MemoryFolder, MemoryLink, MemoryReadTree};
#ifndef _WIN32
const ContractProvider kPosixProvider = {"Posix", PosixColumn, PosixInstall, PosixRoot, PosixRemoveRoot,
                                         PosixWrite, PosixFolder, PosixLink, PosixReadTree};
// Through named temporary files, as on file systems without unnamed ones (FAT, most network
// mounts): the copy's other way to a whole file, with a name of its own to clean up.
const ContractProvider kPosixNamedProvider = {"PosixNamedTemporaries", PosixColumn, PosixNamedInstall, PosixRoot,
                                              PosixRemoveRoot, PosixWrite, PosixFolder, PosixLink, PosixReadTree};
#else
const ContractProvider kWin32Provider = {"Win32", Win32Column, Win32Install, Win32Root, Win32RemoveRoot,
                                         Win32Write, Win32Folder, Win32Link, Win32ReadTree};
#endif

// The starting tree of every case (see fs_contract_cases.h).
std::string BigBytes() {
    std::string bytes(300000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) % 256);
    return bytes;
}
const int64_t kBase = UtcFileTime(2021, 3, 4, 5, 6, 7);
const struct {
    const wchar_t* path;
    const char* content;  // nullptr: a folder; "" with big: big.bin's bytes
    int64_t lastWriteTime;
    bool big;
} kStartingTree[] = {
    {L"a.txt", "alpha", kBase + 1234567, false},
    {L"b.txt", "beta, the file in the way", kBase + 86400LL * 10000000 + 7654321, false},
    {L"empty.txt", "", kBase - 365LL * 86400 * 10000000 + 1, false},
    {L"big.bin", "", kBase + 3333333, true},
    {L"folder", nullptr, 0, false},
    {L"folder/inside.txt", "inside", kBase + 12345, false},
    {L"empty", nullptr, 0, false},
};

// The progress routine's calls and when it cancels.
std::vector<std::pair<int64_t, int64_t>> g_calls;
CancelAt g_cancel = CancelAt::Never;
uint32_t RecordProgress(int64_t total, int64_t transferred) {
    g_calls.emplace_back(total, transferred);
    bool cancel = (g_cancel == CancelAt::FirstCall && g_calls.size() == 1) ||
                  (g_cancel == CancelAt::EveryByteCopied && transferred == total);
    return cancel ? kCopyCancel : kCopyContinue;
}

std::string Describe(const Item* item) {
    if (!item) return "nothing";
    if (item->folder) return "a folder";
    if (item->link) return "a link";
    std::string head = item->content.substr(0, 24);
    for (char& c : head) c = c >= ' ' && c <= '~' ? c : '.';
    return "a file of " + std::to_string(item->content.size()) + " bytes \"" + head + "\" written at " +
           std::to_string(item->lastWriteTime);
}

// One line per path where the trees differ; empty when they agree.
std::string Differences(const Tree& expected, const Tree& found) {
    std::string text;
    std::map<std::wstring, std::pair<const Item*, const Item*>> both;
    for (const auto& [path, item] : expected) both[path].first = &item;
    for (const auto& [path, item] : found) both[path].second = &item;
    for (const auto& [path, pair] : both) {
        const Item *want = pair.first, *got = pair.second;
        bool same = want && got && want->folder == got->folder && want->link == got->link &&
                    want->content == got->content && want->lastWriteTime == got->lastWriteTime;
        if (!same) text += "  " + Narrow(path) + ": expected " + Describe(want) + ", found " + Describe(got) + "\n";
    }
    return text;
}

// The starting tree with a case's changes made.
Tree Changed(const Tree& before, const std::vector<TreeChange>& changes) {
    Tree after = before;
    for (const TreeChange& change : changes) {
        const std::wstring path = change.path;
        for (auto it = after.begin(); it != after.end();) {
            bool below = it->first == path || it->first.compare(0, path.size() + 1, path + L"/") == 0;
            it = below ? after.erase(it) : std::next(it);
        }
        if (!change.now) continue;
        if (std::wstring(change.now) == L"/") {
            after[path].folder = true;
        } else {
            after[path] = before.at(change.now);
        }
    }
    return after;
}

using Param = std::tuple<const ContractProvider*, size_t>;

class FsContract : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override {
        provider_ = std::get<0>(GetParam());
        provider_->install();
        root_ = provider_->makeRoot();
        ASSERT_FALSE(root_.empty());
        for (const auto& entry : kStartingTree) {
            if (!entry.content) {
                provider_->makeFolder(At(entry.path));
            } else {
                provider_->writeFile(At(entry.path), entry.big ? BigBytes() : entry.content, entry.lastWriteTime);
            }
        }
        g_calls.clear();
        g_cancel = CancelAt::Never;
    }
    void TearDown() override {
        provider_->removeRoot(root_);
        SetFileSystem(&PlatformFileSystem());
    }
    std::wstring At(const wchar_t* relative) const {
        return *relative ? root_ + kPathSeparator + P(relative) : root_;
    }
    Tree ReadTree() const {
        Tree tree;
        provider_->readTree(root_, L"", &tree);
        return tree;
    }
    const ContractProvider* provider_ = nullptr;
    std::wstring root_;
};

std::string Joined(std::vector<std::wstring> names) {
    std::sort(names.begin(), names.end());
    std::wstring all;
    for (const std::wstring& name : names) all += name + L" ";
    return Narrow(all);
}

// Lists folder both ways and returns the error the full listing gave (at its start or its end);
// the types-only one must give the same. Each entry is checked against the tree: the kind in both,
// the size and last-write time of a file in the full one.
uint32_t CheckListings(const std::wstring& folder, const std::wstring& relative, const Tree& tree,
                       const std::vector<const wchar_t*>& listed) {
    uint32_t errors[2] = {12345, 12345};
    for (bool typesOnly : {false, true}) {
        SCOPED_TRACE(typesOnly ? "types-only listing" : "full listing");
        FindEntry entry;
        uint32_t& error = errors[typesOnly];
        const std::wstring pattern = folder + kPathSeparator + L"*.*";
        FindHandle h = typesOnly ? FsFindFirstTypesOnly(pattern.c_str(), &entry, &error)
                                 : FsFindFirst(pattern.c_str(), &entry, &error);
        std::vector<std::wstring> names;
        for (bool more = h != nullptr; more; more = FsFindNext(h, &entry, &error)) {
            const std::wstring name = entry.name, path = relative.empty() ? name : relative + L"/" + name;
            names.push_back(name);
            auto it = tree.find(path);
            const bool folderEntry = name == L"." || name == L".." || (it != tree.end() && it->second.folder);
            EXPECT_EQ((entry.attributes & kFileAttributeDirectory) != 0, folderEntry) << Narrow(name);
            if (!typesOnly && !folderEntry && it != tree.end()) {
                EXPECT_EQ((uint64_t{entry.sizeHigh} << 32) | entry.sizeLow, it->second.content.size()) << Narrow(name);
                EXPECT_EQ(FileTimeToInt64(entry.lastWriteTime), it->second.lastWriteTime) << Narrow(name);
                EXPECT_EQ(entry.error, 0u) << Narrow(name);
            }
        }
        if (h) FsFindClose(h);
        EXPECT_EQ(Joined(names), Joined(std::vector<std::wstring>(listed.begin(), listed.end())));
    }
    EXPECT_EQ(errors[1], errors[0]) << "the types-only listing";
    return errors[0];
}

TEST_P(FsContract, Rule) {
    const ContractCase& c = ContractCases()[std::get<1>(GetParam())];
    SCOPED_TRACE(std::string(provider_->name) + ": " + c.rule);
    if (c.link) {
        ASSERT_TRUE(provider_->makeFolderLink(At(c.link), At(L"folder"))) << "no folder link can be made here";
    }
    const Tree before = ReadTree();
    ASSERT_EQ(before.size(), std::size(kStartingTree) + (c.link ? 1 : 0)) << Differences({}, before);

    uint32_t expected = provider_->column(c.error);
    const bool mayGoUnasked = (expected & kOrUnasked) != 0;
    expected &= ~kOrUnasked;
    g_cancel = c.cancel;
    const bool withRoutine = c.progress || c.cancel != CancelAt::Never;
    uint32_t error = 0;
    switch (c.op) {
        case ContractOp::Move:
            error = FsMoveFile(At(c.a).c_str(), At(c.b).c_str());
            break;
        case ContractOp::Copy:
            error = FsCopyFile(At(c.a).c_str(), At(c.b).c_str(), withRoutine ? RecordProgress : nullptr, c.replace);
            break;
        case ContractOp::List:
            error = CheckListings(At(c.a), c.a, before, c.listed);
            break;
        case ContractOp::MakeFolder:
            error = FsCreateDirectory(At(c.a).c_str());
            break;
        case ContractOp::RemoveFolder:
            error = FsRemoveDirectory(At(c.a).c_str());
            break;
        case ContractOp::FolderId: {
            FolderId id{};
            error = FsGetFolderId(At(c.a).c_str(), &id);
            break;
        }
        case ContractOp::SameFolder: {
            FolderId first{}, second{};
            ASSERT_EQ(FsGetFolderId(At(c.a).c_str(), &first), 0u);
            error = FsGetFolderId(At(c.b).c_str(), &second);
            if (error == 0 && expected == 0) {
                EXPECT_EQ(SameFolder(first, second), c.same);
            }
            break;
        }
        case ContractOp::Attributes: {
            uint32_t attributes = FsGetAttributes(At(c.a).c_str());
            FileInfo info{};
            bool described = FsGetAttributesEx(At(c.a).c_str(), &info);
            auto it = before.find(c.a);
            if (it == before.end()) {
                EXPECT_EQ(attributes, kInvalidFileAttributes);
                EXPECT_FALSE(described);
            } else {
                ASSERT_NE(attributes, kInvalidFileAttributes);
                ASSERT_TRUE(described);
                EXPECT_EQ((attributes & kFileAttributeDirectory) != 0, it->second.folder);
                EXPECT_EQ((info.attributes & kFileAttributeDirectory) != 0, it->second.folder);
                if (!it->second.folder) {
                    EXPECT_EQ((uint64_t{info.sizeHigh} << 32) | info.sizeLow, it->second.content.size());
                    EXPECT_EQ(FileTimeToInt64(info.lastWriteTime), it->second.lastWriteTime);
                }
            }
            break;
        }
    }

    std::vector<TreeChange> changes = c.after;
    if (mayGoUnasked && g_calls.empty()) {
        // Stated in the table: this system's copy never called the routine, so nothing cancelled
        // it and the copy ran to its end.
        printf("  %s: the progress routine was never called; the copy ran to its end\n", provider_->name);
        expected = 0;
        changes = {{c.b, c.a}};
    }
    EXPECT_EQ(error, expected);
    if (c.progress && !g_calls.empty()) {
        const int64_t size = static_cast<int64_t>(before.at(c.a).content.size());
        EXPECT_EQ(g_calls.front(), std::make_pair(size, int64_t{0}));
        EXPECT_EQ(g_calls.back(), std::make_pair(size, size));
        for (size_t i = 1; i < g_calls.size(); ++i) {
            EXPECT_LE(g_calls[i - 1].second, g_calls[i].second) << "call " << i;
            EXPECT_EQ(g_calls[i].first, size) << "call " << i;
        }
    }
    if (expected != 0) changes.clear();  // a failed operation changes nothing
    EXPECT_EQ(Differences(Changed(before, changes), ReadTree()), "");
}

std::string CaseName(const ::testing::TestParamInfo<Param>& info) { return ContractCases()[std::get<1>(info.param)].id; }

const auto kAllCases = ::testing::Range(size_t{0}, ContractCases().size());

INSTANTIATE_TEST_SUITE_P(Memory, FsContract, ::testing::Combine(::testing::Values(&kMemoryProvider), kAllCases), CaseName);
#ifndef _WIN32
INSTANTIATE_TEST_SUITE_P(Posix, FsContract, ::testing::Combine(::testing::Values(&kPosixProvider), kAllCases), CaseName);
INSTANTIATE_TEST_SUITE_P(PosixNamedTemporaries, FsContract,
                         ::testing::Combine(::testing::Values(&kPosixNamedProvider), kAllCases), CaseName);
#else
INSTANTIATE_TEST_SUITE_P(Win32, FsContract, ::testing::Combine(::testing::Values(&kWin32Provider), kAllCases), CaseName);
#endif

}  // namespace
