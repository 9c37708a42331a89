// Incoming calls as call flows: the peer's INVITE, our answers and their
// retransmission, PRACK, CANCEL, ACK, BYE and re-INVITE, with what goes on
// the wire and what the application hears.

#include "CallManagerFlow.h"

#include "mlapi/NvSipCall.h"
#include "stack/sip/NvSipHeaders.h"

namespace {

// The incoming-call events RecordedIncomingEvents does not record.
class CallEvents : public RecordedIncomingEvents {
public:
    std::vector<std::string> more;
    NvHandle<NvSipMessage> lastTerminated;
    void reinviteRequest(Call, NvHandle<NvSipInviteMessage>) override { more.push_back("reinviteRequest"); }
    void reinviteAck(Call, NvHandle<NvSipAckMessage>) override { more.push_back("reinviteAck"); }
    void reinviteCancel(Call, NvHandle<NvSipRequest>) override { more.push_back("reinviteCancel"); }
    void onSessionRefreshTime(Call) override { more.push_back("refresh"); }
    void onSessionTimeOut(Call) override { more.push_back("expiry"); }
};

template <class Operation>
std::string raised(Operation operation) {
    try {
        operation();
    } catch (const NvHandle<NvException>& error) {
        return error->getMessage().str();
    }
    return "";
}

std::string withCSeq(std::string text, int number) {
    return text.replace(text.find("CSeq: 1 "), 8, "CSeq: " + std::to_string(number) + " ");
}

template <class Header>
uint32_t numberOf(const NvSipTestTransport::Sent& sent) {
    NvHandle<Header> header = sent.message->getHeader<Header>();
    return header.isNil() ? 0 : header->getNumber();
}

class IncomingCallTest : public CallManagerFlow {
protected:
    NvHandle<CallEvents> callEvents = new CallEvents;
    NvHandle<NvSipIncomingCall> call;
    NvHandle<NvSipInviteMessage> invite;

    static void SetUpTestSuite() { NvSipCall::setLocalHostPort("192.0.2.10", 5060, NvSocketImpl::UDP, "bob"); }
    void SetUp() override {
        CallManagerFlow::SetUp();
        events = callEvents;
        events->onTerminated = [this](auto, NvHandle<NvSipMessage> message) {
            callEvents->lastTerminated = message;
        };
        newCall = [this](NvHandle<NvSipInviteMessage> received) {
            invite = received;
            return call = new NvSipIncomingCall(received, callEvents.get());
        };
    }
    void TearDown() override {
        NvSipDialog::sm_bSupportTimer = false;
        invite = nullptr;
        callEvents->lastTerminated = nullptr;
        CallManagerFlow::TearDown();
        if (!call.isNil()) endDialog(call);  // after a failure: keeps it out of the next test
        call = nullptr;
    }

