#pragma once
// NvTime: the stack's clock, in microseconds since the epoch. Every timer
// and time stamp of the stack reads it, so a test can replace the clock
// (NvTestClock) and move time by hand.
//
// NvClock is the source behind it: the system's real-time clock unless a
// test clock is installed. Installing a clock is not synchronised with
// readers: do it before the stack runs.

class NvClock {
public:
    virtual ~NvClock();
    // Microseconds since the epoch.
    virtual double now() const = 0;
};

class NvTime {
public:
    static double sGetCurrentTime();
    // Makes `clock` the stack's clock; nullptr restores the system clock.
    // The caller keeps `clock` alive while it is installed.
    static void sSetClock(const NvClock* clock);
};
