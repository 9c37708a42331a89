#include "stack/timer/NvTestClock.h"

#include "stack/timer/NvMonitorThread.h"

NvTestClock::NvTestClock(double startMicros) : m_Now(startMicros) { NvTime::sSetClock(this); }

NvTestClock::~NvTestClock() { NvTime::sSetClock(nullptr); }

size_t NvTestClock::advance(uint64_t ms) {
    const double target = m_Now + static_cast<double>(ms) * 1000.0;
    NvScheduler& scheduler = NvMonitorThread::sGetCurrent()->getScheduler();
    size_t fired = 0;
    double key;
    // Each timer fires with the clock at its own expiry, so that what it
    // schedules in turn is timed from there.
    for (;;) {
        const double next = scheduler.nextKey();
        if (next < 0 || next > target) break;
        if (next > m_Now) m_Now = next;
        if (scheduler.runNext(m_Now, key)) ++fired;
    }
    m_Now = target;
    return fired;
}

size_t NvTestClock::fireDue() { return NvMonitorThread::sGetCurrent()->getScheduler().runDue(); }