    // A request of the peer in the call (our tag in To), CSeq `cseq`.
    std::string inCall(const std::string& method, int cseq, const std::string& branch, const std::string& extra = "") {
        return withCSeq(request(method, call->getLocalTag().str(), "r1", extra, "c1", branch), cseq);
    }
    void receiveInvite(const std::string& extra = "") {
        inject(request("INVITE", "", "r1", extra));
        expectSent("SIP/2.0 100");
        ASSERT_EQ(events->taken(), "inviteRequest");
    }
    void confirm() {
        inject(inCall("ACK", 1, "z9hG4bK-ack"));
        EXPECT_EQ(events->taken(), "callConfirmed");
    }
    void peerHangsUp(int cseq) {
        inject(inCall("BYE", cseq, "z9hG4bK-bye"));
        EXPECT_EQ(events->taken(), "terminated");
        EXPECT_EQ(callEvents->lastTerminated->toString().substr(0, 4), "BYE ");
        call->respondToBye(nullptr);
        expectSent("SIP/2.0 200");
    }
    void expectSentAfter(uint64_t ms, const std::string& startLine) {
        clock.advance(ms - 1);
        expectNothingSent();
        clock.advance(1);
        expectSent(startLine);
    }
};

TEST_F(IncomingCallTest, RingingAnswerAckByeThenTheCallIsGone) {
    receiveInvite("Session-Expires: 20\r\n");  // the minimum: taken
    call->answer(180, nullptr, nullptr, 0);
    expectSent("SIP/2.0 180");
    const char sdp[] = "v=0\r\n";
    call->answer(200, sdp, "application/sdp", sizeof sdp - 1);
    const Sent ok = expectSent("SIP/2.0 200");
    EXPECT_EQ(ok.message->getBody(), sdp);
    EXPECT_NE(ok.bytes.find("Contact: <sip:bob@192.0.2.10;transport=udp>"), std::string::npos) << ok.bytes;
    call->answer(180, nullptr, nullptr, 0);  // too late: not sent
    confirm();
    peerHangsUp(2);
    EXPECT_EQ(raised([&] { call->answer(200, nullptr, nullptr, 0); }), "Dialog does not exist !!!");
}

TEST_F(IncomingCallTest, UnacknowledgedResponsesAreSentAgainUntil64T1) {
    const struct {
        bool reliable;
        std::vector<uint64_t> intervals;  // T1 = 500 ms
        const char* giveUp;               // sent after 64*T1, "" for none
    } cases[] = {
        {false, {500, 1000, 2000, 4000, 4000, 4000, 4000, 4000, 4000, 4000}, ""},
        {true, {500, 1000, 2000, 4000, 8000, 16000}, "SIP/2.0 504"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reliable);
        receiveInvite("Supported: 100rel\r\n");
        const char* startLine = c.reliable ? "SIP/2.0 180" : "SIP/2.0 200";
        if (c.reliable)
            call->sendReliableProvisionalResponse(180, nullptr, nullptr, 0);
        else
            call->answer(200, nullptr, nullptr, 0);
        expectSent(startLine);
        for (uint64_t interval : c.intervals) expectSentAfter(interval, startLine);
        if (c.reliable) {
            expectSentAfter(500, c.giveUp);
            inject(inCall("ACK", 1, "z9hG4bK-p1"));
        } else {
            clock.advance(500);
            expectNothingSent();
        }
        EXPECT_EQ(events->taken(), "terminated");
        EXPECT_TRUE(callEvents->lastTerminated.isNil() != c.reliable);
        wire.clear();
    }
}

TEST_F(IncomingCallTest, InviteLeftUnansweredIsAnswered408WhenItsTransactionTimesOut) {
    receiveInvite();
    expectSentAfter(NvSipServerTransaction::sm_ProceedingTimeoutMs, "SIP/2.0 408");
    EXPECT_EQ(events->taken(), "terminated");
    EXPECT_TRUE(callEvents->lastTerminated.isNil());
}

TEST_F(IncomingCallTest, ReliableProvisionalResponsesAreNumberedAndAcknowledgedByPrack) {
    receiveInvite("Supported: 100rel\r\n");
    call->sendReliableProvisionalResponse(180, nullptr, nullptr, 0);
    EXPECT_EQ(numberOf<NvSipRSeqHeader>(expectSent("SIP/2.0 180")), 1u);
    inject(inCall("PRACK", 2, "z9hG4bK-pr1", "RAck: 7 1 INVITE\r\n"));
    expectSent("SIP/2.0 481");
    inject(inCall("PRACK", 3, "z9hG4bK-pr2", "RAck: 1 1 INVITE\r\n"));
    expectSent("SIP/2.0 200");
    EXPECT_EQ(events->taken(), "prack");
    clock.advance(NvSipTransactionManager::m_T1 * 4);
    expectNothingSent();

    call->sendReliableProvisionalResponse(183, nullptr, nullptr, 0);
    EXPECT_EQ(numberOf<NvSipRSeqHeader>(expectSent("SIP/2.0 183")), 2u);
    inject(inCall("PRACK", 4, "z9hG4bK-pr3", "RAck: 2 1 INVITE\r\n"));
    expectSent("SIP/2.0 200");
    NvHandle<NvSipResponse> stale = new NvSipResponse(183, NvHandle<NvSipRequest>(invite));
    stale->addHeader(new NvSipRSeqHeader(1));
    EXPECT_EQ(raised([&] { call->sendReliableProvisionalResponse(stale); }), "RSeq Num is out of order");

    call->answer(486, nullptr, nullptr, 0);
    expectSent("SIP/2.0 486");
    inject(inCall("ACK", 1, "z9hG4bK-p1"));
    EXPECT_EQ(events->taken(), "prack terminated");
}

TEST_F(IncomingCallTest, CancelWhileRingingAnswers487AndItsAckEndsTheCall) {
    receiveInvite();
    call->answer(180, nullptr, nullptr, 0);
    expectSent("SIP/2.0 180");
    inject(request("CANCEL", "", "r1"));
    EXPECT_NE(expectSent("SIP/2.0 200").bytes.find("CANCEL"), std::string::npos);
    expectSent("SIP/2.0 487");
    EXPECT_EQ(events->taken(), "terminated");
    EXPECT_EQ(callEvents->lastTerminated->toString().substr(0, 6), "CANCEL");
    inject(inCall("ACK", 1, "z9hG4bK-p1"));
    EXPECT_EQ(events->taken(), "terminated");
}

TEST_F(IncomingCallTest, SessionExpiresBelowTheMinimumIsRefusedWith422AndMinSE) {
    inject(request("INVITE", "", "r1", "Session-Expires: 19\r\n"));
    expectSent("SIP/2.0 100");
    EXPECT_EQ(numberOf<NvSipMinSEHeader>(expectSent("SIP/2.0 422")), 20u);
    EXPECT_EQ(events->taken(), "");
    inject(inCall("ACK", 1, "z9hG4bK-p1"));
    EXPECT_EQ(events->taken(), "terminated");
}

TEST_F(IncomingCallTest, SessionTimerNegotiatedInOur200Runs_ARefusedAnswerSendsNothing) {
    NvSipDialog::sm_bSupportTimer = true;
    receiveInvite("Session-Expires: 1800\r\n");
    NvHandle<NvSipResponse> longer = new NvSipResponse(200, NvHandle<NvSipRequest>(invite));
    longer->addHeader(new NvSipSessionExpiresHeader(3600));
    EXPECT_EQ(raised([&] { call->answer(longer); }), "Server can't increase session time");
    expectNothingSent();
    call->answer(200, nullptr, nullptr, 0);
    const std::string ok = expectSent("SIP/2.0 200").bytes;
    EXPECT_NE(ok.find("Session-Expires: 1800;refresher=uas"), std::string::npos) << ok;
    EXPECT_NE(ok.find("Supported: timer"), std::string::npos) << ok;
    confirm();
    clock.advance(900 * 1000 - 1);
    EXPECT_TRUE(callEvents->more.empty());
    clock.advance(890 * 1000 + 1);
    EXPECT_EQ(callEvents->more, (std::vector<std::string>{"refresh", "expiry"}));
    peerHangsUp(2);
}

TEST_F(IncomingCallTest, RetransmittedInviteGetsTheSameAnswerAndNoSecondCall) {
    receiveInvite();
    inject(request("INVITE", "", "r1"));  // absorbed by its transaction
    expectSent("SIP/2.0 100");
    call->answer(200, nullptr, nullptr, 0);
    const std::string ok = expectSent("SIP/2.0 200").bytes;
    inject(request("INVITE", "", "r1", "", "c1", "z9hG4bK-other"));
    EXPECT_EQ(expectSent("SIP/2.0 200").bytes, ok);
    expectNothingSent();
    EXPECT_EQ(events->taken(), "");
    confirm();
    peerHangsUp(2);
}

TEST_F(IncomingCallTest, ReinviteAnswerIsSentAgainUntilItsAckOrEndsTheSessionWithBye) {
    receiveInvite();
    call->answer(200, nullptr, nullptr, 0);
    expectSent("SIP/2.0 200");
    inject(inCall("INVITE", 2, "z9hG4bK-re1"));  // before the ACK: left unanswered
    expectNothingSent();
    confirm();
    inject(inCall("INVITE", 2, "z9hG4bK-re1"));  // its retransmission is taken now
    expectSent("SIP/2.0 100");
    call->respondToReinvite(200, nullptr, nullptr, 0);
    expectSent("SIP/2.0 200");
    expectSentAfter(NvSipTransactionManager::m_T1, "SIP/2.0 200");
    inject(inCall("ACK", 2, "z9hG4bK-ack2"));
    EXPECT_EQ(callEvents->more, (std::vector<std::string>{"reinviteRequest", "reinviteAck"}));

    inject(inCall("INVITE", 3, "z9hG4bK-re3"));
    expectSent("SIP/2.0 100");
    call->respondToReinvite(nullptr);
    expectSent("SIP/2.0 200");
    clock.advance(64 * NvSipTransactionManager::m_T1);
    std::vector<Sent> sent = wire.sent();
    wire.clear();
    ASSERT_EQ(sent.size(), 11u);  // ten retransmissions of this 2xx alone, then the BYE
    EXPECT_EQ(sent.back().bytes.substr(0, 4), "BYE ");
    inject(responseTo(sent.back(), 200));
    EXPECT_EQ(events->taken(), "terminated");
}

TEST_F(IncomingCallTest, ReinvitesRefusedOrCancelled) {
    receiveInvite();
    call->answer(200, nullptr, nullptr, 0);
    expectSent("SIP/2.0 200");
    confirm();
    inject(inCall("INVITE", 2, "z9hG4bK-re2", "Session-Expires: 10\r\n"));
    expectSent("SIP/2.0 100");
    EXPECT_EQ(numberOf<NvSipMinSEHeader>(expectSent("SIP/2.0 422")), 20u);
    inject(inCall("INVITE", 3, "z9hG4bK-re3"));
    expectSent("SIP/2.0 100");
    inject(inCall("INVITE", 4, "z9hG4bK-re4"));  // the previous one is unanswered
    expectSent("SIP/2.0 100");
    const Sent busy = expectSent("SIP/2.0 500");
    EXPECT_LT(numberOf<NvSipRetryAfterHeader>(busy), 10u);
    EXPECT_FALSE(busy.message->getHeader<NvSipRetryAfterHeader>().isNil());
    inject(inCall("INVITE", 1, "z9hG4bK-old"));  // out of order
    expectSent("SIP/2.0 100");
    expectSent("SIP/2.0 500");

    inject(withCSeq(request("CANCEL", call->getLocalTag().str(), "r1", "", "c1", "z9hG4bK-re3"), 3));
    expectSent("SIP/2.0 200");
    expectSent("SIP/2.0 487");
    EXPECT_EQ(callEvents->more, (std::vector<std::string>{"reinviteRequest", "reinviteCancel"}));
    inject(inCall("INVITE", 5, "z9hG4bK-re5"));  // the dialog takes re-INVITEs again
    expectSent("SIP/2.0 100");
    call->respondToReinvite(488, nullptr, nullptr, 0);
    expectSent("SIP/2.0 488");
    inject(inCall("ACK", 5, "z9hG4bK-re5"));
    EXPECT_EQ(callEvents->more, (std::vector<std::string>{"reinviteRequest", "reinviteCancel", "reinviteRequest",
                                                          "reinviteAck"}));
    peerHangsUp(6);
}

}  // namespace
