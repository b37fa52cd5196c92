// The Win32 provider on real folders (under Wine in the cross build).
#include <windows.h>

#include <gtest/gtest.h>

#include <winioctl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/fs/file_system.h"
#include "engine/fs/text_encoding.h"
#include "tests/support/win32_files.h"
#include "tests/test_support.h"

namespace {

const FileSystem& Fs() { return PlatformFileSystem(); }

void WriteBytes(const std::wstring& path, const std::string& bytes, int64_t lastWrite = 0) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    if (lastWrite != 0) {
        FILETIME t = {static_cast<DWORD>(lastWrite), static_cast<DWORD>(lastWrite >> 32)};
        SetFileTime(h, nullptr, nullptr, &t);
    }
    CloseHandle(h);
    ASSERT_EQ(written, bytes.size());
}

void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = folder + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(path);
            else DeleteFileW(path.c_str());
        } while (FindNextFileW(h, &data));
        FindClose(h);
    }
    RemoveDirectoryW(folder.c_str());
}

class Win32Fs : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH + 1];
        ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
        const char* test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        root_ = std::wstring(temp) + L"kestrome-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::wstring(test, test + strlen(test));
        RemoveTree(root_);
        ASSERT_EQ(Fs().createDirectory(root_.c_str()), 0u);
    }
    void TearDown() override { RemoveTree(root_); }
    std::wstring At(const wchar_t* name) const { return root_ + L"\\" + name; }
    std::wstring root_;
};

// Copies are written under a temporary name and renamed (whatever the outcome, none is left: the
// contract suite's); near the path limit, where no temporary name fits, the copy still goes
// straight to its place.
TEST_F(Win32Fs, CopyNearThePathLimitGoesStraightToItsPlace) {
    WriteBytes(At(L"a.txt"), "source bytes");
    std::wstring deep = root_ + L"\\" + std::wstring(MAX_PATH - 12 - root_.size(), L'd');
    ASSERT_EQ(Fs().createDirectory(deep.c_str()), 0u);
    std::wstring target = deep + L"\\a.txt";
    ASSERT_LT(target.size(), static_cast<size_t>(MAX_PATH));
    ASSERT_EQ(Fs().copyFile(At(L"a.txt").c_str(), target.c_str(), nullptr, false), 0u);
    EXPECT_EQ(ReadBytes(target), "source bytes");
}

TEST_F(Win32Fs, FileSystemNameOfDriveRootsAndPathsWithoutLetter) {
    ASSERT_EQ(root_[1], L':');
    wchar_t drive[] = {root_[0], L':', L'\0'};
    wchar_t byDrive[64] = L"", byFolder[64] = L"", byLongForm[64] = L"", byRelative[64] = L"";
    ASSERT_TRUE(Fs().getFileSystemName(drive, byDrive, 64));
    EXPECT_GT(wcslen(byDrive), 0u);
    ASSERT_TRUE(Fs().getFileSystemName(root_.c_str(), byFolder, 64));
    EXPECT_STREQ(byFolder, byDrive);
    ASSERT_TRUE(Fs().getFileSystemName((L"\\\\?\\" + root_).c_str(), byLongForm, 64));
    EXPECT_STREQ(byLongForm, byDrive);
    EXPECT_TRUE(Fs().getFileSystemName(L".", byRelative, 64));
    EXPECT_GT(wcslen(byRelative), 0u);
    EXPECT_FALSE(Fs().getFileSystemName(drive, byFolder, wcslen(byDrive)));  // no room for the end

    wchar_t unused[] = L"?:";
    for (wchar_t letter = L'Y'; letter > L'D'; --letter) {
        wchar_t probe[] = {letter, L':', L'\\', L'\0'};
        if (GetDriveTypeW(probe) == DRIVE_NO_ROOT_DIR) { unused[0] = letter; break; }
    }
    ASSERT_NE(unused[0], L'?');
    EXPECT_FALSE(Fs().getFileSystemName(unused, byFolder, 64));
}

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// What a spelling of a folder is, seen from the reference folder.
enum class Verdict { kSame, kInside, kAbove, kApart, kRefused };
const char* const kVerdictNames[] = {"same folder", "inside", "above", "apart", "refused"};

