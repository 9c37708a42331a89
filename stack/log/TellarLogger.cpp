#include "stack/log/TellarLogger.h"

#include "stack/log/TellarConfig.h"

#include <ace/Object_Manager.h>

#include <mutex>
#include <unordered_map>

namespace Tellar {

namespace {

log4cplus::Logger attachToLog4cplus(const std::string& name) {
    initialize();
    return name.empty() ? log4cplus::Logger::getRoot() : log4cplus::Logger::getInstance(name);
}

// The process-wide loggers by name. Deliberately never destroyed: ACE releases
// the loggers late in the exit sequence, after the ordinary static objects, and
// each one leaves the table then.
struct Registry {
    std::mutex mutex;  // guards loggers
    std::unordered_map<std::string, AceCleanupLogger*> loggers;
};

Registry& registry() {
    static Registry* const s_pRegistry = new Registry;
    return *s_pRegistry;
}

void releaseLoggerAtExit(void* logger, void*) {
    delete static_cast<AceCleanupLogger*>(logger);
}

}  // namespace

const char* logLevelName(int level) noexcept {
    switch (level) {
    case INHERIT: return "INHERIT";
    case TRACE: return "TRACE";
    case DEBUG: return "DEBUG";
    case INFO: return "INFO";
    case WARN: return "WARN";
    case ERROR: return "ERROR";
    default: return "LEVEL";
    }
}

// ---------------------------------------------------------------- Logger

Logger::Logger(const std::string& name, LogLevel ownLevel)
    : m_Name(name), m_Logger(attachToLog4cplus(name)), m_OwnLevel(ownLevel) {}

Logger::Logger(const Logger& other)
    : m_Name(other.m_Name), m_Logger(other.m_Logger), m_OwnLevel(other.m_OwnLevel.load(std::memory_order_relaxed)) {}

Logger::~Logger() = default;

void Logger::setLogLevel(LogLevel level) noexcept {
    m_OwnLevel.store(level, std::memory_order_relaxed);
}

LogLevel Logger::getChainedLogLevel() const {
    const int own = m_OwnLevel.load(std::memory_order_relaxed);
    if (own != INHERIT) return static_cast<LogLevel>(own);
    return static_cast<LogLevel>(m_Logger.getChainedLogLevel());
}

bool Logger::isEnabledFor(LogLevel level) const {
    if (level < TRACE) return false;
    const int own = m_OwnLevel.load(std::memory_order_relaxed);
    const bool levelPasses = own != INHERIT ? level >= own : m_Logger.isEnabledFor(level);
    return levelPasses && hasAppenders();
}

bool Logger::hasAppenders() const {
    // log4cplus links a logger to its nearest existing ancestor by name, and
    // the root ends every chain; walk the same way.
    log4cplus::Logger current = m_Logger;
    std::string name = m_Name;
    for (;;) {
        if (!current.getAllAppenders().empty()) return true;
        if (!current.getAdditivity() || name.empty()) return false;
        std::string::size_type dot = name.rfind('.');
        for (;;) {
            if (dot == std::string::npos || dot == 0) {
                name.clear();
                break;
            }
            name.resize(dot);
            if (log4cplus::Logger::exists(name)) break;
            dot = name.rfind('.');
        }
        current = name.empty() ? log4cplus::Logger::getRoot() : log4cplus::Logger::getInstance(name);
    }
}

void Logger::log(LogLevel level, const std::string& text, const char* file, int line) const {
    if (isEnabledFor(level)) emit(level, text, file, line);
}

void Logger::emit(LogLevel level, const std::string& text, const char* file, int line) const {
    m_Logger.forcedLog(static_cast<log4cplus::LogLevel>(level), text, file ? file : "", line, "");
}

// ---------------------------------------------------------------- AceCleanupLogger

AceCleanupLogger::AceCleanupLogger(const std::string& name) : Logger(name) {}

AceCleanupLogger::~AceCleanupLogger() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.loggers.find(getName());
    if (it != r.loggers.end() && it->second == this) r.loggers.erase(it);
}

Logger& getLogger(const std::string& name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.loggers.find(name);
    if (it != r.loggers.end()) return *it->second;
    AceCleanupLogger* logger = new AceCleanupLogger(name);
    r.loggers.emplace(name, logger);
    // Refused once ACE is shutting down: the logger then lives until the end.
    ACE_Object_Manager::at_exit(logger, &releaseLoggerAtExit, nullptr, "Tellar::AceCleanupLogger");
    return *logger;
}

Logger* findLogger(const std::string& name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.loggers.find(name);
    return it != r.loggers.end() ? it->second : nullptr;
}

// ---------------------------------------------------------------- CachedLLLogger

CachedLLLogger::CachedLLLogger(const Logger& source) : Logger(source), m_CachedLevel(source.getChainedLogLevel()) {}

CachedLLLogger::CachedLLLogger(const CachedLLLogger& other)
    : Logger(other), m_CachedLevel(other.m_CachedLevel.load(std::memory_order_relaxed)) {}

bool CachedLLLogger::isEnabledFor(LogLevel level) const {
    return level >= TRACE && level >= m_CachedLevel.load(std::memory_order_relaxed) && hasAppenders();
}

void CachedLLLogger::setLogLevel(LogLevel level) noexcept {
    Logger::setLogLevel(level);
    try {
        refreshCachedLevel();
    } catch (...) {
        // The hierarchy could not be read: keep the cache as it was.
    }
}

void CachedLLLogger::refreshCachedLevel() {
    m_CachedLevel.store(Logger::getChainedLogLevel(), std::memory_order_relaxed);
}

// ---------------------------------------------------------------- named loggers

Logger& strayMsgLogger() {
    static Logger& s_Logger = getLogger("lumbrook.sip.message.stray");
    return s_Logger;
}

namespace Sip {
Logger& getUAInteropLogger() {
    static Logger& s_Logger = getLogger("lumbrook.sip.interop.ua");
    return s_Logger;
}
}  // namespace Sip

namespace detail {
bool forceLogger(Logger& (*getter)()) noexcept {
    try {
        getter();
        return true;
    } catch (...) {
        return false;  // made on first use instead
    }
}
}  // namespace detail

namespace {
[[maybe_unused]] const bool s_StackLoggersForced =
    detail::forceLogger(&strayMsgLogger) && detail::forceLogger(&Sip::getUAInteropLogger);
}  // namespace

}  // namespace Tellar
