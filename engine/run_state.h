// What one run keeps besides its folders: the count of failures it reported and the stop request.
#pragma once

#include <cstdint>

// Number of failure messages the current run has written.
uint32_t RunFailureCount();
void ResetRunFailures();
// Writes a failure message through WriteMessage and counts it.
void WriteFailure(const wchar_t* format, ...);

// Asks the run in progress to stop at its next entry or copy callback; safe from any thread
// or a signal handler.
void RequestStop();
bool StopRequested();
void ClearStopRequest();
