// The message model: the request class each method gets, responses built from requests, ACKs built from
// responses, header lists, deep clones, option tags, bodies, the mandatory header check and the log form.

#include "SipTestText.h"
#include "stack/log/TellarCapture.h"
#include "stack/net/NvInetAddress.h"
#include "stack/sip/NvSipIdentifiers.h"
#include "stack/timer/NvTestClock.h"

#include <sstream>
#include <typeinfo>

namespace {

// `text`, written with plain line ends, parsed as an M.
template <class M = NvSipMessage>
NvHandle<M> read(const std::string& text) {
    NvHandle<M> message = parse(crlf(text)).cast<M>();
    EXPECT_TRUE(message) << text;
    return message;
}

const char kInvite[] =
    "INVITE sip:bob@biloxi.example.com SIP/2.0\n"
    "Via: SIP/2.0/UDP p1.example.com;branch=z9hG4bKp1, SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKua1\n"
    "Max-Forwards: 69\nRecord-Route: <sip:p1.example.com;lr>\nRoute: <sip:p2.example.com;lr>\n"
    "Route: <sip:p3.example.com;lr>\nFrom: \"Alice\" <sip:alice@atlanta.example.com>;tag=9fxced76sl\n"
    "To: Bob <sip:bob@biloxi.example.com>\nCall-ID: 3848276298220188511@atlanta.example.com\nCSeq: 31862 INVITE\n"
    "Contact: <sip:alice@192.0.2.1>\nSupported: timer\nRequire: 100rel\nContent-Type: application/sdp\n"
    "Content-Length: 4\n\nv=0\n";

// Call-IDs lead with the time, so that a caller's sort in the order they were made; the rest is random.
TEST(SipCallId, SortsByTimeMadeAndNeverRepeats) {
    NvTestClock clock;
    const std::string first = NvSipCallid::reGenerate("host.example").str();
    const std::string sameMs = NvSipCallid::reGenerate("host.example").str();
    clock.advance(1);
    const std::string later = NvSipCallid::reGenerate(nullptr).str();
    EXPECT_EQ(first.substr(32), "@host.example");  // and so 32 characters before it
    EXPECT_EQ(first.substr(0, 12), sameMs.substr(0, 12));
    EXPECT_NE(first, sameMs);
    EXPECT_EQ(later.size(), 32u);
    EXPECT_LT(std::max(first.substr(0, 32), sameMs.substr(0, 32)), later);
}

TEST(SipMethodRegistry, EachMethodHasItsClassOthersAreUnknownRequests) {
    const std::pair<const char*, const std::type_info&> methods[] = {
        {"INVITE", typeid(NvSipInviteMessage)},       {"ACK", typeid(NvSipAckMessage)},
        {"BYE", typeid(NvSipByeMessage)},             {"CANCEL", typeid(NvSipCancelMessage)},
        {"PRACK", typeid(NvSipPrackMessage)},         {"INFO", typeid(NvSipInfoMessage)},
        {"NOTIFY", typeid(NvSipNotifyMessage)},       {"REFER", typeid(NvSipReferMessage)},
        {"OPTIONS", typeid(NvSipOptionsMessage)},     {"REGISTER", typeid(NvSipRegisterMessage)},
        {"SUBSCRIBE", typeid(NvSipSubscribeMessage)}, {"UPDATE", typeid(NvSipUpdateMessage)},
        {"MESSAGE", typeid(NvSipMessageMessage)},     {"invite", typeid(NvSipUnknownRequest)},
        {"X-CUSTOM", typeid(NvSipUnknownRequest)}};
    for (const auto& m : methods) {
        const auto created = NvSipRequest::sCreate(m.first);
        EXPECT_EQ(typeid(*created), m.second) << m.first;
        EXPECT_EQ(created->getMethod().str(), m.first);
        const auto parsed = read<NvSipRequest>(std::string(m.first) + " sip:x@example.com SIP/2.0\n\n");
        EXPECT_EQ(typeid(*parsed), m.second) << m.first;  // the parser uses the same classes
    }
    // Built without a method, an unknown request takes the CSeq's.
    NvSipUnknownRequest unnamed, named("NEWTHING");
    unnamed.addHeader(NvHandle<NvSipHeader>(new NvSipCSeqHeader(5, "PUBLISH")));
    named.addHeader(NvHandle<NvSipHeader>(new NvSipCSeqHeader(5, "PUBLISH")));
    EXPECT_EQ(unnamed.getMethod().str() + " " + named.getMethod().str(), "PUBLISH NEWTHING");
}

TEST(SipResponseFromRequest, CopiesTheTransactionAndDialogHeadersRecordRouteOnlyWhereADialogCanForm) {
    const auto invite = read<NvSipRequest>(kInvite);
    NvSipResponse ringing(180, invite);
    EXPECT_EQ(ringing.toString(), crlf("SIP/2.0 180 Ringing\n"
        "Via: SIP/2.0/UDP p1.example.com;branch=z9hG4bKp1, SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKua1\n"
        "Record-Route: <sip:p1.example.com;lr>\nFrom: \"Alice\" <sip:alice@atlanta.example.com>;tag=9fxced76sl\n"
        "To: Bob <sip:bob@biloxi.example.com>\nCall-ID: 3848276298220188511@atlanta.example.com\n"
        "CSeq: 31862 INVITE\nContent-Length: 0\n\n"));
    EXPECT_EQ(NvSipResponse(299, invite).getReasonPhrase().str(), "Unknown");  // with no standard phrase
    for (const auto& [code, request] : {std::pair(99, invite), {700, invite}, {200, NvHandle<NvSipRequest>()}})
        EXPECT_THROW(NvSipResponse(code, request), NvHandle<NvException>) << code;
    // Record-Route only where a dialog can form, and only INVITE forms dialogs here.
    std::string withRecordRoute;
    for (int code : {100, 101, 180, 183, 200, 202, 299, 300, 302, 404, 486, 500, 603})
        if (NvSipResponse(code, invite).countHeaders(NvSipHeaderID::RecordRoute))
            withRecordRoute += std::to_string(code) + " ";
    EXPECT_EQ(withRecordRoute, "101 180 183 200 202 299 ");
    std::string update = kInvite;
    update.replace(update.find("INVITE sip"), 6, "UPDATE").replace(update.find("31862 INVITE"), 12, "31862 UPDATE");
    EXPECT_EQ(NvSipResponse(200, read<NvSipRequest>(update)).countHeaders(NvSipHeaderID::RecordRoute), 0u);
}

// The ACK of a 2xx goes to the Contact without Via (the caller adds it) or
// Route; the ACK of a failure follows the INVITE: its top Via, its Routes.
TEST(SipAckFromResponse, AckOfA2xxGoesToTheContactAckOfAFailureFollowsTheInvite) {
    const auto invite = read<NvSipRequest>(kInvite);
    NvHandle<NvSipResponse> ok(new NvSipResponse(200, invite));
    ok->getToHeader()->setTag("b0b");
    ok->addHeader(NvSipHeader::sCreate("Contact", "<sip:bob@192.0.2.20:5070;transport=udp>"));
    NvSipAckMessage(ok).getToHeader()->setTag("other");  // what the ACK holds is its own
    EXPECT_EQ(ok->getToHeader()->getTag().str(), "b0b");
    EXPECT_EQ(NvSipAckMessage(ok).toString(),
              crlf("ACK sip:bob@192.0.2.20:5070;transport=udp SIP/2.0\n"
                   "From: \"Alice\" <sip:alice@atlanta.example.com>;tag=9fxced76sl\n"
                   "To: Bob <sip:bob@biloxi.example.com>;tag=b0b\nCall-ID: 3848276298220188511@atlanta.example.com\n"
                   "CSeq: 31862 ACK\nContent-Length: 0\n\n"));
    NvSipAckMessage ackBusy(NvHandle<NvSipResponse>(new NvSipResponse(486, invite)), invite);
    EXPECT_EQ(ackBusy.toString(),
              crlf("ACK sip:bob@biloxi.example.com SIP/2.0\nVia: SIP/2.0/UDP p1.example.com;branch=z9hG4bKp1\n"
                   "From: \"Alice\" <sip:alice@atlanta.example.com>;tag=9fxced76sl\n"
                   "To: Bob <sip:bob@biloxi.example.com>\nCall-ID: 3848276298220188511@atlanta.example.com\n"
                   "CSeq: 31862 ACK\nRoute: <sip:p2.example.com;lr>\nRoute: <sip:p3.example.com;lr>\n"
                   "Content-Length: 0\n\n"));
    EXPECT_THROW(NvSipAckMessage(NvHandle<NvSipResponse>()), NvHandle<NvException>);
}

// Added at the top with none of its kind, a header goes first of all; without atTop, last. Removed and looked up by
// object, kind or name.
TEST(SipMessageHeaders, AddAtTopGoesBeforeTheFirstOfItsKind_RemoveAndLookUpByObjectKindOrName) {
    std::string text = kInvite;
    text.insert(text.find("Supported"), "X-Trace: one\nx-trace: two\n");
    auto message = read<NvSipRequest>(text);
    const size_t before = message->getHeaders().size();
    message->addHeader(NvSipHeader::sCreate("Event", "refer"), true);
    message->addHeader(NvSipHeader::sCreate("X-Last", "1"));
    message->addHeader(NvHandle<NvSipHeader>());
    EXPECT_TRUE(mentions(message->toString(), "SIP/2.0\r\nEvent: refer\r\nVia: SIP/2.0/UDP p1.example.com;branch="));
    EXPECT_TRUE(mentions(message->toString(), "\r\nContent-Length: 4\r\nX-Last: 1\r\n\r\n"));
    EXPECT_EQ(message->getHeaders().size(), before + 2);

    const auto topVia = message->getTopVia();
    EXPECT_TRUE(message->removeHeader(NvHandle<NvSipHeader>(topVia)));
    EXPECT_FALSE(message->removeHeader(NvHandle<NvSipHeader>(topVia)));
    // The remaining Via is written on a line of its own.
    EXPECT_TRUE(mentions(message->toString(), "\r\nVia: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKua1\r\n"));
    EXPECT_EQ(message->mGetHeader("X-TRACE", 1)->getValue().str(), "two");
    // By kind, and by name: compact, in any case.
    EXPECT_EQ((std::vector<size_t>{message->removeHeader(NvSipHeaderID::Route), message->removeHeader("v"),
                                   message->removeHeader("x-trace"), message->removeHeader("X-Absent")}),
              (std::vector<size_t>{2, 1, 2, 0}));
    EXPECT_EQ(message->getHeaders().size(), before + 2 - 6);
}

// A clone copies every level: headers, their name-addresses and parameters, URIs.
TEST(SipMessageClone, IsDeep) {
    const auto original = read<NvSipRequest>(kInvite);
    const std::string before = original->toString();
    NvHandle<NvSipRequest> copy(static_cast<NvSipRequest*>(original->clone()));
    EXPECT_EQ(typeid(*copy), typeid(NvSipInviteMessage));
    EXPECT_EQ(copy->compareWith(*original), 0);
    copy->getFromHeader()->getNameAddress()->setDisplayName("Mallory");
    copy->getURI().cast<NvSipURL>()->setUser("carol");
    EXPECT_EQ(original->toString(), before);
}

// Option tags are looked up across the headers of their kind, in any case. A body comes with one Content-Type and
// one Content-Length, and reads back.
TEST(SipMessageOptionTagsAndBody, TagsFoundAcrossHeadersABodyComesWithItsTypeAndLength) {
    const auto message = read("INVITE sip:a@example.com SIP/2.0\nSupported: timer\nk: Replaces\nRequire: 100REL\n\n");
    for (const char* tag : {"timer", "replaces"}) EXPECT_TRUE(message->isSupported(tag)) << tag;
    EXPECT_TRUE(message->isRequired("100rel") && !message->isSupported("100rel") && !message->isRequired("timer"));
    const auto invite = read<NvSipRequest>(kInvite);
    const std::string sdp = "v=0\r\no=- 1 1 IN IP4 192.0.2.20\r\n";
    const std::string ok = NvSipResponse(200, invite, sdp.data(), "application/sdp", 32).toString();
    EXPECT_TRUE(mentions(ok, "\r\nContent-Type: application/sdp\r\nContent-Length: 32\r\n\r\n" + sdp)) << ok;
    invite->setBody("hello", "text/plain", 5);
    EXPECT_TRUE(mentions(invite->toString(), "\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n\r\nhello"));
    EXPECT_EQ(invite->countHeaders(NvSipHeaderID::ContentType) + invite->countHeaders(NvSipHeaderID::ContentLength),
              2u);
    invite->setBody(nullptr, nullptr, 10);
    EXPECT_TRUE(mentions(invite->toString(), "\r\nSupported: timer\r\nRequire: 100rel\r\nContent-Length: 0\r\n\r\n"));
    const std::string binary("a\0b", 3);
    invite->setBody(binary.data(), "application/octet-stream", 3);
    EXPECT_EQ(parse(invite->toString())->getBody(), binary);
}

TEST(SipMandatoryHeaders, NamesWhatIsMissingOrWrong) {
    // The line that starts with the first text is replaced by the second (the torture corpus has the other cases).
    const char* const cases[][3] = {
        {"Via: ", "", "Missing Via header"}, {"From: ", "", "Missing From header"}, {"To: ", "", "Missing To header"},
        {"CSeq: ", "", "Missing CSeq header"},
        {"To: ", "To: <sip:a@example.com>\nt: <sip:carol@example.com>\n", "More than one From, To"}};
    for (const auto& c : cases) {
        std::string text = kInvite;
        const size_t at = text.find(std::string("\n") + c[0]) + 1;
        text.replace(at, text.find('\n', at) + 1 - at, c[1]);
        EXPECT_TRUE(mentions(read(text)->checkMandatoryHeaders().str(), c[2])) << text;
    }
}

// The log form of a message: direction, peer, the text, and bodies cut at INFO and above.
NvHandle<NvSipMessage> messageWithBody(size_t bodyBytes) {
    const std::string length = "Content-Length: " + std::to_string(bodyBytes) + "\n";
    return parse(sipRequest("Content-Type: text/plain\n" + length, std::string(bodyBytes, 'b')));
}

std::string format(const NvSipMessage& message, bool incoming, const unsigned* port, const NvInetAddress* address,
                   Tellar::LogLevel level = Tellar::INFO) {
    std::ostringstream out;
    message.formatMessage(out, incoming, port, address, level);
    return out.str();
}

TEST(SipMessageLog, FirstLineNamesDirectionPeerAndSizeThenTheMessageCutAtInfoWrittenWhenEnabled) {
    const auto message = messageWithBody(10);
    const unsigned port = 5070;
    const NvInetAddress v4 = NvInetAddress::sParse("192.0.2.7"), v6 = NvInetAddress::sParse("2001:db8::7");
    const std::string text = message->toString(), size = " (" + std::to_string(text.size()) + " bytes)\n";
    EXPECT_EQ(format(*message, true, &port, &v4), "<<<< RECEIVED SIP MESSAGE from 192.0.2.7:5070" + size + text);
    EXPECT_EQ(format(*message, false, &port, &v6), ">>>> SENT SIP MESSAGE to [2001:db8::7]:5070" + size + text);
    EXPECT_EQ(format(*message, false, nullptr, nullptr), ">>>> SENT SIP MESSAGE" + size + text);

    // Bodies past 4096 bytes are cut at INFO, whole at DEBUG.
    const auto large = messageWithBody(10000);
    const std::string full = large->toString();
    const std::string head = "<<<< RECEIVED SIP MESSAGE (" + std::to_string(full.size()) + " bytes)\n";
    EXPECT_EQ(format(*large, true, nullptr, nullptr),
              head + full.substr(0, full.size() - 5904) + "\n[... 5904 more bytes of body]");
    EXPECT_EQ(format(*large, true, nullptr, nullptr, Tellar::DEBUG), head + full);

    // logMessage writes only when the logger is enabled for the level asked for.
    Tellar::LogCapture capture("test.sip.messagelog", Tellar::INFO);
    for (const Tellar::LogLevel level : {Tellar::DEBUG, Tellar::INFO})
        message->logMessage(Tellar::getLogger("test.sip.messagelog"), true, nullptr, nullptr, level);
    EXPECT_EQ(1u, capture.size()) << capture.dump();
    EXPECT_EQ(1u, capture.count(Tellar::INFO, "<<<< RECEIVED SIP MESSAGE")) << capture.dump();
}

}  // namespace
