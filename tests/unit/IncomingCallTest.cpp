// Incoming calls as call flows: the peer's INVITE, our answers and their
// retransmission, PRACK, CANCEL, ACK, BYE and re-INVITE, with what goes on
// the wire and what the application hears.

#include "CallManagerFlow.h"

#include "stack/sip/NvSipHeaders.h"

namespace {

template <class Header>
uint32_t numberOf(const NvSipTestTransport::Sent& sent) {
    NvHandle<Header> header = sent.message->getHeader<Header>();
    return header.isNil() ? 0 : header->getNumber();
}

using IncomingCallTest = ConfirmedCallFlow;

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
    inject(fromPeer("ACK", 1, "z9hG4bK-ack"));
    EXPECT_EQ(events->taken(), "callConfirmed");
    peerHangsUp(2);
    EXPECT_EQ(raised([&] { call->answer(200, nullptr, nullptr, 0); }), "Dialog does not exist !!!");
}

TEST_F(IncomingCallTest, UnacknowledgedResponsesAreSentAgainUntil64T1) {
    const struct {
        bool reliable;
        size_t retransmissions;  // within 64*T1: a 2xx at most T2 apart, a 1xx doubling from T1
        const char* giveUp;      // sent after 64*T1, "" for none
    } cases[] = {{false, 10, ""}, {true, 6, "SIP/2.0 504"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reliable);
        receiveInvite("Supported: 100rel\r\n");
        const char* startLine = c.reliable ? "SIP/2.0 180" : "SIP/2.0 200";
        if (c.reliable)
            call->sendReliableProvisionalResponse(180, nullptr, nullptr, 0);
        else
            call->answer(200, nullptr, nullptr, 0);
        expectSent(startLine);
        expectSentAfter(NvSipTransactionManager::m_T1, startLine);
        clock.advance(64 * NvSipTransactionManager::m_T1 - NvSipTransactionManager::m_T1 - 1);
        for (size_t i = 1; i < c.retransmissions; ++i) expectSent(startLine);
        expectNothingSent();
        clock.advance(1);
        if (c.reliable) {
            expectSent(c.giveUp);
            inject(fromPeer("ACK", 1, "z9hG4bK-p1"));
        }
        expectNothingSent();
        EXPECT_EQ(events->taken(), "terminated");
        EXPECT_TRUE(events->ended().isNil() != c.reliable);
    }
}

TEST_F(IncomingCallTest, InviteLeftUnansweredIsAnswered408WhenItsTransactionTimesOut) {
    receiveInvite();
    expectSentAfter(NvSipServerTransaction::sm_ProceedingTimeoutMs, "SIP/2.0 408");
    EXPECT_EQ(events->taken(), "terminated");
    EXPECT_TRUE(events->ended().isNil());
}

TEST_F(IncomingCallTest, ReliableProvisionalResponsesAreNumberedAndAcknowledgedByPrack) {
    receiveInvite("Supported: 100rel\r\n");
    call->sendReliableProvisionalResponse(180, nullptr, nullptr, 0);
    EXPECT_EQ(numberOf<NvSipRSeqHeader>(expectSent("SIP/2.0 180")), 1u);
    inject(fromPeer("PRACK", 2, "z9hG4bK-pr1", "RAck: 7 1 INVITE\r\n"));
    expectSent("SIP/2.0 481");
    inject(fromPeer("PRACK", 3, "z9hG4bK-pr2", "RAck: 1 1 INVITE\r\n"));
    expectSent("SIP/2.0 200");
    EXPECT_EQ(events->taken(), "prack");
    clock.advance(NvSipTransactionManager::m_T1 * 4);
    expectNothingSent();

    call->sendReliableProvisionalResponse(183, nullptr, nullptr, 0);
    EXPECT_EQ(numberOf<NvSipRSeqHeader>(expectSent("SIP/2.0 183")), 2u);
    call->answer(486, nullptr, nullptr, 0);
    expectSent("SIP/2.0 486");
    inject(fromPeer("ACK", 1, "z9hG4bK-p1"));
    EXPECT_EQ(events->taken(), "terminated");
}

