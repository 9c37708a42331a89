#pragma once
// NvTestClock: a clock that moves only when a test moves it. While it is
// installed, NvTime reads it, and advance() fires every timer that falls due
// on the current monitor's scheduler, in order, each at its own time, on the
// calling thread. Part of the stack's public test API: a test can pass a
// 64*T1 transaction time-out or a 30-minute session timer in microseconds,
// with the same result on every run.
//
// Use on one thread, with the monitor thread stopped. The clock installs
// itself on construction and restores the system clock on destruction.

#include "stack/timer/NvTime.h"

#include <cstddef>
#include <cstdint>

class NvTestClock : public NvClock {
public:
    // Starts at `startMicros` (a fixed date, so that runs are repeatable).
    explicit NvTestClock(double startMicros = 1.7e15);
    ~NvTestClock() override;
    NvTestClock(const NvTestClock&) = delete;
    NvTestClock& operator=(const NvTestClock&) = delete;

    double now() const override { return m_Now; }
    // Moves time forward by `ms` milliseconds, firing due timers on the way;
    // returns how many fired.
    size_t advance(uint64_t ms);
    // Fires what is due now without moving time.
    size_t fireDue();

private:
    double m_Now;
};
