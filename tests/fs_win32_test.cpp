// The Win32 provider and console path on real folders (under Wine in the cross build).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/file_system.h"
#include "output/message.h"
#include "output/text_encoding.h"

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

std::string ReadBytes(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(h);
    return bytes;
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

TEST_F(Win32Fs, MoveNeverReplacesAndCopyReplacesKeepingSizeAndTime) {
    const int64_t past = 130000000000000000;  // 2012
    WriteBytes(At(L"a.txt"), "source bytes", past);
    WriteBytes(At(L"b.txt"), "older");
    EXPECT_EQ(Fs().moveFile(At(L"a.txt").c_str(), At(L"b.txt").c_str()), kErrorAlreadyExists);
    EXPECT_EQ(ReadBytes(At(L"a.txt")), "source bytes");
    EXPECT_EQ(ReadBytes(At(L"b.txt")), "older");

    // Without leave to replace, the file standing there is kept.
    WriteBytes(At(L"keep.txt"), "kept");
    EXPECT_NE(Fs().copyFile(At(L"a.txt").c_str(), At(L"keep.txt").c_str(), nullptr, false), 0u);
    EXPECT_EQ(ReadBytes(At(L"keep.txt")), "kept");
    ASSERT_EQ(Fs().copyFile(At(L"a.txt").c_str(), At(L"b.txt").c_str(), nullptr, true), 0u);
    EXPECT_EQ(ReadBytes(At(L"b.txt")), "source bytes");
    FileInfo info;
    ASSERT_TRUE(Fs().getAttributesEx(At(L"b.txt").c_str(), &info));
    EXPECT_EQ(info.sizeLow, 12u);
    EXPECT_EQ(info.sizeHigh, 0u);
    EXPECT_EQ(FileTimeToInt64(info.lastWriteTime), past);

    ASSERT_EQ(Fs().moveFile(At(L"b.txt").c_str(), At(L"c.txt").c_str()), 0u);
    EXPECT_EQ(Fs().getAttributes(At(L"b.txt").c_str()), kInvalidFileAttributes);
    EXPECT_EQ(ReadBytes(At(L"c.txt")), "source bytes");
}

// Names in folder that have the shape of a copy's temporary name.
int LeftoverCount(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &data);
    int count = 0;
    if (h == INVALID_HANDLE_VALUE) return count;
    do count += IsLeftoverCopyName(data.cFileName);
    while (FindNextFileW(h, &data));
    FindClose(h);
    return count;
}

// Copies are written under a temporary name and renamed: whatever the outcome, none is left, a
// folder in the way stays, and near the path limit, where no temporary name fits, the copy still
// goes straight to its place.
TEST_F(Win32Fs, CopiesLeaveNoTemporaryNameBehind) {
    WriteBytes(At(L"a.txt"), "source bytes");
    WriteBytes(At(L"kept.txt"), "kept");
    ASSERT_EQ(Fs().copyFile(At(L"a.txt").c_str(), At(L"new.txt").c_str(), nullptr, false), 0u);
    ASSERT_EQ(Fs().copyFile(At(L"a.txt").c_str(), At(L"new.txt").c_str(), nullptr, true), 0u);
    EXPECT_EQ(Fs().copyFile(At(L"a.txt").c_str(), At(L"kept.txt").c_str(), nullptr, false), kErrorAlreadyExists);
    EXPECT_EQ(ReadBytes(At(L"kept.txt")), "kept");
    ASSERT_EQ(Fs().createDirectory(At(L"folder").c_str()), 0u);
    EXPECT_NE(Fs().copyFile(At(L"a.txt").c_str(), At(L"folder").c_str(), nullptr, true), 0u);
    EXPECT_TRUE(Fs().getAttributes(At(L"folder").c_str()) & kFileAttributeDirectory);
    EXPECT_NE(Fs().copyFile(At(L"missing.txt").c_str(), At(L"other.txt").c_str(), nullptr, true), 0u);
    EXPECT_EQ(ReadBytes(At(L"new.txt")), "source bytes");
    EXPECT_EQ(LeftoverCount(root_), 0);

    std::wstring deep = root_ + L"\\" + std::wstring(MAX_PATH - 12 - root_.size(), L'd');
    ASSERT_EQ(Fs().createDirectory(deep.c_str()), 0u);
    std::wstring target = deep + L"\\a.txt";
    ASSERT_LT(target.size(), static_cast<size_t>(MAX_PATH));
    ASSERT_EQ(Fs().copyFile(At(L"a.txt").c_str(), target.c_str(), nullptr, false), 0u);
    EXPECT_EQ(ReadBytes(target), "source bytes");
}

int g_progressCalls = 0;
uint32_t CancelCopy(int64_t, int64_t) { ++g_progressCalls; return kCopyCancel; }

