#include "engine/move_aside.h"

#include <cwchar>

#include "engine/file_system.h"
#include "engine/destination_index.h"
#include "engine/paths.h"
#include "engine/run_state.h"
#include "output/format.h"
#include "output/message.h"
#include "output/text_encoding.h"

namespace {
// Far more versions of one file than anyone keeps; past it the move fails as taken.
constexpr unsigned kMaxNumberedName = 100000;
}

size_t NameLengthOnDisk(const wchar_t* name, size_t count) {
#ifdef _WIN32
    (void)name;
    return count;  // UTF-16 code units, as NTFS counts them
#else
    return Utf8Length(name, count);  // the bytes the provider writes the name as
#endif
}

bool NumberedName(wchar_t* out, size_t capacity, const wchar_t* name, unsigned number) {
    const wchar_t* dot = wcsrchr(name, L'.');
    if (dot == name) dot = nullptr;
    const wchar_t* extension = dot ? dot : L"";
    size_t stemLength = dot ? static_cast<size_t>(dot - name) : wcslen(name);
    size_t extensionLength = wcslen(extension);
    wchar_t numberText[16];
    FormatText(numberText, 16, L" (%u)", number);
    size_t suffixLength = wcslen(numberText);
    // A name near the file system's limit has no room for the number: the part before it gives
    // way, character by character, so that the version can still be kept. An extension too long
    // to leave any of it goes with the rest.
    if (NameLengthOnDisk(extension, extensionLength) + suffixLength + 1 > kMaxNameOnDisk) {
        stemLength += extensionLength;
        extension = L"";
        extensionLength = 0;
    }
    size_t room = kMaxNameOnDisk - suffixLength - NameLengthOnDisk(extension, extensionLength);
    while (stemLength > 1 && NameLengthOnDisk(name, stemLength) > room) --stemLength;
#ifdef _WIN32
    // Never the first half of a surrogate pair alone.
    if (stemLength > 1 && name[stemLength - 1] >= 0xD800 && name[stemLength - 1] <= 0xDBFF) --stemLength;
#endif
    // The formatter would cut silently, and a cut name is another file's name.
    if (stemLength + suffixLength + extensionLength >= capacity) return false;
    FormatText(out, capacity, L"%.*s%s%s", static_cast<int>(stemLength), name, numberText, extension);
    return true;
}

namespace {

// Moves file into folder as name (from number 1) or as the first free numbered name from
// firstNumber on. On failure writes "move %s failed: %u\n" naming file (or "path too long").
bool MoveToFreeName(const wchar_t* file, const wchar_t* folder, const wchar_t* name, unsigned firstNumber) {
    wchar_t candidateName[kMaxEntryName + 16];
    for (unsigned number = firstNumber;; ++number) {
        const wchar_t* target = name;
        if (number > 1) {
            if (!NumberedName(candidateName, sizeof(candidateName) / sizeof(wchar_t), name, number)) {
                ReportPathTooLong(folder, nullptr, name);
                return false;
            }
            target = candidateName;
        }
        PathBuffer targetPath;
        if (!CopyPath(targetPath, folder) || !AppendPathPart(targetPath, target)) {
            ReportPathTooLong(folder, nullptr, target);
            return false;
        }
        uint32_t error = FsMoveFile(file, targetPath.text);
        if (error == 0) return true;
        if (error != kErrorAlreadyExists || number > kMaxNumberedName) {
            WriteFailure(L"move %s failed: %u\n", file, error);
            return false;
        }
    }
}

// Readies archive\relativeFolder (archive is destinationRoot\Backup or \Deleted) for the move of
// file into it, walking down from the archive folder itself and looking at each part before
// anything is made in it. A link anywhere on the way would take the move out of the destination,
// wherever it leads: the move is refused and the link named. A file kept earlier where a folder
// is needed now (a file X was deleted, later a folder X was) moves to a free numbered name beside
// itself, so that nothing stays stuck. False, with the failure written, when the move must not go
// ahead.
bool PrepareArchiveFolder(const wchar_t* file, const wchar_t* archive, const wchar_t* relativeFolder) {
    PathBuffer prefix, parent;
    CopyPath(prefix, archive);  // fits: so did archive\relativeFolder
    const wchar_t* part = relativeFolder;  // what lies below prefix
    bool atArchive = true;
    bool made = false;  // below a folder made here, nothing can be there yet
    for (;;) {
        uint32_t attributes = made ? kInvalidFileAttributes : FsGetAttributes(prefix.text);
        bool needed = attributes == kInvalidFileAttributes;
        if (attributes != kInvalidFileAttributes && (attributes & kFileAttributeReparsePoint)) {
            WriteFailure(L"link in the way %s\n", prefix.text);
            return false;
        }
        if (attributes != kInvalidFileAttributes && !(attributes & kFileAttributeDirectory)) {
            // The archive folder itself is the user's file (mirrored from the source, say): the
            // move fails on it and says so.
            if (atArchive) return true;
            const wchar_t* last = wcsrchr(prefix.text, kPathSeparator);
            wchar_t name[kMaxPath + 1];
            wcscpy(name, last ? last + 1 : prefix.text);
            WriteMessage(L"move kept file %s\n", prefix.text);
            if (!MoveToFreeName(prefix.text, parent.text, name, 2)) return false;
            ForgetIndexedFile(prefix.text);
            needed = true;
        }
        if (needed) {
            // "Already there" after a query that found nothing cannot be told from a link.
            if (uint32_t error = FsCreateDirectory(prefix.text)) {
                WriteFailure(L"move %s failed: %u\n", file, error);
                return false;
            }
            NoteMadeFolder(prefix.text);
            made = true;
        }
        if (!part || *part == L'\0') return true;
        const wchar_t* end = wcschr(part, kPathSeparator);
        size_t length = end ? static_cast<size_t>(end - part) : wcslen(part);
        wchar_t component[kMaxPath + 1];
        wmemcpy(component, part, length);
        component[length] = L'\0';
        parent = prefix;
        AppendPathPart(prefix, component);
        part = end ? end + 1 : part + length;
        atArchive = false;
    }
}

}  // namespace

bool MoveAside(const wchar_t* file, const wchar_t* destinationRoot, const wchar_t* archiveName,
               const wchar_t* relativeFolder, const wchar_t* name, bool* archiveReady) {
    PathBuffer archive, folder;
    if (!FolderPath(archive, destinationRoot, archiveName) || !FolderPath(folder, archive.text, relativeFolder)) {
        ReportPathTooLong(destinationRoot, archiveName, relativeFolder);
        return false;
    }
    // Once the way was found clear in this walk of the folder it stays so: the walk removes no
    // folder, and nothing but files moving into the archive folder changes below it.
    if (!(archiveReady && *archiveReady)) {
        if (!PrepareArchiveFolder(file, archive.text, relativeFolder)) return false;
        if (archiveReady) *archiveReady = true;
    }
    return MoveToFreeName(file, folder.text, name, 1);
}
