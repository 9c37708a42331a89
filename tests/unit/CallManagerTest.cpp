// The call manager: dialog keys, the dialog table, and where each inbound
// message goes, checked on the wire. Messages that belong nowhere reach the
// application's stray interface, whose defaults answer what can be answered.

#include "CallManagerFlow.h"

#include "stack/log/TellarCapture.h"

#include <map>
#include <thread>

namespace {

// `text` without its CSeq line: a message the stack finds malformed.
std::string withoutCSeq(std::string text) {
    const size_t at = text.find("CSeq:");
    return text.erase(at, text.find("\r\n", at) + 2 - at);
}

// Challenges every request it is asked about.
struct ChallengeEverything : NvAuthenticationInterface {
    NvHandle<NvSipResponse> request(NvHandle<NvSipRequest> request) override { return new NvSipResponse(401, request); }
    bool response(NvHandle<NvSipResponse>, NvHandle<NvSipRequest>) override { return false; }
};

class CallManagerTest : public CallManagerFlow {
protected:
    // Calls made by newCall, by Call-ID.
    std::map<std::string, NvHandle<NvSipIncomingCall>> calls;
    std::mutex callsMutex;

    void acceptCalls() {
        newCall = [this](NvHandle<NvSipInviteMessage> invite) {
            std::lock_guard<std::mutex> lock(callsMutex);
            return calls[invite->getCallID().str()] = new NvSipIncomingCall(invite, events.get());
        };
    }
    // The dialog the manager finds for `request`.
    NvHandle<NvSipDialog> listed(const std::string& request) {
        return manager.getDialog(NvHandle<NvSipRequest>(parse(request)));
    }
    // Ends a call left ringing: we hang up (487), the peer acknowledges.
    void endCall(const NvHandle<NvSipIncomingCall>& call, const std::string& branch = "z9hG4bK-inv") {
        call->hangup();
        inject(request("ACK", call->getLocalTag().str(), "r1", "", call->getCallID().str(), branch));
    }
    // A new call from the peer (From tag r1) in `callId`; returns it.
    NvHandle<NvSipIncomingCall> startCall(const std::string& callId, const std::string& branch = "z9hG4bK-inv") {
        inject(request("INVITE", "", "r1", "", callId, branch));
        std::lock_guard<std::mutex> lock(callsMutex);
        return calls.at(callId);  // raises when none was made
    }
    // `call`, answered by us and ACKed by the peer.
    NvHandle<NvSipIncomingCall> confirmed(const NvHandle<NvSipIncomingCall>& call) {
        call->answer(200, nullptr, nullptr, 0);
        inject(request("ACK", call->getLocalTag().str(), "r1", "", call->getCallID().str(), "z9hG4bK-ack"));
        return call;
    }
    // The Replaces header naming `call`'s dialog, `extra` after its parameters.
    static std::string replacing(const NvHandle<NvSipIncomingCall>& call, const std::string& extra = "") {
        return "Replaces: " + call->getCallID().str() + ";to-tag=" + call->getLocalTag().str() + ";from-tag=r1" +
               extra + "\r\n";
    }
};

// Only a stray ACK is logged: once, at INFO, with the message.
TEST_F(CallManagerTest, MessagesOutsideAnyDialogAnsweredWhereTheyCan_AStrayAckLoggedAtInfo) {
    Tellar::LogCapture log("lumbrook.sip.message.stray", Tellar::INFO);
    const std::pair<std::string, const char*> cases[] = {  // what comes, the start line of our answer ("": none)
        {request("BYE", "l9", "r9"), "SIP/2.0 481"},
        {request("INVITE", "l9", "r9"), "SIP/2.0 481"},  // with a To tag
        {request("INVITE", "", "r9", "Replaces: c1;to-tag=l9;from-tag=r9\r\n"), "SIP/2.0 481"},  // naming no dialog
        {request("INVITE", "", "r9"), "SIP/2.0 480"},  // the application refuses it
        {request("INFO", "l9", "r9"), "SIP/2.0 481"},
        {request("PRACK", "l9", "r9", "RAck: 1 1 INVITE\r\n"), "SIP/2.0 481"},
        {request("CANCEL", "", "r9"), "SIP/2.0 481"},
        {withoutCSeq(request("OPTIONS", "", "r9")), "SIP/2.0 400"},  // malformed
        {withoutCSeq(response(200, "INVITE", "l9", "r9")), ""},     // malformed
        {response(200, "INVITE", "l9", "r9"), ""},  // of no transaction
        {request("ACK", "l9", "r9"), ""}};  // of no dialog
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string callId = "c-out-" + std::to_string(i);
        SCOPED_TRACE(callId);
        std::string text = cases[i].first;
        text.replace(text.find("Call-ID: c1"), 11, "Call-ID: " + callId);
        if (text.find("z9hG4bK-p1") != std::string::npos)
            text.replace(text.find("z9hG4bK-p1"), 10, "z9hG4bK-" + callId);
        inject(text);
        if (*cases[i].second) {
            EXPECT_EQ(expectSent(cases[i].second).message->getCallID().str(), callId);
        }
        expectNothingSent();
    }
    ASSERT_EQ(log.size(), 1u) << log.dump();
    EXPECT_EQ(log.count(Tellar::INFO, "IGNORING RECEIVED SIP ACK (STRAY):\n<<<< RECEIVED SIP MESSAGE"), 1u);
    EXPECT_NE(log.records()[0].text.find("ACK sip:bob@192.0.2.10 SIP/2.0"), std::string::npos);
}

