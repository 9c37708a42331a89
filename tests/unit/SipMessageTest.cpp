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

std::string names(const NvSipMessage& message) {
    std::string text;
    for (const auto& h : message.getHeaders()) text += h->getName().str() + " ";
    return text;
}

}  // namespace

// ---------------------------------------------------------------- method registry

TEST(SipMethodRegistry, EachMethodHasItsClass) {
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
        {"MESSAGE", typeid(NvSipMessageMessage)},
    };
    for (const auto& m : methods) {
        const auto entry = NvSipMessage::sm_pConstructorMap->find(m.method);
        ASSERT_NE(entry, NvSipMessage::sm_pConstructorMap->end()) << m.method;
        NvHandle<NvSipRequest> made(entry->second());
        EXPECT_EQ(typeid(*made), m.type) << m.method;
        EXPECT_EQ(made->getMethod().str(), m.method);
        const auto created = NvSipRequest::sCreate(m.method);
        EXPECT_EQ(typeid(*created), m.type) << m.method;
        // The parser uses the same classes.
        const auto parsed = parse<NvSipRequest>(std::string(m.method) + " sip:x@example.com SIP/2.0\n\n");
        EXPECT_EQ(typeid(*parsed), m.type) << m.method;
    }
}

TEST(SipMethodRegistry, OtherMethodsAreUnknownRequests) {
    for (const char* method : {"PUBLISH", "invite", "Invite", "X-CUSTOM"}) {
        const auto request = NvSipRequest::sCreate(method);
        EXPECT_EQ(typeid(*request), typeid(NvSipUnknownRequest)) << method;
        EXPECT_EQ(request->getMethod().str(), method);
    }
}

TEST(SipUnknownRequest, TakesItsMethodFromCSeqWhenBuiltWithoutOne) {
    NvHandle<NvSipUnknownRequest> request(new NvSipUnknownRequest());
    EXPECT_TRUE(request->getMethod().isEmpty());
    request->setURI(NvURI::sParse("sip:bob@example.net"));
    request->addHeader(NvHandle<NvSipHeader>(new NvSipCSeqHeader(5, "PUBLISH")));
    EXPECT_EQ(request->getMethod().str(), "PUBLISH");
    EXPECT_EQ(request->toString().substr(0, 35), "PUBLISH sip:bob@example.net SIP/2.0");
    // A method given when built wins over the CSeq.
    NvSipUnknownRequest named("NEWTHING");
    named.addHeader(NvHandle<NvSipHeader>(new NvSipCSeqHeader(5, "PUBLISH")));
    EXPECT_EQ(named.getMethod().str(), "NEWTHING");
    NvHandle<NvSipUnknownRequest> copy(static_cast<NvSipUnknownRequest*>(request->clone()));
    EXPECT_EQ(copy->getMethod().str(), "PUBLISH");
}

// ---------------------------------------------------------------- responses

TEST(SipResponseFromRequest, CopiesTheTransactionAndDialogHeaders) {
    const auto invite = parse<NvSipRequest>(kInvite);
    NvSipResponse ringing(180, invite);
    EXPECT_EQ(ringing.getStatusCode(), 180);
    EXPECT_EQ(ringing.getReasonPhrase().str(), "Ringing");
    EXPECT_EQ(names(ringing), "Via Via Record-Route From To Call-ID CSeq Content-Length ");
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
    EXPECT_TRUE(invite->getToHeader()->getTag().isEmpty());
    ringing.getTopVia()->setBranch("z9hG4bKchanged");
    EXPECT_EQ(invite->getTopVia()->getBranch().str(), "z9hG4bKp1");
}

