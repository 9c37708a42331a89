// The log form of SIP messages: direction, peer, the text, and bodies cut
// at INFO and above.

#include "SipTestText.h"
#include "stack/log/TellarCapture.h"
#include "stack/net/NvInetAddress.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

NvHandle<NvSipMessage> messageWithBody(size_t bodyBytes) {
    const std::string length = "Content-Length: " + std::to_string(bodyBytes) + "\n";
    return parseBytes(sipRequest("Content-Type: text/plain\n" + length, std::string(bodyBytes, 'b')));
}

std::string format(const NvSipMessage& message, bool incoming, const unsigned* port, const NvInetAddress* address,
                   Tellar::LogLevel level = Tellar::INFO) {
    std::ostringstream out;
    message.formatMessage(out, incoming, port, address, level);
    return out.str();
}

TEST(SipMessageLog, FirstLineNamesDirectionPeerAndSizeThenTheMessageCutAtInfo) {
    const auto message = messageWithBody(10);
    const unsigned port = 5070;
    const NvInetAddress v4 = NvInetAddress::sParse("192.0.2.7");
    const NvInetAddress v6 = NvInetAddress::sParse("2001:db8::7");
    const std::string text = message->toString();
    const std::string size = " (" + std::to_string(text.size()) + " bytes)\n";
    EXPECT_EQ(format(*message, true, &port, &v4), "<<<< RECEIVED SIP MESSAGE from 192.0.2.7:5070" + size + text);
    EXPECT_EQ(format(*message, false, &port, &v6), ">>>> SENT SIP MESSAGE to [2001:db8::7]:5070" + size + text);
    EXPECT_EQ(format(*message, false, nullptr, nullptr), ">>>> SENT SIP MESSAGE" + size + text);

    // Bodies past 4096 bytes are cut at INFO, whole at DEBUG.
    const auto large = messageWithBody(10000);
    const std::string full = large->toString();
    const std::string firstLine = "<<<< RECEIVED SIP MESSAGE (" + std::to_string(full.size()) + " bytes)\n";
    EXPECT_EQ(format(*large, true, nullptr, nullptr),
              firstLine + full.substr(0, full.size() - 5904) + "\n[... 5904 more bytes of body]");
    EXPECT_EQ(format(*large, true, nullptr, nullptr, Tellar::DEBUG), firstLine + full);
}

TEST(SipMessageLog, LogMessageWritesOnlyWhenTheLoggerIsEnabled) {
    Tellar::LogCapture capture("test.sip.messagelog", Tellar::INFO);
    Tellar::Logger& logger = Tellar::getLogger("test.sip.messagelog");
    const auto message = messageWithBody(4);
    message->logMessage(logger, true, nullptr, nullptr, Tellar::DEBUG);
    EXPECT_EQ(0u, capture.size());
    message->logMessage(logger, true, nullptr, nullptr, Tellar::INFO);
    EXPECT_EQ(1u, capture.count(Tellar::INFO, "<<<< RECEIVED SIP MESSAGE")) << capture.dump();
}

}  // namespace
