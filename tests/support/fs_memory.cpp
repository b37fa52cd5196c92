#include "tests/support/fs_memory.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include "engine/fs/text_encoding.h"
#include "engine/paths.h"

namespace {

struct Node {
    std::wstring name;
    Node* parent = nullptr;
    bool folder = false;
    bool link = false;
    std::wstring linkTarget;  // a full path; followed afresh on every use, so it may lead nowhere
    std::string content;
    int64_t lastWriteTime = 0;
    int64_t creationTime = 0;
    uint32_t attributes = 0;
    uint32_t reparseTag = 0xA0000003;  // with kFileAttributeReparsePoint: a junction unless set
    bool caseSensitive = false;         // a folder that tells names apart by case; its new folders too
    std::vector<std::wstring> order;  // child keys in the order they were added
    std::map<std::wstring, std::unique_ptr<Node>> children;
};

struct FailRule {
    MemOp op;
    std::wstring key;
    uint32_t error;
    int remaining;  // 0: every time
};

struct Listing {
    std::vector<FindEntry> entries;
    size_t next = 0;
    uint32_t breakError = 0;  // the listing breaks off before its last entry with this error
};

// Something another program does to the file system at the moment an operation reaches a path.
struct Hook {
    MemOp op;
    std::wstring path;
    std::function<void()> action;
};

std::unique_ptr<Node> CloneTree(const Node& node, Node* parent) {
    auto copy = std::make_unique<Node>();
    copy->name = node.name;
    copy->parent = parent;
    copy->folder = node.folder;
    copy->link = node.link;
    copy->linkTarget = node.linkTarget;
    copy->content = node.content;
    copy->lastWriteTime = node.lastWriteTime;
    copy->creationTime = node.creationTime;
    copy->attributes = node.attributes;
    copy->reparseTag = node.reparseTag;
    copy->caseSensitive = node.caseSensitive;
    copy->order = node.order;
    for (const auto& [key, child] : node.children) copy->children[key] = CloneTree(*child, copy.get());
    return copy;
}

// The tree's root folder; a copy of the state (a checkpoint) copies the whole tree.
struct TreeRoot {
    std::unique_ptr<Node> node = std::make_unique<Node>();
    TreeRoot() = default;
    TreeRoot(const TreeRoot& other) : node(CloneTree(*other.node, nullptr)) {}
    TreeRoot(TreeRoot&&) = default;
    TreeRoot& operator=(const TreeRoot& other) {
        if (this != &other) node = CloneTree(*other.node, nullptr);
        return *this;
    }
    TreeRoot& operator=(TreeRoot&&) = default;
    Node* get() const { return node.get(); }
    Node* operator->() const { return node.get(); }
};

struct State {
    TreeRoot root;
    bool caseInsensitive = false;
    bool copiesMayOverlap = false;
    std::vector<Hook> hooks;
    ListingOrder order = ListingOrder::Insertion;
    std::mt19937_64 orderRandom;
    std::map<std::wstring, std::vector<std::wstring>> folderOrders;
    std::vector<FailRule> failRules;
    double failureRate = 0;
    std::mt19937_64 failureRandom;
    std::wstring fileSystemName = L"MEMFS";
    std::vector<std::wstring> calls;
    bool logCalls = true;
    int64_t clock = 0;  // creation times of copies
    std::wstring guardedRoot;  // guardWritesBelow's root; empty: nothing guarded
    int64_t storedPrecision = 1;  // what copies keep of their times: MemFsSetStoredTimes
    int64_t storedMin = INT64_MIN, storedMax = INT64_MAX;
    bool storedRoundUp = false;
};

State& S() {
    static State state;
    return state;
}

// Copies may run on worker threads beside the walk: every operation and every change a test
// makes holds this lock. Recursive, because a hook runs inside an operation and changes the tree.
std::recursive_mutex g_lock;
using Guard = std::lock_guard<std::recursive_mutex>;

const wchar_t* kOpNames[] = {L"FindFirst", L"FindNext", L"GetAttributes", L"GetAttributesEx",
                             L"CreateDirectory", L"RemoveDirectory", L"MoveFile", L"CopyFile",
                             L"GetFileSystemName", L"GetFullPath", L"FolderContains", L"GetFolderId",
                             L"RemoveLeftoverCopy", L"Enter", L"OpenRead"};

// A name as the folder matches names: without regard to case in a case-insensitive file system,
// except in a folder that tells names apart by case (as Windows allows per folder).
std::wstring FoldName(const std::wstring& name) {
    if (!S().caseInsensitive) return name;
    std::wstring key = name;
    for (wchar_t& c : key) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return key;
}

// The path's names, without a drive prefix and without empty parts.
std::vector<std::wstring> Split(const std::wstring& path) {
    size_t start = path.size() >= 2 && path[1] == L':' ? 2 : 0;
    std::vector<std::wstring> parts;
    std::wstring part;
    for (size_t i = start; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == kPathSeparator) {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += path[i];
        }
    }
    return parts;
}

