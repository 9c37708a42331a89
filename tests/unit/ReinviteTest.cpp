// Our re-INVITE as call flows: answered and completed by the application
// interfaces' default replies (PRACK, ACK), sent again after a 422 or a
// challenge, after a 491 within the wait of the side it is on, a failure
// leaving both sides free to re-INVITE, and no answer at all.

#include "CallManagerFlow.h"

#include <string>

namespace {

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

std::string branchOf(const NvSipTestTransport::Sent& sent) { return sent.message->getTopVia()->getBranch().str(); }

class ReinviteTest : public ConfirmedCallFlow {
protected:
    // Our re-INVITE through the confirmed call `call`, as it left.
    Sent reinvite() {
        call->reinvite(nullptr, nullptr, 0, nullptr);
        return expectSent("INVITE sip:alice@192.0.2.1");
    }
};

TEST_F(ReinviteTest, ProvisionalPrackedFinalAcknowledgedByTheDefaults) {
    answerCall();
    const Sent invite = reinvite();
    EXPECT_EQ(cseqOf(invite.message), 2u);
    call->reinvite(nullptr, nullptr, 0, nullptr);  // one is pending: nothing goes
    expectNothingSent();
    inject(answer(invite, 183, "r1", "Require: 100rel\r\nRSeq: 1\r\n"));
    EXPECT_EQ(valueOf(expectSent("PRACK sip:alice@192.0.2.1").message, "RAck"), "1 2 INVITE");
    inject(answer(invite, 180));  // unreliable: no reply
    expectNothingSent();
    inject(answer(invite, 200));
    EXPECT_EQ(cseqOf(expectSent("ACK sip:alice@192.0.2.1").message), 2u);
    EXPECT_EQ(events->taken(), "reinviteResponse 183 reinviteResponse 180 reinviteResponse 200");
    hangUp();
}

// The call cancels its re-INVITE; provisional responses to our BYE change nothing.
TEST_F(ReinviteTest, CancelledThroughTheCall_ProvisionalAnswersToOurByeIgnored) {
    answerCall();
    const Sent invite = reinvite();
    inject(answer(invite, 180));
    call->cancel(nullptr);
    EXPECT_EQ(cseqOf(expectSent("CANCEL sip:alice@192.0.2.1").message), 2u);
    injectExpecting(answer(invite, 487), "ACK sip:alice@192.0.2.1");
    EXPECT_EQ(events->taken(), "reinviteResponse 180 reinviteResponse 487");
    call->hangup();
    const Sent bye = expectSent("BYE sip:alice@192.0.2.1");
    for (int code : {100, 180}) EXPECT_EQ(heardAfter(answer(bye, code)), "") << code;
    EXPECT_EQ(heardAfter(answer(bye, 200)), "terminated");
}

TEST_F(ReinviteTest, AfterAFailureBothSidesReinviteAgain) {
    answerCall();
    const Sent first = reinviteAnswered(488);  // ACKed by its transaction
    injectExpecting(fromPeer("INVITE", 2, "z9hG4bK-re2"), "SIP/2.0 100");
    call->respondToReinvite(200, nullptr, nullptr, 0);  // answers only a re-INVITE taken
    expectSent("SIP/2.0 200");
    inject(fromPeer("ACK", 2, "z9hG4bK-ack2"));
    EXPECT_EQ(cseqOf(reinviteAnswered(200).message), cseqOf(first.message) + 1);
    EXPECT_EQ(events->taken(), "reinviteResponse 488 reinviteRequest reinviteAck reinviteResponse 200");
    hangUp();
}

TEST_F(ReinviteTest, SentAgainOnceWithTheMinimumIntervalOrCredentials) {
    TestCredentials credentials;
    const struct {
        int status;
        const char *extra, *header, *value;
    } cases[] = {
        {422, "Min-SE: 90\r\n", "Session-Expires", "90"},
        {401, "WWW-Authenticate: Digest realm=\"x\", nonce=\"1\"\r\n", "Authorization", "Digest username=\"a\""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        answerCall();
        const Sent first = reinviteAnswered(c.status, c.extra);
        const Sent retry = expectSent("INVITE sip:alice@192.0.2.1");
        EXPECT_EQ(cseqOf(retry.message), cseqOf(first.message) + 1);
        EXPECT_NE(branchOf(retry), branchOf(first));
        EXPECT_EQ(valueOf(retry.message, c.header), c.value);
        EXPECT_EQ(occurrences(retry.bytes, std::string("\r\n") + c.header + ":"), 1u) << retry.bytes;
        injectExpecting(answer(retry, 200), "ACK sip:alice@192.0.2.1");
        EXPECT_EQ(events->taken(), "reinviteResponse 200");  // not the first answer
        hangUp();
        transactions.clear();
    }
}

TEST_F(ReinviteTest, After491TheNewAttemptComesWithinTheWaitOfItsSide) {
    const struct {
        bool weCalled;  // we own the Call-ID
        uint64_t quiet, latest;  // nothing sent within `quiet` ms, the new attempt by `latest`
    } cases[] = {{false, 0, 1990}, {true, 2099, 3990}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.weCalled);
        NvHandle<NvSipOutgoingCall> placed;
        if (c.weCalled) {
            Sent invite;
            placed = dial(invite, "out1");
            inject(answer(invite, 200));
            placed->ack(nullptr);
            expectSent("ACK sip:alice@192.0.2.1");
            placed->reinvite(nullptr, nullptr, 0, nullptr);
        } else {
            answerCall();
            call->reinvite(nullptr, nullptr, 0, nullptr);
        }
        const Sent first = expectSent("INVITE sip:alice@192.0.2.1");
        injectExpecting(answer(first, 491), "ACK sip:alice@192.0.2.1");
        clock.advance(c.quiet);
        expectNothingSent();
        clock.advance(c.latest - c.quiet);
        const Sent retry = expectSent("INVITE sip:alice@192.0.2.1");
        EXPECT_EQ(cseqOf(retry.message), cseqOf(first.message) + 1);
        wire.clear();  // its retransmissions while the wait ran out
        injectExpecting(answer(retry, 200), "ACK sip:alice@192.0.2.1");
        if (c.weCalled) {
            placed->hangup();
            inject(answer(expectSent("BYE sip:alice@192.0.2.1"), 200));
            EXPECT_TRUE(placed->allDialogsTerminated());
        } else {
            events->taken();
            hangUp();
        }
        transactions.clear();
    }
}

TEST_F(ReinviteTest, NoAnswerEndsTheCallWithABye) {
    answerCall();
    reinvite();
    clock.advance(64 * NvSipTransactionManager::m_T1);
    EXPECT_EQ(events->taken(), "reinviteTimeOut terminated");
    EXPECT_TRUE(call->getDialog().isNil());
    EXPECT_EQ(takeSent(), "INVITE INVITE INVITE INVITE INVITE INVITE BYE");  // its retransmissions, then the BYE
}

TEST_F(ReinviteTest, A481EndsTheDialogA408WithABye_ThePeersByeEndsItAndALate2xxIsStillAcked) {
    for (const int status : {481, 408}) {
        SCOPED_TRACE(status);
        answerCall();
        inject(answer(reinvite(), status));
        expectSent("ACK ");
        const std::string code = std::to_string(status);
        EXPECT_EQ(events->taken(), "reinviteResponse " + code + " terminated");
        EXPECT_EQ(events->ended()->toString().substr(0, 11), "SIP/2.0 " + code);
        if (status == 408) inject(responseTo(expectSent("BYE sip:alice@192.0.2.1"), 200));
        expectNothingSent();
        EXPECT_TRUE(call->getDialog().isNil());
        clock.advance(64 * NvSipTransactionManager::m_T1);
        wire.clear();
    }
    answerCall();
    const Sent invite = reinvite();
    peerHangsUp(2);
    inject(answer(invite, 200));
    EXPECT_EQ(cseqOf(expectSent("ACK sip:alice@192.0.2.1").message), cseqOf(invite.message));
    expectNothingSent();
    EXPECT_EQ(events->taken(), "");
    EXPECT_TRUE(call->getDialog().isNil());
}

}  // namespace
