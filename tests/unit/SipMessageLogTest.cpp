// The log form of SIP messages: direction, peer, the text, and bodies cut
// at INFO and above.

#include "stack/log/TellarCapture.h"
#include "stack/net/NvInetAddress.h"
#include "stack/sip/NvSipParser.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

NvHandle<NvSipMessage> messageWithBody(size_t bodyBytes) {
    const std::string body(bodyBytes, 'b');
    const std::string text = "MESSAGE sip:b@example.com SIP/2.0\r\nVia: SIP/2.0/UDP 192.0.2.1;branch=z9hG4bK1\r\n"
                             "From: <sip:a@example.com>;tag=1\r\nTo: <sip:b@example.com>\r\nCall-ID: log1\r\n"
                             "CSeq: 1 MESSAGE\r\nContent-Type: text/plain\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n" + body;
    return NvSipParser::sParse(text.data(), text.size());
}

std::string format(const NvSipMessage& message, bool incoming, const unsigned* port, const NvInetAddress* address,
                   Tellar::LogLevel level) {
    std::ostringstream out;
    message.formatMessage(out, incoming, port, address, level);
    return out.str();
}

TEST(SipMessageLog, FirstLineNamesDirectionPeerAndSizeThenTheMessage) {
    const auto message = messageWithBody(10);
    const unsigned port = 5070;
    const NvInetAddress v4 = NvInetAddress::sParse("192.0.2.7");
    const NvInetAddress v6 = NvInetAddress::sParse("2001:db8::7");
    const std::string text = message->toString();
    const std::string size = " (" + std::to_string(text.size()) + " bytes)\n";
    EXPECT_EQ(format(*message, true, &port, &v4, Tellar::INFO),
              "<<<< RECEIVED SIP MESSAGE from 192.0.2.7:5070" + size + text);
    EXPECT_EQ(format(*message, false, &port, &v6, Tellar::INFO),
              ">>>> SENT SIP MESSAGE to [2001:db8::7]:5070" + size + text);
    EXPECT_EQ(format(*message, false, nullptr, nullptr, Tellar::INFO), ">>>> SENT SIP MESSAGE" + size + text);
    // Large bodies are cut at INFO, whole at DEBUG.
    const auto large = messageWithBody(10000);
    const std::string atInfo = format(*large, true, nullptr, nullptr, Tellar::INFO);
    const std::string full = large->toString();
    EXPECT_EQ(atInfo.substr(atInfo.find('\n') + 1),
              full.substr(0, full.size() - 5904) + "\n[... 5904 more bytes of body]");
    EXPECT_NE(std::string::npos, format(*large, true, nullptr, nullptr, Tellar::DEBUG).find(large->toString()));
}

TEST(SipMessageLog, LogMessageWritesOnlyWhenTheLoggerIsEnabled) {
    Tellar::LogCapture capture("test.sip.messagelog", Tellar::INFO);
    Tellar::Logger& logger = Tellar::getLogger("test.sip.messagelog");
    const auto message = messageWithBody(4);
    message->logMessage(logger, true, nullptr, nullptr, Tellar::DEBUG);
    EXPECT_EQ(0u, capture.size());
    message->logMessage(logger, true, nullptr, nullptr, Tellar::INFO);
    EXPECT_EQ(1u, capture.size());
    EXPECT_EQ(1u, capture.count(Tellar::INFO, "<<<< RECEIVED SIP MESSAGE")) << capture.dump();
}

}  // namespace
