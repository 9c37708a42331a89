// Tests of what the parser reads out of a message: the start line, header
// lines (folding, compact names, several values, whitespace), the body and
// the size limits. The first group checks the values read from the torture
// corpus messages; the others build their input in place.

#include "SipTestText.h"
#include "stack/base/NvException.h"
#include "stack/base/NvStream.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/sip/NvSipParseException.h"
#include "stack/sip/NvSipParser.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

NvHandle<NvSipMessage> parse(const std::string& bytes) { return NvSipParser::sParse(bytes.data(), bytes.size()); }

// The message of the NvSipParseException that `bytes` raises; fails the test
// when the message is accepted or something else is raised.
std::string parseError(const std::string& bytes) {
    try {
        parse(bytes);
    } catch (NvHandle<NvException>& e) {
        EXPECT_TRUE(e.cast<NvSipParseException>()) << "not an NvSipParseException: " << e->getMessage().str();
        return e->getMessage().str();
    }
    ADD_FAILURE() << "accepted:\n" << bytes;
    return std::string();
}

NvHandle<NvSipMessage> corpus(const std::string& name) {
    std::ifstream in(std::string(NVSIP_TEST_DATA_DIR) + "/torture/valid/" + name, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(bytes.empty()) << name;
    return parse(bytes);
}

NvHandle<NvSipRequest> asRequest(const NvHandle<NvSipMessage>& message) {
    auto request = message.cast<NvSipRequest>();
    EXPECT_TRUE(request);
    return request;
}

NvHandle<NvSipResponse> asResponse(const NvHandle<NvSipMessage>& message) {
    auto response = message.cast<NvSipResponse>();
    EXPECT_TRUE(response);
    return response;
}

std::string generic(const NvHandle<NvSipMessage>& message, const char* name, size_t index = 0) {
    const auto header = message->mGetHeader(name, index);
    if (!header) return "<absent>";
    EXPECT_EQ(header->getID(), NvSipHeaderID::Unknown) << name;
    return header->getValue().str();
}

std::string displayName(const NvHandle<NvSipNameAddressHeader>& header) {
    return header->getNameAddress()->getDisplayName().str();
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

TEST(SipParserReadsCorpus, TortuousInvite) {
    const auto message = corpus("tortuous-invite.sip");
    const auto invite = asRequest(message);
    EXPECT_TRUE(invite.cast<NvSipInviteMessage>());
    const auto uri = invite->getURI().cast<NvSipURL>();
    ASSERT_TRUE(uri);
    EXPECT_TRUE(uri->parameters().isPresent("unknownparam"));
    EXPECT_TRUE(uri->parameters().isPresent("x-flag"));

    const auto to = message->getToHeader();
    EXPECT_EQ(displayName(to), "carol");
    EXPECT_EQ(to->getTag().str(), "8814");
    const auto from = message->getFromHeader();
    EXPECT_EQ(displayName(from), "\"Bob \\\"the builder\\\"\"");
    EXPECT_EQ(from->getTag().str(), "99a1");
    EXPECT_EQ(from->getParameter("x-extra").str(), "1");

    EXPECT_EQ(message->getHeader<NvSipMaxForwardsHeader>()->getNumber(), 68u);
    EXPECT_EQ(message->getCSeqHeader()->getNumber(), 9u);
    EXPECT_EQ(message->getCSeqHeader()->getMethod().str(), "INVITE");

    const auto vias = message->getHeaders<NvSipViaHeader>();
    ASSERT_EQ(vias.size(), 2u);
    EXPECT_EQ(vias[0]->getHost().str(), "192.0.2.2");
    EXPECT_EQ(vias[0]->getTransport().str(), "UDP");
    EXPECT_EQ(vias[0]->getBranch().str(), "z9hG4bKtortuous1");
    EXPECT_FALSE(vias[0]->isCompact());
    EXPECT_EQ(vias[1]->getHost().str(), "spindle.example.com");
    EXPECT_EQ(vias[1]->getTransport().str(), "TCP");
    EXPECT_EQ(vias[1]->getBranch().str(), "z9hG4bKtortuous2");
    EXPECT_TRUE(vias[1]->isCompact());

    const auto contact = message->getHeader<NvSipContactHeader>();
    ASSERT_TRUE(contact);
    EXPECT_EQ(displayName(contact), "\"Quoted string \\\"\\\"\"");
    EXPECT_EQ(contact->getParameter("newparam").str(), "newvalue");
    EXPECT_TRUE(contact->getParameters()->isPresent("secondparam"));
    EXPECT_EQ(contact->getParameter("q").str(), "0.33");

    EXPECT_EQ(generic(message, "NewFangledHeader"), "newfangled value continued newfangled value");
    EXPECT_EQ(generic(message, "UnknownHeaderWithUnusualValue"), ";;,,;;,;");
    EXPECT_EQ(generic(message, "s"), "tortuous");
    EXPECT_EQ(generic(message, "j"), "reject-contact-value");

    const auto route = message->getHeader<NvSipRouteHeader>();
    ASSERT_TRUE(route);
    const auto routeUrl = route->getNameAddress()->getURL();
    ASSERT_TRUE(routeUrl);
    EXPECT_TRUE(routeUrl->parameters().isPresent("lr"));
    EXPECT_EQ(routeUrl->getParameter("unknownwith").str(), "value");
    EXPECT_TRUE(route->getParameters()->isEmpty());

    const auto length = message->getHeader<NvSipContentLengthHeader>();
    ASSERT_TRUE(length);
    EXPECT_EQ(message->getBody().size(), length->getNumber());
    EXPECT_EQ(message->getBody().substr(0, 5), "v=0\r\n");
}

TEST(SipParserReadsCorpus, CompactFormsMapToTheirHeaders) {
    const auto message = corpus("compact-forms.sip");
    const struct {
        const char* letter;
        NvSipHeaderID id;
    } known[] = {{"v", NvSipHeaderID::Via},           {"f", NvSipHeaderID::From},
                 {"t", NvSipHeaderID::To},            {"i", NvSipHeaderID::CallID},
                 {"m", NvSipHeaderID::Contact},       {"k", NvSipHeaderID::Supported},
                 {"o", NvSipHeaderID::Event},         {"r", NvSipHeaderID::ReferTo},
                 {"x", NvSipHeaderID::SessionExpires}, {"c", NvSipHeaderID::ContentType},
                 {"l", NvSipHeaderID::ContentLength}};
    for (const auto& k : known) {
        const auto header = message->mGetHeaderByID(k.id);
        ASSERT_TRUE(header) << k.letter;
        EXPECT_TRUE(header->isCompact()) << k.letter;
        EXPECT_EQ(header->getCompactName(), k.letter[0]);
        EXPECT_EQ(message->mGetHeader(k.letter), header) << k.letter;
    }
    EXPECT_EQ(message->getCallID().str(), "compact-1@192.0.2.10");
    EXPECT_TRUE(message->isSupported("timer"));
    EXPECT_EQ(message->getHeader<NvSipSessionExpiresHeader>()->getRefresher().str(), "uas");
    EXPECT_EQ(message->getHeader<NvSipEventHeader>()->getPackage().str(), "presence");
    EXPECT_EQ(message->getHeader<NvSipContentTypeHeader>()->getMediaType().str(), "text/plain");
    // Letters without a class of ours stay generic, under the letter.
    EXPECT_EQ(generic(message, "s"), "hello");
    EXPECT_EQ(generic(message, "e"), "identity");
    EXPECT_EQ(generic(message, "u"), "dialog");
    EXPECT_EQ(generic(message, "a"), "*;audio");
    EXPECT_EQ(message->getBody(), "Hello");
}

TEST(SipParserReadsCorpus, FoldedLinesAreJoinedWithOneSpace) {
    const auto message = corpus("folded-lines.sip");
    EXPECT_EQ(message->getTopVia()->getBranch().str(), "z9hG4bKfolded1");
    EXPECT_EQ(message->getHeader<NvSipMaxForwardsHeader>()->getNumber(), 70u);
    EXPECT_EQ(displayName(message->getFromHeader()), "\"Alice Liddell\"");
    EXPECT_EQ(message->getFromHeader()->getTag().str(), "fold1");
    EXPECT_EQ(generic(message, "Subject"), "a subject that goes on for three lines");
    EXPECT_EQ(generic(message, "Accept"), "application/sdp");
}

TEST(SipParserReadsCorpus, HeaderAndParameterNamesIgnoreCase) {
    const auto message = corpus("mixed-case-names.sip");
    EXPECT_TRUE(message->getTopVia());
    EXPECT_EQ(message->getTopVia()->getBranch().str(), "z9hG4bKcase1");
    EXPECT_EQ(message->getFromHeader()->getTag().str(), "case1");
    EXPECT_EQ(message->getCallID().str(), "case-1@192.0.2.1");
    EXPECT_EQ(message->getCSeqHeader()->getNumber(), 12u);
    EXPECT_TRUE(message->isSupported("timer"));
    EXPECT_EQ(message->getHeader<NvSipContentLengthHeader>()->getNumber(), 0u);
    // Known headers are written with their own names, others as received.
    EXPECT_EQ(message->mGetHeader("X-CUSTOM-HEADER")->getName().str(), "x-Custom-Header");
    const std::string written = message->toString();
    EXPECT_NE(written.find("\r\nVia: SIP/2.0/UDP"), std::string::npos) << written;
    EXPECT_NE(written.find("\r\nx-Custom-Header: Kept As Written\r\n"), std::string::npos) << written;
}

TEST(SipParserReadsCorpus, SeveralValuesOnOneLineBecomeSeparateHeaders) {
    const auto message = corpus("multiple-values-one-line.sip");
    const auto vias = message->getHeaders<NvSipViaHeader>();
    ASSERT_EQ(vias.size(), 4u);
    EXPECT_EQ(vias[0]->getBranch().str(), "z9hG4bKmv3");
    EXPECT_EQ(vias[1]->getBranch().str(), "z9hG4bKmv2");
    EXPECT_EQ(vias[1]->getPort(), 5061);
    EXPECT_EQ(vias[2]->getBranch().str(), "z9hG4bKmv1");
    EXPECT_EQ(vias[3]->getBranch().str(), "z9hG4bKmv0");
    EXPECT_FALSE(vias[0]->continuesLine());
    EXPECT_TRUE(vias[1]->continuesLine());
    EXPECT_TRUE(vias[2]->continuesLine());
    EXPECT_FALSE(vias[3]->continuesLine());
    EXPECT_EQ(message->countHeaders(NvSipHeaderID::Route), 3u);
    EXPECT_EQ(message->getHeader<NvSipRouteHeader>(2)->getNameAddress()->getURL()->getHost().str(), "p3.example.net");

    const auto contacts = message->getHeaders<NvSipContactHeader>();
    ASSERT_EQ(contacts.size(), 2u);
    EXPECT_EQ(displayName(contacts[0]), "\"Alice, at home\"");
    EXPECT_EQ(contacts[0]->getParameter("q").str(), "0.7");
    EXPECT_EQ(contacts[1]->getNameAddress()->getURL()->getHost().str(), "198.51.100.2");

    const auto supported = message->getHeader<NvSipSupportedHeader>();
    ASSERT_EQ(supported->getTags().size(), 3u);
    EXPECT_EQ(supported->getTags()[2], "replaces");

    const std::string written = message->toString();
    EXPECT_NE(written.find("\r\nVia: SIP/2.0/UDP edge.example.org;branch=z9hG4bKmv3, SIP/2.0/TCP "
                           "198.51.100.7:5061;branch=z9hG4bKmv2, SIP/2.0/UDP 192.0.2.1;branch=z9hG4bKmv1\r\n"
                           "Via: SIP/2.0/UDP 192.0.2.99;branch=z9hG4bKmv0\r\n"),
              std::string::npos)
        << written;
}

TEST(SipParserReadsCorpus, QuotedDisplayNamesKeepTheirEscapes) {
    const auto message = corpus("quoted-display-names.sip");
    EXPECT_EQ(displayName(message->getToHeader()), "\"Doe, \\\"Jay\\\" <\\\\home>\"");
    EXPECT_EQ(message->getToHeader()->getNameAddress()->getURL()->getUser().str(), "jay");
    EXPECT_EQ(displayName(message->getFromHeader()), "\"Zo\xC3\xAB \xC3\x85ngstr\xC3\xB6m\"");
    EXPECT_EQ(displayName(message->getHeader<NvSipContactHeader>()), "\"\"");
    EXPECT_EQ(generic(message, "Reply-To"), "\"Team; Ops\" <sip:ops@example.com>");
}

TEST(SipParserReadsCorpus, IPv6ReferencesInRequestUriViaAndHeaders) {
    const auto message = corpus("ipv6-request-uri.sip");
    const auto uri = asRequest(message)->getURI().cast<NvSipURL>();
    ASSERT_TRUE(uri);
    EXPECT_EQ(uri->getHost().str(), "[2001:db8::10]");
    EXPECT_TRUE(uri->isIPv6());
    EXPECT_EQ(uri->getPort(), 5070);
    EXPECT_EQ(uri->getParameter("transport").str(), "udp");
    EXPECT_EQ(message->getTopVia()->getHost().str(), "[2001:db8::9:1]");
    EXPECT_EQ(message->getTopVia()->getPort(), 5060);
    EXPECT_EQ(message->getCallID().str(), "v6ruri-1@[2001:db8::9:1]");

    const auto ambiguous = corpus("ipv6-port-ambiguous.sip");
    const auto registrar = asRequest(ambiguous)->getURI().cast<NvSipURL>();
    EXPECT_EQ(registrar->getHost().str(), "[2001:db8::10:5070]");
    EXPECT_EQ(registrar->getPort(), 0);
    EXPECT_EQ(ambiguous->getHeader<NvSipContactHeader>()->getNameAddress()->getURL()->getPort(), 5070);

    const auto embedded = corpus("ipv6-embedded-ipv4.sip");
    EXPECT_EQ(asRequest(embedded)->getURI().cast<NvSipURL>()->getHost().str(), "[2001:db8::192.0.2.1]");
    EXPECT_EQ(embedded->getTopVia()->getHost().str(), "[::ffff:192.0.2.128]");
}

TEST(SipParserReadsCorpus, ViaReceivedAndRportParameters) {
    const auto message = corpus("ipv6-via-received.sip");
    const auto vias = message->getHeaders<NvSipViaHeader>();
    ASSERT_EQ(vias.size(), 2u);
    EXPECT_EQ(vias[0]->getParameters()->getValue("received").str(), "2001:db8::9:255");
    EXPECT_EQ(vias[0]->getParameters()->getValue("rport").str(), "5061");
    EXPECT_EQ(vias[1]->getTransport().str(), "TCP");
    EXPECT_EQ(vias[1]->getParameters()->getValue("received").str(), "[2001:db8::9:ab]");
    EXPECT_TRUE(vias[1]->getParameters()->isPresent("rport"));
    EXPECT_TRUE(vias[1]->getParameters()->getValue("rport").isEmpty());
}

TEST(SipParserReadsCorpus, MissingAndExtraWhitespace) {
    const auto message = corpus("whitespace-variations.sip");
    const auto via = message->getTopVia();
    EXPECT_EQ(via->getHost().str(), "192.0.2.1");
    EXPECT_EQ(via->getPort(), 5060);
    EXPECT_EQ(via->getBranch().str(), "z9hG4bKws1");
    EXPECT_TRUE(via->getParameters()->isPresent("rport"));
    EXPECT_EQ(message->getHeader<NvSipMaxForwardsHeader>()->getNumber(), 70u);
    EXPECT_EQ(message->getCSeqHeader()->getNumber(), 22u);
    EXPECT_EQ(message->getCSeqHeader()->getMethod().str(), "REGISTER");
    EXPECT_EQ(message->getHeader<NvSipContactHeader>()->getParameter("expires").str(), "600");
    EXPECT_EQ(generic(message, "Expires"), "600");
    EXPECT_TRUE(message->isSupported("100rel"));
    EXPECT_TRUE(message->isSupported("timer"));
}

TEST(SipParserReadsCorpus, LeadingBlankLinesAndBareLineFeeds) {
    const auto leading = corpus("leading-crlf.sip");
    EXPECT_EQ(asRequest(leading)->getMethod().str(), "OPTIONS");
    EXPECT_EQ(leading->toString().substr(0, 8), "OPTIONS ");

    const auto lf = corpus("lf-line-ends.sip");
    EXPECT_EQ(asRequest(lf)->getMethod().str(), "OPTIONS");
    EXPECT_EQ(generic(lf, "Subject"), "lf folded with a bare lf");
    EXPECT_EQ(lf->getCallID().str(), "option-call-1@192.0.2.1");
}

TEST(SipParserReadsCorpus, ReasonPhrases) {
    const auto empty = asResponse(corpus("empty-reason-phrase.sip"));
    EXPECT_EQ(empty->getStatusCode(), 100);
    EXPECT_EQ(empty->getReasonPhrase().str(), "");

    const auto unusual = asResponse(corpus("unusual-reason-phrase.sip"));
    EXPECT_EQ(unusual->getStatusCode(), 200);
    EXPECT_EQ(unusual->getReasonPhrase().str(),
              "\xC3\x87" "a marche ! (100% \xE2\x80\x93 ok)\t\xE2\x9C\x93 #;,?");
}

TEST(SipParserReadsCorpus, UnknownMethodsAndSchemes) {
    const auto frob = asRequest(corpus("unknown-method.sip"));
    EXPECT_TRUE(frob.cast<NvSipUnknownRequest>());
    EXPECT_EQ(frob->getMethod().str(), "FROBNICATE");
    EXPECT_EQ(frob->getBody(), "frob-payload");

    const auto lab = asRequest(corpus("unknown-scheme-request-uri.sip"));
    EXPECT_FALSE(lab->getURI()->isSipURL());
    EXPECT_EQ(lab->getURI()->getScheme().str(), "nvlab");
    EXPECT_EQ(lab->getURI()->toString().str(), "nvlab:bench-17.example.com?slot=3");

    const auto tel = asRequest(corpus("tel-request-uri.sip"));
    const auto telUri = tel->getURI().cast<NvGenericURI>();
    ASSERT_TRUE(telUri);
    EXPECT_EQ(telUri->getScheme().str(), "tel");
    EXPECT_EQ(telUri->getSchemeSpecificPart(), "+1-201-555-0147;phone-context=example.com");

    const auto headers = corpus("unknown-schemes-in-headers.sip");
    EXPECT_EQ(headers->getFromHeader()->getNameAddress()->getURI()->getScheme().str(), "http");
    EXPECT_FALSE(headers->getFromHeader()->getNameAddress()->getURL());
    EXPECT_EQ(headers->getFromHeader()->getTag().str(), "us1");
    EXPECT_EQ(headers->getToHeader()->getNameAddress()->getURI()->toString().str(), "urn:service:sos");
    EXPECT_EQ(headers->getHeader<NvSipContactHeader>()->getNameAddress()->getURI()->getScheme().str(), "mailto");
}

TEST(SipParserReadsCorpus, EscapesInUriPartsAreKeptAsWritten) {
    const auto message = corpus("escaped-uri-parts.sip");
    const auto uri = asRequest(message)->getURI().cast<NvSipURL>();
    EXPECT_EQ(uri->getUser().str(), "%61lice%20smith");
    EXPECT_EQ(uri->getParameter("x-p").str(), "%41%42");
    EXPECT_EQ(message->getToHeader()->getNameAddress()->getURL()->getUser().str(), "null-%00-null");
    const auto contact = message->getHeader<NvSipContactHeader>()->getNameAddress()->getURL();
    EXPECT_EQ(contact->getUser().str(), "user");
    EXPECT_TRUE(contact->hasPassword());
    EXPECT_EQ(contact->getPassword().str(), "p%40ss");
    EXPECT_EQ(contact->getParameter("x-name").str(), "a%3Bb");
}

TEST(SipParserReadsCorpus, SemicolonsInTheUserPart) {
    const auto message = corpus("semicolon-user-part.sip");
    const auto uri = asRequest(message)->getURI().cast<NvSipURL>();
    EXPECT_EQ(uri->getUser().str(), "+1-201-555-0199;npdi;rn=+1-201-555-0000");
    EXPECT_EQ(uri->getHost().str(), "gw.example.com");
    EXPECT_EQ(uri->getParameter("user").str(), "phone");
    EXPECT_FALSE(uri->parameters().isPresent("npdi"));
    const auto to = message->getToHeader()->getNameAddress()->getURL();
    EXPECT_EQ(to->getUser().str(), uri->getUser().str());
    EXPECT_TRUE(message->getToHeader()->getParameters()->isEmpty());
}

TEST(SipParserReadsCorpus, PercentSignsThatAreNotEscapes) {
    const auto message = corpus("percent-not-escape.sip");
    EXPECT_EQ(asRequest(message)->getMethod().str(), "RE%47ISTER");
    EXPECT_TRUE(message.cast<NvSipUnknownRequest>());
    EXPECT_EQ(message->getTopVia()->getBranch().str(), "z9hG4bK%zz%");
    EXPECT_EQ(message->getToHeader()->getParameter("x-share").str(), "50%");
    EXPECT_EQ(message->getCallID().str(), "pct%-1@192.0.2.1");
}

TEST(SipParserReadsCorpus, BodiesFollowDatagramRules) {
    const auto unsized = corpus("body-without-content-length.sip");
    EXPECT_FALSE(unsized->getHeader<NvSipContentLengthHeader>());
    EXPECT_EQ(unsized->getBody(), "line one\r\nline two\r\n");

    const auto trailing = corpus("trailing-octets.sip");
    EXPECT_EQ(trailing->getBody(), "hello there");

    const auto multipart = corpus("multipart-body.sip");
    const auto type = multipart->getHeader<NvSipContentTypeHeader>();
    EXPECT_EQ(type->getMediaType().str(), "multipart/mixed");
    EXPECT_EQ(type->getParameter("boundary").str(), "nv-boundary-7");
    const std::string& body = multipart->getBody();
    EXPECT_EQ(body.size(), multipart->getHeader<NvSipContentLengthHeader>()->getNumber());
    EXPECT_EQ(body.substr(0, 17), "--nv-boundary-7\r\n");
    EXPECT_EQ(body.substr(body.size() - 19), "--nv-boundary-7--\r\n");
    EXPECT_NE(body.find("m=audio 49170"), std::string::npos);
}

TEST(SipParserReadsCorpus, AuthorizationParameters) {
    const auto message = corpus("auth-params.sip");
    const auto auth = message->getHeader<NvSipAuthorizationHeader>();
    ASSERT_TRUE(auth);
    EXPECT_EQ(auth->getScheme().str(), "Digest");
    EXPECT_EQ(auth->getParameter("username").str(), "alice");
    EXPECT_EQ(auth->getParameter("realm").str(), "example.com, \\\"main\\\" realm");
    EXPECT_EQ(auth->getParameter("nonce").str(), "a1,b2,c3");
    EXPECT_EQ(auth->getParameter("uri").str(), "sip:bob@example.net");
    EXPECT_EQ(auth->getParameter("algorithm").str(), "MD5");
    EXPECT_EQ(auth->getParameter("nc").str(), "00000001");
    EXPECT_TRUE(auth->hasParameter("opaque"));
    EXPECT_EQ(auth->getParameter("opaque").str(), "");
    EXPECT_EQ(auth->parameters().list().size(), 10u);

    const auto proxies = message->getHeaders<NvSipProxyAuthorizationHeader>();
    ASSERT_EQ(proxies.size(), 2u);
    EXPECT_EQ(proxies[0]->getScheme().str(), "Basic");
    EXPECT_EQ(proxies[0]->getValue().str(), "Basic YWxpY2U6c2VjcmV0MQ==");
    EXPECT_EQ(proxies[1]->getScheme().str(), "NvToken");
    EXPECT_TRUE(proxies[1]->hasParameter("abc.def-ghi"));
    EXPECT_EQ(proxies[1]->getParameter("scope").str(), "call,video");
}

TEST(SipParserReadsCorpus, RegisterContacts) {
    const auto wildcard = corpus("register-wildcard-contact.sip");
    EXPECT_TRUE(wildcard->getHeader<NvSipContactHeader>()->isWildcard());
    EXPECT_TRUE(wildcard.cast<NvSipRegisterMessage>());

    const auto params = corpus("register-contact-params.sip");
    const auto contacts = params->getHeaders<NvSipContactHeader>();
    ASSERT_EQ(contacts.size(), 2u);
    // Without brackets a parameter belongs to the header, not the URI.
    EXPECT_FALSE(contacts[0]->getNameAddress()->hasAngleBrackets());
    EXPECT_EQ(contacts[0]->getParameter("expires").str(), "3600");
    EXPECT_TRUE(contacts[0]->getNameAddress()->getURL()->parameters().isEmpty());
    EXPECT_EQ(contacts[1]->getNameAddress()->getURL()->getParameter("transport").str(), "tcp");
    EXPECT_FALSE(contacts[1]->getParameters()->isPresent("transport"));
    EXPECT_EQ(contacts[1]->getParameter("q").str(), "0.5");
    EXPECT_EQ(contacts[1]->getParameter("+sip.instance").str(), "<urn:uuid:00000000-0000-1000-8000-000a95a0e128>");
}

TEST(SipParserReadsCorpus, ReliableProvisionalsAndSessionTimers) {
    const auto prack = corpus("prack-rack.sip");
    EXPECT_TRUE(prack.cast<NvSipPrackMessage>());
    const auto rack = prack->getHeader<NvSipRAckHeader>();
    ASSERT_TRUE(rack);
    EXPECT_EQ(rack->getRSeq(), 776656u);
    EXPECT_EQ(rack->getCSeq(), 1u);
    EXPECT_EQ(rack->getMethod().str(), "INVITE");

    const auto ok = corpus("session-timer-response.sip");
    EXPECT_EQ(asResponse(ok)->getStatusCode(), 200);
    EXPECT_EQ(ok->countHeaders(NvSipHeaderID::RecordRoute), 2u);
    EXPECT_TRUE(ok->isRequired("timer"));
    EXPECT_FALSE(ok->isRequired("100rel"));
    const auto expires = ok->getHeader<NvSipSessionExpiresHeader>();
    EXPECT_EQ(expires->getNumber(), 1800u);
    EXPECT_EQ(expires->getRefresher().str(), "uac");
    EXPECT_EQ(ok->getHeader<NvSipMinSEHeader>()->getNumber(), 90u);
    const auto retry = ok->getHeader<NvSipRetryAfterHeader>();
    EXPECT_EQ(retry->getNumber(), 120u);
    EXPECT_EQ(retry->getComment().str(), "in a meeting");
    EXPECT_EQ(retry->getParameters()->getValue("duration").str(), "3600");
}

TEST(SipParserReadsCorpus, TransferAndReplaces) {
    const auto refer = corpus("refer-with-replaces.sip");
    EXPECT_TRUE(refer.cast<NvSipReferMessage>());
    const auto referTo = refer->getHeader<NvSipReferToHeader>()->getNameAddress()->getURL();
    ASSERT_TRUE(referTo);
    EXPECT_EQ(referTo->getHost().str(), "example.org");
    EXPECT_EQ(referTo->getHeaders(), "Replaces=call-9%40192.0.2.5%3Bto-tag%3Dt9%3Bfrom-tag%3Df9");
    EXPECT_EQ(refer->getHeader<NvSipEventHeader>()->getPackage().str(), "refer");
    EXPECT_EQ(generic(refer, "b"), "<sip:alice@example.com>");

    const auto invite = corpus("invite-with-replaces.sip");
    const auto replaces = invite->getHeader<NvSipReplacesHeader>();
    ASSERT_TRUE(replaces);
    EXPECT_EQ(replaces->getCallID().str(), "call-9@192.0.2.5");
    EXPECT_EQ(replaces->getToTag().str(), "t9");
    EXPECT_EQ(replaces->getFromTag().str(), "f9");
    EXPECT_TRUE(replaces->isEarlyOnly());
    EXPECT_TRUE(invite->isRequired("replaces"));
}

TEST(SipParserReadsCorpus, TransportsInVia) {
    const auto message = corpus("varied-transports.sip");
    const auto vias = message->getHeaders<NvSipViaHeader>();
    ASSERT_EQ(vias.size(), 6u);
    const char* expected[] = {"UDP", "TCP", "TLS", "SCTP", "WSS", "NV-QUIC"};
    for (size_t i = 0; i < vias.size(); ++i) {
        EXPECT_EQ(vias[i]->getTransport().str(), expected[i]);
        EXPECT_EQ(vias[i]->getProtocol().str(), "SIP/2.0");
    }
    EXPECT_EQ(vias[2]->getPort(), 5061);
}

// ---------------------------------------------------------------- start line

TEST(SipStartLine, RequestLineGivesMethodClassAndUri) {
    const auto message = parse(request("", "", "INVITE sip:bob@example.net:5062;transport=tcp SIP/2.0"));
    const auto invite = message.cast<NvSipInviteMessage>();
    ASSERT_TRUE(invite);
    const auto uri = invite->getURI().cast<NvSipURL>();
    EXPECT_EQ(uri->getUser().str(), "bob");
    EXPECT_EQ(uri->getPort(), 5062);
    EXPECT_EQ(uri->getParameter("transport").str(), "tcp");
}

TEST(SipStartLine, MethodsAreCaseSensitive) {
    const auto message = parse(request("", "", "invite sip:bob@example.net SIP/2.0"));
    EXPECT_FALSE(message.cast<NvSipInviteMessage>());
    EXPECT_TRUE(message.cast<NvSipUnknownRequest>());
    EXPECT_EQ(asRequest(message)->getMethod().str(), "invite");
}

TEST(SipStartLine, StatusLineWithAndWithoutReason) {
    const std::string headers = "Via: SIP/2.0/UDP h.example.com;branch=z9hG4bK1\r\n\r\n";
    auto response = asResponse(parse("SIP/2.0 486 Busy Here\r\n" + headers));
    EXPECT_EQ(response->getStatusCode(), 486);
    EXPECT_EQ(response->getReasonPhrase().str(), "Busy Here");
    response = asResponse(parse("SIP/2.0 183\r\n" + headers));
    EXPECT_EQ(response->getStatusCode(), 183);
    EXPECT_EQ(response->getReasonPhrase().str(), "");
    response = asResponse(parse("SIP/2.0 699  two  spaces \r\n" + headers));
    EXPECT_EQ(response->getReasonPhrase().str(), " two  spaces ");
}

TEST(SipStartLine, MalformedStartLinesAreNamed) {
    const std::string rest = "Via: SIP/2.0/UDP h.example.com;branch=z9hG4bK1\r\n\r\n";
    EXPECT_NE(parseError("SIP/2.0 20 OK\r\n" + rest).find("status code"), std::string::npos);
    EXPECT_NE(parseError("SIP/2.0 2000 OK\r\n" + rest).find("status code"), std::string::npos);
    EXPECT_NE(parseError("SIP/2.0 099 Early\r\n" + rest).find("out of range"), std::string::npos);
    EXPECT_NE(parseError("SIP/2.0\r\n" + rest).find("without a status code"), std::string::npos);
    EXPECT_NE(parseError("SIP/3.0 200 OK\r\n" + rest).find("SIP version 'SIP/3.0'"), std::string::npos);
    EXPECT_NE(parseError(" OPTIONS sip:a@example.com SIP/2.0\r\n" + rest).find("whitespace"), std::string::npos);
    EXPECT_NE(parseError("OPTIONS sip:a@example.com\r\n" + rest).find("request line"), std::string::npos);
    EXPECT_NE(parseError("OPTIONS sip:a@example.com HTTP/1.1\r\n" + rest).find("request line"), std::string::npos);
    EXPECT_NE(parseError("OPTIONS\tsip:a@example.com SIP/2.0\r\n" + rest).find("Tab"), std::string::npos);
    EXPECT_NE(parseError("OPTIONS sip:a@example.com SIP/2.0\t\r\n" + rest).find("Trailing whitespace"),
              std::string::npos);
    EXPECT_NE(parseError("OPTIONS sip:a@example.com  SIP/2.0\r\n" + rest).find("More than one space"),
              std::string::npos);
    EXPECT_NE(parseError("OPT<IONS sip:a@example.com SIP/2.0\r\n" + rest).find("Bad method"), std::string::npos);
    EXPECT_NE(parseError("OPTIONS sip:a@ex ample.com SIP/2.0\r\n" + rest).find("whitespace"), std::string::npos);
}

// ---------------------------------------------------------------- header lines

TEST(SipHeaderLines, WhitespaceBeforeTheColonAndEmptyValues) {
    const auto message = parse(request("Subject\t :   \nX-Empty:\n"));
    EXPECT_EQ(generic(message, "Subject"), "");
    EXPECT_EQ(generic(message, "X-Empty"), "");
}

TEST(SipHeaderLines, UnknownHeadersKeepUtf8AndPunctuation) {
    const auto message = parse(request("Subject: caf\xC3\xA9 <b>, \"quoted\" ;x\n"));
    EXPECT_EQ(generic(message, "Subject"), "caf\xC3\xA9 <b>, \"quoted\" ;x");
}

TEST(SipHeaderLines, MalformedLinesAreNamed) {
    EXPECT_NE(parseError(request("This line has no colon\n")).find("without ':'"), std::string::npos);
    EXPECT_NE(parseError(request(": no name\n")).find("header name"), std::string::npos);
    EXPECT_NE(parseError(request("Bad\"Name: x\n")).find("header name"), std::string::npos);
    EXPECT_NE(parseError(crlf("OPTIONS sip:a@example.com SIP/2.0\n continued\nVia: x\n\n")).find("Folded line"),
              std::string::npos);
    EXPECT_NE(parseError(request("Subject: del \x7f here\n")).find("Control character"), std::string::npos);
    EXPECT_NE(parseError(request("Subject: cr \r in the middle\n")).find("Control character"), std::string::npos);
    EXPECT_NE(parseError(request("Via: SIP/2.0/UDP a.example.com;branch=z9hG4bK2,\n")).find("Empty value in Via"),
              std::string::npos);
    EXPECT_NE(parseError(request("Route: <sip:p1.example.net;lr>,,<sip:p2.example.net;lr>\n")).find("Empty value"),
              std::string::npos);
}

TEST(SipHeaderLines, ValuesThatBreakTheirHeaderGrammarAreRejected) {
    EXPECT_NE(parseError(request("Max-Forwards: 70 hops\n")).find("Max-Forwards"), std::string::npos);
    EXPECT_NE(parseError(request("Max-Forwards: -1\n")).find("Max-Forwards"), std::string::npos);
    EXPECT_NE(parseError(request("RSeq: 4294967296\n")).find("RSeq"), std::string::npos);
    EXPECT_NE(parseError(request("Content-Type: sdp\n")).find("Content-Type"), std::string::npos);
    EXPECT_NE(parseError(request("Call-ID: two words\n")).find("Call-ID"), std::string::npos);
    EXPECT_NE(parseError(request("Supported: 100rel,,timer\n")).find("option tag"), std::string::npos);
    EXPECT_NE(parseError(request("RAck: 1 INVITE\n")).find("RAck"), std::string::npos);
    EXPECT_NE(parseError(request("Retry-After: 30 (unclosed\n")).find("comment"), std::string::npos);
    EXPECT_NE(parseError(request("Contact: <sip:a@example.com>;=3\n")).find("parameter"), std::string::npos);
    EXPECT_NE(parseError(request("To: \"Bob\" x <sip:bob@example.net>\n")).find("'<'"), std::string::npos);
    EXPECT_NE(parseError(request("Contact: <<sip:a@example.com>>\n")).find("'<' inside angle brackets"),
              std::string::npos);
    EXPECT_NE(parseError(request("Contact: <sip:a@example.com>>\n")).find("'>' without '<'"), std::string::npos);
    EXPECT_NE(parseError(request("Record-Route: sip:p1.example.net;lr\n")).find("angle brackets"), std::string::npos);
    EXPECT_NE(parseError(request("Contact: <sip:a@[2001:db8::1]:0>\n")).find("port"), std::string::npos);
    EXPECT_NE(parseError(request("Contact: <sip:a@example.com:65536>\n")).find("port"), std::string::npos);
    EXPECT_NE(parseError(request("Via: SIP/2.0/UDP 2001:db8::1;branch=z9hG4bK3\n")).find("IPv6"), std::string::npos);
    EXPECT_NE(parseError(request("Via: HTTP/1.1/TCP a.example.com\n")).find("not SIP"), std::string::npos);
    EXPECT_NE(parseError(request("Via: SIP/2.0/UDP\n")).find("sent-by"), std::string::npos);
}

TEST(SipHeaderLines, AddrSpecAndNameAddrForms) {
    // A bare URI is allowed where no parameter could be mistaken for its own.
    auto message = parse(request("Route: sip:p1.example.net\nContact: sip:a@example.com;expires=60\n"));
    EXPECT_EQ(message->getHeader<NvSipRouteHeader>()->getNameAddress()->getURL()->getHost().str(), "p1.example.net");
    EXPECT_EQ(message->getHeader<NvSipContactHeader>()->getParameter("expires").str(), "60");
    // A '<' or '>' inside a quoted parameter value is not a bracket.
    message = parse(request("Contact: sip:a@example.com;note=\"<x>\"\n"));
    const auto contact = message->getHeader<NvSipContactHeader>();
    EXPECT_EQ(contact->getParameter("note").str(), "<x>");
    EXPECT_FALSE(contact->getNameAddress()->hasAngleBrackets());
    // An unquoted display name may be several tokens.
    message = parse(request("Contact: Alice  B. Liddell <sip:a@example.com>\n"));
    EXPECT_EQ(message->getHeader<NvSipContactHeader>()->getNameAddress()->getDisplayName().str(), "Alice  B. Liddell");
}

TEST(SipHeaderLines, LimitOnHeaderValues) {
    std::string many;
    for (size_t i = 0; i < NvSipParser::kMaxHeaders - 5; ++i) many += "X-H" + std::to_string(i) + ": v\n";
    EXPECT_EQ(parse(request(many))->getHeaders().size(), NvSipParser::kMaxHeaders);
    EXPECT_NE(parseError(request(many + "X-One-Too-Many: v\n")).find("More than 256 header values"), std::string::npos);
    // Values on one line count one by one.
    std::string vias = "Via: SIP/2.0/UDP a.example.com;branch=z9hG4bKa";
    for (int i = 0; i < 300; ++i) vias += ", SIP/2.0/UDP a.example.com";
    EXPECT_NE(parseError(request(vias + "\n")).find("More than 256"), std::string::npos);
}

TEST(SipHeaderLines, LimitOnLineLengthAfterUnfolding) {
    const std::string prefix = "Subject: ";
    const std::string exact = prefix + std::string(NvSipParser::kMaxLineBytes - prefix.size(), 'a');
    EXPECT_EQ(generic(parse(request(exact + "\n")), "Subject").size(), NvSipParser::kMaxLineBytes - prefix.size());
    EXPECT_NE(parseError(request(exact + "a\n")).find("longer than 8192"), std::string::npos);
    // Short physical lines that unfold into one long line.
    std::string folded = "Subject: start";
    for (size_t unfolded = folded.size(); unfolded <= NvSipParser::kMaxLineBytes; unfolded += 11)
        folded += "\n  0123456789";  // joins as " 0123456789"
    EXPECT_NE(parseError(request(folded + "\n")).find("longer than 8192"), std::string::npos);
    // The start line has the same limit.
    const std::string longUri = "OPTIONS sip:" + std::string(NvSipParser::kMaxLineBytes, 'u') + "@example.com SIP/2.0";
    EXPECT_NE(parseError(request("", "", longUri)).find("Start line longer"), std::string::npos);
}

// ---------------------------------------------------------------- body

TEST(SipMessageBodyParsing, ContentLengthCutsAndMustFit) {
    EXPECT_EQ(parse(request("Content-Length: 3\n", "abcdef"))->getBody(), "abc");
    EXPECT_EQ(parse(request("Content-Length: 0\n", "abcdef"))->getBody(), "");
    EXPECT_EQ(parse(request("Content-Length: 6\n", "abcdef"))->getBody(), "abcdef");
    EXPECT_EQ(parse(request("Content-Length: 6\nl: 6\n", "abcdef"))->getBody(), "abcdef");
    const std::string withNul = request("Content-Length: 4\n") + std::string("a\0b\n", 4);
    EXPECT_EQ(parse(withNul)->getBody(), std::string("a\0b\n", 4));

    EXPECT_NE(parseError(request("Content-Length: 7\n", "abcdef")).find("Content-Length 7 exceeds the 6 bytes"),
              std::string::npos);
    EXPECT_NE(parseError(request("Content-Length: 6\nContent-Length: 5\n", "abcdef")).find("Conflicting"),
              std::string::npos);
    EXPECT_NE(parseError(request("Content-Length: 4294967295\n", "abcdef")).find("exceeds"), std::string::npos);
    EXPECT_NE(parseError(request("Content-Length: 4294967296\n", "abcdef")).find("Content-Length"), std::string::npos);
    EXPECT_NE(parseError(request("Content-Length: 6;x=1\n", "abcdef")).find("Content-Length"), std::string::npos);
    EXPECT_NE(parseError(request("Content-Length: six\n", "abcdef")).find("Content-Length"), std::string::npos);
}

TEST(SipMessageBodyParsing, LimitOnMessageSize) {
    const std::string head = request("Content-Type: text/plain\n");
    const std::string fits = head + std::string(NvSipParser::kMaxMessageBytes - head.size(), 'b');
    EXPECT_EQ(parse(fits)->getBody().size(), NvSipParser::kMaxMessageBytes - head.size());
    EXPECT_NE(parseError(fits + "b").find("exceeds the limit of 65535"), std::string::npos);
}

TEST(SipMessageBodyParsing, IncompleteAndEmptyInput) {
    EXPECT_NE(parseError("").find("Empty message"), std::string::npos);
    EXPECT_NE(parseError("\r\n\r\n").find("Incomplete"), std::string::npos);
    EXPECT_NE(parseError("OPTIONS sip:a@example.com SIP/2.0").find("Incomplete"), std::string::npos);
    EXPECT_NE(parseError("OPTIONS sip:a@example.com SIP/2.0\r\nVia: x\r\n").find("Incomplete"), std::string::npos);
    try {
        NvSipParser::sParse(nullptr, 10);
        ADD_FAILURE() << "a null buffer was accepted";
    } catch (NvHandle<NvException>& e) {
        EXPECT_TRUE(e.cast<NvSipParseException>());
    }
}

TEST(SipMessageBodyParsing, ConstructFromAStreamReadsTheWholeDatagram) {
    NvByteArrayInputStream in(request("Content-Length: 2\n", "hi"));
    const auto message = NvSipMessage::sConstructFrom(in);
    EXPECT_EQ(message->getBody(), "hi");
    NvByteArrayInputStream huge(request("", std::string(NvSipParser::kMaxMessageBytes, 'x')));
    try {
        NvSipMessage::sConstructFrom(huge);
        ADD_FAILURE() << "an oversize stream was accepted";
    } catch (NvHandle<NvException>& e) {
        EXPECT_NE(e->getMessage().str().find("exceeds the limit"), std::string::npos) << e->getMessage().str();
    }
}