TEST_F(CallManagerTest, ApplicationHandlersTakeTheirRequestsTheDefaultsAnswerTheRestAsRfc3261Says) {
    struct AnswerOk : NvSipServerTransactionInterface {
        void request(NvHandle<NvSipServerTransaction> t, NvHandle<NvSipRequest>) override { t->sendResponse(200); }
    };
    onStrayBye = [](NvHandle<NvSipServerTransaction> t) { t->sendResponse(200); };
    manager.setServerTransactionInterface("OPTIONS", new AnswerOk);
    injectExpecting(request("BYE", "l1", "r1"), "SIP/2.0 200");
    const Sent ours = injectExpecting(request("OPTIONS", "", "r1", "", "c2", "z9hG4bK-p2"), "SIP/2.0 200");
    EXPECT_EQ(ours.bytes.find("Accept:"), std::string::npos) << "the application's, not the default answer";
    manager.setServerTransactionInterface("OPTIONS", nullptr);
    // Outside a dialog OPTIONS says what we allow, accept and support; a method nobody handles gets 405 with
    // Allow; a request naming a dialog we do not have, 481; one requiring what we do not support, 420.
    // Every answer carries our To tag; session timers switched on for the last: "timer" is ours too.
    const std::string allow = "\r\nAllow: INVITE, ACK, BYE, CANCEL, OPTIONS, PRACK, INFO, NOTIFY, REFER, UPDATE\r\n";
    const std::tuple<std::string, std::string, const char*, std::vector<std::string>> cases[] = {
        {"OPTIONS", "", "SIP/2.0 200", {allow, "\r\nSupported: 100rel, replaces\r\n", "\r\nAccept: application/sdp\r"}},
        {"PUBLISH", "", "SIP/2.0 405", {allow}},
        {"NOTIFY", "", "SIP/2.0 481", {}},  // in a dialog (To tag l1)
        {"OPTIONS", "Require: 100rel, foo\r\nRequire: timer\r\n", "SIP/2.0 420", {"\r\nUnsupported: foo, timer\r\n"}},
        {"OPTIONS", "Require: timer\r\n", "SIP/2.0 200", {"\r\nSupported: 100rel, replaces, timer\r\n"}}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [method, require, status, lines] = cases[i];
        const std::string callId = "c" + std::to_string(i + 3);
        NvSipDialog::sm_bSupportTimer = i + 1 == std::size(cases);
        const Sent sent = injectExpecting(
            request(method, method == "NOTIFY" ? "l1" : "", "r1", require, callId, "z9hG4bK-" + callId), status);
        for (const std::string& line : lines) EXPECT_NE(sent.bytes.find(line), std::string::npos) << sent.bytes;
        EXPECT_FALSE(sent.message->getToHeader()->getTag().isEmpty()) << callId;
    }
}

