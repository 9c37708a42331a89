// Hot paths of the call layer, on the test transport and the test clock (no
// sockets: what is measured is the library's own work).
//
// BM_IncomingCall: one whole call per iteration, as the peer makes it:
// INVITE (the application answers 200 from inviteRequest), ACK, BYE (the
// interface's default answers it). Every 1,000 calls the clock passes
// 64*T1, the time the transaction manager remembers finished transactions,
// so that keeping and forgetting what a finished call leaves behind is
// counted too. items/s is calls per second.
//
// BM_DialogLookup: the call manager finding the dialog of an in-dialog
// request among `state.range(0)` confirmed calls.
//
// BM_TransactionCreateAndMatch: a new server transaction for an OPTIONS
// (created, answered 200) and its retransmission matched and answered again.
//
// BM_CancelAllTimers: an observer's own timers cancelled while
// `state.range(0)` timers of others are pending.

#include "mlapi/NvSipCallManager.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipIncomingCall.h"
#include "stack/sip/NvSipParser.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/timer/NvTestClock.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTestTransport.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

std::string request(const std::string& method, const std::string& callId, const std::string& toTag, int cseq,
                    const std::string& branch) {
    return method + " sip:bob@192.0.2.10 SIP/2.0\r\nVia: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bK-" + branch +
           "\r\nMax-Forwards: 70\r\nFrom: <sip:alice@192.0.2.1>;tag=r1\r\nTo: <sip:bob@192.0.2.10>" +
           (toTag.empty() ? "" : ";tag=" + toTag) + "\r\nCall-ID: " + callId + "\r\nCSeq: " + std::to_string(cseq) +
           " " + method + "\r\nContact: <sip:alice@192.0.2.1>\r\nContent-Length: 0\r\n\r\n";
}

// Answers every call 200 at once; the other callbacks keep their defaults.
class Answer : public NvSipIncomingCallinterface {
public:
    void inviteRequest(Call call, NvHandle<NvSipInviteMessage>) override { call->answer(200, nullptr, nullptr, 0); }
};

class TakeEveryCall : public NvSipNewCallinterface {
public:
    NvHandle<NvSipIncomingCall> newCall(NvHandle<NvSipInviteMessage> invite) override {
        last = new NvSipIncomingCall(invite, m_hAnswer.get());
        return last;
    }
    NvHandle<NvSipIncomingCall> last;

private:
    NvHandle<Answer> m_hAnswer{new Answer};
};

// The process's call manager on the test transport and clock.
struct Stack {
    NvTestClock clock;
    NvSipTestTransport wire;
    TakeEveryCall* calls = new TakeEveryCall;
    NvSipCallManager* manager = new NvSipCallManager(calls, new NvSipCallStrayInterface);
    Stack() {
        NvSipTransportLayer::sGetInstance()->setReceiver(NvSipTransactionManager::getInstance());
        NvSipCall::setLocalHostPort("192.0.2.10", 5060, NvSocketImpl::UDP, "bob");
        manager->AddRef();  // the process's own, for as long as the process runs
        manager->registerWithStack();
    }
    // A confirmed call `callId`; returns our tag.
    std::string confirmedCall(const std::string& callId) {
        wire.inject(request("INVITE", callId, "", 1, callId));
        const std::string tag = calls->last->getLocalTag().str();
        wire.inject(request("ACK", callId, tag, 1, callId + "a"));
        wire.clear();
        return tag;
    }
};

// One for the process: the call manager and the transport layer are the process's own.
Stack& theStack() {
    static Stack stack;
    return stack;
}

void BM_IncomingCall(benchmark::State& state) {
    Stack& stack = theStack();
    uint64_t n = 0;
    for (auto _ : state) {
        const std::string callId = "bench-" + std::to_string(++n);
        const std::string tag = stack.confirmedCall(callId);
        stack.wire.inject(request("BYE", callId, tag, 2, callId + "b"));
        stack.wire.clear();
        if (n % 1000 == 0) stack.clock.advance(64 * NvSipTransactionManager::m_T1);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_IncomingCall);

void BM_DialogLookup(benchmark::State& state) {
    Stack& stack = theStack();
    static int run = 0;
    ++run;
    std::vector<NvHandle<NvSipRequest>> byes;
    for (int64_t i = 0; i < state.range(0); ++i) {
        const std::string callId = "lookup-" + std::to_string(run) + "-" + std::to_string(i);
        const std::string text = request("BYE", callId, stack.confirmedCall(callId), 2, callId + "b");
        byes.push_back(NvHandle<NvSipRequest>(NvSipParser::sParse(text.data(), text.size())));
    }
    NvSipCallManager& manager = *NvSipCallManager::smp_TheSingleton;
    size_t at = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(manager.getDialog(byes[at]).get());
        at = (at + 7919) % byes.size();
    }
    manager.clear(false);
    stack.clock.advance(64 * NvSipTransactionManager::m_T1);
}
BENCHMARK(BM_DialogLookup)->Arg(1000)->Arg(100000);

class AnswerOk : public NvSipServerTransactionInterface {
public:
    void request(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest>) override {
        transaction->sendResponse(200u);
    }
};

void BM_TransactionCreateAndMatch(benchmark::State& state) {
    Stack& stack = theStack();
    NvSipCallManager::smp_TheSingleton->setServerTransactionInterface("OPTIONS", new AnswerOk);
    uint64_t n = 0;
    for (auto _ : state) {
        const std::string id = std::to_string(++n);
        const std::string text = request("OPTIONS", "options-" + id, "", 1, id);
        stack.wire.inject(text);
        stack.wire.inject(text);  // a retransmission: matched, answered again
        stack.wire.clear();
        if (n % 1000 == 0) stack.clock.advance(64 * NvSipTransactionManager::m_T1);
    }
    NvSipCallManager::smp_TheSingleton->setServerTransactionInterface("OPTIONS", nullptr);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_TransactionCreateAndMatch);

class Idle : public NvObserver {
public:
    void onNotification(NvHandle<NvObservable>, NvHandle<NvObject>) override {}
};

void BM_CancelAllTimers(benchmark::State& state) {
    NvScheduler scheduler;
    std::vector<NvHandle<Idle>> others;
    for (int64_t i = 0; i < state.range(0); ++i) {
        others.push_back(new Idle);
        scheduler.schedule(60000, others.back().get(), nullptr);
    }
    NvHandle<Idle> own = new Idle;
    for (auto _ : state) {
        scheduler.schedule(1000, own.get(), nullptr);
        scheduler.schedule(2000, own.get(), nullptr);
        benchmark::DoNotOptimize(scheduler.cancelAll(own.get()));
    }
    for (const auto& other : others) scheduler.cancelAll(other.get());
}
BENCHMARK(BM_CancelAllTimers)->Arg(1000)->Arg(100000);

}  // namespace