std::wstring Fold(const Node* folder, const std::wstring& name) { return folder->caseSensitive ? name : FoldName(name); }

std::wstring KeyOf(const std::wstring& path) {
    std::wstring key;
    for (const std::wstring& part : Split(path)) key += kPathSeparator + FoldName(part);
    return key.empty() ? std::wstring(1, kPathSeparator) : key;
}

bool IsFolderNode(const Node* node);

// Links allowed on the way to one node, as a kernel allows before it gives up.
constexpr int kMaxLinkDepth = 40;

Node* Resolve(const std::vector<std::wstring>& parts, size_t count, bool followLast, int depth);

// The node a link leads to, or null when it leads nowhere (or round in a circle).
Node* Target(const Node* link, int depth) {
    if (depth >= kMaxLinkDepth) return nullptr;
    auto parts = Split(link->linkTarget);
    return Resolve(parts, parts.size(), true, depth + 1);
}

// The node at parts[0, count), links on the way followed, the last one only when followLast.
Node* Resolve(const std::vector<std::wstring>& parts, size_t count, bool followLast, int depth) {
    Node* node = S().root.get();
    for (size_t i = 0; i < count; ++i) {
        if (!IsFolderNode(node)) return nullptr;
        auto it = node->children.find(Fold(node, parts[i]));
        if (it == node->children.end()) return nullptr;
        node = it->second.get();
        if (node->link && (i + 1 < count || followLast)) {
            node = Target(node, depth);
            if (!node) return nullptr;
        }
    }
    return node;
}

Node* Find(const std::vector<std::wstring>& parts, size_t count) { return Resolve(parts, count, true, 0); }

Node* Find(const std::wstring& path) {
    auto parts = Split(path);
    return Find(parts, parts.size());
}

// The node at path itself: a link there is the link, not what it leads to.
Node* FindItself(const std::wstring& path) {
    auto parts = Split(path);
    return Resolve(parts, parts.size(), false, 0);
}

bool IsFolderNode(const Node* node) { return node == S().root.get() || (node->folder && !node->link); }

Node* AddChild(Node* parent, const std::wstring& name, bool folder) {
    auto node = std::make_unique<Node>();
    node->name = name;
    node->parent = parent;
    node->folder = folder;
    Node* raw = node.get();
    node->caseSensitive = parent->caseSensitive;
    std::wstring key = Fold(parent, name);
    parent->order.push_back(key);
    parent->children[key] = std::move(node);
    return raw;
}

std::unique_ptr<Node> Detach(Node* parent, std::wstring key) {  // a copy: the map entry holding key goes
    auto it = parent->children.find(key);
    std::unique_ptr<Node> node = std::move(it->second);
    parent->children.erase(it);
    parent->order.erase(std::find(parent->order.begin(), parent->order.end(), key));
    return node;
}

void Log(MemOp op, const wchar_t* a, const wchar_t* b = nullptr) {
    for (size_t i = 0; i < S().hooks.size(); ++i) {
        if (S().hooks[i].op != op || S().hooks[i].path != a) continue;
        std::function<void()> action = std::move(S().hooks[i].action);
        S().hooks.erase(S().hooks.begin() + static_cast<std::ptrdiff_t>(i));
        action();
        break;
    }
    if (!S().logCalls) return;
    std::wstring line = kOpNames[static_cast<int>(op)];
    line += L' ';
    line += a;
    if (b) {
        line += L' ';
        line += b;
    }
    S().calls.push_back(line);
}

// An injected failure for op on path, or 0.
uint32_t InjectedFailure(MemOp op, const wchar_t* path) {
    State& s = S();
    std::wstring key = KeyOf(path);
    for (auto it = s.failRules.begin(); it != s.failRules.end(); ++it) {
        if (it->op != op || it->key != key) continue;
        uint32_t error = it->error;
        if (it->remaining > 0 && --it->remaining == 0) s.failRules.erase(it);
        return error;
    }
    if (s.failureRate > 0 &&
        std::uniform_real_distribution<double>(0, 1)(s.failureRandom) < s.failureRate) {
        return kErrorAccessDenied;
    }
    return 0;
}

