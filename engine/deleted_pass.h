// The deleted-files pass: destination files whose source is gone are moved into Deleted. Called for
// the whole destination right after the index scan and the copy pass of the same run, it lists
// neither tree again: it replays the destination from the run record (engine/run_record.h), with
// what the copy pass noted there; otherwise it walks the listings.
#pragma once

// Moves into Deleted each file of destination\relativeFolder and below whose source is gone, counting
// entries as a walk would and passing over every folder named Deleted or Backup.
void MoveDeletedPass(const wchar_t* sourceRoot, const wchar_t* destinationRoot, const wchar_t* relativeFolder);
