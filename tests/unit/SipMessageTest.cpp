// Tests of the message model: the request class each method gets, responses
// built from requests, ACKs built from responses, header lists (add at top,
// remove, look up), deep clones, option tags, bodies and the mandatory
// header check.

#include "SipTestText.h"
#include "stack/base/NvException.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/sip/NvSipParser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <typeinfo>

namespace {

template <class M = NvSipMessage>
NvHandle<M> parse(const std::string& text) {
    const std::string bytes = crlf(text);
    NvHandle<M> message = NvSipParser::sParse(bytes.data(), bytes.size()).cast<M>();
    EXPECT_TRUE(message) << text;
    return message;
}

const char kInvite[] =
    "INVITE sip:bob@biloxi.example.com SIP/2.0\n"
    "Via: SIP/2.0/UDP p1.example.com;branch=z9hG4bKp1, SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKua1\n"
    "Max-Forwards: 69\n"
    "Record-Route: <sip:p1.example.com;lr>\n"
    "Route: <sip:p2.example.com;lr>\n"
    "Route: <sip:p3.example.com;lr>\n"
    "From: \"Alice\" <sip:alice@atlanta.example.com>;tag=9fxced76sl\n"
    "To: Bob <sip:bob@biloxi.example.com>\n"
    "Call-ID: 3848276298220188511@atlanta.example.com\n"
    "CSeq: 31862 INVITE\n"
    "Contact: <sip:alice@192.0.2.1>\n"
    "Supported: timer\n"
    "Require: 100rel\n"
    "Content-Type: application/sdp\n"
    "Content-Length: 4\n"
    "\n"
    "v=0\n";

}  // namespace

// ---------------------------------------------------------------- method registry

TEST(SipMethodRegistry, EachMethodHasItsClassOthersAreUnknownRequests) {
    const struct {
        const char* method;
        const std::type_info& type;
    } methods[] = {
        {"INVITE", typeid(NvSipInviteMessage)},     {"ACK", typeid(NvSipAckMessage)},
        {"BYE", typeid(NvSipByeMessage)},           {"CANCEL", typeid(NvSipCancelMessage)},
        {"PRACK", typeid(NvSipPrackMessage)},       {"INFO", typeid(NvSipInfoMessage)},
        {"NOTIFY", typeid(NvSipNotifyMessage)},     {"REFER", typeid(NvSipReferMessage)},
        {"OPTIONS", typeid(NvSipOptionsMessage)},   {"REGISTER", typeid(NvSipRegisterMessage)},
        {"SUBSCRIBE", typeid(NvSipSubscribeMessage)}, {"UPDATE", typeid(NvSipUpdateMessage)},
        {"MESSAGE", typeid(NvSipMessageMessage)},   {"PUBLISH", typeid(NvSipUnknownRequest)},
        {"invite", typeid(NvSipUnknownRequest)},    {"X-CUSTOM", typeid(NvSipUnknownRequest)},
    };
    for (const auto& m : methods) {
        const auto created = NvSipRequest::sCreate(m.method);
        EXPECT_EQ(typeid(*created), m.type) << m.method;
        EXPECT_EQ(created->getMethod().str(), m.method);
        // The parser uses the same classes.
        const auto parsed = parse<NvSipRequest>(std::string(m.method) + " sip:x@example.com SIP/2.0\n\n");
        EXPECT_EQ(typeid(*parsed), m.type) << m.method;
    }
}