TEST(SipResponseFromRequest, RecordRouteOnlyWhereADialogCanForm) {
    const auto invite = parse<NvSipRequest>(kInvite);
    for (int code : {101, 180, 183, 200, 202, 299})
        EXPECT_EQ(NvSipResponse(code, invite).countHeaders(NvSipHeaderID::RecordRoute), 1u) << code;
    for (int code : {100, 300, 302, 404, 486, 500, 603})
        EXPECT_EQ(NvSipResponse(code, invite).countHeaders(NvSipHeaderID::RecordRoute), 0u) << code;
    std::string text = kInvite;
    const size_t at = text.find("INVITE sip");
    text.replace(at, 6, "UPDATE");
    text.replace(text.find("31862 INVITE"), 12, "31862 UPDATE");
    const auto update = parse<NvSipRequest>(text);
    EXPECT_EQ(NvSipResponse(200, update).countHeaders(NvSipHeaderID::RecordRoute), 0u);
}

TEST(SipResponseFromRequest, StandardReasonPhrases) {
    const auto invite = parse<NvSipRequest>(kInvite);
    const struct {
        int code;
        const char* phrase;
    } phrases[] = {{100, "Trying"}, {183, "Session Progress"}, {200, "OK"}, {302, "Moved Temporarily"},
                   {401, "Unauthorized"}, {407, "Proxy Authentication Required"}, {422, "Session Interval Too Small"},
                   {481, "Call/Transaction Does Not Exist"}, {486, "Busy Here"}, {487, "Request Terminated"},
                   {491, "Request Pending"}, {500, "Server Internal Error"}, {603, "Decline"}, {299, "Unknown"}};
    for (const auto& p : phrases) {
        EXPECT_STREQ(NvSipResponse::sReasonPhrase(p.code), p.phrase);
        EXPECT_EQ(NvSipResponse(p.code, invite).getReasonPhrase().str(), p.phrase);
    }
}

TEST(SipResponseFromRequest, BodyComesWithContentTypeAndLength) {
    const auto invite = parse<NvSipRequest>(kInvite);
    const char sdp[] = "v=0\r\no=- 1 1 IN IP4 192.0.2.20\r\n";
    NvSipResponse ok(200, invite, sdp, "application/sdp", static_cast<unsigned>(std::strlen(sdp)));
    EXPECT_EQ(ok.getBody(), sdp);
    EXPECT_EQ(ok.getHeader<NvSipContentTypeHeader>()->getMediaType().str(), "application/sdp");
    EXPECT_EQ(ok.getHeader<NvSipContentLengthHeader>()->getNumber(), std::strlen(sdp));
    EXPECT_EQ(ok.countHeaders(NvSipHeaderID::ContentLength), 1u);
    // What is written reads back as the same response.
    const std::string text = ok.toString();
    const auto back = NvSipParser::sParse(text.data(), text.size());
    EXPECT_EQ(back->getBody(), sdp);
    EXPECT_TRUE(back->checkMandatoryHeaders().isEmpty()) << back->checkMandatoryHeaders().str();
}

TEST(SipResponseFromRequest, RefusesBadInput) {
    const auto invite = parse<NvSipRequest>(kInvite);
    EXPECT_THROW(NvSipResponse(99, invite), NvHandle<NvException>);
    EXPECT_THROW(NvSipResponse(700, invite), NvHandle<NvException>);
    EXPECT_THROW(NvSipResponse(200, NvHandle<NvSipRequest>()), NvHandle<NvException>);
}

// ---------------------------------------------------------------- ACK

TEST(SipAckFromResponse, AckOfA2xxGoesToTheContact) {
    const auto invite = parse<NvSipRequest>(kInvite);
    NvHandle<NvSipResponse> ok(new NvSipResponse(200, invite));
    ok->getToHeader()->setTag("b0b");
    ok->addHeader(NvHandle<NvSipHeader>(NvSipHeader::sCreate("Contact", "<sip:bob@192.0.2.20:5070;transport=udp>")));
    NvSipAckMessage ack(ok);
    EXPECT_EQ(ack.getMethod().str(), "ACK");
    EXPECT_EQ(ack.getURI()->toString().str(), "sip:bob@192.0.2.20:5070;transport=udp");
    EXPECT_FALSE(ack.getTopVia()) << "the caller adds the Via of a 2xx ACK";
    EXPECT_EQ(ack.countHeaders(NvSipHeaderID::Route), 0u);
    EXPECT_EQ(ack.getToHeader()->getTag().str(), "b0b");
    EXPECT_EQ(ack.getFromHeader()->getTag().str(), "9fxced76sl");
    EXPECT_EQ(ack.getCallID().str(), "3848276298220188511@atlanta.example.com");
    EXPECT_EQ(ack.getCSeqHeader()->getNumber(), 31862u);
    EXPECT_EQ(ack.getCSeqHeader()->getMethod().str(), "ACK");
    EXPECT_EQ(ack.getHeader<NvSipContentLengthHeader>()->getNumber(), 0u);
    EXPECT_TRUE(ack.getBody().empty());
    // Its own copies.
    ack.getToHeader()->setTag("other");
    EXPECT_EQ(ok->getToHeader()->getTag().str(), "b0b");
}

