// Real files on Windows as the Win32 tests look at them, past the provider under test.
#pragma once

#include <windows.h>

#include <string>

// The bytes of the file at path; "<missing>" when it cannot be opened. share: FILE_SHARE_WRITE
// too for a file another process may still be writing.
std::string ReadBytes(const std::wstring& path, DWORD share = FILE_SHARE_READ);
// How many names in folder have the shape of a copy's temporary name.
int LeftoverCount(const std::wstring& folder);
