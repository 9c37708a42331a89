#include "stack/log/TellarCapture.h"

#include "stack/log/TellarConfig.h"

#include <log4cplus/spi/loggingevent.h>

#include <sstream>

namespace Tellar {

// ---------------------------------------------------------------- CaptureAppender

CaptureAppender::CaptureAppender() {
    setName("TellarCapture");
}

CaptureAppender::~CaptureAppender() {
    destructorImpl();
}

void CaptureAppender::close() {
    closed = true;
}

void CaptureAppender::append(const log4cplus::spi::InternalLoggingEvent& event) {
    CapturedRecord record{event.getLoggerName(), static_cast<LogLevel>(event.getLogLevel()), event.getMessage(),
                          event.getFile(), event.getLine()};
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Records.push_back(std::move(record));
    }
    m_Arrived.notify_all();
}

std::vector<CapturedRecord> CaptureAppender::records() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Records;
}

std::size_t CaptureAppender::count(LogLevel level, const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::size_t n = 0;
    for (const CapturedRecord& record : m_Records) {
        if (record.level == level && record.startsWith(prefix)) ++n;
    }
    return n;
}

std::size_t CaptureAppender::size() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Records.size();
}

void CaptureAppender::clear() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Records.clear();
}

std::string CaptureAppender::dump() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::ostringstream out;
    for (const CapturedRecord& record : m_Records) {
        out << logLevelName(record.level) << ' ' << record.logger << ": " << record.text << '\n';
    }
    return out.str();
}

bool CaptureAppender::waitForRecords(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Arrived.wait_for(lock, timeout, [&] { return m_Records.size() >= n; });
}

// ---------------------------------------------------------------- LogCapture

namespace {
log4cplus::Logger log4cplusLogger(const std::string& name) {
    initialize();
    return name.empty() ? log4cplus::Logger::getRoot() : log4cplus::Logger::getInstance(name);
}
}  // namespace

LogCapture::LogCapture(const std::string& loggerName, LogLevel level, Additivity additivity)
    : m_Logger(log4cplusLogger(loggerName)),
      m_pAppender(new CaptureAppender),
      m_PreviousLevel(m_Logger.getLogLevel()),
      m_bPreviousAdditivity(m_Logger.getAdditivity()),
      m_bAttached(true) {
    if (level != INHERIT) m_Logger.setLogLevel(level);
    if (additivity == Additivity::Exclusive) m_Logger.setAdditivity(false);
    m_Logger.addAppender(log4cplus::SharedAppenderPtr(m_pAppender.get()));
}

LogCapture::~LogCapture() {
    detach();
}

void LogCapture::detach() {
    if (!m_bAttached) return;
    m_bAttached = false;
    m_Logger.removeAppender(log4cplus::SharedAppenderPtr(m_pAppender.get()));
    m_Logger.setLogLevel(m_PreviousLevel);
    m_Logger.setAdditivity(m_bPreviousAdditivity);
}

}  // namespace Tellar
