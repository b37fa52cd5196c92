// Moving a destination file into Backup or Deleted without ever replacing what is already kept there.
#pragma once

#include <cstdint>
#include <cstddef>

// The longest name the file system takes: 255 UTF-16 units on Windows, 255 bytes on Linux.
constexpr size_t kMaxNameOnDisk = 255;
// The length of name's first count characters as the file system counts it.
size_t NameLengthOnDisk(const wchar_t* name, size_t count);

// The name with " (number)" put before its last dot, or at its end when it has no dot or only a
// leading one: "report (2).txt", "README (2)", ".bashrc (2)". Where that would pass
// kMaxNameOnDisk the part before the number is shortened. False when it does not fit capacity.
bool NumberedName(wchar_t* out, size_t capacity, const wchar_t* name, unsigned number);

// Moves file into destinationRoot\archiveName\relativeFolder (made as needed) as name, or as the
// first free numbered name when name is taken. A link on the way is named ("link in the way %s")
// and nothing moves; a kept file where a folder is needed moves aside first ("move kept file %s").
// On failure writes the reason (or "move %s failed: %u\n") and returns false; file then stays
// where it is. archiveReady, when given, says that an earlier call for the same relativeFolder in
// the same walk of it found the way there clear (the look is then spared), and is set once it is.
bool MoveAside(const wchar_t* file, const wchar_t* destinationRoot, const wchar_t* archiveName,
               const wchar_t* relativeFolder, const wchar_t* name, bool* archiveReady = nullptr);
