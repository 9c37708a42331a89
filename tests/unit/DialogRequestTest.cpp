// Requests a dialog sends (CSeq, Request-URI, route set, Contact, body) and
// the other in-dialog requests in both directions, on a UAS dialog made by
// the peer's INVITE: CSeq 7, Record-Route A, B, C, Contact alice:5070.

#include "CallManagerFlow.h"

#include "mlapi/NvSipCall.h"
#include "stack/log/TellarCapture.h"

namespace {

const std::string kRecordRoutes =
    "Record-Route: <sip:192.0.2.21;lr>, <sip:192.0.2.22;lr>\r\nRecord-Route: <sip:192.0.2.23;lr>\r\n";
const std::string kContact = "Contact: <sip:alice@192.0.2.1:5070>\r\n";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

// The values of every `H` header of a message, in order, joined by " | ".
template <class H>
std::string values(const NvHandle<NvSipMessage>& message) {
    std::string joined;
    for (const auto& header : message->getHeaders<H>()) joined += (joined.empty() ? "" : " | ") + header->getValue().str();
    return joined;
}

std::string requestUri(const NvHandle<NvSipMessage>& message) {
    return NvHandle<NvSipRequest>(message)->getURI()->toString().str();
}

// The call, recording what reaches onUnknownResponse ("INFO 200").
class RecordingCall : public NvSipIncomingCall {
public:
    using NvSipIncomingCall::NvSipIncomingCall;
    void onUnknownResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) override {
        unknownResponses += response->getCSeqHeader()->getMethod().str() + " " +
                            std::to_string(response->getStatusCode()) + ";";
        NvSipIncomingCall::onUnknownResponse(dialog, response);
    }
    std::string unknownResponses;
};

// The application, also recording the responses to its NOTIFY and REFER.
class RequestEvents : public RecordedIncomingEvents {
public:
    void notifyResponse(Call, NvHandle<NvSipResponse> response) override {
        responses += "notify " + std::to_string(response->getStatusCode()) + ";";
    }
    void referResponse(Call, NvHandle<NvSipResponse> response) override {
        responses += "refer " + std::to_string(response->getStatusCode()) + ";";
    }
    std::string responses;
};

}  // namespace

class DialogRequestTest : public CallManagerFlow {
protected:
    Tellar::LogCapture dialogLog{"lumbrook.nv.NvSipDialog", Tellar::DEBUG};
    Tellar::LogCapture interopLog{"lumbrook.sip.interop.ua", Tellar::INFO};
    NvHandle<RequestEvents> app = new RequestEvents;
    NvHandle<RecordingCall> call;
    NvHandle<NvSipDialog> dialog;
    std::string callId;  // of the last INVITE; each INVITE opens a new call

    void SetUp() override {
        CallManagerFlow::SetUp();
        NvSipCall::setLocalHostPort("192.0.2.10", 5060, NvSocketImpl::UDP);
    }
    // The peer's INVITE with `recordRoutes` and the `contact` line; the
    // dialog takes its remote target from it.
    void receiveInvite(const std::string& recordRoutes = kRecordRoutes, const std::string& contact = kContact) {
        NvHandle<NvSipInviteMessage> invite;
        newCall = [&](NvHandle<NvSipInviteMessage> received) {
            invite = received;
            call = new RecordingCall(received, app.get());
            return NvHandle<NvSipIncomingCall>(call);
        };
        callId += "c";
        std::string text = request("INVITE", "", "r1", recordRoutes, callId, "z9hG4bK-" + callId);
        inject(replaced(replaced(text, "CSeq: 1", "CSeq: 7"), "Contact: <sip:alice@192.0.2.1>\r\n", contact));
        newCall = nullptr;
        dialog = call->getDialog();
        dialog->updateRemoteTargetURI(invite);
        expectSent("SIP/2.0 100");
        app->taken();
    }
    // The next request we sent, which must be `method`.
    NvHandle<NvSipMessage> sentRequest(const std::string& method) { return expectSent(method + " ").message; }
    void TearDown() override {
        if (call) endDialog(call);
        app->lastTransaction = nullptr;
        call = nullptr;
        dialog = nullptr;
        CallManagerFlow::TearDown();
    }
};

TEST_F(DialogRequestTest, LocalCSeqFollowsTheInviteAndAckOrCancelTakeNoNumber) {
    receiveInvite();
    dialog->info(nullptr);
    EXPECT_EQ(sentRequest("INFO")->getCSeqHeader()->getNumber(), 8u);
    const NvHandle<NvSipRequest> cancel = dialog->createRequest("CANCEL", nullptr, nullptr, 0, nullptr);
    EXPECT_EQ(cancel->getCSeqHeader()->getNumber(), 7u);
    dialog->notify(nullptr);
    const NvHandle<NvSipMessage> notify = sentRequest("NOTIFY");
    EXPECT_EQ(notify->getCSeqHeader()->getNumber(), 9u);
    EXPECT_EQ(values<NvSipContentLengthHeader>(notify), "0");
    EXPECT_EQ(notify->getBody(), "");
}

