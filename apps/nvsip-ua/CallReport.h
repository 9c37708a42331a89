#pragma once
// CallReport: what nvsip-ua prints. Call events arrive on the stack's
// threads; they are queued (a mutex and a vector append, nothing more) and
// written by the main thread, so that printing never holds up a call: the
// writer wakes every 100 ms, and a call's end wakes a waiter only when it
// completes the count the waiter waits for.
//
// What is written, by ReportOptions and the number of calls of the run:
//   - one line per call event ("call 3: 180 sent") with --verbose, or when
//     the run is one call (--count 1);
//   - otherwise a progress line each second: calls ended a second over the
//     last second, calls in progress, ended, failed (a call that did not end
//     the way the run intends, see ended()); an idle listener (nothing in
//     progress, nothing new) stays silent;
//   - with --quiet neither: only the summary.
// These lines go to standard output, or with --json to standard error, so
// that standard output carries the summary as one JSON object and, with
// --ladder, each call's ladder (queued like the lines, written whatever the
// options).
//
// Owned by main, for the whole run; Caller and Listener hold a reference.
// m_Mutex guards the queue and the counts; the summary is written once the
// calls are over.

#include "stack/base/NvException.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// What the library and the stack still hold once a run is over: after
// calls that all ended and transactions that had time to finish, nothing.
struct Leftovers {
    size_t dialogs = 0;       // dialog table entries
    size_t transactions = 0;  // live transactions
    size_t timers = 0;        // timers still scheduled
};

// The reporting flags, alike in listen and call.
struct ReportOptions {
    bool quiet = false;    // --quiet: the summary only
    bool verbose = false;  // --verbose: a line per call event, whatever the count
    bool json = false;     // --json: the summary as JSON on stdout, the lines on stderr
    bool ladder = false;   // --ladder: each call's ladder once it has ended
};

class CallReport {
public:
    // `mode` ("listen", "call") names the run in the JSON summary; `count` is
    // the number of calls it waits for (-1: no end), which decides between
    // event lines and progress lines.
    CallReport(const char* mode, const ReportOptions& options, long count);

    // A call began (placed, or taken by the listener).
    void started();
    // One line for call number `call`, when event lines are written.
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
    // The call was answered (a 2xx got or sent and acknowledged); `setupMs`,
    // the time from our INVITE to its 2xx, goes into the summary's mean and
    // 99th percentile.
    void answered(std::optional<double> setupMs = std::nullopt);
    // The call ended; `outcome` ("answered", "rejected", "cancelled",
    // "timed out", ...) is counted for the summary, and `clean` says whether
    // it ended the way the run intends (otherwise it counts as failed).
    void ended(uint64_t call, const std::string& outcome, bool clean);
    // A call's ladder (lines ending in '\n', or none), for standard output.
    void drawing(const std::string& text);
    // A line about the run itself ("listening on ..."), written at once
    // where the event lines go.
    void note(const std::string& line);
    // Writes queued lines (and the progress lines) until `count` calls have
    // ended, or forever when count < 0.
    void runUntilEnded(long count);
    // Writes what is left in the queue, then the summary: text lines, or one
    // JSON object with --json. `left`: what the run left behind;
    // `attempted`: the calls placed (-1 when listening).
    void summary(const Leftovers& left, long attempted = -1);
    long endedCount() const;
    // How many calls ended with `outcome`.
    long count(const std::string& outcome) const;
    // `listener` runs after each call's end is counted, on the thread that
    // reported it, with no lock held. Set it before calls end.
    void onEnded(std::function<void()> listener) { m_OnEnded = std::move(listener); }

private:
    enum class Lines { Events, Progress, None };
    struct Text {
        FILE* out;
        std::string text;
    };
    using Clock = std::chrono::steady_clock;
    static void flush(std::vector<Text>& queue);
    // Waits on m_Changed (holding `lock`) for at most `timeout`, woken early
    // once `count` calls have ended (count < 0: only by the timeout).
    void waitUntil(std::unique_lock<std::mutex>& lock, long count, std::chrono::milliseconds timeout);
    // The progress line since the last one, queued unless the run is idle.
    void queueProgress(Clock::time_point now);
    struct SetupTimes {
        double mean, p99;  // ms
    };
    // Of the calls answered with a setup time; none when there is none.
    std::optional<SetupTimes> setupTimes() const;
    std::string jsonSummary(const Leftovers& left) const;
    static constexpr long kNobodyWaits = std::numeric_limits<long>::max();

    const char* const m_Mode;
    const Lines m_Lines;
    const bool m_bJson;
    FILE* const m_pLinesOut;  // stdout, or stderr with --json
    mutable std::mutex m_Mutex;  // guards everything below
    std::condition_variable m_Changed;  // the count a waiter waits for was reached
    long m_WakeAt = kNobodyWaits;       // the smallest count a waiter waits for
    std::vector<Text> m_Queue;
    std::map<std::string, long> m_Outcomes;
    long m_Started = 0, m_Answered = 0, m_Ended = 0, m_Failed = 0;
    std::vector<double> m_SetupMs;
    // What the last progress line said, and when.
    Clock::time_point m_ProgressAt = Clock::now();
    long m_ProgressStarted = 0, m_ProgressEnded = 0;
    std::function<void()> m_OnEnded;
};
