// Tests of NvSipParser::sFrameLength, the framing of messages on stream
// transports: 0 while a message is incomplete, its length once it is all
// there (Content-Length decides the body), an NvSipParseException as soon as
// the bytes can no longer become a message within the limits.

#include "SipTestText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

size_t frame(const std::string& bytes) { return NvSipParser::sFrameLength(bytes.data(), bytes.size()); }

std::string frameError(const std::string& bytes) {
    return parseErrorOf([&] { frame(bytes); }, bytes.substr(0, 200));
}

}  // namespace

// Each whole message, followed by the start of the next one: the frame is the
// message, and no prefix of it is a frame.
TEST(SipFrameLength, ZeroUntilHeadersAndBodyAreComplete) {
    for (const std::string& whole :
         {sipRequest("Content-Length: 5\n", "hello"), sipRequest("l: 5\n", "hello"), sipRequest(""),
          sipRequest("CONTENT-length :  2\n", "hi"), sipRequest("Content-Length:\n   2\n", "hi"),
          "\r\n\r\n" + sipRequest("Content-Length: 2\n", "hi"),
          std::string("OPTIONS sip:a@example.com SIP/2.0\nl: 1\n\nx")}) {
        for (size_t length = 0; length < whole.size(); ++length)
            ASSERT_EQ(frame(whole.substr(0, length)), 0u) << whole << " cut to " << length;
        EXPECT_EQ(frame(whole + sipRequest("Content-Length: 3\n", "bye")), whole.size()) << whole;
    }
    EXPECT_EQ(NvSipParser::sFrameLength(nullptr, 0), 0u);
}

TEST(SipFrameLength, RaisesAsSoonAsTheBytesCannotBecomeAMessage) {
    std::string longLine =
        "OPTIONS sip:a@example.com SIP/2.0\r\nSubject: " + std::string(NvSipParser::kMaxLineBytes - 9, 'x');
    EXPECT_EQ(frame(longLine), 0u);
    longLine += std::string(10, 'x');
    std::string filler = "OPTIONS sip:a@example.com SIP/2.0\r\n";
    while (filler.size() <= NvSipParser::kMaxMessageBytes) filler += "X-Filler: 0123456789012345678901234567890\r\n";
    const std::pair<std::string, const char*> cases[] = {
        {sipRequest("Content-Length: five\n", "hello"), "Content-Length"},
        {sipRequest("Content-Length: 5\nl: 4\n", "hello"), "Conflicting"},
        {sipRequest("Content-Length: 4294967295\n"), "exceeds the limit"},
        {sipRequest("Content-Length: 65500\n"), "exceeds the limit of 65535"},
        // lines too long, before and after their end
        {longLine, "longer than 8192"},
        {longLine + "\r\n", "longer than 8192"},
        // a header section that never ends, and incomplete data past the limit
        {filler, "message limit"},
        {filler.substr(0, NvSipParser::kMaxMessageBytes - 100) + "X-Last: " + std::string(200, 'y'), "message limit"},
    };
    for (const auto& c : cases) EXPECT_TRUE(mentions(frameError(c.first), c.second)) << c.first.substr(0, 200);
}

TEST(SipFrameLength, ExactlyTheLimitIsAFrame) {
    const size_t bodyLength = NvSipParser::kMaxMessageBytes - sipRequest("Content-Length: 00000\n").size();
    std::string digits = std::to_string(bodyLength);
    digits.insert(0, 5 - digits.size(), '0');
    const std::string whole = sipRequest("Content-Length: " + digits + "\n", std::string(bodyLength, 'b'));
    ASSERT_EQ(whole.size(), NvSipParser::kMaxMessageBytes);
    EXPECT_EQ(frame(whole), NvSipParser::kMaxMessageBytes);
    EXPECT_EQ(frame(whole.substr(0, whole.size() - 1)), 0u);
    const std::string over = sipRequest("Content-Length: " + std::to_string(bodyLength + 1) + "\n");
    EXPECT_TRUE(mentions(frameError(over), "exceeds the limit"));
}
