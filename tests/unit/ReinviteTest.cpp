// Our re-INVITE as call flows: answered and completed by the application
// interfaces' default replies (PRACK, ACK), cancelled, a failure leaving both
// sides free to re-INVITE; it and our UPDATE sent again after a 422, a
// challenge or a 491 (within the wait of the side it is on), and 481, 408 or
// no answer at all; the session timer, refreshed by re-INVITE or UPDATE.

#include "CallManagerFlow.h"

#include <stdexcept>
#include <string>

namespace {

std::string branchOf(const NvSipTestTransport::Sent& sent) { return sent.message->getTopVia()->getBranch().str(); }

class ReinviteTest : public ConfirmedCallFlow {
protected:
    // Our re-INVITE through the confirmed call `call`, as it left.
    Sent reinvite() {
        call->reinvite(nullptr, nullptr, 0, nullptr);
        return expectSent("INVITE sip:alice@192.0.2.1");
    }
};

// A failure leaves both sides free to re-INVITE; one re-INVITE at a time; the interface's defaults PRACK a reliable
// provisional answer and ACK the final one; the call cancels its re-INVITE; provisional answers to our BYE change
// nothing.
TEST_F(ReinviteTest, AfterAFailureBothSidesReinvite_ProvisionalPrackedFinalAcked_CancelledThroughTheCall) {
    answerCall();
    EXPECT_EQ(cseqOf(reinviteAnswered(488).message), 2u);  // ACKed by its transaction
    injectExpecting(fromPeer("INVITE", 2, "z9hG4bK-re2"), "SIP/2.0 100");
    call->respondToReinvite(200, nullptr, nullptr, 0);  // answers only a re-INVITE taken
    expectSent("SIP/2.0 200");
    inject(fromPeer("ACK", 2, "z9hG4bK-ack2"));
    EXPECT_EQ(events->taken(), "reinviteResponse 488 reinviteRequest reinviteAck");
    const Sent invite = reinvite();
    EXPECT_EQ(cseqOf(invite.message), 3u);
    call->reinvite(nullptr, nullptr, 0, nullptr);  // one is pending: nothing goes
    expectNothingSent();
    inject(answer(invite, 183, "r1", "Require: 100rel\r\nRSeq: 1\r\n"));
    EXPECT_EQ(valueOf(expectSent("PRACK sip:alice@192.0.2.1").message, "RAck"), "1 3 INVITE");
    inject(answer(invite, 180));  // unreliable: no reply
    expectNothingSent();
    inject(answer(invite, 200));
    EXPECT_EQ(cseqOf(expectSent("ACK sip:alice@192.0.2.1").message), 3u);
    EXPECT_EQ(events->taken(), "reinviteResponse 183 reinviteResponse 180 reinviteResponse 200");
    const Sent cancelled = reinvite();
    inject(answer(cancelled, 180));
    call->cancel(nullptr);
    EXPECT_EQ(cseqOf(expectSent("CANCEL sip:alice@192.0.2.1").message), cseqOf(cancelled.message));
    injectExpecting(answer(cancelled, 487), "ACK sip:alice@192.0.2.1");
    EXPECT_EQ(events->taken(), "reinviteResponse 180 reinviteResponse 487");
    call->hangup();
    const Sent bye = expectSent("BYE sip:alice@192.0.2.1");
    for (int code : {100, 180}) EXPECT_EQ(heardAfter(answer(bye, code)), "") << code;
    EXPECT_EQ(heardAfter(answer(bye, 200)), "terminated");
}

// Our re-INVITE or UPDATE (RFC 3311 5.1, RFC 4028 7.4), sent again once: at once with the Min-SE of a 422 or
// credentials, after a 491 within the wait of the side it is on; the new attempt has the next CSeq and a new branch,
// and the application hears only the answers it must.
TEST_F(ReinviteTest, SentAgainOnce_AtOnceWithTheMinimumIntervalOrCredentials_After491WithinTheWaitOfItsSide) {
    TestCredentials credentials;
    const struct {
        const char* method;  // of ours: a re-INVITE or an UPDATE
        int status;
        const char *extra, *header, *value;  // the header the new attempt carries once, with its new value
        bool weCalled;  // we own the Call-ID
        uint64_t quiet, latest;  // nothing sent within `quiet` ms, the new attempt by `latest`
        const char* heard;  // by the application, once we hung up
    } cases[] = {
        {"INVITE", 422, "Min-SE: 90\r\n", "Session-Expires", "90", false, 0, 0, "reinviteResponse 200 terminated"},
        {"INVITE", 401, "WWW-Authenticate: Digest realm=\"x\", nonce=\"1\"\r\n", "Authorization",
         "Digest username=\"a\"", false, 0, 0, "reinviteResponse 200 terminated"},
        {"INVITE", 491, "", nullptr, nullptr, false, 0, 1990, "reinviteResponse 491 reinviteResponse 200 terminated"},
        {"INVITE", 491, "", nullptr, nullptr, true, 2099, 3990, "succeeded dialogTerminated terminated"},
        {"UPDATE", 422, "Min-SE: 120\r\n", "Session-Expires", "120", false, 0, 0, "updateResponse 200 terminated"},
        {"UPDATE", 407, "Proxy-Authenticate: Digest realm=\"x\", nonce=\"1\"\r\n", "Proxy-Authorization",
         "Digest username=\"a\"", false, 0, 0, "updateResponse 200 terminated"},
        {"UPDATE", 491, "", nullptr, nullptr, false, 0, 1990, "updateResponse 491 updateResponse 200 terminated"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method + (" " + std::to_string(c.status)) + (c.weCalled ? " we called" : ""));
        NvHandle<NvSipOutgoingCall> placed;
        if (c.weCalled) {
            Sent invite;
            placed = dial(invite, "out1");
            inject(answer(invite, 200));
            placed->ack(nullptr);
            expectSent("ACK sip:alice@192.0.2.1");
        } else {
            answerCall();
        }
        NvSipCall& ours = c.weCalled ? static_cast<NvSipCall&>(*placed) : *call;
        const auto answered = [&](const Sent& sent, int status, const char* extra) {  // an INVITE's answer is ACKed
            inject(answer(sent, status, "r1", extra));
            if (*c.method == 'I') expectSent("ACK sip:alice@192.0.2.1");
        };
        *c.method == 'U' ? call->update(nullptr, nullptr, 0) : ours.reinvite(nullptr, nullptr, 0, nullptr);
        const Sent first = expectSent(c.method + std::string(" sip:alice@192.0.2.1"));
        answered(first, c.status, c.extra);
        if (c.latest) {
            clock.advance(c.quiet);
            expectNothingSent();
            clock.advance(c.latest - c.quiet);
        }
        const Sent retry = expectSent(c.method + std::string(" sip:alice@192.0.2.1"));
        EXPECT_EQ(cseqOf(retry.message), cseqOf(first.message) + 1);
        EXPECT_NE(branchOf(retry), branchOf(first));
        if (c.header) {
            EXPECT_EQ(valueOf(retry.message, c.header), c.value);
        }
        wire.clear();  // its retransmissions while the wait ran out
        answered(retry, 200, "");
        ours.hangup();
        inject(answer(expectSent("BYE sip:alice@192.0.2.1"), 200));
        EXPECT_EQ(events->taken() + outgoing->taken(), c.heard);
        transactions.clear();
    }
}

// Our re-INVITE or UPDATE (RFC 3261 12.2.1.2, 14.1; RFC 3311 5.1): a 481 ends the dialog, a 408 or no answer (after
// its retransmissions) with a BYE; after the peer's BYE a late 2xx to a re-INVITE is still ACKed.
TEST_F(ReinviteTest, A481EndsTheDialog_A408OrNoAnswerWithABye_ALate2xxAfterThePeersByeIsStillAcked) {
    const std::tuple<const char*, int, const char*, std::string> rows[] = {
        {"INVITE", 481, "reinviteResponse 481 terminated", "ACK"},
        {"INVITE", 408, "reinviteResponse 408 terminated", "ACK BYE"},
        {"INVITE", 0, "reinviteTimeOut terminated", "INVITE INVITE INVITE INVITE INVITE INVITE BYE"},
        {"UPDATE", 481, "updateResponse 481 terminated", ""},
        {"UPDATE", 408, "updateResponse 408 terminated", "BYE"},
        {"UPDATE", 0, "terminated", "UPDATE UPDATE UPDATE UPDATE UPDATE UPDATE UPDATE UPDATE UPDATE UPDATE BYE"}};
    for (const auto& [method, status, heard, sent] : rows) {
        SCOPED_TRACE(std::string(method) + " " + std::to_string(status));
        answerCall();
        *method == 'I' ? call->reinvite(nullptr, nullptr, 0, nullptr) : call->update(nullptr, nullptr, 0);
        const Sent ours = expectSent(std::string(method) + " sip:alice@192.0.2.1");
        status ? inject(answer(ours, status)) : void(clock.advance(64 * NvSipTransactionManager::m_T1));
        EXPECT_EQ(events->taken(), heard);
        EXPECT_EQ(events->ended().isNil() ? "" : events->ended()->toString().substr(0, 11),
                  status ? "SIP/2.0 " + std::to_string(status) : "");  // what ended the call
        Sent bye;
        EXPECT_EQ(takeSent(&bye), sent);
        if (status != 481) inject(responseTo(bye, 200));
        expectNothingSent();
        EXPECT_TRUE(call->getDialog().isNil());
        outlastTransactions();
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

// RFC 4028 as a call flow: the refresh point at half the interval when we refresh, the expiry warning 10 s before its
// end, the timers of an interval since restarted ignored, an application raising inside a timer callback. RFC 4028 9
// and 7.4: the peer's UPDATE with Session-Expires restarts the session like a re-INVITE (its expiry moves on); as the
// refresher we send an UPDATE with Session-Expires, and its 2xx restarts the timer.
TEST_F(ReinviteTest, SessionTimer_RefreshAtHalfExpiryBeforeTheEndEarlierIntervalIgnored_RefreshedByReinviteOrUpdate) {
    NvSipDialog::sm_bSupportTimer = true;
    answerCall();
    reinviteAnswered(200, "Require: timer\r\nSession-Expires: 90;refresher=uas\r\n");
    clock.advance(50000);  // past half of it: the peer refreshes, not we
    EXPECT_EQ(events->taken(), "reinviteResponse 200");
    const Sent refresh = reinviteAnswered(200, "Require: timer\r\nSession-Expires: 120;refresher=uac\r\n");
    EXPECT_EQ(valueOf(refresh.message, "Session-Expires") + " " + valueOf(refresh.message, "Supported"), "90 timer");
    const NvHandle<NvSipDialog> dialog = call->getDialog();
    EXPECT_DOUBLE_EQ(dialog->getTimeLeft(), 110.0);
    EXPECT_DOUBLE_EQ(dialog->getElapsedTime(), 0.0);
    EXPECT_EQ(events->taken(), "reinviteResponse 200");
    // The application raising inside the callback stops no timer.
    events->onRefresh = [] { throw std::runtime_error("the application failed"); };
    const auto heardWithin = [&](uint64_t ms) { return clock.advance(ms), events->taken(); };
    EXPECT_EQ(heardWithin(59999), "");  // past the first interval's expiry (80 s)
    EXPECT_EQ(heardWithin(1), "refresh");
    EXPECT_EQ(heardWithin(49999), "");
    EXPECT_EQ(heardWithin(1), "expiry");
    hangUp();
    outlastTransactions();

    const std::string peerRefreshes = "Supported: timer\r\nSession-Expires: 90;refresher=uac\r\n";
    answerCall(peerRefreshes);
    EXPECT_EQ(heardWithin(40000), "");
    events->defaultUpdateReply = true;  // 200 to an UPDATE without body
    EXPECT_EQ(heardAfter(fromPeer("UPDATE", 2, "z9hG4bK-u2", peerRefreshes)), "updateRequest");
    EXPECT_EQ(valueOf(expectSent("SIP/2.0 200").message, "Session-Expires"), "90;refresher=uac");
    EXPECT_EQ(heardWithin(79999), "");  // past the first expiry warning (80 s)
    EXPECT_EQ(heardWithin(1), "expiry");
    hangUp();
    outlastTransactions();

    answerCall("Supported: timer\r\nSession-Expires: 90;refresher=uas\r\n");  // we refresh
    events->onRefresh = [&] { call->update(nullptr, nullptr, 0); };
    EXPECT_EQ(heardWithin(45000), "refresh");
    const Sent update = expectSent("UPDATE sip:alice@192.0.2.1");
    EXPECT_EQ(valueOf(update.message, "Session-Expires") + " " + valueOf(update.message, "Supported"), "90 timer");
    EXPECT_EQ(heardAfter(answer(update, 200, "r1", "Require: timer\r\nSession-Expires: 90;refresher=uac\r\n")),
              "updateResponse 200");
    EXPECT_EQ(heardWithin(44999), "");
    EXPECT_EQ(heardWithin(1), "refresh");
    wire.clear();
    hangUp();
}

}  // namespace
