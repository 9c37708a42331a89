#pragma once
// Tellar loggers: named loggers over log4cplus with a level of their own.
//
// A Tellar::Logger wraps one log4cplus logger (same name) and adds an own
// level. The own level is either a LogLevel or INHERIT (-1); INHERIT means the
// log4cplus hierarchy decides (its configured level, inherited down the dotted
// names). A logger is enabled for a level when
//     (own level != INHERIT ? level >= own level : log4cplus isEnabledFor(level))
//     and the logger has an appender, its own or one reached through additivity.
// The level test comes first and costs no allocation; the appender test is
// made only when the level passes.
//
// Where loggers come from:
//  - getLogger(name): the process-wide AceCleanupLogger of that name, created on
//    first use and released by ACE at process exit. Never delete it.
//  - TELLAR_DEFINE_FILE_SCOPE_LOGGER(name) in a .cpp: that unit's
//    Tellar::fileScopeLogger(), a process-wide logger forced into existence
//    when the library holding the unit is loaded.
//  - strayMsgLogger(), Sip::getUAInteropLogger(): named loggers of the stack.
//  - new Logger(name): a private logger (for instance the log of one call);
//    whoever made it deletes it. Loggers are disposed of with plain delete.
//  - CachedLLLogger(logger): a copy whose effective level is read once.
//
// Threads: every operation of Logger may be called from any thread. The own
// level is atomic; name and the log4cplus handle never change after
// construction; log4cplus serialises its hierarchy and appenders itself.
//
// Emission: use the macros (TELLAR_LOG, TELLAR_DEBUG, ...). They test the
// logger first and compose the text in a string stream only when it is enabled,
// then hand it over with __FILE__ and __LINE__.

#include <log4cplus/logger.h>

#include <atomic>
#include <sstream>
#include <string>

namespace Tellar {

// log4cplus's own values, so levels pass through unchanged.
enum LogLevel : int {
    INHERIT = -1,  // own level not set: the log4cplus hierarchy decides
    TRACE = 0,
    DEBUG = 10000,
    INFO = 20000,
    WARN = 30000,
    ERROR = 40000,
};

// "TRACE", "DEBUG", ..., "INHERIT"; a value between levels gives "LEVEL".
const char* logLevelName(int level) noexcept;

class Logger {
public:
    // Attaches to the log4cplus logger `name` (created in the hierarchy if it
    // does not exist yet). "" names the root logger.
    explicit Logger(const std::string& name, LogLevel ownLevel = INHERIT);
    // A copy has the same name and log4cplus logger and the own level that the
    // original has at this moment; later level changes are not shared.
    Logger(const Logger& other);
    Logger& operator=(const Logger&) = delete;
    virtual ~Logger();

    const std::string& getName() const noexcept { return m_Name; }

    // Own level, INHERIT when not set.
    LogLevel getLogLevel() const noexcept { return static_cast<LogLevel>(m_OwnLevel.load(std::memory_order_relaxed)); }
    virtual void setLogLevel(LogLevel level) noexcept;

    // The level that decides: the own level, or for INHERIT the log4cplus
    // hierarchy's effective level at this moment.
    virtual LogLevel getChainedLogLevel() const;

    // The enabling rule at the top of this header.
    virtual bool isEnabledFor(LogLevel level) const;

    // True when a record of this logger reaches at least one appender: one of
    // its own, or one of an ancestor as long as additivity holds on the way.
    bool hasAppenders() const;

    // Emits `text` when the logger is enabled for `level`. `file` and `line`
    // name the source (nullptr and -1 when unknown).
    void log(LogLevel level, const std::string& text, const char* file = nullptr, int line = -1) const;

    // Emits without testing: for callers that have just tested isEnabledFor
    // themselves (the macros). Appender thresholds and filters still apply.
    void emit(LogLevel level, const std::string& text, const char* file, int line) const;

    // The log4cplus logger underneath, for configuration (appenders, additivity).
    log4cplus::Logger& getLog4cplusLogger() const noexcept { return m_Logger; }

private:
    const std::string m_Name;
    mutable log4cplus::Logger m_Logger;  // a handle; log4cplus synchronises what it points at
    std::atomic<int> m_OwnLevel;
};

// A process-wide logger that ACE_Object_Manager deletes at process exit. Made
// by getLogger(); the registry of getLogger() owns it until ACE releases it, at
// which point it leaves the registry. Not copyable (a copy would not be
// registered): copy it into a plain Logger or a CachedLLLogger instead.
class AceCleanupLogger : public Logger {
public:
    AceCleanupLogger(const AceCleanupLogger&) = delete;
    AceCleanupLogger& operator=(const AceCleanupLogger&) = delete;
    ~AceCleanupLogger() override;

private:
    friend Logger& getLogger(const std::string& name);
    explicit AceCleanupLogger(const std::string& name);
};

// The process-wide logger `name`, created on first use. Thread-safe. The
// reference stays valid until ACE's clean-up at process exit.
Logger& getLogger(const std::string& name);

// The process-wide logger `name` if it exists (created and not yet released
// at exit), nullptr otherwise. Never creates one.
Logger* findLogger(const std::string& name);

// A copy of a logger whose effective level is read once, at construction, and
// cached: isEnabledFor costs one comparison when the level says no. The copy
// still requires an appender. It does not see later changes of the
// configuration until refreshCachedLevel(). Each dialog owns one; the cache
// is an atomic, so any thread may read it.
class CachedLLLogger : public Logger {
public:
    explicit CachedLLLogger(const Logger& source);
    CachedLLLogger(const CachedLLLogger& other);

