#include "stack/timer/NvMonitorThread.h"

#include "stack/base/NvException.h"
#include "stack/log/TellarLogger.h"
#include "stack/timer/NvTime.h"

#include <ace/Dev_Poll_Reactor.h>
#include <ace/Reactor.h>
#include <ace/Thread.h>

#include <algorithm>
#include <cmath>
#include <system_error>

namespace {
thread_local NvMonitorThread* t_pCurrent = nullptr;

// Longest single wait, so that a change of the system clock is noticed.
constexpr double kMaxWaitMicros = 1e6;
}  // namespace

NvMonitorThread* NvMonitorThread::sGetCurrent() {
    if (t_pCurrent) return t_pCurrent;
    // Never destroyed: timers and sockets may be used until the very end of the process.
    static NvMonitorThread* const defaultMonitor = new NvMonitorThread();
    return defaultMonitor;
}

NvMonitorThread::NvMonitorThread()
    : m_pReactor(new ACE_Reactor(new ACE_Dev_Poll_Reactor(ACE::max_handles()), true)) {
    m_Scheduler.setWakeUp([this] { wakeUp(); });
}

NvMonitorThread::~NvMonitorThread() { stop(); }

ACE_Reactor& NvMonitorThread::getReactor() { return *m_pReactor; }

bool NvMonitorThread::isMonitorThread() const { return t_pCurrent == this; }

void NvMonitorThread::start() {
    if (m_bRunning.exchange(true)) return;
    m_bStopping = false;
    try {
        m_Thread = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        m_bRunning = false;
        NvSystemError::sThrow("pthread_create", e.code().value());
    }
}

void NvMonitorThread::stop() {
    if (!m_bRunning.load()) return;
    {
        std::lock_guard<std::mutex> lock(m_PostMutex);  // a poster waiting for room sees it
        m_bStopping = true;
    }
    m_Room.notify_all();
    wakeUp();
    if (m_Thread.joinable()) m_Thread.join();
    m_bRunning = false;
}

void NvMonitorThread::wakeUp() {
    if (m_bRunning.load()) m_pReactor->notify();
}

void NvMonitorThread::post(std::function<void()> task) { queue(std::move(task), true); }

void NvMonitorThread::postWithoutWaiting(std::function<void()> task) { queue(std::move(task), false); }

void NvMonitorThread::queue(std::function<void()> task, bool waitForRoom) {
    if (!m_bRunning.load() || isMonitorThread()) {
        task();
        return;
    }
    {
        std::unique_lock<std::mutex> lock(m_PostMutex);
        if (waitForRoom)
            m_Room.wait(lock, [this] { return m_Posted.size() < kMaxPosted || m_bStopping.load(); });
        m_Posted.push_back(std::move(task));
    }
    wakeUp();
}

void NvMonitorThread::runPosted() {
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> lock(m_PostMutex);
        tasks.swap(m_Posted);
    }
    m_Room.notify_all();
    for (auto& task : tasks) task();
}

void NvMonitorThread::run() {
    t_pCurrent = this;
    m_pReactor->owner(ACE_Thread::self());
    static Tellar::Logger& logger = Tellar::getLogger("lumbrook.sip.stack.monitor");
    while (!m_bStopping.load()) {
        try {
            runPosted();
            const double next = m_Scheduler.nextKey();
            double wait = kMaxWaitMicros;
            if (next >= 0) wait = std::clamp(next - NvTime::sGetCurrentTime(), 0.0, kMaxWaitMicros);
            // The reactor waits in whole milliseconds and truncates: a wait under
            // one would return at once and spin until the timer is due.
            wait = std::ceil(wait / 1000.0) * 1000.0;
            ACE_Time_Value timeout;
            timeout.set(wait / 1e6);
            m_pReactor->handle_events(timeout);
            m_Scheduler.runDue();
        } catch (NvHandle<NvException>& e) {
            TELLAR_ERROR(logger, "Exception escaped to the monitor thread: " << e->getMessage().str());
        } catch (const std::exception& e) {
            TELLAR_ERROR(logger, "Exception escaped to the monitor thread: " << e.what());
        }
    }
    runPosted();
    t_pCurrent = nullptr;
}
