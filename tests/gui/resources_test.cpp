// The resources inside Kestrome.exe and KestromeCli.exe, read from the files themselves: exactly the
// About dialog (the window program only), the version information and the manifest, with the
// fields, languages and texts they must carry. KestromeCli.exe is looked for beside Kestrome.exe, as
// the build, the zip and the installer put them; the installer's test runs these cases on the
// installed copies too.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/run_sync.h"
#include "kestrome_version.h"
#include "tests/gui/driver_support.h"

namespace {

constexpr WORD kGermanGermany = 0x0407;
constexpr WORD kEnglishUs = 0x0409;

// Reads the parts of a resource block in order, as the template formats lay them out.
struct Reader {
    const BYTE* base;
    size_t at;
    size_t size;
};
WORD Word(Reader& r) {
    WORD value = 0;
    if (r.at + 2 <= r.size) std::memcpy(&value, r.base + r.at, 2);
    r.at += 2;
    return value;
}
DWORD Dword(Reader& r) {
    DWORD value = 0;
    if (r.at + 4 <= r.size) std::memcpy(&value, r.base + r.at, 4);
    r.at += 4;
    return value;
}
std::wstring String(Reader& r) {
    std::wstring text;
    for (WORD c = Word(r); c != 0 && r.at <= r.size; c = Word(r)) text += static_cast<wchar_t>(c);
    return text;
}
// A name or ordinal field: 0xFFFF then the ordinal, or a string. Returns the ordinal, or -1 with
// the string in text.
int NameOrOrdinal(Reader& r, std::wstring* text) {
    size_t start = r.at;
    WORD first = Word(r);
    if (first == 0xFFFF) return Word(r);
    r.at = start;
    *text = String(r);
    return -1;
}
void AlignToDword(Reader& r) { r.at = (r.at + 3) & ~static_cast<size_t>(3); }

// One program file opened for its resources only.
struct ResourceFile {
    HMODULE module = nullptr;
    DWORD openError = 0;
};
void Open(ResourceFile& file, const std::wstring& path) {
    file.module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    file.openError = file.module ? 0 : GetLastError();
}
void Close(ResourceFile& file) {
    if (file.module) FreeLibrary(file.module);
    file.module = nullptr;
}
// The bytes of one resource in one language; empty when there is none.
std::vector<BYTE> Bytes(const ResourceFile& file, LPCWSTR type, int id, WORD language) {
    HRSRC found = FindResourceExW(file.module, type, MAKEINTRESOURCEW(id), language);
    if (!found) return {};
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(file.module, found)));
    return std::vector<BYTE>(data, data + SizeofResource(file.module, found));
}

// A file beside Kestrome.exe.
std::wstring BesideKestrome(const std::wstring& name) {
    size_t slash = KestromePath.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : KestromePath.substr(0, slash + 1)) + name;
}

class KestromeResources : public ::testing::Test {
protected:
    void SetUp() override {
        Open(file, KestromePath);
        ASSERT_NE(file.module, nullptr) << "cannot open " << Narrow(KestromePath) << ": " << file.openError;
    }
    void TearDown() override { Close(file); }
    std::vector<BYTE> Bytes(LPCWSTR type, int id, WORD language) { return ::Bytes(file, type, id, language); }
    ResourceFile file;
};

BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) {
    reinterpret_cast<std::vector<WORD>*>(found)->push_back(language);
    return TRUE;
}
BOOL CALLBACK AddName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR found) {
    std::vector<WORD> languages;
    EnumResourceLanguagesW(module, type, name, AddLanguage, reinterpret_cast<LONG_PTR>(&languages));
    for (WORD language : languages) {
        reinterpret_cast<std::vector<std::string>*>(found)->push_back(
            (IS_INTRESOURCE(name) ? std::to_string(reinterpret_cast<ULONG_PTR>(name)) : Narrow(name)) + "/" +
            std::to_string(language));
    }
    return TRUE;
}
BOOL CALLBACK AddType(HMODULE module, LPWSTR type, LONG_PTR found) {
    std::vector<std::string> names;
    EnumResourceNamesW(module, type, AddName, reinterpret_cast<LONG_PTR>(&names));
    for (const std::string& name : names) {
        reinterpret_cast<std::set<std::string>*>(found)->insert(
            (IS_INTRESOURCE(type) ? std::to_string(reinterpret_cast<ULONG_PTR>(type)) : Narrow(type)) + ":" + name);
    }
    return TRUE;
}

