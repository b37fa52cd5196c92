// The engine's one entry point.
#pragma once

#include <cstdint>

// Runs one synchronization from an argument vector (program name, source, destination, optional
// "d" or a date). Returns 0 done, 1 usage or a folder problem, 2 done with failures, 3 stopped.
int32_t RunSync(int32_t argc, const wchar_t* const* argv);

// Set per run: true when the two volumes report different file-system names.
extern bool DifferentFileSystems;

// The product's long name and the maker's lines, shared by the banner and the About box.
extern const wchar_t kLongProductName[];
extern const wchar_t kMakerDomain[];
extern const wchar_t kMakerNotice[];
