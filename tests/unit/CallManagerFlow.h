#pragma once
// The call layer's test fixtures: CallFlow (test transport and clock) with
// the process's one call manager registered with the stack, and the
// application's interfaces recording every event by name:
//
//     acceptCalls();
//     inject(request("INVITE", "", "r1"));
//     EXPECT_EQ(events->taken(), "inviteRequest");
//
// Every test must end its calls: TearDown checks that no dialog is left in
// the manager's table nor alive.

#include "CallFlow.h"

#include "mlapi/NvSipCallManager.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipIncomingCall.h"
#include "mlapi/NvSipOutgoingCall.h"
#include "stack/auth/NvAuthenticationInterface.h"
#include "stack/log/TellarAlloc.h"

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Event names in the order they came (any thread); taken() joins them with
// spaces and forgets them.
class EventLog {
public:
    std::string taken() { return locked([&] { return std::exchange(m_Events, ""); }); }
    void record(const std::string& event) { locked([&] { m_Events += (m_Events.empty() ? "" : " ") + event; }); }

protected:
    static std::string code(const NvHandle<NvSipResponse>& r) { return std::to_string(r->getStatusCode()); }
    // Runs `f` under the lock that guards the events and what subclasses keep (calls on several threads write them).
    template <class F>
    auto locked(F f) -> decltype(f()) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return f();
    }

private:
    std::mutex m_Mutex;
    std::string m_Events;  // guarded by m_Mutex
};

// The application's interface of incoming calls. Every event is recorded
// (responses with their status: "reinviteResponse 200");
// onSessionRefreshTime runs `onRefresh` when set; the message that ended
// the call and the transaction of the last request handed over are kept.
// reinviteResponse keeps its default reply (ACK, PRACK), and updateRequest
// when defaultUpdateReply is set; terminated and replacesDialog do nothing more (tests answer the BYE and settle the
// Replaces themselves).
class RecordedIncomingEvents : public NvSipIncomingCallinterface, public EventLog {
    using Transaction = NvHandle<NvSipServerTransaction>;
    using Dialog = NvHandle<NvSipDialog>;

public:
    std::function<void()> onRefresh;
    std::function<void(Call)> onPrack;  // runs inside prack when set
    bool defaultUpdateReply = false;  // updateRequest answers as the interface's default does

    void inviteRequest(Call, NvHandle<NvSipInviteMessage>) override { record("inviteRequest"); }
    void prack(Call call, NvHandle<NvSipPrackMessage> p) override {
        received("prack", p);
        if (onPrack) onPrack(call);
    }
    void callConfirmed(Call, NvHandle<NvSipAckMessage> ack) override { received("callConfirmed", ack); }
    void terminated(Call, NvHandle<NvSipMessage> m) override { record("terminated"); locked([&] { m_hEnded = m; }); }
    void unknownRequest(Call, Transaction t, NvHandle<NvSipRequest>) override { handedOver("unknownRequest", t); }
    void referRequest(Call, Transaction t, NvHandle<NvSipReferMessage>) override { handedOver("referRequest", t); }
    void notifyRequest(Call, Transaction t, NvHandle<NvSipNotifyMessage>) override { handedOver("notifyRequest", t); }
    void referResponse(Call, NvHandle<NvSipResponse> r) override { record("referResponse " + code(r)); }
    void notifyResponse(Call, NvHandle<NvSipResponse> r) override { record("notifyResponse " + code(r)); }
    void reinviteRequest(Call, NvHandle<NvSipInviteMessage>) override { record("reinviteRequest"); }
    void reinviteCancel(Call, NvHandle<NvSipRequest>) override { record("reinviteCancel"); }
    void reinviteResponse(Call call, NvHandle<NvSipResponse> r) override {
        record("reinviteResponse " + code(r));
        NvSipIncomingCallinterface::reinviteResponse(call, r);
    }
    void reinviteAck(Call, NvHandle<NvSipAckMessage>) override { record("reinviteAck"); }
    void reinviteTimeOut(Call, NvHandle<NvSipInviteMessage>) override { record("reinviteTimeOut"); }
    void onSessionTimeOut(Call) override { record("expiry"); }
    void onSessionRefreshTime(Call) override { record("refresh"); if (onRefresh) onRefresh(); }
    void replacesDialog(Call, Dialog, Dialog, NvHandle<NvSipInviteMessage>) override { record("replacesDialog"); }
    void updateRequest(Call call, NvHandle<NvSipUpdateMessage> u) override {
        record("updateRequest");
        if (defaultUpdateReply) NvSipIncomingCallinterface::updateRequest(call, u);
    }
    void updateResponse(Call, NvHandle<NvSipResponse> r) override { record("updateResponse " + code(r)); }

