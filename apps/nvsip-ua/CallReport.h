#pragma once
// CallReport: what nvsip-ua prints. Call events arrive on the stack's
// threads; they are queued (a mutex and a vector append, nothing more) and
// written by the main thread, so that printing never holds up a call: the
// writer wakes every 100 ms, and a call's end wakes a waiter only when it
// completes the count the waiter waits for. In
// quiet mode events are only counted and a progress line is printed each
// second. The summary counts how each call ended.

#include "stack/base/NvException.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class CallReport {
public:
    explicit CallReport(bool quiet) : m_bQuiet(quiet) {}

    // One line for call number `call`.
    void event(uint64_t call, const std::string& text);
    // Runs a library operation for `call`; what it raises becomes an event
    // line ("<what> failed: <message>") instead of ending the program.
    template <class Operation>
    void attempt(uint64_t call, const char* what, Operation operation) {
        try {
            operation();
        } catch (NvHandle<NvException>& e) {
            event(call, std::string(what) + " failed: " + e->getMessage().str());
        }
    }
    // The call ended; `outcome` ("answered", "rejected", "cancelled",
    // "timed out", ...) is counted for the summary.
    void ended(uint64_t call, const std::string& outcome);
    // The time from an INVITE to its 2xx, for the summary's mean and 99th percentile.
    void setupTime(double ms);
    // Writes queued lines (and the progress line when quiet) until `count`
    // calls have ended, or forever when count < 0.
    void runUntilEnded(long count);
    // Writes what is left in the queue, then the summary (`attempted` calls
    // placed, or -1 when listening).
    void summary(long attempted = -1);
    long endedCount() const;
    // How many calls ended with `outcome`.
    long count(const std::string& outcome) const;
    // `listener` runs after each call's end is counted, on the thread that
    // reported it, with no lock held. Set it before calls end.
    void onEnded(std::function<void()> listener) { m_OnEnded = std::move(listener); }

private:
    void flush(std::vector<std::string>& lines);
    // Waits on m_Changed (holding `lock`) for at most `timeout`, woken early
    // once `count` calls have ended (count < 0: only by the timeout).
    void waitUntil(std::unique_lock<std::mutex>& lock, long count, std::chrono::milliseconds timeout);
    static constexpr long kNobodyWaits = std::numeric_limits<long>::max();

    const bool m_bQuiet;
    mutable std::mutex m_Mutex;  // guards everything below
    std::condition_variable m_Changed;  // the count a waiter waits for was reached
    long m_WakeAt = kNobodyWaits;       // the smallest count a waiter waits for
    std::vector<std::string> m_Lines;
    std::map<std::string, long> m_Outcomes;
    long m_Ended = 0;
    long m_Events = 0;
    std::vector<double> m_SetupMs;
    std::function<void()> m_OnEnded;
};
