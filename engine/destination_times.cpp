#include "engine/destination_times.h"

#include <algorithm>
#include <climits>
#include <mutex>

namespace {

constexpr int64_t kSecond = 10000000;
constexpr int64_t kUnixEpoch = 11644473600LL * kSecond;  // 1970-01-01 in 100-ns units since 1601
constexpr int64_t UnixSeconds(int64_t seconds) { return kUnixEpoch + seconds * kSecond; }

// Coarsest first; each divides the ones before it, and 1 (exact) divides every time.
constexpr int64_t kPrecisions[] = {2 * kSecond, kSecond, 100000, 10000, 10, 1};
constexpr int64_t kCoarsest = 2 * kSecond;

// FAT keeps 1980-01-01 00:00:00 to 2107-12-31 23:59:58 (exFAT to 23:59:59) in local time on
// Windows, in UTC on Linux: a bound in any time zone (whole quarter hours, up to 14 h from UTC),
// so that no run depends on the zone it runs in.
constexpr int64_t kFatLow = UnixSeconds(315532800);      // 1980-01-01 00:00:00 UTC
constexpr int64_t kFatHigh = UnixSeconds(4354819198);    // 2107-12-31 23:59:58 UTC
constexpr int64_t kQuarterHour = 900 * kSecond;
constexpr int64_t kFarthestZone = 14 * 3600 * kSecond;

bool InSomeZone(int64_t time, int64_t utcBound) {
    if (time < utcBound - kFarthestZone || time > utcBound + kFarthestZone) return false;
    return (time - utcBound) % kQuarterHour == 0;
}

constexpr size_t kMostBounds = 8;
struct Bounds {
    int64_t at[kMostBounds];
    size_t count;
};

// Until the first reset: nothing seen, no bound known.
struct State {
    int64_t precision = kCoarsest;  // the coarsest of kPrecisions dividing every destination time seen
    bool dropShown = false;         // a read-back showed a finer part dropped at this precision
    // Every destination time seen lies in between, and no file system we know clamps a time there.
    int64_t keptLow = LLONG_MAX, keptHigh = LLONG_MIN;
    int64_t shownLow = LLONG_MIN, shownHigh = LLONG_MAX;  // clamp bounds a read-back of this run showed
    Bounds lows{{}, 0}, highs{{}, 0};  // clamp bounds: known file-system limits and what read-backs showed
};

std::mutex g_mutex;
State g_state;

void AddBound(Bounds& bounds, int64_t at) {
    for (size_t i = 0; i < bounds.count; ++i) {
        if (bounds.at[i] == at) return;
    }
    if (bounds.count < kMostBounds) bounds.at[bounds.count++] = at;
}

bool IsBound(const Bounds& bounds, int64_t at) {
    for (size_t i = 0; i < bounds.count; ++i) {
        if (bounds.at[i] == at) return true;
    }
    return false;
}

bool IsLowBound(const Bounds& lows, int64_t at) { return IsBound(lows, at) || InSomeZone(at, kFatLow); }
bool IsHighBound(const Bounds& highs, int64_t at) {
    return IsBound(highs, at) || InSomeZone(at, kFatHigh) || InSomeZone(at, kFatHigh + kSecond);
}

// Whether time lies within precision of the source time: its value truncated, or rounded up, to
// the precision. Times at the very ends of the range are never taken as rounded.
bool RoundedTo(int64_t source, int64_t time, int64_t precision) {
    if (precision <= 1 || source < LLONG_MIN + kCoarsest || source > LLONG_MAX - kCoarsest) return false;
    int64_t truncated = source - ((source % precision) + precision) % precision;
    return time == truncated || (truncated != source && time == truncated + precision);
}

void Note(State& s, int64_t time) {
    if (time % s.precision != 0) {
        for (int64_t candidate : kPrecisions) {
            if (candidate < s.precision && time % candidate == 0) {
                s.precision = candidate;
                break;
            }
        }
        s.dropShown = false;
    }
    s.keptLow = std::min(s.keptLow, time);
    s.keptHigh = std::max(s.keptHigh, time);
}

bool WorthReading(const State& s, int64_t source) {
    if (source % s.precision != 0 && !s.dropShown) return true;
    return (source > s.keptHigh && s.keptHigh != s.shownHigh) || (source < s.keptLow && s.keptLow != s.shownLow);
}

// A stored time that is neither the source's nor its rounding is a clamp bound when it lies
// between the range known to be kept and the source time. Anything else (another program's
// write, say) teaches nothing.
void Learn(State& s, int64_t source, int64_t stored) {
    int64_t lowBefore = s.keptLow, highBefore = s.keptHigh;
    Note(s, stored);
    if (stored == source) return;
    if (RoundedTo(source, stored, s.precision)) {
        s.dropShown = true;
        return;
    }
    if (source > highBefore && stored >= highBefore && stored < source) {
        AddBound(s.highs, stored);
        s.shownHigh = stored;
    } else if (source < lowBefore && stored <= lowBefore && stored > source) {
        AddBound(s.lows, stored);
        s.shownLow = stored;
    }
}

}  // namespace

void ResetDestinationTimes() {
    std::lock_guard<std::mutex> lock(g_mutex);
    State& s = g_state;
    s.precision = kCoarsest;
    s.dropShown = false;
    s.shownLow = LLONG_MIN;
    s.shownHigh = LLONG_MAX;
    s.lows.count = 0;
    s.highs.count = 0;
    // Signed 32-bit seconds since 1970 (ext4 with 128-byte inodes, XFS without big timestamps) and
    // ext4's 34-bit seconds; FAT's are looked at in every zone (IsLowBound, IsHighBound).
    AddBound(s.lows, UnixSeconds(INT32_MIN));
    AddBound(s.highs, UnixSeconds(INT32_MAX));
    AddBound(s.highs, UnixSeconds((1LL << 34) - 1 + INT32_MIN));  // 2446-05-10 22:38:55
    // Between the latest low bound and the earliest high bound every file system we know keeps a
    // time as it comes: only a copy dated outside teaches anything about the range.
    s.keptLow = kFatLow + kFarthestZone;
    s.keptHigh = UnixSeconds(INT32_MAX);
}

void NoteDestinationTime(FileTime time) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Note(g_state, FileTimeToInt64(time));
}

bool DestinationTimeMatches(FileTime sourceTime, FileTime destinationTime, int64_t tolerance) {
    if (TimesWithin(sourceTime, destinationTime, tolerance)) return true;
    int64_t source = FileTimeToInt64(sourceTime), destination = FileTimeToInt64(destinationTime);
    std::lock_guard<std::mutex> lock(g_mutex);
    const State& s = g_state;
    if (RoundedTo(source, destination, s.precision)) return true;
    // A bound stands for the times beyond it only while the destination shows none of them.
    if (source > destination && destination == s.keptHigh && IsHighBound(s.highs, destination)) return true;
    return source < destination && destination == s.keptLow && IsLowBound(s.lows, destination);
}

void LearnFromCopy(const wchar_t* destinationFile, FileTime sourceTime, uint64_t size) {
    int64_t source = FileTimeToInt64(sourceTime);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!WorthReading(g_state, source)) return;
    }
    FileInfo info;
    if (!FsGetAttributesEx(destinationFile, &info)) return;
    if (info.attributes & (kFileAttributeDirectory | kFileAttributeReparsePoint | kFileAttributeDevice)) return;
    // Another size: another program wrote there since, and its time says nothing of the copy's.
    if ((static_cast<uint64_t>(info.sizeHigh) << 32 | info.sizeLow) != size) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    Learn(g_state, source, FileTimeToInt64(info.lastWriteTime));
}
