#include "engine/run_sync.h"

#include <cwchar>

#include "engine/copy_move_pass.h"
#include "engine/date_filter.h"
#include "engine/deleted_pass.h"
#include "engine/destination_index.h"
#include "engine/empty_folders.h"
#include "engine/file_system.h"
#include "engine/paths.h"
#include "engine/run_state.h"
#include "engine/system.h"
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

// Copies a folder argument and checks that it names an existing folder; writes the message and
// returns false otherwise.
bool TakeFolder(PathBuffer& buffer, const wchar_t* argument) {
    if (!CopyPath(buffer, argument)) {
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

// Removes one trailing separator, but never turns the file-system root "/" into an empty path.
void NormalizeFolder(PathBuffer& buffer) {
    if (kPathSeparator == L'/' && wcscmp(buffer.text, L"/") == 0) return;
    RemoveTrailingSeparator(buffer.text);
}

bool FoldersOverlap(const wchar_t* source, const wchar_t* destination) {
    bool inside = false;
    if (FsFolderContains(destination, source, &inside) != 0) return true;
    if (inside) return true;
    return FsFolderContains(source, destination, &inside) != 0 || inside;
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

}  // namespace

int32_t RunSync(int32_t argc, const wchar_t* const* argv) {
    WriteMessage(L"%s, %s\n\n", kLongProductName, kMakerNotice);
    if (argc < 3) {
        WriteUsage();
        return 1;
    }
    PrepareProcessForRun();
    ResetRunFailures();

    PathBuffer source, destination;
    if (!TakeFolder(source, argv[1])) return 1;
    NormalizeFolder(source);
    if (!TakeFolder(destination, argv[2])) return 1;
    NormalizeFolder(destination);
    // A destination inside the source would be copied into itself, and a source inside the
    // destination would have its own files moved into Deleted.
    if (FoldersOverlap(source.text, destination.text)) {
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

    EntryCounter = 0;
    WriteMessage(L"Read %s\n", destination.text);
    BuildDestinationIndex(destination.text, nullptr);

    EntryCounter = 0;
    WriteMessage(L"\nRead %s\n", source.text);
    DifferentFileSystems = wcscmp(sourceFileSystem, destinationFileSystem) != 0;
    CopyAndMovePass(source.text, destination.text, nullptr, DifferentFileSystems);

    if (deletedMode && !StopRequested()) {
        EntryCounter = 0;
        WriteMessage(L"Checking for deleted files\n");
        WriteMessage(L"Read %s\n", source.text);
        MoveDeletedPass(source.text, destination.text, nullptr);
    }
    if (!StopRequested()) RemoveEmptyFolders(destination.text, nullptr);

    return WriteClosingText();
}
