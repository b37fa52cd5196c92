#include "engine/paths.h"

#include <cwchar>

#include "engine/run_state.h"
#include "output/format.h"
#include "output/message.h"
#include "engine/fs/file_system.h"

namespace {

size_t Length(const PathBuffer& buffer) { return wcslen(buffer.text); }

bool AppendRaw(PathBuffer& buffer, size_t& length, const wchar_t* text) {
    size_t count = wcslen(text);
    if (count > kMaxPath - length) return false;
    wmemcpy(buffer.text + length, text, count + 1);
    length += count;
    return true;
}

bool AppendSeparatorIfNeeded(PathBuffer& buffer, size_t& length) {
    if (length == 0 || buffer.text[length - 1] == kPathSeparator) return true;
    if (length >= kMaxPath) return false;
    buffer.text[length++] = kPathSeparator;
    buffer.text[length] = L'\0';
    return true;
}

}  // namespace

bool CopyPath(PathBuffer& buffer, const wchar_t* text) {
    size_t length = 0;
    buffer.text[0] = L'\0';
    return AppendRaw(buffer, length, text);
}

bool AppendPathPart(PathBuffer& buffer, const wchar_t* part) {
    size_t original = Length(buffer);
    size_t length = original;
    if (AppendSeparatorIfNeeded(buffer, length) && AppendRaw(buffer, length, part)) return true;
    buffer.text[original] = L'\0';
    return false;
}

bool ComposePath(PathBuffer& buffer, const wchar_t* root, const wchar_t* relativeFolder,
                 const wchar_t* lastPart) {
    if (!CopyPath(buffer, root)) return false;
    size_t length = Length(buffer);
    if (!AppendSeparatorIfNeeded(buffer, length)) return false;
    if (relativeFolder) {
        if (!AppendRaw(buffer, length, relativeFolder)) return false;
        // A relative folder never ends in a separator, so this one is added unconditionally.
        if (length >= kMaxPath) return false;
        buffer.text[length++] = kPathSeparator;
        buffer.text[length] = L'\0';
    }
    return AppendRaw(buffer, length, lastPart);
}

bool FolderPath(PathBuffer& buffer, const wchar_t* root, const wchar_t* relativeFolder) {
    if (!CopyPath(buffer, root)) return false;
    return !relativeFolder || AppendPathPart(buffer, relativeFolder);
}

bool ChildRelativeFolder(PathBuffer& buffer, const wchar_t* relativeFolder, const wchar_t* name) {
    if (!relativeFolder) return CopyPath(buffer, name);
    return CopyPath(buffer, relativeFolder) && AppendPathPart(buffer, name);
}

void RemoveTrailingSeparator(wchar_t* path) {
    size_t length = wcslen(path);
    if (length > 0 && path[length - 1] == kPathSeparator) path[length - 1] = L'\0';
}

void NormalizeFolder(PathBuffer& buffer) {
    size_t length = wcslen(buffer.text);
    if (length < 2 || buffer.text[length - 1] != kPathSeparator || FsRootNeedsSeparator(buffer.text)) return;
    RemoveTrailingSeparator(buffer.text);
}

bool NumberedName(wchar_t* out, size_t capacity, const wchar_t* name, unsigned number) {
    const wchar_t* dot = wcsrchr(name, L'.');
    if (dot == name) dot = nullptr;
    const wchar_t* extension = dot ? dot : L"";
    size_t stemLength = dot ? static_cast<size_t>(dot - name) : wcslen(name);
    size_t extensionLength = wcslen(extension);
    wchar_t numberText[16];
    FormatText(numberText, 16, L" (%u)", number);
    size_t suffixLength = wcslen(numberText);
    // A name near the file system's limit has no room for the number: the part before it gives
    // way, character by character, so that the version can still be kept. An extension too long
    // to leave any of it goes with the rest.
    if (FsNameLengthOnDisk(extension, extensionLength) + suffixLength + 1 > kMaxNameOnDisk) {
        stemLength += extensionLength;
        extension = L"";
        extensionLength = 0;
    }
    size_t room = kMaxNameOnDisk - suffixLength - FsNameLengthOnDisk(extension, extensionLength);
    while (stemLength > 1 && FsNameLengthOnDisk(name, stemLength) > room) --stemLength;
    // Never the first half of a surrogate pair alone. Only UTF-16 text has pairs; in UTF-32 text a
    // first half is a lone code of no character, which no name read from the disk holds (the POSIX
    // codec stands in for an undecodable byte with a second half, U+DC80..U+DCFF, and decodes no
    // encoded surrogate), and a name that holds one anyway keeps it as it was.
    if (sizeof(wchar_t) == 2 && stemLength > 1 && name[stemLength - 1] >= 0xD800 && name[stemLength - 1] <= 0xDBFF)
        --stemLength;
    // The formatter would cut silently, and a cut name is another file's name.
    if (stemLength + suffixLength + extensionLength >= capacity) return false;
    FormatText(out, capacity, L"%.*s%s%s", static_cast<int>(stemLength), name, numberText, extension);
    return true;
}

void ReportPathTooLong(const wchar_t* root, const wchar_t* relativeFolder, const wchar_t* name) {
    // Joined without a length limit into the message's own room, cut so that the line end stays.
    static constexpr wchar_t kPrefix[] = L"path too long ";
    constexpr size_t room = kMessageLimit - (sizeof(kPrefix) / sizeof(wchar_t) - 1) - 1;
    wchar_t text[room + 1];
    size_t length = 0;
    auto append = [&](const wchar_t* part) {
        if (!part) return;
        if (length > 0 && text[length - 1] != kPathSeparator && length < room) text[length++] = kPathSeparator;
        for (; *part && length < room; ++part) text[length++] = *part;
    };
    append(root);
    append(relativeFolder);
    append(name);
    text[length] = L'\0';
    WriteFailure(L"path too long %s\n", text);
}