// kErrorLinkInTheWay when a folder between the guarded root and path's last part is a link, as
// guardWritesBelow promises; 0 otherwise (a missing folder fails the operation by itself).
uint32_t GuardFailure(const wchar_t* path) {
    const std::wstring& root = S().guardedRoot;
    if (root.empty()) return 0;
    std::wstring rootKey = KeyOf(root), key = KeyOf(path);
    if (rootKey.size() == 1) rootKey.clear();  // the root folder itself
    if (key.size() <= rootKey.size() + 1 || key.compare(0, rootKey.size(), rootKey) != 0 || key[rootKey.size()] != kPathSeparator)
        return 0;
    auto rootParts = Split(root);
    auto parts = Split(path);
    Node* node = Find(rootParts, rootParts.size());
    for (size_t i = rootParts.size(); node && i + 1 < parts.size(); ++i) {
        if (!IsFolderNode(node)) return 0;
        auto it = node->children.find(Fold(node, parts[i]));
        if (it == node->children.end()) return 0;
        if (it->second->link) return kErrorLinkInTheWay;
        node = it->second.get();
    }
    return 0;
}

// The error of an unenterable folder above path (MemOp::Enter on that folder), or 0.
uint32_t EnterFailure(const wchar_t* path) {
    std::wstring key = KeyOf(path);
    for (const FailRule& rule : S().failRules) {
        if (rule.op != MemOp::Enter) continue;
        std::wstring below = rule.key.size() == 1 ? rule.key : rule.key + kPathSeparator;
        if (key.size() > below.size() && key.compare(0, below.size(), below) == 0) return rule.error;
    }
    return 0;
}

uint32_t EnterError(const std::wstring& folderKey) {
    for (const FailRule& rule : S().failRules) {
        if (rule.op == MemOp::Enter && rule.key == folderKey) return rule.error;
    }
    return 0;
}

FileInfo InfoOf(const Node* node) {
    FileInfo info{};
    // As the Win32 provider does: the bit stays only on the reparse points that are links.
    uint32_t attributes = node->attributes;
    if ((attributes & kFileAttributeReparsePoint) && !IsLinkReparseTag(node->reparseTag))
        attributes &= ~kFileAttributeReparsePoint;
    if (IsFolderNode(node)) {
        info.attributes = kFileAttributeDirectory | attributes;
    } else {
        info.attributes = attributes ? attributes : kFileAttributeNormal;
        uint64_t size = node->content.size();
        info.sizeHigh = static_cast<uint32_t>(size >> 32);
        info.sizeLow = static_cast<uint32_t>(size);
    }
    info.creationTime = FileTimeFromInt64(node->creationTime);
    info.lastWriteTime = FileTimeFromInt64(node->lastWriteTime);
    return info;
}

// What a query of the node itself reports: a link by what it leads to, marked as a link, or as a
// file when it leads nowhere.
FileInfo DescribeItself(const Node* node) {
    if (!node->link) return InfoOf(node);
    const Node* target = Target(node, 0);
    FileInfo info{};
    if (target) info = InfoOf(target);
    else info.attributes = kFileAttributeNormal;
    info.attributes |= kFileAttributeReparsePoint;
    return info;
}

FindEntry EntryOf(const Node* node, const wchar_t* name) {
    FileInfo info = DescribeItself(node);
    FindEntry entry{};
    entry.attributes = info.attributes;
    entry.creationTime = info.creationTime;
    entry.lastWriteTime = info.lastWriteTime;
    entry.sizeHigh = info.sizeHigh;
    entry.sizeLow = info.sizeLow;
    wcsncpy(entry.name, name, kMaxEntryName);
    entry.name[kMaxEntryName] = L'\0';
    return entry;
}

// The folder a "folder<sep>*.*" pattern lists.
std::wstring FolderOfPattern(const wchar_t* pattern) {
    std::wstring folder = pattern;
    if (folder.size() >= 3 && folder.compare(folder.size() - 3, 3, L"*.*") == 0) folder.resize(folder.size() - 3);
    return folder;
}

