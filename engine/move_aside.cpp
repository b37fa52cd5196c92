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

bool MoveAside(const wchar_t* file, const wchar_t* folder, const wchar_t* name) {
    CreateDirectoryChain(folder);
    wchar_t candidateName[kMaxEntryName + 16];
    const wchar_t* target = name;
    for (unsigned number = 2;; ++number) {
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
        if (!NumberedName(candidateName, sizeof(candidateName) / sizeof(wchar_t), name, number)) {
            ReportPathTooLong(folder, nullptr, name);
            return false;
        }
        target = candidateName;
    }
}
