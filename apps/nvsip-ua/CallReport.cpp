#include "apps/nvsip-ua/CallReport.h"

#include "apps/nvsip-ua/JsonObject.h"

#include <algorithm>
#include <numeric>

CallReport::CallReport(const char* mode, const ReportOptions& options, long count)
    : m_Mode(mode),
      m_Lines(options.quiet                     ? Lines::None
              : options.verbose || count == 1 ? Lines::Events
                                                : Lines::Progress),
      m_bJson(options.json),
      m_pLinesOut(options.json ? stderr : stdout) {}

void CallReport::started() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_Started;
}

void CallReport::event(uint64_t call, const std::string& text) {
    if (m_Lines != Lines::Events) return;
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Queue.push_back({m_pLinesOut, "call " + std::to_string(call) + ": " + text + "\n"});
}

void CallReport::answered(std::optional<double> setupMs) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    ++m_Answered;
    if (setupMs) m_SetupMs.push_back(*setupMs);
}

void CallReport::ended(uint64_t call, const std::string& outcome, bool clean) {
    event(call, "ended, " + outcome);
    bool wake;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        ++m_Ended;
        m_Failed += clean ? 0 : 1;
        ++m_Outcomes[outcome];
        wake = m_Ended >= m_WakeAt;
        if (wake) m_WakeAt = kNobodyWaits;
    }
    if (wake) m_Changed.notify_all();
    if (m_OnEnded) m_OnEnded();
}

void CallReport::drawing(const std::string& text) {
    if (text.empty()) return;
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Queue.push_back({stdout, text});
}

void CallReport::note(const std::string& line) {
    std::fputs((line + "\n").c_str(), m_pLinesOut);
    std::fflush(m_pLinesOut);
}

void CallReport::waitUntil(std::unique_lock<std::mutex>& lock, long count, std::chrono::milliseconds timeout) {
    if (count >= 0) m_WakeAt = std::min(m_WakeAt, count);
    m_Changed.wait_for(lock, timeout);
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

void CallReport::flush(std::vector<Text>& queue) {
    for (const Text& text : queue) std::fputs(text.text.c_str(), text.out);
    if (!queue.empty()) {
        std::fflush(stdout);
        std::fflush(stderr);
    }
    queue.clear();
}

void CallReport::queueProgress(Clock::time_point now) {
    const long inProgress = m_Started - m_Ended;
    if (inProgress == 0 && m_Started == m_ProgressStarted && m_Ended == m_ProgressEnded) return;
    const double seconds = std::chrono::duration<double>(now - m_ProgressAt).count();
    char line[160];
    std::snprintf(line, sizeof line, "progress: %.1f calls/s, %ld in progress, %ld ended, %ld failed\n",
                  static_cast<double>(m_Ended - m_ProgressEnded) / seconds, inProgress, m_Ended, m_Failed);
    m_Queue.push_back({m_pLinesOut, line});
    m_ProgressAt = now;
    m_ProgressStarted = m_Started;
    m_ProgressEnded = m_Ended;
}

void CallReport::runUntilEnded(long count) {
    auto nextProgress = Clock::now() + std::chrono::seconds(1);
    std::vector<Text> queue;
    for (;;) {
        bool done;
        {
            std::unique_lock<std::mutex> lock(m_Mutex);
            waitUntil(lock, count, std::chrono::milliseconds(100));
            const auto now = Clock::now();
            if (m_Lines == Lines::Progress && now >= nextProgress) {
                nextProgress += std::chrono::seconds(1);
                queueProgress(now);
            }
            queue.swap(m_Queue);
            done = count >= 0 && m_Ended >= count;
        }
        flush(queue);
        if (done) return;
    }
}

std::optional<CallReport::SetupTimes> CallReport::setupTimes() const {
    if (m_SetupMs.empty()) return std::nullopt;
    std::vector<double> sorted = m_SetupMs;
    std::sort(sorted.begin(), sorted.end());
    const double mean = std::accumulate(sorted.begin(), sorted.end(), 0.0) / static_cast<double>(sorted.size());
    const size_t p99 = std::min(sorted.size() - 1, (sorted.size() * 99 + 99) / 100 - 1);
    return SetupTimes{mean, sorted[p99]};
}

std::string CallReport::jsonSummary(const Leftovers& left) const {
    JsonObject outcomes;
    for (const auto& [outcome, n] : m_Outcomes) outcomes.add(outcome, n);
    JsonObject summary;
    summary.add("mode", std::string(m_Mode))
        .add("calls", m_Started)
        .add("answered", m_Answered)
        .add("ended", m_Ended)
        .add("ended_cleanly", m_Ended - m_Failed)
        .add("failed", m_Failed)
        .add("outcomes", outcomes)
        .add("left", JsonObject()
                         .add("dialogs", static_cast<long>(left.dialogs))
                         .add("transactions", static_cast<long>(left.transactions))
                         .add("timers", static_cast<long>(left.timers)));
    const std::optional<SetupTimes> setup = setupTimes();
    if (!setup) return summary.addNull("setup_ms").str();
    return summary.add("setup_ms", JsonObject().add("mean", setup->mean).add("p99", setup->p99)).str();
}

void CallReport::summary(const Leftovers& left, long attempted) {
    std::vector<Text> queue;
    std::lock_guard<std::mutex> lock(m_Mutex);
    queue.swap(m_Queue);
    flush(queue);
    if (m_bJson) {
        std::printf("%s\n", jsonSummary(left).c_str());
        std::fflush(stdout);
        return;
    }
    std::string outcomes;
    for (const auto& [outcome, n] : m_Outcomes) outcomes += ", " + std::to_string(n) + " " + outcome;
    if (attempted >= 0) std::printf("summary: %ld calls attempted\n", attempted);
    std::printf("summary: %ld calls ended%s\n", m_Ended, outcomes.c_str());
    if (const std::optional<SetupTimes> setup = setupTimes())
        std::printf("summary: setup time mean %.2f ms, 99th percentile %.2f ms (%zu answered)\n", setup->mean,
                    setup->p99, m_SetupMs.size());
    std::printf("summary: left %zu dialogs, %zu transactions, %zu timers\n", left.dialogs, left.transactions,
                left.timers);
    std::fflush(stdout);
}