struct Spelling {
    std::string what;
    std::wstring path;
    Verdict verdict;
    std::wstring currentFolder;  // made current before the path is resolved; empty: left as it is
};

// A junction (a mount-point reparse point), as mklink /J makes one: no privilege needed on Windows.
bool MakeJunction(const std::wstring& at, const std::wstring& target) {
    if (!CreateDirectoryW(at.c_str(), nullptr)) return false;
    HANDLE h = CreateFileW(at.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::wstring substitute = L"\\??\\" + target;
    USHORT substituteBytes = static_cast<USHORT>(substitute.size() * sizeof(wchar_t));
    USHORT printBytes = static_cast<USHORT>(target.size() * sizeof(wchar_t));
    // Tag, data length, reserved; then the four offsets and lengths; then both names, each ended.
    std::vector<char> buffer(16 + substituteBytes + 2 + printBytes + 2, 0);
    ULONG tag = IO_REPARSE_TAG_MOUNT_POINT;
    USHORT fields[6] = {static_cast<USHORT>(buffer.size() - 8), 0, 0, substituteBytes,
                        static_cast<USHORT>(substituteBytes + 2), printBytes};
    memcpy(buffer.data(), &tag, 4);
    memcpy(buffer.data() + 4, fields, sizeof fields);
    memcpy(buffer.data() + 16, substitute.c_str(), substituteBytes);
    memcpy(buffer.data() + 16 + substituteBytes + 2, target.c_str(), printBytes);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                              0, &returned, nullptr);
    CloseHandle(h);
    if (!ok) RemoveDirectoryW(at.c_str());
    return ok != 0;
}

bool IsFolderLink(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Wine's Unix name of a Windows path whose folder exists (the last part need not); empty where the
// process does not run under Wine.
std::string UnixNameOf(const std::wstring& path) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    size_t cut = path.find_last_of(L'\\');
    if (!unixName || cut == std::wstring::npos) return "";
    char* folder = unixName(path.substr(0, cut).c_str());
    if (!folder) return "";
    std::string name = folder;
    HeapFree(GetProcessHeap(), 0, folder);
    if (!name.empty() && name.back() == '/') name.pop_back();
    return name + "/" + Narrow(path.substr(cut + 1));
}

