// What the parser reads out of a message, what it refuses and why, its size limits, and sFrameLength, the framing
// on streams: 0 while a message is incomplete, its length once it is all there, an error once it cannot become one.

#include "SipTestText.h"
#include "stack/base/NvStream.h"

namespace {

std::string torture(const std::string& name) { return corpusBytes("valid", name); }
std::string parseError(const std::string& bytes) { return parseErrorOf([&] { parse(bytes); }, bytes); }
size_t frame(const std::string& bytes) { return NvSipParser::sFrameLength(bytes.data(), bytes.size()); }
std::string frameError(const std::string& bytes) { return parseErrorOf([&] { frame(bytes); }, bytes.substr(0, 200)); }

// The `index`-th header called `name` (full or compact name, any case) as it is written back; ":start" gives
// the start line and ":body" the body.
std::string written(const NvSipMessage& message, const std::string& name, size_t index = 0) {
    if (name == ":body") return message.getBody();
    const std::string text = message.toString();
    if (name == ":start") return text.substr(0, text.find("\r\n"));
    const auto header = message.mGetHeader(name, index);
    return header ? headerLine(header) : "<absent>";
}

}  // namespace

// What is read from each input (see written()). The name written shows the class the parser chose: a known
// header takes its own spelling, a compact one keeps its letter, others stay as received.
TEST(SipParserAccepts, WhatIsReadFromEachInput) {
    const struct {
        std::string bytes, name, written;
        size_t index = 0;
    } cases[] = {
        {torture("tortuous-invite.sip"), ":start", "INVITE sip:carol@chicago.example.com;unknownparam;x-flag SIP/2.0"},
        {torture("tortuous-invite.sip"), "Via", "v: SIP/2.0/TCP spindle.example.com;branch=z9hG4bKtortuous2", 1},
        {torture("folded-lines.sip"), "Subject", "Subject: a subject that goes on for three lines"},
        {torture("quoted-display-names.sip"), "To", "To: \"Doe, \\\"Jay\\\" <\\\\home>\" <sip:jay@example.com>"},
        {torture("lf-line-ends.sip"), "Subject", "Subject: lf folded with a bare lf"},
        {torture("body-without-content-length.sip"), ":body", "line one\r\nline two\r\n"},
        {"SIP/2.0 183\r\nVia: SIP/2.0/UDP h.example.com;branch=z9hG4bK1\r\n\r\n", ":start", "SIP/2.0 183 "},
        {"SIP/2.0 699  two  spaces \r\n\r\n", ":start", "SIP/2.0 699  two  spaces "},
        {sipRequest("Subject\t :   \n"), "Subject", "Subject: "},
        {sipRequest("Contact: sip:a@example.com;note=\"<x>\"\n"), "Contact", "Contact: sip:a@example.com;note=\"<x>\""},
        // A quoted-pair may escape any octet but CR and LF, also across a fold.
        {sipRequest("Subject: \"fold\n \\\x07 inside\"\n"), "Subject", "Subject: \"fold \\\x07 inside\""},
        {sipRequest("Content-Length: 3\n", "abcdef"), ":body", "abc"},
        {sipRequest("Content-Length: 6\nl: 6\n", "abcdef"), ":body", "abcdef"},
        {sipRequest("Content-Length: 4\n", "a\0b\nc"s), ":body", "a\0b\n"s},  // octets, NUL included
    };
    for (const auto& c : cases)
        EXPECT_EQ(written(*parse(c.bytes), c.name, c.index), c.written) << c.name << " in " << c.bytes;
}

// Each input and words of the reason it is refused for (refusals by the header classes are tested with them).
TEST(SipParserRefuses, EachMalformedInputForItsReason) {
    const std::string via = "Via: SIP/2.0/UDP h.example.com;branch=z9hG4bK1\r\n\r\n";
    const std::pair<std::string, const char*> cases[] = {
        {"SIP/2.0 2a0 OK\r\n" + via, "Bad status code"}, {"SIP/2.0 099 Early\r\n" + via, "out of range"},
        {"SIP/2.0\r\n" + via, "without a status code"}, {" OPTIONS sip:a@example.com SIP/2.0\r\n" + via, "whitespace"},
        {"OPTIONS sip:a@example.com\r\n" + via, "request line"},
        {"OPTIONS sip:a@example.com HTTP/1.1\r\n" + via, "request line"},
        {"OPTIONS\tsip:a@example.com SIP/2.0\r\n" + via, "Tab"},
        {"OPT<IONS sip:a@example.com SIP/2.0\r\n" + via, "Bad method"},
        {"SIP/2.0 200 \"\\\x01\"\r\n" + via, "Control character"},
        {sipRequest("This line has no colon\n"), "without ':'"}, {sipRequest(": no name\n"), "header name"},
        {crlf("OPTIONS sip:a@example.com SIP/2.0\n continued\nVia: x\n\n"), "Folded line"},
        {sipRequest("Subject: del \x7f here\n"), "Control character"},
        {sipRequest("Subject: cr \r in the middle\n"), "Control character"},
        {sipRequest("Subject: \\\x07 outside quotes\n"), "Control character"},
        {sipRequest("Subject: 5\" screen\nX-Note: \\\x01 outside quotes\n"), "Control character"},
        {sipRequest("To: \"cr \\\r mid-line\" <sip:b@example.net>\n"), "Backslash before a line break"},
        {"", "Empty message"}, {"OPTIONS sip:a@example.com SIP/2.0", "Incomplete"},
        {"OPTIONS sip:a@example.com SIP/2.0\r\nVia: x\r\n", "Incomplete"}};
    for (const auto& c : cases) EXPECT_TRUE(mentions(parseError(c.first), c.second)) << c.first;
    parseErrorOf([] { NvSipParser::sParse(nullptr, 10); }, "a null buffer");
}