TEST(SipAckFromResponse, AckOfAFailureFollowsTheInvite) {
    const auto invite = parse<NvSipRequest>(kInvite);
    NvHandle<NvSipResponse> busy(new NvSipResponse(486, invite));
    busy->getToHeader()->setTag("busy1");
    NvSipAckMessage ack(busy, invite);
    EXPECT_EQ(ack.getURI()->toString().str(), "sip:bob@biloxi.example.com");
    const auto vias = ack.getHeaders<NvSipViaHeader>();
    ASSERT_EQ(vias.size(), 1u) << "only the INVITE's top Via";
    EXPECT_EQ(vias[0]->getBranch().str(), "z9hG4bKp1");
    const auto routes = ack.getHeaders<NvSipRouteHeader>();
    ASSERT_EQ(routes.size(), 2u);
    EXPECT_EQ(routes[0]->getNameAddress()->getURL()->getHost().str(), "p2.example.com");
    EXPECT_EQ(routes[1]->getNameAddress()->getURL()->getHost().str(), "p3.example.com");
    EXPECT_EQ(ack.getToHeader()->getTag().str(), "busy1");
    EXPECT_EQ(ack.getCSeqHeader()->getValue().str(), "31862 ACK");
    EXPECT_TRUE(ack.checkMandatoryHeaders().isEmpty()) << ack.checkMandatoryHeaders().str();
    // Written and read back, it is a valid ACK.
    const std::string text = ack.toString();
    const auto back = NvSipParser::sParse(text.data(), text.size());
    EXPECT_TRUE(back.cast<NvSipAckMessage>());
    EXPECT_TRUE(back->checkMandatoryHeaders().isEmpty());
    NvHandle<NvSipRequest> copy(static_cast<NvSipRequest*>(ack.clone()));
    EXPECT_EQ(typeid(*copy), typeid(NvSipAckMessage));
    EXPECT_EQ(copy->toString(), text);
    ack.getURI().cast<NvSipURL>()->setHost("changed.example.com");
    EXPECT_EQ(copy->getURI()->toString().str(), "sip:bob@biloxi.example.com");
    EXPECT_EQ(invite->getURI()->toString().str(), "sip:bob@biloxi.example.com");
}

TEST(SipAckFromResponse, NeedsAResponse) {
    EXPECT_THROW(NvSipAckMessage(NvHandle<NvSipResponse>()), NvHandle<NvException>);
}

// ---------------------------------------------------------------- header lists

