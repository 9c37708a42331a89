#include "apps/nvsip-ua/CallLog.h"

CallLog::CallLog(Side side, bool ladder)
    : m_Name(side == Side::Caller ? "nvsip-ua.calls.outgoing" : "nvsip-ua.calls.incoming") {
    Tellar::Logger& logger = Tellar::getLogger(m_Name);
    m_bWanted = ladder || logger.isEnabledFor(Tellar::INFO);
    if (!ladder) return;
    if (!logger.getLog4cplusLogger().isEnabledFor(log4cplus::INFO_LOG_LEVEL)) {
        logger.getLog4cplusLogger().setLogLevel(log4cplus::INFO_LOG_LEVEL);
        logger.getLog4cplusLogger().setAdditivity(false);
    }
    m_pLadder = std::make_unique<Ladder>(logger, side == Side::Caller);
}

Tellar::Logger* CallLog::open(const std::string& callId) const {
    if (!m_bWanted) return nullptr;
    if (m_pLadder) m_pLadder->open(callId);
    return new Tellar::Logger(m_Name);
}

std::string CallLog::close(const std::string& callId) const {
    return m_pLadder ? m_pLadder->close(callId) : "";
}
