#pragma once
// The call layer's test fixture: CallFlow (test transport and clock) with
// the process's one call manager registered with the stack. The manager's
// application interfaces forward to what each test sets:
//
//     newCall = [&](auto invite) { return new NvSipIncomingCall(invite, events.get()); };
//     inject(request("INVITE", "", "r1"));
//     EXPECT_EQ(events->taken(), "inviteRequest");
//
// Every test must end its calls: TearDown checks that no dialog is left in
// the manager's table nor alive.

#include "CallFlow.h"

#include "mlapi/NvSipCallManager.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipIncomingCall.h"
#include "stack/log/TellarAlloc.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

// The application's interface of incoming calls, recording each event's
// name; inviteRequest runs `onInvite` when set.
class RecordedIncomingEvents : public NvSipIncomingCallinterface {
public:
    std::function<void(Call, NvHandle<NvSipInviteMessage>)> onInvite;
    std::function<void(Call, NvHandle<NvSipMessage>)> onTerminated;

    void inviteRequest(Call call, NvHandle<NvSipInviteMessage> invite) override {
        record("inviteRequest");
        if (onInvite) onInvite(call, invite);
    }
    void prack(Call, NvHandle<NvSipPrackMessage>) override { record("prack"); }
    void callConfirmed(Call, NvHandle<NvSipAckMessage>) override { record("callConfirmed"); }
    void terminated(Call call, NvHandle<NvSipMessage> message) override {
        record("terminated");
        if (onTerminated) onTerminated(call, message);
    }
    void unknownRequest(Call, NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest>) override {
        record("unknownRequest");
        keep(transaction);
    }
    void referRequest(Call, NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipReferMessage>) override {
        record("referRequest");
        keep(transaction);
    }
    void notifyRequest(Call, NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipNotifyMessage>) override {
        record("notifyRequest");
        keep(transaction);
    }
    void replacesDialog(Call, NvHandle<NvSipDialog>, NvHandle<NvSipDialog>, NvHandle<NvSipInviteMessage>) override {
        record("replacesDialog");
    }

    // The events recorded since the last call, joined by spaces.
    std::string taken() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        std::string joined;
        for (const std::string& event : m_Events) joined += (joined.empty() ? "" : " ") + event;
        m_Events.clear();
        return joined;
    }
    // The transaction of the last request handed over (to answer it on).
    NvHandle<NvSipServerTransaction> lastTransaction() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_hLastTransaction;
    }
    void forgetTransaction() { keep(nullptr); }

private:
    void keep(NvHandle<NvSipServerTransaction> transaction) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_hLastTransaction = std::move(transaction);
    }
    void record(const std::string& event) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Events.push_back(event);
    }
    std::mutex m_Mutex;
    std::vector<std::string> m_Events;
    NvHandle<NvSipServerTransaction> m_hLastTransaction;  // guarded by m_Mutex
};

class CallManagerFlow : public CallFlow {
protected:
    using NewCall = std::function<NvHandle<NvSipIncomingCall>(NvHandle<NvSipInviteMessage>)>;

    // What the application's newCall does in this test (nil: refuse).
    static NewCall newCall;
    // The application's stray interface in this test (the defaults unless replaced).
    static NvHandle<NvSipCallStrayInterface> stray;
    NvHandle<RecordedIncomingEvents> events = new RecordedIncomingEvents;
    NvSipCallManager& manager = sManager();

    void SetUp() override {
        CallFlow::SetUp();
        manager.registerWithStack();
        newCall = nullptr;
        stray = new NvSipCallStrayInterface;
    }
    void TearDown() override {
        newCall = nullptr;
        stray = nullptr;
        events->forgetTransaction();
        CallFlow::TearDown();
        EXPECT_EQ(manager.getDialogCount(), 0u) << "dialogs left in the call manager's table";
        EXPECT_EQ(Tellar::liveAllocations("NvSipDialog"), 0) << "dialogs left alive";
    }

    // A call answering `invite` with `events` as its interface.
    NewCall answeredBy(NvHandle<RecordedIncomingEvents> callEvents) {
        return [callEvents](NvHandle<NvSipInviteMessage> invite) {
            return NvHandle<NvSipIncomingCall>(new NvSipIncomingCall(invite, callEvents.get()));
        };
    }

    // Ends the call's dialog as the manager's shutdown would (terminating()
    // under the dialog), and the call lets go of it. Nothing when it has none.
    static void endDialog(const NvHandle<NvSipIncomingCall>& call) {
        const NvHandle<NvSipDialog> dialog = call->getDialog();
        if (dialog.isNil()) return;
        dialog->terminating();
        call->removeDialog(dialog);
    }
    // The peer's `code` response to a request we sent.
    static std::string responseTo(const Sent& sent, int code) {
        return NvSipResponse(code, NvHandle<NvSipRequest>(sent.message)).toString();
    }

private:
    class Application : public NvSipNewCallinterface {
    public:
        NvHandle<NvSipIncomingCall> newCall(NvHandle<NvSipInviteMessage> invite) override {
            return CallManagerFlow::newCall ? CallManagerFlow::newCall(invite) : nullptr;
        }
    };
    class Stray : public NvSipCallStrayInterface {
    public:
        void strayResponse(NvHandle<NvSipResponse> m) override { stray->strayResponse(m); }
        void strayAck(NvHandle<NvSipAckMessage> m) override { stray->strayAck(m); }
        void strayCancel(NvHandle<NvSipCancelMessage> m) override { stray->strayCancel(m); }
        void strayPrack(NvHandle<NvSipPrackMessage> m) override { stray->strayPrack(m); }
        void strayReplacesInvite(NvHandle<NvSipInviteMessage> m, NvHandle<NvSipServerTransaction> t) override {
            stray->strayReplacesInvite(m, t);
        }
        void strayBye(NvHandle<NvSipByeMessage> m, NvHandle<NvSipServerTransaction> t) override {
            stray->strayBye(m, t);
        }
        void strayUnknownRequest(NvHandle<NvSipRequest> m, NvHandle<NvSipServerTransaction> t) override {
            stray->strayUnknownRequest(m, t);
        }
        void invalidMessage(NvHandle<NvSipMessage> m) override { stray->invalidMessage(m); }
        void malFormedMessage(NvHandle<NvSipMessage> m) override { stray->malFormedMessage(m); }
    };
    // Made on first use and kept for the whole run, as in an application.
    static NvSipCallManager& sManager() {
        static NvSipCallManager* manager = [] {
            auto* made = new NvSipCallManager(new Application, new Stray);
            made->AddRef();  // the application's handle: unregistering from the stack must not free it
            return made;
        }();
        return *manager;
    }
};

