// What the parser reads out of a message: the corpus messages read back
// header by header, then inputs built in place that are accepted (with what
// is read) or refused (with the reason), and the size limits.

#include "SipTestText.h"
#include "stack/base/NvStream.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/sip/NvSipParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

NvHandle<NvSipMessage> parse(const std::string& bytes) { return NvSipParser::sParse(bytes.data(), bytes.size()); }
std::string parseError(const std::string& bytes) {
    return parseErrorOf([&] { parse(bytes); }, bytes);
}
NvHandle<NvSipMessage> corpus(const std::string& name) { return parse(corpusBytes("valid", name)); }

// The `index`-th header called `name` (full or compact name, any case) as it
// is written back, "Name: value"; ":start" gives the start line and ":body"
// the body.
std::string written(const NvSipMessage& message, const std::string& name, size_t index = 0) {
    if (name == ":body") return message.getBody();
    if (name == ":start") {
        const std::string text = message.toString();
        return text.substr(0, text.find("\r\n"));
    }
    const auto header = message.mGetHeader(name, index);
    if (!header) return "<absent>";
    std::string line;
    header->appendTo(line);
    return line;
}

// A minimal valid request around `headers` (each ending in "\n").
std::string request(const std::string& headers, const std::string& body = std::string(),
                    const std::string& startLine = "OPTIONS sip:bob@example.net SIP/2.0") {
    return crlf(startLine + "\n" +
                "Via: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKtest1\n"
                "From: <sip:alice@example.com>;tag=t1\n"
                "To: <sip:bob@example.net>\n"
                "Call-ID: test-1@192.0.2.1\n"
                "CSeq: 1 OPTIONS\n" +
                headers + "\n") +
           body;
}

}  // namespace

// ---------------------------------------------------------------- corpus messages, read back

// A header of a corpus message, looked up by its full name and written back.
// The name written shows the class the parser chose (a known header takes its
// own spelling, a compact one keeps its letter, others stay as received).
struct CorpusLine {
    const char* file;
    const char* name;
    size_t index;
    std::string written;
};

class SipParserReadsCorpus : public testing::TestWithParam<CorpusLine> {};

TEST_P(SipParserReadsCorpus, HeaderAsWrittenBack) {
    const CorpusLine& row = GetParam();
    EXPECT_EQ(written(*corpus(row.file), row.name, row.index), row.written) << row.file;
}