    // The transaction of the last request handed over (to answer it on),
    // what terminated gave last, and the body of the last PRACK or ACK.
    Transaction lastTransaction() { return locked([&] { return m_hLastTransaction; }); }
    std::string receivedBody() { return locked([&] { return m_ReceivedBody; }); }
    NvHandle<NvSipMessage> ended() { return locked([&] { return m_hEnded; }); }
    void forget() {
        locked([&] { m_hLastTransaction = nullptr; m_hEnded = nullptr; });
        onRefresh = nullptr;
        onPrack = nullptr;
        defaultUpdateReply = false;
        taken();
    }

private:
    void handedOver(const std::string& event, Transaction t) { record(event); locked([&] { m_hLastTransaction = t; }); }
    void received(const std::string& event, const NvHandle<NvSipMessage>& m) {
        record(event);
        locked([&] { m_ReceivedBody = m->getBody(); });
    }
    std::string m_ReceivedBody;       // guarded by locked()
    Transaction m_hLastTransaction;   // guarded by locked()
    NvHandle<NvSipMessage> m_hEnded;  // guarded by locked()
};

// The application's interface of outgoing calls: every event recorded, with
// the dialog and the message of the last one kept; redirect runs
// `onRedirect` when set. The other callbacks keep their defaults.
class RecordedOutgoingEvents : public NvSipOutgoingCallinterface, public EventLog {
public:
    std::function<void(Call, Dialog, NvHandle<NvSipResponse>)> onRedirect;
    NvHandle<NvSipDialog> lastDialog;
    NvHandle<NvSipMessage> lastMessage;

    void reliableProvisionalResponse(Call, Dialog d, NvHandle<NvSipResponse> r) override { note("reliable", d, r); }
    void provisionalResponse(Call, Dialog d, NvHandle<NvSipResponse> r) override { note("provisional", d, r); }
    void failedToConnect(Call, Dialog d, NvHandle<NvSipResponse> r) override { note("failedToConnect", d, r); }
    void redirect(Call call, Dialog d, NvHandle<NvSipResponse> r) override {
        note("redirect", d, r);
        if (onRedirect) onRedirect(call, d, r);
    }
    void succeeded(Call, Dialog d, NvHandle<NvSipResponse> r) override { note("succeeded", d, r); }
    void dialogTerminated(Call, Dialog d, NvHandle<NvSipMessage> m) override { note("dialogTerminated", d, m); }
    void terminated(Call, NvHandle<NvSipMessage> m) override { note("terminated", lastDialog, m); }
    void multipleResponse(Call, Dialog d, NvHandle<NvSipResponse> r) override { note("multipleResponse", d, r); }
    void reinviteRequest(Call, Dialog d, NvHandle<NvSipInviteMessage> i) override { note("reinviteRequest", d, i); }
    void replacesDialog(Call, Dialog made, Dialog, NvHandle<NvSipInviteMessage> i) override {
        note("replacesDialog", made, i);
    }
    void onSessionRefreshTime(Call, Dialog d) override { note("onSessionRefreshTime", d, nullptr); }
    void onSessionTimeOut(Call, Dialog d) override { note("onSessionTimeOut", d, nullptr); }
    void prackResponse(Call, Dialog d, NvHandle<NvSipResponse> r) override {
        note("prackResponse " + (r.isNil() ? std::string("none") : code(r)), d, r);
    }
    void updateRequest(Call call, Dialog d, NvHandle<NvSipUpdateMessage> u) override {
        note("updateRequest", d, u);
        NvSipOutgoingCallinterface::updateRequest(call, d, u);
    }
    void updateResponse(Call, Dialog d, NvHandle<NvSipResponse> r) override { note("updateResponse", d, r); }

private:
    void note(const std::string& event, const Dialog& dialog, const NvHandle<NvSipMessage>& message) {
        record(event);
        lastDialog = dialog;
        lastMessage = message;
    }
};

