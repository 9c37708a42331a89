#pragma once
// NvMonitorThread: the stack's own thread. It waits on the sockets of the
// transport and on the next timer of its scheduler, and runs both: received
// messages and due timers are handled on it, one at a time.
//
// One default monitor exists per process (sGetCurrent() returns it on any
// thread). It is created stopped: a program using real sockets calls
// start(); tests leave it stopped and drive its scheduler with NvTestClock
// and inject traffic with NvSipTestTransport, all on the test's thread.
//
// The socket side is an ACE reactor (epoll-based); handlers registered on it
// run on the monitor thread. post() hands work from any thread to the
// monitor thread.

#include "stack/timer/NvScheduler.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class ACE_Reactor;

class NvMonitorThread {
public:
    // The monitor of the calling thread, else the process's default one. Never null.
    static NvMonitorThread* sGetCurrent();

    NvScheduler& getScheduler() { return m_Scheduler; }
    ACE_Reactor& getReactor();

    // Starts the thread (no-op when running). Raises NvSystemError when the
    // thread cannot be created.
    void start();
    // Stops the thread and waits for it (no-op when stopped). Must not be
    // called on the monitor thread itself.
    void stop();
    bool isRunning() const { return m_bRunning.load(); }
    // Whether the calling thread is this monitor's thread.
    bool isMonitorThread() const;

    // Runs `task` on the monitor thread: at once when called on it or when
    // the monitor is stopped (tests), otherwise as soon as the thread is free.
    void post(std::function<void()> task);

    NvMonitorThread();
    ~NvMonitorThread();
    NvMonitorThread(const NvMonitorThread&) = delete;
    NvMonitorThread& operator=(const NvMonitorThread&) = delete;

private:
    void run();
    void runPosted();
    void wakeUp();

    NvScheduler m_Scheduler;
    std::unique_ptr<ACE_Reactor> m_pReactor;
    std::thread m_Thread;
    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bStopping{false};
    std::mutex m_PostMutex;
    std::vector<std::function<void()>> m_Posted;
};