const CorpusLine kCorpusLines[] = {
    {"tortuous-invite.sip", ":start", 0, "INVITE sip:carol@chicago.example.com;unknownparam;x-flag SIP/2.0"},
    {"tortuous-invite.sip", "To", 0, "To: carol <sip:carol@chicago.example.com>;tag=8814"},
    {"tortuous-invite.sip", "From", 0,
     "From: \"Bob \\\"the builder\\\"\" <sip:bob@biloxi.example.com>;tag=99a1;x-extra=1"},
    {"tortuous-invite.sip", "Via", 0, "Via: SIP/2.0/UDP 192.0.2.2;branch=z9hG4bKtortuous1"},
    {"tortuous-invite.sip", "Via", 1, "v: SIP/2.0/TCP spindle.example.com;branch=z9hG4bKtortuous2"},
    {"tortuous-invite.sip", "Contact", 0,
     "m: \"Quoted string \\\"\\\"\" <sip:bob@192.0.2.4>;newparam=newvalue;secondparam;q=0.33"},
    {"tortuous-invite.sip", "NewFangledHeader", 0, "NewFangledHeader: newfangled value continued newfangled value"},
    {"tortuous-invite.sip", "UnknownHeaderWithUnusualValue", 0, "UnknownHeaderWithUnusualValue: ;;,,;;,;"},
    {"tortuous-invite.sip", "Route", 0, "Route: <sip:services.example.com;lr;unknownwith=value;unknown-no-value>"},
    {"compact-forms.sip", "Session-Expires", 0, "x: 1800;refresher=uas"},
    {"compact-forms.sip", ":body", 0, "Hello"},
    {"folded-lines.sip", "Via", 0, "Via: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKfolded1"},
    {"folded-lines.sip", "Max-Forwards", 0, "Max-Forwards: 70"},
    {"folded-lines.sip", "From", 0, "From: \"Alice Liddell\" <sip:alice@example.com>;tag=fold1"},
    {"folded-lines.sip", "Subject", 0, "Subject: a subject that goes on for three lines"},
    {"mixed-case-names.sip", "X-CUSTOM-HEADER", 0, "x-Custom-Header: Kept As Written"},
    {"mixed-case-names.sip", "Supported", 0, "Supported: Timer"},
    {"multiple-values-one-line.sip", "Route", 2, "Route: <sip:p3.example.net;lr>"},
    {"multiple-values-one-line.sip", "Contact", 0, "Contact: \"Alice, at home\" <sip:alice@192.0.2.1>;q=0.7"},
    {"multiple-values-one-line.sip", "Contact", 1, "Contact: <sip:alice@198.51.100.2>;q=0.3"},
    {"quoted-display-names.sip", "To", 0, "To: \"Doe, \\\"Jay\\\" <\\\\home>\" <sip:jay@example.com>"},
    {"quoted-display-names.sip", "From", 0, "From: \"Zo\xC3\xAB \xC3\x85ngstr\xC3\xB6m\" <sip:zoe@example.com>;tag=q1"},
    {"quoted-display-names.sip", "Contact", 0, "Contact: \"\" <sip:zoe@192.0.2.1>"},
    {"quoted-display-names.sip", "Reply-To", 0, "Reply-To: \"Team; Ops\" <sip:ops@example.com>"},
    {"whitespace-variations.sip", "Via", 0, "Via: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKws1;rport"},
    {"whitespace-variations.sip", "Contact", 0, "Contact: <sip:alice@192.0.2.1>;expires=600"},
    {"whitespace-variations.sip", "Supported", 0, "Supported: timer, 100rel"},
    {"leading-crlf.sip", ":start", 0, "OPTIONS sip:bob@example.net SIP/2.0"},
    {"lf-line-ends.sip", "Subject", 0, "Subject: lf folded with a bare lf"},
    {"unknown-method.sip", ":start", 0, "FROBNICATE sip:bob@example.net SIP/2.0"},
    {"unknown-schemes-in-headers.sip", "From", 0, "From: \"Info desk\" <http://www.example.com/desk?id=7>;tag=us1"},
    {"unknown-schemes-in-headers.sip", "Contact", 0, "Contact: <mailto:desk@example.com>"},
    {"body-without-content-length.sip", ":body", 0, "line one\r\nline two\r\n"},
    {"trailing-octets.sip", ":body", 0, "hello there"},
    {"multipart-body.sip", "Content-Type", 0, "Content-Type: multipart/mixed;boundary=\"nv-boundary-7\""},
    {"auth-params.sip", "Authorization", 0,
     "Authorization: Digest username=\"alice\", realm=\"example.com, \\\"main\\\" realm\", nonce=\"a1,b2,c3\", "
     "uri=\"sip:bob@example.net\", response=\"6629fae49393a05397450978507c4ef1\", algorithm=MD5, qop=auth, "
     "nc=00000001, cnonce=\"0a4f113b\", opaque=\"\""},
    {"auth-params.sip", "Proxy-Authorization", 1, "Proxy-Authorization: NvToken abc.def-ghi, scope=\"call,video\""},
    {"session-timer-response.sip", "Record-Route", 1, "Record-Route: <sip:p1.example.net;lr>"},
    {"session-timer-response.sip", "Session-Expires", 0, "Session-Expires: 1800;refresher=uac"},
    {"session-timer-response.sip", "Retry-After", 0, "Retry-After: 120 (in a meeting);duration=3600"},
};
INSTANTIATE_TEST_SUITE_P(Torture, SipParserReadsCorpus, testing::ValuesIn(kCorpusLines));

TEST(SipParserReadsCorpusValues, ParameterNamesIgnoreCaseAndValuesOnOneLineStayTogether) {
    const auto mixed = corpus("mixed-case-names.sip");
    EXPECT_EQ(mixed->getTopVia()->getBranch().str(), "z9hG4bKcase1");
    EXPECT_EQ(mixed->getFromHeader()->getTag().str(), "case1");
    EXPECT_TRUE(mixed->isSupported("timer"));

    const auto multi = corpus("multiple-values-one-line.sip");
    const auto vias = multi->getHeaders<NvSipViaHeader>();
    ASSERT_EQ(vias.size(), 4u);
    const bool continues[] = {false, true, true, false};
    for (size_t i = 0; i < vias.size(); ++i) EXPECT_EQ(vias[i]->continuesLine(), continues[i]) << i;
    EXPECT_TRUE(mentions(multi->toString(),
                         "\r\nVia: SIP/2.0/UDP edge.example.org;branch=z9hG4bKmv3, SIP/2.0/TCP "
                         "198.51.100.7:5061;branch=z9hG4bKmv2, SIP/2.0/UDP 192.0.2.1;branch=z9hG4bKmv1\r\n"
                         "Via: SIP/2.0/UDP 192.0.2.99;branch=z9hG4bKmv0\r\n"));
}

// ---------------------------------------------------------------- inputs built in place, accepted

