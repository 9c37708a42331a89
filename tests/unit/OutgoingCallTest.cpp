// Outgoing calls as call flows: our INVITE is taken from the wire, the
// peer's responses are injected, and what the application hears is recorded.

#include "CallManagerFlow.h"

#include "stack/auth/NvDigestAuthentication.h"

#include <string>

namespace {

std::string toTagOf(const NvSipTestTransport::Sent& sent) { return sent.message->getToHeader()->getTag().str(); }
std::string branchOf(const NvSipTestTransport::Sent& sent) { return sent.message->getTopVia()->getBranch().str(); }

class OutgoingCallTest : public CallManagerFlow {
protected:
    NvHandle<NvSipOutgoingCall> call;
    Sent invite;

    void TearDown() override {
        call = nullptr;
        CallManagerFlow::TearDown();
    }
    void dial(const std::string& extra = "") {
        call = CallManagerFlow::dial(invite, "out-" + std::to_string(++m_Calls), extra);
    }
    // Dials, the peer answers 200 (To tag a1, with `extra` lines) and we acknowledge it.
    void connect(const std::string& extra = "") {
        dial();
        inject(answer(invite, 200, "a1", extra));
        call->ack(nullptr);
        expectSent("ACK sip:alice@192.0.2.1");
    }
    // Hangs up and answers every BYE with 200; returns the events heard.
    std::string hangUp() {
        call->hangup();
        while (wire.sentCount() > 0) {
            Sent sent = wire.takeNext();
            if (sent.bytes.rfind("BYE ", 0) == 0) inject(responseTo(sent, 200));
        }
        return outgoing->taken();
    }
    int m_Calls = 0;
};

TEST_F(OutgoingCallTest, RingingThenAnswered_AckCarriesTheInviteCSeqAndTheToTag) {
    dial();
    // Our INVITE says what we allow and support; 100rel only when the application offers it.
    EXPECT_EQ(valueOf(invite.message, "Allow") + " / " + valueOf(invite.message, "Supported"),
              "INVITE, ACK, BYE, CANCEL, OPTIONS, PRACK, INFO, NOTIFY, REFER, UPDATE / replaces");
    // An early dialog the 200 does not confirm.
    EXPECT_EQ(outgoingHeardAfter(answer(invite, 180, "a0")), "provisional");
    EXPECT_EQ(outgoingHeardAfter(answer(invite, 200, "a1", "", "alice2")), "succeeded");
    expectNothingSent();

    call->ack(nullptr);
    Sent ack = expectSent("ACK sip:alice2@192.0.2.1");
    EXPECT_EQ(std::to_string(cseqOf(ack.message)) + " " + toTagOf(ack), std::to_string(cseqOf(invite.message)) + " a1");
    EXPECT_NE(branchOf(ack), branchOf(invite));
    call->ack(nullptr);  // nothing left to acknowledge
    expectNothingSent();
    EXPECT_EQ(hangUp(), "dialogTerminated terminated");
    // Our BYE's transaction ended with its answer, and nothing keeps the dialog.
    call = nullptr;
    outgoing->lastDialog = nullptr;
    EXPECT_EQ(Tellar::liveAllocations("NvSipDialog"), 0);
    EXPECT_EQ(NvSipTransactionManager::getInstance()->getTransactionCount(), 0u);
}

// A final failure ends the call's only dialog (the stack ACKs it), or sends
// the INVITE again once: with credentials, or with the Min-SE of a 422. The
// new attempt keeps every header of the first as it was, and adds one; the
// first attempt's failure, coming back late, leaves it alone.
TEST_F(OutgoingCallTest, FinalFailuresEndTheCallOrSendTheInviteAgainOnce) {
    TestCredentials credentials;
    const struct {
        int status;
        const char *extra, *header, *value, *events;  // header: that the new attempt carries; nullptr: the call ends
    } rows[] = {
        {486, "", nullptr, nullptr, "failedToConnect terminated"},
        {603, "", nullptr, nullptr, "failedToConnect terminated"},
        {487, "", nullptr, nullptr, "dialogTerminated terminated"},
        {302, "", nullptr, nullptr, "redirect terminated"},
        {401, "WWW-Authenticate: Digest realm=\"x\", nonce=\"1\"\r\n", "Authorization", "Digest username=\"a\"", ""},
        {407, "Proxy-Authenticate: Digest realm=\"x\", nonce=\"1\"\r\n", "Proxy-Authorization", "Digest username=\"a\"",
         ""},
        {422, "Min-SE: 90\r\n", "Session-Expires", "90", ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.status);
        dial("Session-Expires: 30\r\n");
        injectExpecting(answer(invite, row.status, "a1", row.extra), "ACK sip:alice@192.0.2.1");
        EXPECT_EQ(outgoing->taken(), row.events);
        if (row.header) {
            const Sent retry = expectSent("INVITE sip:alice@192.0.2.1");
            EXPECT_EQ(cseqOf(retry.message), cseqOf(invite.message) + 1);
            EXPECT_NE(branchOf(retry), branchOf(invite));
            EXPECT_EQ(valueOf(retry.message, row.header), row.value);
            for (const NvHandle<NvSipHeader>& line : invite.message->getHeaders())
                EXPECT_TRUE(line->getName() == row.header ||
                            retry.message->countHeaders(line->getID()) == invite.message->countHeaders(line->getID()))
                    << line->getName().str();
            EXPECT_EQ(retry.message->getHeaders().size(), invite.message->getHeaders().size() + 1);
            // The first attempt's failure, again once its transaction is over,
            // while the new attempt rings under the same tag: it retries
            // nothing. A 2xx to the first attempt, from the same fork or
            // another, does not answer the new one: it is ACKed and hung up.
            inject(answer(retry, 180, "a1"));
            EXPECT_EQ(outgoing->taken(), "provisional");
            outlastTransactions();
            inject(answer(invite, row.status, "a1", row.extra));
            expectNothingSent();
            for (const char* tag : {"a1", "b1"}) {
                inject(answer(invite, 200, tag));
                EXPECT_EQ(cseqOf(expectSent("ACK sip:alice@192.0.2.1").message), cseqOf(invite.message));
                inject(responseTo(expectSent("BYE sip:alice@192.0.2.1"), 200));
            }
            EXPECT_EQ(outgoing->taken(), "");
            injectExpecting(answer(retry, 486, "a2"), "ACK sip:alice@192.0.2.1");
            EXPECT_EQ(outgoing->taken(), "failedToConnect terminated");
        }
        EXPECT_EQ(outgoing->lastMessage.cast<NvSipResponse>()->getStatusCode(), row.header ? 486 : row.status);
        EXPECT_TRUE(call->allDialogsTerminated());
    }
}

// RFC 3261 13.2.2.4, 22.3, 8.1.1.6: once a realm challenged our INVITE, the
// ACK of its 2xx carries the INVITE's very credentials; our later requests
// (re-INVITE, BYE) carry new ones for the realm, and the re-INVITE's ACK
// (built by the interface's default reply) its own; every ACK carries
// Max-Forwards.
TEST_F(OutgoingCallTest, ChallengedInvite_AcksCarryTheirInvitesCredentialsLaterRequestsNewOnes) {
    NvDigestAuthentication digest;
    digest.addCredentials("x", "alice", "secret");
    NvAuthenticationInterface* const policy = NvSipCallManager::smp_AuthInterface;
    NvSipCallManager::smp_AuthInterface = &digest;
    const auto credentialsOf = [](const Sent& sent) { return valueOf(sent.message, "Authorization"); };
    const auto maxForwardsOf = [](const Sent& sent) { return valueOf(sent.message, "Max-Forwards"); };
    const auto ncOf = [&](const Sent& s) { return credentialsOf(s).substr(credentialsOf(s).find("nc="), 11); };
    dial();
    inject(answer(invite, 401, "a0", "WWW-Authenticate: Digest realm=\"x\", nonce=\"n1\", qop=\"auth\"\r\n"));
    expectSent("ACK sip:alice@192.0.2.1");
    const Sent retry = expectSent("INVITE sip:alice@192.0.2.1");
    EXPECT_EQ(ncOf(retry), "nc=00000001");
    inject(answer(retry, 200, "a1"));
    call->ack(nullptr);
    const Sent ack = expectSent("ACK sip:alice@192.0.2.1");
    EXPECT_EQ(credentialsOf(ack) + " " + maxForwardsOf(ack), credentialsOf(retry) + " 70");

    call->reinvite(nullptr, nullptr, 0, nullptr);
    const Sent reinvite = expectSent("INVITE sip:alice@192.0.2.1");
    EXPECT_EQ(ncOf(reinvite), "nc=00000002");
    const Sent reinviteAck = injectExpecting(answer(reinvite, 200, "a1"), "ACK sip:alice@192.0.2.1");
    EXPECT_EQ(credentialsOf(reinviteAck) + " " + maxForwardsOf(reinviteAck), credentialsOf(reinvite) + " 70");

    call->hangup();
    const Sent bye = expectSent("BYE sip:alice@192.0.2.1");
    EXPECT_EQ(ncOf(bye), "nc=00000003");
    inject(responseTo(bye, 200));
    EXPECT_EQ(outgoing->taken(), "succeeded dialogTerminated terminated");
    NvSipCallManager::smp_AuthInterface = policy;
}

// RFC 3261 13.2.1: our INVITE without body gets the offer in the 2xx, and our answer goes in the ACK. 13.2.2.4 and
// 12.2.1.1: however it was built, the ACK of a 2xx goes to the remote target through the route set, with the
// credentials of its INVITE.
TEST_F(OutgoingCallTest, DelayedOffer_AnswerInTheAck_AnyAckFollowsTheRouteSetWithTheInvitesCredentials) {
    TestCredentials credentials;
    const std::string offer = "v=0\r\no=offer\r\n", sdp = "v=0\r\no=answer\r\n";
    for (const char* way : {"with a body", "from the response", "createRequest"}) {
        SCOPED_TRACE(way);
        dial();
        EXPECT_EQ(invite.message->getBody() + valueOf(invite.message, "Content-Length"), "0");
        inject(answer(invite, 407, "a0"));
        expectSent("ACK sip:alice@192.0.2.1");
        const Sent retry = expectSent("INVITE sip:alice@192.0.2.1");
        inject(withBody(answer(retry, 200, "a1", "Record-Route: <sip:proxy@192.0.2.50;lr>\r\n", "alice2"), offer));
        ASSERT_EQ(outgoing->taken() + " " + outgoing->lastMessage->getBody(), "succeeded " + offer);
        const NvHandle<NvSipDialog> dialog = outgoing->lastDialog;
        NvHandle<NvSipAckMessage> built =
            std::string(way) == "createRequest"
                ? NvHandle<NvSipAckMessage>(dialog->createRequest("ACK", "application/sdp", sdp.data(), sdp.size(),
                                                                  nullptr))
                : new NvSipAckMessage(NvHandle<NvSipResponse>(outgoing->lastMessage));
        if (std::string(way) == "from the response") built->setBody(sdp.data(), "application/sdp", sdp.size());
        std::string(way) == "with a body" ? call->ack(sdp.data(), "application/sdp", sdp.size()) : call->ack(built);
        const Sent ack = expectSent("ACK sip:alice2@192.0.2.1");
        EXPECT_EQ(valueOf(ack.message, "Route") + " | " + valueOf(ack.message, "Proxy-Authorization") + " | " +
                      ack.message->getBody(),
                  "<sip:proxy@192.0.2.50;lr> | " + valueOf(retry.message, "Proxy-Authorization") + " | " + sdp);
        EXPECT_EQ(hangUp(), "dialogTerminated terminated");
    }
}

TEST_F(OutgoingCallTest, Redirect_NextContactTriedOnce) {
    NvHandle<NvSipDialog> next, again;
    outgoing->onRedirect = [&](RecordedOutgoingEvents::Call redirected, RecordedOutgoingEvents::Dialog,
                               NvHandle<NvSipResponse> response) {
        NvHandle<NvSipNameAddress> contact = response->getHeader<NvSipContactHeader>()->getNameAddress();
        next = redirected->tryCalling(contact, nullptr, nullptr, 0, nullptr);
        again = redirected->tryCalling(contact, nullptr, nullptr, 0, nullptr);
    };
    dial();
    injectExpecting(answer(invite, 302, "a1", "", "carol"), "ACK sip:alice@192.0.2.1");
    Sent second = expectSent("INVITE sip:carol@192.0.2.1");
    EXPECT_EQ(outgoing->taken(), "redirect");
    EXPECT_TRUE(!next.isNil() && again.isNil());
    EXPECT_EQ(second.message->getCallID(), invite.message->getCallID());
    EXPECT_EQ(second.message->getFromHeader()->getTag(), invite.message->getFromHeader()->getTag());

    injectExpecting(answer(second, 486, "c1"), "ACK sip:carol@192.0.2.1");
    EXPECT_EQ(outgoing->taken(), "failedToConnect terminated");
}

// RFC 3261 13.2.2.4: every 2xx is ACKed; one from another branch after the answer (while the first dialog awaits
// its ACK, once it has it, or from a branch that rang and was ended by the answer) gets a dialog of its own, ACKed
// and hung up by the call when the application's multipleResponse leaves it unACKed; a retransmitted 2xx gets the
// same ACK again.
TEST_F(OutgoingCallTest, ForkedAnswers_EachFurtherTwoHundredIsAckedAndHungUp) {
    dial();
    EXPECT_EQ(outgoingHeardAfter(answer(invite, 180, "c1", "", "carol")), "provisional");
    EXPECT_EQ(outgoingHeardAfter(answer(invite, 200, "a1")), "succeeded");  // carol's early dialog ends with it
    for (const char* fork : {"b1", "b2", "c1"}) {
        SCOPED_TRACE(fork);
        const std::string user = fork[0] == 'c' ? "carol" : std::string("bob-") + fork;
        EXPECT_EQ(outgoingHeardAfter(answer(invite, 200, fork, "", user)), "multipleResponse");
        const Sent ack = expectSent("ACK sip:" + user + "@192.0.2.1");
        const Sent bye = expectSent("BYE sip:" + user + "@192.0.2.1");
        EXPECT_EQ(toTagOf(ack) + " " + valueOf(ack.message, "CSeq") + " " + toTagOf(bye),
                  std::string(fork) + " 7 ACK " + fork);
        EXPECT_EQ(outgoingHeardAfter(responseTo(bye, 200)), "dialogTerminated");
        if (fork == std::string("b1")) {  // the first dialog awaited its ACK meanwhile
            call->ack(nullptr);
            expectSent("ACK sip:alice@192.0.2.1");
        }
    }
    EXPECT_EQ(call->getDialogs().size(), 1u);
    const std::string again = answer(invite, 200, "a1");
    const Sent firstAck = injectExpecting(again, "ACK sip:alice@192.0.2.1");
    EXPECT_EQ(injectExpecting(again, "ACK sip:alice@192.0.2.1").bytes, firstAck.bytes);
    EXPECT_EQ(outgoing->taken(), "");
    EXPECT_EQ(hangUp(), "dialogTerminated terminated");

    // Once the call has ended, a fork's 2xx is still ACKed and hung up along its own route set, and the application
    // hears nothing; for 64*T1, after which (as for an INVITE not ours) a 2xx is neither ACKed nor hung up.
    inject(answer(invite, 200, "d1", "Record-Route: <sip:192.0.2.30;lr>\r\n", "dave"));
    const Sent lateAck = expectSent("ACK sip:dave@192.0.2.1");
    const Sent lateBye = expectSent("BYE sip:dave@192.0.2.1");
    EXPECT_EQ(toTagOf(lateAck) + " " + valueOf(lateAck.message, "CSeq") + " " + valueOf(lateBye.message, "CSeq") +
                  " " + valueOf(lateBye.message, "Route"),
              "d1 7 ACK 8 BYE <sip:192.0.2.30;lr>");
    inject(responseTo(lateBye, 200));
    clock.advance(64 * NvSipTransactionManager::m_T1);
    inject(answer(invite, 200, "e1", "", "erin"));
    expectNothingSent();
    EXPECT_EQ(outgoing->taken(), "");
}

TEST_F(OutgoingCallTest, NoAnswerTimesOutAfter64T1_EndingEveryRingingBranch) {
    dial();
    outlastTransactions();  // the INVITE sent again meanwhile
    EXPECT_EQ(outgoing->taken(), "failedToConnect terminated");
    EXPECT_TRUE(outgoing->lastMessage.isNil() && call->allDialogsTerminated());

    // Two branches ring and nobody answers: both end with the INVITE's time-out.
    dial();
    inject(answer(invite, 180, "a1"));
    inject(answer(invite, 180, "b1"));
    clock.advance(NvSipClientTransaction::sm_ProceedingTimeoutMs);  // CANCEL, then no answer for 64*T1
    outlastTransactions();
    EXPECT_EQ(outgoing->taken(), "provisional provisional failedToConnect failedToConnect terminated");
}

// RFC 3261 12.2.1.2: a 481 to an UPDATE in the first branch's early dialog ends that dialog and cancels the INVITE;
// the INVITE's end, its 487 or its time-out, still ends the other branch, though the first had ended before.
TEST_F(OutgoingCallTest, FirstBranchEndedByA481_TheInvitesEndStillEndsTheOtherBranch) {
    for (const bool answered : {true, false}) {
        SCOPED_TRACE(answered);
        dial();
        inject(answer(invite, 180, "a1"));
        const NvHandle<NvSipDialog> first = outgoing->lastDialog;
        inject(answer(invite, 183, "b1", "", "bob2"));
        outgoing->taken();
        first->update(nullptr);
        const Sent update = expectSent("UPDATE sip:alice@192.0.2.1");
        inject(responseTo(update, 481));
        const Sent cancel = expectSent("CANCEL sip:alice@192.0.2.1");
        EXPECT_EQ(outgoing->taken(), "updateResponse dialogTerminated");
        inject(answer(cancel, 200, ""));
        if (answered)
            injectExpecting(answer(invite, 487, "b1"), "ACK sip:alice@192.0.2.1");
        else
            outlastTransactions();
        EXPECT_EQ(outgoing->taken(), answered ? "dialogTerminated terminated" : "failedToConnect terminated");
        EXPECT_EQ(manager.getDialogCount(), 0u);
        outlastTransactions();
    }
}

// A final answer on one branch cancels the branches still ringing.
TEST_F(OutgoingCallTest, FinalAnswerCancelsTheRingingBranch) {
    for (const int status : {200, 603}) {
        SCOPED_TRACE(status);
        dial();
        call->tryCalling(NvSipNameAddress::sParse("<sip:carol@192.0.2.1>"), nullptr, nullptr, 0, nullptr);
        Sent carol = expectSent("INVITE sip:carol@192.0.2.1");
        inject(answer(carol, 180, "c1"));
        inject(answer(invite, status, "a1"));
        if (status >= 300) expectSent("ACK sip:alice@192.0.2.1");
        EXPECT_EQ(cseqOf(expectSent("CANCEL sip:carol@192.0.2.1").message), cseqOf(carol.message));
        EXPECT_EQ(outgoing->taken(), status >= 300 ? "provisional failedToConnect" : "provisional succeeded");

        injectExpecting(answer(carol, 487, "c1"), "ACK sip:carol@192.0.2.1");
        EXPECT_EQ(outgoing->taken(), status >= 300 ? "dialogTerminated terminated" : "dialogTerminated");
        EXPECT_EQ(hangUp(), status >= 300 ? "" : "dialogTerminated terminated");
    }
}

// RFC 3261 9.1, 15; RFC 5407 3.1.2: hanging up while branches ring sends one CANCEL; the 487 ends every branch
// (the call hears terminated once, nothing stays listed); a 200 that crosses the CANCEL, from a branch that rang or
// one that sent only 100 before, is ACKed at its own Contact with its own To tag and hung up.
TEST_F(OutgoingCallTest, HangupWhileBranchesRing_OneCancel_487EndsThemAll_CrossingTwoHundredAckedAndHungUp) {
    for (const char* ringing : {"a1 b1", "", "a1"}) {
        SCOPED_TRACE(ringing);
        dial();
        inject(answer(invite, 100, ringing == std::string("a1") ? "a1" : ""));  // a 100 may carry the tag
        for (const std::string tag : {"a1", "b1"})
            if (std::string(ringing).find(tag) != std::string::npos) inject(answer(invite, 180, tag, "", tag));
        outgoing->taken();
        call->hangup();
        Sent cancel;
        EXPECT_EQ(takeSent(&cancel), "CANCEL");
        EXPECT_EQ(std::to_string(cseqOf(cancel.message)) + branchOf(cancel),
                  std::to_string(cseqOf(invite.message)) + branchOf(invite));
        inject(answer(cancel, 200, ""));
        if (std::string(ringing) == "a1 b1") {
            injectExpecting(answer(invite, 487, "b1"), "ACK sip:alice@192.0.2.1");
            EXPECT_EQ(outgoing->taken(), "dialogTerminated dialogTerminated terminated");
        } else {
            inject(answer(invite, 200, "c9", "", "carol"));
            const Sent ack = expectSent("ACK sip:carol@192.0.2.1");
            const Sent bye = expectSent("BYE sip:carol@192.0.2.1");
            EXPECT_EQ(toTagOf(ack) + " " + toTagOf(bye), "c9 c9");
            EXPECT_EQ(outgoingHeardAfter(responseTo(bye, 200)), "dialogTerminated terminated");
        }
        EXPECT_EQ(manager.getDialogCount(), 0u);
        outlastTransactions();
    }
}

// RFC 3261 12.1.2, RFC 3262 4 and 5: each branch has its own early dialog; a PRACK goes to its branch's Contact
// with its tag and acknowledges its oldest unacknowledged reliable 1xx (provisional responses that arrive before it
// still reach the application, and so does the body of a reliable 183), may carry the answer to an offer in one,
// and its response or time-out is reported; with nothing left to acknowledge, none goes; an RSeq after a gap is
// dropped.
TEST_F(OutgoingCallTest, ForkedEarlyDialogs_PracksGoToTheirBranchInOrder_ResponsesReported) {
    dial("Supported: 100rel\r\n");
    EXPECT_EQ(outgoingHeardAfter(answer(invite, 180, "a1")), "provisional");
    const NvHandle<NvSipDialog> a = outgoing->lastDialog;
    const std::string reliable = "Require: 100rel\r\nRSeq: ";
    EXPECT_EQ(outgoingHeardAfter(answer(invite, 183, "b1", reliable + "5\r\n", "bob2")), "reliable");
    const NvHandle<NvSipDialog> b = outgoing->lastDialog;
    EXPECT_EQ(a->getRemoteTag().str() + " " + b->getRemoteTag().str() + " " + std::to_string(call->getDialogs().size()),
              "a1 b1 2");
    EXPECT_EQ(outgoingHeardAfter(answer(invite, 180, "b1", "", "bob2")), "provisional");
    EXPECT_EQ(outgoingHeardAfter(withBody(answer(invite, 183, "b1", reliable + "6\r\n", "bob2"), "v=0\r\n")),
              "reliable");
    EXPECT_EQ(outgoing->lastMessage->getBody(), "v=0\r\n");
    EXPECT_EQ(outgoingHeardAfter(answer(invite, 183, "b1", reliable + "8\r\n", "bob2")), "");  // an RSeq gap

    call->prack(nullptr);  // a has nothing to acknowledge: only written down
    const Sent first = expectSent("PRACK sip:bob2@192.0.2.1 SIP/2.0");
    EXPECT_EQ(valueOf(first.message, "RAck") + " " + valueOf(first.message, "CSeq") + " " + toTagOf(first),
              "5 7 INVITE 8 PRACK b1");
    EXPECT_EQ(outgoingHeardAfter(responseTo(first, 200)), "prackResponse 200");
    call->prack("v=0\r\n", "application/sdp", 5);
    const Sent second = expectSent("PRACK sip:bob2@192.0.2.1 SIP/2.0");
    EXPECT_EQ(valueOf(second.message, "RAck") + " " + second.message->getBody(), "6 7 INVITE v=0\r\n");
    call->prack(nullptr);  // nothing left to acknowledge: only written down
    expectNothingSent();
    outlastTransactions();
    EXPECT_EQ(outgoing->taken(), "prackResponse none");
    // A response after the PRACK's transaction has gone is no answer to the INVITE: nothing changes.
    EXPECT_EQ(outgoingHeardAfter(answer(second, 401, "b1")) + " " + std::to_string(call->getDialogs().size()), " 2");

    EXPECT_EQ(outgoingHeardAfter(answer(invite, 183, "a1", reliable + "4\r\n")), "reliable");
    a->prack(nullptr);
    EXPECT_EQ(toTagOf(expectSent("PRACK sip:alice@192.0.2.1 SIP/2.0")) + " " + std::to_string(b->getState()),
              "a1 " + std::to_string(NvSipDialog::NV_PROCEEDING));
    EXPECT_EQ(outgoingHeardAfter(answer(invite, 200, "b1", "", "bob2")), "succeeded");
    EXPECT_EQ(call->getDialogs().size(), 1u);  // a ended with the answer
    call->ack(nullptr);
    expectSent("ACK sip:bob2@192.0.2.1");
    EXPECT_EQ(hangUp(), "dialogTerminated terminated");
}

TEST_F(OutgoingCallTest, BuiltFromParts_InviteCarriesTheCallsIdentity_MissingPartsRaise) {
    NvHandle<NvSipNameAddress> alice = NvSipNameAddress::sParse("Alice <sip:alice@192.0.2.1>;x=1");
    call = new NvSipOutgoingCall(alice->getURL(), alice, NvSipNameAddress::sParse("<sip:bob@192.0.2.10>"), nullptr,
                                 "application/sdp", "v=0\r\n", 5, outgoing.get());
    invite = expectSent("INVITE sip:alice@192.0.2.1");
    EXPECT_EQ(invite.message->getFromHeader()->getTag().str() + " " + invite.message->getCallID().str(),
              call->getLocalTag().str() + " " + call->getCallID().str());
    EXPECT_EQ(valueOf(invite.message, "To") + " " + valueOf(invite.message, "Contact") + invite.message->getBody(),
              "Alice <sip:alice@192.0.2.1> <sip:bob@192.0.2.10;transport=udp>v=0\r\n");
    EXPECT_TRUE(
        call->tryCalling(NvSipNameAddress::sParse("A. <sip:alice@192.0.2.1>"), nullptr, nullptr, 0, nullptr).isNil());
    expectNothingSent();
    injectExpecting(answer(invite, 486, "a1"), "ACK sip:alice@192.0.2.1");
    EXPECT_EQ(outgoing->taken(), "failedToConnect terminated");

    // Missing parts raise before anything is sent.
    EXPECT_EQ(raised([&] { NvSipOutgoingCall(nullptr, nullptr, nullptr); }), "NIL handle to Outgoing Call Interface");
    EXPECT_EQ(raised([&] { NvSipOutgoingCall(nullptr, outgoing.get(), nullptr); }), "INVITE message is not provided");
    EXPECT_EQ(raised([&] {
                  NvSipOutgoingCall(alice->getURL(), nullptr, alice, nullptr, nullptr, nullptr, 0, outgoing.get());
              }),
              "Remote participant is not specified");
    expectNothingSent();
}

TEST_F(OutgoingCallTest, SessionTimer_RefreshedByUsWhenTheAnswerSaysSo) {
    NvSipDialog::sm_bSupportTimer = true;
    connect("Require: timer\r\nSession-Expires: 90;refresher=uac\r\n");
    EXPECT_TRUE(invite.message->isSupported("timer"));
    clock.advance(44999);
    EXPECT_EQ(outgoing->taken(), "succeeded");
    clock.advance(1);
    EXPECT_EQ(outgoing->taken(), "onSessionRefreshTime");
    clock.advance(35000);  // 10 s before the end of the interval
    EXPECT_EQ(outgoing->taken(), "onSessionTimeOut");
    EXPECT_EQ(hangUp(), "dialogTerminated terminated");
}

// The peer's re-INVITE is answered through the call; its INVITE replacing our dialog makes a new one that takes the
// call over, the replaced one still the application's to end.
TEST_F(OutgoingCallTest, PeersReinviteAnsweredThroughTheCall_ReplacesAcceptedNewDialogTakesTheCallOver) {
    connect();
    NvHandle<NvSipDialog> replaced = outgoing->lastDialog;
    const std::string ourTag = invite.message->getFromHeader()->getTag().str();
    const std::string callId = invite.message->getCallID().str();
    EXPECT_EQ(outgoingHeardAfter(request("INVITE", ourTag, "a1", "", callId, "z9hG4bK-re1")),
              "succeeded reinviteRequest");
    call->respondToReinvite(200, nullptr, nullptr, 0);
    EXPECT_EQ(takeSent(), "100 200");
    inject(request("ACK", ourTag, "a1", "", callId, "z9hG4bK-re1ack"));

    inject(request("INVITE", "", "r2", "Replaces: " + callId + ";to-tag=" + ourTag + ";from-tag=a1\r\n", "rep-1"));
    expectSent("SIP/2.0 100");
    EXPECT_EQ(outgoing->taken(), "replacesDialog");
    NvHandle<NvSipDialog> made = outgoing->lastDialog;
    call->acceptReplaces();
    EXPECT_EQ(call->getCallID(), "rep-1");
    ASSERT_EQ(call->getDialogs().size(), 1u);
    EXPECT_EQ(call->getDialogs().front().get(), made.get());
    made->sendResponse(200, nullptr, nullptr, 0);
    expectSent("SIP/2.0 200");
    inject(request("ACK", ourTag, "r2", "", "rep-1", "z9hG4bK-ack2"));
    // The replaced party hangs up its old dialog: the application hears of it on that dialog and answers; the
    // dialog ends apart from the call.
    EXPECT_EQ(outgoingHeardAfter(request("BYE", ourTag, "a1", "", callId, "z9hG4bK-oldbye", 3)), "dialogTerminated");
    EXPECT_EQ(outgoing->lastDialog.get(), replaced.get());
    replaced->respondToBye(nullptr);
    expectSent("SIP/2.0 200");
    EXPECT_EQ(replaced->getState(), NvSipDialog::NV_TERMINATED);
    EXPECT_EQ(hangUp(), "dialogTerminated terminated");
}

}  // namespace

