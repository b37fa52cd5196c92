#include "engine/move_aside.h"

#include <cwchar>

#include "engine/file_system.h"
#include "engine/paths.h"
#include "engine/run_state.h"
#include "output/format.h"

namespace {
// Far more versions of one file than anyone keeps; past it the move fails as taken.
constexpr unsigned kMaxNumberedName = 100000;
}

bool NumberedName(wchar_t* out, size_t capacity, const wchar_t* name, unsigned number) {
    const wchar_t* dot = wcsrchr(name, L'.');
    if (dot == name) dot = nullptr;
    const wchar_t* extension = dot ? dot : L"";
    size_t stemLength = dot ? static_cast<size_t>(dot - name) : wcslen(name);
    size_t digits = 1;
    for (unsigned rest = number; rest >= 10; rest /= 10) ++digits;
    // The formatter would cut silently, and a cut name is another file's name.
    if (stemLength + digits + 3 + wcslen(extension) >= capacity) return false;
    FormatText(out, capacity, L"%.*s (%u)%s", static_cast<int>(stemLength), name, number, extension);
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

// A file kept earlier may stand where a folder of the same name is needed now (a file X was
// deleted, later a folder X was). It moves to a free numbered name beside itself, so that the
// folder can be made and nothing stays stuck. Only names below the archive folder are looked at:
// the archive folder itself and everything above it belong to the user.
bool ClearWayForFolder(const wchar_t* archive, const wchar_t* relativeFolder) {
    PathBuffer parent, prefix;
    CopyPath(prefix, archive);  // fits: so did archive\relativeFolder
    for (const wchar_t* part = relativeFolder; *part != L'\0';) {
        const wchar_t* end = wcschr(part, kPathSeparator);
        size_t length = end ? static_cast<size_t>(end - part) : wcslen(part);
        wchar_t component[kMaxPath + 1];
        wmemcpy(component, part, length);
        component[length] = L'\0';
        parent = prefix;
        AppendPathPart(prefix, component);
        uint32_t attributes = FsGetAttributes(prefix.text);
        if (attributes == kInvalidFileAttributes) return true;  // the folder chain makes the rest
        if (!(attributes & kFileAttributeDirectory)) return MoveToFreeName(prefix.text, parent.text, component, 2);
        if (!end) return true;
        part = end + 1;
    }
    return true;
}

}  // namespace

bool MoveAside(const wchar_t* file, const wchar_t* destinationRoot, const wchar_t* archiveName,
               const wchar_t* relativeFolder, const wchar_t* name) {
    PathBuffer archive, folder;
    if (!FolderPath(archive, destinationRoot, archiveName) || !FolderPath(folder, archive.text, relativeFolder)) {
        ReportPathTooLong(destinationRoot, archiveName, relativeFolder);
        return false;
    }
    CreateDirectoryChain(folder.text);
    // Making a folder where a file stands reads as "already exists", so the result is looked at.
    uint32_t attributes = FsGetAttributes(folder.text);
    if (relativeFolder && (attributes == kInvalidFileAttributes || !(attributes & kFileAttributeDirectory))) {
        if (!ClearWayForFolder(archive.text, relativeFolder)) return false;
        CreateDirectoryChain(folder.text);
    }
    return MoveToFreeName(file, folder.text, name, 1);
}
