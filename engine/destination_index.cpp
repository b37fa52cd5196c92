#include "engine/destination_index.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>

#include "engine/destination_times.h"
#include "engine/paths.h"
#include "engine/walk.h"

DestinationIndexStore DestinationIndex;

namespace {

constexpr uint32_t kEntriesPerBlock = 4096;
constexpr uint32_t kNameBlockBytes = 64 * 1024;
constexpr uint32_t kFirstSlotCount = 1024;
// A name's code units, each in 7-bit groups with a continuation bit: one byte for ASCII, two up to
// U+3FFF, never more than five; distinct names always give distinct bytes.
constexpr size_t kMaxEncodedName = (kMaxEntryName + 1) * 5 + 5;

size_t PutVarint(unsigned char* out, uint32_t value) {
    size_t n = 0;
    while (value >= 0x80) {
        out[n++] = static_cast<unsigned char>(value | 0x80);
        value >>= 7;
    }
    out[n++] = static_cast<unsigned char>(value);
    return n;
}

// The stored form of a name: its byte count, then its bytes.
size_t EncodeName(const wchar_t* name, unsigned char (&out)[kMaxEncodedName]) {
    unsigned char bytes[kMaxEncodedName];
    size_t length = 0;
    for (size_t i = 0; name[i] != L'\0' && i < kMaxEntryName; ++i) {
        length += PutVarint(bytes + length, static_cast<uint32_t>(name[i]));
    }
    size_t prefix = PutVarint(out, static_cast<uint32_t>(length));
    memcpy(out + prefix, bytes, length);
    return prefix + length;
}

uint32_t HashName(const unsigned char* bytes, size_t length) {
    uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
    for (size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3ull;
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

IndexEntry& EntryAt(uint32_t id) { return DestinationIndex.entryBlocks[id / kEntriesPerBlock][id % kEntriesPerBlock]; }

const unsigned char* NameAt(uint32_t ref) {
    return DestinationIndex.nameBlocks[ref / kNameBlockBytes].get() + ref % kNameBlockBytes;
}

bool SameName(uint32_t ref, const unsigned char* encoded, size_t length) {
    const unsigned char* stored = NameAt(ref);
    return memcmp(stored, encoded, length) == 0;  // the byte count leads, so lengths are compared too
}

// Reads the value PutVarint wrote at in[*at] and steps *at past it.
uint32_t GetVarint(const unsigned char* in, size_t* at) {
    uint32_t value = 0;
    for (int shift = 0;; shift += 7) {
        unsigned char byte = in[(*at)++];
        value |= static_cast<uint32_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return value;
    }
}

// The stored form's byte count, its length prefix included.
size_t EncodedLength(const unsigned char* stored) {
    size_t at = 0;
    uint32_t length = GetVarint(stored, &at);
    return at + length;
}

// The number of a registered folder; kNoIndexEntry when there is none.
uint32_t FindFolder(const wchar_t* relativeFolder) {
    DestinationIndexStore& index = DestinationIndex;
    if (index.folders.empty()) return kNoIndexEntry;
    if (!relativeFolder) return 0;
    auto it = index.folderNumbers.find(std::wstring_view(relativeFolder));
    return it == index.folderNumbers.end() ? kNoIndexEntry : it->second;
}

uint32_t ParentFolder(const wchar_t* relativeFolder) {
    const wchar_t* last = wcsrchr(relativeFolder, kPathSeparator);
    if (!last) return 0;
    std::wstring parent(relativeFolder, static_cast<size_t>(last - relativeFolder));
    return FindFolder(parent.c_str());
}

// Registers a folder with no files yet; kNoIndexEntry without memory for it.
uint32_t AddFolder(const wchar_t* relativeFolder) {
    DestinationIndexStore& index = DestinationIndex;
    uint32_t parent = ParentFolder(relativeFolder);
    size_t length = wcslen(relativeFolder);
    std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[length + 1]);
    if (!text) return kNoIndexEntry;
    wmemcpy(text.get(), relativeFolder, length + 1);
    uint32_t number = static_cast<uint32_t>(index.folders.size());
    index.folderNumbers.emplace(std::wstring_view(text.get(), length), number);
    index.folders.push_back(std::move(text));
    index.folderInfo.push_back(IndexFolder{index.entryCount, index.entryCount, 0, parent, 0, false});
    return number;
}

void ClearIndex() {
    DestinationIndex = DestinationIndexStore();
    DestinationIndex.folders.emplace_back(new wchar_t[1]{L'\0'});
    DestinationIndex.folderInfo.push_back(IndexFolder{0, 0, 0, kNoIndexEntry, 0, false});
}

// The slot holding the name, or the empty slot where it would go.
IndexSlot* ProbeSlot(const unsigned char* encoded, size_t length, uint32_t hash) {
    DestinationIndexStore& index = DestinationIndex;
    for (uint32_t i = hash & index.slotMask;; i = (i + 1) & index.slotMask) {
        IndexSlot& slot = index.slots[i];
        if (slot.first == kNoIndexEntry) return &slot;
        if (slot.hash == hash && SameName(EntryAt(slot.first).name, encoded, length)) return &slot;
    }
}

// Keeps the table at most three quarters full; false when there is no memory for it.
bool MakeRoomForName() {
    DestinationIndexStore& index = DestinationIndex;
    uint64_t slotCount = index.slots ? static_cast<uint64_t>(index.slotMask) + 1 : 0;
    if ((static_cast<uint64_t>(index.nameCount) + 1) * 4 <= slotCount * 3) return true;
    uint64_t grown = slotCount ? slotCount * 2 : kFirstSlotCount;
    if (grown > (1ull << 31)) return false;
    std::unique_ptr<IndexSlot[]> slots(new (std::nothrow) IndexSlot[grown]);
    if (!slots) return false;
    for (uint64_t i = 0; i < grown; ++i) slots[i] = IndexSlot{kNoIndexEntry, kNoIndexEntry, 0};
    uint32_t mask = static_cast<uint32_t>(grown - 1);
    for (uint64_t i = 0; i < slotCount; ++i) {
        const IndexSlot& slot = index.slots[i];
        if (slot.first == kNoIndexEntry) continue;
        uint32_t j = slot.hash & mask;
        while (slots[j].first != kNoIndexEntry) j = (j + 1) & mask;
        slots[j] = slot;
    }
    index.slots = std::move(slots);
    index.slotMask = mask;
    return true;
}

// Copies an encoded name into the name store; false when there is no memory for it.
bool StoreName(const unsigned char* encoded, size_t length, uint32_t* ref) {
    DestinationIndexStore& index = DestinationIndex;
    if (index.nameBlocks.empty() || index.nameUsed + length > kNameBlockBytes) {
        if (index.nameBlocks.size() >= 0xFFFFFFFFu / kNameBlockBytes) return false;
        std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[kNameBlockBytes]);
        if (!block) return false;
        index.nameBlocks.push_back(std::move(block));
        index.nameUsed = 0;
    }
    memcpy(index.nameBlocks.back().get() + index.nameUsed, encoded, length);
    *ref = static_cast<uint32_t>(index.nameBlocks.size() - 1) * kNameBlockBytes + index.nameUsed;
    index.nameUsed += static_cast<uint32_t>(length);
    return true;
}

// Adds a file after every entry of its name. Without memory for it the file stays out of the
// index: at worst it is copied again instead of moved, and nothing is lost.
uint32_t AddFile(const FindEntry& entry, uint32_t folder) {
    DestinationIndexStore& index = DestinationIndex;
    if (index.entryCount == kNoIndexEntry) return kNoIndexEntry;
    uint32_t id = index.entryCount;
    if (id / kEntriesPerBlock >= index.entryBlocks.size()) {
        std::unique_ptr<IndexEntry[]> block(new (std::nothrow) IndexEntry[kEntriesPerBlock]);
        if (!block) return kNoIndexEntry;
        index.entryBlocks.push_back(std::move(block));
    }
    unsigned char encoded[kMaxEncodedName];
    size_t length = EncodeName(entry.name, encoded);
    uint32_t hash = HashName(encoded, length);
    if (!MakeRoomForName()) return kNoIndexEntry;
    IndexSlot* slot = ProbeSlot(encoded, length, hash);
    IndexEntry& added = EntryAt(id);
    added = IndexEntry{0, 0, FileTime{0, 0}, folder, 0, kNoIndexEntry, kValuesUnread};
    if (slot->first != kNoIndexEntry) {
        added.name = EntryAt(slot->first).name;
        EntryAt(slot->last).nextSameName = id;
        slot->last = id;
    } else {
        if (!StoreName(encoded, length, &added.name)) return kNoIndexEntry;
        *slot = IndexSlot{id, id, hash};
        ++index.nameCount;
    }
    ++index.entryCount;
    return id;
}

void TakeValues(IndexEntry& entry, uint32_t sizeHigh, uint32_t sizeLow, FileTime lastWriteTime) {
    entry.sizeHigh = sizeHigh;
    entry.sizeLow = sizeLow;
    entry.lastWriteTime = lastWriteTime;
    entry.values = (entry.values & ~kValuesMask) | kValuesRead;
    NoteDestinationTime(lastWriteTime);  // what the destination keeps shows in its files' times
}

// What a full listing says of a plain file is what a query of it would say.
bool DescribesPlainFile(const FindEntry& entry) {
    return !(entry.attributes & (kFileAttributeDirectory | kFileAttributeReparsePoint | kFileAttributeDevice)) &&
           entry.error == 0;
}

// A file whose whole path does not fit a path buffer cannot be queried later, but its folder's
// listing can still describe it: such files (rare) get their values from a full listing of the
// folder right after the scan's own listing of it.
void ReadValuesFromListing(const wchar_t* root, const wchar_t* relativeFolder, const std::vector<uint32_t>& ids) {
    ForEachEntry(root, relativeFolder, false, kFullEntries, false, [&](const FindEntry& listed) {
        if (!DescribesPlainFile(listed)) return;
        for (uint32_t id : ids) {
            IndexEntry& entry = EntryAt(id);
            if ((entry.values & kValuesMask) != kValuesUnread) continue;
            unsigned char encoded[kMaxEncodedName];
            size_t length = EncodeName(listed.name, encoded);
            if (SameName(entry.name, encoded, length)) TakeValues(entry, listed.sizeHigh, listed.sizeLow, listed.lastWriteTime);
        }
    });
}

// The first lookup that meets an entry reads its file's values. A link is never a twin: moved
// into place it would stand where the source has a file.
void ReadValues(IndexEntry& entry, const wchar_t* name) {
    const wchar_t* folder = IndexedFolder(entry);
    PathBuffer path;
    FileInfo info;
    entry.values = (entry.values & ~kValuesMask) | kValuesUnreadable;
    if (!ComposePath(path, DestinationIndex.root.c_str(), folder[0] != L'\0' ? folder : nullptr, name)) return;
    if (!FsGetAttributesEx(path.text, &info) ||
        (info.attributes & (kFileAttributeDirectory | kFileAttributeReparsePoint | kFileAttributeDevice)))
        return;
    TakeValues(entry, info.sizeHigh, info.sizeLow, info.lastWriteTime);
}

bool PathFits(const wchar_t* root, const wchar_t* relativeFolder, const wchar_t* name) {
    PathBuffer path;
    return ComposePath(path, root, relativeFolder, name);
}

const IndexSlot* FindSlot(const wchar_t* name) {
    if (!DestinationIndex.slots) return nullptr;
    unsigned char encoded[kMaxEncodedName];
    size_t length = EncodeName(name, encoded);
    const IndexSlot* slot = ProbeSlot(encoded, length, HashName(encoded, length));
    return slot->first == kNoIndexEntry ? nullptr : slot;
}

}  // namespace