// The peer's INVITE makes one call, listed with and without our tag; meanwhile authentication challenges new
// requests outside dialogs only.
TEST_F(CallManagerTest, NewInviteMakesOneCallListedWithAndWithoutOurTag_AuthenticationChallengesOutsideDialogsOnly) {
    acceptCalls();
    NvHandle<NvSipIncomingCall> call = startCall("c1");
    const std::string ourTag = call->getLocalTag().str();
    NvHandle<NvSipDialog> dialog = call->getDialog();
    EXPECT_EQ(dialog->getKey().str(), "c1," + ourTag + ",r1");
    EXPECT_EQ(manager.getDialogCount(), 2u);
    EXPECT_EQ(listed(request("BYE", ourTag, "r1")).get(), dialog.get());
    EXPECT_EQ(listed(request("BYE", "", "r1")).get(), dialog.get());

    // Retransmitted, the INVITE makes no second call.
    EXPECT_EQ(heardAfter(request("INVITE", "", "r1", "", "c1", "z9hG4bK-inv")), "inviteRequest");
    wire.clear();

    ChallengeEverything challengeEverything;
    NvSipCallManager::smp_AuthInterface = &challengeEverything;
    injectExpecting(request("OPTIONS", "", "r1", "", "c2"), "SIP/2.0 401");
    injectExpecting(request("INVITE", "", "r1", "", "c3"), "SIP/2.0 401");
    injectExpecting(request("BYE", "l9", "r9", "", "c4"), "SIP/2.0 481");
    EXPECT_EQ(heardAfter(request("INFO", ourTag, "r1", "", "c1", "z9hG4bK-info")), "unknownRequest");
    NvSipCallManager::smp_AuthInterface = nullptr;
    EXPECT_EQ(calls.size(), 1u);
    events->lastTransaction()->sendResponse(200);

    manager.removeDialog(dialog);  // its current key only
    EXPECT_TRUE(listed(request("BYE", ourTag, "r1")).isNil());
    EXPECT_EQ(listed(request("BYE", "", "r1")).get(), dialog.get());
    endCall(call);  // the call removes the first key (TearDown checks the table is empty)
    EXPECT_THROW(manager.updateDialogKey("c1,,r1", "c1,x,r1"), NvHandle<NvException>);
}

