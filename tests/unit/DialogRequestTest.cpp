// Requests a dialog sends and the other in-dialog requests both ways, on a
// UAS dialog made by the peer's INVITE (CSeq 7, Record-Route A, B, C).

#include "CallManagerFlow.h"

#include "mlapi/NvSipCall.h"
#include "stack/log/TellarCapture.h"

#include <thread>

namespace {

const std::string kRecordRoutes = "Record-Route: <sip:192.0.2.21;lr>, <sip:192.0.2.22;lr>\r\n"
                                  "Record-Route: <sip:192.0.2.23;lr>\r\n";
const std::string kContact = "Contact: <sip:alice@192.0.2.1:5070>\r\n";

// "Request-URI | Route... | CSeq | Contact | Content-Type | Content-Length | body".
std::string summary(const NvHandle<NvSipMessage>& message) {
    std::string text = NvHandle<NvSipRequest>(message)->getURI()->toString().str();
    for (NvSipHeaderID id : {NvSipHeaderID::Route, NvSipHeaderID::CSeq, NvSipHeaderID::Contact,
                             NvSipHeaderID::ContentType, NvSipHeaderID::ContentLength}) {
        text += " |";
        for (const auto& header : message->getHeaders())
            if (header->getID() == id) text += " " + header->getValue().str();
    }
    return text + " | " + message->getBody();
}

// A 200 to our `method` with a new Contact reaches the dialog.
void answeredWithContact(NvSipDialog& dialog, const char* method) {
    NvHandle<NvSipResponse> response = new NvSipResponse(200, "OK");
    response->addHeader(new NvSipCSeqHeader(3, method));
    response->addHeader(new NvSipContactHeader(NvSipNameAddress::sParse("<sip:moved@192.0.2.2>")));
    dialog.updateRemoteTargetURI(response);
    dialog.info(nullptr);
}

// A call that also records each response the dialog hands it ("call 200").
class RecordingCall : public NvSipIncomingCall {
public:
    RecordingCall(NvHandle<NvSipInviteMessage> invite, RecordedIncomingEvents* events)
        : NvSipIncomingCall(invite, events), m_pEvents(events) {}
    void onUnknownResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) override {
        m_pEvents->record("call " + std::to_string(response->getStatusCode()));
        NvSipIncomingCall::onUnknownResponse(dialog, response);
    }

private:
    RecordedIncomingEvents* m_pEvents;
};

}  // namespace

class DialogRequestTest : public CallManagerFlow {
protected:
    Tellar::LogCapture dialogLog{"lumbrook.nv.NvSipDialog", Tellar::DEBUG};
    Tellar::LogCapture interopLog{"lumbrook.sip.interop.ua", Tellar::INFO};
    NvHandle<RecordingCall> call;
    NvHandle<NvSipDialog> dialog;
    std::string callId;  // of the last INVITE; each opens a new call

    // The peer's INVITE, with `contact` as its Contact line; the dialog takes
    // its remote target from it.
    void receiveInvite(const std::string& recordRoutes = kRecordRoutes, const std::string& contact = kContact) {
        NvHandle<NvSipInviteMessage> invite;
        newCall = [&](NvHandle<NvSipInviteMessage> received) {
            invite = received;
            return NvHandle<NvSipIncomingCall>(call = new RecordingCall(received, events.get()));
        };
        NvSipCall::setLocalHostPort("192.0.2.10", 5060, NvSocketImpl::UDP);
        callId += "c";
        std::string text = request("INVITE", "", "r1", recordRoutes, callId, "z9hG4bK-" + callId, 7);
        inject(text.replace(text.find("Contact: "), 32, contact));  // in place of CallFlow's Contact line
        newCall = nullptr;
        dialog = call->getDialog();
        dialog->updateRemoteTargetURI(invite);
        expectSent("SIP/2.0 100");
        events->taken();
    }
    void TearDown() override {
        if (call) endDialog(call);
        call = nullptr;
        dialog = nullptr;
        CallManagerFlow::TearDown();
    }
};