ListingResult BuildDestinationIndex(const wchar_t* root, const wchar_t* relativeFolder) {
    if (!relativeFolder) {
        ClearIndex();
        DestinationIndex.root = root;
    }
    uint32_t folder = FindFolder(relativeFolder);
    if (folder == kNoIndexEntry) folder = AddFolder(relativeFolder);
    if (folder == kNoIndexEntry) return kListingFailed;  // no memory: nothing below is known
    DestinationIndex.folderInfo[folder].firstEntry = DestinationIndex.entryCount;
    DestinationIndex.folderInfo[folder].present = true;
    uint32_t others = 0;  // entries listed that are no indexed file
    EntryDetail detail = FsListingsCarrySizes() ? kFullEntries : kNamesAndTypes;
    std::vector<uint32_t> unreachable;  // files whose path does not fit; nearly always none
    ListingResult result = ForEachEntry(root, relativeFolder, true, detail, true, [&](const FindEntry& entry) {
        ++others;
        if (IsFolder(entry)) {
            if (IsAlwaysSkippedFolder(entry.name) || IsLinkedFolder(entry)) return;
            PathBuffer child;
            if (!ChildRelativeFolder(child, relativeFolder, entry.name)) {
                ReportPathTooLong(root, relativeFolder, entry.name);
                DestinationIndex.tooLongFolders.emplace_back(folder, entry.name);
                return;
            }
            BuildDestinationIndex(root, child.text);
            return;
        }
        // What an interrupted copy of an earlier run left is no file of the user's: it is never
        // indexed, and the run removes it before any pass could take it for one.
        if (IsLeftoverCopyName(entry.name)) {
            DestinationIndex.leftovers.emplace_back(folder, entry.name);
            return;
        }
        uint32_t id = AddFile(entry, folder);
        if (id == kNoIndexEntry) return;
        --others;
        if (detail == kFullEntries && DescribesPlainFile(entry)) {
            TakeValues(EntryAt(id), entry.sizeHigh, entry.sizeLow, entry.lastWriteTime);
        } else if (!PathFits(root, relativeFolder, entry.name)) {
            unreachable.push_back(id);
        }
    });
    DestinationIndex.folderInfo[folder].endEntry = DestinationIndex.entryCount;
    DestinationIndex.folderInfo[folder].otherEntries += others;
    if (!unreachable.empty()) ReadValuesFromListing(root, relativeFolder, unreachable);
    return result;
}