std::vector<std::wstring> OrderedKeys(const Node* folder, const std::wstring& folderKey) {
    State& s = S();
    std::vector<std::wstring> keys = folder->order;
    switch (s.order) {
        case ListingOrder::Insertion: break;
        case ListingOrder::Sorted: std::sort(keys.begin(), keys.end()); break;
        case ListingOrder::Reverse: std::reverse(keys.begin(), keys.end()); break;
        case ListingOrder::Random: std::shuffle(keys.begin(), keys.end(), s.orderRandom); break;
    }
    auto explicitOrder = s.folderOrders.find(folderKey);
    if (explicitOrder != s.folderOrders.end()) {
        std::vector<std::wstring> first;
        for (const std::wstring& name : explicitOrder->second) {
            auto it = std::find(keys.begin(), keys.end(), Fold(folder, name));
            if (it == keys.end()) continue;
            first.push_back(*it);
            keys.erase(it);
        }
        keys.insert(keys.begin(), first.begin(), first.end());
    }
    return keys;
}

// A types-only listing keeps nothing but the names and the two bits, so that a walk relying on
// more than it asked for fails its tests here.
FindEntry TypesOnly(FindEntry entry) {
    FindEntry bare{};
    bare.attributes = entry.attributes & (kFileAttributeDirectory | kFileAttributeReparsePoint);
    if (bare.attributes == 0) bare.attributes = kFileAttributeNormal;
    wcscpy(bare.name, entry.name);
    return bare;
}

FindHandle OpenListing(const wchar_t* pattern, FindEntry* entry, bool typesOnly, uint32_t* error) {
    Log(MemOp::FindFirst, pattern);
    std::wstring folderPath = FolderOfPattern(pattern);
    *error = InjectedFailure(MemOp::FindFirst, folderPath.c_str());
    if (*error) return nullptr;
    if ((*error = EnterFailure(folderPath.c_str())) != 0) return nullptr;
    Node* folder = Find(folderPath);
    if (!folder || !IsFolderNode(folder)) {
        *error = kErrorPathNotFound;
        return nullptr;
    }
    uint32_t breakError = InjectedFailure(MemOp::FindNext, folderPath.c_str());
    auto listing = std::make_unique<Listing>();
    // Every folder lists "." and ".." first, except the root, as a drive's root does.
    if (folder != S().root.get()) {
        listing->entries.push_back(EntryOf(folder, L"."));
        listing->entries.push_back(EntryOf(folder, L".."));
    }
    for (const std::wstring& key : OrderedKeys(folder, KeyOf(folderPath))) {
        const Node* child = folder->children.at(key).get();
        listing->entries.push_back(EntryOf(child, child->name.c_str()));
    }
    if (listing->entries.empty()) return nullptr;  // *error stays 0: an empty root
    if (typesOnly) {
        for (FindEntry& listed : listing->entries) listed = TypesOnly(listed);
    } else if (uint32_t enterError = EnterError(KeyOf(folderPath))) {
        // Listed but not entered: names and kinds only, each entry with the error that kept its
        // sizes and times from being read.
        for (FindEntry& listed : listing->entries) {
            listed = TypesOnly(listed);
            listed.error = enterError;
        }
    }
    listing->breakError = breakError;
    *entry = listing->entries[0];
    listing->next = 1;
    return listing.release();
}

FindHandle MemFindFirst(const wchar_t* pattern, FindEntry* entry, uint32_t* error) {
    Guard guard(g_lock);
    return OpenListing(pattern, entry, false, error);
}

FindHandle MemFindFirstTypesOnly(const wchar_t* pattern, FindEntry* entry, uint32_t* error) {
    Guard guard(g_lock);
    return OpenListing(pattern, entry, true, error);
}

bool MemFindNext(FindHandle handle, FindEntry* entry, uint32_t* error) {
    Guard guard(g_lock);
    *error = 0;
    auto* listing = static_cast<Listing*>(handle);
    if (listing->breakError && listing->next + 1 >= listing->entries.size()) {
        *error = listing->breakError;
        return false;
    }
    if (listing->next >= listing->entries.size()) return false;
    *entry = listing->entries[listing->next++];
    return true;
}

void MemFindClose(FindHandle handle) {
    Guard guard(g_lock);
    delete static_cast<Listing*>(handle);
}

uint32_t MemGetAttributes(const wchar_t* path) {
    Guard guard(g_lock);
    Log(MemOp::GetAttributes, path);
    if (InjectedFailure(MemOp::GetAttributes, path) || EnterFailure(path)) return kInvalidFileAttributes;
    Node* node = FindItself(path);
    return node ? DescribeItself(node).attributes : kInvalidFileAttributes;
}

bool MemGetAttributesEx(const wchar_t* path, FileInfo* info) {
    Guard guard(g_lock);
    Log(MemOp::GetAttributesEx, path);
    if (InjectedFailure(MemOp::GetAttributesEx, path) || EnterFailure(path)) return false;
    Node* node = FindItself(path);
    if (!node) return false;
    *info = DescribeItself(node);
    return true;
}

