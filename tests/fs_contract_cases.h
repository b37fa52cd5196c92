// The rules of the file-system table, written out by hand: one operation on a small starting tree,
// the error number it gives and what the tree holds afterwards. The same table is run against the
// in-memory provider (both builds), the POSIX provider (Linux, real folders) and the Win32 provider
// (Windows, real folders; under Wine in the cross build), so that the test double and the real
// providers are held to one expectation. Where a provider legitimately answers otherwise, its own
// column says so.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/fs/file_system.h"

// The starting tree of every case, below a fresh root ('/' separates the parts here):
//   a.txt "alpha", b.txt "beta, the file in the way", empty.txt "", big.bin (300,000 bytes, more
//   than one step of any copy's progress), folder/inside.txt "inside", and the empty folder empty/.
// Each file has a last-write time of its own, with digits below the second.

// In the wine column: Wine gives what Windows gives.
constexpr uint32_t kAsOnWindows = 0xFFFFFFFFu;

// The error number expected from each provider, in the order of the columns. The Win32 column is
// what Windows gives; where Wine, which runs the cross build's tests, answers otherwise, the last
// column says what it gives instead.
struct PerProvider {
    uint32_t memory;
    uint32_t posix;
    uint32_t win32;
    uint32_t wine = kAsOnWindows;
};
constexpr PerProvider Same(uint32_t error) { return {error, error, error}; }

// Marks a cell of a copy given a progress routine: the system's copy may never call the routine
// (Wine 8's CopyFileExW does not); where it did not, the copy runs to its end as if never
// cancelled, the target whole. Where it did, the number without the mark is expected.
constexpr uint32_t kOrUnasked = 0x40000000u;
constexpr uint32_t OrUnasked(uint32_t error) { return error | kOrUnasked; }

// The platforms' own numbers where the table's named constants have none (each is only ever read
// on its own platform).
constexpr uint32_t kPosixNotADirectory = 20;  // ENOTDIR
constexpr uint32_t kPosixIsADirectory = 21;   // EISDIR
constexpr uint32_t kWin32NotADirectory = 267;  // ERROR_DIRECTORY
constexpr uint32_t kWin32InvalidName = 123;    // ERROR_INVALID_NAME

enum class ContractOp {
    Move,          // moveFile(a, b)
    Copy,          // copyFile(a, b, progress, replace)
    List,          // the listing of folder a, full and types-only
    MakeFolder,    // createDirectory(a)
    RemoveFolder,  // removeDirectory(a)
    FolderId,      // getFolderId(a)
    SameFolder,    // getFolderId(a) and getFolderId(b); whether they are the same
    Attributes,    // getAttributes(a) and getAttributesEx(a), against the starting tree
};

// When a copy's progress routine cancels.
enum class CancelAt { Never, FirstCall, EveryByteCopied };

// What stands at path after the operation: nullptr nothing, L"/" a folder, otherwise the file that
// stood at that path of the starting tree (its bytes and last-write time).
struct TreeChange {
    const wchar_t* path;
    const wchar_t* now;
};

struct ContractCase {
    const char* id;    // a name for the test
    const char* rule;  // what the case holds the providers to
    ContractOp op;
    const wchar_t* a;
    const wchar_t* b = nullptr;
    PerProvider error = Same(0);
    // Where the operation succeeds, what it changes; a failed operation changes nothing.
    std::vector<TreeChange> after = {};
    bool replace = false;             // Copy: replaceExisting
    bool progress = false;            // Copy: with a progress routine, whose calls are checked
    CancelAt cancel = CancelAt::Never;  // Copy: with a routine that cancels
    std::vector<const wchar_t*> listed = {};  // List: every name, "." and ".." included
    bool same = false;                // SameFolder
    const wchar_t* link = nullptr;    // a link to folder/ made at this path before the operation
};

