#include "tests/support/win32_files.h"

#include "engine/fs/file_system.h"

std::string ReadBytes(const std::wstring& path, DWORD share) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(h, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(h);
    return bytes;
}

int LeftoverCount(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &data);
    int count = 0;
    if (h == INVALID_HANDLE_VALUE) return count;
    do count += IsLeftoverCopyName(data.cFileName);
    while (FindNextFileW(h, &data));
    FindClose(h);
    return count;
}