// Overload: at the call limit a new INVITE is answered 503 with Retry-After
// (RFC 3261 21.5.4) and never reaches the application, its retransmission
// gets its transaction's answer again and its ACK is absorbed; the listed
// calls' requests are served, and once a call has ended a new INVITE makes
// a call again. Beyond the stack's limit of live transactions, the 503 is
// stateless (RFC 3261 8.2.7): no transaction, the same To tag each time.
TEST_F(CallManagerTest, AtTheLimitsNewInvitesGet503RetryAfter_InCallRequestsServed_TakenAgainOnceACallEnded) {
    acceptCalls();
    manager.setCallLimit(2);
    NvHandle<NvSipIncomingCall> first = confirmed(startCall("c1", "z9hG4bK-1"));
    NvHandle<NvSipIncomingCall> second = startCall("c2", "z9hG4bK-2");
    EXPECT_EQ(manager.getCallCount(), 2u);
    events->taken();
    wire.clear();
    const std::string shed = request("INVITE", "", "r1", "", "c3", "z9hG4bK-3");
    const Sent refusal = injectExpecting(shed, "SIP/2.0 503");
    EXPECT_EQ(valueOf(refusal.message, "Retry-After"), "2");
    EXPECT_EQ(injectExpecting(shed, "SIP/2.0 503").bytes, refusal.bytes);
    inject(request("ACK", refusal.message->getToHeader()->getTag().str(), "r1", "", "c3", "z9hG4bK-3"));
    expectNothingSent();
    EXPECT_EQ(events->taken(), "");
    EXPECT_EQ(calls.count("c3"), 0u);

    EXPECT_EQ(heardAfter(request("BYE", first->getLocalTag().str(), "r1", "", "c1", "z9hG4bK-bye")), "terminated");
    first->respondToBye(nullptr);
    expectSent("SIP/2.0 200");
    NvHandle<NvSipIncomingCall> third = startCall("c4", "z9hG4bK-4");

    manager.setCallLimit(0);
    NvSipTransactionManager::m_MaxTransactions = static_cast<unsigned>(transactions.getTransactionCount());
    const std::string flood = request("INVITE", "", "r1", "", "c5", "z9hG4bK-5");
    wire.clear();
    const Sent stateless = injectExpecting(flood, "SIP/2.0 503");
    EXPECT_EQ(valueOf(stateless.message, "Retry-After"), "2");
    EXPECT_EQ(injectExpecting(flood, "SIP/2.0 503").bytes, stateless.bytes);
    EXPECT_EQ(transactions.getTransactionCount(), NvSipTransactionManager::m_MaxTransactions);
    EXPECT_EQ(calls.count("c5"), 0u);
    endCall(second, "z9hG4bK-2");
    endCall(third, "z9hG4bK-4");
}

// RFC 3891 3: the library refuses an INVITE with Replaces naming an early
// dialog it did not start (481), a confirmed one when it says early-only
// (486), one that is ending (603); the application hears of none.
TEST_F(CallManagerTest, ReplacesRefused_481EarlyNotOurs_486EarlyOnly_603Ending) {
    acceptCalls();
    NvHandle<NvSipIncomingCall> call = startCall("c1");
    const auto refused = [&](const std::string& extra, const std::string& status) {
        wire.clear();
        injectExpecting(request("INVITE", "", "r2", replacing(call, extra), "c2", "z9hG4bK-rep" + status),
                        "SIP/2.0 " + status);
    };
    refused("", "481");
    confirmed(call);
    refused(";early-only", "486");
    call->hangup();
    const Sent bye = expectSent("BYE sip:alice@192.0.2.1");
    refused("", "603");
    EXPECT_EQ(heardAfter(responseTo(bye, 200)), "inviteRequest callConfirmed terminated");
    expectNothingSent();
}

