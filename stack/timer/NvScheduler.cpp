#include "stack/timer/NvScheduler.h"

#include "stack/timer/NvTime.h"

#include <cmath>
#include <vector>

NvObserver::~NvObserver() = default;

void NvObserver::detach() {
    if (NvScheduler* scheduler = m_pScheduler.load()) scheduler->cancelAll(this);
}

NvScheduler::~NvScheduler() {
    for (auto& timer : m_Timers) forget(timer.second.observer.get());
}

void NvScheduler::forget(NvObserver* observer) {
    NvScheduler* self = this;
    if (observer) observer->m_pScheduler.compare_exchange_strong(self, nullptr);
}

double NvScheduler::schedule(unsigned int delayMs, NvObserver* observer, NvObject* object) {
    if (!observer) return -1;
    observer->m_pScheduler = this;
    const auto id = reinterpret_cast<uintptr_t>(observer);
    double key = std::floor(NvTime::sGetCurrentTime()) + static_cast<double>(delayMs) * 1000.0;
    bool earliest;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        while (!m_Timers.try_emplace(Key(key, id), Entry{NvHandle<NvObserver>(observer), NvHandle<NvObject>(object)})
                    .second)
            key += 1.0;
        m_ByObserver.emplace(id, key);
        earliest = m_Timers.begin()->first.first == key;
    }
    if (earliest && m_WakeUp) m_WakeUp();
    return key;
}

bool NvScheduler::cancel(NvObserver* observer, double key) {
    Entry removed;  // released after the lock
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto found = m_Timers.find(Key(key, reinterpret_cast<uintptr_t>(observer)));
    if (found == m_Timers.end()) return false;
    take(found, removed);
    return true;
}

void NvScheduler::take(std::map<Key, Entry>::iterator it, Entry& removed) {
    const auto [first, last] = m_ByObserver.equal_range(it->first.second);
    for (auto own = first; own != last; ++own)
        if (own->second == it->first.first) {
            m_ByObserver.erase(own);
            break;
        }
    removed = std::move(it->second);
    m_Timers.erase(it);
}

size_t NvScheduler::cancelAll(NvObserver* observer) {
    std::vector<Entry> removed;  // released after the lock
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto id = reinterpret_cast<uintptr_t>(observer);
    const auto [first, last] = m_ByObserver.equal_range(id);
    for (auto own = first; own != last; ++own) {
        const auto timer = m_Timers.find(Key(own->second, id));
        removed.push_back(std::move(timer->second));
        m_Timers.erase(timer);
    }
    m_ByObserver.erase(first, last);
    forget(observer);
    return removed.size();
}

void NvScheduler::fire(double key, Entry& entry) {
    NvHandle<NvTimer> timer(new NvTimer(key, entry.observer.get(), entry.object));
    NvHandle<NvObject> object = entry.object ? entry.object : NvHandle<NvObject>(timer);
    entry.observer->onNotification(NvHandle<NvObservable>(timer), object);
}

bool NvScheduler::runNext(double until, double& firedKey) {
    Entry entry;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Timers.empty() || m_Timers.begin()->first.first > until) return false;
        firedKey = m_Timers.begin()->first.first;
        take(m_Timers.begin(), entry);
    }
    fire(firedKey, entry);
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
    return m_Timers.empty() ? -1.0 : m_Timers.begin()->first.first;
}

size_t NvScheduler::pending() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Timers.size();
}

void NvScheduler::setWakeUp(std::function<void()> wakeUp) { m_WakeUp = std::move(wakeUp); }
