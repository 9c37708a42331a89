// The scheduler, the test clock and the monitor thread.

#include "SipTestText.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/timer/NvScheduler.h"
#include "stack/timer/NvTestClock.h"
#include "stack/timer/NvTime.h"

#include <cmath>
#include <map>

namespace {

// Records each notification in `fired` as "at <time>, key <time>, <object>", times in microseconds since it was
// made, the object "the timer", "the payload" or "another"; sets `*destroyed` when it goes.
class Recorder : public NvObserver {
public:
    explicit Recorder(bool* destroyed = nullptr) : m_pDestroyed(destroyed) {}
    ~Recorder() override { if (m_pDestroyed) *m_pDestroyed = true; }
    void onNotification(NvHandle<NvObservable> observable, NvHandle<NvObject> object) override {
        NvHandle<NvTimer> timer(observable);
        const char* what = object.get() == timer.get() ? "the timer" : object == payload ? "the payload" : "another";
        fired.push_back("at " + since(NvTime::sGetCurrentTime()) + ", key " + since(timer->getKey()) + ", " + what);
        if (onFire) onFire();
    }
    std::string since(double time) const { return std::to_string(std::llround(time - m_Start)); }

    const NvHandle<NvObject> payload{new NvObject()};
    std::function<void()> onFire;
    Lines fired;  // read once the notifications are over

private:
    const double m_Start = NvTime::sGetCurrentTime();
    bool* m_pDestroyed;
};

NvScheduler& scheduler() { return NvMonitorThread::sGetCurrent()->getScheduler(); }

class SchedulerWithTestClock : public ::testing::Test {
protected:
    NvTestClock clock;
    NvHandle<Recorder> recorder{new Recorder()};
    void TearDown() override { recorder->detach(); }
};

// Timers fire in expiry order at their key, also when scheduled while firing; detaching the observer cancels its
// timers on the scheduler it was last scheduled on; a pending timer holds its observer.
TEST_F(SchedulerWithTestClock, TimersFireInKeyOrder_AlsoWhenScheduledWhileFiring_UntilDetached_HoldingTheirObserver) {
    EXPECT_EQ("3000000", recorder->since(scheduler().schedule(3000, recorder.get(), recorder->payload.get())));
    scheduler().schedule(1000, recorder.get(), nullptr);
    recorder->onFire = [&] { if (recorder->fired.size() == 1) scheduler().schedule(500, recorder.get(), nullptr); };
    EXPECT_EQ(0u, clock.advance(999));
    EXPECT_EQ(3u, clock.advance(2001));
    EXPECT_EQ(recorder->fired, (Lines{"at 1000000, key 1000000, the timer", "at 1500000, key 1500000, the timer",
                                      "at 3000000, key 3000000, the payload"}));
    NvScheduler own;
    scheduler().schedule(200, recorder.get(), nullptr);
    own.schedule(200, recorder.get(), nullptr);
    own.schedule(300, recorder.get(), nullptr);
    recorder->detach();
    EXPECT_TRUE(own.pending() == 0u && scheduler().cancelAll(recorder.get()) == 1u);
    bool destroyed = false;
    NvHandle<Recorder> observer(new Recorder(&destroyed));
    scheduler().schedule(100, observer.get(), nullptr);
    observer = nullptr;
    EXPECT_TRUE(clock.advance(99) == 0u && !destroyed);
    EXPECT_TRUE(clock.advance(1000) == 1u && destroyed);
}

// Several observers and delays: a clash moves a timer behind one of another observer scheduled later; equal
// keys fire in the order they were scheduled; cancelling (once) the first timer of a delay or its only one.
TEST_F(SchedulerWithTestClock, TimersOfEveryDelayAndObserverFireInKeyThenSchedulingOrder) {
    Lines order;
    std::map<std::string, NvHandle<Recorder>> named;
    for (const char* name : {"a", "b", "c"}) {
        NvHandle<Recorder> each(new Recorder());
        each->onFire = [&order, name, each = each.get()] { order.push_back(name + (" " + each->fired.back())); };
        named[name] = each;
    }
    auto schedule = [&](const char* name, unsigned delayMs) {
        return scheduler().schedule(delayMs, named[name].get(), nullptr);
    };
    const double first = schedule("a", 100);
    EXPECT_EQ(first + 1, schedule("a", 100));
    EXPECT_EQ(first, schedule("b", 100));
    schedule("c", 50);
    EXPECT_TRUE(scheduler().cancel(named["b"].get(), schedule("b", 200)));
    EXPECT_EQ(first, schedule("c", 100));
    EXPECT_TRUE(scheduler().cancel(named["a"].get(), first) && !scheduler().cancel(named["a"].get(), first));
    EXPECT_EQ(4u, scheduler().pending());
    EXPECT_EQ(4u, clock.advance(1000));
    EXPECT_EQ(order, (Lines{"c at 50000, key 50000, the timer", "b at 100000, key 100000, the timer",
                            "c at 100000, key 100000, the timer", "a at 100001, key 100001, the timer"}));
    EXPECT_EQ(0u, scheduler().pending());
}

TEST(MonitorThread, RunsPostedWorkAtOnceWhenStoppedElseOnItsThreadWithItsTimers) {
    NvMonitorThread* monitor = NvMonitorThread::sGetCurrent();
    ASSERT_FALSE(monitor->isRunning());
    bool ranAtOnce = false;
    monitor->post([&] { ranAtOnce = true; });
    EXPECT_TRUE(ranAtOnce);
    monitor->start();
    NvHandle<Recorder> recorder(new Recorder());
    std::atomic<int> onMonitor{0};  // the timer's and the posted work's
    recorder->onFire = [&] { onMonitor += NvMonitorThread::sGetCurrent() == monitor && monitor->isMonitorThread(); };
    monitor->getScheduler().schedule(20, recorder.get(), nullptr);
    monitor->post([&] { onMonitor += monitor->isMonitorThread(); });
    for (int i = 0; i < 200 && onMonitor < 2; ++i) std::this_thread::sleep_for(10ms);
    monitor->stop();
    EXPECT_TRUE(onMonitor.load() == 2 && !monitor->isRunning());
}

// The post queue is bounded: a thread posting to a full queue waits until
// the monitor takes it; the monitor thread's own posts run at once.
TEST(MonitorThread, APosterWaitsForRoomInAFullQueue_NotTheMonitorThreadNorAPostWithoutWaiting) {
    NvMonitorThread monitor;
    monitor.start();
    std::atomic<bool> busy{false}, open{false}, posted{false}, ownRanAtOnce{false};
    std::atomic<size_t> ran{0};
    monitor.post([&] {
        busy = true;
        while (!open) std::this_thread::sleep_for(1ms);
        bool own = false;
        monitor.post([&] { own = true; });  // the queue is full meanwhile
        ownRanAtOnce = own;
    });
    for (int i = 0; i < 1000 && !busy; ++i) std::this_thread::sleep_for(1ms);
    for (size_t i = 0; i < NvMonitorThread::kMaxPosted; ++i) monitor.post([&] { ++ran; });
    std::thread poster([&] {
        monitor.post([&] { ++ran; });
        posted = true;
    });
    std::atomic<bool> queuedAnyway{false};
    std::thread sender([&] {
        monitor.postWithoutWaiting([&] { ++ran; });
        queuedAnyway = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(posted);
    EXPECT_TRUE(queuedAnyway);
    open = true;
    poster.join();
    sender.join();
    for (int i = 0; i < 1000 && ran <= NvMonitorThread::kMaxPosted + 1; ++i) std::this_thread::sleep_for(1ms);
    monitor.stop();
    EXPECT_TRUE(ownRanAtOnce && ran == NvMonitorThread::kMaxPosted + 2);
}

}  // namespace
