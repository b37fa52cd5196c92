// The date argument: the engine's lenient parse, the window's check and the number scan under
// them, on any text. Beside the sanitizers' own checks:
//   - the scan agrees with the C library's swscanf("%d<sep>%d<sep>%d") wherever that is defined
//     (ASCII text, numbers that fit an int), also in what it leaves unconverted;
//   - every text the window accepts enables the engine's filter;
//   - an enabled filter holds a local midnight from 1970 to the year 3000, or the one second
//     before 1970 that stands for a date out of that range.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <cwchar>

#include "engine/date_filter.h"
#include "fuzz/fuzz_text.h"

namespace {

constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
constexpr int64_t kUnitsPerSecond = 10000000LL;
constexpr int64_t kFirstSecondAfterYear3000 = 32535216000LL;

// True where swscanf's result is defined and comparable: ASCII only (the C library's idea of
// white space beyond it depends on the locale) and no digit run that could overflow an int.
bool ScanfComparable(const std::wstring& text) {
    size_t run = 0;
    for (wchar_t c : text) {
        if (c < 1 || c > 0x7E) return false;
        run = (c >= L'0' && c <= L'9') ? run + 1 : 0;
        if (run > 9) return false;
    }
    return true;
}

void CheckScan(const std::wstring& text, wchar_t separator) {
    const int sentinel = -123456789;
    int a = sentinel, b = sentinel, c = sentinel;
    int count = ScanThreeNumbers(text.c_str(), separator, &a, &b, &c);
    if (count < 0 || count > 3) abort();
    if ((count < 1 && a != sentinel) || (count < 2 && b != sentinel) || (count < 3 && c != sentinel)) abort();
    if (!ScanfComparable(text)) return;
    wchar_t format[] = L"%d.%d.%d";
    format[2] = separator;
    format[5] = separator;
    int x = sentinel, y = sentinel, z = sentinel;
    int expected = swscanf(text.c_str(), format, &x, &y, &z);
    if (expected < 0) expected = 0;  // EOF: nothing but white space
    if (count != expected || a != x || b != y || c != z) abort();
}

void CheckFilter(const std::wstring& text) {
    DateFilter.enabled = 0;
    ParseDateArgument(text.c_str());
    bool valid = IsValidDateText(text.c_str());
    if (valid && !DateFilter.enabled) abort();
    if (!DateFilter.enabled) return;
    int64_t units = FileTimeToInt64(DateFilter.threshold);
    int64_t sinceEpoch = units - kSecondsFrom1601To1970 * kUnitsPerSecond;
    if (sinceEpoch == -kUnitsPerSecond) return;  // out of the conversion's range
    if (sinceEpoch < 0 || sinceEpoch % kUnitsPerSecond != 0) abort();
    time_t seconds = static_cast<time_t>(sinceEpoch / kUnitsPerSecond);
    if (seconds >= kFirstSecondAfterYear3000) abort();
    struct tm local;
    if (!localtime_r(&seconds, &local)) abort();
    if (local.tm_hour != 0 || local.tm_min != 0 || local.tm_sec != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A zone with daylight saving time, whose changes never fall on midnight.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBytes bytes{data, size};
    std::wstring text = bytes.Text(200);
    for (wchar_t separator : {L'.', L'-', L'/'}) CheckScan(text, separator);
    CheckFilter(text);
    return 0;
}
