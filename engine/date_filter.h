// The date limit of a run: only source files created or last written on or after a given day's
// local midnight are taken.
#pragma once

#include <cstdint>

#include "engine/fs/file_system.h"

struct DateFilterState {
    int32_t enabled;     // 1 when the current run is limited by date
    FileTime threshold;  // local midnight of the day, as UTC
};
extern DateFilterState DateFilter;

// Reads text as Y.m.d, d.m.Y, Y-m-d or m/d/Y (the first form that converts three numbers with a
// year above 1900 wins) and enables DateFilter with that day's threshold; no match leaves it off.
void ParseDateArgument(const wchar_t* text);
// The window's check: the same forms and order, with month 1 to 12 and day 1 to 31.
bool IsValidDateText(const wchar_t* text);

// Scans "%d<sep>%d<sep>%d" as swscanf does; returns how many numbers converted (0 to 3).
int ScanThreeNumbers(const wchar_t* text, wchar_t separator, int* a, int* b, int* c);
// Local midnight of year-month-day as seconds since 1970 UTC, normalizing months and days;
// -1 before 1970-01-01 00:00:00 UTC and after the year 3000.
int64_t LocalMidnightSeconds(int year, int month, int day);
