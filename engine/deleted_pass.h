// The deleted-files pass: destination files whose source is gone are moved into Deleted.
#pragma once

// Goes through destination\relativeFolder and below as a counting walk would, passing over every
// folder named Deleted or Backup. Called for the whole destination right after the index scan and
// the copy pass of the same run, it takes the destination from the index scan's record and what
// the copy pass noted in it, and lists neither tree again; otherwise it walks the listings.
void MoveDeletedPass(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder);