// The folder that would hold path, or null (error set) when it does not exist.
Node* ParentFolder(const std::vector<std::wstring>& parts, uint32_t* error) {
    if (parts.empty()) {
        *error = kErrorAccessDenied;
        return nullptr;
    }
    Node* parent = Find(parts, parts.size() - 1);
    if (!parent || !IsFolderNode(parent)) {
        *error = kErrorPathNotFound;
        return nullptr;
    }
    return parent;
}

uint32_t MemCreateDirectory(const wchar_t* path) {
    Guard guard(g_lock);
    Log(MemOp::CreateDirectory, path);
    if (uint32_t error = InjectedFailure(MemOp::CreateDirectory, path)) return error;
    if (uint32_t error = GuardFailure(path)) return error;
    if (uint32_t error = EnterFailure(path)) return error;
    auto parts = Split(path);
    if (parts.empty()) return wcslen(path) == 0 ? kErrorPathNotFound : kErrorAlreadyExists;
    uint32_t error = 0;
    Node* parent = ParentFolder(parts, &error);
    if (!parent) return error;
    if (parent->children.count(Fold(parent, parts.back()))) return kErrorAlreadyExists;
    AddChild(parent, parts.back(), true);
    return 0;
}

uint32_t MemRemoveDirectory(const wchar_t* path) {
    Guard guard(g_lock);
    Log(MemOp::RemoveDirectory, path);
    if (uint32_t error = InjectedFailure(MemOp::RemoveDirectory, path)) return error;
    if (uint32_t error = GuardFailure(path)) return error;
    if (uint32_t error = EnterFailure(path)) return error;
    auto parts = Split(path);
    uint32_t error = 0;
    Node* parent = ParentFolder(parts, &error);
    if (!parent) return error;
    auto it = parent->children.find(Fold(parent, parts.back()));
    if (it == parent->children.end()) return kErrorFileNotFound;
    if (!it->second->folder || it->second->link) return kErrorPathNotFound;
    if (!it->second->children.empty()) return kErrorDirNotEmpty;
    Detach(parent, it->first);
    return 0;
}

uint32_t MemMoveFile(const wchar_t* from, const wchar_t* to) {
    Guard guard(g_lock);
    Log(MemOp::MoveFile, from, to);
    if (uint32_t error = InjectedFailure(MemOp::MoveFile, from)) return error;
    if (uint32_t error = InjectedFailure(MemOp::MoveFile, to)) return error;
    if (uint32_t error = GuardFailure(from)) return error;
    if (uint32_t error = GuardFailure(to)) return error;
    if (uint32_t error = EnterFailure(from)) return error;
    if (uint32_t error = EnterFailure(to)) return error;
    auto fromParts = Split(from);
    auto toParts = Split(to);
    uint32_t error = 0;
    Node* fromParent = ParentFolder(fromParts, &error);
    if (!fromParent) return error;
    auto source = fromParent->children.find(Fold(fromParent, fromParts.back()));
    if (source == fromParent->children.end()) return kErrorFileNotFound;
    Node* toParent = ParentFolder(toParts, &error);
    if (!toParent) return error;
    std::wstring toKey = Fold(toParent, toParts.back());
    bool sameNode = toParent == fromParent && toKey == source->first;
    if (!sameNode && toParent->children.count(toKey)) return kErrorAlreadyExists;
    std::unique_ptr<Node> node = Detach(fromParent, source->first);
    node->name = toParts.back();
    node->parent = toParent;
    toParent->order.push_back(toKey);
    toParent->children[toKey] = std::move(node);
    return 0;
}

