// Tests of NvSipParser::sFrameLength, the framing of messages on stream
// transports: 0 while a message is incomplete, its length once it is all
// there (Content-Length decides the body), an NvSipParseException as soon as
// the bytes can no longer become a message within the limits.

#include "SipTestText.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/sip/NvSipParser.h"

#include <gtest/gtest.h>

#include <string>

namespace {

size_t frame(const std::string& bytes) { return NvSipParser::sFrameLength(bytes.data(), bytes.size()); }

std::string frameError(const std::string& bytes) {
    return parseErrorOf([&] { frame(bytes); }, bytes.substr(0, 200));
}

std::string message(const std::string& lengthHeader, const std::string& body) {
    return crlf("MESSAGE sip:bob@example.net SIP/2.0\n"
                "Via: SIP/2.0/TCP 192.0.2.1:5060;branch=z9hG4bKframe1\n"
                "From: <sip:alice@example.com>;tag=f1\n"
                "To: <sip:bob@example.net>\n"
                "Call-ID: frame-1@192.0.2.1\n"
                "CSeq: 1 MESSAGE\n" +
                lengthHeader + "\n") +
           body;
}

// Header lines of filler up to about `size` bytes.
std::string filler(size_t size) {
    std::string lines = "OPTIONS sip:a@example.com SIP/2.0\r\n";
    while (lines.size() < size) lines += "X-Filler: 0123456789012345678901234567890\r\n";
    return lines;
}

}  // namespace

// Each whole message, followed by the start of the next one: the frame is the
// message, and no prefix of it is a frame.
TEST(SipFrameLength, ZeroUntilHeadersAndBodyAreComplete) {
    for (const std::string& whole :
         {message("Content-Length: 5\n", "hello"), message("l: 5\n", "hello"), message("", ""),
          message("CONTENT-length :  2\n", "hi"), message("Content-Length:\n   2\n", "hi"),
          "\r\n\r\n" + message("Content-Length: 2\n", "hi"),
          std::string("OPTIONS sip:a@example.com SIP/2.0\nl: 1\n\nx")}) {
        for (size_t length = 0; length < whole.size(); ++length)
            ASSERT_EQ(frame(whole.substr(0, length)), 0u) << whole << " cut to " << length;
        const std::string twoMessages = whole + message("Content-Length: 3\n", "bye");
        EXPECT_EQ(frame(twoMessages), whole.size()) << whole;
        EXPECT_EQ(frame(whole + "trailing"), whole.size()) << whole;
        // The frame is what the datagram parser reads as one message.
        EXPECT_EQ(NvSipParser::sParse(twoMessages.data(), frame(twoMessages))->toString(),
                  NvSipParser::sParse(whole.data(), whole.size())->toString());
    }
    EXPECT_EQ(NvSipParser::sFrameLength(nullptr, 0), 0u);
}

TEST(SipFrameLength, RaisesAsSoonAsTheBytesCannotBecomeAMessage) {
    std::string longLine =
        "OPTIONS sip:a@example.com SIP/2.0\r\nSubject: " + std::string(NvSipParser::kMaxLineBytes - 9, 'x');
    EXPECT_EQ(frame(longLine), 0u);
    longLine += std::string(10, 'x');
    const struct {
        std::string bytes;
        const char* reason;
    } cases[] = {
        {message("Content-Length: five\n", "hello"), "Content-Length"},
        {message("Content-Length: -1\n", ""), "Content-Length"},
        {message("Content-Length: 5\nl: 4\n", "hello"), "Conflicting"},
        {message("Content-Length: 4294967295\n", ""), "exceeds the limit"},
        {message("Content-Length: 65500\n", ""), "exceeds the limit of 65535"},
        // lines too long, before and after their end
        {longLine, "longer than 8192"},
        {longLine + "\r\n", "longer than 8192"},
        // a header section that never ends, and incomplete data past the limit
        {filler(NvSipParser::kMaxMessageBytes + 1), "message limit"},
        {filler(NvSipParser::kMaxMessageBytes - 100) + "X-Last: " + std::string(200, 'y'), "message limit"},
    };
    for (const auto& c : cases) EXPECT_TRUE(mentions(frameError(c.bytes), c.reason)) << c.bytes.substr(0, 200);
}

TEST(SipFrameLength, ExactlyTheLimitIsAFrame) {
    const size_t bodyLength = NvSipParser::kMaxMessageBytes - message("Content-Length: 00000\n", "").size();
    std::string digits = std::to_string(bodyLength);
    digits.insert(0, 5 - digits.size(), '0');
    const std::string whole = message("Content-Length: " + digits + "\n", std::string(bodyLength, 'b'));
    ASSERT_EQ(whole.size(), NvSipParser::kMaxMessageBytes);
    EXPECT_EQ(frame(whole), NvSipParser::kMaxMessageBytes);
    EXPECT_EQ(frame(whole.substr(0, whole.size() - 1)), 0u);
    EXPECT_EQ(NvSipParser::sParse(whole.data(), frame(whole))->getBody().size(), bodyLength);
    const std::string over = message("Content-Length: " + std::to_string(bodyLength + 1) + "\n", "");
    EXPECT_TRUE(mentions(frameError(over), "exceeds the limit"));
}
