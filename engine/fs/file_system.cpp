#include "engine/fs/file_system.h"

#include <cwchar>

namespace {
const FileSystem* g_fileSystem = nullptr;
}

int CompareFileTimes(FileTime a, FileTime b) {
    uint64_t x = static_cast<uint64_t>(FileTimeToInt64(a));
    uint64_t y = static_cast<uint64_t>(FileTimeToInt64(b));
    return x < y ? -1 : (x > y ? 1 : 0);
}

bool TimesWithin(FileTime a, FileTime b, int64_t tolerance) {
    if (tolerance == 0) return CompareFileTimes(a, b) == 0;
    int64_t x = FileTimeToInt64(a);
    int64_t y = FileTimeToInt64(b);
    // Without overflow: the difference of two arbitrary 64-bit counts may not fit.
    uint64_t difference = x >= y ? static_cast<uint64_t>(x) - static_cast<uint64_t>(y)
                                 : static_cast<uint64_t>(y) - static_cast<uint64_t>(x);
    return difference <= static_cast<uint64_t>(tolerance);
}

const FileSystem* SetFileSystem(const FileSystem* fs) {
    const FileSystem* previous = &CurrentFileSystem();
    g_fileSystem = fs;
    return previous;
}

const FileSystem& CurrentFileSystem() {
    if (!g_fileSystem) g_fileSystem = &PlatformFileSystem();
    return *g_fileSystem;
}

bool IsLeftoverCopyName(const wchar_t* name) {
    constexpr size_t prefix = sizeof(kLeftoverCopyPrefix) / sizeof(wchar_t) - 1;
    constexpr size_t suffix = sizeof(kLeftoverCopySuffix) / sizeof(wchar_t) - 1;
    if (wcslen(name) != prefix + kLeftoverCopyDigits + suffix) return false;
    if (wcsncmp(name, kLeftoverCopyPrefix, prefix) != 0) return false;
    for (size_t i = prefix; i < prefix + kLeftoverCopyDigits; ++i) {
        if (!((name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'a' && name[i] <= L'f'))) return false;
    }
    return wcscmp(name + prefix + kLeftoverCopyDigits, kLeftoverCopySuffix) == 0;
}

void MakeLeftoverCopyName(uint64_t bits, wchar_t (&name)[kLeftoverCopyNameLength + 1]) {
    constexpr size_t prefix = sizeof(kLeftoverCopyPrefix) / sizeof(wchar_t) - 1;
    static_assert(prefix + kLeftoverCopyDigits + sizeof(kLeftoverCopySuffix) / sizeof(wchar_t) ==
                  kLeftoverCopyNameLength + 1);
    wmemcpy(name, kLeftoverCopyPrefix, prefix);
    for (size_t i = 0; i < kLeftoverCopyDigits; ++i) name[prefix + i] = L"0123456789abcdef"[(bits >> (4 * i)) & 0xF];
    wmemcpy(name + prefix + kLeftoverCopyDigits, kLeftoverCopySuffix, sizeof(kLeftoverCopySuffix) / sizeof(wchar_t));
}

size_t Utf16NameLength(const wchar_t* name, size_t count) {
    if (sizeof(wchar_t) == 2) return count;  // the text is UTF-16 already
    size_t units = count;
    // A character beyond U+FFFF is a pair in UTF-16 (shifted, so that 16-bit text needs no check).
    for (size_t i = 0; i < count; ++i) units += (static_cast<uint32_t>(name[i]) >> 16) != 0;
    return units;
}

bool WindowsRootNeedsSeparator(const wchar_t* path, wchar_t separator) {
    size_t length = wcslen(path);
    if (length < 2 || path[length - 1] != separator) return false;
    if (path[length - 2] == L':') return true;
    const wchar_t volume[] = {separator, separator, L'?', separator, L'V', L'o', L'l', L'u', L'm', L'e', L'{', L'\0'};
    return wcsncmp(path, volume, 11) == 0 && wcschr(path + 4, separator) == path + length - 1;
}