TEST(SipParserAccepts, WhatIsReadFromEachInput) {
    const struct {
        std::string bytes;
        const char* name;
        std::string written;
    } cases[] = {
        {request("", "", "INVITE sip:bob@example.net:5062;transport=tcp SIP/2.0"), ":start",
         "INVITE sip:bob@example.net:5062;transport=tcp SIP/2.0"},
        {"SIP/2.0 183\r\nVia: SIP/2.0/UDP h.example.com;branch=z9hG4bK1\r\n\r\n", ":start", "SIP/2.0 183 "},
        {"SIP/2.0 699  two  spaces \r\n\r\n", ":start", "SIP/2.0 699  two  spaces "},
        {request("Subject\t :   \n"), "Subject", "Subject: "},
        {request("Subject: caf\xC3\xA9 <b>, \"quoted\" ;x\n"), "Subject", "Subject: caf\xC3\xA9 <b>, \"quoted\" ;x"},
        {request("Route: sip:p1.example.net\n"), "Route", "Route: sip:p1.example.net"},
        {request("Contact: sip:a@example.com;note=\"<x>\"\n"), "Contact", "Contact: sip:a@example.com;note=\"<x>\""},
        {request("Contact: Alice  B. Liddell <sip:a@example.com>\n"), "Contact",
         "Contact: Alice  B. Liddell <sip:a@example.com>"},
        // A quoted-pair may escape any octet but CR and LF, also across a fold.
        {request("Contact: \"a\\\0b\\\x01\\\x7f\" <sip:b@example.net>\n"s), "Contact",
         "Contact: \"a\\\0b\\\x01\\\x7f\" <sip:b@example.net>"s},
        {request("Contact: <sip:a@example.com>;x=\"\\\x1f\"\n"), "Contact",
         "Contact: <sip:a@example.com>;x=\"\\\x1f\""},
        {request("Subject: \"fold\n \\\x07 inside\"\n"), "Subject", "Subject: \"fold \\\x07 inside\""},
        {request("Subject: \"q\\\"\\\x01\"\n"), "Subject", "Subject: \"q\\\"\\\x01\""},
        {request("Content-Length: 3\n", "abcdef"), ":body", "abc"},
        {request("Content-Length: 0\n", "abcdef"), ":body", ""},
        {request("Content-Length: 6\nl: 6\n", "abcdef"), ":body", "abcdef"},
    };
    for (const auto& c : cases) EXPECT_EQ(written(*parse(c.bytes), c.name), c.written) << c.bytes;
    // Content-Length counts octets, NUL included.
    EXPECT_EQ(parse(request("Content-Length: 4\n") + std::string("a\0b\n", 4))->getBody(), std::string("a\0b\n", 4));
}

// ---------------------------------------------------------------- inputs built in place, refused

TEST(SipParserRefuses, EachMalformedInputForItsReason) {
    const std::string via = "Via: SIP/2.0/UDP h.example.com;branch=z9hG4bK1\r\n\r\n";
    const struct {
        std::string bytes;
        const char* reason;
    } cases[] = {
        // start line
        {"SIP/2.0 20 OK\r\n" + via, "status code"}, {"SIP/2.0 2000 OK\r\n" + via, "status code"},
        {"SIP/2.0 099 Early\r\n" + via, "out of range"}, {"SIP/2.0\r\n" + via, "without a status code"},
        {"SIP/3.0 200 OK\r\n" + via, "SIP version 'SIP/3.0'"},
        {" OPTIONS sip:a@example.com SIP/2.0\r\n" + via, "whitespace"},
        {"OPTIONS sip:a@example.com\r\n" + via, "request line"},
        {"OPTIONS sip:a@example.com HTTP/1.1\r\n" + via, "request line"},
        {"OPTIONS\tsip:a@example.com SIP/2.0\r\n" + via, "Tab"},
        {"OPTIONS sip:a@example.com SIP/2.0\t\r\n" + via, "Trailing whitespace"},
        {"OPTIONS sip:a@example.com  SIP/2.0\r\n" + via, "More than one space"},
        {"OPT<IONS sip:a@example.com SIP/2.0\r\n" + via, "Bad method"},
        {"OPTIONS sip:a@ex ample.com SIP/2.0\r\n" + via, "whitespace"},
        {"SIP/2.0 200 \"\\\x01\"\r\n" + via, "Control character"},
        // header lines
        {request("This line has no colon\n"), "without ':'"}, {request(": no name\n"), "header name"},
        {request("Bad\"Name: x\n"), "header name"},
        {crlf("OPTIONS sip:a@example.com SIP/2.0\n continued\nVia: x\n\n"), "Folded line"},
        {request("Subject: del \x7f here\n"), "Control character"},
        {request("Subject: cr \r in the middle\n"), "Control character"},
        {request("Subject: \\\x07 outside quotes\n"), "Control character"},
        {request("Subject: \"bare \x01 inside quotes\"\n"), "Control character"},
        {request("Subject: \"\\\"\x01\"\n"), "Control character"},
        {request("Subject: 5\" screen\nX-Note: \\\x01 outside quotes\n"), "Control character"},
        {request("To: \"cr \\\r mid-line\" <sip:b@example.net>\n"), "Backslash before a line break"},
        {request("To: \"folded \\\n after\" <sip:b@example.net>\n"), "Backslash before a line break"},
        {request("Via: SIP/2.0/UDP a.example.com;branch=z9hG4bK2,\n"), "Empty value in Via"},
        {request("Route: <sip:p1.example.net;lr>,,<sip:p2.example.net;lr>\n"), "Empty value"},
        // values against their header's grammar
        {request("Max-Forwards: 70 hops\n"), "Max-Forwards"},
        {request("Record-Route: sip:p1.example.net;lr\n"), "angle brackets"},
        {request("Via: SIP/2.0/UDP 2001:db8::1;branch=z9hG4bK3\n"), "IPv6"},
        // body
        {request("Content-Length: 7\n", "abcdef"), "Content-Length 7 exceeds the 6 bytes"},
        {request("Content-Length: 6\nContent-Length: 5\n", "abcdef"), "Conflicting"},
        {request("Content-Length: 4294967295\n", "abcdef"), "exceeds"},
        {request("Content-Length: 4294967296\n", "abcdef"), "Content-Length"},
        {request("Content-Length: 6;x=1\n", "abcdef"), "Content-Length"},
        // incomplete input
        {"", "Empty message"}, {"\r\n\r\n", "Incomplete"}, {"OPTIONS sip:a@example.com SIP/2.0", "Incomplete"},
        {"OPTIONS sip:a@example.com SIP/2.0\r\nVia: x\r\n", "Incomplete"},
    };
    for (const auto& c : cases) EXPECT_TRUE(mentions(parseError(c.bytes), c.reason)) << c.bytes;
    parseErrorOf([] { NvSipParser::sParse(nullptr, 10); }, "a null buffer");
}