// The manager's authentication policy while it lives: answers every 401 or
// 407 with a made-up Authorization or Proxy-Authorization (replacing an
// earlier one) and challenges nothing.
class TestCredentials : public NvAuthenticationInterface {
public:
    TestCredentials() : m_pSaved(NvSipCallManager::smp_AuthInterface) { NvSipCallManager::smp_AuthInterface = this; }
    ~TestCredentials() override { NvSipCallManager::smp_AuthInterface = m_pSaved; }
    NvHandle<NvSipResponse> request(NvHandle<NvSipRequest>) override { return nullptr; }
    bool response(NvHandle<NvSipResponse> challenge, NvHandle<NvSipRequest> request) override {
        const int status = challenge->getStatusCode();
        if (status != 401 && status != 407) return false;
        const char* name = status == 407 ? "Proxy-Authorization" : "Authorization";
        request->removeHeader(name);
        request->addHeader(NvSipHeader::sCreate(name, "Digest username=\"a\""));
        return true;
    }

private:
    NvAuthenticationInterface* m_pSaved;
};

class CallManagerFlow : public CallFlow {
protected:
    using NewCall = std::function<NvHandle<NvSipIncomingCall>(NvHandle<NvSipInviteMessage>)>;

    // What the application's newCall does in this test (nil: refuse).
    static inline NewCall newCall;
    // How the application's stray interface answers a BYE of no dialog in this test (nil: its default, 481).
    static inline std::function<void(NvHandle<NvSipServerTransaction>)> onStrayBye;
    // What the application's callTakenOver does in this test (nil: nothing).
    static inline std::function<void(NvHandle<NvSipIncomingCall>)> onTakeOver;
    NvHandle<RecordedIncomingEvents> events = new RecordedIncomingEvents;
    NvHandle<RecordedOutgoingEvents> outgoing = new RecordedOutgoingEvents;
    NvSipCallManager& manager = sManager();

    static void SetUpTestSuite() { NvSipCall::setLocalHostPort("192.0.2.10", 5060, NvSocketImpl::UDP, "bob"); }
    void SetUp() override {
        CallFlow::SetUp();
        manager.registerWithStack();
    }
    void TearDown() override {
        newCall = nullptr;
        onStrayBye = nullptr;
        onTakeOver = nullptr;
        sManager().setSnapshotStore(nullptr, nullptr);
        sManager().setCallLimit(0);
        NvSipTransactionManager::m_MaxTransactions = 0;
        events->forget();
        outgoing->lastDialog = nullptr;
        CallFlow::TearDown();
        NvSipDialog::sm_bSupportTimer = false;
        EXPECT_EQ(sManager().getDialogCount(), 0u) << "dialogs left in the call manager's table";
        EXPECT_EQ(Tellar::liveAllocations("NvSipDialog"), 0) << "dialogs left alive";
        // What the manager remembers (late answers) is timed by this test's
        // clock, and the next test's clock starts over: each test has a
        // manager of its own.
        sDestroyManager();
    }

    // Injects `text`; what the incoming (outgoing) calls' interface heard meanwhile.
    std::string heardAfter(const std::string& text) { return inject(text), events->taken(); }
    std::string outgoingHeardAfter(const std::string& text) { return inject(text), outgoing->taken(); }

    // Our call from bob@192.0.2.10 to sip:alice@192.0.2.1 (Call-ID `callId`,
    // CSeq 7, `extra` lines in the INVITE), with `outgoing` as its interface;
    // the INVITE is taken from the wire into `invite`.
    NvHandle<NvSipOutgoingCall> dial(Sent& invite, const std::string& callId, const std::string& extra = "") {
        NvHandle<NvSipOutgoingCall> placed = new NvSipOutgoingCall(
            NvHandle<NvSipInviteMessage>(parse("INVITE sip:alice@192.0.2.1 SIP/2.0\nFrom: <sip:bob@192.0.2.10>\n"
                                               "To: <sip:alice@192.0.2.1>\nCall-ID: " + callId +
                                               "\nCSeq: 7 INVITE\n" + extra + "Content-Length: 0\n\n")),
            outgoing.get(), nullptr);
        invite = expectSent("INVITE sip:alice@192.0.2.1");
        return placed;
    }