// Starts a Unix program under Wine (which starts ELF files as they are).
bool RunUnixTool(const wchar_t* program, const std::vector<std::string>& arguments) {
    std::wstring command = program;
    for (const std::string& argument : arguments) {
        command += L" \"";
        for (char c : argument) command += static_cast<wchar_t>(static_cast<unsigned char>(c));
        command += L"\"";
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    std::wstring image = L"Z:" + std::wstring(program);
    for (wchar_t& c : image) c = c == L'/' ? L'\\' : c;
    if (!CreateProcessW(image.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child))
        return false;
    // Wine keeps no track of a Unix program it started: the handle is signalled at once and tells
    // no exit code, so the caller waits for the program's result itself.
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return true;
}

// Every spelling Windows accepts for a folder, resolved once by getFullPath as the engine does,
// then judged against the reference folder both ways by folderContains and by getFolderId.
// Wine 8 cannot make three of them, noted by the test when it runs there:
// - a directory symbolic link: CreateSymbolicLinkW reports success and makes nothing;
// - a junction: FSCTL_SET_REPARSE_POINT fails with ERROR_NOT_SUPPORTED;
// - a subst drive: DefineDosDeviceW succeeds and QueryDosDeviceW shows it, but no path through
//   it opens (error 3), as Wine resolves drive letters by its dosdevices folder alone. Drive Z:,
//   Wine's name for the Unix root, serves as the second drive letter instead.
// \\?\UNC\localhost\C$\... needs the machine's administrative share; without it the row is refused.
TEST_F(Win32Fs, EverySpellingOfAFolderIsJudgedByWhatItIs) {
    const std::wstring ref = At(L"Long Folder Name");
    ASSERT_EQ(Fs().createDirectory(ref.c_str()), 0u);
    ASSERT_EQ(Fs().createDirectory((ref + L"\\b").c_str()), 0u);
    ASSERT_EQ(Fs().createDirectory(At(L"Long Folder Name2").c_str()), 0u);
    WriteBytes(At(L"file.txt"), "x");
    std::wstring deep = L"\\\\?\\" + ref;
    for (int i = 0; i < 6; ++i) {
        deep += L"\\" + std::wstring(60, static_cast<wchar_t>(L'p' + i));
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    }
    ASSERT_GT(deep.size(), static_cast<size_t>(MAX_PATH));
    const std::wstring drive = root_.substr(0, 2);  // "C:"
    std::wstring forward = ref;
    for (wchar_t& c : forward) c = c == L'\\' ? L'/' : c;
    std::wstring upper = ref;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));

    std::vector<Spelling> rows = {
        {"plain", ref, Verdict::kSame, L""},
        {"trailing separator", ref + L"\\", Verdict::kSame, L""},
        {"other case", upper, Verdict::kSame, L""},
        {"forward slashes", forward, Verdict::kSame, L""},
        {"\\\\?\\ prefix", L"\\\\?\\" + ref, Verdict::kSame, L""},
        {"\\\\?\\ prefix and separator", L"\\\\?\\" + ref + L"\\", Verdict::kSame, L""},
        {"\\\\.\\ prefix", L"\\\\.\\" + ref, Verdict::kSame, L""},
        {"sub\\..", ref + L"\\b\\..", Verdict::kSame, L""},
        {".\\sub\\.", ref + L"\\.\\b\\.", Verdict::kInside, L""},
        {"trailing blank", ref + L" ", Verdict::kSame, L""},
        {"trailing dot", ref + L".", Verdict::kSame, L""},
        {"relative", L"Long Folder Name", Verdict::kSame, root_},
        {"relative with ..", L"Long Folder Name\\b\\..\\", Verdict::kSame, root_},
        {"X: alone", drive, Verdict::kSame, ref},
        {"X:sub", drive + L"b", Verdict::kInside, ref},
        {"\\ alone", L"\\", Verdict::kAbove, ref},
        {"from the root, no drive", ref.substr(2), Verdict::kSame, root_},
        {"sub-folder", ref + L"\\b", Verdict::kInside, L""},
        // Wine 8's GetFinalPathNameByHandleW fails with ERROR_MORE_DATA past MAX_PATH characters.
        {"beyond MAX_PATH", deep, UnderWine() ? Verdict::kRefused : Verdict::kInside, L""},
        {"parent", root_, Verdict::kAbove, L""},
        {"sibling whose name starts alike", At(L"Long Folder Name2"), Verdict::kApart, L""},
        {"missing", At(L"missing"), Verdict::kRefused, L""},
        {"a file", At(L"file.txt"), Verdict::kRefused, L""},
    };
    std::vector<std::string> notMade;

    wchar_t shortName[MAX_PATH];
    DWORD shortLength = GetShortPathNameW(ref.c_str(), shortName, MAX_PATH);
    if (shortLength > 0 && shortLength < MAX_PATH && _wcsicmp(shortName, ref.c_str()) != 0) {
        rows.push_back({"8.3 short name", shortName, Verdict::kSame, L""});
        rows.push_back({"8.3 short name, sub-folder", std::wstring(shortName) + L"\\b", Verdict::kInside, L""});
    } else {
        notMade.push_back("8.3 short name (the volume makes none)");
    }

    // A second drive letter for the same folder: subst's DefineDosDeviceW, else Wine's Z:.
    std::wstring substDrive;
    for (wchar_t letter = L'Y'; letter > L'D' && substDrive.empty(); --letter) {
        wchar_t probe[] = {letter, L':', L'\\', L'\0'};
        if (GetDriveTypeW(probe) == DRIVE_NO_ROOT_DIR) substDrive = std::wstring{letter, L':'};
    }
    ASSERT_FALSE(substDrive.empty());
    bool substMade = DefineDosDeviceW(0, substDrive.c_str(), ref.c_str()) != 0;
    DWORD substRoot = GetFileAttributesW((substDrive + L"\\").c_str());
    if (substMade && (substRoot == INVALID_FILE_ATTRIBUTES || !(substRoot & FILE_ATTRIBUTE_DIRECTORY))) {
        notMade.push_back("subst drive (defined, but no path through it opens)");
    } else if (substMade) {
        rows.push_back({"subst drive root", substDrive + L"\\", Verdict::kSame, L""});
        rows.push_back({"subst drive, sub-folder", substDrive + L"\\b", Verdict::kInside, L""});
    } else {
        notMade.push_back("subst drive (DefineDosDeviceW failed)");
    }
    using UnixName = char*(CDECL*)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unixName) {
        char* name = unixName(ref.c_str());
        ASSERT_NE(name, nullptr);
        std::wstring onZ = L"Z:";
        for (const char* c = name; *c; ++c) onZ += *c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*c));
        HeapFree(GetProcessHeap(), 0, name);
        rows.push_back({"drive Z: (Wine's Unix root)", onZ, Verdict::kSame, L""});
        rows.push_back({"drive Z:, sub-folder", onZ + L"\\b", Verdict::kInside, L""});
        // Z:\ holds every other drive's folders with no reparse point between: nothing to decide by.
        rows.push_back({"drive Z: root (holds drive C:)", L"Z:\\", Verdict::kRefused, L""});
        rows.push_back({"a folder of drive Z: only", L"Z:\\tmp", Verdict::kRefused, L""});
    } else {
        for (wchar_t letter = L'C'; letter <= L'Z'; ++letter) {
            wchar_t other[] = {letter, L':', L'\\', L'\0'};
            if (towupper(letter) != towupper(root_[0]) && GetDriveTypeW(other) == DRIVE_FIXED &&
                GetFileAttributesW(other) != INVALID_FILE_ATTRIBUTES) {
                rows.push_back({"another fixed drive", other, Verdict::kApart, L""});
                break;
            }
        }
    }

    std::wstring link = At(L"link"), linkToSub = At(L"link to b");
    DWORD linkFlags = SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    if (!CreateSymbolicLinkW(link.c_str(), ref.c_str(), linkFlags)) {
        CreateSymbolicLinkW(link.c_str(), ref.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);  // before Windows 10
    }
    CreateSymbolicLinkW(linkToSub.c_str(), (ref + L"\\b").c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
    if (IsFolderLink(link)) {
        rows.push_back({"directory symbolic link", link, Verdict::kSame, L""});
        rows.push_back({"through a symbolic link", link + L"\\b", Verdict::kInside, L""});
        if (IsFolderLink(linkToSub)) rows.push_back({"symbolic link to a sub-folder", linkToSub, Verdict::kInside, L""});
    } else {
        notMade.push_back("directory symbolic link (CreateSymbolicLinkW made none)");
    }
    if (MakeJunction(At(L"junction"), ref) && IsFolderLink(At(L"junction"))) {
        rows.push_back({"junction", At(L"junction"), Verdict::kSame, L""});
        // Named inside the reference folder, the junction leads to the folder above it.
        ASSERT_TRUE(MakeJunction(ref + L"\\up", root_));
        rows.push_back({"junction inside, to the parent", ref + L"\\up", Verdict::kAbove, L""});
    } else {
        notMade.push_back("junction (FSCTL_SET_REPARSE_POINT refused)");
    }
    std::wstring share = L"\\\\?\\UNC\\localhost\\" + std::wstring(1, root_[0]) + L"$" + ref.substr(2);
    bool shareAnswers = GetFileAttributesW(share.c_str()) != INVALID_FILE_ATTRIBUTES;
    rows.push_back({"\\\\?\\UNC\\localhost\\X$", share, shareAnswers ? Verdict::kSame : Verdict::kRefused, L""});

    wchar_t savedFolder[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, savedFolder), 0u);
    FolderId refId{};
    ASSERT_EQ(Fs().getFolderId(ref.c_str(), &refId), 0u);
    for (const Spelling& row : rows) {
        SCOPED_TRACE(row.what + " expected " + kVerdictNames[static_cast<int>(row.verdict)] + ": " + Narrow(row.path));
        if (!row.currentFolder.empty()) {
            ASSERT_TRUE(SetCurrentDirectoryW(row.currentFolder.c_str()));
        }
        std::wstring full(32768, L'\0');
        bool resolved = Fs().getFullPath(row.path.c_str(), full.data(), full.size());
        SetCurrentDirectoryW(savedFolder);
        ASSERT_TRUE(resolved);
        full.resize(wcslen(full.c_str()));
        bool inside = false, holds = false;
        uint32_t inError = Fs().folderContains(ref.c_str(), full.c_str(), &inside);
        uint32_t outError = Fs().folderContains(full.c_str(), ref.c_str(), &holds);
        FolderId id{};
        uint32_t idError = Fs().getFolderId(full.c_str(), &id);
        if (row.verdict == Verdict::kRefused) {
            EXPECT_NE(inError, 0u);
            EXPECT_NE(outError, 0u);
            continue;
        }
        ASSERT_EQ(inError, 0u);
        ASSERT_EQ(outError, 0u);
        ASSERT_EQ(idError, 0u);
        EXPECT_EQ(inside, row.verdict == Verdict::kSame || row.verdict == Verdict::kInside);
        EXPECT_EQ(holds, row.verdict == Verdict::kSame || row.verdict == Verdict::kAbove);
        EXPECT_EQ(SameFolder(id, refId), row.verdict == Verdict::kSame);
    }
    if (substMade) DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, substDrive.c_str(), ref.c_str());
    RemoveDirectoryW(link.c_str());
    RemoveDirectoryW(linkToSub.c_str());
    RemoveDirectoryW((ref + L"\\up").c_str());
    RemoveDirectoryW(At(L"junction").c_str());
    for (const std::string& what : notMade) printf("  not made here: %s\n", what.c_str());
    if (UnderWine()) {
        EXPECT_EQ(notMade.size(), 3u) << "Wine made a spelling it could not make before";
    }
}