TEST_F(KestromeResources, AboutDialogIsAnExtendedTemplateWithItsTwoControls) {
    std::vector<BYTE> bytes = Bytes(RT_DIALOG, 101, kGermanGermany);
    ASSERT_FALSE(bytes.empty());
    Reader r = {bytes.data(), 0, bytes.size()};
    EXPECT_EQ(Word(r), 1);       // version
    EXPECT_EQ(Word(r), 0xFFFF);  // signature of the extended format
    EXPECT_EQ(Dword(r), 0u);     // help id
    EXPECT_EQ(Dword(r), 0u);     // extended style
    EXPECT_EQ(Dword(r), 0x80C800C0u);
    EXPECT_EQ(Word(r), 2);
    EXPECT_EQ(static_cast<short>(Word(r)), 0);
    EXPECT_EQ(static_cast<short>(Word(r)), 0);
    EXPECT_EQ(static_cast<short>(Word(r)), 200);
    EXPECT_EQ(static_cast<short>(Word(r)), 120);
    std::wstring text;
    EXPECT_EQ(Word(r), 0) << "a menu";
    EXPECT_EQ(Word(r), 0) << "a window class";
    EXPECT_EQ(String(r), L"About Kestrome");
    EXPECT_EQ(Word(r), 8);        // points
    EXPECT_EQ(Word(r), 0);        // weight
    EXPECT_EQ(bytes[r.at], 0);    // not italic
    EXPECT_EQ(bytes[r.at + 1], 1);  // DEFAULT_CHARSET
    r.at += 2;
    EXPECT_EQ(String(r), L"MS Shell Dlg");

    struct Item {
        DWORD style;
        short x, y, width, height;
        DWORD id;
        int classAtom;
    };
    const Item items[] = {{0x50020000, 10, 10, 180, 60, 2001, 0x0082}, {0x50010001, 70, 80, 60, 14, 2002, 0x0080}};
    std::wstring texts[2];
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        AlignToDword(r);
        EXPECT_EQ(Dword(r), 0u);  // help id
        EXPECT_EQ(Dword(r), 0u);  // extended style
        EXPECT_EQ(Dword(r), items[i].style);
        EXPECT_EQ(static_cast<short>(Word(r)), items[i].x);
        EXPECT_EQ(static_cast<short>(Word(r)), items[i].y);
        EXPECT_EQ(static_cast<short>(Word(r)), items[i].width);
        EXPECT_EQ(static_cast<short>(Word(r)), items[i].height);
        EXPECT_EQ(Dword(r), items[i].id);
        std::wstring className;
        EXPECT_EQ(NameOrOrdinal(r, &className), items[i].classAtom) << Narrow(className);
        EXPECT_EQ(NameOrOrdinal(r, &texts[i]), -1);
        EXPECT_EQ(Word(r), 0);  // no creation data
    }
    EXPECT_LE(r.at, bytes.size());
    EXPECT_EQ(texts[0], L"Kestrome\r\nVersion 1.0\r\nkestrome.example\r\nCopyright (C) 2026 The Kestrome developers");
    EXPECT_EQ(texts[1], L"OK");
}