TEST(SipUnknownRequest, TakesItsMethodFromCSeqWhenBuiltWithoutOne) {
    NvHandle<NvSipUnknownRequest> request(new NvSipUnknownRequest());
    EXPECT_TRUE(request->getMethod().isEmpty());
    request->setURI(NvURI::sParse("sip:bob@example.net"));
    request->addHeader(NvHandle<NvSipHeader>(new NvSipCSeqHeader(5, "PUBLISH")));
    EXPECT_EQ(request->toString().substr(0, 35), "PUBLISH sip:bob@example.net SIP/2.0");
    NvHandle<NvSipUnknownRequest> copy(static_cast<NvSipUnknownRequest*>(request->clone()));
    EXPECT_EQ(copy->getMethod().str(), "PUBLISH");
    // A method given when built wins over the CSeq.
    NvSipUnknownRequest named("NEWTHING");
    named.addHeader(NvHandle<NvSipHeader>(new NvSipCSeqHeader(5, "PUBLISH")));
    EXPECT_EQ(named.getMethod().str(), "NEWTHING");
}

// ---------------------------------------------------------------- responses

TEST(SipResponseFromRequest, CopiesTheTransactionAndDialogHeaders) {
    const auto invite = parse<NvSipRequest>(kInvite);
    NvSipResponse ringing(180, invite);
    EXPECT_EQ(ringing.toString(),
              crlf("SIP/2.0 180 Ringing\n"
                   "Via: SIP/2.0/UDP p1.example.com;branch=z9hG4bKp1, SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKua1\n"
                   "Record-Route: <sip:p1.example.com;lr>\n"
                   "From: \"Alice\" <sip:alice@atlanta.example.com>;tag=9fxced76sl\n"
                   "To: Bob <sip:bob@biloxi.example.com>\n"
                   "Call-ID: 3848276298220188511@atlanta.example.com\n"
                   "CSeq: 31862 INVITE\n"
                   "Content-Length: 0\n"
                   "\n"));
    // The copies are the response's own.
    ringing.getToHeader()->setTag("8321234356");
    ringing.getTopVia()->setBranch("z9hG4bKchanged");
    EXPECT_TRUE(invite->getToHeader()->getTag().isEmpty());
    EXPECT_EQ(invite->getTopVia()->getBranch().str(), "z9hG4bKp1");
    // Reason phrases: the standard one, or "Unknown".
    EXPECT_EQ(NvSipResponse(487, invite).getReasonPhrase().str(), "Request Terminated");
    EXPECT_EQ(NvSipResponse(299, invite).getReasonPhrase().str(), "Unknown");
    EXPECT_THROW(NvSipResponse(99, invite), NvHandle<NvException>);
    EXPECT_THROW(NvSipResponse(700, invite), NvHandle<NvException>);
    EXPECT_THROW(NvSipResponse(200, NvHandle<NvSipRequest>()), NvHandle<NvException>);
}

TEST(SipResponseFromRequest, RecordRouteOnlyWhereADialogCanForm) {
    const auto invite = parse<NvSipRequest>(kInvite);
    for (int code : {101, 180, 183, 200, 202, 299})
        EXPECT_EQ(NvSipResponse(code, invite).countHeaders(NvSipHeaderID::RecordRoute), 1u) << code;
    for (int code : {100, 300, 302, 404, 486, 500, 603})
        EXPECT_EQ(NvSipResponse(code, invite).countHeaders(NvSipHeaderID::RecordRoute), 0u) << code;
    std::string text = kInvite;
    text.replace(text.find("INVITE sip"), 6, "UPDATE");
    text.replace(text.find("31862 INVITE"), 12, "31862 UPDATE");
    EXPECT_EQ(NvSipResponse(200, parse<NvSipRequest>(text)).countHeaders(NvSipHeaderID::RecordRoute), 0u);
}

