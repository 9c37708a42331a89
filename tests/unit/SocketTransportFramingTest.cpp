// Tests of the stream framer behind the TCP connections: messages cut by
// Content-Length however the bytes arrive, keep-alives and pings between
// messages, and streams refused as soon as they cannot be SIP.

#include "stack/sip/NvSipParser.h"
#include "stack/transport/NvSipSocketFraming.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string request(const std::string& callId, const std::string& body = std::string()) {
    return "MESSAGE sip:bob@127.0.0.1 SIP/2.0\r\n"
           "Via: SIP/2.0/TCP 127.0.0.1:5999;branch=z9hG4bK-" +
           callId +
           "\r\n"
           "From: <sip:alice@127.0.0.1>;tag=a\r\n"
           "To: <sip:bob@127.0.0.1>\r\n"
           "Call-ID: " +
           callId +
           "\r\n"
           "CSeq: 1 MESSAGE\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct Outcome {
    std::vector<std::string> messages;
    int pings = 0;
    std::string garbage;
};

// Takes everything the framer has ready.
void drain(NvSipStreamFramer& framer, Outcome& outcome) {
    std::string_view message;
    std::string reason;
    for (int i = 0; i < 1000; ++i) {
        const auto result = framer.next(message, reason);
        if (result == NvSipStreamFramer::Result::NeedMore) return;
        if (result == NvSipStreamFramer::Result::Ping) ++outcome.pings;
        if (result == NvSipStreamFramer::Result::Message) outcome.messages.emplace_back(message);
        if (result == NvSipStreamFramer::Result::Garbage) {
            outcome.garbage = reason;
            return;
        }
    }
    FAIL() << "framer never asked for more";
}

Outcome feed(const std::vector<std::string>& pieces) {
    NvSipStreamFramer framer;
    Outcome outcome;
    for (const auto& piece : pieces) {
        framer.append(piece.data(), piece.size());
        drain(framer, outcome);
    }
    return outcome;
}

TEST(SocketFramer, MessageFedByteByByte_ComesOutOnceWhole) {
    const std::string m = request("one", "hello body");
    NvSipStreamFramer framer;
    Outcome outcome;
    for (size_t i = 0; i < m.size(); ++i) {
        framer.append(&m[i], 1);
        drain(framer, outcome);
        if (i + 1 < m.size()) {
            ASSERT_TRUE(outcome.messages.empty()) << "framed early at byte " << i;
        }
    }
    ASSERT_EQ(1u, outcome.messages.size());
    EXPECT_EQ(m, outcome.messages[0]);
    EXPECT_EQ(0u, framer.pending());
    EXPECT_TRUE(outcome.garbage.empty());
}

TEST(SocketFramer, SeveralMessagesInOneRead_ComeOutInOrder) {
    const std::string a = request("a", "first"), b = request("b"), c = request("c", std::string(3000, 'x'));
    const Outcome outcome = feed({a + "\r\n" + b + c});
    ASSERT_EQ(3u, outcome.messages.size());
    EXPECT_EQ(a, outcome.messages[0]);
    EXPECT_EQ(b, outcome.messages[1]);
    EXPECT_EQ(c, outcome.messages[2]);
    EXPECT_EQ(0, outcome.pings);
}

TEST(SocketFramer, MessageAndPartOfTheNext_HoldsThePart) {
    const std::string a = request("a"), b = request("b", "0123456789");
    NvSipStreamFramer framer;
    Outcome outcome;
    const std::string first = a + b.substr(0, b.size() - 4);
    framer.append(first.data(), first.size());
    drain(framer, outcome);
    ASSERT_EQ(1u, outcome.messages.size());
    EXPECT_EQ(b.size() - 4, framer.pending());
    framer.append(b.data() + b.size() - 4, 4);
    drain(framer, outcome);
    ASSERT_EQ(2u, outcome.messages.size());
    EXPECT_EQ(b, outcome.messages[1]);
}

TEST(SocketFramer, CrlfKeepAlives_SkippedAndNotPending) {
    NvSipStreamFramer framer;
    Outcome outcome;
    framer.append("\r\n", 2);
    drain(framer, outcome);
    EXPECT_EQ(0u, framer.pending());
    const std::string a = "\r\n" + request("a");
    framer.append(a.data(), a.size());
    drain(framer, outcome);
    ASSERT_EQ(1u, outcome.messages.size());
    EXPECT_EQ(request("a"), outcome.messages[0]);
}

