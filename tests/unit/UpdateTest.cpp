// UPDATE (RFC 3311) as call flows: the peer's in early and confirmed
// dialogs (target refresh, our answer, 491 and 500 refusals), ours in early
// ones. Ours sent again or refused, and the session it refreshes: ReinviteTest.

#include "CallManagerFlow.h"

#include <string>

namespace {

const std::string kSdp = "v=0\r\no=- 1 1 IN IP4 192.0.2.1\r\ns=-\r\n";

// `text` (a request of CallFlow::request) with its Contact user `user`.
std::string withContact(std::string text, const std::string& user) {
    return text.replace(text.find("Contact: <sip:alice@"), 20, "Contact: <sip:" + user + "@");
}

class UpdateTest : public ConfirmedCallFlow {
protected:
    std::string update(int cseq, const std::string& branch, const std::string& extra = "") const {
        return fromPeer("UPDATE", cseq, branch, extra);
    }
    void answerWithSdp() { call->respondToUpdate(200, kSdp.data(), "application/sdp", unsigned(kSdp.size())); }
};

// RFC 3311 5.2: the peer's UPDATE refreshes the remote target and is answered by the application (its 2xx with our
// Contact and Allow); one with an offer gets 491 while ours is pending, 500 with Retry-After while a re-INVITE's
// exchange is unfinished; one without offer is taken all the same (one left unanswered: IncomingCallTest).
TEST_F(UpdateTest, ConfirmedDialog_TargetRefreshAnswer_491WhileOursPending_500WhileAReinviteIsUnfinished) {
    answerCall();
    EXPECT_EQ(heardAfter(withContact(withBody(update(2, "z9hG4bK-u2"), kSdp), "carol")), "updateRequest");
    answerWithSdp();
    const Sent answered = expectSent("SIP/2.0 200");
    EXPECT_EQ(answered.message->getBody(), kSdp);
    EXPECT_EQ(valueOf(answered.message, "Contact"), "<sip:bob@192.0.2.10;transport=udp>");
    EXPECT_NE(valueOf(answered.message, "Allow").find("UPDATE"), std::string::npos);

    call->update(kSdp.data(), "application/sdp", unsigned(kSdp.size()));
    const Sent ours = expectSent("UPDATE sip:carol@192.0.2.1");  // to the refreshed target
    EXPECT_EQ(raised([&] { call->update(nullptr, nullptr, 0); }),
              "UPDATE not sent: our previous UPDATE is still pending");
    injectExpecting(withBody(update(3, "z9hG4bK-u3"), kSdp), "SIP/2.0 491");
    EXPECT_EQ(heardAfter(update(4, "z9hG4bK-u4")), "updateRequest");
    call->respondToUpdate(nullptr);
    expectSent("SIP/2.0 200");
    EXPECT_EQ(heardAfter(answer(ours, 200)), "updateResponse 200");

    EXPECT_EQ(heardAfter(withBody(fromPeer("INVITE", 5, "z9hG4bK-re5"), kSdp)), "reinviteRequest");
    expectSent("SIP/2.0 100");
    const Sent busy = injectExpecting(withBody(update(6, "z9hG4bK-u6"), kSdp), "SIP/2.0 500");
    EXPECT_LE(std::stoi(valueOf(busy.message, "Retry-After")), 10);
    EXPECT_EQ(raised([&] { call->update(kSdp.data(), "application/sdp", unsigned(kSdp.size())); }),
              "UPDATE with an offer not sent: an offer/answer exchange is pending");
    expectNothingSent();
    call->respondToReinvite(200, kSdp.data(), "application/sdp", unsigned(kSdp.size()));
    expectSent("SIP/2.0 200");
    call->update(kSdp.data(), "application/sdp", unsigned(kSdp.size()));  // the 200 ended that exchange
    EXPECT_EQ(heardAfter(answer(expectSent("UPDATE sip:alice@192.0.2.1"), 200)), "updateResponse 200");
    inject(fromPeer("ACK", 5, "z9hG4bK-ack5"));
    EXPECT_EQ(events->taken(), "reinviteAck");
    hangUp();
}

// Early dialogs: the peer's UPDATE with an offer gets 500 while its INVITE's offer has no answer, and is taken once
// a reliable 183 answered it (RFC 3311 5.2); on our side the UPDATE refreshes the target our PRACK goes to, and the
// interface's default answers one without body 200, one with an offer 488.
TEST_F(UpdateTest, EarlyDialogs_500BeforeTheInviteOfferIsAnswered_TargetRefreshAndDefaultAnswerOnOurs) {
    acceptCalls();
    injectExpecting(withBody(request("INVITE", "", "r1", "Supported: 100rel\r\n"), kSdp), "SIP/2.0 100");
    EXPECT_EQ(events->taken(), "inviteRequest");
    injectExpecting(withBody(update(2, "z9hG4bK-u2"), kSdp), "SIP/2.0 500");
    call->sendReliableProvisionalResponse(183, kSdp.data(), "application/sdp", unsigned(kSdp.size()));
    expectSent("SIP/2.0 183");
    injectExpecting(fromPeer("PRACK", 3, "z9hG4bK-pr3", "RAck: 1 1 INVITE\r\n"), "SIP/2.0 200");
    EXPECT_EQ(heardAfter(withBody(update(4, "z9hG4bK-u4"), kSdp)), "prack updateRequest");
    answerWithSdp();
    EXPECT_EQ(expectSent("SIP/2.0 200").message->getBody(), kSdp);
    call->hangup();
    expectSent("SIP/2.0 487");
    EXPECT_EQ(heardAfter(fromPeer("ACK", 1, "z9hG4bK-p1")), "terminated");

    Sent invite;
    NvHandle<NvSipOutgoingCall> placed = dial(invite, "out1");
    EXPECT_EQ(outgoingHeardAfter(answer(invite, 183, "r1", "Require: 100rel\r\nRSeq: 1\r\n")), "reliable");
    const auto early = [&](int cseq) {
        const std::string tag = placed->getLocalTag().str();
        return request("UPDATE", tag, "r1", "", "out1", "z9hG4bK-e" + std::to_string(cseq), cseq);
    };
    injectExpecting(withBody(early(1), kSdp), "SIP/2.0 500");  // the reliable 183 awaits its PRACK
    injectExpecting(withContact(early(2), "carol"), "SIP/2.0 200");
    EXPECT_EQ(outgoing->taken(), "updateRequest");
    placed->getDialogs().front()->prack(nullptr);
    expectSent("PRACK sip:carol@192.0.2.1");
    injectExpecting(withBody(early(3), kSdp), "SIP/2.0 488");  // an offer the default reply does not answer
    EXPECT_EQ(outgoing->taken(), "updateRequest");
    placed->hangup();
    inject(answer(expectSent("CANCEL sip:alice@192.0.2.1"), 200));
    injectExpecting(answer(invite, 487), "ACK sip:alice@192.0.2.1");
    EXPECT_EQ(outgoing->taken(), "dialogTerminated terminated");
}

}  // namespace