TEST(SipResponseFromRequest, BodyComesWithContentTypeAndLength) {
    const auto invite = parse<NvSipRequest>(kInvite);
    const char sdp[] = "v=0\r\no=- 1 1 IN IP4 192.0.2.20\r\n";
    NvSipResponse ok(200, invite, sdp, "application/sdp", static_cast<unsigned>(std::strlen(sdp)));
    EXPECT_EQ(ok.getHeader<NvSipContentTypeHeader>()->getMediaType().str(), "application/sdp");
    EXPECT_EQ(ok.countHeaders(NvSipHeaderID::ContentLength), 1u);
    // What is written reads back as the same response.
    const std::string text = ok.toString();
    const auto back = NvSipParser::sParse(text.data(), text.size());
    EXPECT_EQ(back->getBody(), sdp);
    EXPECT_EQ(back->getHeader<NvSipContentLengthHeader>()->getNumber(), std::strlen(sdp));
    EXPECT_TRUE(back->checkMandatoryHeaders().isEmpty()) << back->checkMandatoryHeaders().str();
}

// ---------------------------------------------------------------- ACK

TEST(SipAckFromResponse, AckOfA2xxGoesToTheContact) {
    const auto invite = parse<NvSipRequest>(kInvite);
    NvHandle<NvSipResponse> ok(new NvSipResponse(200, invite));
    ok->getToHeader()->setTag("b0b");
    ok->addHeader(NvSipHeader::sCreate("Contact", "<sip:bob@192.0.2.20:5070;transport=udp>"));
    NvSipAckMessage ack(ok);
    // No Via (the caller adds the Via of a 2xx ACK) and no Route.
    EXPECT_EQ(ack.toString(), crlf("ACK sip:bob@192.0.2.20:5070;transport=udp SIP/2.0\n"
                                   "From: \"Alice\" <sip:alice@atlanta.example.com>;tag=9fxced76sl\n"
                                   "To: Bob <sip:bob@biloxi.example.com>;tag=b0b\n"
                                   "Call-ID: 3848276298220188511@atlanta.example.com\n"
                                   "CSeq: 31862 ACK\n"
                                   "Content-Length: 0\n\n"));
    ack.getToHeader()->setTag("other");
    EXPECT_EQ(ok->getToHeader()->getTag().str(), "b0b");
    EXPECT_THROW(NvSipAckMessage(NvHandle<NvSipResponse>()), NvHandle<NvException>);
}

TEST(SipAckFromResponse, AckOfAFailureFollowsTheInvite) {
    const auto invite = parse<NvSipRequest>(kInvite);
    NvHandle<NvSipResponse> busy(new NvSipResponse(486, invite));
    busy->getToHeader()->setTag("busy1");
    NvSipAckMessage ack(busy, invite);
    // Only the INVITE's top Via, and its Routes.
    const std::string text = ack.toString();
    EXPECT_EQ(text, crlf("ACK sip:bob@biloxi.example.com SIP/2.0\n"
                         "Via: SIP/2.0/UDP p1.example.com;branch=z9hG4bKp1\n"
                         "From: \"Alice\" <sip:alice@atlanta.example.com>;tag=9fxced76sl\n"
                         "To: Bob <sip:bob@biloxi.example.com>;tag=busy1\n"
                         "Call-ID: 3848276298220188511@atlanta.example.com\n"
                         "CSeq: 31862 ACK\n"
                         "Route: <sip:p2.example.com;lr>\n"
                         "Route: <sip:p3.example.com;lr>\n"
                         "Content-Length: 0\n\n"));
    const auto back = NvSipParser::sParse(text.data(), text.size());
    EXPECT_TRUE(back.cast<NvSipAckMessage>());
    EXPECT_TRUE(back->checkMandatoryHeaders().isEmpty());
    NvHandle<NvSipRequest> copy(static_cast<NvSipRequest*>(ack.clone()));
    EXPECT_EQ(typeid(*copy), typeid(NvSipAckMessage));
    ack.getURI().cast<NvSipURL>()->setHost("changed.example.com");
    EXPECT_EQ(copy->toString(), text);
    EXPECT_EQ(invite->getURI()->toString().str(), "sip:bob@biloxi.example.com");
}

// ---------------------------------------------------------------- header lists