TEST_F(DialogRequestTest, RouteSetOnTheWire) {
    struct Row {
        const char* name;
        std::string recordRoutes;
        bool fromOurInvitesAnswer;  // the route set as a UAC learns it from the 2xx
        const char* requestUri;
        const char* routes;
    };
    const Row rows[] = {
        {"UAS order", kRecordRoutes, false, "sip:alice@192.0.2.1:5070",
         "<sip:192.0.2.21;lr> | <sip:192.0.2.22;lr> | <sip:192.0.2.23;lr>"},
        {"UAC order", kRecordRoutes, true, "sip:alice@192.0.2.1:5070",
         "<sip:192.0.2.23;lr> | <sip:192.0.2.22;lr> | <sip:192.0.2.21;lr>"},
        {"strict first hop", "Record-Route: <sip:192.0.2.21>, <sip:192.0.2.22;lr>\r\n", false, "sip:192.0.2.21",
         "<sip:192.0.2.22;lr> | <sip:alice@192.0.2.1:5070>"},
        {"no Record-Route", "", false, "sip:alice@192.0.2.1:5070", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        receiveInvite(row.recordRoutes);
        if (row.fromOurInvitesAnswer) {
            const NvHandle<NvSipRequest> invite = dialog->getInitialTransaction()->getInitialRequest();
            dialog->setRouteInfo(NvHandle<NvSipMessage>(new NvSipResponse(200, invite)));
        }
        dialog->info(nullptr);
        const NvHandle<NvSipMessage> info = sentRequest("INFO");
        EXPECT_EQ(requestUri(info), row.requestUri);
        EXPECT_EQ(values<NvSipRouteHeader>(info), row.routes);
        endDialog(call);
    }
}

TEST_F(DialogRequestTest, RouteHeadersOfTheCallerWin) {
    receiveInvite();
    NvHandle<NvSipRequest> info = dialog->createRequest("INFO", nullptr, nullptr, 0, nullptr);
    info->removeHeader(NvSipHeaderID::Route);
    info->addHeader(new NvSipRouteHeader(NvSipNameAddress::sParse("<sip:192.0.2.30;lr>")));
    dialog->addRouteInfoToRequest(info);
    dialog->info(NvHandle<NvSipInfoMessage>(info));
    const Sent sent = expectSent("INFO ");
    EXPECT_EQ(values<NvSipRouteHeader>(sent.message), "<sip:192.0.2.30;lr>");
    EXPECT_EQ(sent.destination.toString(), "udp:192.0.2.30:5060");
}

TEST_F(DialogRequestTest, ContactIsTheCallersElseTheCallsDefault) {
    receiveInvite();
    const NvHandle<NvSipContactHeader> given(new NvSipContactHeader(NvSipNameAddress::sParse("<sip:me@192.0.2.10:5080>")));
    dialog->info(NvHandle<NvSipInfoMessage>(dialog->createRequest("INFO", nullptr, nullptr, 0, given)));
    EXPECT_EQ(values<NvSipContactHeader>(sentRequest("INFO")), "<sip:me@192.0.2.10:5080>");
    dialog->info(nullptr);
    EXPECT_EQ(values<NvSipContactHeader>(sentRequest("INFO")), "<sip:192.0.2.10;transport=udp>");
    EXPECT_EQ(dialogLog.count(Tellar::DEBUG, "NvSipDialog::CreateRequest : using the default Contact header"), 1u);
}

TEST_F(DialogRequestTest, RemoteTargetFromTheInvitesContact) {
    struct Row {
        std::string contact;
        const char* requestUri;
        size_t interopLines;
        size_t noContactWarnings;
        const char* inviteContactAfter;
    };
    const char* const tcpUrl = "<sip:alice@192.0.2.1:5070;transport=tcp>";
    const Row rows[] = {
        {"Contact: <sip:alice@192.0.2.1:5070;transport=tcp>\r\n", "sip:alice@192.0.2.1:5070;transport=tcp", 0, 0, tcpUrl},
        {"Contact: <sip:alice@192.0.2.1:5070>;transport=tcp\r\n", "sip:alice@192.0.2.1:5070;transport=tcp", 1, 0, tcpUrl},
        {"", "sip:alice@192.0.2.1", 0, 1, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.contact);
        receiveInvite(kRecordRoutes, row.contact);
        dialog->info(nullptr);
        EXPECT_EQ(requestUri(sentRequest("INFO")), row.requestUri);
        EXPECT_EQ(interopLog.count(Tellar::INFO, "The \"transport\" parameter is set as a Contact header parameter"),
                  row.interopLines);
        EXPECT_EQ(dialogLog.count(Tellar::WARN, "Received a SIP INVITE with no Contact"), row.noContactWarnings);
        EXPECT_EQ(dialogLog.count(Tellar::WARN, "Sending a SIP request : remote target URI not known"),
                  row.noContactWarnings);
        const NvHandle<NvSipInviteMessage> invite(dialog->getInitialTransaction()->getInitialRequest());
        EXPECT_EQ(values<NvSipContactHeader>(invite), row.inviteContactAfter);
        endDialog(call);
        interopLog.clear();
        dialogLog.clear();
    }
}

TEST_F(DialogRequestTest, OnlyResponsesToInviteChangeTheRemoteTarget) {
    receiveInvite();
    for (const char* method : {"BYE", "INFO", "INVITE"}) {
        NvHandle<NvSipResponse> response = new NvSipResponse(200, "OK");
        response->addHeader(new NvSipCSeqHeader(3, method));
        response->addHeader(new NvSipContactHeader(NvSipNameAddress::sParse("<sip:moved@192.0.2.2>")));
        dialog->updateRemoteTargetURI(response);
        dialog->info(nullptr);
        EXPECT_EQ(requestUri(sentRequest("INFO")),
                  std::string(method) == "INVITE" ? "sip:moved@192.0.2.2" : "sip:alice@192.0.2.1:5070")
            << method;
    }
}

TEST_F(DialogRequestTest, BodyWithItsTypeAndLength) {
    receiveInvite();
    dialog->info(NvHandle<NvSipInfoMessage>(
        dialog->createRequest("INFO", "application/dtmf-relay", "Signal=5\r\n", 10, nullptr)));
    const NvHandle<NvSipMessage> info = sentRequest("INFO");
    EXPECT_EQ(values<NvSipContentTypeHeader>(info), "application/dtmf-relay");
    EXPECT_EQ(values<NvSipContentLengthHeader>(info), "10");
    EXPECT_EQ(info->getBody(), "Signal=5\r\n");
}

TEST_F(DialogRequestTest, ResponsesToOurRequestsReachTheCall) {
    struct Row {
        const char* method;
        std::vector<int> answers;
        const char* toCall;
        const char* toApplication;
    };
    const Row rows[] = {
        {"INFO", {200}, "INFO 200;", ""},
        {"NOTIFY", {481}, "NOTIFY 481;", "notify 481;"},
        {"REFER", {100, 202}, "REFER 100;REFER 202;", "refer 100;refer 202;"},
    };
    receiveInvite();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.method);
        const std::string method = row.method;
        if (method == "INFO") dialog->info(nullptr);
        if (method == "NOTIFY") call->notify(nullptr);
        if (method == "REFER") call->refer(nullptr);
        const Sent sent = expectSent(method + " ");
        for (int code : row.answers) inject(responseTo(sent, code));
        EXPECT_EQ(call->unknownResponses, row.toCall);
        EXPECT_EQ(app->responses, row.toApplication);
        call->unknownResponses.clear();
        app->responses.clear();
    }
    EXPECT_NE(dialog->getState(), NvSipDialog::NV_TERMINATED);
}

