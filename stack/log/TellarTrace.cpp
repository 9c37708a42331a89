#include "stack/log/TellarTrace.h"

#include <atomic>
#include <cstring>
#include <exception>
#include <string>

namespace Tellar {

namespace {

std::atomic<unsigned long> s_AssertionFailures{0};

std::string scopeText(const char* prefix, const char* name) {
    std::string text(prefix);
    text += name ? name : "";
    return text;
}

const char* baseName(const char* file) {
    if (!file) return "";
    const char* slash = std::strrchr(file, '/');
    return slash ? slash + 1 : file;
}

}  // namespace

// ---------------------------------------------------------------- TraceScope

void TraceScope::ctorLog() {
    m_UncaughtAtEntry = std::uncaught_exceptions();
    try {
        m_pLogger->emit(m_Level, scopeText("ENTER: ", m_pName), m_pFile, m_Line);
    } catch (...) {
        // A trace line is not worth failing the operation for.
    }
}

void TraceScope::dtorLog() noexcept {
    try {
        const bool unwinding = std::uncaught_exceptions() > m_UncaughtAtEntry;
        m_pLogger->emit(m_Level, scopeText(unwinding ? "EXIT (exception): " : "EXIT: ", m_pName), m_pFile, m_Line);
    } catch (...) {
    }
}

// ---------------------------------------------------------------- Assertion

unsigned long Assertion::sFailureCount() noexcept {
    return s_AssertionFailures.load(std::memory_order_relaxed);
}

Logger& Assertion::sDefaultLogger() {
    static Logger& s_Logger = getLogger("lumbrook.assert");
    return s_Logger;
}

void Assertion::sReportFailure(const char* conditionText, const Logger* logger, const char* file, int line) {
    s_AssertionFailures.fetch_add(1, std::memory_order_relaxed);
    try {
        const Logger* target = logger && logger->isEnabledFor(ERROR) ? logger : &sDefaultLogger();
        if (!target->isEnabledFor(ERROR)) return;
        std::string text("Assertion failed: ");
        text += conditionText ? conditionText : "";
        text += " (";
        text += baseName(file);
        text += ':';
        text += std::to_string(line);
        text += ')';
        target->emit(ERROR, text, file, line);
    } catch (...) {
        // Reporting must not change the caller's path.
    }
}

}  // namespace Tellar