    LogLevel getChainedLogLevel() const override { return getCachedLogLevel(); }
    bool isEnabledFor(LogLevel level) const override;
    // Sets the own level and the cache with it.
    void setLogLevel(LogLevel level) noexcept override;

    LogLevel getCachedLogLevel() const noexcept {
        return static_cast<LogLevel>(m_CachedLevel.load(std::memory_order_relaxed));
    }
    // Reads the effective level again (after a configuration change).
    void refreshCachedLevel();

private:
    std::atomic<int> m_CachedLevel;
};

// Base class giving an object a logger of its own, a copy (of type LoggerT)
// of the logger handed to the constructor. Copying the object copies the
// logger with its level (and, for CachedLLLogger, its cache).
template <class LoggerT>
class ObjectWithLogger {
public:
    explicit ObjectWithLogger(const Logger& logger) : m_ObjectLogger(logger) {}
    ObjectWithLogger(const ObjectWithLogger& other) : m_ObjectLogger(other.m_ObjectLogger) {}
    ObjectWithLogger& operator=(const ObjectWithLogger&) = delete;

    const LoggerT& getLogger() const noexcept { return m_ObjectLogger; }
    LoggerT& getLogger() noexcept { return m_ObjectLogger; }

protected:
    ~ObjectWithLogger() = default;

private:
    LoggerT m_ObjectLogger;
};

// "lumbrook.sip.message.stray": messages that matched no transaction and no
// dialog. Forced into existence when the library is loaded.
Logger& strayMsgLogger();

namespace Sip {
// "lumbrook.sip.interop.ua": warnings about peers that bend the SIP rules.
// Sub-loggers name a particular case, e.g.
// "lumbrook.sip.interop.ua.TransportSetAsContactHeaderParam".
Logger& getUAInteropLogger();
}  // namespace Sip

namespace detail {
// Runs at load time for TELLAR_DEFINE_FILE_SCOPE_LOGGER.
bool forceLogger(Logger& (*getter)()) noexcept;
}  // namespace detail

}  // namespace Tellar

// Defines Tellar::fileScopeLogger() for this translation unit only and creates
// the logger when the library (or program) holding the unit is loaded. Use once
// per .cpp, at namespace scope, before the first use:
//     TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")
#define TELLAR_DEFINE_FILE_SCOPE_LOGGER(loggerName)                                   \
    namespace Tellar {                                                                \
    namespace {                                                                       \
    [[maybe_unused]] ::Tellar::Logger& fileScopeLogger() {                            \
        static ::Tellar::Logger& s_fileScopeLogger = ::Tellar::getLogger(loggerName); \
        return s_fileScopeLogger;                                                     \
    }                                                                                 \
    [[maybe_unused]] const bool s_fileScopeLoggerForced =                             \
        ::Tellar::detail::forceLogger(&fileScopeLogger);                              \
    }                                                                                 \
    }

// Emits one record when `logger` (a Tellar::Logger or derived, by reference) is
// enabled for `level`; `streamExpr` is a chain for operator<<:
//     TELLAR_LOG(fileScopeLogger(), Tellar::INFO, "call " << callId << " gone");
#define TELLAR_LOG(logger, level, streamExpr)                                           \
    do {                                                                                \
        const ::Tellar::Logger& tellarLogger_ = (logger);                               \
        const ::Tellar::LogLevel tellarLevel_ = (level);                                \
        if (tellarLogger_.isEnabledFor(tellarLevel_)) {                                 \
            std::ostringstream tellarText_;                                             \
            tellarText_ << streamExpr;                                                  \
            tellarLogger_.emit(tellarLevel_, tellarText_.str(), __FILE__, __LINE__);    \
        }                                                                               \
    } while (0)

#define TELLAR_TRACE(logger, streamExpr) TELLAR_LOG(logger, ::Tellar::TRACE, streamExpr)
#define TELLAR_DEBUG(logger, streamExpr) TELLAR_LOG(logger, ::Tellar::DEBUG, streamExpr)
#define TELLAR_INFO(logger, streamExpr) TELLAR_LOG(logger, ::Tellar::INFO, streamExpr)
#define TELLAR_WARN(logger, streamExpr) TELLAR_LOG(logger, ::Tellar::WARN, streamExpr)
#define TELLAR_ERROR(logger, streamExpr) TELLAR_LOG(logger, ::Tellar::ERROR, streamExpr)
