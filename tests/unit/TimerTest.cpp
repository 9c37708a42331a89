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
// whether the object was the timer itself.
class Recorder : public NvObserver {
public:
    struct Fired {
        double at;
        double key;
        NvHandle<NvObject> object;
        bool objectIsTimer;
    };

    void onNotification(NvHandle<NvObservable> observable, NvHandle<NvObject> object) override {
        NvHandle<NvTimer> timer(observable);
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Fired.push_back({NvTime::sGetCurrentTime(), timer ? timer->getKey() : -1, object,
                           object.get() == static_cast<NvObject*>(timer.get())});
        if (m_OnFire) m_OnFire(timer ? timer->getKey() : -1);
    }

    std::vector<Fired> fired() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Fired;
    }

    std::function<void(double)> m_OnFire;

private:
    std::mutex m_Mutex;
    std::vector<Fired> m_Fired;
};

class Payload : public NvObject {};

NvScheduler& scheduler() { return NvMonitorThread::sGetCurrent()->getScheduler(); }

class SchedulerWithTestClock : public ::testing::Test {
protected:
    NvTestClock clock;
    NvHandle<Recorder> recorder{new Recorder()};
    void TearDown() override { recorder->detach(); }
};

TEST_F(SchedulerWithTestClock, KeyIsTheAbsoluteExpiryInMicroseconds) {
    const double now = NvTime::sGetCurrentTime();
    EXPECT_DOUBLE_EQ(now + 1500e3, scheduler().schedule(1500, recorder.get(), nullptr));
}

TEST_F(SchedulerWithTestClock, TimersFireInExpiryOrderEachAtItsOwnTime) {
    const double start = NvTime::sGetCurrentTime();
    const double late = scheduler().schedule(3000, recorder.get(), nullptr);
    const double early = scheduler().schedule(1000, recorder.get(), nullptr);
    EXPECT_EQ(0u, clock.advance(999));
    EXPECT_EQ(2u, clock.advance(2001));
    const auto fired = recorder->fired();
    ASSERT_EQ(2u, fired.size());
    EXPECT_DOUBLE_EQ(early, fired[0].key);
    EXPECT_DOUBLE_EQ(start + 1000e3, fired[0].at);
    EXPECT_DOUBLE_EQ(late, fired[1].key);
    EXPECT_DOUBLE_EQ(start + 3000e3, fired[1].at);
}

TEST_F(SchedulerWithTestClock, ObjectIsTheScheduledOneOrElseTheTimer) {
    NvHandle<Payload> payload(new Payload());
    scheduler().schedule(10, recorder.get(), payload.get());
    scheduler().schedule(20, recorder.get(), nullptr);
    clock.advance(20);
    const auto fired = recorder->fired();
    ASSERT_EQ(2u, fired.size());
    EXPECT_EQ(static_cast<NvObject*>(payload.get()), fired[0].object.get());
    EXPECT_FALSE(fired[0].objectIsTimer);
    EXPECT_TRUE(fired[1].objectIsTimer);
}

TEST_F(SchedulerWithTestClock, SameExpiryForOneObserverGetsDistinctKeys) {
    const double a = scheduler().schedule(100, recorder.get(), nullptr);
    const double b = scheduler().schedule(100, recorder.get(), nullptr);
    EXPECT_NE(a, b);
    EXPECT_TRUE(scheduler().cancel(recorder.get(), b));
    clock.advance(200);
    ASSERT_EQ(1u, recorder->fired().size());
    EXPECT_DOUBLE_EQ(a, recorder->fired()[0].key);
}

TEST_F(SchedulerWithTestClock, CancelledAndDetachedTimersNeverFire) {
    const double key = scheduler().schedule(100, recorder.get(), nullptr);
    EXPECT_TRUE(scheduler().cancel(recorder.get(), key));
    EXPECT_FALSE(scheduler().cancel(recorder.get(), key));
    scheduler().schedule(200, recorder.get(), nullptr);
    scheduler().schedule(300, recorder.get(), nullptr);
    recorder->detach();
    clock.advance(1000);
    EXPECT_TRUE(recorder->fired().empty());
}

TEST_F(SchedulerWithTestClock, TimerScheduledWhileFiringIsTimedFromItsParent) {
    const double start = NvTime::sGetCurrentTime();
    int rounds = 0;
    recorder->m_OnFire = [&](double) {
        if (++rounds < 3) scheduler().schedule(500, recorder.get(), nullptr);
    };
    scheduler().schedule(500, recorder.get(), nullptr);
    EXPECT_EQ(3u, clock.advance(10000));
    const auto fired = recorder->fired();
    ASSERT_EQ(3u, fired.size());
    EXPECT_DOUBLE_EQ(start + 1500e3, fired[2].at);
}

// Tells, by a flag, when it is destroyed.
class Mortal : public Recorder {
public:
    explicit Mortal(bool& destroyed) : m_Destroyed(destroyed) {}
    ~Mortal() override { m_Destroyed = true; }

private:
    bool& m_Destroyed;
};

TEST_F(SchedulerWithTestClock, PendingTimerKeepsItsObserverAliveUntilItFires) {
    bool destroyed = false;
    bool notified = false;
    NvHandle<Mortal> handle(new Mortal(destroyed));
    handle->m_OnFire = [&](double) { notified = true; };
    scheduler().schedule(100, handle.get(), nullptr);
    handle = nullptr;  // only the timer holds it now
    clock.advance(99);
    EXPECT_FALSE(destroyed);
    clock.advance(1);
    EXPECT_TRUE(notified);
    EXPECT_TRUE(destroyed);  // the fired timer let go of the last reference
}

TEST_F(SchedulerWithTestClock, DetachCancelsOnTheSchedulerTheObserverWasScheduledOn) {
    NvScheduler own;
    own.schedule(100, recorder.get(), nullptr);
    own.schedule(200, recorder.get(), nullptr);
    recorder->detach();
    EXPECT_EQ(0u, own.pending());
    clock.advance(1000);
    EXPECT_EQ(0u, own.runDue());
    EXPECT_TRUE(recorder->fired().empty());
}

TEST(MonitorThread, FiresRealTimersAndRunsPostedWorkOnItsThread) {
    NvMonitorThread* monitor = NvMonitorThread::sGetCurrent();
    ASSERT_FALSE(monitor->isRunning());
    monitor->start();
    NvHandle<Recorder> recorder(new Recorder());
    std::atomic<bool> onMonitor{false};
    std::atomic<bool> fired{false};
    recorder->m_OnFire = [&](double) { fired = NvMonitorThread::sGetCurrent() == monitor && monitor->isMonitorThread(); };
    monitor->getScheduler().schedule(20, recorder.get(), nullptr);
    monitor->post([&] { onMonitor = monitor->isMonitorThread(); });
    for (int i = 0; i < 200 && !(fired && onMonitor); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    monitor->stop();
    EXPECT_TRUE(fired);
    EXPECT_TRUE(onMonitor);
    EXPECT_FALSE(monitor->isRunning());
}

TEST(MonitorThread, PostRunsAtOnceWhenStopped) {
    bool ran = false;
    NvMonitorThread::sGetCurrent()->post([&] { ran = true; });
    EXPECT_TRUE(ran);
}

}  // namespace