// getFullPath edits text only: ".." taken out, a drive root keeps its backslash, and a buffer
// one character short fails instead of cutting the path.
TEST_F(Win32Fs, FullPathTakesOutDotsKeepsRootsAndNeverCuts) {
    ASSERT_EQ(Fs().createDirectory(At(L"sub").c_str()), 0u);
    const std::wstring drive = root_.substr(0, 2);
    struct Row {
        std::wstring path;
        std::wstring expected;
    } rows[] = {
        {root_ + L"\\sub\\..\\", root_ + L"\\"},
        {root_ + L"\\sub\\..", root_},
        {drive + L"\\", drive + L"\\"},
        {drive + L"\\sub\\..", drive + L"\\"},
        {drive + L"\\.", drive + L"\\"},
        {root_ + L"\\sub ", root_ + L"\\sub"},
        {L"\\\\?\\" + root_ + L"\\sub", L"\\\\?\\" + root_ + L"\\sub"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.path));
        wchar_t out[MAX_PATH + 8];
        ASSERT_TRUE(Fs().getFullPath(row.path.c_str(), out, MAX_PATH + 8));
        EXPECT_EQ(std::wstring(out), row.expected);
        size_t exact = row.expected.size() + 1;
        EXPECT_TRUE(Fs().getFullPath(row.path.c_str(), out, exact));
        EXPECT_FALSE(Fs().getFullPath(row.path.c_str(), out, exact - 1));
        EXPECT_STREQ(out, L"");
    }
}