namespace {

// Whether the entry has the source file's size and, within tolerance, its last-write time.
bool LooksAlike(IndexEntry& entry, const FindEntry& sourceEntry, int64_t tolerance) {
    if ((entry.values & kValuesMask) == kValuesUnread) ReadValues(entry, sourceEntry.name);
    if ((entry.values & kValuesMask) != kValuesRead) return false;
    if (entry.sizeLow != sourceEntry.sizeLow || entry.sizeHigh != sourceEntry.sizeHigh) return false;
    return DestinationTimeMatches(sourceEntry.lastWriteTime, entry.lastWriteTime, tolerance);
}

}  // namespace

IndexEntry* FindMovedCounterpart(const FindEntry& sourceEntry, const wchar_t* sourceRoot, int64_t tolerance,
                                 const IndexEntry* after) {
    uint32_t id = kNoIndexEntry;
    if (after) {
        id = after->nextSameName;
    } else if (const IndexSlot* slot = FindSlot(sourceEntry.name)) {
        id = slot->first;
    }
    for (; id != kNoIndexEntry; id = EntryAt(id).nextSameName) {
        IndexEntry& candidate = EntryAt(id);
        // Moved away (as a twin, or into Backup): nothing of it is at its place any more.
        if (candidate.values & kMovedAway) continue;
        if (!LooksAlike(candidate, sourceEntry, tolerance)) continue;
        if (candidate.values & (kSourceFileSeen | kSourcePlaceHeld)) continue;
        if (!(candidate.values & kSourcePlaceEmpty)) {
            PathBuffer sourcePlace;
            const wchar_t* folder = IndexedFolder(candidate);
            if (folder[0] == L'\0') folder = nullptr;
            // A place that cannot even be named cannot be checked: never take that candidate.
            FileInfo info;
            bool empty = ComposePath(sourcePlace, sourceRoot, folder, sourceEntry.name) &&
                         (!FsGetAttributesEx(sourcePlace.text, &info) || (info.attributes & kFileAttributeDirectory));
            candidate.values |= empty ? kSourcePlaceEmpty : kSourcePlaceHeld;
            if (!empty) continue;
        }
        return &candidate;
    }
    return nullptr;
}