inline CallManagerFlow::NewCall CallManagerFlow::newCall;
inline NvHandle<NvSipCallStrayInterface> CallManagerFlow::stray;

// RecordedIncomingEvents that also records, in `more`, the events of our
// re-INVITE's time-out and of the session timer; `onRefresh` runs inside
// onSessionRefreshTime when set. The other callbacks keep their defaults.
class RecordedSessionEvents : public RecordedIncomingEvents {
public:
    std::function<void()> onRefresh;
    std::string more;  // joined by spaces

    void reinviteTimeOut(Call, NvHandle<NvSipInviteMessage>) override { add("reinviteTimeOut"); }
    void onSessionRefreshTime(Call) override {
        add("refresh");
        if (onRefresh) onRefresh();
    }
    void onSessionTimeOut(Call) override { add("expiry"); }
    std::string takenMore() {
        std::string joined;
        joined.swap(more);
        return joined;
    }

private:
    void add(const std::string& event) { more += (more.empty() ? "" : " ") + event; }
};

// A confirmed incoming call from sip:alice@192.0.2.1 (Call-ID c1, her tag
// r1) answered with the default replies of RecordedSessionEvents, for
// flows of our re-INVITE and the session timer.
class ConfirmedCallFlow : public CallManagerFlow {
protected:
    NvHandle<RecordedSessionEvents> session = new RecordedSessionEvents;
    NvHandle<NvSipIncomingCall> call;

    static void SetUpTestSuite() { NvSipCall::setLocalHostPort("192.0.2.10", 5060, NvSocketImpl::UDP, "bob"); }
    void SetUp() override {
        CallManagerFlow::SetUp();
        events = session;
    }
    void TearDown() override {
        NvSipDialog::sm_bSupportTimer = false;
        session->onRefresh = nullptr;
        CallManagerFlow::TearDown();
        if (!call.isNil()) endDialog(call);  // after a failure: keeps it out of the next test
        call = nullptr;
    }
    void answerCall() {
        newCall = [this](NvHandle<NvSipInviteMessage> invite) {
            return call = new NvSipIncomingCall(invite, session.get());
        };
        inject(request("INVITE", "", "r1"));
        expectSent("SIP/2.0 100");
        call->answer(200, nullptr, nullptr, 0);
        expectSent("SIP/2.0 200");
        inject(fromPeer("ACK", 1, "z9hG4bK-ack1"));
        ASSERT_EQ(events->taken(), "inviteRequest callConfirmed");
    }
    // A request of the peer in the call, CSeq `cseq`.
    std::string fromPeer(const std::string& method, int cseq, const std::string& branch) const {
        std::string text = request(method, call->getLocalTag().str(), "r1", "", "c1", branch);
        return text.replace(text.find("CSeq: 1 "), 8, "CSeq: " + std::to_string(cseq) + " ");
    }
    // The peer's `code` to `sent` with her tag, her Contact and `extra` lines.
    static std::string reply(const Sent& sent, int code, const std::string& extra = "") {
        NvHandle<NvSipResponse> response = new NvSipResponse(code, NvHandle<NvSipRequest>(sent.message));
        if (response->getToHeader()->getTag().isEmpty()) response->getToHeader()->setTag("r1");
        std::string text = response->toString();
        return text.insert(text.find("\r\n") + 2, "Contact: <sip:alice@192.0.2.1>\r\n" + extra);
    }
    static uint32_t cseqOf(const Sent& sent) { return sent.message->getCSeqHeader()->getNumber(); }
    static std::string valueOf(const Sent& sent, const char* name) {
        NvHandle<NvSipHeader> found = sent.message->mGetHeader(name);
        return found.isNil() ? "" : found->getValue().str();
    }
    // Our re-INVITE through the call, answered `code` (with `extra` lines);
    // returns it.
    Sent reinviteAnswered(int code, const std::string& extra = "") {
        call->reinvite(nullptr, nullptr, 0, nullptr);
        Sent invite = expectSent("INVITE sip:alice@192.0.2.1");
        inject(reply(invite, code, extra));
        expectSent("ACK sip:alice@192.0.2.1");
        return invite;
    }
    // We hang up and the peer answers the BYE: the call is over.
    void hangUp() {
        call->hangup();
        inject(reply(expectSent("BYE sip:alice@192.0.2.1"), 200));
        EXPECT_EQ(events->taken(), "terminated");
        EXPECT_TRUE(call->getDialog().isNil());
    }
};
