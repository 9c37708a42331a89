#pragma once
// CallPacer: places nvsip-ua's calls at --rate at most and never more than
// --limit at once, on the stack's thread. A call is placed as soon as it is
// due and a place is free: when its time comes (a scheduler timer) or when
// a call ends (the report tells the pacer). Placing on the thread that
// handles the calls' messages spares each call a hand-over between threads
// (a wake-up, and the two threads taking the stack's locks in turn).
//
// Threads: start() from any thread; everything else runs on the stack's
// thread, so the pacer's state needs no lock.

#include "apps/nvsip-ua/CallReport.h"
#include "apps/nvsip-ua/Caller.h"

#include <chrono>

class CallPacer {
public:
    CallPacer(Caller& caller, CallReport& report, const CallOptions& options);
    // Starts placing the calls; returns at once.
    void start();

private:
    using Clock = std::chrono::steady_clock;
    // Places every call that is due and has a free place; when the next one
    // is not due yet, comes back when it is.
    void placeDue();

    Caller& m_Caller;
    CallReport& m_Report;
    const CallOptions& m_Options;
    Clock::time_point m_Start;
    long m_Placed = 0;
    bool m_bPlacing = false;    // placeDue() is running (a call that fails at once ends inside it)
    bool m_bTimerSet = false;   // a timer will call placeDue()
};
