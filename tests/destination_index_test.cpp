// The destination index on its own: names as exact keys through the compact store and the growing
// hash table, entries of one name in scan order, and the folder each entry names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/destination_index.h"
#include "engine/paths.h"
#include "tests/test_support.h"

namespace {

class DestinationIndexTest : public MemFsTest {
protected:
    // The source entry of a file of this name, size and time, as the copy pass would hand it over.
    static FindEntry Source(const std::wstring& name, uint32_t size, int64_t time) {
        FindEntry entry{};
        entry.attributes = kFileAttributeNormal;
        entry.sizeLow = size;
        entry.lastWriteTime = FileTimeFromInt64(time);
        wcscpy(entry.name, name.c_str());
        return entry;
    }
    static std::wstring FolderOf(const IndexEntry* entry) { return entry ? IndexedFolder(*entry) : L"<none>"; }
};

// Thousands of names, each in several folders, grow the table and the name store many times over;
// every name must still lead to exactly its own entries, with their own folders, in scan order.
TEST_F(DestinationIndexTest, EveryNameFindsItsOwnEntriesThroughGrowth) {
    constexpr int kFolders = 12;
    constexpr int kNames = 2500;
    for (int f = 0; f < kFolders; ++f) {
        for (int n = f % 3; n < kNames; n += 3) {
            // The size tells the folder, so that a match shows which entry it was.
            MemFsAddFile(P(L"/d/f") + std::to_wstring(f) + P(L"/name") + std::to_wstring(n), std::string(f + 1, 'x'), 7);
        }
    }
    BuildDestinationIndex(P(L"/d").c_str(), nullptr);
    EXPECT_EQ(IndexedFileCount(), static_cast<size_t>(kFolders * kNames / 3));
    for (int n : {0, 1, 2, 1249, 2498, 2499}) {
        std::wstring name = L"name" + std::to_wstring(n);
        EXPECT_EQ(IndexedFileCount(name.c_str()), static_cast<size_t>(kFolders / 3)) << n;
        for (int f = n % 3; f < kFolders; f += 3) {
            // The source root /s does not exist, so every candidate's own place is free.
            const IndexEntry* twin = FindMovedCounterpart(Source(name, f + 1, 7), P(L"/s").c_str());
            EXPECT_EQ(FolderOf(twin), L"f" + std::to_wstring(f)) << n;
        }
        EXPECT_EQ(FindMovedCounterpart(Source(name, 99, 7), P(L"/s").c_str()), nullptr);
        EXPECT_EQ(FindMovedCounterpart(Source(name, n % 3 + 1, 8), P(L"/s").c_str()), nullptr);
    }
    EXPECT_EQ(IndexedFileCount(L"name2500"), 0u);
    EXPECT_EQ(IndexedFileCount(L"name"), 0u);
    EXPECT_EQ(IndexedFileCount(L""), 0u);
}

// Keys compare code unit by code unit: case, characters beyond ASCII, escaped raw bytes, a name
// that is a prefix of another and two names whose hashes are equal (found by search for the hash
// the index uses) all stay apart; a file in the root has the empty folder.
TEST_F(DestinationIndexTest, NamesAreExactKeys) {
    const std::vector<std::wstring> names = {L"Photo.JPG", L"photo.jpg", L"\u00e9t\u00e9", L"\u00c9t\u00e9",
                                             L"\u4e2d\u6587", L"\xDCFF\xDC80", L"\xDCFF",
                                             L"a", L"ab", L"abc", L"clash-28671", L"clash-70221"};
    for (size_t i = 0; i < names.size(); ++i) MemFsAddFile(P(L"/d/deep/") + names[i], std::string(i + 1, 'x'), 3);
    MemFsAddFile(P(L"/d/ab"), "root", 3);
    BuildDestinationIndex(P(L"/d").c_str(), nullptr);
    for (size_t i = 0; i < names.size(); ++i) {
        const IndexEntry* twin = FindMovedCounterpart(Source(names[i], static_cast<uint32_t>(i + 1), 3), P(L"/s").c_str());
        ASSERT_NE(twin, nullptr) << i;
        EXPECT_EQ(twin->sizeLow, i + 1);
        EXPECT_EQ(IndexedFileCount(names[i].c_str()), names[i] == L"ab" ? 2u : 1u) << i;
    }
    EXPECT_EQ(FolderOf(FindMovedCounterpart(Source(L"ab", 4, 3), P(L"/s").c_str())), L"");
    EXPECT_EQ(IndexedFileCount(L"PHOTO.JPG"), 0u);
    EXPECT_EQ(IndexedFileCount(L"\xDC80"), 0u);
}

// Among the entries of a name the first in scan order wins, whatever the listing order was; a
// second scan replaces everything the first one held, also what its lookups saw in the source.
TEST_F(DestinationIndexTest, ScanOrderDecidesAndEachScanStartsEmpty) {
    for (const wchar_t* folder : {L"/d/b", L"/d/a", L"/d/c"}) MemFsAddFile(P(folder) + P(L"/x.txt"), "same", 5);
    MemFsSetListingOrder(ListingOrder::Sorted);
    BuildDestinationIndex(P(L"/d").c_str(), nullptr);
    const IndexEntry* a = FindMovedCounterpart(Source(L"x.txt", 4, 5), P(L"/s").c_str());
    EXPECT_EQ(FolderOf(a), L"a");
    EXPECT_EQ(FolderOf(FindMovedCounterpart(Source(L"x.txt", 4, 5), P(L"/s").c_str(), 0, a)), L"b");
    MemFsAddFile(P(L"/s/a/x.txt"), "same", 5);  // a's own place now holds the file: a is no twin
    BuildDestinationIndex(P(L"/d").c_str(), nullptr);
    EXPECT_EQ(FolderOf(FindMovedCounterpart(Source(L"x.txt", 4, 5), P(L"/s").c_str())), L"b");

    MemFsSetListingOrder(ListingOrder::Reverse);
    BuildDestinationIndex(P(L"/d").c_str(), nullptr);
    EXPECT_EQ(IndexedFileCount(), 3u);
    EXPECT_EQ(FolderOf(FindMovedCounterpart(Source(L"x.txt", 4, 5), P(L"/s").c_str())), L"c");

    MemFsRemove(P(L"/d/c"));
    MemFsRemove(P(L"/d/b"));
    BuildDestinationIndex(P(L"/d").c_str(), nullptr);
    EXPECT_EQ(IndexedFileCount(), 1u);
    EXPECT_EQ(FindMovedCounterpart(Source(L"x.txt", 4, 5), P(L"/s").c_str()), nullptr);  // only a, taken
}

// The scan reads no file's values; a lookup reads each candidate it reaches once, in scan order,
// and keeps what it read, so a twin moved away meanwhile still matches as it was found. What it
// found at each candidate's own place in the source is kept as well: a name met by many source
// files costs one look per candidate and run.
TEST_F(DestinationIndexTest, ValuesAreReadByTheFirstLookupAndKept) {
    for (const wchar_t* folder : {L"/d/a", L"/d/b", L"/d/c"}) MemFsAddFile(P(folder) + P(L"/x.txt"), "same", 5);
    MemFsAddFile(P(L"/d/b/x.txt"), "other", 5);
    MemFsSetListingOrder(ListingOrder::Sorted);
    MemFsClearCalls();
    BuildDestinationIndex(P(L"/d").c_str(), nullptr);
    auto queries = [] {
        std::vector<std::wstring> paths;
        for (const std::wstring& call : MemFsCalls()) {
            if (call.rfind(L"GetAttributesEx ", 0) == 0) paths.push_back(call.substr(16));
        }
        MemFsClearCalls();
        return paths;
    };
    EXPECT_TRUE(queries().empty());
    MemFsAddFile(P(L"/s/a/x.txt"), "same", 5);  // a is no twin: its own place holds the file
    EXPECT_EQ(FolderOf(FindMovedCounterpart(Source(L"x.txt", 4, 5), P(L"/s").c_str())), L"c");
    EXPECT_EQ(queries(), (std::vector<std::wstring>{P(L"/d/a/x.txt"), P(L"/s/a/x.txt"), P(L"/d/b/x.txt"),
                                                    P(L"/d/c/x.txt"), P(L"/s/c/x.txt")}));
    MemFsRemove(P(L"/d/c/x.txt"));
    EXPECT_EQ(FolderOf(FindMovedCounterpart(Source(L"x.txt", 4, 5), P(L"/s").c_str())), L"c");
    EXPECT_TRUE(queries().empty());
    EXPECT_EQ(FindMovedCounterpart(Source(L"x.txt", 5, 5), P(L"/s").c_str())->sizeLow, 5u);  // b
}

// A destination file whose whole path is longer than a path buffer, in a folder that can still be
// listed, is described by that listing: as its twin it is found, and the move that cannot name it
// reports "path too long" before the copy.
TEST_F(DestinationIndexTest, AFileTooLongToNameIsStillDescribed) {
    const std::wstring destination = P(L"/destination-root-long");  // longer than the source root
    const std::wstring source = P(L"/s");
    const size_t folderLength = kMaxPath - destination.size() - 1 - 4;  // its "*.*" pattern just fits
    std::wstring folder;
    while (folder.size() < folderLength) {
        if (!folder.empty()) folder += kPathSeparator;
        folder += std::wstring(std::min<size_t>(200, folderLength - folder.size()), L'f');
    }
    ASSERT_EQ(folder.size(), folderLength);
    MemFsAddFile(destination + kPathSeparator + folder + kPathSeparator + L"long-name.txt", "moved", 9);
    MemFsAddFile(source + P(L"/new/long-name.txt"), "moved", 9);
    StartCapture();
    EXPECT_EQ(RunWith({L"k", source, destination}), 2);
    std::wstring text = CapturedText();
    EXPECT_NE(text.find(L"path too long " + destination + kPathSeparator + folder.substr(0, 100)), std::wstring::npos)
        << Narrow(text);
    EXPECT_NE(text.find(L"copy file " + source + P(L"/new/long-name.txt") + L"\n"), std::wstring::npos);
    EXPECT_EQ(text.find(L"move file"), std::wstring::npos);
}

}  // namespace