TEST_F(DialogRequestTest, InfoTimeOutEndsTheDialogWithoutBye) {
    receiveInvite();
    dialog->info(nullptr);
    sentRequest("INFO");
    clock.advance(64 * NvSipTransactionManager::m_T1 + 1);
    for (const Sent& sent : wire.sent()) EXPECT_EQ(sent.bytes.substr(0, 5), "INFO ");
    wire.clear();
    EXPECT_EQ(dialogLog.count(Tellar::WARN, "Timed-out waiting for response to SIP request sent while call was "
                                            "connected (REFER/INFO/NOTIFY); disconnecting the call as the result."),
              1u);
    EXPECT_EQ(dialog->getState(), NvSipDialog::NV_TERMINATED);
    EXPECT_EQ(app->taken(), "terminated");
    EXPECT_TRUE(call->getDialog().isNil());
    EXPECT_EQ(manager.getDialogCount(), 0u);
}

TEST_F(DialogRequestTest, PeersRequestsReachTheApplicationUnanswered) {
    const std::pair<const char*, const char*> rows[] = {
        {"INFO", "unknownRequest"}, {"NOTIFY", "notifyRequest"}, {"REFER", "referRequest"}};
    receiveInvite();
    int branch = 0;
    for (const auto& [method, event] : rows) {
        SCOPED_TRACE(method);
        inject(request(method, call->getLocalTag().str(), "r1", "", callId, "z9hG4bK-in" + std::to_string(++branch)));
        EXPECT_EQ(app->taken(), event);
        expectNothingSent();
        ASSERT_FALSE(app->lastTransaction.isNil());
        app->lastTransaction->sendResponse(200);
        EXPECT_EQ(expectSent("SIP/2.0 200").message->getCSeqHeader()->getMethod(), method);
    }
}
