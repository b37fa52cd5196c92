#include <gtest/gtest.h>

#include <string>

#include "tests/support/fs_memory.h"
#include "tests/test_support.h"

namespace {

class MemoryFileSystemTest : public MemFsTest {};

std::vector<std::wstring> List(const std::wstring& folder) {
    std::vector<std::wstring> names;
    FindEntry entry;
    uint32_t error = 0;
    FindHandle h = FsFindFirst((folder + P(L"/*.*")).c_str(), &entry, &error);
    if (!h) return names;
    do names.push_back(entry.name);
    while (FsFindNext(h, &entry, &error));
    FsFindClose(h);
    return names;
}

TEST_F(MemoryFileSystemTest, ListingOrdersAreTheTestsChoice) {
    MemFsAddFile(P(L"/d/b"), "", 1);
    MemFsAddFile(P(L"/d/c"), "", 1);
    MemFsAddFile(P(L"/d/a"), "", 1);
    EXPECT_EQ(List(P(L"/d")), (std::vector<std::wstring>{L".", L"..", L"b", L"c", L"a"}));
    MemFsSetListingOrder(ListingOrder::Sorted);
    EXPECT_EQ(List(P(L"/d")), (std::vector<std::wstring>{L".", L"..", L"a", L"b", L"c"}));
    MemFsSetListingOrder(ListingOrder::Reverse);
    EXPECT_EQ(List(P(L"/d")), (std::vector<std::wstring>{L".", L"..", L"a", L"c", L"b"}));
    MemFsSetFolderOrder(P(L"/d"), {L"c"});
    EXPECT_EQ(List(P(L"/d")), (std::vector<std::wstring>{L".", L"..", L"c", L"a", L"b"}));
    MemFsSetListingOrder(ListingOrder::Random, 7);
    auto shuffled = List(P(L"/d"));
    EXPECT_EQ(shuffled.size(), 5u);
    EXPECT_EQ(shuffled[2], L"c");
    // The root lists no "." and "..", like a drive's root.
    EXPECT_EQ(List(L""), (std::vector<std::wstring>{L"d"}));
}

// A types-only listing gives the same names and kinds and nothing else, so that a walk relying on
// sizes or times it did not ask for shows in the tests; a failure injected into listings hits it.
TEST_F(MemoryFileSystemTest, TypesOnlyListingKeepsNamesAndKindsOnly) {
    MemFsAddFile(P(L"/d/f"), "12345", 77, 66, kFileAttributeReadOnly);
    MemFsAddFolder(P(L"/d/link"), kFileAttributeReparsePoint);
    std::vector<std::wstring> seen;
    FindEntry e;
    uint32_t error = 0;
    FindHandle h = FsFindFirstTypesOnly(P(L"/d/*.*").c_str(), &e, &error);
    ASSERT_NE(h, nullptr);
    do {
        seen.push_back(e.name);
        EXPECT_EQ(e.sizeLow | e.sizeHigh, 0u);
        EXPECT_EQ(FileTimeToInt64(e.lastWriteTime) | FileTimeToInt64(e.creationTime), 0);
    } while (FsFindNext(h, &e, &error));
    EXPECT_EQ(seen, List(P(L"/d")));
    EXPECT_EQ(e.attributes, kFileAttributeDirectory | kFileAttributeReparsePoint);  // "link", last
    FsFindClose(h);
    MemFsFailOn(MemOp::FindFirst, P(L"/d"), kErrorAccessDenied);
    EXPECT_EQ(FsFindFirstTypesOnly(P(L"/d/*.*").c_str(), &e, &error), nullptr);
}

TEST_F(MemoryFileSystemTest, InjectedFailuresHitTheChosenOperationAndPath) {
    MemFsAddFile(P(L"/d/a"), "a", 1);
    MemFsFailOn(MemOp::MoveFile, P(L"/d/a"), 1234, 1);
    EXPECT_EQ(FsMoveFile(P(L"/d/a").c_str(), P(L"/d/b").c_str()), 1234u);
    EXPECT_EQ(FsMoveFile(P(L"/d/a").c_str(), P(L"/d/b").c_str()), 0u);  // only once
    MemFsFailOn(MemOp::GetAttributesEx, P(L"/d/b"), 5);
    FileInfo info;
    EXPECT_FALSE(FsGetAttributesEx(P(L"/d/b").c_str(), &info));
    EXPECT_NE(FsGetAttributes(P(L"/d/b").c_str()), kInvalidFileAttributes);
    ASSERT_FALSE(MemFsCalls().empty());
    EXPECT_EQ(MemFsCalls().front(), L"MoveFile " + P(L"/d/a") + L" " + P(L"/d/b"));
}

TEST_F(MemoryFileSystemTest, CaseInsensitiveNamesKeepTheirOwnCase) {
    MemFsReset(true);
    MemFsAddFile(P(L"/D/Photo.JPG"), "p", 1);
    FileInfo info;
    EXPECT_TRUE(FsGetAttributesEx(P(L"/d/photo.jpg").c_str(), &info));
    EXPECT_EQ(FsMoveFile(P(L"/d/photo.jpg").c_str(), P(L"/D/PHOTO.jpg").c_str()), 0u);
    EXPECT_EQ(List(P(L"/d")), (std::vector<std::wstring>{L".", L"..", L"PHOTO.jpg"}));
    EXPECT_EQ(FsCreateDirectory(P(L"/d/photo.JPG").c_str()), kErrorAlreadyExists);
    bool inside = false;
    ASSERT_EQ(FsFolderContains(P(L"/D").c_str(), P(L"/d/").c_str(), &inside), 0u);
    EXPECT_TRUE(inside);
}

}  // namespace