TEST(SocketFramer, DoubleCrlf_IsAPingEvenWhenSplit) {
    EXPECT_EQ(1, feed({"\r\n\r\n"}).pings);
    EXPECT_EQ(1, feed({"\r\n", "\r\n"}).pings);
    EXPECT_EQ(1, feed({"\r", "\n\r", "\n"}).pings);
    const Outcome between = feed({request("a") + "\r\n\r\n" + request("b")});
    EXPECT_EQ(1, between.pings);
    EXPECT_EQ(2u, between.messages.size());
}

TEST(SocketFramer, ResponseStatusLine_Accepted) {
    const std::string response =
        "SIP/2.0 200 OK\r\nVia: SIP/2.0/TCP 127.0.0.1;branch=z9hG4bK-r\r\nCall-ID: r\r\nContent-Length: 0\r\n\r\n";
    const Outcome outcome = feed({response});
    ASSERT_EQ(1u, outcome.messages.size());
    EXPECT_TRUE(outcome.garbage.empty());
}

TEST(SocketFramer, TextThatIsNoStartLine_IsGarbage) {
    const Outcome outcome = feed({"GARBAGE GARBAGE\r\n\r\n"});
    EXPECT_TRUE(outcome.messages.empty());
    EXPECT_NE(std::string::npos, outcome.garbage.find("Not a SIP request or status line: 'GARBAGE GARBAGE'"))
        << outcome.garbage;
    EXPECT_FALSE(feed({"HTTP/1.1 200 OK\r\n"}).garbage.empty());
    EXPECT_FALSE(feed({"INVITE sip:x SIP/2.0 extra\r\n"}).garbage.empty());
    EXPECT_FALSE(feed({" INVITE sip:x SIP/2.0\r\n"}).garbage.empty());
    EXPECT_FALSE(feed({"SIP/2.0 2000 OK\r\n"}).garbage.empty());
}

TEST(SocketFramer, BinaryBytes_AreGarbageBeforeAnyLineEnds) {
    const std::string tlsHello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
    const Outcome outcome = feed({tlsHello});
    EXPECT_NE(std::string::npos, outcome.garbage.find("Control character")) << outcome.garbage;
    EXPECT_FALSE(feed({"GET /index.html"}).garbage.empty());  // '/' cannot be in a method
}

TEST(SocketFramer, IncompleteButPlausibleFirstLine_WaitsForMore) {
    for (const char* prefix : {"I", "INVITE", "INVITE sip:bob@x", "S", "SIP/", "SIP/2.", "SIP/2.0 1"}) {
        const Outcome outcome = feed({prefix});
        EXPECT_TRUE(outcome.garbage.empty()) << prefix << ": " << outcome.garbage;
    }
}

TEST(SocketFramer, ContentLengthBeyondTheLimit_IsGarbageWithTheParsersReason) {
    std::string m = request("big");
    m.replace(m.find("Content-Length: 0"), 17, "Content-Length: 100000");
    const Outcome outcome = feed({m});
    EXPECT_NE(std::string::npos, outcome.garbage.find("exceeds the limit")) << outcome.garbage;
}

TEST(SocketFramer, HeaderLineBeyondTheLimit_IsGarbage) {
    std::string start = "MESSAGE sip:bob@127.0.0.1 SIP/2.0\r\nSubject: ";
    start += std::string(NvSipParser::kMaxLineBytes + 10, 'x');
    const Outcome outcome = feed({start});
    EXPECT_FALSE(outcome.garbage.empty());
}

TEST(SocketFramer, AfterGarbage_StaysSpent) {
    NvSipStreamFramer framer;
    framer.append("BAD\x01\r\n", 6);
    std::string_view message;
    std::string reason;
    EXPECT_EQ(NvSipStreamFramer::Result::Garbage, framer.next(message, reason));
    const std::string good = request("good");
    framer.append(good.data(), good.size());
    EXPECT_EQ(NvSipStreamFramer::Result::Garbage, framer.next(message, reason));
}

}  // namespace
