// Console text bound for a file or a pipe, written in blocks of whole messages instead of one
// write per message: a first copy writes several lines and progress pieces per file, and one system
// call for each cost a third of the run when the log was a file. What is held dies with a process
// killed outright (SIGKILL, TerminateProcess): its log may lack the messages of the last
// kConsoleBlockDelayMs, never more than one block. Every other end of a run flushes.
#pragma once

#include <cstddef>

// The largest block; a pipe may be given a smaller one.
constexpr size_t kConsoleBlockBytes = 64 * 1024;
// Held bytes go out at the latest this long after the oldest of them came, even when no further
// message comes, so a log that someone watches still moves.
constexpr unsigned kConsoleBlockDelayMs = 200;

// Adds one message's bytes to the held block, whole, behind those of every earlier call; the
// block goes out first when they do not fit into blockLimit bytes, and a message longer than that
// goes out alone. Safe from any thread.
void HoldConsoleBytes(const char* bytes, size_t size, size_t blockLimit);
// Writes the held block out now; returns once it is written (or its write failed).
void WriteHeldConsoleBytes();

// Platform: writes size bytes to standard output; true when all of them went.
bool WriteStandardOutput(const char* bytes, size_t size);