size_t TakenTwinCount(const FindEntry& sourceEntry, int64_t tolerance) {
    const IndexSlot* slot = FindSlot(sourceEntry.name);
    size_t count = 0;
    for (uint32_t id = slot ? slot->first : kNoIndexEntry; id != kNoIndexEntry; id = EntryAt(id).nextSameName) {
        IndexEntry& entry = EntryAt(id);
        if ((entry.values & kTakenAsTwin) && LooksAlike(entry, sourceEntry, tolerance)) ++count;
    }
    return count;
}

void ListIndexedFiles(const wchar_t* relativeFolder, std::vector<uint64_t>* files) {
    files->clear();
    uint32_t folder = FindFolder(relativeFolder);
    if (folder == kNoIndexEntry) return;
    const IndexFolder& info = DestinationIndex.folderInfo[folder];
    for (uint32_t id = info.firstEntry; id < info.endEntry; ++id) {
        const IndexEntry& entry = EntryAt(id);
        if (entry.folder != folder) continue;
        const unsigned char* stored = NameAt(entry.name);
        files->push_back(static_cast<uint64_t>(HashName(stored, EncodedLength(stored))) << 32 | id);
    }
    std::sort(files->begin(), files->end());
}

IndexEntry* FindIndexedFile(const std::vector<uint64_t>& files, const wchar_t* name) {
    if (files.empty()) return nullptr;
    unsigned char encoded[kMaxEncodedName];
    size_t length = EncodeName(name, encoded);
    uint64_t hash = HashName(encoded, length);
    for (auto at = std::lower_bound(files.begin(), files.end(), hash << 32); at != files.end() && *at >> 32 == hash; ++at) {
        uint32_t id = static_cast<uint32_t>(*at);
        if (SameName(EntryAt(id).name, encoded, length)) return &EntryAt(id);
    }
    return nullptr;
}

