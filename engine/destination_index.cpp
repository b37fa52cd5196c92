#include "engine/destination_index.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "engine/destination_times.h"
#include "engine/paths.h"
#include "engine/run_record.h"
#include "engine/walk.h"

namespace {

// One stored entry: what callers read, and the store's own links.
struct StoredEntry {
    IndexEntry entry;
    uint32_t name;          // where the name's bytes start in the name store
    uint32_t nextSameName;  // the next entry of this name in scan order; kNoIndexEntry at the end
};
static_assert(sizeof(StoredEntry) == 28, "an entry per destination file: keep it lean");

// One hash-table slot: the first and last entries of one name, and the name's hash.
struct IndexSlot {
    uint32_t first;
    uint32_t last;
    uint32_t hash;
};

// Memory in blocks that never move, so that what IndexedFile hands out stays where it is while
// the index grows, and growing never copies what is already stored.
struct DestinationIndexStore {
    std::vector<std::unique_ptr<StoredEntry[]>> entryBlocks;
    uint32_t entryCount = 0;
    std::vector<std::unique_ptr<unsigned char[]>> nameBlocks;
    uint32_t nameUsed = 0;  // bytes taken in the last name block
    std::unique_ptr<IndexSlot[]> slots;
    uint32_t slotMask = 0;  // slot count - 1 (a power of two), 0 while there is no table
    uint32_t nameCount = 0;
};
DestinationIndexStore DestinationIndex;

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

StoredEntry& EntryAt(uint32_t id) { return DestinationIndex.entryBlocks[id / kEntriesPerBlock][id % kEntriesPerBlock]; }

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

// What a full listing says of a plain file is what a query of it would say.
bool DescribesPlainFile(const FindEntry& entry) {
    return !(entry.attributes & (kFileAttributeDirectory | kFileAttributeReparsePoint | kFileAttributeDevice)) &&
           entry.error == 0;
}

// Adds a file after every entry of its name, described when its listing entry describes a plain
// file. Without memory for it the file stays out of the index: at worst it is copied again
// instead of moved, and nothing is lost.
uint32_t AddFile(const FindEntry& entry, uint32_t folder) {
    DestinationIndexStore& index = DestinationIndex;
    if (index.entryCount == kNoIndexEntry) return kNoIndexEntry;
    uint32_t id = index.entryCount;
    if (id / kEntriesPerBlock >= index.entryBlocks.size()) {
        std::unique_ptr<StoredEntry[]> block(new (std::nothrow) StoredEntry[kEntriesPerBlock]);
        if (!block) return kNoIndexEntry;
        index.entryBlocks.push_back(std::move(block));
    }
    unsigned char encoded[kMaxEncodedName];
    size_t length = EncodeName(entry.name, encoded);
    uint32_t hash = HashName(encoded, length);
    if (!MakeRoomForName()) return kNoIndexEntry;
    IndexSlot* slot = ProbeSlot(encoded, length, hash);
    StoredEntry& added = EntryAt(id);
    added = StoredEntry{IndexEntry{0, 0, FileTime{0, 0}, folder, 0}, 0, kNoIndexEntry};
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
    if (DescribesPlainFile(entry)) {
        added.entry.sizeHigh = entry.sizeHigh;
        added.entry.sizeLow = entry.sizeLow;
        added.entry.lastWriteTime = entry.lastWriteTime;
        added.entry.described = 1;
        NoteDestinationTime(entry.lastWriteTime);  // what the destination keeps shows in its files' times
    }
    return id;
}

const IndexSlot* FindSlot(const wchar_t* name) {
    if (!DestinationIndex.slots) return nullptr;
    unsigned char encoded[kMaxEncodedName];
    size_t length = EncodeName(name, encoded);
    const IndexSlot* slot = ProbeSlot(encoded, length, HashName(encoded, length));
    return slot->first == kNoIndexEntry ? nullptr : slot;
}

// Whether the entry describes a file of the source file's size and, within tolerance, its
// last-write time.
bool LooksAlike(const IndexEntry& entry, const FindEntry& sourceEntry, int64_t tolerance) {
    if (!entry.described) return false;
    if (entry.sizeLow != sourceEntry.sizeLow || entry.sizeHigh != sourceEntry.sizeHigh) return false;
    return DestinationTimeMatches(sourceEntry.lastWriteTime, entry.lastWriteTime, tolerance);
}

}  // namespace

