#include "apps/nvsip-ua/CallReport.h"

#include <cstdio>

void CallReport::event(uint64_t call, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_Events;
    if (!m_bQuiet) m_Lines.push_back("call " + std::to_string(call) + ": " + text);
}

void CallReport::ended(uint64_t call, const std::string& outcome) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        ++m_Ended;
        ++m_Outcomes[outcome];
        if (!m_bQuiet) m_Lines.push_back("call " + std::to_string(call) + ": ended, " + outcome);
    }
    m_Changed.notify_all();
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
            m_Changed.wait_for(lock, std::chrono::milliseconds(100));
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

void CallReport::summary() {
    std::vector<std::string> lines;
    std::lock_guard<std::mutex> lock(m_Mutex);
    lines.swap(m_Lines);
    flush(lines);
    std::string outcomes;
    for (const auto& [outcome, n] : m_Outcomes) outcomes += ", " + std::to_string(n) + " " + outcome;
    std::printf("summary: %ld calls ended%s\n", m_Ended, outcomes.c_str());
    std::fflush(stdout);
}