TEST(SipParserLimits, HeaderValuesLineLengthAfterUnfoldingAndMessageSizeAlsoFromAStream) {
    std::string many;
    for (size_t i = 0; i < NvSipParser::kMaxHeaders - 5; ++i) many += "X-H" + std::to_string(i) + ": v\n";
    EXPECT_EQ(parse(sipRequest(many))->getHeaders().size(), NvSipParser::kMaxHeaders);
    EXPECT_TRUE(mentions(parseError(sipRequest(many + "X-One-Too-Many: v\n")), "More than 256 header values"));
    // Values on one line count one by one.
    std::string vias = "Via: SIP/2.0/UDP a.example.com;branch=z9hG4bKa";
    for (int i = 0; i < 300; ++i) vias += ", SIP/2.0/UDP a.example.com";
    EXPECT_TRUE(mentions(parseError(sipRequest(vias + "\n")), "More than 256"));

    // Line length, after unfolding.
    const std::string exact = "Subject: " + std::string(NvSipParser::kMaxLineBytes - 9, 'a');
    EXPECT_EQ(written(*parse(sipRequest(exact + "\n")), "Subject"), exact);
    EXPECT_TRUE(mentions(parseError(sipRequest(exact + "a\n")), "longer than 8192"));
    // Short physical lines that unfold into one long line.
    std::string folded = "Subject: start";
    for (size_t unfolded = folded.size(); unfolded <= NvSipParser::kMaxLineBytes; unfolded += 11)
        folded += "\n  0123456789";  // joins as " 0123456789"
    EXPECT_TRUE(mentions(parseError(sipRequest(folded + "\n")), "longer than 8192"));
    const std::string longUri = "OPTIONS sip:" + std::string(NvSipParser::kMaxLineBytes, 'u') + "@example.com SIP/2.0";
    EXPECT_TRUE(mentions(parseError(longUri + "\r\n\r\n"), "Start line longer"));

    // Message size, also from a stream.
    const std::string head = sipRequest("Content-Type: text/plain\n");
    const std::string fits = head + std::string(NvSipParser::kMaxMessageBytes - head.size(), 'b');
    EXPECT_EQ(parse(fits)->getBody().size(), NvSipParser::kMaxMessageBytes - head.size());
    EXPECT_TRUE(mentions(parseError(fits + "b"), "exceeds the limit of 65535"));

    NvByteArrayInputStream huge(fits + "b");
    EXPECT_TRUE(
        mentions(parseErrorOf([&] { NvSipMessage::sConstructFrom(huge); }, "oversize stream"), "exceeds the limit"));
}

// Each whole message, then the start of the next: the frame is the message, and no prefix of it is a frame.
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

TEST(SipFrameLength, RaisesAsSoonAsTheBytesCannotBecomeAMessageButExactlyTheLimitIsAFrame) {
    std::string longLine =
        "OPTIONS sip:a@example.com SIP/2.0\r\nSubject: " + std::string(NvSipParser::kMaxLineBytes - 9, 'x');
    EXPECT_EQ(frame(longLine), 0u);
    longLine += std::string(10, 'x');
    std::string filler = "OPTIONS sip:a@example.com SIP/2.0\r\n";
    while (filler.size() <= NvSipParser::kMaxMessageBytes) filler += "X-Filler: 0123456789012345678901234567890\r\n";
    const std::pair<std::string, const char*> cases[] = {
        {sipRequest("Content-Length: five\n", "hello"), "Content-Length"},
        {sipRequest("Content-Length: 5\nl: 4\n", "hello"), "Conflicting"},
        {sipRequest("Content-Length: 65500\n"), "exceeds the limit of 65535"},
        // lines too long, before and after their end
        {longLine, "longer than 8192"}, {longLine + "\r\n", "longer than 8192"},
        // a header section that never ends, and incomplete data past the limit
        {filler, "message limit"},
        {filler.substr(0, NvSipParser::kMaxMessageBytes - 100) + "X-Last: " + std::string(200, 'y'), "message limit"}};
    for (const auto& c : cases) EXPECT_TRUE(mentions(frameError(c.first), c.second)) << c.first.substr(0, 200);

    // Exactly the limit is a frame.
    const size_t bodyLength = NvSipParser::kMaxMessageBytes - sipRequest("Content-Length: 65000\n").size();
    const std::string whole =
        sipRequest("Content-Length: " + std::to_string(bodyLength) + "\n", std::string(bodyLength, 'b'));
    ASSERT_EQ(whole.size(), NvSipParser::kMaxMessageBytes);
    EXPECT_EQ(frame(whole), NvSipParser::kMaxMessageBytes);
    EXPECT_EQ(frame(whole.substr(0, whole.size() - 1)), 0u);
    const std::string over = sipRequest("Content-Length: " + std::to_string(bodyLength + 1) + "\n");
    EXPECT_TRUE(mentions(frameError(over), "exceeds the limit"));
}
