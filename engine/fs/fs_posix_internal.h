// What the POSIX provider's own files share (fs_posix.cpp, fs_posix_copy.cpp): paths in the
// system's bytes, opens through link cycles, and where a write below a guarded root lands.
// Nothing outside the provider calls these.
#pragma once

#include <limits.h>

#include <cstdint>

#include "engine/fs/file_system.h"

namespace posix {

struct NativePath {
    char text[PATH_MAX];
};

// path as UTF-8 (undecodable bytes given back as they were); false when it does not fit.
bool ToNative(const wchar_t* path, NativePath& out);

// open(2) of path, resolved component by component where the whole path has too many links.
int OpenThroughLinks(const char* path, int flags);

// Where a write lands: a folder and a name relative to it. Outside a guarded root the folder is
// the working folder and the name the whole path, as ever. The folder is never the caller's to
// close.
struct Place {
    int folder;        // AT_FDCWD, the guarded root's descriptor, or one of this thread's opened folders
    const char* name;  // within the path given to OpenPlace
};
// The place of path, which it may edit (trailing slashes); 0 or the error number (ELOOP: a link
// stands on the way below the root).
int OpenPlace(char* path, Place& place);

// Renames from (relative to fromFolder) to to (relative to toFolder), never replacing anything
// that stands at to; 0 or the error number.
int RenameNoReplace(int fromFolder, const char* from, int toFolder, const char* to);

// The provider's copyFile and removeLeftoverCopy (fs_posix_copy.cpp).
uint32_t PosixCopyFile(const wchar_t* from, const wchar_t* to, CopyProgressFn progress, bool replaceExisting);
uint32_t PosixRemoveLeftoverCopy(const wchar_t* path);

}  // namespace posix
