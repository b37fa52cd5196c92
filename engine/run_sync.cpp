#include "engine/run_sync.h"

#include <cwchar>

#include "engine/copy_move_pass.h"
#include "engine/date_filter.h"
#include "engine/deleted_pass.h"
#include "engine/destination_changes.h"
#include "engine/destination_index.h"
#include "engine/destination_times.h"
#include "engine/empty_folders.h"
#include "engine/fs/file_system.h"
#include "engine/fs/process.h"
#include "engine/paths.h"
#include "engine/run_state.h"
#include "engine/walk.h"
#include "output/message.h"

const wchar_t kLongProductName[] = L"Kestrovane";
const wchar_t kMakerDomain[] = L"kestrome.example";
const wchar_t kMakerNotice[] = L"Copyright (C) 2026 The Kestrome developers";

bool DifferentFileSystems = false;

namespace {

constexpr size_t kFileSystemNameLength = 8;

void WriteUsage() {
    WriteMessage(L"use: Kestrome.exe sourcedir destdir arg\n");
    WriteMessage(L"arg:\n");
    WriteMessage(L"d - optional, move deleted files into <Deleted> folder\n");
    WriteMessage(L"date in format d.m.Y or Y.m.d or Y-m-d or m/d/Y - optional, synchronize only files newer than the specified date\n");
}

// Resolves a folder argument once into the one text every later call uses, and checks that it
// names an existing folder; writes the message and returns false otherwise. Resolved, "X:" (the
// current folder of drive X), "\" (the current drive's root) and "C:\data\s " (Windows drops the
// trailing blank where it ends a path, but not inside a longer one) each name one folder for the
// whole run, whichever call reads them.
bool TakeFolder(PathBuffer& buffer, const wchar_t* argument) {
    if (wcslen(argument) > kMaxPath || !FsGetFullPath(argument, buffer.text, kMaxPath + 1)) {
        WriteMessage(L"path too long %s\n", argument);
        return false;
    }
    uint32_t attributes = FsGetAttributes(buffer.text);
    if (attributes == kInvalidFileAttributes || (attributes & kFileAttributeDirectory) == 0) {
        WriteMessage(L"%s not exist\n", argument);
        return false;
    }
    return true;
}

// Whether the two folders overlap, judged by what they are: a source inside the destination would
// have its own files moved into Deleted, a destination inside the source would be copied into
// itself. 0, or the error number when it cannot be told.
uint32_t FoldersOverlap(const wchar_t* source, const wchar_t* destination, bool* overlap) {
    bool inside = false;
    if (uint32_t error = FsFolderContains(destination, source, &inside)) return error;
    *overlap = inside;
    if (inside) return 0;
    if (uint32_t error = FsFolderContains(source, destination, &inside)) return error;
    *overlap = inside;
    return 0;
}

void ReportFileSystem(const wchar_t* format, const wchar_t* folder, wchar_t (&name)[kFileSystemNameLength]) {
    wmemset(name, L'\0', kFileSystemNameLength);
    if (FsGetFileSystemName(folder, name, kFileSystemNameLength)) {
        WriteMessage(format, name);
    } else {
        name[0] = L'\0';  // a failed query counts as an empty name
    }
}

int32_t WriteClosingText() {
    // A log that is a file holds everything up to here before the closing text: should the run
    // be ended by force now, the log still says how far it came.
    FlushMessages();
    int32_t code = 0;
    if (StopRequested()) {
        WriteMessage(L"Synchronization stopped.\n\n");
        code = 3;
    } else if (RunFailureCount() != 0) {
        WriteMessage(L"Synchronization finished with errors: %u\n\n", RunFailureCount());
        code = 2;
    } else {
        WriteMessage(L"All files are successfully synchronized.\n\n");
    }
    WriteMessage(L"Please look the <Backup> folder for replaced files\n");
    WriteMessage(L"and the <Deleted> folder for deleted files.\n");
    WriteMessage(L"Please remove these folders if you don't need old files.\n");
    return code;
}

// The index scan, the passes and the closing text of a run whose folders were found good.
int32_t RunPasses(const wchar_t* source, const wchar_t* destination, bool deletedMode) {
    EntryCounter = 0;
    WriteMessage(L"Read %s\n", destination);
    // A root that cannot be listed in full leaves the run blind: it was reported, and nothing
    // more is copied, moved or removed.
    ListingResult scanned = BuildDestinationIndex(destination, nullptr);
    RemoveLeftoverCopies();
    FlushMessages();
    if (scanned == kListingFailed) return WriteClosingText();

    EntryCounter = 0;
    WriteMessage(L"\nRead %s\n", source);
    ListingResult copied = CopyAndMovePass(source, destination, nullptr, DifferentFileSystems);
    FlushMessages();
    if (copied == kListingFailed) return WriteClosingText();

    if (deletedMode && !StopRequested()) {
        EntryCounter = 0;
        WriteMessage(L"Checking for deleted files\n");
        WriteMessage(L"Read %s\n", source);
        MoveDeletedPass(source, destination, nullptr);
        FlushMessages();
    }
    if (!StopRequested()) RemoveEmptyFolders(destination, nullptr);

    return WriteClosingText();
}

// The run from its arguments to its closing text.
int32_t RunChecked(int32_t argc, const wchar_t* const* argv) {
    WriteMessage(L"%s, %s\n\n", kLongProductName, kMakerNotice);
    if (argc < 3) {
        WriteUsage();
        return 1;
    }
    PrepareProcessForRun();
    ResetRunFailures();
    ForgetUnreadableFolders();
    ResetDestinationTimes();

    PathBuffer source, destination;
    if (!TakeFolder(source, argv[1])) return 1;
    NormalizeFolder(source);
    if (!TakeFolder(destination, argv[2])) return 1;
    NormalizeFolder(destination);
    bool overlap = false;
    if (uint32_t error = FoldersOverlap(source.text, destination.text, &overlap)) {
        // Refused, never guessed: a guess of "apart" could move the source's own files.
        WriteMessage(L"source and destination folders cannot be compared: %u\n", error);
        return 1;
    }
    if (overlap) {
        WriteMessage(L"source and destination folders overlap\n");
        return 1;
    }

    DateFilter.enabled = 0;
    bool deletedMode = argc == 4 && wcscmp(argv[3], L"d") == 0;
    if (argc == 4 && !deletedMode) ParseDateArgument(argv[3]);

    wchar_t sourceFileSystem[kFileSystemNameLength];
    wchar_t destinationFileSystem[kFileSystemNameLength];
    ReportFileSystem(L"Source File System: %s\n", source.text, sourceFileSystem);
    ReportFileSystem(L"Dest File System: %s\n", destination.text, destinationFileSystem);

    if (DateFilter.enabled) {
        WriteMessage(L"Copy and Move files newer %s\n", argv[3]);
    } else {
        WriteMessage(L"Copy and Move files\n");
    }

    DifferentFileSystems = wcscmp(sourceFileSystem, destinationFileSystem) != 0;
    // From here on nothing is written below the destination through a link, not even one put in
    // place of a folder after the walks looked at it.
    BeginDestinationChanges(destination.text);
    int32_t code = RunPasses(source.text, destination.text, deletedMode);
    EndDestinationChanges();
    return code;
}

}  // namespace

int32_t RunSync(int32_t argc, const wchar_t* const* argv) {
    int32_t code = RunChecked(argc, argv);
    // Every way out, a refused argument too, leaves the whole text in a log that is a file.
    FlushMessages();
    return code;
}
