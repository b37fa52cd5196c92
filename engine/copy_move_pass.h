// The copy-and-move pass: walks the source and brings each file's place in the destination up to
// date by moving a moved twin, backing up a changed file, or copying.
#pragma once

#include <cstdint>

#include "engine/fs/file_system.h"
#include "engine/walk.h"

// Walks source\relativeFolder and below (a counting walk); the result is how the listing of
// source\relativeFolder itself ended. Folders that cannot be listed are reported; a source link
// that leads back onto the walk path or into the destination is named and not walked; a link in
// the destination where the source has a folder is reported and nothing is written through it.
ListingResult CopyAndMovePass(const wchar_t* sourceRoot, const wchar_t* destinationRoot,
                              const wchar_t* relativeFolder, bool differentFileSystems);

// Source file (1) and destination file (2) have one size, and the destination's time stands for
// the source's as the destination keeps times (DestinationTimeMatches); with
// differentFileSystems the times may also differ by up to 2 s.
bool FilesAreEqual(uint32_t sizeHigh1, uint32_t sizeLow1, FileTime time1,
                   uint32_t sizeHigh2, uint32_t sizeLow2, FileTime time2, bool differentFileSystems);
