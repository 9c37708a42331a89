// The log form of SIP messages.
#include "stack/net/NvInetAddress.h"
#include "stack/sip/NvSipMessage.h"

#include <ostream>
#include <sstream>

namespace {
constexpr size_t kBodyBytesAtInfo = 4096;
}

void NvSipMessage::formatMessage(std::ostream& stream, bool incoming, const unsigned* port,
                                 const NvInetAddress* address, Tellar::LogLevel level) const {
    std::string text;
    text.reserve(512 + m_Body.size());
    serialize(text);
    stream << (incoming ? "<<<< RECEIVED SIP MESSAGE" : ">>>> SENT SIP MESSAGE");
    if (address && address->isValid()) {
        stream << (incoming ? " from " : " to ");
        if (address->getFamily() == NvInetAddress::Family::IPv6)
            stream << '[' << address->toString().str() << ']';
        else
            stream << address->toString().str();
        if (port) stream << ':' << *port;
    }
    stream << " (" << text.size() << " bytes)\n";
    const size_t headerBytes = text.size() - m_Body.size();
    if (level >= Tellar::INFO && m_Body.size() > kBodyBytesAtInfo) {
        stream.write(text.data(), static_cast<std::streamsize>(headerBytes + kBodyBytesAtInfo));
        stream << "\n[... " << (m_Body.size() - kBodyBytesAtInfo) << " more bytes of body]";
    } else {
        stream << text;
    }
}

void NvSipMessage::logMessage(const Tellar::Logger& logger, bool incoming, const unsigned* port,
                              const NvInetAddress* address, Tellar::LogLevel level) const {
    if (!logger.isEnabledFor(level)) return;
    std::ostringstream text;
    formatMessage(text, incoming, port, address, level);
    logger.log(level, text.str(), __FILE__, __LINE__);
}
