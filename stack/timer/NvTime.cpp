#include "stack/timer/NvTime.h"

#include <atomic>
#include <ctime>

NvClock::~NvClock() = default;

namespace {
std::atomic<const NvClock*> g_Clock{nullptr};
}

double NvTime::sGetCurrentTime() {
    if (const NvClock* clock = g_Clock.load(std::memory_order_acquire)) return clock->now();
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec / 1000);
}

void NvTime::sSetClock(const NvClock* clock) { g_Clock.store(clock, std::memory_order_release); }