TEST_F(Win32Fs, CopyCancelledByProgressLeavesNoTarget) {
    WriteBytes(At(L"big.bin"), std::string(1 << 20, 'x'));
    g_progressCalls = 0;
    uint32_t result = Fs().copyFile(At(L"big.bin").c_str(), At(L"copy.bin").c_str(), CancelCopy, true);
    // Wine never calls the routine; Windows does, and the first cancel must end the copy.
    if (g_progressCalls > 0) {
        EXPECT_EQ(result, kErrorCancelled);
        EXPECT_EQ(Fs().getAttributes(At(L"copy.bin").c_str()), kInvalidFileAttributes);
    } else {
        EXPECT_EQ(result, 0u);
        EXPECT_EQ(ReadBytes(At(L"copy.bin")).size(), 1u << 20);
    }
}

TEST_F(Win32Fs, ListingHasDotEntriesDirectoryBitAndSizes) {
    ASSERT_EQ(Fs().createDirectory(At(L"sub").c_str()), 0u);
    WriteBytes(At(L"f.txt"), "12345");
    std::wstring seen;
    FindEntry e;
    uint32_t error = 0;
    FindHandle h = Fs().findFirst((root_ + L"\\*.*").c_str(), &e, &error);
    ASSERT_NE(h, nullptr);
    do {
        bool folder = (e.attributes & kFileAttributeDirectory) != 0;
        seen += std::wstring(e.name) + (folder ? L"/" : L"") + L" ";
        if (!folder) {
            EXPECT_EQ(e.sizeLow, 5u);
        }
    } while (Fs().findNext(h, &e, &error));
    EXPECT_EQ(error, 0u);
    Fs().findClose(h);
    for (const wchar_t* expected : {L"./ ", L"../ ", L"sub/ ", L"f.txt "}) {
        EXPECT_NE(seen.find(expected), std::wstring::npos) << expected;
    }
    EXPECT_EQ(Fs().findFirst(At(L"missing\\*.*").c_str(), &e, &error), nullptr);
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
    // One listing serves both kinds: the types-only one gives the same entries.
    std::wstring typesOnly;
    h = Fs().findFirstTypesOnly((root_ + L"\\*.*").c_str(), &e, &error);
    ASSERT_NE(h, nullptr);
    do typesOnly += std::wstring(e.name) + ((e.attributes & kFileAttributeDirectory) ? L"/ " : L" ");
    while (Fs().findNext(h, &e, &error));
    Fs().findClose(h);
    EXPECT_EQ(typesOnly, seen);
    EXPECT_EQ(Fs().findFirstTypesOnly(At(L"missing\\*.*").c_str(), &e, &error), nullptr);
}

TEST_F(Win32Fs, ErrorNumbersOfFolderOperations) {
    EXPECT_EQ(Fs().createDirectory(root_.c_str()), kErrorAlreadyExists);
    WriteBytes(At(L"file"), "x");
    EXPECT_EQ(Fs().createDirectory(At(L"file").c_str()), kErrorAlreadyExists);
    EXPECT_EQ(Fs().removeDirectory(root_.c_str()), kErrorDirNotEmpty);
    EXPECT_EQ(Fs().removeDirectory(At(L"none").c_str()), kErrorFileNotFound);
    EXPECT_EQ(Fs().createDirectory(At(L"none\\deeper").c_str()), kErrorPathNotFound);
    FileInfo info;
    EXPECT_FALSE(Fs().getAttributesEx(At(L"none").c_str(), &info));
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

const wchar_t kChildMessage[] = L"<<line one\n\u00e9\U0001F600 two\n>>";

// When started as the child of the next test, the program writes one message to its redirected
// standard output before GoogleTest starts, and ends with 0 when the write reported every character.
const bool g_consoleChild = [] {
    if (!GetEnvironmentVariableW(L"KESTROME_CONSOLE_CHILD", nullptr, 0)) return false;
    size_t length = wcslen(kChildMessage);
    ExitProcess(WriteConsoleText(kChildMessage, length) == static_cast<int>(length) ? 0 : 1);
}();

TEST_F(Win32Fs, RedirectedConsoleGetsTheMessageWholeAsUtf8) {
    std::wstring outFile = At(L"out.txt");
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    wchar_t self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    std::wstring command = L"\"" + std::wstring(self) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    SetEnvironmentVariableW(L"KESTROME_CONSOLE_CHILD", L"1");
    BOOL started = CreateProcessW(self, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &child);
    SetEnvironmentVariableW(L"KESTROME_CONSOLE_CHILD", nullptr);
    CloseHandle(out);
    ASSERT_TRUE(started);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(child.hProcess, &exitCode);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    EXPECT_EQ(exitCode, 0u);
    // Exactly the bytes of the message: UTF-8, no carriage returns added, in one piece.
    EXPECT_EQ(ReadBytes(outFile), "<<line one\n\xC3\xA9\xF0\x9F\x98\x80 two\n>>");
}

}  // namespace
