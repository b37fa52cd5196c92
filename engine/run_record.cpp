#include "engine/run_record.h"

#include <algorithm>
#include <cwchar>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>

#include "engine/paths.h"

namespace {

struct RunRecord {
    std::wstring root;  // the destination root of the scan
    std::vector<std::unique_ptr<wchar_t[]>> folders;  // relative folders by number; 0 is ""
    std::vector<RecordedFolder> folderInfo;           // by the same numbers
    std::unordered_map<std::wstring_view, uint32_t> folderNumbers;  // exact relative folder to number
    std::vector<std::pair<uint32_t, std::wstring>> tooLongFolders;  // met in folder, name
    std::vector<std::pair<uint32_t, std::wstring>> leftovers;       // leftover copies: folder, name
    uint32_t fileCount = 0;           // the files the scan has indexed so far
    std::vector<uint8_t> fileMarks;  // by file id
};
RunRecord g_record;

// Folder numbers stay below 2^31: the index keeps them in 31 bits.
constexpr uint32_t kMaxFolders = 0x7FFFFFFFu;

uint32_t ParentFolder(const wchar_t* relativeFolder) {
    const wchar_t* last = wcsrchr(relativeFolder, kPathSeparator);
    if (!last) return 0;
    std::wstring parent(relativeFolder, static_cast<size_t>(last - relativeFolder));
    return FindRecordedFolder(parent.c_str());
}

// Registers a folder with no files yet, lying at firstFile; kNoRecordedFolder without memory.
uint32_t AddFolder(const wchar_t* relativeFolder, uint32_t firstFile) {
    RunRecord& record = g_record;
    if (record.folders.size() >= kMaxFolders) return kNoRecordedFolder;
    uint32_t parent = ParentFolder(relativeFolder);
    size_t length = wcslen(relativeFolder);
    std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[length + 1]);
    if (!text) return kNoRecordedFolder;
    wmemcpy(text.get(), relativeFolder, length + 1);
    uint32_t number = static_cast<uint32_t>(record.folders.size());
    record.folderNumbers.emplace(std::wstring_view(text.get(), length), number);
    record.folders.push_back(std::move(text));
    record.folderInfo.push_back(RecordedFolder{firstFile, firstFile, parent, 0, 0, false});
    return number;
}

}  // namespace

void BeginRunRecord(const wchar_t* destinationRoot) {
    g_record = RunRecord();
    g_record.root = destinationRoot;
    g_record.folders.emplace_back(new wchar_t[1]{L'\0'});
    g_record.folderInfo.push_back(RecordedFolder{0, 0, kNoRecordedFolder, 0, 0, false});
}

bool RecordCovers(const wchar_t* destinationRoot) {
    return !g_record.folders.empty() && g_record.root == destinationRoot;
}

const wchar_t* RecordedRoot() { return g_record.root.c_str(); }

uint32_t BeginScannedFolder(const wchar_t* relativeFolder, uint32_t firstFile) {
    uint32_t folder = FindRecordedFolder(relativeFolder);
    if (folder == kNoRecordedFolder) folder = AddFolder(relativeFolder, firstFile);
    if (folder == kNoRecordedFolder) return kNoRecordedFolder;
    g_record.folderInfo[folder].firstFile = firstFile;
    g_record.folderInfo[folder].present = true;
    g_record.fileCount = std::max(g_record.fileCount, firstFile);
    return folder;
}

void EndScannedFolder(uint32_t folder, uint32_t endFile, uint32_t unindexedEntries) {
    RunRecord& record = g_record;
    record.folderInfo[folder].endFile = endFile;
    record.folderInfo[folder].unindexedEntries += unindexedEntries;
    record.fileCount = std::max(record.fileCount, endFile);
    if (record.fileMarks.size() < record.fileCount) record.fileMarks.resize(record.fileCount);
    // The root ends last: what growing left spare goes, one byte per file stays.
    if (folder == 0) record.fileMarks.shrink_to_fit();
}

