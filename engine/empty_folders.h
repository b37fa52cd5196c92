// The empty-folder removal: the last step of every run.
#pragma once

// Removes every folder below root\relativeFolder that holds no file at any depth, deepest first.
// Returns 1 when root\relativeFolder holds no file, 0 otherwise; a folder that could not be listed
// to its end counts as holding files. The destination root itself (the call with no relative
// folder) is never removed.
int RemoveEmptyFolders(const wchar_t* root, const wchar_t* relativeFolder);
