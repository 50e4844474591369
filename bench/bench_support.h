// What the Wine benchmarks share: the clock, percentiles, a wait that keeps
// the window thread's messages flowing.
#pragma once
#include <windows.h>
#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

inline double Percentile(std::vector<double> v, double p)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

// ZR_EMULATED=1: the run is under an emulator, whose speed says nothing about
// the goals. The figures are still printed, the verdict is not.
inline bool Emulated()
{
    char value[2];
    return GetEnvironmentVariableA("ZR_EMULATED", value, sizeof value) == 1 && value[0] == '1';
}

// One "goal: " line (format without that prefix), or a note in its place.
inline void Goal(const char* format, ...)
{
    if (Emulated()) {
        std::printf("emulated run (ZR_EMULATED=1): no goal line\n");
        return;
    }
    std::printf("goal: ");
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

inline void Pump()
{
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
}

// Waits until done() holds or timeout_ms pass, serving the thread's messages
// meanwhile. True when done() held.
template <class Done>
bool PumpUntil(Done done, DWORD timeout_ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (Clock::now() >= end) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        Pump();
    }
    return true;
}

}  // namespace bench
