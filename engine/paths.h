// Path rules shared by every walk: fixed buffers, one join rule, and the creation of folder chains.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
constexpr wchar_t kPathSeparator = L'\\';
constexpr size_t kMaxPath = 260;
#else
constexpr wchar_t kPathSeparator = L'/';
constexpr size_t kMaxPath = 1023;
#endif

// A path of at most kMaxPath characters and its terminator.
struct PathBuffer {
    wchar_t text[kMaxPath + 1];
};

// Copies text into buffer; false (buffer left empty) when it does not fit.
bool CopyPath(PathBuffer& buffer, const wchar_t* text);
// Appends one separator unless the buffer is empty or already ends in one, then part.
// False, buffer unchanged, when the result would not fit.
bool AppendPathPart(PathBuffer& buffer, const wchar_t* part);
// buffer = root, [join] relativeFolder, separator, lastPart; with no relative folder only the
// join rule's separator. False when the result would not fit (buffer then holds a prefix).
bool ComposePath(PathBuffer& buffer, const wchar_t* root, const wchar_t* relativeFolder,
                 const wchar_t* lastPart);
// The folder root\relativeFolder, or root alone when relativeFolder is null.
bool FolderPath(PathBuffer& buffer, const wchar_t* root, const wchar_t* relativeFolder);
// The relative folder of a sub-folder name met in relativeFolder (name alone at the root).
bool ChildRelativeFolder(PathBuffer& buffer, const wchar_t* relativeFolder, const wchar_t* name);

// Creates every missing folder along path, shortest prefix first. Returns 0 when each creation
// succeeded or found the folder there, else the error number of the first one that failed.
uint32_t CreateDirectoryChain(const wchar_t* path);

// How MakeFolderChain ended.
enum ChainResult { kChainReady, kChainLinkInTheWay, kChainFailed };

// Makes every missing folder of base\relativeFolder below base, one part at a time from the top,
// looking at each part before anything is made in it, so that nothing is ever made through a
// link. A link on the way is named ("link in the way %s", a failure of the run); kChainFailed,
// with the error number, when a part cannot be made, a file stands in the way, or a part that
// could not be read turns out to be there after all.
ChainResult MakeFolderChain(const wchar_t* base, const wchar_t* relativeFolder, uint32_t* error);

// Removes one trailing separator, if there is one.
void RemoveTrailingSeparator(wchar_t* path);

// Writes "path too long %s\n" naming root, relativeFolder and name joined, cut so the line still
// ends in its line feed; counts as a failure of the run.
void ReportPathTooLong(const wchar_t* root, const wchar_t* relativeFolder, const wchar_t* name);
