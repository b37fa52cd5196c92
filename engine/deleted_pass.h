// The deleted-files pass: destination files whose source is gone are moved into Deleted.
#pragma once

// Walks destination\relativeFolder and below (a counting walk), passing over every folder named
// Deleted or Backup.
void MoveDeletedPass(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder);
