// NvSipDialog: the call's message log and the sends that go through it.

#include "mlapi/NvSipDialog.h"

#include "stack/log/Tellar.h"

#include <mutex>
#include <sstream>
#include <string>

namespace {

// Whether a line at `level` is kept until the call's logger arrives.
bool keptUntilALoggerArrives(Tellar::LogLevel level) {
    static Tellar::Logger& gate = Tellar::getLogger("lumbrook.nv.NvSipDialog.CallMessages");
    return gate.isEnabledFor(level);
}

}  // namespace

NvSipDialog::CallMessageLogger::CallMessageLogger() : m_pMutex(new NvRecursiveMutex) {}

NvSipDialog::CallMessageLogger::~CallMessageLogger() {
    delete m_pMutex;
    delete m_pLogger;
}

void NvSipDialog::CallMessageLogger::setLogger(Tellar::Logger* logger) {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (m_bLoggerSet.load(std::memory_order_acquire)) {
        delete logger;
        return;
    }
    if (!logger) return;
    m_pLogger = logger;
    if (m_DroppedLines != 0 && m_pLogger->isEnabledFor(Tellar::INFO))
        m_pLogger->emit(Tellar::INFO, "[" + std::to_string(m_DroppedLines) + " earlier lines of this call dropped]",
                        "NvSipDialog", -1);
    for (const auto& [level, text] : m_PendingLines)
        if (m_pLogger->isEnabledFor(level)) m_pLogger->emit(level, text.str(), "NvSipDialog", -1);
    m_PendingLines.clear();
    m_PendingLines.shrink_to_fit();
    m_bLoggerSet.store(true, std::memory_order_release);
}

template <class Write, class Format>
void NvSipDialog::CallMessageLogger::writeOrBuffer(Tellar::LogLevel level, Write write, Format format) {
    if (!m_bLoggerSet.load(std::memory_order_acquire)) {
        if (!keptUntilALoggerArrives(level)) return;
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (!m_bLoggerSet.load(std::memory_order_relaxed)) {
            keep(level, format());
            return;
        }
    }
    write(*m_pLogger);
}

void NvSipDialog::CallMessageLogger::keep(Tellar::LogLevel level, NvString text) {
    m_PendingBytes += text.length();
    m_PendingLines.emplace_back(level, std::move(text));
    size_t dropped = 0;
    while (m_PendingBytes > sm_MaxPendingBytes && dropped + 1 < m_PendingLines.size())
        m_PendingBytes -= m_PendingLines[dropped++].second.length();
    m_PendingLines.erase(m_PendingLines.begin(), m_PendingLines.begin() + static_cast<std::ptrdiff_t>(dropped));
    m_DroppedLines += static_cast<uint32_t>(dropped);
}

void NvSipDialog::CallMessageLogger::log(Tellar::LogLevel level, const char* text) {
    writeOrBuffer(
        level, [&](Tellar::Logger& logger) { logger.log(level, text, "NvSipDialog"); },
        [&] { return NvString(text); });
}

void NvSipDialog::CallMessageLogger::logSipMessage(const NvHandle<NvSipMessage>& message, bool incoming,
                                                   unsigned* port, NvInetAddress* address, Tellar::LogLevel level) {
    writeOrBuffer(
        level, [&](Tellar::Logger& logger) { message->logMessage(logger, incoming, port, address, level); },
        [&] {
            std::ostringstream text;
            message->formatMessage(text, incoming, port, address, level);
            return NvString(text.str());
        });
}

bool NvSipDialog::CallMessageLogger::wouldLog(Tellar::LogLevel level) const {
    return m_bLoggerSet.load(std::memory_order_acquire) ? m_pLogger->isEnabledFor(level)
                                                        : keptUntilALoggerArrives(level);
}

void NvSipDialog::logCallMessage(const NvHandle<NvSipMessage>& message, bool incoming, unsigned* port,
                                 NvInetAddress* address, Tellar::LogLevel level) const {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::logCallMessage");
    m_CallMessageLogger.logSipMessage(message, incoming, port, address, level);
}

void NvSipDialog::sendAndLogRequest(const NvHandle<NvSipClientTransaction>& transaction, Tellar::LogLevel) {
    if (!transaction.isNil()) transaction->sendRequest(nullptr, nullptr);
}

void NvSipDialog::sendAndLogResponse(const NvHandle<NvSipServerTransaction>& transaction, unsigned int statusCode,
                                     Tellar::LogLevel) {
    if (transaction.isNil()) return;
    transaction->setOnTimeoutSendFinalResponse(m_bOnTimeoutSendFinalResponse);
    transaction->sendResponse(statusCode);
}

void NvSipDialog::sendAndLogResponse(const NvHandle<NvSipServerTransaction>& transaction,
                                     const NvHandle<NvSipResponse>& response, Tellar::LogLevel) {
    if (transaction.isNil()) return;
    transaction->setOnTimeoutSendFinalResponse(m_bOnTimeoutSendFinalResponse);
    unsigned port = 0;
    NvInetAddress address;
    transaction->sendResponse(response, &port, &address);
}