bool HoldsCurrentValues(const IndexEntry& entry) {
    return (entry.values & kValuesMask) == kValuesRead && !(entry.values & kMovedAway);
}

void NoteSourceFolder(const wchar_t* relativeFolder, uint32_t learned) {
    uint32_t folder = FindFolder(relativeFolder);
    if (folder == kNoIndexEntry && relativeFolder && !DestinationIndex.folders.empty()) folder = AddFolder(relativeFolder);
    if (folder != kNoIndexEntry) DestinationIndex.folderInfo[folder].source |= learned;
}

uint32_t SourceFolderKnowledge(const wchar_t* relativeFolder) {
    uint32_t folder = FindFolder(relativeFolder);
    return folder == kNoIndexEntry ? 0 : DestinationIndex.folderInfo[folder].source;
}

void MarkSourceFileSeen(IndexEntry& entry) { entry.values |= kSourceFileSeen; }
void MarkMovedAway(IndexEntry& entry) { entry.values |= kMovedAway; }
void MarkTakenAsTwin(IndexEntry& entry) { entry.values |= kMovedAway | kTakenAsTwin; }

void ForgetIndexedFile(const wchar_t* relativeFolder, const wchar_t* name) {
    uint32_t folder = FindFolder(relativeFolder);
    const IndexSlot* slot = FindSlot(name);
    if (folder == kNoIndexEntry || !slot) return;
    for (uint32_t id = slot->first; id != kNoIndexEntry; id = EntryAt(id).nextSameName) {
        if (EntryAt(id).folder == folder) EntryAt(id).values |= kMovedAway;
    }
}

void NoteArrivedFile(const wchar_t* relativeFolder) {
    uint32_t folder = FindFolder(relativeFolder);
    if (folder != kNoIndexEntry) ++DestinationIndex.folderInfo[folder].otherEntries;
}

void NoteMadeFolder(const wchar_t* relativeFolder) {
    if (!relativeFolder || DestinationIndex.folders.empty()) return;
    uint32_t parent = ParentFolder(relativeFolder);
    if (parent == kNoIndexEntry) return;
    uint32_t folder = FindFolder(relativeFolder);
    if (folder == kNoIndexEntry) folder = AddFolder(relativeFolder);
    if (folder == kNoIndexEntry) return;
    IndexFolder& made = DestinationIndex.folderInfo[folder];
    made.present = true;
    made.otherEntries += 2;  // "." and ".."
    ++DestinationIndex.folderInfo[parent].otherEntries;
}

const std::vector<std::pair<uint32_t, std::wstring>>& FoundLeftovers() { return DestinationIndex.leftovers; }

void NoteLeftoverRemoved(uint32_t folder) {
    if (folder < DestinationIndex.folderInfo.size()) --DestinationIndex.folderInfo[folder].otherEntries;
}

const wchar_t* IndexedFolderText(uint32_t folder) {
    const wchar_t* text = DestinationIndex.folders[folder].get();
    return text[0] != L'\0' ? text : nullptr;
}

const std::vector<std::pair<uint32_t, std::wstring>>& TooLongFolders() { return DestinationIndex.tooLongFolders; }

IndexEntry& IndexedFile(uint32_t id) { return EntryAt(id); }

void IndexedName(const IndexEntry& entry, wchar_t (&name)[kMaxEntryName + 1]) {
    const unsigned char* stored = NameAt(entry.name);
    size_t at = 0;
    size_t total = GetVarint(stored, &at);
    total += at;
    size_t length = 0;
    while (at < total && length < kMaxEntryName) name[length++] = static_cast<wchar_t>(GetVarint(stored, &at));
    name[length] = L'\0';
}

const wchar_t* IndexedFolder(const IndexEntry& entry) { return DestinationIndex.folders[entry.folder].get(); }

size_t IndexedFileCount() { return DestinationIndex.entryCount; }

size_t IndexedFileCount(const wchar_t* name) {
    const IndexSlot* slot = FindSlot(name);
    size_t count = 0;
    for (uint32_t id = slot ? slot->first : kNoIndexEntry; id != kNoIndexEntry; id = EntryAt(id).nextSameName) ++count;
    return count;
}
