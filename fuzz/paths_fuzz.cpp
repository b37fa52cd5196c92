// The path rules on any texts: the bounded joins, the folder chain on the in-memory file system
// and the numbered names of Backup and Deleted. Beside the sanitizers' own checks:
//   - each bounded join gives exactly the unbounded join when that fits a PathBuffer, and reports
//     false otherwise (AppendPathPart then leaves the buffer as it was);
//   - the destination's folder chain makes only the folders of its relative folder, top first,
//     none at or below a file or a link in the way; ends ready only with the whole folder there,
//     failed only with an error number, and reported only for a link, named once;
//   - NumberedName puts " (n)" before the last dot (not a leading one) or at the end; where that
//     passes the file system's 255-byte name limit, it keeps the longest start of the part before
//     the number (of the whole name, when the extension leaves no room) that fits; and it says
//     false exactly when the result does not fit its buffer.
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs/file_system.h"
#include "tests/support/fs_memory.h"
#include "engine/destination_changes.h"
#include "engine/paths.h"
#include "engine/run_state.h"
#include "fuzz/fuzz_text.h"
#include "output/message.h"
#include "engine/fs/text_encoding.h"

namespace {

const std::wstring kSep(1, kPathSeparator);

// The join rule without any bound: one separator unless the text so far is empty or ends in one.
std::wstring Join(const std::wstring& text, const std::wstring& part) {
    return text.empty() || text.back() == kPathSeparator ? text + part : text + kSep + part;
}

bool Holds(const PathBuffer& buffer, const std::wstring& text) {
    return text.size() <= kMaxPath && wcscmp(buffer.text, text.c_str()) == 0;
}

// Texts of the input with the separator made likely: '|' stands for it.
std::wstring Part(FuzzBytes& bytes, size_t limit) {
    std::wstring text = bytes.Text(limit);
    for (wchar_t& c : text) {
        if (c == L'|') c = kPathSeparator;
    }
    // Long parts cheaply: '~' followed by a count repeats the previous character.
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'~' && !out.empty() && i + 1 < text.size()) {
            out.append(static_cast<size_t>(text[++i]) % 1100, out.back());
        } else {
            out += text[i];
        }
    }
    return out;
}

void CheckJoins(const std::wstring& root, const std::wstring& rel, const std::wstring& last, bool withRel) {
    PathBuffer buffer;
    bool copied = CopyPath(buffer, root.c_str());
    if (copied != (root.size() <= kMaxPath) || (copied ? !Holds(buffer, root) : buffer.text[0] != L'\0')) abort();

    if (copied) {
        std::wstring expected = Join(root, last);
        bool appended = AppendPathPart(buffer, last.c_str());
        if (appended != (expected.size() <= kMaxPath)) abort();
        if (!Holds(buffer, appended ? expected : root)) abort();
    }

    std::wstring composed = withRel ? Join(root, rel) + kSep + last : Join(root, last);
    bool fits = ComposePath(buffer, root.c_str(), withRel ? rel.c_str() : nullptr, last.c_str());
    if (fits != (composed.size() <= kMaxPath) || (fits && !Holds(buffer, composed))) abort();
    if (wcslen(buffer.text) > kMaxPath) abort();

    std::wstring folder = withRel ? Join(root, rel) : root;
    fits = FolderPath(buffer, root.c_str(), withRel ? rel.c_str() : nullptr);
    if (fits != (folder.size() <= kMaxPath) || (fits && !Holds(buffer, folder))) abort();

    std::wstring child = withRel ? Join(rel, last) : last;
    fits = ChildRelativeFolder(buffer, withRel ? rel.c_str() : nullptr, last.c_str());
    if (fits != (child.size() <= kMaxPath) || (fits && !Holds(buffer, child))) abort();

    std::vector<wchar_t> trimmed(root.begin(), root.end());
    trimmed.push_back(L'\0');
    RemoveTrailingSeparator(trimmed.data());
    std::wstring expectedTrim = !root.empty() && root.back() == kPathSeparator ? root.substr(0, root.size() - 1) : root;
    if (expectedTrim != trimmed.data()) abort();
}

// True when the in-memory file system sees a name in path: it passes over a drive prefix ("C:")
// and empty parts.
bool NamesSomething(const std::wstring& path) {
    size_t start = path.size() >= 2 && path[1] == L':' ? 2 : 0;
    return path.find_first_not_of(kPathSeparator, start) != std::wstring::npos;
}

