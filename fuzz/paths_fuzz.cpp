// The path rules on any texts: the bounded joins, the folder chain on the in-memory file system
// and the numbered names of Backup and Deleted. Beside the sanitizers' own checks:
//   - each bounded join gives exactly the unbounded join when that fits a PathBuffer, and reports
//     false otherwise (AppendPathPart then leaves the buffer as it was);
//   - CreateDirectoryChain tries only prefixes of its path that end before a separator, shortest
//     first, then the whole path; stops at the first failure and returns its error; and leaves the
//     folder there when it returns 0;
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

#include "engine/file_system.h"
#include "engine/fs_memory.h"
#include "engine/move_aside.h"
#include "engine/paths.h"
#include "fuzz/fuzz_text.h"
#include "output/message.h"
#include "output/text_encoding.h"

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

void CheckChain(const std::wstring& path, const std::wstring& blocker, uint8_t failAt) {
    MemFsReset();
    // A file standing where one of the folders would go.
    bool blocked = NamesSomething(blocker) && blocker.size() <= kMaxPath;
    if (blocked) MemFsAddFile(blocker, "in the way", 0);
    // An injected failure on one of the prefixes, by position.
    std::vector<std::wstring> prefixes;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == kPathSeparator) prefixes.push_back(path.substr(0, i));
    }
    if (!prefixes.empty() && failAt < prefixes.size()) MemFsFailOn(MemOp::CreateDirectory, prefixes[failAt], 28);
    MemFsClearCalls();
    uint32_t result = CreateDirectoryChain(path.c_str());

    const std::vector<std::wstring>& calls = MemFsCalls();
    if (path.empty() || path.size() > kMaxPath) {
        if (!calls.empty() || result != (path.empty() ? 0 : kErrorPathNotFound)) abort();
        return;
    }
    static const std::wstring kCall = L"CreateDirectory ";
    size_t previous = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].compare(0, kCall.size(), kCall) != 0) abort();
        std::wstring tried = calls[i].substr(kCall.size());
        // A prefix of the path, longer than the one before, ending where a separator follows.
        if (tried.size() <= previous && i > 0) abort();
        if (path.compare(0, tried.size(), tried) != 0) abort();
        if (tried.size() < path.size() && path[tried.size()] != kPathSeparator) abort();
        previous = tried.size();
    }
    if (result == 0) {
        if (calls.empty() || calls.back() != kCall + path) abort();
        MemFsNode node;
        if (NamesSomething(path) && (!MemFsLookup(path, &node) || (!node.folder && !blocked))) abort();
    } else if (calls.empty()) {
        abort();
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

    std::wstring chain = Part(bytes, 1200);
    std::wstring blocker = (choice & 2) ? root : std::wstring();
    CheckChain(chain.empty() ? Join(root, rel) : chain, blocker, failAt);

    unsigned numbers[] = {2, 9, 10, 99999, 100000, 4294967295u};
    CheckNumberedName(last, numbers[numberByte % 6], 1 + numberByte % (kMaxEntryName + 16));
    return 0;
}