    // Ends the call's dialog as the manager's shutdown would (terminating()
    // under the dialog), and the call lets go of it. Nothing when it has none.
    static void endDialog(const NvHandle<NvSipIncomingCall>& call) {
        const NvHandle<NvSipDialog> dialog = call->getDialog();
        if (dialog.isNil()) return;
        dialog->terminating();
        call->removeDialog(dialog);
    }
    // We hang up `call` (nothing else on the wire) and the peer answers the BYE: the call is over.
    void hangUp(const NvHandle<NvSipIncomingCall>& call) {
        call->hangup();
        EXPECT_EQ(heardAfter(answer(expectSent("BYE sip:alice@192.0.2.1"), 200)), "terminated");
        EXPECT_TRUE(call->getDialog().isNil());
    }

private:
    struct Application : NvSipNewCallinterface {
        NvHandle<NvSipIncomingCall> newCall(NvHandle<NvSipInviteMessage> invite) override {
            return CallManagerFlow::newCall ? CallManagerFlow::newCall(invite) : nullptr;
        }
        void callTakenOver(NvHandle<NvSipIncomingCall> call) override {
            if (onTakeOver) onTakeOver(call);
        }
    };
    // The defaults, but for a stray BYE when the test says how to answer it.
    struct Stray : NvSipCallStrayInterface {
        void strayBye(NvHandle<NvSipByeMessage> m, NvHandle<NvSipServerTransaction> t) override {
            onStrayBye ? onStrayBye(t) : NvSipCallStrayInterface::strayBye(m, t);
        }
    };
    static inline NvSipCallManager* smp_Manager = nullptr;  // sManager()'s

protected:
    // Made on first use in a test, and kept for the test, as an application
    // keeps it for its run (through its handle).
    static NvSipCallManager& sManager() {
        if (!smp_Manager) (smp_Manager = new NvSipCallManager(new Application, new Stray))->AddRef();
        return *smp_Manager;
    }
    // The application lets go of the manager (the fixture's `manager` is
    // gone with it); the next sManager() makes a new one.
    static void sDestroyManager() { std::exchange(smp_Manager, nullptr)->Release(); }
};

// A confirmed incoming call from sip:alice@192.0.2.1 (Call-ID c1, her tag
// r1), for flows in an established call.
class ConfirmedCallFlow : public CallManagerFlow {
protected:
    NvHandle<NvSipIncomingCall> call;

    void TearDown() override {
        CallManagerFlow::TearDown();
        if (!call.isNil()) endDialog(call);  // after a failure: keeps it out of the next test
        call = nullptr;
    }
    // The peer's INVITEs make calls with `events` as their interface, the last one kept in `call`.
    void acceptCalls() {
        newCall = [this](NvHandle<NvSipInviteMessage> invite) {
            return call = new NvSipIncomingCall(invite, events.get());
        };
    }
    // The peer's INVITE (with `extra` lines) reaches a new call.
    void receiveInvite(const std::string& extra = "") {
        acceptCalls();
        injectExpecting(request("INVITE", "", "r1", extra), "SIP/2.0 100");
        ASSERT_EQ(events->taken(), "inviteRequest");
    }
    void answerCall(const std::string& extra = "") {
        receiveInvite(extra);
        call->answer(200, nullptr, nullptr, 0);
        expectSent("SIP/2.0 200");
        inject(fromPeer("ACK", 1, "z9hG4bK-ack1"));
        ASSERT_EQ(events->taken(), "callConfirmed");
    }
    // A request of the peer in the call, CSeq `cseq`.
    std::string fromPeer(const std::string& method, int cseq, const std::string& branch,
                         const std::string& extra = "") const {
        return request(method, call->getLocalTag().str(), "r1", extra, "c1", branch, cseq);
    }
    // Our re-INVITE through the call, answered `code` (with `extra` lines)
    // and ACKed (by the interface's default or the transaction); returns it.
    Sent reinviteAnswered(int code, const std::string& extra = "") {
        call->reinvite(nullptr, nullptr, 0, nullptr);
        Sent invite = expectSent("INVITE sip:alice@192.0.2.1");
        injectExpecting(answer(invite, code, "r1", extra), "ACK sip:alice@192.0.2.1");
        return invite;
    }
    // The peer hangs up (BYE with CSeq `cseq`) and we answer 200.
    void peerHangsUp(int cseq) {
        EXPECT_EQ(heardAfter(fromPeer("BYE", cseq, "z9hG4bK-bye")), "terminated");
        EXPECT_EQ(events->ended()->toString().substr(0, 4), "BYE ");
        call->respondToBye(nullptr);
        expectSent("SIP/2.0 200");
        EXPECT_TRUE(call->getDialog().isNil());
    }
    using CallManagerFlow::hangUp;
    void hangUp() { hangUp(call); }
};
