// Tests of NvSipParser::sFrameLength, the framing of messages on stream
// transports: 0 while a message is incomplete, its length once it is all
// there (Content-Length decides the body), an NvSipParseException as soon as
// the bytes can no longer become a message within the limits.

#include "SipTestText.h"
#include "stack/base/NvException.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/sip/NvSipParseException.h"
#include "stack/sip/NvSipParser.h"

#include <gtest/gtest.h>

#include <string>

namespace {

size_t frame(const std::string& bytes) { return NvSipParser::sFrameLength(bytes.data(), bytes.size()); }

std::string frameError(const std::string& bytes) {
    try {
        const size_t length = frame(bytes);
        ADD_FAILURE() << "framed as " << length << " bytes";
    } catch (NvHandle<NvException>& e) {
        EXPECT_TRUE(e.cast<NvSipParseException>()) << e->getMessage().str();
        return e->getMessage().str();
    }
    return std::string();
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

}  // namespace

TEST(SipFrameLength, ZeroUntilHeadersAndBodyAreComplete) {
    const std::string whole = message("Content-Length: 5\n", "hello");
    for (size_t length = 0; length < whole.size(); ++length)
        ASSERT_EQ(frame(whole.substr(0, length)), 0u) << "cut to " << length;
    EXPECT_EQ(frame(whole), whole.size());
}

TEST(SipFrameLength, TheFirstOfSeveralMessages) {
    const std::string first = message("l: 5\n", "hello");
    const std::string second = message("Content-Length: 3\n", "bye");
    EXPECT_EQ(frame(first + second), first.size());
    EXPECT_EQ(frame(first + second.substr(0, 10)), first.size());
    // The frame is what the datagram parser reads as one message.
    const std::string both = first + second;
    const auto parsed = NvSipParser::sParse(both.data(), frame(both));
    EXPECT_EQ(parsed->getBody(), "hello");
}

TEST(SipFrameLength, WithoutContentLengthTheBodyIsEmpty) {
    const std::string head = message("", "");
    EXPECT_EQ(frame(head + "trailing bytes"), head.size());
}

TEST(SipFrameLength, LeadingBlankLinesBelongToTheFrame) {
    const std::string whole = message("Content-Length: 2\n", "hi");
    EXPECT_EQ(frame("\r\n\r\n" + whole), whole.size() + 4);
    EXPECT_EQ(frame("\r\n\r\n"), 0u);
}

TEST(SipFrameLength, ContentLengthNamesAndFoldedValues) {
    EXPECT_EQ(frame(message("CONTENT-length :  2\n", "hi")), message("CONTENT-length :  2\n", "hi").size());
    const std::string folded = message("Content-Length:\n   2\n", "hi");
    EXPECT_EQ(frame(folded), folded.size());
    EXPECT_EQ(NvSipParser::sParse(folded.data(), folded.size())->getBody(), "hi");
    const std::string lf = "OPTIONS sip:a@example.com SIP/2.0\nl: 1\n\nx";
    EXPECT_EQ(frame(lf), lf.size());
}

TEST(SipFrameLength, BadOrConflictingContentLengthRaises) {
    EXPECT_NE(frameError(message("Content-Length: five\n", "hello")).find("Content-Length"), std::string::npos);
    EXPECT_NE(frameError(message("Content-Length: -1\n", "")).find("Content-Length"), std::string::npos);
    EXPECT_NE(frameError(message("Content-Length: 5\nl: 4\n", "hello")).find("Conflicting"), std::string::npos);
    EXPECT_NE(frameError(message("Content-Length: 4294967295\n", "")).find("exceeds the limit"), std::string::npos);
}

TEST(SipFrameLength, OversizeLinesRaiseBeforeTheyEnd) {
    const std::string start = "OPTIONS sip:a@example.com SIP/2.0\r\nSubject: ";
    std::string partial = start + std::string(NvSipParser::kMaxLineBytes - 9, 'x');
    EXPECT_EQ(frame(partial), 0u);
    partial += std::string(10, 'x');
    EXPECT_NE(frameError(partial).find("longer than 8192"), std::string::npos);
    EXPECT_NE(frameError(partial + "\r\n").find("longer than 8192"), std::string::npos);
}

TEST(SipFrameLength, OversizeMessagesRaise) {
    // A body that would take the message past the limit.
    const std::string head = message("Content-Length: 65500\n", "");
    EXPECT_NE(frameError(head).find("exceeds the limit of 65535"), std::string::npos);
    // A header section that never ends.
    std::string endless = "OPTIONS sip:a@example.com SIP/2.0\r\n";
    while (endless.size() <= NvSipParser::kMaxMessageBytes) endless += "X-Filler: 0123456789012345678901234567890\r\n";
    EXPECT_NE(frameError(endless).find("message limit"), std::string::npos);
    // Incomplete data already past the limit: never buffered further.
    std::string pending = "OPTIONS sip:a@example.com SIP/2.0\r\n";
    while (pending.size() < NvSipParser::kMaxMessageBytes - 100)
        pending += "X-Filler: 0123456789012345678901234567890\r\n";
    pending += "X-Last: " + std::string(200, 'y');
    EXPECT_NE(frameError(pending).find("message limit"), std::string::npos);
}

TEST(SipFrameLength, ExactlyTheLimitIsAFrame) {
    std::string head = message("Content-Length: 00000\n", "");
    const size_t bodyLength = NvSipParser::kMaxMessageBytes - head.size();
    std::string digits = std::to_string(bodyLength);
    digits.insert(0, 5 - digits.size(), '0');
    head = message("Content-Length: " + digits + "\n", "");
    ASSERT_EQ(head.size() + bodyLength, NvSipParser::kMaxMessageBytes);
    const std::string whole = head + std::string(bodyLength, 'b');
    EXPECT_EQ(frame(whole), NvSipParser::kMaxMessageBytes);
    EXPECT_EQ(frame(whole.substr(0, whole.size() - 1)), 0u);
    EXPECT_EQ(NvSipParser::sParse(whole.data(), frame(whole))->getBody().size(), bodyLength);
    const std::string over = message("Content-Length: " + std::to_string(bodyLength + 1) + "\n", "");
    EXPECT_NE(frameError(over).find("exceeds the limit"), std::string::npos);
}

TEST(SipFrameLength, NullBufferIsIncomplete) { EXPECT_EQ(NvSipParser::sFrameLength(nullptr, 0), 0u); }
