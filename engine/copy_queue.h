// The copies of the copy pass, overlapped on a worker thread where the provider allows it and
// the machine has a second core, while the walk goes on. The log reads exactly as one copy at a
// time writes it: each copy's lines (its "copy file" line, its progress, a failure) come in the
// order the copies were queued, and the walk's own lines after those of every copy queued before.
// The walk waits for the queued copies before it touches a place one of them writes.
#pragma once

#include <cstdint>

#include "engine/fs/file_system.h"

// One copy with its lines (a failure named, a copy abandoned for a stop not): true when the file
// arrived; *abandoned when the copy gave way to a stop.
using CopyRunner = bool (*)(const wchar_t* source, const wchar_t* destination, FileTime sourceTime, uint64_t size,
                            bool* abandoned);

// Starts the worker for one pass, where copies may overlap; without it each copy runs at once on
// the calling thread (which otherwise copies too whenever a copy already waits for the worker).
// Until EndCopyQueue the calling thread's messages keep their place behind those of the copies it
// queued before them.
void BeginCopyQueue(CopyRunner run);
// Waits for the queued copies and stops the worker; the calling thread writes straight out again.
void EndCopyQueue();

// Runs the pass's runner for sourceFile and destinationFile, on the worker or on the calling thread. One that has
// not started when a stop is requested never starts; one abandoned for a stop leaves none of its
// lines that were still held. name is the destination file's name in its folder; sourceTime and
// size are the source file's as its listing gave them (a copy that arrived may read back the time
// the destination stored).
void QueueCopy(const wchar_t* sourceFile, const wchar_t* destinationFile, const wchar_t* name, FileTime sourceTime,
               uint64_t size);
// Whether a copy queued and not yet waited for writes a file that name also names in that folder.
bool CopyQueuedFor(const wchar_t* name);
// Runs the queued copies not yet started and waits until every one has ended and its lines are
// out; the number of them that brought their file since the last wait.
uint32_t WaitForQueuedCopies();