uint32_t MemCopyFile(const wchar_t* from, const wchar_t* to, CopyProgressFn progress, bool replaceExisting) {
    Guard guard(g_lock);
    Log(MemOp::CopyFile, from, to);
    if (uint32_t error = InjectedFailure(MemOp::CopyFile, from)) return error;
    if (uint32_t error = InjectedFailure(MemOp::CopyFile, to)) return error;
    if (uint32_t error = GuardFailure(to)) return error;
    if (uint32_t error = EnterFailure(from)) return error;
    if (uint32_t error = EnterFailure(to)) return error;
    Node* source = Find(from);
    if (!source || IsFolderNode(source)) return kErrorFileNotFound;
    auto toParts = Split(to);
    uint32_t error = 0;
    Node* toParent = ParentFolder(toParts, &error);
    if (!toParent) return error;
    auto existing = toParent->children.find(Fold(toParent, toParts.back()));
    if (existing != toParent->children.end() && existing->second->folder && !existing->second->link)
        return kErrorAccessDenied;
    if (existing != toParent->children.end() && !replaceExisting) return kErrorAlreadyExists;
    if (existing != toParent->children.end() && existing->second->link) {
        // A link standing at the target is replaced by the copy, never written through.
        Detach(toParent, existing->first);
        existing = toParent->children.end();
    }
    int64_t total = static_cast<int64_t>(source->content.size());
    constexpr int64_t kChunk = 65536;
    if (progress) {
        for (int64_t done = 0;;) {
            if (progress(total, done) == kCopyCancel) return kErrorCancelled;
            if (done == total) break;
            done = std::min(total, done + kChunk);
        }
    }
    Node* target = existing != toParent->children.end() ? existing->second.get()
                                                          : AddChild(toParent, toParts.back(), false);
    target->content = source->content;
    target->lastWriteTime = MemFsStoredTime(source->lastWriteTime);
    target->creationTime = ++S().clock;
    target->attributes = source->attributes & ~kFileAttributeReparsePoint;  // a copy is a plain file
    return 0;
}

bool MemGetFileSystemName(const wchar_t* folder, wchar_t* name, size_t capacity) {
    Guard guard(g_lock);
    Log(MemOp::GetFileSystemName, folder);
    if (InjectedFailure(MemOp::GetFileSystemName, folder)) return false;
    if (EnterFailure(folder) || !Find(folder) || S().fileSystemName.size() >= capacity) return false;
    wcscpy(name, S().fileSystemName.c_str());
    return true;
}

bool MemGetFullPath(const wchar_t* path, wchar_t* out, size_t capacity) {
    Guard guard(g_lock);
    Log(MemOp::GetFullPath, path);
    if (InjectedFailure(MemOp::GetFullPath, path) || wcslen(path) >= capacity) return false;
    wcscpy(out, path);
    return true;
}

uint32_t MemGetFolderId(const wchar_t* path, FolderId* id) {
    Guard guard(g_lock);
    Log(MemOp::GetFolderId, path);
    if (uint32_t error = InjectedFailure(MemOp::GetFolderId, path)) return error;
    if (uint32_t error = EnterFailure(path)) return error;
    Node* node = Find(path);
    if (!node) return kErrorPathNotFound;
    if (!IsFolderNode(node)) return kErrorPathNotFound;
    *id = FolderId{0, 0, reinterpret_cast<uintptr_t>(node)};
    return 0;
}

uint32_t MemFolderContains(const wchar_t* outer, const wchar_t* inner, bool* inside) {
    Guard guard(g_lock);
    Log(MemOp::FolderContains, outer, inner);
    if (uint32_t error = InjectedFailure(MemOp::FolderContains, inner)) return error;
    if (uint32_t error = EnterFailure(outer)) return error;
    if (uint32_t error = EnterFailure(inner)) return error;
    const Node* container = Find(outer);
    const Node* node = Find(inner);
    if (!container || !node) return kErrorPathNotFound;
    *inside = false;
    for (; node; node = node->parent) *inside |= node == container;
    return 0;
}

uint32_t MemRemoveLeftoverCopy(const wchar_t* path) {
    Guard guard(g_lock);
    Log(MemOp::RemoveLeftoverCopy, path);
    if (uint32_t error = InjectedFailure(MemOp::RemoveLeftoverCopy, path)) return error;
    if (uint32_t error = GuardFailure(path)) return error;
    auto parts = Split(path);
    if (parts.empty() || !IsLeftoverCopyName(parts.back().c_str())) return kErrorAccessDenied;
    uint32_t error = 0;
    Node* parent = ParentFolder(parts, &error);
    if (!parent) return error;
    auto it = parent->children.find(Fold(parent, parts.back()));
    if (it == parent->children.end()) return kErrorFileNotFound;
    if (it->second->folder || it->second->link) return kErrorAccessDenied;
    Detach(parent, it->first);
    return 0;
}

// The bytes as they were when the file was opened: a later change of the node is not seen, as a
// reader of a file replaced by a rename goes on reading the file it opened.
struct OpenedFile {
    std::string content;
};