// A listing that cannot be had says why; a pattern that matches nothing in a folder that is there
// is an empty listing (the same ERROR_FILE_NOT_FOUND an empty drive root gives). A missing folder
// and a file listed with "*.*" are the contract suite's.
TEST_F(Win32Fs, ListingErrorsTellAMissingFolderFromAnEmptyListing) {
    ASSERT_EQ(Fs().createDirectory(At(L"sub").c_str()), 0u);
    struct Row {
        std::wstring pattern;
        bool failed;
    } rows[] = {
        {At(L"sub\\nothing*.none"), false},
        {L"\\\\?\\" + At(L"sub\\nothing*.none"), false},
        {At(L"missing\\nothing*.none"), true},
        {At(L"bad<name\\*.*"), true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.pattern));
        for (auto first : {Fs().findFirst, Fs().findFirstTypesOnly}) {
            FindEntry entry;
            uint32_t error = 12345;
            EXPECT_EQ(first(row.pattern.c_str(), &entry, &error), nullptr);
            EXPECT_EQ(error != 0, row.failed) << error;
        }
    }
}

}  // namespace

// Shared with fs_real_test.cpp. Puts a folder link of the given kind at `at`, where nothing stands,
// leading to target: 0 a junction (any user may make one on Windows), 1 a directory symbolic link
// (a privilege or developer mode), 2 a Unix symbolic link, made by ln through Wine's Unix names
// (Wine 8 makes neither of the others). False when this system cannot make that kind here.
bool MakeFolderLink(const std::wstring& at, const std::wstring& target, int kind) {
    if (kind == 0) return MakeJunction(at, target) && IsFolderLink(at);
    if (kind == 1) {
        if (!CreateSymbolicLinkW(at.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2) &&
            !CreateSymbolicLinkW(at.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY))
            return false;
        return IsFolderLink(at);  // Wine 8 reports success and makes nothing
    }
    std::string from = UnixNameOf(target), to = UnixNameOf(at);
    if (from.empty() || to.empty() || !RunUnixTool(L"/bin/ln", {"-s", from, to})) return false;
    for (int i = 0; i < 400 && !IsFolderLink(at); ++i) Sleep(5);
    return IsFolderLink(at);
}

