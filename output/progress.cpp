#include "output/progress.h"

#include "output/message.h"

namespace {

const wchar_t kBar[] = L"||||||||||||||||||||||||||||||||||||||||||||||||||||||||||||";
constexpr int kBarCells = 60;
constexpr int kLineWidth = 67;  // "100% [" + 60 cells + "]"
constexpr uint64_t kThrottleMs = 80;

// Each thread that copies shows its own copies' progress.
thread_local int32_t g_lastPercentage = -1;
thread_local uint64_t g_lastTick = 0;
TickSource g_tickSource = nullptr;

}  // namespace

void SetTickSource(TickSource source) { g_tickSource = source; }

void ResetCopyProgress() {
    g_lastPercentage = -1;
    g_lastTick = 0;
}

void ShowCopyProgress(double fraction) {
    int percentage = static_cast<int>(fraction * 100.0);
    if (percentage == g_lastPercentage && percentage != 100) return;
    g_lastPercentage = percentage;
    int cells = static_cast<int>(fraction * 60.0);
    if (cells < 0) cells = 0;
    if (cells > kBarCells) cells = kBarCells;
    WriteMessage(L"\r%3d%% [%.*s%*s]", percentage, cells, kBar, kBarCells - cells, L"");
    if (percentage == 100) WriteMessage(L"\r%*s\r", kLineWidth, L"");
}

uint32_t CopyProgressRoutine(int64_t totalSize, int64_t transferred) {
    uint32_t now = g_tickSource ? g_tickSource() : SystemTickCount();
    // Widened to 64 bits, a tick count that wrapped since the last update gives a huge difference
    // and passes.
    uint64_t elapsed = static_cast<uint64_t>(now) - g_lastTick;
    if (elapsed > kThrottleMs || transferred == totalSize) {
        double fraction = totalSize > 0 ? static_cast<double>(transferred) / static_cast<double>(totalSize) : 1.0;
        ShowCopyProgress(fraction);
        g_lastTick = now;
    }
    return kProgressContinue;
}