uint32_t MemOpenRead(const wchar_t* path, ReadHandle* file) {
    Guard guard(g_lock);
    Log(MemOp::OpenRead, path);
    if (uint32_t error = InjectedFailure(MemOp::OpenRead, path)) return error;
    if (uint32_t error = EnterFailure(path)) return error;
    Node* node = FindItself(path);
    if (!node) return kErrorFileNotFound;
    if (node->link || IsFolderNode(node)) return kErrorAccessDenied;
    *file = new OpenedFile{node->content};
    return 0;
}

uint32_t MemReadAt(ReadHandle file, uint64_t offset, void* buffer, size_t size, size_t* got) {
    const std::string& content = static_cast<OpenedFile*>(file)->content;
    *got = offset >= content.size() ? 0 : std::min(size, static_cast<size_t>(content.size() - offset));
    if (*got) memcpy(buffer, content.data() + offset, *got);
    return 0;
}

void MemCloseRead(ReadHandle file) { delete static_cast<OpenedFile*>(file); }

bool MemNamesIgnoreCase() { return S().caseInsensitive; }

void MemGuardWritesBelow(const wchar_t* root) {
    Guard guard(g_lock);
    S().guardedRoot = root ? root : L"";
}

bool MemCopiesMayOverlap() { return S().copiesMayOverlap; }

// The Windows name rules come with the case-insensitive file system, the POSIX ones without it.
size_t MemNameLengthOnDisk(const wchar_t* name, size_t count) {
    return S().caseInsensitive ? Utf16NameLength(name, count) : Utf8Length(name, count);
}

bool MemRootNeedsSeparator(const wchar_t* path) {
    return S().caseInsensitive && WindowsRootNeedsSeparator(path, kPathSeparator);
}

const FileSystem kMemoryFileSystem = {
    MemFindFirst, MemFindNext, MemFindClose, MemFindFirstTypesOnly, MemGetAttributes, MemGetAttributesEx, MemCreateDirectory,
    MemRemoveDirectory, MemMoveFile, MemCopyFile, MemGetFileSystemName, MemGetFullPath, MemFolderContains,
    MemGetFolderId, MemRemoveLeftoverCopy, MemCopiesMayOverlap,
    MemOpenRead, MemReadAt, MemCloseRead, MemNamesIgnoreCase, MemGuardWritesBelow,
    MemNameLengthOnDisk, MemRootNeedsSeparator,
};

void SnapshotInto(const Node* node, const std::wstring& path, std::vector<MemFsNode>& out) {
    for (const std::wstring& key : node->order) {
        const Node* child = node->children.at(key).get();
        std::wstring childPath = path + kPathSeparator + child->name;
        out.push_back(MemFsNode{childPath, child->folder && !child->link, child->content, child->lastWriteTime,
                                child->creationTime, child->link ? child->linkTarget : L""});
        if (child->folder && !child->link) SnapshotInto(child, childPath, out);
    }
}

}  // namespace

const FileSystem& MemoryFileSystem() { return kMemoryFileSystem; }

void MemFsReset(bool windowsNames) {
    Guard guard(g_lock);
    S() = State();
    S().root->folder = true;
    S().caseInsensitive = windowsNames;
}

namespace {

// The child folder named part, made when missing; a link there is followed.
Node* Descend(Node* node, const std::wstring& part) {
    auto it = node->children.find(Fold(node, part));
    if (it == node->children.end()) return AddChild(node, part, true);
    Node* child = it->second.get();
    return child->link ? Target(child, 0) : child;
}

}  // namespace

void MemFsAddFolder(const std::wstring& path, uint32_t attributes) {
    Guard guard(g_lock);
    Node* node = S().root.get();
    for (const std::wstring& part : Split(path)) node = Descend(node, part);
    if (attributes != 0 && node != S().root.get()) node->attributes = attributes;
}

void MemFsAddLink(const std::wstring& path, const std::wstring& target) {
    Guard guard(g_lock);
    auto parts = Split(path);
    Node* parent = S().root.get();
    for (size_t i = 0; i + 1 < parts.size(); ++i) parent = Descend(parent, parts[i]);
    if (parent->children.count(Fold(parent, parts.back()))) Detach(parent, Fold(parent, parts.back()));
    Node* node = AddChild(parent, parts.back(), false);
    node->link = true;
    node->linkTarget = target;
}