// Removes the link at `at` itself, never what it leads to (Wine's RemoveDirectoryW would follow a
// Unix link: rm removes it).
void RemoveFolderLink(const std::wstring& at) {
    if (!IsFolderLink(at)) return;
    if (!RemoveDirectoryW(at.c_str()) || IsFolderLink(at)) {
        std::string name = UnixNameOf(at);
        if (!name.empty() && RunUnixTool(L"/bin/rm", {"-f", name})) {
            for (int i = 0; i < 400 && IsFolderLink(at); ++i) Sleep(5);
        }
    }
}

const char* const kFolderLinkKinds[] = {"junction", "directory symbolic link", "Unix symbolic link"};

namespace {

// Every entry below folder, with the size of each file: what a write through a link would change.
std::string TreeText(const std::wstring& folder) {
    std::string text;
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return "<unlisted>";
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            text += Narrow(name) + "/{" + TreeText(folder + L"\\" + name) + "} ";
        } else {
            text += Narrow(name) + ":" + std::to_string(data.nFileSizeLow) + " ";
        }
    } while (FindNextFileW(h, &data));
    FindClose(h);
    return text;
}

// Someone who can write into the destination swaps a folder for a link after the walk looked at
// it, right before each kind of write the run makes below it. The folders on the way were not held
// yet (the root was: a first write had gone into it). Nothing lands where the link leads, nothing
// is taken from there, and the call fails with kErrorLinkInTheWay.
TEST_F(Win32Fs, AFolderSwappedForALinkCarriesNoWriteOut) {
    WriteBytes(At(L"source.txt"), "from the source");
    const wchar_t* const leftover = L".kestrome-0123456789ab.tmp";
    struct Row {
        const char* what;
        const wchar_t* swapped;  // below dst
        std::function<uint32_t(const std::wstring& dst)> call;
    };
    const std::wstring source = At(L"source.txt");
    const std::vector<Row> rows = {
        {"copy into it", L"sub", [&](const std::wstring& d) { return Fs().copyFile(source.c_str(), (d + L"\\sub\\new.txt").c_str(), nullptr, false); }},
        {"copy replacing, a level below it", L"sub",
         [&](const std::wstring& d) { return Fs().copyFile(source.c_str(), (d + L"\\sub\\deeper\\old.txt").c_str(), nullptr, true); }},
        {"move into it", L"sub", [](const std::wstring& d) { return Fs().moveFile((d + L"\\loose.txt").c_str(), (d + L"\\sub\\loose.txt").c_str()); }},
        {"move into Backup", L"Backup\\sub",
         [](const std::wstring& d) { return Fs().moveFile((d + L"\\loose.txt").c_str(), (d + L"\\Backup\\sub\\loose.txt").c_str()); }},
        {"move out of it", L"sub", [](const std::wstring& d) { return Fs().moveFile((d + L"\\sub\\precious.txt").c_str(), (d + L"\\taken.txt").c_str()); }},
        {"folder creation", L"sub", [](const std::wstring& d) { return Fs().createDirectory((d + L"\\sub\\made").c_str()); }},
        {"removal of an empty folder", L"sub", [](const std::wstring& d) { return Fs().removeDirectory((d + L"\\sub\\empty").c_str()); }},
        {"removal of a leftover", L"sub", [&](const std::wstring& d) { return Fs().removeLeftoverCopy((d + L"\\sub\\" + leftover).c_str()); }},
    };
    std::vector<std::string> notMade;
    int made = 0;
    for (int kind = 0; kind < 3; ++kind) {
        for (size_t i = 0; i < rows.size(); ++i) {
            const Row& row = rows[i];
            SCOPED_TRACE(std::string(row.what) + " through a " + kFolderLinkKinds[kind]);
            const std::wstring base = At(std::to_wstring(kind * 100 + i).c_str());
            const std::wstring dst = base + L"\\dst", outside = base + L"\\outside", swapped = dst + L"\\" + row.swapped;
            ASSERT_TRUE(CreateDirectoryW(base.c_str(), nullptr));
            for (const wchar_t* folder : {L"", L"\\sub", L"\\sub\\deeper", L"\\sub\\empty", L"\\Backup", L"\\Backup\\sub"})
                ASSERT_TRUE(CreateDirectoryW((dst + folder).c_str(), nullptr));
            WriteBytes(dst + L"\\loose.txt", "the run's own file");
            for (const wchar_t* folder : {L"", L"\\deeper", L"\\empty"}) CreateDirectoryW((outside + folder).c_str(), nullptr);
            WriteBytes(outside + L"\\precious.txt", "not the run's");
            WriteBytes(outside + L"\\deeper\\old.txt", "not the run's either");
            WriteBytes(outside + L"\\" + leftover, "a leftover's name, not the run's");
            const std::string outsideBefore = TreeText(outside);

            Fs().guardWritesBelow(dst.c_str());
            ASSERT_EQ(Fs().createDirectory((dst + L"\\warm").c_str()), 0u);  // the root is held now
            ASSERT_TRUE(MoveFileW(swapped.c_str(), (swapped + L"-was").c_str())) << GetLastError();
            if (!MakeFolderLink(swapped, outside, kind)) {
                Fs().guardWritesBelow(nullptr);
                if (i == 0) notMade.push_back(kFolderLinkKinds[kind]);
                break;
            }
            if (i == 0) ++made;
            EXPECT_EQ(row.call(dst), kErrorLinkInTheWay);
            Fs().guardWritesBelow(nullptr);
            RemoveFolderLink(swapped);
            EXPECT_EQ(TreeText(outside), outsideBefore);
            EXPECT_EQ(ReadBytes(dst + L"\\loose.txt"), "the run's own file");
            EXPECT_FALSE(IsFolderLink(swapped));
        }
    }
    for (const std::string& kind : notMade) printf("  not made here: %s\n", kind.c_str());
    if (made == 0) GTEST_SKIP() << "no kind of folder link can be made here";
}

