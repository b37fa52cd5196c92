// The order of the log while work runs on more than one thread: each piece of work writes into a
// part of its own, and the parts reach the sink or the console in the order they were opened, so
// the log reads as if the pieces had run one after another.
#pragma once

#include <cstddef>
#include <cstdint>

// Opens a part behind every part opened so far and returns its number (never 0).
uint64_t OpenLogPart();
// The calling thread's later messages go into part; 0 sends them straight out, unordered.
void WriteIntoLogPart(uint64_t part);
// The part of the calling thread (0: none).
uint64_t CurrentLogPart();
// Ends part. Its messages, and those of every ended part behind it, go out once every part
// before it has ended; with discard, those it still holds are dropped instead (what was already
// out stays). Messages written into a part while it is first go out at once.
void CloseLogPart(uint64_t part, bool discard = false);
// With hold, a part's messages go out only once it has ended, even while it is first: the one
// who ends it still decides to discard them.
void HoldLogPartsUntilClosed(bool hold);

// Takes one finished message of the calling thread's part: true when it was held or sent, false
// when the thread writes into no part (the caller sends it itself).
bool RouteToLogPart(const wchar_t* text, size_t length);