TEST(SipMessageHeaders, AddAtTopGoesBeforeTheFirstOfItsKind) {
    auto message = parse<NvSipRequest>(kInvite);
    NvHandle<NvSipViaHeader> via(new NvSipViaHeader("UDP", "p0.example.com", 0));
    via->setBranch("z9hG4bKp0");
    message->addHeader(via, true);
    EXPECT_EQ(message->getTopVia(), via);
    EXPECT_EQ(message->getHeaders()[0], NvHandle<NvSipHeader>(via));
    const std::string text = message->toString();
    EXPECT_NE(text.find("\r\nVia: SIP/2.0/UDP p0.example.com;branch=z9hG4bKp0\r\nVia: SIP/2.0/UDP p1.example.com;"
                        "branch=z9hG4bKp1, SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKua1\r\n"),
              std::string::npos)
        << text;

    NvHandle<NvSipHeader> route(NvSipHeader::sCreate("Route", "<sip:p0.example.com;lr>"));
    message->addHeader(route, true);
    EXPECT_EQ(message->getHeader<NvSipRouteHeader>(), route);
    EXPECT_EQ(message->mGetHeaderByID(NvSipHeaderID::Route, 1)->getValue().str(), "<sip:p2.example.com;lr>");

    // With none of its kind it goes first of all.
    NvHandle<NvSipHeader> event(new NvSipEventHeader("refer"));
    message->addHeader(event, true);
    EXPECT_EQ(message->getHeaders()[0], event);
    // Without atTop: last.
    NvHandle<NvSipHeader> last(NvSipHeader::sCreate("X-Last", "1"));
    message->addHeader(last);
    EXPECT_EQ(message->getHeaders().back(), last);
    message->addHeader(NvHandle<NvSipHeader>());
    EXPECT_EQ(message->getHeaders().back(), last);
}

TEST(SipMessageHeaders, RemoveByObjectKindOrName) {
    auto message = parse<NvSipRequest>(kInvite + std::string());
    const size_t before = message->getHeaders().size();
    const auto topVia = message->getTopVia();
    EXPECT_TRUE(message->removeHeader(NvHandle<NvSipHeader>(topVia)));
    EXPECT_FALSE(message->removeHeader(NvHandle<NvSipHeader>(topVia)));
    EXPECT_EQ(message->getTopVia()->getBranch().str(), "z9hG4bKua1");
    // The remaining Via is written on a line of its own.
    EXPECT_NE(message->toString().find("\r\nVia: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKua1\r\n"), std::string::npos);
    EXPECT_EQ(message->removeHeader(NvSipHeaderID::Route), 2u);
    EXPECT_EQ(message->removeHeader("v"), 1u);  // compact name, any case
    EXPECT_EQ(message->removeHeader("CONTENT-TYPE"), 1u);
    EXPECT_EQ(message->removeHeader("X-Absent"), 0u);
    EXPECT_EQ(message->getHeaders().size(), before - 5);
    EXPECT_FALSE(message->getTopVia());
    EXPECT_EQ(message->checkMandatoryHeaders().str(), "Missing Via header");
}

TEST(SipMessageHeaders, GenericHeadersByNameAndIndex) {
    const auto message = parse(
        "OPTIONS sip:a@example.com SIP/2.0\nX-Trace: one\nSubject: s1\nx-trace: two\nX-TRACE: three\n\n");
    EXPECT_EQ(message->mGetHeader("X-Trace", 0)->getValue().str(), "one");
    EXPECT_EQ(message->mGetHeader("X-Trace", 1)->getValue().str(), "two");
    EXPECT_EQ(message->mGetHeader("x-TRACE", 2)->getValue().str(), "three");
    EXPECT_FALSE(message->mGetHeader("X-Trace", 3));
    EXPECT_EQ(message->removeHeader("x-trace"), 3u);
    EXPECT_EQ(message->mGetHeader("Subject")->getValue().str(), "s1");
}

