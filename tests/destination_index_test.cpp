// The destination index on its own: names as exact keys through the compact store and the growing
// hash table, entries of one name in scan order, the folder each entry names, and look-alikes
// offered by name, size and time as the scan's listings described them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/destination_index.h"
#include "engine/paths.h"
#include "engine/run_record.h"
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
    // The relative folder of the entry with this id ("" for the root), or "<none>".
    static std::wstring FolderOf(uint32_t id) {
        if (id == kNoIndexEntry) return L"<none>";
        const wchar_t* folder = IndexedFolder(IndexedFile(id));
        return folder ? folder : L"";
    }
    static uint32_t LookAlike(const std::wstring& name, uint32_t size, int64_t time, uint32_t after = kNoIndexEntry) {
        return FindLookAlike(Source(name, size, time), 0, after);
    }
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
            EXPECT_EQ(FolderOf(LookAlike(name, f + 1, 7)), L"f" + std::to_wstring(f)) << n;
        }
        EXPECT_EQ(LookAlike(name, 99, 7), kNoIndexEntry);
        EXPECT_EQ(LookAlike(name, n % 3 + 1, 8), kNoIndexEntry);
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
        uint32_t twin = LookAlike(names[i], static_cast<uint32_t>(i + 1), 3);
        ASSERT_NE(twin, kNoIndexEntry) << i;
        EXPECT_EQ(IndexedFile(twin).sizeLow, i + 1);
        wchar_t stored[kMaxEntryName + 1];
        IndexedName(twin, stored);
        EXPECT_EQ(stored, names[i]) << i;
        EXPECT_EQ(IndexedFileCount(names[i].c_str()), names[i] == L"ab" ? 2u : 1u) << i;
    }
    EXPECT_EQ(FolderOf(LookAlike(L"ab", 4, 3)), L"");
    EXPECT_EQ(IndexedFileCount(L"PHOTO.JPG"), 0u);
    EXPECT_EQ(IndexedFileCount(L"\xDC80"), 0u);
}

// Among the entries of a name the first in scan order comes first, whatever the listing order
// was; a second scan replaces everything the first one held.
TEST_F(DestinationIndexTest, ScanOrderDecidesAndEachScanStartsEmpty) {
    for (const wchar_t* folder : {L"/d/b", L"/d/a", L"/d/c"}) MemFsAddFile(P(folder) + P(L"/x.txt"), "same", 5);
    MemFsSetListingOrder(ListingOrder::Sorted);
    BuildDestinationIndex(P(L"/d").c_str(), nullptr);
    uint32_t a = LookAlike(L"x.txt", 4, 5);
    EXPECT_EQ(FolderOf(a), L"a");
    uint32_t b = LookAlike(L"x.txt", 4, 5, a);
    EXPECT_EQ(FolderOf(b), L"b");
    EXPECT_EQ(FolderOf(LookAlike(L"x.txt", 4, 5, b)), L"c");
    EXPECT_EQ(LookAlike(L"x.txt", 4, 5, LookAlike(L"x.txt", 4, 5, b)), kNoIndexEntry);

    MemFsSetListingOrder(ListingOrder::Reverse);
    BuildDestinationIndex(P(L"/d").c_str(), nullptr);
    EXPECT_EQ(IndexedFileCount(), 3u);
    EXPECT_EQ(FolderOf(LookAlike(L"x.txt", 4, 5)), L"c");

    MemFsRemove(P(L"/d/c"));
    MemFsRemove(P(L"/d/b"));
    BuildDestinationIndex(P(L"/d").c_str(), nullptr);
    EXPECT_EQ(IndexedFileCount(), 1u);
    EXPECT_EQ(FolderOf(LookAlike(L"x.txt", 4, 5)), L"a");
    EXPECT_EQ(LookAlike(L"x.txt", 4, 5, LookAlike(L"x.txt", 4, 5)), kNoIndexEntry);
}

