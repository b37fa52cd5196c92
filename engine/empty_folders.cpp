#include "engine/empty_folders.h"

#include "engine/destination_changes.h"
#include "engine/paths.h"
#include "engine/run_state.h"
#include "engine/walk.h"

int RemoveEmptyFolders(const wchar_t* root, const wchar_t* relativeFolder) {
    int empty = 1;
    ListingResult listed = ForEachEntry(root, relativeFolder, false, kNamesAndTypes, true, [&](const FindEntry& entry) {
        if (!IsFolder(entry)) {
            empty = 0;
            return;
        }
        if (IsAlwaysSkippedFolder(entry.name)) return;
        if (IsLinkedFolder(entry)) {
            empty = 0;  // a link is left alone, and its folder with it
            return;
        }
        PathBuffer child;
        if (!ChildRelativeFolder(child, relativeFolder, entry.name)) {
            ReportPathTooLong(root, relativeFolder, entry.name);
            empty = 0;  // what cannot be named is not known to be empty
            return;
        }
        empty &= RemoveEmptyFolders(root, child.text);
    });
    // A folder not listed to its end (it cannot be read, or a stop cut the listing short) is not
    // known to be empty: it stays, and so does every folder above it.
    if (listed != kListingComplete || !empty) return 0;
    // The destination root is the user's folder: emptying it never removes it.
    if (!relativeFolder) return 1;
    RemoveEmptyFolder(root, relativeFolder);
    return 1;
}
