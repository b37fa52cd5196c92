// The copy progress line: a percentage and a 60-cell bar, redrawn in place with a carriage return
// and erased when the copy is complete.
#pragma once

#include <cstdint>

// Writes the progress line for fraction (0.0 to 1.0) unless its whole percentage is already shown;
// at 100 % also writes the line that erases it.
void ShowCopyProgress(double fraction);
// What CopyProgressRoutine answers: the copy goes on. The same value as the file-system layer's
// kCopyContinue, so the routine serves as a copy's progress callback (its caller checks that).
constexpr uint32_t kProgressContinue = 0;
// Progress callback of a copy: passes an update on at most every 80 ms, and always the last one.
// Always returns kProgressContinue.
uint32_t CopyProgressRoutine(int64_t totalSize, int64_t transferred);

// Millisecond tick source (the system's tick count unless a test installs its own).
using TickSource = uint32_t (*)();
// Later progress callbacks take their time from source; null goes back to SystemTickCount.
void SetTickSource(TickSource source);
// The system's millisecond tick count, wrapping at 2^32 (the platform's console file gives it).
uint32_t SystemTickCount();
// Forgets the remembered percentage and tick, as at process start (for tests).
void ResetCopyProgress();
