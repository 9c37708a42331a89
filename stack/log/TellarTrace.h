#pragma once
// Trace scopes and assertions.
//
// TraceScope: an object on the stack of an operation. When its logger is
// enabled for the scope's level at construction, it logs "ENTER: <name>" there
// and "EXIT: <name>" when it is destroyed ("EXIT (exception): <name>" when the
// scope is left by an exception). The decision is taken once, at entry, so the
// two records always come in pairs. When the logger is disabled the scope costs
// one level test and allocates nothing. The logger and the name must outlive
// the scope (names are string literals). A scope belongs to the thread that
// opened it.
//
// Assertion: checks a condition that should hold and, when it does not, reports
// "Assertion failed: <condition text> (<file>:<line>)" at ERROR and returns to
// the caller, which goes on as it sees fit; the process never stops. The
// report goes to the logger given, or to "lumbrook.assert" when none is given
// or the one given would drop an ERROR record. Failures are counted process-
// wide (atomic), whether a record was written or not.

#include "stack/log/TellarLogger.h"

namespace Tellar {

class TraceScope {
public:
    TraceScope(const Logger& logger, const char* name, LogLevel level = TRACE, const char* file = nullptr,
               int line = -1)
        : m_pLogger(logger.isEnabledFor(level) ? &logger : nullptr),
          m_pName(name),
          m_pFile(file),
          m_Line(line),
          m_Level(level),
          m_UncaughtAtEntry(0) {
        if (m_pLogger) ctorLog();
    }
    ~TraceScope() {
        if (m_pLogger) dtorLog();
    }
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

    // True when this scope logged its entry (and will log its exit).
    bool isActive() const noexcept { return m_pLogger != nullptr; }

private:
    void ctorLog();
    void dtorLog() noexcept;

    const Logger* m_pLogger;  // null when the scope is silent
    const char* m_pName;
    const char* m_pFile;
    int m_Line;
    LogLevel m_Level;
    int m_UncaughtAtEntry;  // std::uncaught_exceptions() at entry, read only when active
};

class Assertion {
public:
    // Reports the failure when `condition` is false. `logger` may be null.
    Assertion(bool condition, const char* conditionText, const Logger* logger, const char* file, int line)
        : m_bHolds(condition) {
        if (!condition) sReportFailure(conditionText, logger, file, line);
    }

    bool holds() const noexcept { return m_bHolds; }
    explicit operator bool() const noexcept { return m_bHolds; }

    // Failures reported since the process started.
    static unsigned long sFailureCount() noexcept;
    // The logger used when none is given: "lumbrook.assert".
    static Logger& sDefaultLogger();

private:
    static void sReportFailure(const char* conditionText, const Logger* logger, const char* file, int line);

    bool m_bHolds;
};

}  // namespace Tellar

#define TELLAR_CONCAT_IMPL_(a, b) a##b
#define TELLAR_CONCAT_(a, b) TELLAR_CONCAT_IMPL_(a, b)

// Opens a trace scope at TRACE for the rest of the enclosing block:
//     TELLAR_TRACE_SCOPE(fileScopeLogger(), "NvSipDialog::onTimeOut");
#define TELLAR_TRACE_SCOPE(logger, name) \
    ::Tellar::TraceScope TELLAR_CONCAT_(tellarTraceScope_, __LINE__)((logger), (name), ::Tellar::TRACE, __FILE__, __LINE__)
#define TELLAR_TRACE_SCOPE_AT(logger, name, level) \
    ::Tellar::TraceScope TELLAR_CONCAT_(tellarTraceScope_, __LINE__)((logger), (name), (level), __FILE__, __LINE__)

// Evaluates `cond` once, reports it when false and yields its truth:
//     if (!TELLAR_ASSERT(!hRequest.isNil())) return false;
#define TELLAR_ASSERT(cond) (::Tellar::Assertion(static_cast<bool>(cond), #cond, nullptr, __FILE__, __LINE__).holds())
// The same, reported on `logger` (a Tellar::Logger by reference).
#define TELLAR_ASSERT_ON(logger, cond) \
    (::Tellar::Assertion(static_cast<bool>(cond), #cond, &(logger), __FILE__, __LINE__).holds())
