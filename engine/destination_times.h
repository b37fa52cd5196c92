// What a run learns about the last-write times the destination keeps.
//
// Many destinations cannot keep a copy's time as the source has it: whole seconds (ext4 with
// small inodes, many network shares that report "NTFS"), 10 ms (exFAT), 2 s (FAT), or a narrower
// range of dates, clamped at its bounds. The two volumes may still report one file-system name, so
// the two-second rule does not apply; compared exactly, every such copy would go into Backup and
// be copied again on every run. Nothing is kept on disk: the run learns from what the destination
// shows (every destination time it sees) and from reading back what a few of its copies stored.
//
// Precision: the coarsest of 2 s, 1 s, 10 ms, 1 ms and 1 us that divides every destination time
// seen; one time with a finer part makes it exact (100 ns). Range: a destination time at a clamp
// bound (a known file-system limit, or one a read-back showed), with no destination time seen
// beyond it, stands for every source time beyond it.
//
// The copies may run on a worker thread: every call may come from any thread.
#pragma once

#include <cstdint>

#include "engine/fs/file_system.h"

// Forgets what an earlier run learned; every run starts from what it sees itself.
void ResetDestinationTimes();
// Takes in the last-write time of a destination file as a listing, a query or a read-back saw it.
void NoteDestinationTime(FileTime time);
// Whether the destination time stands for the source time: within tolerance (the two-second
// rule), equal, the source time truncated or rounded up to the precision the destination's times
// show, or a clamp bound of the destination with the source time beyond it.
bool DestinationTimeMatches(FileTime sourceTime, FileTime destinationTime, int64_t tolerance);
// After a copy to destinationFile of a file of sourceTime and size: reads back the time the
// destination stored, but only while that can still teach something (a source time with a part
// finer than the precision learned so far, or a date outside the range known to be kept).
void LearnFromCopy(const wchar_t* destinationFile, FileTime sourceTime, uint64_t size);
