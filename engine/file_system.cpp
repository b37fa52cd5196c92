#include "engine/file_system.h"

namespace {
const FileSystem* g_fileSystem = nullptr;
}

int CompareFileTimes(FileTime a, FileTime b) {
    uint64_t x = static_cast<uint64_t>(FileTimeToInt64(a));
    uint64_t y = static_cast<uint64_t>(FileTimeToInt64(b));
    return x < y ? -1 : (x > y ? 1 : 0);
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
