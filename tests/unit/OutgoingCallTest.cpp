// Outgoing calls as call flows: our INVITE is taken from the wire, the
// peer's responses are injected, and what the application hears is recorded.

#include "CallManagerFlow.h"

#include "mlapi/NvSipOutgoingCall.h"
#include "stack/auth/NvAuthenticationInterface.h"

#include <memory>
#include <string>

namespace {

// The application's interface of outgoing calls, recording each event's name.
class RecordedOutgoingEvents : public NvSipOutgoingCallinterface {
public:
    std::function<void(Call, Dialog, NvHandle<NvSipResponse>)> onRedirect;
    NvHandle<NvSipDialog> lastDialog;
    NvHandle<NvSipMessage> lastMessage;

    void reliableProvisionalResponse(Call, Dialog d, NvHandle<NvSipResponse> r) override { record("reliable", d, r); }
    void provisionalResponse(Call, Dialog d, NvHandle<NvSipResponse> r) override { record("provisional", d, r); }
    void failedToConnect(Call, Dialog d, NvHandle<NvSipResponse> r) override { record("failedToConnect", d, r); }
    void redirect(Call call, Dialog d, NvHandle<NvSipResponse> r) override {
        record("redirect", d, r);
        if (onRedirect) onRedirect(call, d, r);
    }
    void succeeded(Call, Dialog d, NvHandle<NvSipResponse> r) override { record("succeeded", d, r); }
    void dialogTerminated(Call, Dialog d, NvHandle<NvSipMessage> m) override { record("dialogTerminated", d, m); }
    void terminated(Call, NvHandle<NvSipMessage> m) override { record("terminated", lastDialog, m); }
    void multipleResponse(Call, Dialog d, NvHandle<NvSipResponse> r) override { record("multipleResponse", d, r); }
    void reinviteRequest(Call, Dialog d, NvHandle<NvSipInviteMessage> i) override { record("reinviteRequest", d, i); }
    void replacesDialog(Call, Dialog made, Dialog, NvHandle<NvSipInviteMessage> i) override {
        record("replacesDialog", made, i);
    }
    void onSessionRefreshTime(Call, Dialog d) override { record("onSessionRefreshTime", d, nullptr); }
    void onSessionTimeOut(Call, Dialog d) override { record("onSessionTimeOut", d, nullptr); }

    std::string taken() {
        std::string joined;
        joined.swap(m_Events);
        return joined;
    }

private:
    void record(const std::string& event, const Dialog& dialog, const NvHandle<NvSipMessage>& message) {
        m_Events += (m_Events.empty() ? "" : " ") + event;
        lastDialog = dialog;
        lastMessage = message;
    }
    std::string m_Events;
};

// Answers every 401 or 407 with a made-up Authorization or Proxy-Authorization.
class TestCredentials : public NvAuthenticationInterface {
public:
    NvHandle<NvSipResponse> request(NvHandle<NvSipRequest>) override { return nullptr; }
    bool response(NvHandle<NvSipResponse> challenge, NvHandle<NvSipRequest> request) override {
        const int status = challenge->getStatusCode();
        if (status != 401 && status != 407) return false;
        const char* name = status == 407 ? "Proxy-Authorization" : "Authorization";
        request->removeHeader(name);
        request->addHeader(NvSipHeader::sCreate(name, "Digest username=\"a\""));
        return true;
    }
};

class OutgoingCallTest : public CallManagerFlow {
protected:
    NvHandle<RecordedOutgoingEvents> outgoing = new RecordedOutgoingEvents;
    NvHandle<NvSipOutgoingCall> call;
    Sent invite;

    void SetUp() override {
        CallManagerFlow::SetUp();
        NvSipCall::setLocalHostPort("192.0.2.10", 5060, NvSocketImpl::UDP);
    }
    void TearDown() override {
        call = nullptr;
        outgoing->lastDialog = nullptr;
        CallManagerFlow::TearDown();
    }