// An INVITE with Replaces that is not accepted leaves nothing behind: its dialog leaves the table and the call
// keeps its own, whether the application rejects it (603, ACKed or not: time-out) or the peer cancels it.
// Accepted, the new dialog is the call's; the replaced one ends apart from the call, by our BYE or by its
// party's, which the library answers 200.
TEST_F(CallManagerTest, ReplacesRejectedCancelledOrTimedOutLeavesNothing_AcceptedTheReplacedDialogEndsApart) {
    enum Path { Rejected, RejectedNoAck, Cancelled, AcceptedWeHangUp, AcceptedPartyHangsUp };
    acceptCalls();
    for (Path path : {Rejected, RejectedNoAck, Cancelled, AcceptedWeHangUp, AcceptedPartyHangsUp}) {
        SCOPED_TRACE(path);
        const std::string run = std::to_string(path), branch = "z9hG4bK-rep" + run;
        NvHandle<NvSipIncomingCall> call = confirmed(startCall("c1", "z9hG4bK-inv" + run));
        NvHandle<NvSipDialog> replaced = call->getDialog();
        wire.clear();
        EXPECT_EQ(heardAfter(request("INVITE", "", "r2", replacing(call), "c2", branch)),
                  "inviteRequest callConfirmed replacesDialog");
        EXPECT_EQ(manager.getDialogCount(), 4u);
        if (path == Cancelled) {
            inject(request("CANCEL", "", "r2", "", "c2", branch));
            for (const char* answer : {"SIP/2.0 100", "SIP/2.0 200", "SIP/2.0 487"}) expectSent(answer);
        } else if (path == Rejected || path == RejectedNoAck) {
            call->rejectReplaces();
            for (const char* answer : {"SIP/2.0 100", "SIP/2.0 603"}) expectSent(answer);
        } else {
            call->acceptReplaces();
            EXPECT_NE(call->getDialog().get(), replaced.get());
            call->answer(200, nullptr, nullptr, 0);  // on the new dialog
            expectSent("SIP/2.0 100");
            EXPECT_EQ(expectSent("SIP/2.0 200").message->getCallID().str(), "c2");
            EXPECT_EQ(heardAfter(request("ACK", call->getLocalTag().str(), "r2", "", "c2", "z9hG4bK-ack2")),
                      "callConfirmed");
        }
        if (path == RejectedNoAck)
            clock.advance(64 * 500);
        else if (path <= Cancelled)
            inject(request("ACK", call->getLocalTag().str(), "r2", "", "c2", branch));
        if (path <= Cancelled) call->acceptReplaces();  // nothing pending any more
        if (path == AcceptedPartyHangsUp) {
            injectExpecting(request("BYE", call->getLocalTag().str(), "r1", "", "c1", "z9hG4bK-bye", 2),
                            "SIP/2.0 200");
        } else if (path == AcceptedWeHangUp) {
            replaced->hangup(nullptr);
            const Sent bye = expectSent("BYE sip:alice@192.0.2.1");
            EXPECT_EQ(bye.message->getCallID().str(), "c1");
            inject(responseTo(bye, 200));
        }
        EXPECT_EQ(events->taken(), "") << "the replaced dialog's end is not the call's";
        EXPECT_EQ(manager.getDialogCount(), 2u) << "only the call's dialog is listed";
        EXPECT_EQ(call->getCallID().str(), path <= Cancelled ? "c1" : "c2");
        wire.clear();  // the 603 repeated, unacknowledged
        hangUp(call);
    }
}

// Each dialog is listed with and without our tag, and under a third key its
// own ending leaves listed; whichever key the table gives first, the dialog is
// hung up and terminated once.
TEST_F(CallManagerTest, ClearEndsEveryDialogOnce) {
    Tellar::LogCapture trace("lumbrook.nv.NvSipDialog", Tellar::TRACE);  // a dialog reads its level as it is made
    acceptCalls();
    std::vector<NvHandle<NvSipIncomingCall>> calls;
    for (int i = 0; i < 8; ++i) {
        calls.push_back(startCall("c" + std::to_string(i), "z9hG4bK-inv" + std::to_string(i)));
        const NvString key = calls.back()->getDialog()->getKey();
        manager.updateDialogKey(key, NvString(key.str() + ";alias"));
    }
    wire.clear();
    EXPECT_EQ(manager.getDialogCount(), 24u);
    manager.clear(true);
    for (int i = 0; i < 8; ++i) expectSent("SIP/2.0 487");
    expectNothingSent();
    for (const char* operation : {"ENTER: NvSipDialog::hangup", "ENTER: NvSipDialog::terminating"})
        EXPECT_EQ(trace.count(Tellar::TRACE, operation), 8u) << operation;
    for (const auto& call : calls) EXPECT_TRUE(call->getDialog().isNil());
}