TEST(SipMessageHeaders, AddAtTopGoesBeforeTheFirstOfItsKind) {
    auto message = parse<NvSipRequest>(kInvite);
    NvHandle<NvSipViaHeader> via(new NvSipViaHeader("UDP", "p0.example.com", 0));
    via->setBranch("z9hG4bKp0");
    message->addHeader(via, true);
    EXPECT_EQ(message->getHeaders()[0], NvHandle<NvSipHeader>(via));
    EXPECT_TRUE(mentions(message->toString(), "\r\nVia: SIP/2.0/UDP p0.example.com;branch=z9hG4bKp0\r\nVia: "
                                              "SIP/2.0/UDP p1.example.com;branch=z9hG4bKp1, SIP/2.0/UDP "));
    NvHandle<NvSipHeader> route(NvSipHeader::sCreate("Route", "<sip:p0.example.com;lr>"));
    message->addHeader(route, true);
    EXPECT_EQ(message->mGetHeaderByID(NvSipHeaderID::Route, 0), route);
    EXPECT_EQ(message->mGetHeaderByID(NvSipHeaderID::Route, 1)->getValue().str(), "<sip:p2.example.com;lr>");
    // With none of its kind it goes first of all; without atTop, last.
    NvHandle<NvSipHeader> event(new NvSipEventHeader("refer"));
    message->addHeader(event, true);
    EXPECT_EQ(message->getHeaders()[0], event);
    NvHandle<NvSipHeader> last(NvSipHeader::sCreate("X-Last", "1"));
    message->addHeader(last);
    message->addHeader(NvHandle<NvSipHeader>());
    EXPECT_EQ(message->getHeaders().back(), last);
}

TEST(SipMessageHeaders, RemoveAndLookUpByObjectKindOrName) {
    std::string text = kInvite;
    text.insert(text.find("Supported"), "X-Trace: one\nx-trace: two\n");
    auto message = parse<NvSipRequest>(text);
    const size_t before = message->getHeaders().size();
    const auto topVia = message->getTopVia();
    EXPECT_TRUE(message->removeHeader(NvHandle<NvSipHeader>(topVia)));
    EXPECT_FALSE(message->removeHeader(NvHandle<NvSipHeader>(topVia)));
    // The remaining Via is written on a line of its own.
    EXPECT_TRUE(mentions(message->toString(), "\r\nVia: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKua1\r\n"));
    EXPECT_EQ(message->mGetHeader("X-TRACE", 1)->getValue().str(), "two");
    EXPECT_FALSE(message->mGetHeader("X-Trace", 2));
    EXPECT_EQ(message->removeHeader(NvSipHeaderID::Route), 2u);
    EXPECT_EQ(message->removeHeader("v"), 1u);  // compact name, any case
    EXPECT_EQ(message->removeHeader("x-trace"), 2u);
    EXPECT_EQ(message->removeHeader("X-Absent"), 0u);
    EXPECT_EQ(message->getHeaders().size(), before - 6);
    EXPECT_EQ(message->checkMandatoryHeaders().str(), "Missing Via header");
}

TEST(SipMessageClone, IsDeep) {
    const auto original = parse<NvSipRequest>(kInvite);
    const std::string before = original->toString();
    NvHandle<NvSipRequest> copy(static_cast<NvSipRequest*>(original->clone()));
    EXPECT_EQ(typeid(*copy), typeid(NvSipInviteMessage));
    EXPECT_EQ(copy->compareWith(*original), 0);
    // Every level is copied: headers, their name-addresses and parameters, URIs.
    copy->getTopVia()->setBranch("z9hG4bKclone");
    copy->getTopVia()->setHost("clone.example.com");
    copy->getFromHeader()->getNameAddress()->setDisplayName("Mallory");
    copy->getToHeader()->getNameAddress()->getURL()->setHost("clone.example.com");
    copy->getURI().cast<NvSipURL>()->setUser("carol");
    copy->getHeader<NvSipSupportedHeader>()->addTag("path");
    copy->getHeader<NvSipContactHeader>()->setParameter("expires", "5");
    copy->removeHeader(NvSipHeaderID::Route);
    copy->setBody("x", "text/plain", 1);
    EXPECT_EQ(original->toString(), before);
    EXPECT_NE(copy->compareWith(*original), 0);

    const auto response = NvHandle<NvSipResponse>(new NvSipResponse(180, original));
    NvHandle<NvSipResponse> responseCopy(static_cast<NvSipResponse*>(response->clone()));
    responseCopy->setStatusCode(183);
    responseCopy->getToHeader()->setTag("x");
    EXPECT_EQ(response->getStatusCode(), 180);
    EXPECT_TRUE(response->getToHeader()->getTag().isEmpty());
}