// The parts of a relative folder, as the chain walks them (empty parts between separators too).
std::vector<std::wstring> Parts(const std::wstring& rel) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start < rel.size()) {
        size_t end = rel.find(kPathSeparator, start);
        if (end == std::wstring::npos) end = rel.size();
        parts.push_back(rel.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// root exists; one of the chain's folders may be taken by a file or a link (blockAt, by position),
// and the creation of another may fail (failAt).
void CheckChain(const std::wstring& root, const std::wstring& rel, uint8_t blockAt, uint8_t failAt) {
    MemFsReset();
    ResetRunFailures();
    if (!NamesSomething(root) || root.size() > kMaxPath) return;
    MemFsAddFolder(root);
    std::vector<std::wstring> prefixes;  // root\part1, root\part1\part2, ...
    std::wstring prefix = root;
    for (const std::wstring& part : Parts(rel)) {
        prefix = Join(prefix, part);
        prefixes.push_back(prefix);
    }
    bool fileInTheWay = false, linkInTheWay = false;
    size_t blocked = blockAt % 8, failing = failAt % 8;
    if (blocked < prefixes.size() && prefixes[blocked].size() <= kMaxPath && NamesSomething(prefixes[blocked]) &&
        prefixes[blocked] != root) {
        if (blockAt & 0x80) {
            MemFsAddLink(prefixes[blocked], root);
            linkInTheWay = true;
        } else {
            MemFsAddFile(prefixes[blocked], "in the way", 0);
            fileInTheWay = true;
        }
    }
    if (failing < prefixes.size()) MemFsFailOn(MemOp::CreateDirectory, prefixes[failing], 28);
    MemFsClearCalls();
    uint32_t error = 0;
    ChainResult result = MakeDestinationFolders(root.c_str(), rel.empty() ? nullptr : rel.c_str(), &error);

    // Only the chain's own folders are made, top first, each one once.
    static const std::wstring kCall = L"CreateDirectory ";
    size_t next = 0;
    for (const std::wstring& call : MemFsCalls()) {
        if (call.compare(0, kCall.size(), kCall) != 0) continue;
        std::wstring made = call.substr(kCall.size());
        while (next < prefixes.size() && prefixes[next] != made) ++next;
        if (next == prefixes.size()) abort();
        // Never below a link or a file: nothing made at or past a blocked part.
        if ((fileInTheWay || linkInTheWay) && next >= blocked) abort();
        ++next;
    }
    if (result == kChainReady) {
        MemFsNode node;
        if (fileInTheWay || linkInTheWay || error != 0) abort();
        if (!rel.empty() && NamesSomething(rel) && (!MemFsLookup(prefixes.back(), &node) || !node.folder)) abort();
    } else if (result == kChainFailed) {
        if (error == 0 || linkInTheWay) abort();
    } else if (!linkInTheWay || RunFailureCount() != 1) {
        abort();  // reported: a link on the way, named once and counted
    }
}

// Bytes of the name on disk, by the encoder the POSIX provider writes names with.
size_t DiskBytes(const std::wstring& text) {
    std::string bytes;
    AppendUtf8(bytes, text.data(), text.size());
    return bytes.size();
}

void CheckNumberedName(const std::wstring& name, unsigned number, size_t capacity) {
    std::unique_ptr<wchar_t[]> out(new wchar_t[capacity]);
    size_t dot = name.rfind(L'.');
    if (dot == 0) dot = std::wstring::npos;
    std::wstring stem = dot == std::wstring::npos ? name : name.substr(0, dot);
    std::wstring extension = dot == std::wstring::npos ? L"" : name.substr(dot);
    const std::wstring numberPart = L" (" + std::to_wstring(number) + L")";
    if (DiskBytes(numberPart + extension) + 1 > 255) {
        stem = name;
        extension.clear();
    }
    // The longest start of the stem (one character at least) that leaves room for the rest.
    size_t room = 255 - DiskBytes(numberPart + extension), keep = 1;
    while (keep < stem.size() && DiskBytes(stem.substr(0, keep + 1)) <= room) ++keep;
    if (stem.size() <= 1 || DiskBytes(stem) <= room) keep = stem.size();
    std::wstring expected = stem.substr(0, keep) + numberPart + extension;
    bool made = NumberedName(out.get(), capacity, name.c_str(), number);
    if (made != (expected.size() < capacity)) abort();
    if (made && expected != out.get()) abort();
}

void Quiet(const wchar_t*) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetFileSystem(&MemoryFileSystem());
    SetOutputSink(Quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBytes bytes{data, size};
    uint8_t choice = bytes.Byte();
    uint8_t failAt = bytes.Byte();
    uint8_t numberByte = bytes.Byte();
    std::wstring root = Part(bytes, 1200);
    std::wstring rel = Part(bytes, 1200);
    std::wstring last = Part(bytes, 1200);

    CheckJoins(root, rel, last, (choice & 1) != 0);

    CheckChain(root, rel, choice, failAt);

    unsigned numbers[] = {2, 9, 10, 99999, 100000, 4294967295u};
    CheckNumberedName(last, numbers[numberByte % 6], 1 + numberByte % (kMaxEntryName + 16));
    return 0;
}