    // Calls sip:bob@192.0.2.1 (`extra` header lines go into the INVITE) and
    // takes the INVITE from the wire.
    void dial(const std::string& extra = "") {
        NvHandle<NvSipInviteMessage> request(
            message("INVITE sip:bob@192.0.2.1 SIP/2.0\r\nFrom: <sip:alice@192.0.2.10>\r\nTo: <sip:bob@192.0.2.1>\r\n"
                    "Call-ID: out-" + std::to_string(++s_Calls) + "\r\nCSeq: 7 INVITE\r\n" + extra +
                    "Content-Length: 0\r\n\r\n"));
        call = new NvSipOutgoingCall(request, outgoing.get(), nullptr);
        invite = expectSent("INVITE sip:bob@192.0.2.1");
    }
    static NvHandle<NvSipMessage> message(const std::string& text) {
        NvByteArrayInputStream in(text);
        return NvSipMessage::sConstructFrom(in);
    }
    // The peer's response to `request` with To tag `toTag`, Contact
    // sip:bob@192.0.2.1 (or `contactUser`@) and `extra` header lines.
    static std::string answer(const Sent& request, int code, const std::string& toTag, const std::string& extra = "",
                              const std::string& contactUser = "bob") {
        NvHandle<NvSipResponse> response = new NvSipResponse(code, NvHandle<NvSipRequest>(request.message));
        if (!toTag.empty()) response->getToHeader()->setTag(toTag);
        std::string text = response->toString();
        text.insert(text.find("\r\n") + 2, "Contact: <sip:" + contactUser + "@192.0.2.1>\r\n" + extra);
        return text;
    }
    static std::string header(const Sent& sent, const char* name) {
        NvHandle<NvSipHeader> found = sent.message->mGetHeader(name);
        return found.isNil() ? "" : found->getValue().str();
    }
    static uint32_t cseqOf(const Sent& sent) { return sent.message->getCSeqHeader()->getNumber(); }
    static std::string toTagOf(const Sent& sent) { return sent.message->getToHeader()->getTag().str(); }
    // Hangs up and answers every BYE with 200; returns the events heard.
    std::string hangUp() {
        call->hangup();
        while (wire.sentCount() > 0) {
            Sent sent = wire.takeNext();
            if (sent.bytes.rfind("BYE ", 0) == 0) inject(responseTo(sent, 200));
        }
        return outgoing->taken();
    }
    static int s_Calls;
};
int OutgoingCallTest::s_Calls = 0;

TEST_F(OutgoingCallTest, RingingThenAnswered_AckCarriesTheInviteCSeqAndTheToTag) {
    dial();
    inject(answer(invite, 180, "a0"));  // an early dialog the 200 does not confirm
    EXPECT_EQ(outgoing->taken(), "provisional");
    inject(answer(invite, 200, "a1", "", "bob2"));
    EXPECT_EQ(outgoing->taken(), "succeeded");
    expectNothingSent();

    call->ack(nullptr);
    Sent ack = expectSent("ACK sip:bob2@192.0.2.1");
    EXPECT_EQ(cseqOf(ack), cseqOf(invite));
    EXPECT_EQ(toTagOf(ack), "a1");
    EXPECT_NE(ack.message->getTopVia()->getBranch(), invite.message->getTopVia()->getBranch());
    call->ack(nullptr);  // nothing left to acknowledge
    expectNothingSent();
    EXPECT_EQ(hangUp(), "dialogTerminated terminated");
}

TEST_F(OutgoingCallTest, ReliableProvisional_PrackCarriesRAck) {
    dial("Supported: 100rel\r\n");
    inject(answer(invite, 183, "a1", "Require: 100rel\r\nRSeq: 5\r\n"));
    EXPECT_EQ(outgoing->taken(), "reliable");
    inject(answer(invite, 180, "a1"));  // waits for our PRACK
    EXPECT_EQ(outgoing->taken(), "");

    call->prack(nullptr);
    Sent prack = expectSent("PRACK sip:bob@192.0.2.1");
    EXPECT_EQ(header(prack, "RAck"), "5 7 INVITE");
    EXPECT_EQ(cseqOf(prack), 8u);
    EXPECT_EQ(toTagOf(prack), "a1");
    call->prack(nullptr);  // "Wrong state to send PRACK !" is only written down
    expectNothingSent();

    inject(answer(invite, 200, "a1"));
    EXPECT_EQ(outgoing->taken(), "succeeded");
    EXPECT_EQ(hangUp(), "dialogTerminated terminated");
}

// A final failure ends the call's only dialog; the stack ACKs it.
struct FinalFailure {
    int status;
    const char* events;
};
class OutgoingFinalFailureTest : public OutgoingCallTest, public ::testing::WithParamInterface<FinalFailure> {};

TEST_P(OutgoingFinalFailureTest, EndsTheCall) {
    dial();
    inject(answer(invite, GetParam().status, "a1"));
    expectSent("ACK sip:bob@192.0.2.1");
    EXPECT_EQ(outgoing->taken(), GetParam().events);
    EXPECT_EQ(outgoing->lastMessage.cast<NvSipResponse>()->getStatusCode(), GetParam().status);
    EXPECT_TRUE(call->allDialogsTerminated());
}

INSTANTIATE_TEST_SUITE_P(Statuses, OutgoingFinalFailureTest,
                         ::testing::Values(FinalFailure{486, "failedToConnect terminated"},
                                           FinalFailure{603, "failedToConnect terminated"},
                                           FinalFailure{487, "dialogTerminated terminated"},
                                           FinalFailure{302, "redirect terminated"}));

TEST_F(OutgoingCallTest, Redirect_NextContactTriedOnce) {
    NvHandle<NvSipDialog> next, again;
    outgoing->onRedirect = [&](RecordedOutgoingEvents::Call redirected, RecordedOutgoingEvents::Dialog,
                               NvHandle<NvSipResponse> response) {
        NvHandle<NvSipNameAddress> contact = response->getHeader<NvSipContactHeader>()->getNameAddress();
        next = redirected->tryCalling(contact, nullptr, nullptr, 0, nullptr);
        again = redirected->tryCalling(contact, nullptr, nullptr, 0, nullptr);
    };
    dial();
    inject(answer(invite, 302, "a1", "", "carol"));
    expectSent("ACK sip:bob@192.0.2.1");
    Sent second = expectSent("INVITE sip:carol@192.0.2.1");
    EXPECT_EQ(outgoing->taken(), "redirect");
    EXPECT_FALSE(next.isNil());
    EXPECT_TRUE(again.isNil());
    EXPECT_EQ(second.message->getCallID(), invite.message->getCallID());
    EXPECT_EQ(second.message->getFromHeader()->getTag(), invite.message->getFromHeader()->getTag());

    inject(answer(second, 486, "c1"));
    expectSent("ACK sip:carol@192.0.2.1");
    EXPECT_EQ(outgoing->taken(), "failedToConnect terminated");
}

class OutgoingChallengeTest : public OutgoingCallTest, public ::testing::WithParamInterface<int> {
protected:
    TestCredentials credentials;
    NvAuthenticationInterface* saved = NvSipCallManager::smp_AuthInterface;
    void SetUp() override {
        OutgoingCallTest::SetUp();
        NvSipCallManager::smp_AuthInterface = &credentials;
    }
    void TearDown() override {
        NvSipCallManager::smp_AuthInterface = saved;
        OutgoingCallTest::TearDown();
    }
};

TEST_P(OutgoingChallengeTest, RetriedWithCredentialsOnce) {
    dial("Session-Expires: 1800\r\n");
    inject(answer(invite, GetParam(), "a1"));
    expectSent("ACK sip:bob@192.0.2.1");
    Sent retry = expectSent("INVITE sip:bob@192.0.2.1");
    EXPECT_EQ(outgoing->taken(), "");
    EXPECT_EQ(cseqOf(retry), cseqOf(invite) + 1);
    EXPECT_NE(retry.message->getTopVia()->getBranch(), invite.message->getTopVia()->getBranch());
    const char* credentialsHeader = GetParam() == 407 ? "Proxy-Authorization" : "Authorization";
    EXPECT_FALSE(retry.message->mGetHeader(credentialsHeader).isNil());
    for (const NvHandle<NvSipHeader>& line : invite.message->getHeaders())
        EXPECT_EQ(retry.message->countHeaders(line->getID()), invite.message->countHeaders(line->getID()))
            << line->getName().str();
    EXPECT_EQ(retry.message->getHeaders().size(), invite.message->getHeaders().size() + 1);

    inject(answer(retry, 486, "a2"));
    expectSent("ACK sip:bob@192.0.2.1");
    EXPECT_EQ(outgoing->taken(), "failedToConnect terminated");
}

INSTANTIATE_TEST_SUITE_P(Challenges, OutgoingChallengeTest, ::testing::Values(401, 407));

TEST_F(OutgoingCallTest, ForkedAnswers_SecondTwoHundredMakesItsOwnDialog) {
    dial();
    inject(answer(invite, 200, "a1"));
    EXPECT_EQ(outgoing->taken(), "succeeded");
    NvHandle<NvSipDialog> first = outgoing->lastDialog;
    call->ack(nullptr);
    Sent firstAck = expectSent("ACK sip:bob@192.0.2.1");

    // Both reach the call manager as responses of no transaction.
    const std::string fork = answer(invite, 200, "b1", "", "bob2");
    inject(fork);
    EXPECT_EQ(outgoing->taken(), "multipleResponse");
    NvHandle<NvSipDialog> second = outgoing->lastDialog;
    ASSERT_NE(second.get(), first.get());
    EXPECT_EQ(call->getDialogs().size(), 2u);
    EXPECT_EQ(second->getKey(), NvSipDialog::sBuildKey(invite.message->getCallID().c_str(),
                                                       invite.message->getFromHeader()->getTag().c_str(), "b1"));
    second->ack(NvHandle<NvSipResponse>(message(fork)));
    Sent secondAck = expectSent("ACK sip:bob2@192.0.2.1");
    EXPECT_EQ(toTagOf(secondAck), "b1");
    EXPECT_EQ(cseqOf(secondAck), cseqOf(invite));

    inject(answer(invite, 200, "a1"));  // retransmitted: our ACK again
    EXPECT_EQ(expectSent("ACK sip:bob@192.0.2.1").bytes, firstAck.bytes);
    EXPECT_EQ(outgoing->taken(), "");
    EXPECT_EQ(hangUp(), "dialogTerminated dialogTerminated terminated");
}

TEST_F(OutgoingCallTest, CancelledWhileRinging_487IsAcknowledged) {
    dial();
    inject(answer(invite, 180, "a1"));
    EXPECT_EQ(outgoing->taken(), "provisional");
    call->getDialogs().front()->cancel(nullptr);
    Sent cancel = expectSent("CANCEL sip:bob@192.0.2.1");
    EXPECT_EQ(cseqOf(cancel), cseqOf(invite));
    EXPECT_EQ(cancel.message->getTopVia()->getBranch(), invite.message->getTopVia()->getBranch());

    inject(answer(cancel, 200, "a1"));
    inject(answer(invite, 487, "a1"));
    expectSent("ACK sip:bob@192.0.2.1");
    EXPECT_EQ(outgoing->taken(), "dialogTerminated terminated");
}

TEST_F(OutgoingCallTest, NoAnswer_TimesOutAfter64T1) {
    dial();
    clock.advance(64 * NvSipTransactionManager::m_T1);
    EXPECT_EQ(outgoing->taken(), "failedToConnect terminated");
    EXPECT_TRUE(outgoing->lastMessage.isNil());
    EXPECT_TRUE(call->allDialogsTerminated());
    wire.clear();  // the INVITE's retransmissions
}

TEST_F(OutgoingCallTest, SessionIntervalTooSmall_SentAgainWithMinSE) {
    dial("Session-Expires: 30\r\n");
    inject(answer(invite, 422, "a1", "Min-SE: 90\r\n"));
    expectSent("ACK sip:bob@192.0.2.1");
    Sent retry = expectSent("INVITE sip:bob@192.0.2.1");
    EXPECT_EQ(header(retry, "Session-Expires"), "90");
    EXPECT_EQ(retry.message->countHeaders(NvSipHeaderID::SessionExpires), 1u);
    EXPECT_EQ(cseqOf(retry), cseqOf(invite) + 1);
    EXPECT_EQ(outgoing->taken(), "");

    inject(answer(retry, 486, "a2"));
    expectSent("ACK sip:bob@192.0.2.1");
    EXPECT_EQ(outgoing->taken(), "failedToConnect terminated");
}

// A final answer on one branch cancels the branches still ringing.
struct OtherBranches {
    int status;
    const char* events;
};
class OutgoingBranchesTest : public OutgoingCallTest, public ::testing::WithParamInterface<OtherBranches> {};

TEST_P(OutgoingBranchesTest, FinalAnswerCancelsTheRingingBranch) {
    dial();
    call->tryCalling(NvSipNameAddress::sParse("<sip:carol@192.0.2.1>"), nullptr, nullptr, 0, nullptr);
    Sent carol = expectSent("INVITE sip:carol@192.0.2.1");
    inject(answer(carol, 180, "c1"));
    inject(answer(invite, GetParam().status, "a1"));
    if (GetParam().status >= 300) expectSent("ACK sip:bob@192.0.2.1");
    EXPECT_EQ(cseqOf(expectSent("CANCEL sip:carol@192.0.2.1")), cseqOf(carol));
    EXPECT_EQ(outgoing->taken(), std::string("provisional ") + GetParam().events);

    inject(answer(carol, 487, "c1"));
    expectSent("ACK sip:carol@192.0.2.1");
    EXPECT_EQ(outgoing->taken(), GetParam().status >= 300 ? "dialogTerminated terminated" : "dialogTerminated");
    if (GetParam().status < 300) {
        EXPECT_EQ(hangUp(), "dialogTerminated terminated");
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, OutgoingBranchesTest,
                         ::testing::Values(OtherBranches{200, "succeeded"}, OtherBranches{603, "failedToConnect"}));

TEST_F(OutgoingCallTest, BuiltFromParts_InviteCarriesTheCallsIdentity) {
    NvHandle<NvSipNameAddress> bob = NvSipNameAddress::sParse("Bob <sip:bob@192.0.2.1>;x=1");
    call = new NvSipOutgoingCall(bob->getURL(), bob, NvSipNameAddress::sParse("<sip:alice@192.0.2.10>"), nullptr,
                                 "application/sdp", "v=0\r\n", 5, outgoing.get());
    invite = expectSent("INVITE sip:bob@192.0.2.1");
    EXPECT_EQ(invite.message->getFromHeader()->getTag(), call->getLocalTag());
    EXPECT_EQ(header(invite, "To"), "Bob <sip:bob@192.0.2.1>");
    EXPECT_EQ(invite.message->getCallID(), call->getCallID());
    EXPECT_NE(header(invite, "Contact").find("sip:192.0.2.10"), std::string::npos);
    EXPECT_EQ(invite.message->getBody(), "v=0\r\n");
    EXPECT_TRUE(call->tryCalling(NvSipNameAddress::sParse("Robert <sip:bob@192.0.2.1>"), nullptr, nullptr, 0, nullptr)
                    .isNil());
    expectNothingSent();
    inject(answer(invite, 486, "a1"));
    expectSent("ACK sip:bob@192.0.2.1");
    EXPECT_EQ(outgoing->taken(), "failedToConnect terminated");
}

TEST_F(OutgoingCallTest, MissingParts_RaiseBeforeAnythingIsSent) {
    NvHandle<NvSipNameAddress> bob = NvSipNameAddress::sParse("<sip:bob@192.0.2.1>");
    const struct {
        std::function<void()> construct;
        const char* text;
    } rows[] = {
        {[&] { NvSipOutgoingCall(nullptr, nullptr, nullptr); }, "NIL handle to Outgoing Call Interface"},
        {[&] { NvSipOutgoingCall(nullptr, outgoing.get(), nullptr); }, "INVITE message is not provided"},
        {[&] { NvSipOutgoingCall(bob->getURL(), nullptr, bob, nullptr, nullptr, nullptr, 0, outgoing.get()); },
         "Remote participant is not specified"},
    };
    for (const auto& row : rows) {
        try {
            row.construct();
            ADD_FAILURE() << "no exception; expected " << row.text;
        } catch (NvHandle<NvException>& error) {
            EXPECT_EQ(error->getMessage(), row.text);
        }
    }
    expectNothingSent();
}

TEST_F(OutgoingCallTest, SessionTimer_RefreshedByUsWhenTheAnswerSaysSo) {
    NvSipDialog::sm_bSupportTimer = true;
    const std::shared_ptr<void> restore(nullptr, [](void*) { NvSipDialog::sm_bSupportTimer = false; });
    dial();
    EXPECT_TRUE(invite.message->isSupported("timer"));
    inject(answer(invite, 200, "a1", "Require: timer\r\nSession-Expires: 90;refresher=uac\r\n"));
    call->ack(nullptr);
    expectSent("ACK sip:bob@192.0.2.1");
    EXPECT_EQ(outgoing->taken(), "succeeded");
    clock.advance(44999);
    EXPECT_EQ(outgoing->taken(), "");
    clock.advance(1);
    EXPECT_EQ(outgoing->taken(), "onSessionRefreshTime");
    clock.advance(35000);  // 10 s before the end of the interval
    EXPECT_EQ(outgoing->taken(), "onSessionTimeOut");
    EXPECT_EQ(hangUp(), "dialogTerminated terminated");
}

TEST_F(OutgoingCallTest, ReplacesAccepted_NewDialogTakesTheCallOver) {
    dial();
    inject(answer(invite, 200, "a1"));
    NvHandle<NvSipDialog> replaced = outgoing->lastDialog;
    call->ack(nullptr);
    expectSent("ACK sip:bob@192.0.2.1");
    const std::string ourTag = invite.message->getFromHeader()->getTag().str();
    inject(request("INVITE", "", "r2",
                   "Replaces: " + invite.message->getCallID().str() + ";to-tag=" + ourTag + ";from-tag=a1\r\n",
                   "rep-1"));
    expectSent("SIP/2.0 100");
    EXPECT_EQ(outgoing->taken(), "succeeded replacesDialog");
    NvHandle<NvSipDialog> made = outgoing->lastDialog;
    call->acceptReplaces();
    EXPECT_EQ(call->getCallID(), "rep-1");
    ASSERT_EQ(call->getDialogs().size(), 1u);
    EXPECT_EQ(call->getDialogs().front().get(), made.get());
    made->sendResponse(200, nullptr, nullptr, 0);
    expectSent("SIP/2.0 200");
    inject(request("ACK", ourTag, "r2", "", "rep-1", "z9hG4bK-ack2"));

    replaced->hangup(nullptr);  // still the application's to end
    EXPECT_EQ(hangUp(), "dialogTerminated dialogTerminated terminated");
}

TEST_F(OutgoingCallTest, PeersReinvite_AnsweredThroughTheCall) {
    dial();
    inject(answer(invite, 200, "a1"));
    call->ack(nullptr);
    expectSent("ACK sip:bob@192.0.2.1");
    const std::string ourTag = invite.message->getFromHeader()->getTag().str();
    inject(request("INVITE", ourTag, "a1", "", invite.message->getCallID().str(), "z9hG4bK-re1"));
    EXPECT_EQ(outgoing->taken(), "succeeded reinviteRequest");
    expectSent("SIP/2.0 100");
    call->respondToReinvite(200, nullptr, nullptr, 0);
    expectSent("SIP/2.0 200");
    inject(request("ACK", ourTag, "a1", "", invite.message->getCallID().str(), "z9hG4bK-re1ack"));
    EXPECT_EQ(hangUp(), "dialogTerminated terminated");
}

}  // namespace