// One node of the version block: its key, its value's bytes, and its children.
struct VersionNode {
    std::wstring key;
    std::vector<BYTE> value;
    std::vector<VersionNode> children;
};
VersionNode ReadVersionNode(Reader& r) {
    VersionNode node;
    size_t start = r.at;
    WORD length = Word(r);
    WORD valueLength = Word(r);
    WORD type = Word(r);
    node.key = String(r);
    AlignToDword(r);
    size_t valueBytes = type == 1 ? valueLength * 2u : valueLength;
    if (r.at + valueBytes <= r.size) node.value.assign(r.base + r.at, r.base + r.at + valueBytes);
    r.at += valueBytes;
    AlignToDword(r);
    size_t end = start + length;
    while (r.at + 6 < end && r.at < r.size) {
        node.children.push_back(ReadVersionNode(r));
        AlignToDword(r);
    }
    r.at = end;
    return node;
}
std::wstring AsText(const std::vector<BYTE>& value) {
    std::wstring text(value.size() / 2, L'\0');
    std::memcpy(text.data(), value.data(), text.size() * 2);
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

// The version the build defines, as the resource's numbers and as text "1.0.0.14".
constexpr DWORD kVersionMS = (KESTROME_VERSION_MAJOR << 16) | KESTROME_VERSION_MINOR;
constexpr DWORD kVersionLS = (KESTROME_VERSION_PATCH << 16) | KESTROME_VERSION_TWEAK;
const std::wstring kVersion = std::to_wstring(KESTROME_VERSION_MAJOR) + L"." + std::to_wstring(KESTROME_VERSION_MINOR) +
                              L"." + std::to_wstring(KESTROME_VERSION_PATCH) + L"." +
                              std::to_wstring(KESTROME_VERSION_TWEAK);

TEST(KestromeVersion, TheBuildsTextTheWindowsPackageNameAndTheNumbersAgree) {
    EXPECT_EQ(std::wstring(KESTROME_VERSION_WTEXT), kVersion);
    EXPECT_EQ(std::string(KESTROME_VERSION_TEXT), Narrow(kVersion));
    EXPECT_EQ(std::string(KESTROME_WINDOWS_PACKAGE_NAME), "Kestrome-" + Narrow(kVersion) + "-windows-x64");
}

// What each program file carries: the window program its About dialog besides the version
// information and the manifest, the console program only those two.
struct Program {
    const wchar_t* fileName;
    const wchar_t* internalName;
    const wchar_t* description;
    std::set<std::string> resources;  // "type:name/language"
};
const Program kPrograms[] = {
    {L"Kestrome.exe", L"Kestrome", kLongProductName, {"5:101/1031", "16:1/1031", "24:1/1033"}},
    {L"KestromeCli.exe", L"KestromeCli", L"Kestrovane console program", {"16:1/1031", "24:1/1033"}},
};

class ProgramResources : public ::testing::TestWithParam<Program> {
protected:
    void SetUp() override {
        path = BesideKestrome(GetParam().fileName);
        Open(file, path);
        ASSERT_NE(file.module, nullptr) << "cannot open " << Narrow(path) << ": " << file.openError;
    }
    void TearDown() override { Close(file); }
    std::wstring path;
    ResourceFile file;
};

TEST_P(ProgramResources, AreWhatTheProgramCarriesAndNothingElse) {
    std::set<std::string> all;
    EnumResourceTypesW(file.module, AddType, reinterpret_cast<LONG_PTR>(&all));
    EXPECT_EQ(all, GetParam().resources);
}

TEST_P(ProgramResources, VersionInformationIsTheBuildsVersionWithTheStringBlockInOrder) {
    std::vector<BYTE> bytes = Bytes(file, RT_VERSION, 1, kGermanGermany);
    ASSERT_FALSE(bytes.empty());
    Reader r = {bytes.data(), 0, bytes.size()};
    VersionNode root = ReadVersionNode(r);
    EXPECT_EQ(root.key, L"VS_VERSION_INFO");
    ASSERT_EQ(root.value.size(), sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, root.value.data(), sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileVersionMS, kVersionMS);
    EXPECT_EQ(fixed.dwFileVersionLS, kVersionLS);
    EXPECT_EQ(fixed.dwProductVersionMS, kVersionMS);
    EXPECT_EQ(fixed.dwProductVersionLS, kVersionLS);
    EXPECT_EQ(fixed.dwFileFlagsMask, 0x3Fu);
    EXPECT_EQ(fixed.dwFileFlags, 0u);
    EXPECT_EQ(fixed.dwFileOS, 0x00040004u);
    EXPECT_EQ(fixed.dwFileType, 1u);
    EXPECT_EQ(fixed.dwFileSubtype, 0u);
    EXPECT_EQ(fixed.dwFileDateMS, 0u);
    EXPECT_EQ(fixed.dwFileDateLS, 0u);

    ASSERT_EQ(root.children.size(), 2u);
    const VersionNode& strings = root.children[0];
    EXPECT_EQ(strings.key, L"StringFileInfo");
    ASSERT_EQ(strings.children.size(), 1u);
    EXPECT_EQ(strings.children[0].key, L"040904b0");
    std::vector<std::pair<std::wstring, std::wstring>> values;
    for (const VersionNode& entry : strings.children[0].children) values.emplace_back(entry.key, AsText(entry.value));
    const std::vector<std::pair<std::wstring, std::wstring>> expected = {
        {L"CompanyName", kMakerDomain},
        {L"FileDescription", GetParam().description},
        {L"FileVersion", kVersion},
        {L"InternalName", GetParam().internalName},
        {L"LegalCopyright", kMakerNotice},
        {L"OriginalFilename", GetParam().fileName},
        {L"ProductName", L"Kestrome"},
        {L"ProductVersion", kVersion},
    };
    EXPECT_EQ(values, expected);

    const VersionNode& variables = root.children[1];
    EXPECT_EQ(variables.key, L"VarFileInfo");
    ASSERT_EQ(variables.children.size(), 1u);
    EXPECT_EQ(variables.children[0].key, L"Translation");
    EXPECT_EQ(variables.children[0].value, (std::vector<BYTE>{0x09, 0x04, 0xB0, 0x04}));
}

// The version Windows itself reads (Explorer's Details, a task's history) through the version API.
TEST_P(ProgramResources, VersionApiReadsTheBuildsVersion) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_NE(size, 0u) << GetLastError();
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileVersion", &value, &length));
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(value)), kVersion);
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\OriginalFilename", &value, &length));
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(value)), GetParam().fileName);
}

TEST_P(ProgramResources, ManifestAsksToRunAsInvokerAndDeclaresNothingElse) {
    std::vector<BYTE> bytes = Bytes(file, MAKEINTRESOURCEW(24), 1, kEnglishUs);
    ASSERT_FALSE(bytes.empty());
    std::string manifest(bytes.begin(), bytes.end());
    EXPECT_NE(manifest.find("manifestVersion=\"1.0\""), std::string::npos);
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"), std::string::npos);
    for (const char* absent : {"dependency", "Common-Controls", "dpiAware", "dpiAwareness", "compatibility",
                               "assemblyIdentity", "supportedOS"}) {
        EXPECT_EQ(manifest.find(absent), std::string::npos) << absent;
    }
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, ProgramResources, ::testing::ValuesIn(kPrograms),
                         [](const ::testing::TestParamInfo<Program>& info) {
                             return info.index == 0 ? std::string("Kestrome") : std::string("KestromeCli");
                         });

}  // namespace
