// Tests of the stream framer behind the TCP connections: messages cut by
// Content-Length however the bytes arrive, keep-alives and pings between
// messages, and streams refused as soon as they cannot be SIP.

#include "stack/sip/NvSipParser.h"
#include "stack/transport/NvSipSocketFraming.h"
#include "tests/unit/TransportTestSupport.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

TEST(SocketFramer, MessagesKeepAlivesAndPings_ComeOutWholeInOrderHoweverTheBytesArrive) {
    const std::string a = sipRequest("a", "first"), b = sipRequest("b"), c = sipRequest("c", std::string(3000, 'x'));
    const std::string response = sipResponse("r");
    Outcome outcome = feed({"\r\n", a + "\r\n" + b + "\r\n\r\n" + c + response});
    EXPECT_EQ((Lines{a, b, c, response}), outcome.messages);
    EXPECT_EQ(1, outcome.pings);  // single CRLFs are keep-alives, the double one a ping

    // Fed byte by byte, a message comes out once, at its last byte.
    Lines bytes;
    for (char c : a) bytes.emplace_back(1, c);
    outcome = feed(bytes);
    EXPECT_EQ(Lines{a}, outcome.messages);
    EXPECT_EQ(0u, outcome.messagesBeforeLast);

    EXPECT_EQ(0u, feed({"\r\n"}).pending);  // keep-alives are not pending

    // A double CRLF is a ping, however it is split.
    for (const auto& pieces : std::vector<Lines>{{"\r\n\r\n"}, {"\r\n", "\r\n"}, {"\r", "\n\r", "\n"}})
        EXPECT_EQ(1, feed(pieces).pings) << pieces.size() << " pieces";
}

struct GarbageCase {
    const char* name;
    std::string bytes;
    const char* reason;  // part of the reason given
};

std::ostream& operator<<(std::ostream& out, const GarbageCase& c) { return out << c.name; }

class SocketFramerGarbage : public ::testing::TestWithParam<GarbageCase> {};

TEST_P(SocketFramerGarbage, RefusedAsSoonAsItCannotBeSip) {
    const Outcome outcome = feed({GetParam().bytes});
    EXPECT_TRUE(outcome.messages.empty());
    EXPECT_NE(std::string::npos, outcome.garbage.find(GetParam().reason)) << outcome.garbage;
}

const char* const kNotSip = "Not a SIP request or status line";

INSTANTIATE_TEST_SUITE_P(
    Table, SocketFramerGarbage,
    ::testing::Values(
        GarbageCase{"NotSip", "GARBAGE GARBAGE\r\n\r\n", "Not a SIP request or status line: "},
        GarbageCase{"HttpResponse", "HTTP/1.1 200 OK\r\n", kNotSip},
        GarbageCase{"HttpRequest", "GET /index.html HTTP/1.1\r\n", kNotSip},
        GarbageCase{"ExtraWord", "INVITE sip:x SIP/2.0 extra\r\n", kNotSip},
        GarbageCase{"LeadingSpace", " INVITE sip:x SIP/2.0\r\n", kNotSip},
        GarbageCase{"FourDigitStatus", "SIP/2.0 2000 OK\r\n", kNotSip},
        GarbageCase{"SipVersion3", "SIP/3.0 200 OK\r\n", "Unsupported SIP version"},
        GarbageCase{"SipVersion3Begun", "SIP/3", kNotSip},
        GarbageCase{"TlsHello", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), "Control character"},
        GarbageCase{"MessageOverLimit", "MESSAGE sip:x SIP/2.0\r\nContent-Length: 100000\r\n\r\n", "exceeds the limit"},
        GarbageCase{"LineOverLimit",
                    "MESSAGE sip:x SIP/2.0\r\nSubject: " + std::string(NvSipParser::kMaxLineBytes + 9, 'x'),
                    "Line longer than"}),
    ::testing::PrintToStringParamName());

TEST(SocketFramer, WhatCanStillBecomeAStartLine_Waits) {
    for (const std::string start : {"I", "INVITE", "INVITE sip:bob@x", "S", "SIP/", "sip/2.", "SIP/2.0 1"})
        EXPECT_EQ("", feed({start}).garbage) << start;
}

}  // namespace