TEST_F(DialogRequestTest, RequestsWeBuild_ThoseThatCannotBeBuiltAreNil) {
    const std::string alice = "sip:alice@192.0.2.1:5070", ours = " | <sip:192.0.2.10;transport=udp> | | 0 | ";
    const std::string loose = " | <sip:192.0.2.21;lr> <sip:192.0.2.22;lr> <sip:192.0.2.23;lr>";
    const auto info = [](NvSipDialog& d) { d.info(nullptr); };
    struct Row {
        const char* name;
        std::string recordRoutes, contact;
        void (*send)(NvSipDialog&);
        std::string wire;
        bool interopLine, noContactWarning;  // whether these were logged
    };
    const Row rows[] = {
        {"UAS: route set in order, CSeq = INVITE's + 1, the call's Contact", kRecordRoutes, kContact, info,
         alice + loose + " | 8 INFO" + ours, 0, 0},
        {"UAC: route set reversed", kRecordRoutes, kContact,
         [](NvSipDialog& d) {
             d.setRouteInfo(new NvSipResponse(200, d.getInitialTransaction()->getInitialRequest()));
             d.info(nullptr);
         },
         alice + " | <sip:192.0.2.23;lr> <sip:192.0.2.22;lr> <sip:192.0.2.21;lr> | 8 INFO" + ours, 0, 0},
        {"strict first hop", "Record-Route: <sip:192.0.2.21;method=INVITE>, <sip:192.0.2.22;lr>\r\n", kContact, info,
         "sip:192.0.2.21 | <sip:192.0.2.22;lr> <" + alice + "> | 8 INFO" + ours, 0, 0},
        {"a CANCEL takes no number", kRecordRoutes, kContact,
         [](NvSipDialog& d) {
             d.info(nullptr);
             EXPECT_EQ(d.createRequest("CANCEL", nullptr, nullptr, 0, nullptr)->getCSeqHeader()->getNumber(), 7u);
             d.notify(nullptr);
         },
         alice + loose + " | 9 NOTIFY" + ours, 0, 0},
        {"the caller's Route, Contact and body", kRecordRoutes, kContact,
         [](NvSipDialog& d) {
             NvHandle<NvSipRequest> request = d.createRequest(
                 "INFO", "application/dtmf-relay", "Signal=5", 8,
                 new NvSipContactHeader(NvSipNameAddress::sParse("<sip:me@192.0.2.10:5080>")));
             request->removeHeader(NvSipHeaderID::Route);
             request->addHeader(new NvSipRouteHeader(NvSipNameAddress::sParse("<sip:192.0.2.30;lr>")));
             d.addRouteInfoToRequest(request);
             d.info(NvHandle<NvSipInfoMessage>(request));
         },
         alice + " | <sip:192.0.2.30;lr> | 8 INFO | <sip:me@192.0.2.10:5080> | application/dtmf-relay | 8 | Signal=5",
         0, 0},
        {"transport in the Contact URL", "", "Contact: <sip:alice@192.0.2.1:5070;transport=tcp>\r\n", info,
         alice + ";transport=tcp | | 8 INFO" + ours, 0, 0},
        {"transport on the Contact header", "", "Contact: <sip:alice@192.0.2.1:5070>;transport=tcp\r\n", info,
         alice + ";transport=tcp | | 8 INFO" + ours, 1, 0},
        {"no Contact: the From URI", "", "", info, "sip:alice@192.0.2.1 | | 8 INFO" + ours, 0, 1},
        {"a response to BYE keeps the target", "", kContact, [](NvSipDialog& d) { answeredWithContact(d, "BYE"); },
         alice + " | | 8 INFO" + ours, 0, 0},
        {"a response to INVITE moves it", "", kContact, [](NvSipDialog& d) { answeredWithContact(d, "INVITE"); },
         "sip:moved@192.0.2.2 | | 8 INFO" + ours, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        receiveInvite(row.recordRoutes, row.contact);
        row.send(*dialog);
        EXPECT_EQ(summary(wire.sent().back().message), row.wire);
        EXPECT_EQ(interopLog.count(Tellar::INFO, "The \"transport\" parameter is set as a Contact header parameter but "
                                                 "should be set as a URL parameter."),
                  row.interopLine);
        EXPECT_EQ(dialogLog.count(Tellar::WARN, "Received a SIP INVITE with no Contact") > 0, row.noContactWarning);
        EXPECT_EQ(dialogLog.count(Tellar::WARN, "Sending a SIP request : remote target URI not known (no Contact ?). "
                                                "Using From field : sip:alice@192.0.2.1"),
                  row.noContactWarning);
        endDialog(call);
        wire.clear();
        interopLog.clear();
        dialogLog.clear();
    }
    // Those that cannot be built are nil.
    receiveInvite();
    EXPECT_TRUE(dialog->createRequest("ACK", nullptr, nullptr, 0, nullptr).isNil());  // no response to acknowledge
    const unsigned int maxForwards = NvSipTransactionManager::m_MaxForward;
    NvSipTransactionManager::m_MaxForward = 0;
    EXPECT_TRUE(dialog->createRequest("INFO", nullptr, nullptr, 0, nullptr).isNil());
    NvSipTransactionManager::m_MaxForward = maxForwards;
    EXPECT_EQ(dialogLog.count(Tellar::ERROR, "Assertion failed: ! m_hInResponse.isNil()"), 1u) << dialogLog.dump();
    EXPECT_EQ(dialogLog.count(Tellar::ERROR, "Assertion failed: NvSipTransactionManager::sGetMaxForward()"), 1u);
}

TEST_F(DialogRequestTest, InfoNotifyReferBothWays_A481EndsTheDialogA408OrSilenceWithABye) {
    const std::tuple<std::string, std::vector<int>, const char*, const char*> rows[] = {
        {"INFO", {200}, "call 200", "unknownRequest"},
        {"NOTIFY", {489}, "call 489 notifyResponse 489", "notifyRequest"},
        {"REFER", {100, 202}, "call 100 referResponse 100 call 202 referResponse 202", "referRequest"}};
    receiveInvite();
    int cseq = 7;  // the INVITE's
    for (const auto& [method, answers, heard, event] : rows) {
        SCOPED_TRACE(method);
        if (method == "INFO") dialog->info(nullptr);
        if (method == "NOTIFY") call->notify(nullptr);
        if (method == "REFER") call->refer(nullptr);
        const Sent sent = expectSent(method + " ");
        for (int code : answers) inject(responseTo(sent, code));
        EXPECT_EQ(events->taken(), heard);
        inject(request(method, call->getLocalTag().str(), "r1", "", callId, "z9hG4bK-in" + method, ++cseq));
        EXPECT_EQ(events->taken(), event);
        expectNothingSent();
        events->lastTransaction()->sendResponse(200);
        EXPECT_EQ(expectSent("SIP/2.0 200").message->getCSeqHeader()->getMethod(), method);
    }
    endDialog(call);
    wire.clear();

    // The peer no longer knows the dialog (481), or may still hold it (408,
    // no answer: our BYE then goes without waiting for its answer).
    // Sent last: the unanswered INVITE's 487 (after the NOTIFY's retransmissions when it had no answer) and the BYE.
    const std::tuple<const char*, int, const char*, std::string> endings[] = {
        {"481", 481, "call 481 notifyResponse 481 terminated", "487"},
        {"408", 408, "call 408 notifyResponse 408 terminated", "487 BYE"},
        {"no answer", 0, "terminated", "NOTIFY 487 BYE"}};
    for (const auto& [name, status, heard, last] : endings) {
        SCOPED_TRACE(name);
        receiveInvite();
        call->notify(nullptr);
        const Sent sent = expectSent("NOTIFY ");
        status ? inject(responseTo(sent, status)) : void(clock.advance(64 * NvSipTransactionManager::m_T1 + 1));
        Sent bye;
        const std::string sentThen = takeSent(&bye);
        EXPECT_EQ(sentThen.substr(sentThen.size() - last.size()), last) << sentThen;
        if (status != 481) inject(responseTo(bye, 200));
        EXPECT_EQ(dialog->getState(), NvSipDialog::NV_TERMINATED);
        EXPECT_EQ(events->taken(), heard);
        EXPECT_TRUE(call->getDialog().isNil());
    }
    EXPECT_EQ(dialogLog.count(Tellar::WARN, "Timed-out waiting for response to SIP request sent while call was "
                                            "connected (REFER/INFO/NOTIFY); disconnecting the call as the result."),
              1u);
}

// RFC 3261 12.2.1.1, 8.1.2: with a strict first hop (a loose one after it),
// requests go to their Request-URI, that router; so does our BYE sent again
// with credentials, its Request-URI and Route headers built as the first's.
TEST_F(DialogRequestTest, StrictFirstHopIsWhereRequestsGo_AlsoTheByeSentAgainWithCredentials) {
    TestCredentials credentials;
    receiveInvite("Record-Route: <sip:192.0.2.21>, <sip:192.0.2.22;lr>\r\n");
    call->answer(200, nullptr, nullptr, 0);
    inject(request("ACK", call->getLocalTag().str(), "r1", "", callId, "z9hG4bK-ack", 7));
    call->hangup();
    expectSent("SIP/2.0 200");
    const Sent bye = expectSent("BYE sip:192.0.2.21 SIP/2.0");
    const Sent again = injectExpecting(answer(bye, 401, "", "WWW-Authenticate: Digest realm=\"x\", nonce=\"1\"\r\n"),
                                       "BYE sip:192.0.2.21 SIP/2.0");
    for (const auto& [sent, cseq] : {std::pair(&bye, "8"), {&again, "9"}})
        EXPECT_EQ(summary(sent->message) + sent->destination.toString(),
                  "sip:192.0.2.21 | <sip:192.0.2.22;lr> <sip:alice@192.0.2.1:5070> | " + std::string(cseq) +
                      " BYE | <sip:192.0.2.10;transport=udp> | | 0 | udp:192.0.2.21:5060");
    EXPECT_EQ(valueOf(again.message, "Authorization"), "Digest username=\"a\"");
    inject(responseTo(again, 200));
    EXPECT_TRUE(call->getDialog().isNil());
}

// RFC 3261 12.2.2: a request of the peer whose CSeq is below the last one,
// or equal to it with another method, gets 500 whatever its method, and
// changes nothing.
TEST_F(DialogRequestTest, PeersRequestOutOfOrderGets500) {
    receiveInvite();  // CSeq 7
    const std::string ourTag = call->getLocalTag().str();
    const auto peers = [&](const std::string& method, int cseq) {
        return request(method, ourTag, "r1", "", callId, "z9hG4bK-" + method + std::to_string(cseq), cseq);
    };
    const std::tuple<std::string, int, const char*> rows[] = {  // what the application hears; "": refused
        {"INFO", 7, ""}, {"INFO", 6, ""},   {"NOTIFY", 9, "notifyRequest"}, {"INFO", 9, ""},
        {"BYE", 8, ""},  {"PRACK", 8, ""}, {"INVITE", 8, ""},              {"REFER", 10, "referRequest"}};
    for (const auto& [method, cseq, heard] : rows) {
        SCOPED_TRACE(method + " " + std::to_string(cseq));
        inject(peers(method, cseq));
        EXPECT_EQ(events->taken(), heard);
        if (*heard) events->lastTransaction()->sendResponse(200);
        EXPECT_EQ(cseqOf(expectSent(*heard ? "SIP/2.0 200" : "SIP/2.0 500").message), static_cast<uint32_t>(cseq));
        expectNothingSent();
    }
    EXPECT_EQ(dialog->getState(), NvSipDialog::NV_CALLED);
}

// RFC 3261 12.2.1.1: one dialog's requests leave in the order of their CSeq,
// whichever threads send them.
TEST_F(DialogRequestTest, ConcurrentRequestsLeaveInCSeqOrderRace) {
    receiveInvite();
    constexpr int kEach = 200;
    const auto send = [&] { for (int i = 0; i < kEach; ++i) dialog->info(nullptr); };
    std::thread other(send);
    send();
    other.join();
    ASSERT_EQ(wire.sentCount(), 2u * kEach);
    uint32_t next = 8, inOrder = 0;  // 8, 9, 10 ...
    for (const Sent& sent : wire.sent()) inOrder += cseqOf(sent.message) == next++;
    EXPECT_EQ(inOrder, 2u * kEach);
    wire.clear();
    transactions.clear();
}
