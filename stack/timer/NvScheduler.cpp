#include "stack/timer/NvScheduler.h"

#include "stack/timer/NvTime.h"

#include <cmath>
#include <memory>

// A pending timer: on its delay's queue, in key order, and on its
// observer's list. Holds counted references to the observer and the object.
struct NvScheduledTimer {
    double key;
    uint64_t order;  // when it was scheduled, among all timers of the scheduler
    NvHandle<NvObserver> observer;
    NvHandle<NvObject> object;
    NvScheduler* scheduler;
    NvSchedulerQueue* queue = nullptr;
    NvScheduledTimer* previous = nullptr;  // on the queue
    NvScheduledTimer* next = nullptr;
    NvScheduledTimer* nextOfObserver = nullptr;

    bool isBefore(const NvScheduledTimer& other) const {
        return key < other.key || (key == other.key && order < other.order);
    }
};

struct NvSchedulerQueue {
    unsigned int delayMs;
    NvScheduledTimer* head = nullptr;
    NvScheduledTimer* tail = nullptr;
};

NvObserver::~NvObserver() = default;

void NvObserver::detach() {
    if (NvScheduler* scheduler = m_pScheduler.load()) scheduler->cancelAll(this);
}

NvScheduler::~NvScheduler() {
    std::vector<std::unique_ptr<NvScheduledTimer>> timers;  // released after the lock
    std::lock_guard<std::mutex> lock(m_Mutex);
    while (NvScheduledTimer* timer = earliest()) {
        forget(timer->observer.get());
        take(timer);
        timers.emplace_back(timer);
    }
}

void NvScheduler::forget(NvObserver* observer) {
    NvScheduler* self = this;
    if (observer) observer->m_pScheduler.compare_exchange_strong(self, nullptr);
}

NvSchedulerQueue& NvScheduler::queueFor(unsigned int delayMs) {
    for (NvSchedulerQueue* queue : m_Queues)
        if (queue->delayMs == delayMs) return *queue;
    m_Queues.push_back(new NvSchedulerQueue{delayMs});
    return *m_Queues.back();
}

NvScheduledTimer* NvScheduler::earliest() const {
    NvScheduledTimer* first = nullptr;
    for (const NvSchedulerQueue* queue : m_Queues)
        if (!first || queue->head->isBefore(*first)) first = queue->head;
    return first;
}

double NvScheduler::schedule(unsigned int delayMs, NvObserver* observer, NvObject* object) {
    if (!observer) return -1;
    observer->m_pScheduler = this;
    auto* timer = new NvScheduledTimer{std::floor(NvTime::sGetCurrentTime()) + static_cast<double>(delayMs) * 1000.0,
                                       0, NvHandle<NvObserver>(observer), NvHandle<NvObject>(object), this};
    bool isEarliest;
    double key;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const NvScheduledTimer* own = observer->m_pTimers; own;)  // keys are unique per observer
            if (own->key == timer->key) {
                timer->key += 1.0;
                own = observer->m_pTimers;
            } else {
                own = own->nextOfObserver;
            }
        timer->order = m_Scheduled++;
        // Nearly always the tail: same delay, later or equal time.
        NvSchedulerQueue& queue = queueFor(delayMs);
        NvScheduledTimer* before = queue.tail;
        while (before && timer->isBefore(*before)) before = before->previous;
        timer->queue = &queue;
        timer->previous = before;
        timer->next = before ? before->next : queue.head;
        (timer->next ? timer->next->previous : queue.tail) = timer;
        (before ? before->next : queue.head) = timer;
        timer->nextOfObserver = observer->m_pTimers;
        observer->m_pTimers = timer;
        ++m_Pending;
        isEarliest = earliest() == timer;
        key = timer->key;  // once the lock is let go, the timer may fire and go
    }
    if (isEarliest && m_WakeUp) m_WakeUp();
    return key;
}

void NvScheduler::take(NvScheduledTimer* timer) {
    NvSchedulerQueue* queue = timer->queue;
    (timer->previous ? timer->previous->next : queue->head) = timer->next;
    (timer->next ? timer->next->previous : queue->tail) = timer->previous;
    if (!queue->head) {
        for (NvSchedulerQueue*& slot : m_Queues)
            if (slot == queue) {
                slot = m_Queues.back();
                m_Queues.pop_back();
                break;
            }
        delete queue;
    }
    NvScheduledTimer** link = &timer->observer->m_pTimers;
    while (*link != timer) link = &(*link)->nextOfObserver;
    *link = timer->nextOfObserver;
    --m_Pending;
}

bool NvScheduler::cancel(NvObserver* observer, double key) {
    std::unique_ptr<NvScheduledTimer> removed;  // released after the lock
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (NvScheduledTimer* own = observer ? observer->m_pTimers : nullptr; own; own = own->nextOfObserver)
        if (own->scheduler == this && own->key == key) {
            take(own);
            removed.reset(own);
            return true;
        }
    return false;
}

size_t NvScheduler::cancelAll(NvObserver* observer) {
    std::vector<std::unique_ptr<NvScheduledTimer>> removed;  // released after the lock
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (NvScheduledTimer* own = observer->m_pTimers; own;) {
        NvScheduledTimer* const next = own->nextOfObserver;
        if (own->scheduler == this) {
            take(own);
            removed.emplace_back(own);
        }
        own = next;
    }
    forget(observer);
    return removed.size();
}

void NvScheduler::fire(NvScheduledTimer& timer) {
    NvHandle<NvTimer> fired(new NvTimer(timer.key, timer.observer.get(), timer.object));
    NvHandle<NvObject> object = timer.object ? timer.object : NvHandle<NvObject>(fired);
    timer.observer->onNotification(NvHandle<NvObservable>(fired), object);
}

bool NvScheduler::runNext(double until, double& firedKey) {
    std::unique_ptr<NvScheduledTimer> timer;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        NvScheduledTimer* first = earliest();
        if (!first || first->key > until) return false;
        firedKey = first->key;
        take(first);
        timer.reset(first);
    }
    fire(*timer);
    return true;
}

size_t NvScheduler::runDue() {
    size_t fired = 0;
    double key;
    while (runNext(NvTime::sGetCurrentTime(), key)) ++fired;
    return fired;
}

double NvScheduler::nextKey() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const NvScheduledTimer* first = earliest();
    return first ? first->key : -1.0;
}

size_t NvScheduler::pending() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Pending;
}

void NvScheduler::setWakeUp(std::function<void()> wakeUp) { m_WakeUp = std::move(wakeUp); }
