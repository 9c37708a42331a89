// Tests of the stream framer behind the TCP connections: messages cut by
// Content-Length however the bytes arrive, keep-alives and pings between
// messages, and streams refused as soon as they cannot be SIP.

#include "stack/sip/NvSipParser.h"
#include "stack/transport/NvSipSocketFraming.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

std::string request(const std::string& callId, const std::string& body = std::string()) {
    return "MESSAGE sip:bob@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/TCP 127.0.0.1:5999;branch=z9hG4bK-" + callId +
           "\r\nFrom: <sip:alice@127.0.0.1>;tag=a\r\nTo: <sip:bob@127.0.0.1>\r\nCall-ID: " + callId +
           "\r\nCSeq: 1 MESSAGE\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string kResponse =
    "SIP/2.0 200 OK\r\nVia: SIP/2.0/TCP 127.0.0.1;branch=z9hG4bK-r\r\nCall-ID: r\r\nContent-Length: 0\r\n\r\n";

// What a framer gave for a stream fed piece by piece, taking all it had
// ready after each piece.
struct Outcome {
    std::vector<std::string> messages;
    int pings = 0;
    std::string garbage;
    size_t pending = 0;           // after the last piece
    size_t messagesBeforeLast = 0;  // framed before the last piece came
};

Outcome feed(const std::vector<std::string>& pieces) {
    NvSipStreamFramer framer;
    Outcome outcome;
    std::string_view message;
    std::string reason;
    for (const auto& piece : pieces) {
        outcome.messagesBeforeLast = outcome.messages.size();
        framer.append(piece.data(), piece.size());
        for (int i = 0; i < 1000; ++i) {
            const auto result = framer.next(message, reason);
            if (result == NvSipStreamFramer::Result::NeedMore) break;
            if (result == NvSipStreamFramer::Result::Ping) ++outcome.pings;
            if (result == NvSipStreamFramer::Result::Message) outcome.messages.emplace_back(message);
            if (result == NvSipStreamFramer::Result::Garbage) {
                outcome.garbage = reason;
                break;
            }
        }
    }
    outcome.pending = framer.pending();
    return outcome;
}

std::vector<std::string> bytesOf(const std::string& text) {
    std::vector<std::string> pieces;
    for (char c : text) pieces.emplace_back(1, c);
    return pieces;
}

TEST(SocketFramer, MessageFedByteByByte_ComesOutOnceWholeAtItsLastByte) {
    const std::string m = request("one", "hello body");
    const Outcome outcome = feed(bytesOf(m));
    ASSERT_EQ(1u, outcome.messages.size());
    EXPECT_EQ(0u, outcome.messagesBeforeLast);
    EXPECT_EQ(m, outcome.messages[0]);
    EXPECT_EQ(0u, outcome.pending);
    EXPECT_TRUE(outcome.garbage.empty());
}

TEST(SocketFramer, MessagesKeepAlivesAndPings_ComeOutInOrder) {
    const std::string a = request("a", "first"), b = request("b"), c = request("c", std::string(3000, 'x'));
    Outcome outcome = feed({"\r\n", a + "\r\n" + b + c + kResponse});
    EXPECT_EQ((std::vector<std::string>{a, b, c, kResponse}), outcome.messages);
    EXPECT_EQ(0, outcome.pings);  // single CRLFs are keep-alives, not pings

    // A message and part of the next: the part waits.
    outcome = feed({a + b.substr(0, b.size() - 4)});
    EXPECT_EQ(1u, outcome.messages.size());
    EXPECT_EQ(b.size() - 4, outcome.pending);
    EXPECT_EQ(0u, feed({"\r\n"}).pending);  // keep-alives are not pending

    // A double CRLF is a ping, however it is split.
    for (const auto& pieces : std::vector<std::vector<std::string>>{{"\r\n\r\n"}, {"\r\n", "\r\n"}, {"\r", "\n\r", "\n"}})
        EXPECT_EQ(1, feed(pieces).pings) << pieces.size() << " pieces";
    outcome = feed({a + "\r\n\r\n" + b});
    EXPECT_EQ(1, outcome.pings);
    EXPECT_EQ(2u, outcome.messages.size());
}

struct GarbageCase {
    std::string bytes;
    const char* reason;  // part of the reason given; "" for a plausible start that waits
};

std::ostream& operator<<(std::ostream& out, const GarbageCase& c) { return out << c.bytes.substr(0, 40); }

class SocketFramerGarbage : public ::testing::TestWithParam<GarbageCase> {};

TEST_P(SocketFramerGarbage, RefusedAsSoonAsItCannotBeSip) {
    const Outcome outcome = feed({GetParam().bytes});
    EXPECT_TRUE(outcome.messages.empty());
    if (*GetParam().reason)
        EXPECT_NE(std::string::npos, outcome.garbage.find(GetParam().reason)) << outcome.garbage;
    else
        EXPECT_EQ("", outcome.garbage);
}

std::string withContentLength(const char* value) {
    std::string m = request("big");
    return m.replace(m.find("Content-Length: 0"), 17, std::string("Content-Length: ") + value);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SocketFramerGarbage,
    ::testing::Values(
        GarbageCase{"GARBAGE GARBAGE\r\n\r\n", "Not a SIP request or status line: "},
        GarbageCase{"HTTP/1.1 200 OK\r\n", "Not a SIP request or status line"},
        GarbageCase{"GET /index.html HTTP/1.1\r\n", "Not a SIP request or status line"},
        GarbageCase{"INVITE sip:x SIP/2.0 extra\r\n", "Not a SIP request or status line"},
        GarbageCase{" INVITE sip:x SIP/2.0\r\n", "Not a SIP request or status line"},
        GarbageCase{"SIP/2.0 2000 OK\r\n", "Not a SIP request or status line"},
        GarbageCase{"SIP/3.0 200 OK\r\n", "Unsupported SIP version"},
        GarbageCase{"SIP/3", "Not a SIP request or status line"},
        GarbageCase{std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), "Control character"},
        GarbageCase{withContentLength("100000"), "exceeds the limit"},
        GarbageCase{"MESSAGE sip:bob@127.0.0.1 SIP/2.0\r\nSubject: " + std::string(NvSipParser::kMaxLineBytes + 10, 'x'),
                    "Line longer than"},
        GarbageCase{"I", ""}, GarbageCase{"INVITE", ""}, GarbageCase{"INVITE sip:bob@x", ""}, GarbageCase{"S", ""},
        GarbageCase{"SIP/", ""}, GarbageCase{"sip/2.", ""}, GarbageCase{"SIP/2.0 1", ""}));

}  // namespace
