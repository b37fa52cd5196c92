// Whole runs over real folders through the platform's own provider.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine/file_system.h"
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

#ifndef _WIN32
// A link to a folder in the destination is left alone with everything it leads to; in the
// source a link is followed, and a link to its own folder is walked down to the path limit,
// far past the kernel's 40 links per path, and ends there with a message, not a crash.
TEST_F(RealRunTest, SymbolicLinksToFolders) {
    WriteRealFile(root + L"/outside/precious.txt", "outside", UtcFileTime(2024, 1, 1));
    WriteRealFile(Src(L"linked-target/in.txt"), "in", UtcFileTime(2024, 1, 1));
    MakeRealFolder(Dst());
    fs::create_directory_symlink(fs::path(root + L"/outside"), fs::path(Dst(L"outside-link")));
    fs::create_directory_symlink(fs::path(Src(L"linked-target")), fs::path(Src(L"via-link")));
    fs::create_directory_symlink(fs::path(L"."), fs::path(Src(L"loop")));
    EXPECT_EQ(Run(L"d"), 2);
    EXPECT_EQ(Read(root + L"/outside/precious.txt"), "outside");
    EXPECT_TRUE(fs::is_symlink(fs::path(Dst(L"outside-link"))));
    EXPECT_FALSE(Exists(Dst(L"Deleted/outside-link/precious.txt")));
    EXPECT_EQ(Read(Dst(L"via-link/in.txt")), "in");
    EXPECT_EQ(Read(Dst(L"linked-target/in.txt")), "in");

    std::wstring text = CapturedText();
    EXPECT_NE(text.find(L"path too long " + Src(L"loop/loop")), std::wstring::npos) << Narrow(text);
    std::wstring deep;
    for (int level = 0; level < 60; ++level) deep += L"loop/";
    EXPECT_EQ(Read(Dst(deep + L"linked-target/in.txt")), "in");

    // The deep copies are found in the source again: nothing is copied twice or put aside.
    EXPECT_EQ(Run(L"d"), 2);
    text = CapturedText();
    EXPECT_EQ(text.find(L"copy file"), std::wstring::npos) << Narrow(text);
    EXPECT_EQ(text.find(L"move deleted file"), std::wstring::npos) << Narrow(text);
    EXPECT_FALSE(Exists(Dst(L"Deleted")));
}
#endif

}  // namespace
