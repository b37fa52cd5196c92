#include "engine/date_filter.h"

#include <climits>
#include <ctime>

DateFilterState DateFilter = {0, {0, 0}};

namespace {

constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;
constexpr int64_t kUnitsPerSecond = 10000000LL;
// 3001-01-01 00:00:00 UTC: the local-time conversion answers -1 from here on.
constexpr int64_t kFirstSecondAfterYear3000 = 32535216000LL;

bool IsScanSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

// One "%d": white space, an optional sign, at least one decimal digit. Values beyond the int
// range saturate, so the result never depends on overflow.
bool ScanNumber(const wchar_t*& p, int* value) {
    const wchar_t* q = p;
    while (IsScanSpace(*q)) ++q;
    bool negative = false;
    if (*q == L'+' || *q == L'-') negative = *q++ == L'-';
    if (*q < L'0' || *q > L'9') return false;
    int64_t magnitude = 0;
    for (; *q >= L'0' && *q <= L'9'; ++q) {
        if (magnitude <= INT_MAX) magnitude = magnitude * 10 + (*q - L'0');
    }
    int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT_MAX) signedValue = INT_MAX;
    if (signedValue < INT_MIN) signedValue = INT_MIN;
    *value = static_cast<int>(signedValue);
    p = q;
    return true;
}

bool InRanges(int month, int day) { return month >= 1 && month <= 12 && day >= 1 && day <= 31; }

}  // namespace

int ScanThreeNumbers(const wchar_t* text, wchar_t separator, int* a, int* b, int* c) {
    const wchar_t* p = text;
    int* targets[3] = {a, b, c};
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (*p != separator) return i;
            ++p;
        }
        if (!ScanNumber(p, targets[i])) return i;
    }
    return 3;
}

int64_t LocalMidnightSeconds(int year, int month, int day) {
    int64_t yearsSince1900 = static_cast<int64_t>(year) - 1900;
    int64_t monthIndex = static_cast<int64_t>(month) - 1;
    if (yearsSince1900 < INT_MIN || yearsSince1900 > INT_MAX || monthIndex < INT_MIN) return -1;
    std::tm fields{};
    fields.tm_sec = 0;
    fields.tm_min = 0;
    fields.tm_hour = 0;
    fields.tm_mday = day;
    fields.tm_mon = static_cast<int>(monthIndex);
    fields.tm_year = static_cast<int>(yearsSince1900);
    fields.tm_isdst = -1;
    int64_t seconds = static_cast<int64_t>(std::mktime(&fields));
    // The same range on every platform: nothing before 1970 UTC and nothing after the year 3000.
    if (seconds < 0 || seconds >= kFirstSecondAfterYear3000) return -1;
    return seconds;
}

void ParseDateArgument(const wchar_t* text) {
    int year = 0, month = 0, day = 0;
    bool matched = (ScanThreeNumbers(text, L'.', &year, &month, &day) == 3 && year > 1900) ||
                   (ScanThreeNumbers(text, L'.', &day, &month, &year) == 3 && year > 1900) ||
                   (ScanThreeNumbers(text, L'-', &year, &month, &day) == 3 && year > 1900) ||
                   (ScanThreeNumbers(text, L'/', &month, &day, &year) == 3 && year > 1900);
    if (!matched) return;
    DateFilter.enabled = 1;
    int64_t seconds = LocalMidnightSeconds(year, month, day);
    DateFilter.threshold = FileTimeFromInt64((seconds + kSecondsFrom1601To1970) * kUnitsPerSecond);
}

bool IsValidDateText(const wchar_t* text) {
    int a = 0, b = 0, c = 0;
    if (ScanThreeNumbers(text, L'.', &a, &b, &c) == 3) {
        if (a > 1900) return InRanges(b, c);
        if (c > 1900) return InRanges(b, a);
    }
    int year = 0, month = 0, day = 0;
    if (ScanThreeNumbers(text, L'-', &year, &month, &day) == 3 && year > 1900) return InRanges(month, day);
    if (ScanThreeNumbers(text, L'/', &month, &day, &year) == 3 && year > 1900) return InRanges(month, day);
    return false;
}