// ---------------------------------------------------------------- limits

TEST(SipParserLimits, HeaderValues) {
    std::string many;
    for (size_t i = 0; i < NvSipParser::kMaxHeaders - 5; ++i) many += "X-H" + std::to_string(i) + ": v\n";
    EXPECT_EQ(parse(request(many))->getHeaders().size(), NvSipParser::kMaxHeaders);
    EXPECT_TRUE(mentions(parseError(request(many + "X-One-Too-Many: v\n")), "More than 256 header values"));
    // Values on one line count one by one.
    std::string vias = "Via: SIP/2.0/UDP a.example.com;branch=z9hG4bKa";
    for (int i = 0; i < 300; ++i) vias += ", SIP/2.0/UDP a.example.com";
    EXPECT_TRUE(mentions(parseError(request(vias + "\n")), "More than 256"));
}

TEST(SipParserLimits, LineLengthAfterUnfolding) {
    const std::string prefix = "Subject: ";
    const std::string exact = prefix + std::string(NvSipParser::kMaxLineBytes - prefix.size(), 'a');
    EXPECT_EQ(written(*parse(request(exact + "\n")), "Subject"), exact);
    EXPECT_TRUE(mentions(parseError(request(exact + "a\n")), "longer than 8192"));
    // Short physical lines that unfold into one long line.
    std::string folded = "Subject: start";
    for (size_t unfolded = folded.size(); unfolded <= NvSipParser::kMaxLineBytes; unfolded += 11)
        folded += "\n  0123456789";  // joins as " 0123456789"
    EXPECT_TRUE(mentions(parseError(request(folded + "\n")), "longer than 8192"));
    const std::string longUri = "OPTIONS sip:" + std::string(NvSipParser::kMaxLineBytes, 'u') + "@example.com SIP/2.0";
    EXPECT_TRUE(mentions(parseError(request("", "", longUri)), "Start line longer"));
}

TEST(SipParserLimits, MessageSizeAlsoFromAStream) {
    const std::string head = request("Content-Type: text/plain\n");
    const std::string fits = head + std::string(NvSipParser::kMaxMessageBytes - head.size(), 'b');
    EXPECT_EQ(parse(fits)->getBody().size(), NvSipParser::kMaxMessageBytes - head.size());
    EXPECT_TRUE(mentions(parseError(fits + "b"), "exceeds the limit of 65535"));

    NvByteArrayInputStream in(request("Content-Length: 2\n", "hi"));
    EXPECT_EQ(NvSipMessage::sConstructFrom(in)->getBody(), "hi");
    NvByteArrayInputStream huge(fits + "b");
    EXPECT_TRUE(mentions(parseErrorOf([&] { NvSipMessage::sConstructFrom(huge); }, "oversize stream"),
                         "exceeds the limit"));
}
