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
//
// The post queue is bounded: at most kMaxPosted tasks wait (a std::function
// and its captures each, some 100 bytes: under 1 MB). A thread that posts
// to a full queue waits for room, which the monitor thread makes by taking
// the whole queue at each turn of its loop (after each batch of socket
// input and due timers), so the wait is at most one turn. The monitor
// thread itself never waits: its own posts, and every post while it is
// stopped, run at once; and once it is stopping, posts are queued without
// waiting. A poster must therefore not hold, while it posts, a lock that
// the monitor thread's work may wait for. The stack's own posts keep that
// rule or do not wait: the resolver thread posts holding nothing; a TCP
// send, whose caller may hold a dialog's lock, uses postWithoutWaiting,
// and posts at most one task a connection at a time (its first queued
// bytes, its connecting), so those are bounded by the connections open.
//
// Locks: m_PostMutex guards m_Posted; m_Room is signalled when the monitor
// takes the queue.

#include "stack/timer/NvScheduler.h"

#include <atomic>
#include <condition_variable>
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
    // the monitor is stopped (tests), otherwise as soon as the thread is
    // free; waits for room while kMaxPosted tasks are queued (see above).
    void post(std::function<void()> task);
    // The same without waiting for room, for a poster that may hold a lock
    // the monitor thread needs and bounds its own posts (see above).
    void postWithoutWaiting(std::function<void()> task);
    static constexpr size_t kMaxPosted = 4096;

    NvMonitorThread();
    ~NvMonitorThread();
    NvMonitorThread(const NvMonitorThread&) = delete;
    NvMonitorThread& operator=(const NvMonitorThread&) = delete;

private:
    void run();
    void queue(std::function<void()> task, bool waitForRoom);
    void runPosted();
    void wakeUp();

    NvScheduler m_Scheduler;
    std::unique_ptr<ACE_Reactor> m_pReactor;
    std::thread m_Thread;
    std::atomic<bool> m_bRunning{false};
    std::atomic<bool> m_bStopping{false};
    std::mutex m_PostMutex;
    std::condition_variable m_Room;
    std::vector<std::function<void()>> m_Posted;
};
