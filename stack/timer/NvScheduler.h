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
// Threads: schedule and cancel may be called from any thread. Due timers
// fire on the thread that runs runDue(): the monitor thread in a running
// stack, the test's own thread under NvTestClock. A pending timer holds a
// counted reference to its observer and object, so neither can go away
// before the timer fires or is cancelled. No scheduler lock is held while an
// observer is notified: observers may schedule and cancel from onNotification.

#include "stack/base/NvHandle.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

class NvObservable : public NvObject {};

class NvObserver;
class NvScheduler;

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
    // Removes every timer of `observer`; returns how many. Costs the log of
    // the number of timers plus the observer's own.
    size_t cancelAll(NvObserver* observer);

    // Fires, in key order, every timer due at the current time; returns how
    // many fired. Timers scheduled while it runs fire in the same call when
    // they are due.
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
    struct Entry {
        NvHandle<NvObserver> observer;
        NvHandle<NvObject> object;
    };
    using Key = std::pair<double, uintptr_t>;  // expiry, observer address
    void fire(double key, Entry& entry);
    // Clears the observer's pointer to this scheduler (see NvObserver::detach).
    void forget(NvObserver* observer);
    // Takes the timer at `it` out of both indexes, its entry into `removed`.
    void take(std::map<Key, Entry>::iterator it, Entry& removed);

    mutable std::mutex m_Mutex;
    std::map<Key, Entry> m_Timers;     // ordered by expiry, then observer
    // The same timers by observer address: cancelling costs O(own timers).
    std::unordered_multimap<uintptr_t, double> m_ByObserver;
    std::function<void()> m_WakeUp;
};