TEST_F(IncomingCallTest, CancelOrATooSmallSessionEndsTheCallAtItsAck) {
    const struct {
        const char* extra;  // of the INVITE
        const char* branch;
        bool cancel;
        const char* answer;
        bool minSE;
        const char* events;  // the application hears, in the end
    } cases[] = {
        {"", "z9hG4bK-i1", true, "SIP/2.0 487", false, "inviteRequest terminated terminated"},
        {"Session-Expires: 19\r\n", "z9hG4bK-i2", false, "SIP/2.0 422", true, "terminated"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        newCall = [this](NvHandle<NvSipInviteMessage> invite) {
            return call = new NvSipIncomingCall(invite, events.get());
        };
        inject(request("INVITE", "", "r1", c.extra, "c1", c.branch));
        if (!c.minSE) expectSent("SIP/2.0 100");  // none before a refusal made at once
        if (c.cancel) {
            inject(request("CANCEL", "", "r1", "", "c1", c.branch));
            EXPECT_NE(expectSent("SIP/2.0 200").bytes.find("CANCEL"), std::string::npos);
            EXPECT_EQ(events->ended()->toString().substr(0, 6), "CANCEL");
        }
        const Sent answer = expectSent(c.answer);
        EXPECT_EQ(numberOf<NvSipMinSEHeader>(answer), c.minSE ? 20u : 0u);
        inject(fromPeer("ACK", 1, c.branch));
        EXPECT_EQ(events->taken(), c.events);
    }
}

TEST_F(IncomingCallTest, SessionTimerNegotiatedInOur200Runs_ARefusedAnswerSendsNothing) {
    NvSipDialog::sm_bSupportTimer = true;
    receiveInvite("Session-Expires: 1800\r\n");
    NvHandle<NvSipResponse> longer =
        new NvSipResponse(200, call->getDialog()->getInitialTransaction()->getInitialRequest());
    longer->addHeader(new NvSipSessionExpiresHeader(3600));
    EXPECT_EQ(raised([&] { call->answer(longer); }), "Server can't increase session time");
    expectNothingSent();
    call->answer(200, nullptr, nullptr, 0);
    const std::string ok = expectSent("SIP/2.0 200").bytes;
    EXPECT_NE(ok.find("Session-Expires: 1800;refresher=uas"), std::string::npos) << ok;
    EXPECT_NE(ok.find("Supported: timer"), std::string::npos) << ok;
    inject(fromPeer("ACK", 1, "z9hG4bK-ack"));
    clock.advance(900 * 1000 - 1);
    EXPECT_EQ(events->taken(), "callConfirmed");
    clock.advance(890 * 1000 + 1);
    EXPECT_EQ(events->taken(), "refresh expiry");
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
    inject(fromPeer("ACK", 1, "z9hG4bK-ack"));
    EXPECT_EQ(events->taken(), "callConfirmed");
    peerHangsUp(2);
}

TEST_F(IncomingCallTest, ReinviteAnswerIsSentAgainUntilItsAckOrEndsTheSessionWithBye) {
    receiveInvite();
    call->answer(200, nullptr, nullptr, 0);
    expectSent("SIP/2.0 200");
    inject(fromPeer("INVITE", 2, "z9hG4bK-re1"));  // before the ACK: left unanswered
    expectNothingSent();
    inject(fromPeer("ACK", 1, "z9hG4bK-ack"));
    inject(fromPeer("INVITE", 2, "z9hG4bK-re1"));  // its retransmission is taken now
    expectSent("SIP/2.0 100");
    call->respondToReinvite(200, nullptr, nullptr, 0);
    expectSent("SIP/2.0 200");
    expectSentAfter(NvSipTransactionManager::m_T1, "SIP/2.0 200");
    inject(fromPeer("ACK", 2, "z9hG4bK-ack2"));
    EXPECT_EQ(events->taken(), "callConfirmed reinviteRequest reinviteAck");

    inject(fromPeer("INVITE", 3, "z9hG4bK-re3"));
    expectSent("SIP/2.0 100");
    call->respondToReinvite(nullptr);
    expectSent("SIP/2.0 200");
    clock.advance(64 * NvSipTransactionManager::m_T1);
    std::vector<Sent> sent = wire.sent();
    wire.clear();
    ASSERT_EQ(sent.size(), 11u);  // ten retransmissions of this 2xx alone, then the BYE
    EXPECT_EQ(sent.back().bytes.substr(0, 4), "BYE ");
    inject(responseTo(sent.back(), 200));
    EXPECT_EQ(events->taken(), "reinviteRequest terminated");
}

TEST_F(IncomingCallTest, ReinvitesRefusedOrCancelled) {
    answerCall();
    const struct {
        int cseq;
        const char* extra;
        const char* refusal;  // "" when it is taken
    } reinvites[] = {
        {2, "Session-Expires: 10\r\n", "SIP/2.0 422"},
        {3, "", ""},
        {4, "", "SIP/2.0 500"},  // the previous one is unanswered: Retry-After
        {1, "", "SIP/2.0 500"},  // out of order
    };
    for (const auto& r : reinvites) {
        inject(fromPeer("INVITE", r.cseq, "z9hG4bK-re" + std::to_string(r.cseq), r.extra));
        if (!*r.refusal) expectSent("SIP/2.0 100");  // none before a refusal made at once
        if (!*r.refusal) continue;
        const Sent refusal = expectSent(r.refusal);
        EXPECT_EQ(numberOf<NvSipMinSEHeader>(refusal), r.cseq == 2 ? 20u : 0u);
        EXPECT_LT(numberOf<NvSipRetryAfterHeader>(refusal), 10u);
        EXPECT_EQ(r.cseq == 4, !refusal.message->getHeader<NvSipRetryAfterHeader>().isNil());
    }
    inject(request("CANCEL", call->getLocalTag().str(), "r1", "", "c1", "z9hG4bK-re3", 3));
    expectSent("SIP/2.0 200");
    expectSent("SIP/2.0 487");
    inject(fromPeer("INVITE", 5, "z9hG4bK-re5"));  // the dialog takes re-INVITEs again
    expectSent("SIP/2.0 100");
    call->respondToReinvite(488, nullptr, nullptr, 0);
    expectSent("SIP/2.0 488");
    inject(fromPeer("ACK", 5, "z9hG4bK-re5"));
    EXPECT_EQ(events->taken(), "reinviteRequest reinviteCancel reinviteRequest reinviteAck");
    peerHangsUp(6);
}

}  // namespace
