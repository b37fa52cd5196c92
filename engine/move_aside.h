// Moving a destination file into Backup or Deleted without ever replacing what is already kept there.
#pragma once

#include <cstdint>
#include <cstddef>

// The name with " (number)" put before its last dot, or at its end when it has no dot or only a
// leading one: "report (2).txt", "README (2)", ".bashrc (2)". False when it does not fit.
bool NumberedName(wchar_t* out, size_t capacity, const wchar_t* name, unsigned number);

// Moves file into destinationRoot\archiveName\relativeFolder (made as needed) as name, or as the
// first free numbered name when name is taken. On failure writes "move %s failed: %u\n" (or
// "path too long") and returns false; file then stays where it is.
bool MoveAside(const wchar_t* file, const wchar_t* destinationRoot, const wchar_t* archiveName,
               const wchar_t* relativeFolder, const wchar_t* name);