void MemFsAddFile(const std::wstring& path, const std::string& content, int64_t lastWriteTime,
                  int64_t creationTime, uint32_t attributes) {
    Guard guard(g_lock);
    auto parts = Split(path);
    // The folders straight from the parts: joined into a path again, a first folder named ":..."
    // would read as a drive prefix and be passed over.
    Node* parent = S().root.get();
    for (size_t i = 0; i + 1 < parts.size(); ++i) parent = Descend(parent, parts[i]);
    auto it = parent->children.find(Fold(parent, parts.back()));
    Node* node = it != parent->children.end() ? it->second.get() : AddChild(parent, parts.back(), false);
    node->folder = false;
    node->link = false;
    node->content = content;
    node->lastWriteTime = lastWriteTime;
    node->creationTime = creationTime;
    node->attributes = attributes;
}

bool MemFsRemove(const std::wstring& path) {
    Guard guard(g_lock);
    auto parts = Split(path);
    if (parts.empty()) return false;
    Node* parent = Find(parts, parts.size() - 1);  // a link at path itself is removed, not followed
    if (!parent || !IsFolderNode(parent) || !parent->children.count(Fold(parent, parts.back()))) return false;
    Detach(parent, Fold(parent, parts.back()));
    return true;
}

std::vector<MemFsNode> MemFsSnapshot() {
    Guard guard(g_lock);
    std::vector<MemFsNode> nodes;
    SnapshotInto(S().root.get(), L"", nodes);
    return nodes;
}

bool MemFsLookup(const std::wstring& path, MemFsNode* node) {
    Guard guard(g_lock);
    Node* found = FindItself(path);
    if (!found || found == S().root.get()) return false;
    *node = MemFsNode{path, found->folder && !found->link, found->content, found->lastWriteTime,
                      found->creationTime, found->link ? found->linkTarget : L""};
    return true;
}

void MemFsSetListingOrder(ListingOrder order, uint64_t seed) {
    Guard guard(g_lock);
    S().order = order;
    S().orderRandom.seed(seed);
}

void MemFsSetFolderOrder(const std::wstring& folder, const std::vector<std::wstring>& names) {
    Guard guard(g_lock);
    S().folderOrders[KeyOf(folder)] = names;
}

void MemFsFailOn(MemOp op, const std::wstring& path, uint32_t error, int times) {
    Guard guard(g_lock);
    S().failRules.push_back(FailRule{op, KeyOf(path), error, times});
}

void MemFsClearFailures() { S().failRules.clear(); }

void MemFsSetReparseTag(const std::wstring& path, uint32_t tag) {
    Guard guard(g_lock);
    if (Node* node = FindItself(path)) {
        node->attributes |= kFileAttributeReparsePoint;
        node->reparseTag = tag;
    }
}

void MemFsSetRandomFailures(double rate, uint64_t seed) {
    Guard guard(g_lock);
    S().failureRate = rate;
    S().failureRandom.seed(seed);
}

void MemFsSetCaseSensitiveFolder(const std::wstring& path) {
    Guard guard(g_lock);
    MemFsAddFolder(path);
    if (Node* node = Find(path)) node->caseSensitive = node->children.empty() || node->caseSensitive;
}

void MemFsSetFileSystemName(const std::wstring& name) { S().fileSystemName = name; }

void MemFsSetStoredTimes(int64_t precision, int64_t minTime, int64_t maxTime, bool roundUp) {
    Guard guard(g_lock);
    S().storedPrecision = precision > 0 ? precision : 1;
    S().storedMin = minTime;
    S().storedMax = maxTime;
    S().storedRoundUp = roundUp;
}

int64_t MemFsStoredTime(int64_t time) {
    Guard guard(g_lock);
    const State& s = S();
    int64_t part = ((time % s.storedPrecision) + s.storedPrecision) % s.storedPrecision;
    int64_t stored = time - part;
    if (part != 0 && s.storedRoundUp) stored += s.storedPrecision;
    return std::min(std::max(stored, s.storedMin), s.storedMax);
}

void MemFsSetCopiesMayOverlap(bool overlap) { S().copiesMayOverlap = overlap; }

namespace {

State g_checkpoint;

}  // namespace

void MemFsCheckpoint() {
    Guard guard(g_lock);
    g_checkpoint = S();
}

void MemFsRollBack() {
    Guard guard(g_lock);
    S() = g_checkpoint;
}

void MemFsOnCall(MemOp op, const std::wstring& path, std::function<void()> action) {
    Guard guard(g_lock);
    S().hooks.push_back(Hook{op, path, std::move(action)});
}

void MemFsClearHooks() {
    Guard guard(g_lock);
    S().hooks.clear();
}

const std::vector<std::wstring>& MemFsCalls() { return S().calls; }

void MemFsClearCalls() { S().calls.clear(); }

void MemFsLogCalls(bool on) { S().logCalls = on; }
