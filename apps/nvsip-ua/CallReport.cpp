#include "apps/nvsip-ua/CallReport.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

void CallReport::event(uint64_t call, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_Events;
    if (!m_bQuiet) m_Lines.push_back("call " + std::to_string(call) + ": " + text);
}

void CallReport::ended(uint64_t call, const std::string& outcome) {
    bool wake;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        ++m_Ended;
        ++m_Outcomes[outcome];
        if (!m_bQuiet) m_Lines.push_back("call " + std::to_string(call) + ": ended, " + outcome);
        wake = m_Ended >= m_WakeAt;
        if (wake) m_WakeAt = kNobodyWaits;
    }
    if (wake) m_Changed.notify_all();
    if (m_OnEnded) m_OnEnded();
}

void CallReport::waitUntil(std::unique_lock<std::mutex>& lock, long count, std::chrono::milliseconds timeout) {
    if (count >= 0) m_WakeAt = std::min(m_WakeAt, count);
    m_Changed.wait_for(lock, timeout);
}

void CallReport::setupTime(double ms) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_SetupMs.push_back(ms);
}

long CallReport::count(const std::string& outcome) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    auto found = m_Outcomes.find(outcome);
    return found == m_Outcomes.end() ? 0 : found->second;
}

long CallReport::endedCount() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Ended;
}

void CallReport::flush(std::vector<std::string>& lines) {
    for (const std::string& line : lines) std::fputs((line + "\n").c_str(), stdout);
    if (!lines.empty()) std::fflush(stdout);
    lines.clear();
}

void CallReport::runUntilEnded(long count) {
    using Clock = std::chrono::steady_clock;
    auto nextProgress = Clock::now() + std::chrono::seconds(1);
    std::vector<std::string> lines;
    for (;;) {
        bool done;
        {
            std::unique_lock<std::mutex> lock(m_Mutex);
            waitUntil(lock, count, std::chrono::milliseconds(100));
            lines.swap(m_Lines);
            done = count >= 0 && m_Ended >= count;
        }
        flush(lines);
        if (m_bQuiet && Clock::now() >= nextProgress) {
            nextProgress += std::chrono::seconds(1);
            std::lock_guard<std::mutex> lock(m_Mutex);
            std::printf("progress: %ld calls ended, %ld events\n", m_Ended, m_Events);
            std::fflush(stdout);
        }
        if (done) return;
    }
}

void CallReport::summary(long attempted) {
    std::vector<std::string> lines;
    std::lock_guard<std::mutex> lock(m_Mutex);
    lines.swap(m_Lines);
    flush(lines);
    std::string outcomes;
    for (const auto& [outcome, n] : m_Outcomes) outcomes += ", " + std::to_string(n) + " " + outcome;
    if (attempted >= 0) std::printf("summary: %ld calls attempted\n", attempted);
    std::printf("summary: %ld calls ended%s\n", m_Ended, outcomes.c_str());
    if (!m_SetupMs.empty()) {
        std::vector<double> sorted = m_SetupMs;
        std::sort(sorted.begin(), sorted.end());
        const double mean = std::accumulate(sorted.begin(), sorted.end(), 0.0) / static_cast<double>(sorted.size());
        const size_t p99 = std::min(sorted.size() - 1, (sorted.size() * 99 + 99) / 100 - 1);
        std::printf("summary: setup time mean %.2f ms, 99th percentile %.2f ms (%zu answered)\n", mean, sorted[p99],
                    sorted.size());
    }
    std::fflush(stdout);
}