void NoteTooLongFolder(uint32_t folder, const wchar_t* name) { g_record.tooLongFolders.emplace_back(folder, name); }

void NoteLeftover(uint32_t folder, const wchar_t* name) { g_record.leftovers.emplace_back(folder, name); }

uint32_t FindRecordedFolder(const wchar_t* relativeFolder) {
    const RunRecord& record = g_record;
    if (record.folders.empty()) return kNoRecordedFolder;
    if (!relativeFolder) return 0;
    auto it = record.folderNumbers.find(std::wstring_view(relativeFolder));
    return it == record.folderNumbers.end() ? kNoRecordedFolder : it->second;
}

const wchar_t* RecordedRelativeFolder(uint32_t folder) {
    const wchar_t* text = g_record.folders[folder].get();
    return text[0] != L'\0' ? text : nullptr;
}

uint32_t RecordedFolderCount() { return static_cast<uint32_t>(g_record.folderInfo.size()); }

RecordedFolder RecordedFolderAt(uint32_t folder) { return g_record.folderInfo[folder]; }

const std::vector<std::pair<uint32_t, std::wstring>>& TooLongFolders() { return g_record.tooLongFolders; }

const std::vector<std::pair<uint32_t, std::wstring>>& FoundLeftovers() { return g_record.leftovers; }

void NoteLeftoverRemoved(uint32_t folder) {
    if (folder < g_record.folderInfo.size()) --g_record.folderInfo[folder].unindexedEntries;
}

void NoteSourceFolder(const wchar_t* relativeFolder, uint32_t learned) {
    uint32_t folder = FindRecordedFolder(relativeFolder);
    if (folder == kNoRecordedFolder && relativeFolder && !g_record.folders.empty())
        folder = AddFolder(relativeFolder, g_record.fileCount);
    if (folder != kNoRecordedFolder) g_record.folderInfo[folder].sourceKnowledge |= learned;
}

uint32_t SourceFolderKnowledge(const wchar_t* relativeFolder) {
    uint32_t folder = FindRecordedFolder(relativeFolder);
    return folder == kNoRecordedFolder ? 0 : g_record.folderInfo[folder].sourceKnowledge;
}

void NoteArrivedFile(const wchar_t* relativeFolder) {
    uint32_t folder = FindRecordedFolder(relativeFolder);
    if (folder != kNoRecordedFolder) ++g_record.folderInfo[folder].unindexedEntries;
}

void NoteMadeFolder(const wchar_t* relativeFolder) {
    if (!relativeFolder || g_record.folders.empty()) return;
    uint32_t parent = ParentFolder(relativeFolder);
    if (parent == kNoRecordedFolder) return;
    uint32_t folder = FindRecordedFolder(relativeFolder);
    if (folder == kNoRecordedFolder) folder = AddFolder(relativeFolder, g_record.fileCount);
    if (folder == kNoRecordedFolder) return;
    RecordedFolder& made = g_record.folderInfo[folder];
    made.present = true;
    made.unindexedEntries += 2;  // "." and ".."
    ++g_record.folderInfo[parent].unindexedEntries;
}

uint32_t FileMarks(uint32_t file) { return file < g_record.fileMarks.size() ? g_record.fileMarks[file] : 0; }

void MarkSourceFileSeen(uint32_t file) { g_record.fileMarks[file] |= kSourceFileSeen; }

void NoteSourcePlace(uint32_t file, bool holdsFile) {
    g_record.fileMarks[file] |= holdsFile ? kSourcePlaceHeld : kSourcePlaceEmpty;
}

void MarkMovedAway(uint32_t file) { g_record.fileMarks[file] |= kMovedAway; }

void MarkTakenAsTwin(uint32_t file) { g_record.fileMarks[file] |= kMovedAway | kTakenAsTwin; }