// A folder the guard holds (a copy went into it) cannot be renamed, and so not replaced by a link,
// by another program until the guard lets go; the run's own removals and moves of such folders go
// through, and two threads copying at once into more folders than are kept held share them safely.
TEST_F(Win32Fs, HeldFoldersStayPutForOthersAndGiveWayToOurOwnChanges) {
    WriteBytes(At(L"source.txt"), "from the source");
    const std::wstring source = At(L"source.txt"), dst = At(L"dst");
    ASSERT_TRUE(CreateDirectoryW(dst.c_str(), nullptr));
    Fs().guardWritesBelow(dst.c_str());
    ASSERT_EQ(Fs().createDirectory((dst + L"\\a").c_str()), 0u);
    ASSERT_EQ(Fs().createDirectory((dst + L"\\a\\b").c_str()), 0u);
    ASSERT_EQ(Fs().copyFile(source.c_str(), (dst + L"\\a\\b\\f.txt").c_str(), nullptr, false), 0u);
    for (const wchar_t* held : {L"\\a", L"\\a\\b"}) {
        SCOPED_TRACE(Narrow(held));
        EXPECT_FALSE(MoveFileW((dst + held).c_str(), (dst + L"\\renamed").c_str()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    // The run's own: a file moved out, the emptied folder removed, a folder moved and written in.
    EXPECT_EQ(Fs().moveFile((dst + L"\\a\\b\\f.txt").c_str(), (dst + L"\\a\\f.txt").c_str()), 0u);
    EXPECT_EQ(Fs().removeDirectory((dst + L"\\a\\b").c_str()), 0u);
    EXPECT_EQ(Fs().moveFile((dst + L"\\a").c_str(), (dst + L"\\a2").c_str()), 0u);
    EXPECT_EQ(Fs().copyFile(source.c_str(), (dst + L"\\a2\\g.txt").c_str(), nullptr, false), 0u);
    EXPECT_EQ(ReadBytes(dst + L"\\a2\\f.txt"), "from the source");
    // One folder held under two spellings (a copy names it as the source does, a move as the
    // destination lists it): its removal lets go of both.
    ASSERT_EQ(Fs().createDirectory((dst + L"\\c").c_str()), 0u);
    ASSERT_EQ(Fs().copyFile(source.c_str(), (dst + L"\\C\\upper.txt").c_str(), nullptr, false), 0u);
    ASSERT_EQ(Fs().moveFile((dst + L"\\c\\upper.txt").c_str(), (dst + L"\\upper.txt").c_str()), 0u);
    EXPECT_EQ(Fs().removeDirectory((dst + L"\\c").c_str()), 0u);

    // 60 folders, more than are kept held, written by two threads at once, in orders of their own.
    constexpr int kFolders = 60;
    for (int f = 0; f < kFolders; ++f) ASSERT_EQ(Fs().createDirectory((dst + L"\\m" + std::to_wstring(f)).c_str()), 0u);
    std::atomic<int> failures{0};
    auto copier = [&](int thread) {
        for (int n = 0; n < 3 * kFolders; ++n) {
            int folder = thread == 0 ? n % kFolders : (n * 7) % kFolders;
            std::wstring to = dst + L"\\m" + std::to_wstring(folder) + L"\\t" + std::to_wstring(thread) + L"-" + std::to_wstring(n);
            if (Fs().copyFile(source.c_str(), to.c_str(), nullptr, false) != 0) ++failures;
        }
    };
    std::thread other(copier, 1);
    copier(0);
    other.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_FALSE(MoveFileW(dst.c_str(), At(L"dst-renamed").c_str()));  // the root, held above them all
    Fs().guardWritesBelow(nullptr);
    // Let go: nothing is held any more, every folder can be renamed.
    EXPECT_TRUE(MoveFileW((dst + L"\\a2").c_str(), (dst + L"\\a3").c_str())) << GetLastError();
    for (int f = 0; f < kFolders; ++f) {
        std::wstring folder = dst + L"\\m" + std::to_wstring(f);
        EXPECT_TRUE(MoveFileW(folder.c_str(), (folder + L"x").c_str())) << Narrow(folder) << " " << GetLastError();
    }
    EXPECT_TRUE(MoveFileW(dst.c_str(), At(L"dst-renamed").c_str())) << GetLastError();
}

// Only name surrogates are links; every other reparse point is a plain file or folder to the walks.
TEST(Win32Links, OnlyNameSurrogateReparseTagsAreLinks) {
    const struct {
        uint32_t tag;
        bool link;
    } rows[] = {
        {IO_REPARSE_TAG_SYMLINK, true}, {IO_REPARSE_TAG_MOUNT_POINT, true},
        {0, true},  // what Wine reports for the links it shows
        {0x9000601A, false},  // a cloud placeholder (IO_REPARSE_TAG_CLOUD_6)
        {0x80000013, false},  // a deduplicated file (IO_REPARSE_TAG_DEDUP)
        {0x8000001B, false},  // an app execution alias
        {0x80000017, false},  // a file of a WIM image (IO_REPARSE_TAG_WOF)
    };
    for (const auto& row : rows) EXPECT_EQ(IsLinkReparseTag(row.tag), row.link) << std::hex << row.tag;
}

// UTF-16 surrogate pairs are the Windows-only case of the UTF-8 boundary.
TEST(Win32Text, NonBmpCharacterRoundTripsThroughUtf8) {
    const wchar_t text[] = L"a\U0001F600b";
    ASSERT_EQ(sizeof text / sizeof text[0], 5u);  // a, two surrogates, b, end
    std::string bytes;
    AppendUtf8(bytes, text, 4);
    EXPECT_EQ(bytes, "a\xF0\x9F\x98\x80" "b");
    wchar_t back[8];
    ASSERT_TRUE(Utf8ToWide(bytes.data(), bytes.size(), back, 8));
    EXPECT_STREQ(back, text);
}

}  // namespace
