// The scheduler, the test clock and the monitor thread.

#include "stack/timer/NvMonitorThread.h"
#include "stack/timer/NvScheduler.h"
#include "stack/timer/NvTestClock.h"
#include "stack/timer/NvTime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Records each notification: the clock when it came, the timer key, and
// whether the object was the timer itself. Sets `*destroyed` when it goes.
class Recorder : public NvObserver {
public:
    struct Fired {
        double at;
        double key;
        NvHandle<NvObject> object;
        bool objectIsTimer;
    };
    explicit Recorder(bool* destroyed = nullptr) : m_pDestroyed(destroyed) {}
    ~Recorder() override {
        if (m_pDestroyed) *m_pDestroyed = true;
    }

    void onNotification(NvHandle<NvObservable> observable, NvHandle<NvObject> object) override {
        NvHandle<NvTimer> timer(observable);
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Fired.push_back({NvTime::sGetCurrentTime(), timer->getKey(), object, object.get() == timer.get()});
        }
        if (m_OnFire) m_OnFire();
    }
    std::vector<Fired> fired() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Fired;
    }

    std::function<void()> m_OnFire;

private:
    bool* m_pDestroyed;
    std::mutex m_Mutex;
    std::vector<Fired> m_Fired;
};

NvScheduler& scheduler() { return NvMonitorThread::sGetCurrent()->getScheduler(); }

class SchedulerWithTestClock : public ::testing::Test {
protected:
    NvTestClock clock;
    NvHandle<Recorder> recorder{new Recorder()};
    void TearDown() override { recorder->detach(); }
};

TEST_F(SchedulerWithTestClock, TimersFireInExpiryOrderEachAtItsOwnTimeWhichIsTheirKey) {
    const double start = NvTime::sGetCurrentTime();
    NvHandle<NvObject> payload(new NvObject());
    const double late = scheduler().schedule(3000, recorder.get(), payload.get());
    const double early = scheduler().schedule(1000, recorder.get(), nullptr);
    EXPECT_DOUBLE_EQ(start + 3000e3, late);  // the absolute expiry, in microseconds
    EXPECT_EQ(0u, clock.advance(999));
    EXPECT_EQ(2u, clock.advance(2001));
    const auto fired = recorder->fired();
    ASSERT_EQ(2u, fired.size());
    EXPECT_DOUBLE_EQ(early, fired[0].key);
    EXPECT_DOUBLE_EQ(start + 1000e3, fired[0].at);
    EXPECT_TRUE(fired[0].objectIsTimer);  // nothing was given
    EXPECT_DOUBLE_EQ(late, fired[1].key);
    EXPECT_DOUBLE_EQ(late, fired[1].at);
    EXPECT_EQ(payload.get(), fired[1].object.get());
}

TEST_F(SchedulerWithTestClock, CancelledAndDetachedTimersNeverFire) {
    const double kept = scheduler().schedule(100, recorder.get(), nullptr);
    const double cancelled = scheduler().schedule(100, recorder.get(), nullptr);  // same expiry, its own key
    EXPECT_TRUE(scheduler().cancel(recorder.get(), cancelled));
    EXPECT_FALSE(scheduler().cancel(recorder.get(), cancelled));
    clock.advance(200);
    ASSERT_EQ(1u, recorder->fired().size());
    EXPECT_DOUBLE_EQ(kept, recorder->fired()[0].key);

    scheduler().schedule(200, recorder.get(), nullptr);
    NvScheduler own;  // detach() cancels on the scheduler the observer was last scheduled on
    own.schedule(200, recorder.get(), nullptr);
    own.schedule(300, recorder.get(), nullptr);
    recorder->detach();
    EXPECT_EQ(0u, own.pending());
    EXPECT_EQ(1u, scheduler().cancelAll(recorder.get()));
    clock.advance(1000);
    EXPECT_EQ(1u, recorder->fired().size());
}

TEST_F(SchedulerWithTestClock, TimerScheduledWhileFiringIsTimedFromItsParent) {
    const double start = NvTime::sGetCurrentTime();
    recorder->m_OnFire = [&] {
        if (recorder->fired().size() < 3) scheduler().schedule(500, recorder.get(), nullptr);
    };
    scheduler().schedule(500, recorder.get(), nullptr);
    EXPECT_EQ(3u, clock.advance(10000));
    ASSERT_EQ(3u, recorder->fired().size());
    EXPECT_DOUBLE_EQ(start + 1500e3, recorder->fired()[2].at);
}

TEST_F(SchedulerWithTestClock, PendingTimerKeepsItsObserverAliveUntilItFires) {
    bool destroyed = false;
    NvHandle<Recorder> observer(new Recorder(&destroyed));
    Recorder* notified = observer.get();
    scheduler().schedule(100, notified, nullptr);
    observer = nullptr;  // only the timer holds it now
    clock.advance(99);
    EXPECT_FALSE(destroyed);
    EXPECT_TRUE(notified->fired().empty());
    bool fired = false;
    notified->m_OnFire = [&] { fired = true; };
    clock.advance(1);
    EXPECT_TRUE(fired);
    EXPECT_TRUE(destroyed);  // the fired timer let go of the last reference
}

TEST(MonitorThread, RunsPostedWorkAtOnceWhenStoppedElseOnItsThreadWithItsTimers) {
    NvMonitorThread* monitor = NvMonitorThread::sGetCurrent();
    ASSERT_FALSE(monitor->isRunning());
    bool ranAtOnce = false;
    monitor->post([&] { ranAtOnce = true; });
    EXPECT_TRUE(ranAtOnce);
    monitor->start();
    NvHandle<Recorder> recorder(new Recorder());
    std::atomic<bool> onMonitor{false};
    std::atomic<bool> fired{false};
    recorder->m_OnFire = [&] { fired = NvMonitorThread::sGetCurrent() == monitor && monitor->isMonitorThread(); };
    monitor->getScheduler().schedule(20, recorder.get(), nullptr);
    monitor->post([&] { onMonitor = monitor->isMonitorThread(); });
    for (int i = 0; i < 200 && !(fired && onMonitor); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    monitor->stop();
    EXPECT_TRUE(fired);
    EXPECT_TRUE(onMonitor);
    EXPECT_FALSE(monitor->isRunning());
}

}  // namespace
