// Path and name rules shared by every walk: fixed buffers, one join rule, numbered names. Text only:
// nothing here touches the disk; the provider in use is asked only how it counts a name's length
// and which roots need their separator.
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

// The longest name the file system takes, as its provider counts a name's length (nameLengthOnDisk):
// 255 UTF-16 units on Windows, 255 bytes on Linux.
constexpr size_t kMaxNameOnDisk = 255;

// The name with " (number)" put before its last dot, or at its end when it has no dot or only a
// leading one: "report (2).txt", "README (2)", ".bashrc (2)". Where that would pass
// kMaxNameOnDisk the part before the number is shortened. False when it does not fit capacity.
bool NumberedName(wchar_t* out, size_t capacity, const wchar_t* name, unsigned number);

// Removes one trailing separator, if there is one.
void RemoveTrailingSeparator(wchar_t* path);
// Removes one trailing separator, but never from a root: "/" would become the working folder,
// "X:\" the current folder of drive X, and "\\?\Volume{...}\" the volume's device (the provider
// in use says which roots need theirs).
void NormalizeFolder(PathBuffer& buffer);

// Writes "path too long %s\n" naming root, relativeFolder and name joined, cut so the line still
// ends in its line feed; counts as a failure of the run.
void ReportPathTooLong(const wchar_t* root, const wchar_t* relativeFolder, const wchar_t* name);
