#include "engine/same_content.h"

#include <cstring>
#include <new>

namespace {

// Large enough that a whole typical look-alike (a source file, a small document) is one read.
constexpr size_t kBlock = 64 * 1024;

// Fills buffer with the bytes at offset up to want (short only at the end of the file); false on
// a read failure.
bool ReadFully(ReadHandle file, uint64_t offset, unsigned char* buffer, size_t want, size_t* got) {
    *got = 0;
    while (*got < want) {
        size_t n = 0;
        if (FsReadAt(file, offset + *got, buffer + *got, want - *got, &n) != 0) return false;
        if (n == 0) break;
        *got += n;
    }
    return true;
}

// Whether the file ends at size: a file that grew since it was described is no longer the one
// that was compared.
ContentVerdict EndsAt(ReadHandle file, uint64_t size, bool sourceSide) {
    unsigned char probe;
    size_t n = 0;
    if (FsReadAt(file, size, &probe, 1, &n) != 0) return sourceSide ? kSourceUnreadable : kCandidateUnreadable;
    return n == 0 ? kContentEqual : kContentDiffers;
}

uint64_t Digest(const unsigned char* bytes, size_t length) {
    uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
    for (size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3ull;
    return hash;
}

size_t HeadLength(uint64_t size) { return size < kHeadDigestBytes ? static_cast<size_t>(size) : kHeadDigestBytes; }

}  // namespace

bool OpenContentSource(const wchar_t* path, uint64_t size, ContentSource* source) {
    *source = ContentSource();
    source->size = size;
    source->head.reset(new (std::nothrow) unsigned char[kBlock]);
    source->block.reset(new (std::nothrow) unsigned char[kBlock]);
    source->other.reset(new (std::nothrow) unsigned char[kBlock]);
    if (!source->head || !source->block || !source->other) return false;
    if (FsOpenRead(path, &source->file) != 0) {
        source->file = nullptr;
        return false;
    }
    size_t want = size < kBlock ? static_cast<size_t>(size) : kBlock;
    size_t got = 0;
    if (!ReadFully(source->file, 0, source->head.get(), want, &got) || got != want) {
        CloseContentSource(*source);
        return false;
    }
    return true;
}

ContentVerdict CompareWithSource(ContentSource& source, const wchar_t* path) {
    ReadHandle candidate = nullptr;
    if (FsOpenRead(path, &candidate) != 0) return kCandidateUnreadable;
    ContentVerdict verdict = kContentEqual;
    for (uint64_t offset = 0; offset < source.size && verdict == kContentEqual;) {
        size_t want = source.size - offset < kBlock ? static_cast<size_t>(source.size - offset) : kBlock;
        const unsigned char* mine = source.head.get();
        size_t got = 0;
        if (offset > 0) {
            if (!ReadFully(source.file, offset, source.block.get(), want, &got)) {
                verdict = kSourceUnreadable;
                break;
            }
            if (got != want) {  // the source shrank: nothing it held can be proven now
                verdict = kSourceUnreadable;
                break;
            }
            mine = source.block.get();
        }
        if (!ReadFully(candidate, offset, source.other.get(), want, &got)) {
            verdict = kCandidateUnreadable;
        } else if (got != want || memcmp(mine, source.other.get(), want) != 0) {
            verdict = kContentDiffers;
        }
        offset += want;
    }
    if (verdict == kContentEqual) verdict = EndsAt(candidate, source.size, false);
    if (verdict == kContentEqual) verdict = EndsAt(source.file, source.size, true) == kContentEqual ? kContentEqual : kSourceUnreadable;
    FsCloseRead(candidate);
    return verdict;
}

void CloseContentSource(ContentSource& source) {
    if (source.file) FsCloseRead(source.file);
    source.file = nullptr;
}

uint64_t SourceHeadDigest(const ContentSource& source) { return Digest(source.head.get(), HeadLength(source.size)); }

ContentVerdict CompareHead(ContentSource& source, const wchar_t* path, uint64_t* digest) {
    ReadHandle file = nullptr;
    if (FsOpenRead(path, &file) != 0) return kCandidateUnreadable;
    size_t want = HeadLength(source.size);
    size_t got = 0;
    ContentVerdict verdict = kContentHeadEqual;
    if (!ReadFully(file, 0, source.other.get(), want, &got)) {
        verdict = kCandidateUnreadable;
    } else {
        *digest = Digest(source.other.get(), got);
        if (got != want) *digest = ~*digest;  // a file that shrank begins as no file of this size
        if (got != want || memcmp(source.other.get(), source.head.get(), want) != 0) verdict = kContentDiffers;
        else if (want == source.size) verdict = EndsAt(file, source.size, false);
    }
    FsCloseRead(file);
    return verdict;
}
