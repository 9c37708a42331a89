// Incoming calls as call flows: the peer's INVITE, our answers and their
// retransmission, PRACK, CANCEL, ACK, BYE and re-INVITE, with what goes on
// the wire and what the application hears.

#include "CallManagerFlow.h"

namespace {

using IncomingCallTest = ConfirmedCallFlow;

// RFC 3261 9.2: a CANCEL that crossed our 2xx gets 200 and changes nothing; the ACK still confirms the call.
TEST_F(IncomingCallTest, RingingAnswerAckByeThenTheCallIsGone_RetransmittedInviteGetsTheSameAnswer_CancelOnly200) {
    receiveInvite("Session-Expires: 20\r\n");  // the minimum: taken
    injectExpecting(request("INVITE", "", "r1", "Session-Expires: 20\r\n"), "SIP/2.0 100");  // absorbed
    call->answer(180, nullptr, nullptr, 0);
    expectSent("SIP/2.0 180");
    const char sdp[] = "v=0\r\n";
    call->answer(200, sdp, "application/sdp", sizeof sdp - 1);
    const Sent ok = expectSent("SIP/2.0 200");
    EXPECT_EQ(ok.message->getBody(), sdp);
    for (const char* line : {"Contact: <sip:bob@192.0.2.10;transport=udp>", "\r\nSupported: 100rel, replaces\r\n",
                             "\r\nAllow: INVITE, ACK, BYE, CANCEL, OPTIONS, PRACK, INFO, NOTIFY, REFER, UPDATE\r\n"})
        EXPECT_NE(ok.bytes.find(line), std::string::npos) << line << ok.bytes;
    call->answer(180, nullptr, nullptr, 0);  // too late: not sent
    inject(request("INVITE", "", "r1", "Session-Expires: 20\r\n", "c1", "z9hG4bK-other"));
    EXPECT_EQ(expectSent("SIP/2.0 200").bytes, ok.bytes);
    expectNothingSent();
    const NvHandle<NvSipRequest> cancel(parse(request("CANCEL", "", "r1")));
    NvHandle<NvSipServerTransaction> server = new NvSipServerTransaction(cancel, new NvSipServerTransactionInterface);
    server->receiveRequest(cancel);
    call->getDialog()->onCancelRequest(server, NvHandle<NvSipCancelMessage>(cancel));
    EXPECT_NE(expectSent("SIP/2.0 200").bytes.find("CANCEL"), std::string::npos);
    EXPECT_EQ(call->getDialog()->getState(), NvSipDialog::NV_PROCESSING);
    EXPECT_EQ(heardAfter(fromPeer("ACK", 1, "z9hG4bK-ack")), "callConfirmed");
    peerHangsUp(2);
    EXPECT_EQ(raised([&] { call->answer(200, nullptr, nullptr, 0); }), "Dialog does not exist !!!");
}

TEST_F(IncomingCallTest, UnacknowledgedResponsesAreSentAgainUntil64T1) {
    // Within 64*T1: a 2xx sent again at most T2 apart, a reliable 1xx doubling from T1; then the 2xx is given up and
    // the session ended with a BYE, the INVITE answered 504 (and the 2xx held for the PRACK of the early media
    // dropped).
    for (const bool reliable : {false, true}) {
        SCOPED_TRACE(reliable);
        receiveInvite("Supported: 100rel\r\n");
        const std::string code = reliable ? "183" : "200";
        reliable ? call->sendReliableProvisionalResponse(183, "v=0\r\n", "application/sdp", 5)
                 : call->answer(200, nullptr, nullptr, 0);
        expectSent("SIP/2.0 " + code);
        expectSentAfter(NvSipTransactionManager::m_T1, "SIP/2.0 " + code);
        if (reliable) call->answer(200, nullptr, nullptr, 0);
        clock.advance(63 * NvSipTransactionManager::m_T1 - 1);
        EXPECT_EQ(takeSent(), reliable ? "183 183 183 183 183" : "200 200 200 200 200 200 200 200 200");
        clock.advance(1);
        Sent last;
        EXPECT_EQ(takeSent(&last), reliable ? "504" : "BYE");
        inject(reliable ? fromPeer("ACK", 1, "z9hG4bK-p1") : responseTo(last, 200));
        expectNothingSent();
        EXPECT_EQ(events->taken(), "terminated");
        EXPECT_TRUE(events->ended().isNil() != reliable);
    }
}

// To an INVITE requiring 100rel every provisional response above 100 goes reliably, whatever the application
// called: numbered, sent again until the PRACK whose RAck names it.
TEST_F(IncomingCallTest, ProvisionalResponsesToAnInviteRequiring100relAreNumberedAndSentAgainUntilTheirPrack) {
    receiveInvite("Require: 100rel\r\n");
    call->answer(180, nullptr, nullptr, 0);
    const Sent ringing = expectSent("SIP/2.0 180");
    EXPECT_EQ(valueOf(ringing.message, "RSeq"), "1");
    EXPECT_TRUE(ringing.message->isRequired("100rel"));
    EXPECT_EQ(expectSentAfter(NvSipTransactionManager::m_T1, "SIP/2.0 180").bytes, ringing.bytes);
    injectExpecting(fromPeer("PRACK", 2, "z9hG4bK-pr1", "RAck: 7 1 INVITE\r\n"), "SIP/2.0 481");
    injectExpecting(fromPeer("PRACK", 3, "z9hG4bK-pr2", "RAck: 1 1 INVITE\r\n"), "SIP/2.0 200");
    EXPECT_EQ(events->taken(), "prack");
    clock.advance(NvSipTransactionManager::m_T1 * 4);
    expectNothingSent();
    call->sendReliableProvisionalResponse(183, nullptr, nullptr, 0);
    EXPECT_EQ(valueOf(expectSent("SIP/2.0 183").message, "RSeq"), "2");
    call->answer(486, nullptr, nullptr, 0);
    expectSent("SIP/2.0 486");
    EXPECT_EQ(heardAfter(fromPeer("ACK", 1, "z9hG4bK-p1")), "terminated");
}

// RFC 3262 3: a 2xx waits for the PRACK of a reliable 1xx carrying an answer (early media), and a PRACK that our
// 2xx crossed still gets 200; RFC 3262 5: an offer in the PRACK reaches the application, whose answer goes in the
// PRACK's 200; RFC 3261 13.3.1: an INVITE without body gets our offer in the 2xx and the answer in the ACK.
TEST_F(IncomingCallTest, TwoHundredWaitsForThePrackOfEarlyMedia_PrackCrossingItGets200_OffersInPrackAndAck) {
    const std::string offer = "v=0\r\no=offer\r\n", answer = "v=0\r\no=answer\r\n";
    for (const bool earlyMedia : {true, false}) {
        SCOPED_TRACE(earlyMedia);
        acceptCalls();
        const std::string invite = request("INVITE", "", "r1", "Supported: 100rel\r\n");
        injectExpecting(earlyMedia ? withBody(invite, offer) : invite, "SIP/2.0 100");
        call->sendReliableProvisionalResponse(earlyMedia ? 183 : 180, answer.data(), "application/sdp",
                                              earlyMedia ? answer.size() : 0);
        expectSent(earlyMedia ? "SIP/2.0 183" : "SIP/2.0 180");
        call->answer(200, offer.data(), "application/sdp", earlyMedia ? 0 : offer.size());
        if (earlyMedia) {
            expectNothingSent();  // held for the PRACK
            events->onPrack = [&](NvHandle<NvSipIncomingCall> c) {
                c->respondToPrack(200, answer.data(), "application/sdp", answer.size());
            };
        } else {
            expectSent("SIP/2.0 200");
        }
        const std::string prack = fromPeer("PRACK", 2, "z9hG4bK-pr1", "RAck: 1 1 INVITE\r\n");
        inject(earlyMedia ? withBody(prack, offer) : prack);
        EXPECT_EQ(events->taken() + " " + events->receivedBody(), "inviteRequest prack " + (earlyMedia ? offer : ""));
        const std::vector<Sent> sent = wire.sent();
        ASSERT_EQ(takeSent(), earlyMedia ? "200 200" : "200");
        EXPECT_EQ(sent.front().message->getCSeqHeader()->getMethod().str() + " " + sent.front().message->getBody(),
                  "PRACK " + (earlyMedia ? answer : ""));
        EXPECT_EQ(sent.back().message->getCSeqHeader()->getMethod().str(), earlyMedia ? "INVITE" : "PRACK");
        injectExpecting(fromPeer("PRACK", 3, "z9hG4bK-pr2", "RAck: 1 1 INVITE\r\n"), "SIP/2.0 481");
        EXPECT_EQ(raised([&] { call->respondToPrack(200, nullptr, nullptr, 0); }), "No PRACK awaiting an answer");
        const std::string ack = fromPeer("ACK", 1, "z9hG4bK-ack");
        inject(earlyMedia ? ack : withBody(ack, answer));
        EXPECT_EQ(events->taken() + " " + events->receivedBody(), "callConfirmed " + (earlyMedia ? "" : answer));
        events->onPrack = nullptr;
        peerHangsUp(4);
        outlastTransactions();
    }
}

TEST_F(IncomingCallTest, CancelOrATooSmallSessionEndsTheCallAtItsAck_NoAnswerAt408) {
    receiveInvite();  // left unanswered: 408 when its transaction times out
    expectSentAfter(NvSipServerTransaction::sm_ProceedingTimeoutMs, "SIP/2.0 408");
    EXPECT_EQ(events->taken(), "terminated");
    EXPECT_TRUE(events->ended().isNil());
    outlastTransactions();
    receiveInvite();
    inject(request("CANCEL", "", "r1"));
    EXPECT_NE(expectSent("SIP/2.0 200").bytes.find("CANCEL"), std::string::npos);
    EXPECT_EQ(events->ended() ? events->ended()->toString().substr(0, 6) : "", "CANCEL");
    expectSent("SIP/2.0 487");
    EXPECT_EQ(heardAfter(fromPeer("ACK", 1, "z9hG4bK-p1")), "terminated terminated");
    // Refused at once, with no 100 before the 422 and nothing for the application but the end.
    inject(request("INVITE", "", "r1", "Session-Expires: 19\r\n", "c1", "z9hG4bK-i2"));
    EXPECT_EQ(valueOf(expectSent("SIP/2.0 422").message, "Min-SE"), "20");
    EXPECT_EQ(heardAfter(fromPeer("ACK", 1, "z9hG4bK-i2")), "terminated");
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
    EXPECT_EQ(valueOf(expectSent("SIP/2.0 200").message, "Session-Expires"), "1800;refresher=uas");
    inject(fromPeer("ACK", 1, "z9hG4bK-ack"));
    clock.advance(900 * 1000 - 1);
    EXPECT_EQ(events->taken(), "callConfirmed");
    clock.advance(890 * 1000 + 1);
    EXPECT_EQ(events->taken(), "refresh expiry");
    peerHangsUp(2);
}

// The peer's re-INVITE: left unanswered before the ACK of our 2xx; refused when it offers too short a session (422),
// comes while another is unanswered (500 with Retry-After) or out of order (500); cancelled; our 2xx sent again until
// its ACK, or the session ended with a BYE.
TEST_F(IncomingCallTest, ReinvitesRefusedOrCancelled_AnswerSentAgainUntilItsAckOrEndsTheSessionWithBye) {
    receiveInvite();
    call->answer(200, nullptr, nullptr, 0);
    expectSent("SIP/2.0 200");
    // Before the ACK the INVITE is still in progress (RFC 3261 14.2): 500 with Retry-After; taken after the ACK.
    EXPECT_EQ(valueOf(injectExpecting(fromPeer("INVITE", 2, "z9hG4bK-re2"), "SIP/2.0 500").message, "Retry-After").size(),
              1u);
    inject(fromPeer("ACK", 2, "z9hG4bK-re2"));
    inject(fromPeer("ACK", 1, "z9hG4bK-ack"));
    injectExpecting(fromPeer("INVITE", 3, "z9hG4bK-re3"), "SIP/2.0 100");
    call->respondToReinvite(200, nullptr, nullptr, 0);
    expectSent("SIP/2.0 200");
    call->respondToReinvite(488, nullptr, nullptr, 0);  // answered already: nothing changes
    expectSentAfter(NvSipTransactionManager::m_T1, "SIP/2.0 200");
    EXPECT_EQ(heardAfter(fromPeer("ACK", 3, "z9hG4bK-ack2")), "callConfirmed reinviteRequest reinviteAck");

    // CSeq 4 offers too short a session, 5 is taken, 6 comes while 5 is unanswered, 1 is out of order.
    for (const auto& [cseq, refusal] : {std::pair(4, "SIP/2.0 422"), {5, ""}, {6, "SIP/2.0 500"}, {1, "SIP/2.0 500"}}) {
        inject(fromPeer("INVITE", cseq, "z9hG4bK-re" + std::to_string(cseq),
                        cseq == 4 ? "Session-Expires: 10\r\n" : ""));
        const Sent sent = expectSent(*refusal ? refusal : "SIP/2.0 100");  // no 100 before a refusal made at once
        EXPECT_EQ(valueOf(sent.message, "Min-SE"), cseq == 4 ? "20" : "");
        const std::string retryAfter = valueOf(sent.message, "Retry-After");  // 0 to 9 s
        EXPECT_EQ(retryAfter.size(), cseq == 6 ? 1u : 0u) << retryAfter;
    }
    inject(fromPeer("CANCEL", 5, "z9hG4bK-re5"));
    inject(fromPeer("INVITE", 7, "z9hG4bK-re7"));  // the dialog takes re-INVITEs again
    call->respondToReinvite(488, nullptr, nullptr, 0);
    EXPECT_EQ(takeSent(), "200 487 100 488");
    inject(fromPeer("ACK", 7, "z9hG4bK-re7"));
    EXPECT_EQ(events->taken(), "reinviteRequest reinviteCancel reinviteRequest reinviteAck");
    outlastTransactions();  // the refusals sent again, never ACKed
    inject(fromPeer("INVITE", 8, "z9hG4bK-re8"));
    call->respondToReinvite(nullptr);
    clock.advance(64 * NvSipTransactionManager::m_T1);
    Sent bye;  // after ten retransmissions of this 2xx alone:
    EXPECT_EQ(takeSent(&bye), "100 200 200 200 200 200 200 200 200 200 200 200 BYE");
    EXPECT_EQ(heardAfter(responseTo(bye, 200)), "reinviteRequest terminated");
}

TEST_F(IncomingCallTest, RequestsTheApplicationLeavesUnansweredGetTheLibrarysAnswer_487WhenTheDialogEnds) {
    answerCall();
    const unsigned delay = NvSipUnansweredRequests::sm_AnswerDelayMs;
    for (const auto& [method, cseq] : {std::pair("OPTIONS", 2), {"MESSAGE", 3}, {"INFO", 4}, {"UPDATE", 5}})
        inject(fromPeer(method, cseq, "z9hG4bK-u" + std::to_string(cseq)));
    injectExpecting(fromPeer("INVITE", 6, "z9hG4bK-re6"), "SIP/2.0 100");
    EXPECT_EQ(events->taken(), "unknownRequest unknownRequest unknownRequest updateRequest reinviteRequest");
    clock.advance(delay - 1);
    expectNothingSent();
    clock.advance(2);  // one dialog's timers are keyed a microsecond apart
    const Sent options = expectSent("SIP/2.0 200");
    for (const char* header : {"Allow", "Accept", "Supported"}) EXPECT_NE(valueOf(options.message, header), "");
    EXPECT_NE(valueOf(expectSent("SIP/2.0 501").message, "Allow"), "");
    // INFO, UPDATE and the re-INVITE, whose ACK never comes: the dialog is free again after timer H.
    EXPECT_EQ(takeSent(), "500 500 500");
    outlastTransactions();
    injectExpecting(fromPeer("INVITE", 7, "z9hG4bK-re7"), "SIP/2.0 100");
    inject(fromPeer("INFO", 8, "z9hG4bK-u8"));
    inject(fromPeer("UPDATE", 9, "z9hG4bK-u9"));
    EXPECT_EQ(events->taken(), "reinviteRequest unknownRequest updateRequest");
    inject(fromPeer("BYE", 10, "z9hG4bK-bye"));  // RFC 3261 15.1.2: what is pending (re-INVITE, INFO, UPDATE) gets 487
    inject(fromPeer("ACK", 7, "z9hG4bK-re7"));
    EXPECT_EQ(events->taken(), "terminated");
    call->respondToBye(nullptr);
    EXPECT_EQ(takeSent(), "487 487 487 200");
    clock.advance(delay);
    expectNothingSent();
}

TEST_F(IncomingCallTest, HangingUpNeverRaisesAndAlwaysSendsTheBye) {
    // Before the ACK of our 2xx, the BYE waits for it (RFC 3261 15), or for the 2xx's last retransmission.
    for (const bool acked : {false, true}) {
        SCOPED_TRACE(acked);
        receiveInvite();
        call->answer(200, nullptr, nullptr, 0);
        expectSent("SIP/2.0 200");
        call->hangup();
        expectNothingSent();
        acked ? inject(fromPeer("ACK", 1, "z9hG4bK-ack1")) : void(clock.advance(64 * NvSipTransactionManager::m_T1));
        Sent bye;
        EXPECT_EQ(takeSent(&bye), acked ? "BYE" : "200 200 200 200 200 200 200 200 200 200 BYE");
        EXPECT_EQ(heardAfter(responseTo(bye, 200)), "terminated");
        EXPECT_TRUE(call->getDialog().isNil());
        outlastTransactions();  // the INVITE's transaction forgotten: c1 is new again
    }
    // With a re-INVITE pending: the peer's answered but not ACKed, or ours unanswered (cancelled first).
    answerCall();
    EXPECT_EQ(heardAfter(fromPeer("INVITE", 2, "z9hG4bK-re2")), "reinviteRequest");
    call->respondToReinvite(200, nullptr, nullptr, 0);
    EXPECT_EQ(takeSent(), "100 200");
    hangUp();
    outlastTransactions();
    answerCall();
    call->reinvite(nullptr, nullptr, 0, nullptr);  // its CANCEL waits for a provisional response (RFC 3261 9.1)
    expectSent("INVITE ");
    hangUp();
    // A BYE the transport refuses still ends the call.
    outlastTransactions();
    answerCall("Record-Route: <sip:192.0.2.50;lr;transport=sctp>\r\n");
    EXPECT_EQ(raised([&] { call->hangup(); }), "");
    expectNothingSent();
    EXPECT_EQ(events->taken(), "terminated");
    EXPECT_TRUE(call->getDialog().isNil());
}

}  // namespace
