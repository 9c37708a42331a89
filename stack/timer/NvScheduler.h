#pragma once
// Timers. An NvObserver asks an NvScheduler to notify it after a delay; when
// the time comes the scheduler calls the observer's onNotification with the
// NvTimer that fired and the object given at scheduling (or the NvTimer
// itself when none was given).
//
// A timer is known by its key: the absolute expiry time in microseconds on
// NvTime's clock, as schedule() returns it. Keys are unique per observer
// (a clash moves the later timer by one microsecond). cancel(observer, key)
// removes one timer; NvObserver::detach() removes all of an observer's from
// the scheduler it was last scheduled on (schedule() tells the observer).
//
// How timers are kept: one queue per distinct delay, in expiry order. A
// stack uses a handful of delays (T1 and its doubles, T2, T4, 64*T1, a
// session interval), so a new timer nearly always goes at the tail of its
// queue, and the earliest timer is the earliest of the queues' heads. Each
// timer is also on its observer's own list, so that cancel and detach cost
// the observer's few timers. schedule, cancel and firing cost O(number of
// distinct delays pending), independent of the number of timers; a timer
// costs one allocation.
//
// Threads: schedule and cancel may be called from any thread. Due timers
// fire on the thread that runs runDue(): the monitor thread in a running
// stack, the test's own thread under NvTestClock. A pending timer holds a
// counted reference to its observer and object, so neither can go away
// before the timer fires or is cancelled. No scheduler lock is held while an
// observer is notified: observers may schedule and cancel from onNotification.
// An observer's list of timers is guarded by the mutex of the scheduler
// that holds them: an observer with timers on two schedulers at once must
// use them from one thread (the stack has one scheduler, the monitor's).
#include "stack/base/NvHandle.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class NvObservable : public NvObject {};

class NvObserver;
class NvScheduler;
struct NvScheduledTimer;  // a pending timer, private to NvScheduler
struct NvSchedulerQueue;  // the pending timers of one delay, private to NvScheduler

class NvTimer : public NvObservable {
public:
    NvTimer(double key, NvObserver* observer, NvHandle<NvObject> object)
        : m_Key(key), m_pObserver(observer), m_hObject(std::move(object)) {}
    double getKey() const { return m_Key; }
    NvObserver* getObserver() const { return m_pObserver; }
    // The object given at scheduling; nil when none was given.
    NvHandle<NvObject> getObject() const { return m_hObject; }

private:
    double m_Key;
    NvObserver* m_pObserver;
    NvHandle<NvObject> m_hObject;
};

class NvObserver : public NvObject {
public:
    ~NvObserver() override;
    // Called when a timer of this observer expires: `observable` is the
    // NvTimer, `object` what was scheduled (or the NvTimer when nothing was).
    virtual void onNotification(NvHandle<NvObservable> observable, NvHandle<NvObject> object) = 0;
    // Cancels every pending timer of this observer on the scheduler it was
    // last scheduled on (none: nothing to do). A scheduler forgets the
    // observer when it cancels all its timers or is destroyed; otherwise it
    // must outlive the observer (the monitor's lives as long as the process).
    void detach();

private:
    friend class NvScheduler;
    std::atomic<NvScheduler*> m_pScheduler{nullptr};  // set by NvScheduler::schedule
    NvScheduledTimer* m_pTimers = nullptr;            // its pending timers (see the threads note)
};

class NvScheduler {
public:
    NvScheduler() = default;
    NvScheduler(const NvScheduler&) = delete;
    NvScheduler& operator=(const NvScheduler&) = delete;
    ~NvScheduler();

    // Notifies `observer` after `delayMs` milliseconds with `object` (may be
    // null). Returns the timer's key.
    double schedule(unsigned int delayMs, NvObserver* observer, NvObject* object);
    // Removes the timer; false when it was not pending (fired or unknown).
    bool cancel(NvObserver* observer, double key);
    // Removes every timer of `observer`; returns how many. Costs the
    // observer's own timers.
    size_t cancelAll(NvObserver* observer);

    // Fires, in key order (equal keys in the order they were scheduled),
    // every timer due at the current time; returns how many fired. Timers
    // scheduled while it runs fire in the same call when they are due.
    size_t runDue();
    // Fires the earliest timer if its key is at most `until`; returns false
    // when there is none. Used by NvTestClock to step time timer by timer.
    bool runNext(double until, double& firedKey);
    // Key of the earliest pending timer, or a negative number when none.
    double nextKey() const;
    size_t pending() const;

    // Called (outside the lock) when a timer earlier than all others is
    // scheduled, so that a thread waiting for the next key can wake up.
    void setWakeUp(std::function<void()> wakeUp);

private:
    // Unlinks `timer` from its queue and its observer's list (lock held);
    // the caller frees it after the lock.
    void take(NvScheduledTimer* timer);
    NvSchedulerQueue& queueFor(unsigned int delayMs);
    // The pending timer with the earliest key, or nullptr (lock held).
    NvScheduledTimer* earliest() const;
    void fire(NvScheduledTimer& timer);
    // Clears the observer's pointer to this scheduler (see NvObserver::detach).
    void forget(NvObserver* observer);

    mutable std::mutex m_Mutex;
    std::vector<NvSchedulerQueue*> m_Queues;  // one per delay with timers pending
    size_t m_Pending = 0;
    uint64_t m_Scheduled = 0;  // timers ever scheduled: equal keys fire in this order
    std::function<void()> m_WakeUp;
};
