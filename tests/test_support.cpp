#include "tests/test_support.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>

#include "engine/date_filter.h"
#include "engine/paths.h"
#include "engine/run_state.h"
#include "engine/run_sync.h"
#include "output/message.h"
#include "output/progress.h"
#include "engine/fs/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {
std::vector<std::wstring> g_messages;
void CaptureMessage(const wchar_t* text) { g_messages.emplace_back(text); }
}  // namespace

std::vector<std::wstring>& CapturedMessages() { return g_messages; }

void StartCapture() {
    g_messages.clear();
    SetOutputSink(CaptureMessage);
}

std::wstring CapturedText() {
    std::wstring all;
    for (const std::wstring& m : g_messages) all += m;
    return all;
}

std::wstring P(const std::wstring& path) {
    std::wstring out = path;
    for (wchar_t& c : out) {
        if (c == L'/') c = kPathSeparator;
    }
    return out;
}

int RunWith(const std::vector<std::wstring>& arguments) {
    std::vector<const wchar_t*> pointers;
    for (const std::wstring& a : arguments) pointers.push_back(a.c_str());
    return RunSync(static_cast<int32_t>(pointers.size()), pointers.data());
}

void SetTimeZone(const char* tz) {
#ifdef _WIN32
    _putenv_s("TZ", tz);
    _tzset();
#else
    setenv("TZ", tz, 1);
    tzset();
#endif
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    AppendUtf8(out, text.data(), text.size());
    return out;
}

int64_t UtcFileTime(int year, int month, int day, int hour, int minute, int second) {
    // Days from civil (proleptic Gregorian), so the tests need no time-zone-dependent call.
    int y = year - (month <= 2 ? 1 : 0);
    int era = (y >= 0 ? y : y - 399) / 400;
    int yoe = y - era * 400;
    int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t days = static_cast<int64_t>(era) * 146097 + doe - 719468;
    int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    return (seconds + 11644473600LL) * 10000000LL;
}

void MemFsTest::SetUp() {
    MemFsReset();
    SetFileSystem(&MemoryFileSystem());
    StartCapture();
    ClearStopRequest();
    ResetCopyProgress();
}

void MemFsTest::TearDown() {
    SetFileSystem(&PlatformFileSystem());
    ClearOutputSink();
    ClearStopRequest();
    DateFilter.enabled = 0;
}

void PassTest::SetUp() {
    MemFsTest::SetUp();
    MemFsAddFolder(P(L"/src"));
    MemFsAddFolder(P(L"/dst"));
}

void PassTest::File(const std::wstring& path, const std::string& content, int64_t time) {
    MemFsAddFile(P(path), content, time, time);
}

int PassTest::Run(const wchar_t* extra) {
    StartCapture();
    if (extra) return RunWith({L"k", P(L"/src"), P(L"/dst"), extra});
    return RunWith({L"k", P(L"/src"), P(L"/dst")});
}

std::string PassTest::At(const std::wstring& path) {
    MemFsNode node;
    if (!MemFsLookup(P(path), &node)) return "<none>";
    return node.folder ? "<folder>" : node.content;
}

bool PassTest::Said(const std::wstring& line) { return CapturedText().find(P(line)) != std::wstring::npos; }

size_t MemFsTest::Count(const std::wstring& prefix) {
    size_t n = 0;
    for (const std::wstring& m : CapturedMessages()) n += m.rfind(prefix, 0) == 0;
    return n;
}

void RealFolderTest::SetUp() {
    SetFileSystem(&PlatformFileSystem());
    static std::mt19937_64 random(std::random_device{}());
    fs::path base = fs::temp_directory_path() / ("kestrome-test-" + std::to_string(random() % 1000000000));
    fs::create_directories(base);
    root = base.wstring();
    if (!root.empty() && root.back() == kPathSeparator) root.pop_back();
    StartCapture();
    ClearStopRequest();
    ResetCopyProgress();
}

void RealFolderTest::TearDown() {
    ClearOutputSink();
    ClearStopRequest();
    DateFilter.enabled = 0;
    std::error_code ignored;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root, ignored);
}

void MakeRealFolder(const std::wstring& path) { fs::create_directories(fs::path(path)); }

void WriteRealFile(const std::wstring& path, const std::string& content, int64_t lastWriteTime) {
    fs::path p(path);
    fs::create_directories(p.parent_path());
    {
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
#ifdef _WIN32
    // The C++ library of mingw sets whole seconds only; the tests need the exact 100-ns time.
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    FILETIME time = {static_cast<DWORD>(lastWriteTime), static_cast<DWORD>(lastWriteTime >> 32)};
    SetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
#else
    // file_time_type counts from an epoch of its own; step from the file's current time instead.
    FileInfo info;
    int64_t now = FsGetAttributesEx(path.c_str(), &info) ? FileTimeToInt64(info.lastWriteTime) : 0;
    auto current = fs::last_write_time(p);
    fs::last_write_time(p, current + std::chrono::duration_cast<fs::file_time_type::duration>(
                                         std::chrono::nanoseconds((lastWriteTime - now) * 100)));
#endif
}

bool ReadRealFile(const std::wstring& path, std::string* content) {
    std::ifstream in(fs::path(path), std::ios::binary);
    if (!in) return false;
    content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}
