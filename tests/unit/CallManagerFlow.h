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
        lastTransaction = transaction;
    }
    void referRequest(Call, NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipReferMessage>) override {
        record("referRequest");
        lastTransaction = transaction;
    }
    void notifyRequest(Call, NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipNotifyMessage>) override {
        record("notifyRequest");
        lastTransaction = transaction;
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
    NvHandle<NvSipServerTransaction> lastTransaction;

private:
    void record(const std::string& event) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Events.push_back(event);
    }
    std::mutex m_Mutex;
    std::vector<std::string> m_Events;
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
        events->lastTransaction = nullptr;
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