TEST(SipMessageClone, IsDeep) {
    const auto original = parse<NvSipRequest>(kInvite);
    const std::string before = original->toString();
    NvHandle<NvSipRequest> copy(static_cast<NvSipRequest*>(original->clone()));
    EXPECT_EQ(typeid(*copy), typeid(NvSipInviteMessage));
    EXPECT_EQ(copy->toString(), before);
    EXPECT_EQ(copy->compareWith(*original), 0);

    copy->getTopVia()->setBranch("z9hG4bKclone");
    copy->getToHeader()->setTag("clone-tag");
    copy->getFromHeader()->getNameAddress()->setDisplayName("Mallory");
    copy->getURI().cast<NvSipURL>()->setUser("carol");
    copy->getCSeqHeader()->setNumber(1);
    copy->getHeader<NvSipSupportedHeader>()->addTag("path");
    copy->getHeader<NvSipContactHeader>()->setParameter("expires", "5");
    copy->addHeader(NvHandle<NvSipHeader>(NvSipHeader::sCreate("X-Extra", "1")));
    copy->removeHeader(NvSipHeaderID::Route);
    copy->setBody("x", "text/plain", 1);
    EXPECT_EQ(original->toString(), before);
    EXPECT_NE(copy->compareWith(*original), 0);

    const auto response = NvHandle<NvSipResponse>(new NvSipResponse(180, original));
    NvHandle<NvSipResponse> responseCopy(static_cast<NvSipResponse*>(response->clone()));
    responseCopy->setStatusCode(183);
    responseCopy->setReasonPhrase("Session Progress");
    responseCopy->getToHeader()->setTag("x");
    EXPECT_EQ(response->getStatusCode(), 180);
    EXPECT_TRUE(response->getToHeader()->getTag().isEmpty());
}

TEST(SipMessageOptionTags, RequiredAndSupportedAcrossHeaders) {
    const auto message = parse(
        "INVITE sip:a@example.com SIP/2.0\nSupported: timer\nk: Replaces, path\n"
        "Require: 100REL\nRequire: precondition\n\n");
    EXPECT_TRUE(message->isSupported("timer"));
    EXPECT_TRUE(message->isSupported("replaces"));
    EXPECT_TRUE(message->isSupported("PATH"));
    EXPECT_FALSE(message->isSupported("100rel"));
    EXPECT_TRUE(message->isRequired("100rel"));
    EXPECT_TRUE(message->isRequired("precondition"));
    EXPECT_FALSE(message->isRequired("timer"));
    const auto none = parse("INVITE sip:a@example.com SIP/2.0\n\n");
    EXPECT_FALSE(none->isSupported("timer"));
    EXPECT_FALSE(none->isRequired("timer"));
}

TEST(SipMessageBody, SetBodyKeepsOneContentTypeAndLength) {
    auto message = parse<NvSipRequest>(kInvite);
    message->setBody("hello", "text/plain", 5);
    EXPECT_EQ(message->getBody(), "hello");
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
    EXPECT_EQ(message->getBody(), std::string(binary, 3));
    const std::string text = message->toString();
    EXPECT_EQ(NvSipParser::sParse(text.data(), text.size())->getBody(), std::string(binary, 3));
}

TEST(SipMandatoryHeaders, NamesWhatIsMissingOrWrong) {
    EXPECT_TRUE(parse(kInvite)->checkMandatoryHeaders().isEmpty());
    const struct {
        const char* drop;
        const char* reason;
    } cases[] = {{"Via: ", "Missing Via header"},
                 {"From: ", "Missing From header"},
                 {"To: ", "Missing To header"},
                 {"Call-ID: ", "Missing Call-ID header"},
                 {"CSeq: ", "Missing CSeq header"}};
    for (const auto& c : cases) {
        std::string text = kInvite;
        const size_t at = text.find(std::string("\n") + c.drop);
        text.erase(at + 1, text.find('\n', at + 1) - at);
        EXPECT_EQ(parse(text)->checkMandatoryHeaders().str(), c.reason) << text;
    }
    std::string mismatch = kInvite;
    mismatch.replace(mismatch.find("31862 INVITE"), 12, "31862 BYE");
    EXPECT_EQ(parse(mismatch)->checkMandatoryHeaders().str(), "CSeq method BYE does not match request method INVITE");
    std::string twoTo = kInvite;
    twoTo.insert(twoTo.find("Call-ID"), "t: <sip:carol@example.com>\n");
    EXPECT_NE(parse(twoTo)->checkMandatoryHeaders().str().find("More than one"), std::string::npos);
    // A response's CSeq names the request it answers.
    NvSipResponse ok(200, parse<NvSipRequest>(kInvite));
    EXPECT_TRUE(ok.checkMandatoryHeaders().isEmpty());
}
