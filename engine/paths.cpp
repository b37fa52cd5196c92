#include "engine/paths.h"

#include <cwchar>

#include "engine/destination_index.h"
#include "engine/file_system.h"
#include "engine/run_state.h"
#include "output/message.h"

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

uint32_t CreateDirectoryChain(const wchar_t* path) {
    size_t n = wcslen(path);
    if (n == 0 || n > kMaxPath) return n == 0 ? 0 : kErrorPathNotFound;
    size_t start = 0;
#ifdef _WIN32
    if (n >= 2 && path[1] == L':') {
        start = 3;  // the drive's root is never created
    } else if (n >= 2 && path[0] == L'\\' && path[1] == L'\\') {
        // \\server\share\ is never created: start after the backslash that closes the share.
        int found = 0;
        for (size_t k = 2; k < n; ++k) {
            if (path[k] == L'\\' && ++found == 2) {
                start = k + 1;
                break;
            }
        }
    } else if (path[0] == L'\\') {
        start = 1;  // \dst: the current drive's root is never created
    }
#else
    if (path[0] == L'/') start = 1;  // the file-system root is never created
#endif
    PathBuffer prefix;
    for (size_t i = start; i <= n; ++i) {
        if (i != n && path[i] != kPathSeparator) continue;
        wmemcpy(prefix.text, path, i);
        prefix.text[i] = L'\0';
        uint32_t error = FsCreateDirectory(prefix.text);
        if (error != 0 && error != kErrorAlreadyExists) return error;
    }
    return 0;
}

ChainResult MakeFolderChain(const wchar_t* base, const wchar_t* relativeFolder, uint32_t* error) {
    PathBuffer prefix;
    if (!CopyPath(prefix, base)) return kChainFailed;
    bool made = false;  // below a folder this call made, nothing can be there yet
    for (const wchar_t* part = relativeFolder; part && *part != L'\0';) {
        const wchar_t* end = wcschr(part, kPathSeparator);
        size_t length = end ? static_cast<size_t>(end - part) : wcslen(part);
        wchar_t component[kMaxPath + 1];
        if (length > kMaxPath) return kChainFailed;
        wmemcpy(component, part, length);
        component[length] = L'\0';
        if (!AppendPathPart(prefix, component)) {
            *error = kErrorPathNotFound;
            return kChainFailed;
        }
        part = end ? end + 1 : part + length;
        if (!made) {
            uint32_t attributes = FsGetAttributes(prefix.text);
            if (attributes != kInvalidFileAttributes) {
                if (attributes & kFileAttributeReparsePoint) {
                    WriteFailure(L"link in the way %s\n", prefix.text);
                    return kChainLinkInTheWay;
                }
                if (attributes & kFileAttributeDirectory) continue;
                *error = kErrorAlreadyExists;
                return kChainFailed;
            }
        }
        // "Already there" after a query that found nothing cannot be told from a link: refused.
        if (uint32_t failure = FsCreateDirectory(prefix.text)) {
            *error = failure;
            return kChainFailed;
        }
        NoteMadeFolder(prefix.text);
        made = true;
    }
    return kChainReady;
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