TEST_F(CallManagerTest, AnApplicationThatOnlyAnswersStillEndsItsCalls) {
    struct AnswerOnly : NvSipIncomingCallinterface {
        void inviteRequest(Call call, NvHandle<NvSipInviteMessage>) override { call->answer(200, nullptr, nullptr, 0); }
    };
    NvHandle<AnswerOnly> answerOnly = new AnswerOnly;
    NvHandle<NvSipIncomingCall> call;
    newCall = [&](NvHandle<NvSipInviteMessage> invite) {
        return call = new NvSipIncomingCall(invite, answerOnly.get());
    };
    injectExpecting(request("INVITE", "", "r1"), "SIP/2.0 200");
    inject(request("ACK", call->getLocalTag().str(), "r1", "", "c1", "z9hG4bK-ack"));
    int cseq = 1;  // the defaults answer what reaches them at once, the peer's BYE too
    for (const auto& [method, answer] : {std::pair("OPTIONS", "SIP/2.0 200"), {"MESSAGE", "SIP/2.0 501"},
                                         {"INFO", "SIP/2.0 500"}, {"BYE", "SIP/2.0 200"}}) {
        const std::string branch = std::string("z9hG4bK-") + method;
        injectExpecting(request(method, call->getLocalTag().str(), "r1", "", "c1", branch, ++cseq), answer);
    }
    EXPECT_TRUE(call->getDialog().isNil());
    // A retransmitted BYE is still answered, without the dialog or the BYE's transaction.
    call = nullptr;
    EXPECT_EQ(Tellar::liveAllocations("NvSipDialog"), 0);
    EXPECT_EQ(NvSipTransactionManager::getInstance()->getTransactionCount(), 0u);
    injectExpecting(request("BYE", "", "r1", "", "c1", "z9hG4bK-BYE"), "SIP/2.0 200");
}

// One manager at a time. Destroyed while calls live, it ends them (so that
// calls and dialogs do not keep each other alive), and nothing reaches it
// after: new requests are refused by the stack, in-dialog traffic and timers
// find no manager. A new one may be made.
TEST_F(CallManagerTest, OneAtATime_DestroyedWithLiveCallsNothingReachesItAfter) {
    EXPECT_NE(raised([] { NvSipCallManager second(nullptr, nullptr); }).find("There can be only one call manager"),
              std::string::npos);
    acceptCalls();
    NvHandle<NvSipIncomingCall> ringing = startCall("c1"), answered = confirmed(startCall("c2", "z9hG4bK-inv2"));
    inject(request("INVITE", "", "r3", replacing(answered), "c3", "z9hG4bK-rep"));  // left pending
    wire.clear();
    Sent invite;
    NvHandle<NvSipOutgoingCall> dialing = dial(invite, "c9");

    sDestroyManager();
    EXPECT_EQ(NvSipCallManager::smp_TheSingleton, nullptr);
    for (const auto& call : {ringing, answered}) EXPECT_TRUE(call->getDialog().isNil());
    EXPECT_TRUE(dialing->allDialogsTerminated());
    injectExpecting(request("INVITE", "", "r5", "", "c5", "z9hG4bK-new"), "SIP/2.0 480");
    inject(request("BYE", answered->getLocalTag().str(), "r1", "", "c2", "z9hG4bK-bye", 2));
    inject(answer(invite, 200));
    clock.advance(64 * 500);
    calls.clear();  // TearDown checks no dialog is left alive
    EXPECT_EQ(&sManager(), NvSipCallManager::smp_TheSingleton);
}

// Calls start and end on several threads while requests are routed: the
// table's adds, removals and re-keying race the lookups. Meant for
// ThreadSanitizer (the test command runs it there).
TEST_F(CallManagerTest, TableChangesRaceRouting) {
    acceptCalls();
    constexpr int kThreads = 3, kCalls = 60;
    std::atomic<bool> done{false};
    std::thread router([&] {
        for (int i = 0; !done.load(); ++i) {
            const std::string callId = "t" + std::to_string(i % kThreads) + "-" + std::to_string(i % kCalls);
            inject(request("OPTIONS", "", "r1", "", callId, "z9hG4bK-r" + std::to_string(i)));
        }
    });
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t)
        callers.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                const std::string callId = "t" + std::to_string(t) + "-" + std::to_string(i);
                NvHandle<NvSipIncomingCall> call = startCall(callId, "z9hG4bK-" + callId);
                inject(request("INFO", call->getLocalTag().str(), "r1", "", callId, "z9hG4bK-i" + callId));
                endCall(call, "z9hG4bK-" + callId);
            }
        });
    for (std::thread& caller : callers) caller.join();
    done = true;
    router.join();
    EXPECT_EQ(calls.size(), size_t(kThreads * kCalls));
}

}  // namespace