TEST(SipMessageOptionTags, RequiredAndSupportedAcrossHeaders) {
    const auto message = parse("INVITE sip:a@example.com SIP/2.0\nSupported: timer\nk: Replaces, path\n"
                               "Require: 100REL\nRequire: precondition\n\n");
    for (const char* tag : {"timer", "replaces", "PATH"}) EXPECT_TRUE(message->isSupported(tag)) << tag;
    for (const char* tag : {"100rel", "precondition"}) EXPECT_TRUE(message->isRequired(tag)) << tag;
    EXPECT_FALSE(message->isSupported("100rel"));
    EXPECT_FALSE(message->isRequired("timer"));
}

TEST(SipMessageBody, SetBodyKeepsOneContentTypeAndLength) {
    auto message = parse<NvSipRequest>(kInvite);
    message->setBody("hello", "text/plain", 5);
    EXPECT_EQ(message->countHeaders(NvSipHeaderID::ContentType), 1u);
    EXPECT_EQ(message->countHeaders(NvSipHeaderID::ContentLength), 1u);
    EXPECT_EQ(message->getHeader<NvSipContentTypeHeader>()->getMediaType().str(), "text/plain");
    EXPECT_EQ(message->getHeader<NvSipContentLengthHeader>()->getNumber(), 5u);
    message->setBody(nullptr, nullptr, 10);
    EXPECT_EQ(message->getBody(), "");
    EXPECT_EQ(message->countHeaders(NvSipHeaderID::ContentType), 0u);
    EXPECT_EQ(message->getHeader<NvSipContentLengthHeader>()->getNumber(), 0u);
    const char binary[] = {'a', '\0', 'b'};
    message->setBody(binary, "application/octet-stream", 3);
    const std::string text = message->toString();
    EXPECT_EQ(NvSipParser::sParse(text.data(), text.size())->getBody(), std::string(binary, 3));
}

TEST(SipMandatoryHeaders, NamesWhatIsMissingOrWrong) {
    EXPECT_TRUE(parse(kInvite)->checkMandatoryHeaders().isEmpty());
    EXPECT_TRUE(NvSipResponse(200, parse<NvSipRequest>(kInvite)).checkMandatoryHeaders().isEmpty());
    const struct {
        const char* line;
        const char* replacement;
        const char* reason;
    } cases[] = {{"Via: ", "", "Missing Via header"},
                 {"From: ", "", "Missing From header"},
                 {"To: ", "", "Missing To header"},
                 {"Call-ID: ", "", "Missing Call-ID header"},
                 {"CSeq: ", "", "Missing CSeq header"},
                 {"CSeq: ", "CSeq: 31862 BYE\n", "CSeq method BYE does not match request method INVITE"},
                 {"To: ", "To: <sip:a@example.com>\nt: <sip:carol@example.com>\n", "More than one From, To"}};
    for (const auto& c : cases) {
        std::string text = kInvite;
        const size_t at = text.find(std::string("\n") + c.line) + 1;
        text.replace(at, text.find('\n', at) + 1 - at, c.replacement);
        EXPECT_TRUE(mentions(parse(text)->checkMandatoryHeaders().str(), c.reason)) << text;
    }
}
