#include "apps/nvsip-ua/CallPacer.h"

#include "apps/nvsip-ua/Later.h"
#include "stack/timer/NvMonitorThread.h"

#include <cmath>

CallPacer::CallPacer(Caller& caller, CallReport& report, const CallOptions& options)
    : m_Caller(caller), m_Report(report), m_Options(options) {}

void CallPacer::start() {
    m_Report.onEnded([this] { placeDue(); });
    NvMonitorThread::sGetCurrent()->post([this] {
        m_Start = Clock::now();
        placeDue();
    });
}

void CallPacer::placeDue() {
    if (m_bPlacing) return;
    m_bPlacing = true;
    while (m_Placed < m_Options.count) {
        if (m_Options.limit > 0 && m_Placed - m_Report.endedCount() >= m_Options.limit) break;  // an end calls again
        const double dueMs = 1000.0 * static_cast<double>(m_Placed) / m_Options.rate;
        const double nowMs = std::chrono::duration<double, std::milli>(Clock::now() - m_Start).count();
        if (dueMs > nowMs) {
            if (!m_bTimerSet) {
                m_bTimerSet = true;
                runLater(static_cast<unsigned>(std::ceil(dueMs - nowMs)), [this] {
                    m_bTimerSet = false;
                    placeDue();
                });
            }
            break;
        }
        ++m_Placed;
        m_Caller.place();
    }
    m_bPlacing = false;
}