inline const std::vector<ContractCase>& ContractCases() {
    static const std::vector<ContractCase> cases = {
        // A move never replaces: it fails, both sides untouched, whatever stands in the way.
        {.id = "MoveRenamesKeepingBytesAndTime", .rule = "a move takes the file, bytes and time, to its new name and folder",
         .op = ContractOp::Move, .a = L"a.txt", .b = L"folder/moved.txt",
         .after = {{L"a.txt", nullptr}, {L"folder/moved.txt", L"a.txt"}}},
        {.id = "MoveNeverReplacesAFile", .rule = "a move onto a file fails and leaves both files as they were",
         .op = ContractOp::Move, .a = L"a.txt", .b = L"b.txt", .error = Same(kErrorAlreadyExists)},
        {.id = "MoveNeverReplacesAFolder", .rule = "a move onto an empty folder fails and the folder stays",
         .op = ContractOp::Move, .a = L"a.txt", .b = L"empty", .error = Same(kErrorAlreadyExists)},
        {.id = "MoveOntoANameDifferingInCaseOnly",
         .rule = "a move onto a name that differs only in case: a new file where names keep case, refused where they ignore it (Win32)",
         .op = ContractOp::Move, .a = L"a.txt", .b = L"B.TXT", .error = {0, 0, kErrorAlreadyExists},
         .after = {{L"a.txt", nullptr}, {L"B.TXT", L"a.txt"}}},
        {.id = "MoveIntoAMissingFolderFails", .rule = "a move into a folder that is not there fails",
         .op = ContractOp::Move, .a = L"a.txt", .b = L"nowhere/a.txt", .error = Same(kErrorPathNotFound)},
        {.id = "MoveOfAMissingFileFails", .rule = "a move of a file that is not there fails",
         .op = ContractOp::Move, .a = L"missing.txt", .b = L"c.txt", .error = Same(kErrorFileNotFound)},

        // A copy keeps size and last-write time and never leaves half a file.
        {.id = "CopyKeepsBytesSizeAndTime", .rule = "a copy to a new name has the source's bytes, size and last-write time",
         .op = ContractOp::Copy, .a = L"a.txt", .b = L"copy.txt", .after = {{L"copy.txt", L"a.txt"}}},
        {.id = "CopyOfAnEmptyFileKeepsItsTime", .rule = "a copy of an empty file keeps its time",
         .op = ContractOp::Copy, .a = L"empty.txt", .b = L"folder/copy.txt", .after = {{L"folder/copy.txt", L"empty.txt"}},
         .replace = true},
        {.id = "CopyReportsItsProgressToTheEnd",
         .rule = "a copy given a routine reports the size, from 0 bytes to all of them, never going back",
         .op = ContractOp::Copy, .a = L"big.bin", .b = L"copy.bin", .error = {0, 0, OrUnasked(0)},
         .after = {{L"copy.bin", L"big.bin"}}, .progress = true},
        {.id = "CopyReplacesAFileWhenAllowed", .rule = "a copy with leave to replace puts the source's bytes and time in the file's place",
         .op = ContractOp::Copy, .a = L"a.txt", .b = L"b.txt", .after = {{L"b.txt", L"a.txt"}}, .replace = true},
        {.id = "CopyWithoutLeaveKeepsTheFileInTheWay", .rule = "a copy without leave to replace fails on a file and leaves it as it was",
         .op = ContractOp::Copy, .a = L"a.txt", .b = L"b.txt", .error = Same(kErrorAlreadyExists)},
        {.id = "CopyNeverReplacesAFolder", .rule = "a copy with leave to replace still fails on a folder, which stays with its files",
         .op = ContractOp::Copy, .a = L"a.txt", .b = L"folder", .error = {kErrorAccessDenied, kPosixIsADirectory, kErrorAccessDenied},
         .replace = true},
        {.id = "CopyWithoutLeaveKeepsTheFolderInTheWay", .rule = "a copy without leave to replace fails on an empty folder",
         .op = ContractOp::Copy, .a = L"a.txt", .b = L"empty", .error = {kErrorAccessDenied, kErrorAlreadyExists, kErrorAlreadyExists}},
        {.id = "CopyOfAMissingFileLeavesNothing", .rule = "a copy of a file that is not there fails and makes nothing",
         .op = ContractOp::Copy, .a = L"missing.txt", .b = L"copy.txt", .error = Same(kErrorFileNotFound)},
        {.id = "CopyOfAFolderLeavesNothing", .rule = "a copy of a folder fails and makes nothing",
         .op = ContractOp::Copy, .a = L"folder", .b = L"copy", .error = {kErrorFileNotFound, kPosixIsADirectory, kErrorAccessDenied}},
        {.id = "CopyIntoAMissingFolderLeavesNothing", .rule = "a copy into a folder that is not there fails",
         .op = ContractOp::Copy, .a = L"a.txt", .b = L"nowhere/copy.txt", .error = Same(kErrorPathNotFound)},
        {.id = "CopyCancelledBeforeItsFirstByteLeavesNothing", .rule = "a copy cancelled at its first report leaves nothing at all",
         .op = ContractOp::Copy, .a = L"big.bin", .b = L"copy.bin",
         .error = {kErrorCancelled, kErrorCancelled, OrUnasked(kErrorCancelled)}, .cancel = CancelAt::FirstCall},
        {.id = "CopyCancelledWithEveryByteCopiedLeavesNothing",
         .rule = "a copy cancelled when every byte is copied still leaves nothing, no temporary name either",
         .op = ContractOp::Copy, .a = L"big.bin", .b = L"copy.bin",
         .error = {kErrorCancelled, kErrorCancelled, OrUnasked(kErrorCancelled)}, .cancel = CancelAt::EveryByteCopied},
        {.id = "CopyCancelledWhileReplacingKeepsTheOldFile", .rule = "a cancelled copy onto a file it may replace leaves that file whole",
         .op = ContractOp::Copy, .a = L"big.bin", .b = L"b.txt",
         .error = {kErrorCancelled, kErrorCancelled, OrUnasked(kErrorCancelled)}, .replace = true,
         .cancel = CancelAt::EveryByteCopied},

        // Listings say why they fail; an empty listing is one that ends with error 0.
        {.id = "ListingGivesEveryEntryDescribed", .rule = "a listing gives every entry with its kind, size and last-write time",
         .op = ContractOp::List, .a = L"", .listed = {L".", L"..", L"a.txt", L"b.txt", L"big.bin", L"empty", L"empty.txt", L"folder"}},
        {.id = "ListingOfAnEmptyFolderEndsWithError0", .rule = "an empty folder lists \".\" and \"..\" and ends with error 0",
         .op = ContractOp::List, .a = L"empty", .listed = {L".", L".."}},
        {.id = "ListingOfAMissingFolderSaysWhy", .rule = "a folder that is not there gives no listing and the error number",
         .op = ContractOp::List, .a = L"missing", .error = Same(kErrorPathNotFound)},
        {.id = "ListingOfAFileSaysWhy", .rule = "a file listed as a folder gives no listing and the error number",
         .op = ContractOp::List, .a = L"a.txt", .error = {kErrorPathNotFound, kPosixNotADirectory, kWin32NotADirectory, kWin32InvalidName}},

        // Folders are made where nothing stands and removed only when empty.
        {.id = "MakeFolderWhereNothingStands", .rule = "createDirectory makes the folder",
         .op = ContractOp::MakeFolder, .a = L"new", .after = {{L"new", L"/"}}},
        {.id = "MakeFolderOnAFolderSaysItExists", .rule = "createDirectory on a folder gives kErrorAlreadyExists",
         .op = ContractOp::MakeFolder, .a = L"folder", .error = Same(kErrorAlreadyExists)},
        {.id = "MakeFolderOnAFileSaysItExists", .rule = "createDirectory on a file gives kErrorAlreadyExists and the file stays",
         .op = ContractOp::MakeFolder, .a = L"a.txt", .error = Same(kErrorAlreadyExists)},
        {.id = "MakeFolderInAMissingFolderFails", .rule = "createDirectory makes one folder, never the missing ones above it",
         .op = ContractOp::MakeFolder, .a = L"nowhere/new", .error = Same(kErrorPathNotFound)},
        {.id = "RemoveFolderTakesAnEmptyFolder", .rule = "removeDirectory removes an empty folder",
         .op = ContractOp::RemoveFolder, .a = L"empty", .after = {{L"empty", nullptr}}},
        {.id = "RemoveFolderRefusesAFolderWithFiles", .rule = "removeDirectory refuses a folder that holds a file",
         .op = ContractOp::RemoveFolder, .a = L"folder", .error = Same(kErrorDirNotEmpty)},
        {.id = "RemoveFolderRefusesAFile", .rule = "removeDirectory refuses a file",
         .op = ContractOp::RemoveFolder, .a = L"a.txt", .error = {kErrorPathNotFound, kPosixNotADirectory, kWin32NotADirectory}},
        {.id = "RemoveFolderOfAMissingFolderFails", .rule = "removeDirectory of a folder that is not there fails",
         .op = ContractOp::RemoveFolder, .a = L"missing", .error = Same(kErrorFileNotFound)},

        // Folder identities: what a folder is, not how it is spelled.
        {.id = "SameFolderThroughATrailingSeparator", .rule = "a folder named with a trailing separator is the same folder",
         .op = ContractOp::SameFolder, .a = L"folder", .b = L"folder/", .same = true},
        {.id = "SameFolderThroughALink", .rule = "a folder reached through a link to it is the same folder",
         .op = ContractOp::SameFolder, .a = L"folder", .b = L"folder-link", .same = true, .link = L"folder-link"},
        {.id = "SameFolderThroughDotDot",
         .rule = "a folder named through \"..\" is the same folder where the system resolves it (the in-memory provider takes names as they are)",
         .op = ContractOp::SameFolder, .a = L"folder", .b = L"empty/../folder", .error = {kErrorPathNotFound, 0, 0}, .same = true},
        {.id = "SameFolderInAnotherCase",
         .rule = "a folder named in another case is the same folder where names ignore case (Win32), none where they keep it",
         .op = ContractOp::SameFolder, .a = L"folder", .b = L"FOLDER", .error = {kErrorPathNotFound, kErrorPathNotFound, 0},
         .same = true},
        {.id = "TwoFoldersDiffer", .rule = "two folders have two identities",
         .op = ContractOp::SameFolder, .a = L"folder", .b = L"empty", .same = false},
        {.id = "NoFolderIdForAMissingPath", .rule = "getFolderId of a path where nothing stands fails",
         .op = ContractOp::FolderId, .a = L"missing", .error = {kErrorPathNotFound, kErrorPathNotFound, kErrorFileNotFound}},
        {.id = "NoFolderIdForAFile", .rule = "getFolderId of a file fails",
         .op = ContractOp::FolderId, .a = L"a.txt", .error = {kErrorPathNotFound, kPosixNotADirectory, kWin32NotADirectory}},

        // Attribute queries: what stands at a path, as the listing describes it.
        {.id = "AttributesOfAFile", .rule = "a file's attributes carry no directory bit, its size and its last-write time",
         .op = ContractOp::Attributes, .a = L"big.bin"},
        {.id = "AttributesOfAFolder", .rule = "a folder's attributes carry the directory bit",
         .op = ContractOp::Attributes, .a = L"folder"},
        {.id = "AttributesOfAMissingPath", .rule = "a path where nothing stands has no attributes",
         .op = ContractOp::Attributes, .a = L"missing.txt"},
    };
    return cases;
}
