#pragma once
// Capturing log records in memory, for tests.
//
// CaptureAppender is a log4cplus appender that keeps every record it receives
// (logger name, level, text, source file and line) in memory, oldest first.
// LogCapture is the usual way to use it: for its lifetime it attaches a fresh
// CaptureAppender to one log4cplus logger (by name) and, if asked, sets that
// logger's log4cplus level; its destructor detaches the appender and restores
// the level and additivity it found.
//
//     Tellar::LogCapture stray("lumbrook.sip.message.stray", Tellar::INFO);
//     ...                                   // run the code under test
//     EXPECT_EQ(1u, stray.count(Tellar::INFO, "IGNORING RECEIVED SIP ACK (STRAY):")) << stray.dump();
//
// Records of the logger's descendants are captured too (log4cplus additivity).
// By default the capture is exclusive: while it is attached, the captured
// logger does not pass records up to its ancestors, which keeps the default
// console quiet in tests; pass Additivity::Keep to leave additivity alone.
// Note that a capture is an appender: while it is attached, the loggers under
// it pass the "has an appender" part of the enabling rule. Tellar::configure()
// removes every appender, captures included.
//
// Threads: records may arrive from any thread; every operation of both
// classes takes the appender's own mutex, which guards the record list only.
// A LogCapture itself belongs to the test thread that made it.

#include "stack/log/TellarLogger.h"

#include <log4cplus/appender.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace Tellar {

struct CapturedRecord {
    std::string logger;  // name of the logger that emitted it
    LogLevel level;
    std::string text;
    std::string file;  // as given by the emitter ("" when unknown)
    int line;

    bool startsWith(const std::string& prefix) const { return text.compare(0, prefix.size(), prefix) == 0; }
};

class CaptureAppender : public log4cplus::Appender {
public:
    CaptureAppender();
    ~CaptureAppender() override;

    void close() override;

    std::vector<CapturedRecord> records() const;
    // Number of records at exactly `level` whose text starts with `prefix`.
    std::size_t count(LogLevel level, const std::string& prefix = std::string()) const;
    std::size_t size() const;
    void clear();
    // One line per record: "LEVEL logger: text"; for failure messages.
    std::string dump() const;
    // Waits until at least `n` records are held; false on time-out.
    bool waitForRecords(std::size_t n, std::chrono::milliseconds timeout) const;

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override;

private:
    mutable std::mutex m_Mutex;  // guards m_Records
    mutable std::condition_variable m_Arrived;
    std::vector<CapturedRecord> m_Records;
};

class LogCapture {
public:
    enum class Additivity { Exclusive, Keep };

    // Attaches to the log4cplus logger `loggerName` ("" is the root logger).
    // When `level` is not INHERIT, the log4cplus level of that logger is set to
    // it for the lifetime of the capture.
    explicit LogCapture(const std::string& loggerName, LogLevel level = INHERIT,
                        Additivity additivity = Additivity::Exclusive);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<CapturedRecord> records() const { return m_pAppender->records(); }
    std::size_t count(LogLevel level, const std::string& prefix = std::string()) const {
        return m_pAppender->count(level, prefix);
    }
    std::size_t size() const { return m_pAppender->size(); }
    void clear() { m_pAppender->clear(); }
    std::string dump() const { return m_pAppender->dump(); }
    bool waitForRecords(std::size_t n, std::chrono::milliseconds timeout) const {
        return m_pAppender->waitForRecords(n, timeout);
    }
    CaptureAppender& appender() const { return *m_pAppender; }

    // Detaches early (the destructor then does nothing more). Records stay readable.
    void detach();

private:
    log4cplus::Logger m_Logger;
    log4cplus::helpers::SharedObjectPtr<CaptureAppender> m_pAppender;
    log4cplus::LogLevel m_PreviousLevel;
    bool m_bPreviousAdditivity;
    bool m_bAttached;
};

}  // namespace Tellar