// The scan takes sizes and times from the listings, and a lookup asks the disk nothing: what it
// offers is the file as the scan found it, also once the file has gone or changed since. Only a
// plain file the listing described is offered: a link, a device and a file whose folder could be
// listed but not entered share the name, size and time of nothing.
TEST_F(DestinationIndexTest, LookAlikesAreTheScannedPlainFilesAndCostNoQuery) {
    for (const wchar_t* folder : {L"/d/a", L"/d/b", L"/d/c"}) MemFsAddFile(P(folder) + P(L"/x.txt"), "same", 5);
    MemFsAddFile(P(L"/d/0/x.txt"), "", 5, 5, kFileAttributeDevice);
    MemFsAddFile(P(L"/d/1/x.txt"), "same", 5);
    MemFsFailOn(MemOp::Enter, P(L"/d/1"), kErrorAccessDenied);
    MemFsAddFile(P(L"/outside/x.txt"), "same", 5);
    MemFsAddLink(P(L"/d/2/x.txt"), P(L"/outside/x.txt"));
    MemFsSetListingOrder(ListingOrder::Sorted);
    MemFsClearCalls();
    BuildDestinationIndex(P(L"/d").c_str(), nullptr);
    EXPECT_EQ(IndexedFileCount(L"x.txt"), 6u);
    MemFsRemove(P(L"/d/a/x.txt"));
    MemFsAddFile(P(L"/d/b/x.txt"), "changed", 9);
    MemFsClearCalls();
    // The scan met 0, 1 and 2 first: none of them is offered.
    uint32_t a = LookAlike(L"x.txt", 4, 5);
    EXPECT_EQ(FolderOf(a), L"a");
    EXPECT_TRUE(IndexedFile(a).described);
    uint32_t b = LookAlike(L"x.txt", 4, 5, a);
    EXPECT_EQ(FolderOf(b), L"b");
    uint32_t c = LookAlike(L"x.txt", 4, 5, b);
    EXPECT_EQ(FolderOf(c), L"c");
    EXPECT_EQ(LookAlike(L"x.txt", 4, 5, c), kNoIndexEntry);
    for (const std::wstring& call : MemFsCalls()) EXPECT_NE(call.rfind(L"GetAttributes", 0), 0u) << Narrow(call);
    std::vector<std::wstring> undescribed;
    for (uint32_t id = 0; id < IndexedFileCount(); ++id) {
        if (!IndexedFile(id).described) undescribed.push_back(IndexedFolder(IndexedFile(id)));
    }
    EXPECT_EQ(undescribed, (std::vector<std::wstring>{L"0", L"1", L"2"}));
}

// Sizes equal in their low 32 bits only are different sizes.
TEST_F(DestinationIndexTest, SizesThatDifferInTheHighHalfOnlyAreNoLookAlikes) {
    FindEntry huge = Source(L"big.bin", 5, 9);
    huge.sizeHigh = 1;  // 4 GiB and 5 bytes, against a destination file of 5
    MemFsAddFile(P(L"/d/old/big.bin"), "12345", 9);
    BuildDestinationIndex(P(L"/d").c_str(), nullptr);
    EXPECT_EQ(FindLookAlike(huge, 0), kNoIndexEntry);
    huge.sizeHigh = 0;
    EXPECT_NE(FindLookAlike(huge, 0), kNoIndexEntry);
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

// A second run in the same process sees only the files its own scan found.
class DestinationIndexRunTest : public PassTest {};

TEST_F(DestinationIndexRunTest, ASecondRunInOneProcessSeesOnlyItsOwnIndex) {
    File(L"/dst/old/x.txt", "x");
    File(L"/src/new/x.txt", "x");
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Count(L"move file"), 1u);
    // The index of the first run named /dst/old/x.txt; the second run must not try it again.
    File(L"/src/other/x.txt", "x");
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Count(L"move file"), 0u);
    EXPECT_EQ(At(L"/dst/other/x.txt"), "x");
    EXPECT_EQ(IndexedFileCount(L"x.txt"), 1u);
}

}  // namespace