ListingResult BuildDestinationIndex(const wchar_t* root, const wchar_t* relativeFolder) {
    if (!relativeFolder) {
        DestinationIndex = DestinationIndexStore();
        BeginRunRecord(root);
    }
    uint32_t folder = BeginScannedFolder(relativeFolder, DestinationIndex.entryCount);
    if (folder == kNoRecordedFolder) return kListingFailed;  // no memory: nothing below is known
    uint32_t unindexed = 0;  // entries listed that are no indexed file
    ListingResult result = ForEachEntry(root, relativeFolder, true, kFullEntries, true, [&](const FindEntry& entry) {
        ++unindexed;
        if (IsFolder(entry)) {
            if (IsAlwaysSkippedFolder(entry.name) || IsLinkedFolder(entry)) return;
            PathBuffer child;
            if (!ChildRelativeFolder(child, relativeFolder, entry.name)) {
                ReportPathTooLong(root, relativeFolder, entry.name);
                NoteTooLongFolder(folder, entry.name);
                return;
            }
            BuildDestinationIndex(root, child.text);
            return;
        }
        // What an interrupted copy of an earlier run left is no file of the user's: it is never
        // indexed, and the run removes it before any pass could take it for one.
        if (IsLeftoverCopyName(entry.name)) {
            NoteLeftover(folder, entry.name);
            return;
        }
        if (AddFile(entry, folder) != kNoIndexEntry) --unindexed;
    });
    EndScannedFolder(folder, DestinationIndex.entryCount, unindexed);
    return result;
}

uint32_t FindLookAlike(const FindEntry& sourceEntry, int64_t tolerance, uint32_t after) {
    uint32_t id = kNoIndexEntry;
    if (after != kNoIndexEntry) {
        id = EntryAt(after).nextSameName;
    } else if (const IndexSlot* slot = FindSlot(sourceEntry.name)) {
        id = slot->first;
    }
    for (; id != kNoIndexEntry; id = EntryAt(id).nextSameName) {
        if (LooksAlike(EntryAt(id).entry, sourceEntry, tolerance)) return id;
    }
    return kNoIndexEntry;
}

const IndexEntry& IndexedFile(uint32_t id) { return EntryAt(id).entry; }

void IndexedName(uint32_t id, wchar_t (&name)[kMaxEntryName + 1]) {
    const unsigned char* stored = NameAt(EntryAt(id).name);
    size_t at = 0;
    size_t total = GetVarint(stored, &at);
    total += at;
    size_t length = 0;
    while (at < total && length < kMaxEntryName) name[length++] = static_cast<wchar_t>(GetVarint(stored, &at));
    name[length] = L'\0';
}

const wchar_t* IndexedFolder(const IndexEntry& entry) { return RecordedRelativeFolder(entry.folder); }

void ListIndexedFiles(const wchar_t* relativeFolder, std::vector<uint64_t>* files) {
    files->clear();
    uint32_t folder = FindRecordedFolder(relativeFolder);
    if (folder == kNoRecordedFolder) return;
    const RecordedFolder info = RecordedFolderAt(folder);
    for (uint32_t id = info.firstFile; id < info.endFile; ++id) {
        const StoredEntry& stored = EntryAt(id);
        if (stored.entry.folder != folder) continue;
        const unsigned char* name = NameAt(stored.name);
        files->push_back(static_cast<uint64_t>(HashName(name, EncodedLength(name))) << 32 | id);
    }
    std::sort(files->begin(), files->end());
}

const IndexEntry* FindIndexedFile(const std::vector<uint64_t>& files, const wchar_t* name, uint32_t* id) {
    if (files.empty()) return nullptr;
    unsigned char encoded[kMaxEncodedName];
    size_t length = EncodeName(name, encoded);
    uint64_t hash = HashName(encoded, length);
    for (auto at = std::lower_bound(files.begin(), files.end(), hash << 32); at != files.end() && *at >> 32 == hash; ++at) {
        uint32_t found = static_cast<uint32_t>(*at);
        if (SameName(EntryAt(found).name, encoded, length)) {
            *id = found;
            return &EntryAt(found).entry;
        }
    }
    return nullptr;
}

uint32_t NextIndexedFileIn(const wchar_t* relativeFolder, const wchar_t* name, uint32_t after) {
    uint32_t folder = FindRecordedFolder(relativeFolder);
    const IndexSlot* slot = FindSlot(name);
    if (folder == kNoRecordedFolder || !slot) return kNoIndexEntry;
    for (uint32_t id = after != kNoIndexEntry ? EntryAt(after).nextSameName : slot->first; id != kNoIndexEntry;
         id = EntryAt(id).nextSameName) {
        if (EntryAt(id).entry.folder == folder) return id;
    }
    return kNoIndexEntry;
}

size_t IndexedFileCount() { return DestinationIndex.entryCount; }

size_t IndexedFileCount(const wchar_t* name) {
    const IndexSlot* slot = FindSlot(name);
    size_t count = 0;
    for (uint32_t id = slot ? slot->first : kNoIndexEntry; id != kNoIndexEntry; id = EntryAt(id).nextSameName) ++count;
    return count;
}
