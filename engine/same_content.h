// Byte-for-byte comparison of a source file with look-alike destination files (same name, size
// and time), so that a twin is moved only when it holds what the source file holds.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/fs/file_system.h"

// A source file opened once for a series of comparisons; its first block is read only once.
struct ContentSource {
    ReadHandle file = nullptr;
    uint64_t size = 0;
    std::unique_ptr<unsigned char[]> head;    // the source's first block, read when it is opened
    std::unique_ptr<unsigned char[]> block;   // the source's further blocks
    std::unique_ptr<unsigned char[]> other;   // the candidate's
};

enum ContentVerdict {
    kContentEqual,
    kContentDiffers,            // also a candidate that turns out longer or shorter than size
    kCandidateUnreadable,       // proves nothing; the source may still match another candidate
    kSourceUnreadable,          // no comparison can prove anything any more
    kContentHeadEqual,          // the first bytes are equal; the rest is still to be compared
};

// Opens the source file at path, expected to hold size bytes, and reads its first block; false
// when it cannot be read or holds fewer bytes (a copy of it then reports why, or takes it as it is).
bool OpenContentSource(const wchar_t* path, uint64_t size, ContentSource* source);
// Compares the candidate file at path with the source, stopping at the first difference.
ContentVerdict CompareWithSource(ContentSource& source, const wchar_t* path);
void CloseContentSource(ContentSource& source);

// A digest of the first bytes (at most kHeadDigestBytes) of a file of the source's size: look-
// alikes whose beginnings differ are told apart by it without a comparison each. Equal digests
// prove nothing; only the bytes do.
constexpr size_t kHeadDigestBytes = 4096;
uint64_t SourceHeadDigest(const ContentSource& source);
// Reads the candidate's first bytes once: their digest into *digest, and the verdict as far as
// they tell: kContentDiffers, kCandidateUnreadable, kContentEqual for a file no longer than them
// that equals the source to its end, or kContentHeadEqual where only CompareWithSource can tell.
ContentVerdict CompareHead(ContentSource& source, const wchar_t* path, uint64_t* digest);
