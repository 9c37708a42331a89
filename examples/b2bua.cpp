// b2bua: a back-to-back user agent. Each call it takes (the incoming leg) it
// places to one target (the outgoing leg) with the caller's SDP offer, and
// the target's ringing, answer or failure code goes back to the caller. A
// re-INVITE or UPDATE on either leg crosses to the other and its answer comes
// back; a BYE on either leg hangs up the other, the caller's CANCEL cancels
// the outgoing leg. With CALLS given it exits (status 0) once that many calls
// ended. Left out to stay short: offers cross in requests and answers in
// responses, so the answer in the ACK of an offerless re-INVITE does not cross.
//
//   b2bua PORT TARGET-URI [CALLS]
// e.g. in three shells:
//   sipp -sn uas -i 127.0.0.1 -p 5070
//   b2bua 5062 sip:callee@127.0.0.1:5070
//   sipp -sn uac -i 127.0.0.1 127.0.0.1:5062 -m 1
// (tests/interop/sipp/example-b2bua-*.xml add a re-INVITE and an UPDATE across.)

#include "mlapi/NvSipCallManager.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipIncomingCall.h"
#include "mlapi/NvSipOutgoingCall.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

namespace {

std::string g_Target, g_Self;  // the target's URI and ours, set once in main
std::mutex g_Mutex;            // guards g_Ended, the calls whose legs both ended
std::condition_variable g_CallEnded;
unsigned g_Ended = 0;

// Calls send(body, content type, length) with `message`'s body, the form the library's operations take.
template <class Send>
void withBody(const NvSipMessage& message, Send send) {
    NvHandle<NvSipContentTypeHeader> type = message.getHeader<NvSipContentTypeHeader>();
    const std::string& body = message.getBody();
    send(body.data(), type.isNil() ? nullptr : type->getMediaType().c_str(), static_cast<unsigned>(body.size()));
}

// The two legs of one call, shared by their interfaces, whose callbacks come
// on the stack's thread. m_Mutex guards the fields and is never held while
// the library is called. The calls hold their interfaces, which hold this:
// the legs are let go when the call ends, or nothing would ever be freed.
class Bridge {
public:
    // The leg across from `leg`; nil once the call ended. `answering`: the caller gets its final answer now.
    NvHandle<NvSipCall> otherThan(const NvSipCall* leg, bool answering = false) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bAnswered |= answering;
        return leg == m_hIn.get() ? m_hOut : NvHandle<NvSipCall>(m_hIn);
    }
    // The incoming leg comes first; the outgoing one is dropped when the call ended (it failed) as it was made.
    void setLeg(NvHandle<NvSipCall> leg) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!leg->isOutgoing()) m_hIn = NvHandle<NvSipIncomingCall>(leg);
        else if (!m_hIn.isNil()) m_hOut = std::move(leg);
    }
    // `leg` ended (nil: the outgoing leg could not be made); the first leg to
    // end ends the other: a caller still waiting for its answer gets `failure`.
    void end(const NvSipCall* leg, unsigned failure) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        NvHandle<NvSipIncomingCall> in = std::move(m_hIn);
        NvHandle<NvSipCall> out = std::move(m_hOut);
        const bool callerWaits = !std::exchange(m_bAnswered, true);
        lock.unlock();  // the library is never called with our lock held
        if (in.isNil()) return;
        try {
            if (leg != in.get() && callerWaits) in->answer(failure, nullptr, nullptr, 0);
            else if (leg != in.get()) in->hangup();
            else if (!out.isNil()) out->hangup();
        } catch (NvHandle<NvException>& e) {
            std::printf("the other leg did not end: %s\n", e->getMessage().c_str());
        }
        std::lock_guard<std::mutex> ended(g_Mutex);
        ++g_Ended;
        g_CallEnded.notify_all();
    }

private:
    std::mutex m_Mutex;
    NvHandle<NvSipIncomingCall> m_hIn;  // guarded by m_Mutex
    NvHandle<NvSipCall> m_hOut;         // guarded by m_Mutex
    bool m_bAnswered = false;           // guarded by m_Mutex
};
enum class Exchange { Reinvite, Update };  // the in-call offer/answer requests passed across

// What both legs do alike. The two interfaces differ in one argument: each
// outgoing-call event names the dialog, so `DialogArg...` is that argument
// for the outgoing leg and nothing for the incoming one.
template <class Interface, class... DialogArg>
class Leg : public Interface {
public:
    using Call = typename Interface::Call;
    explicit Leg(std::shared_ptr<Bridge> bridge) : m_Bridge(std::move(bridge)) {}
    // Every ending of a leg comes here last (BYE, CANCEL, failure, no answer): the other leg goes too, and a
    // caller still waiting for its answer gets the target's failure code (480 when there is none).
    void terminated(Call call, NvHandle<NvSipMessage> message) override {
        Interface::terminated(call, message);  // answers the peer's BYE 200
        NvHandle<NvSipResponse> response(message);
        const int status = response.isNil() ? 0 : response->getStatusCode();
        m_Bridge->end(call.get(), status >= 400 ? static_cast<unsigned>(status) : 480);
    }
    // The peer's re-INVITE or UPDATE becomes ours on the other leg; the final answer to ours answers the peer's.
    void reinviteRequest(Call call, DialogArg..., NvHandle<NvSipInviteMessage> invite) override {
        pass(Exchange::Reinvite, *call, invite);
    }
    void reinviteResponse(Call call, DialogArg... dialog, NvHandle<NvSipResponse> response) override {
        Interface::reinviteResponse(call, dialog..., response);  // the ACK
        passBack(Exchange::Reinvite, *call, *response);
    }
    void updateRequest(Call call, DialogArg..., NvHandle<NvSipUpdateMessage> update) override {
        pass(Exchange::Update, *call, update);
    }
    void updateResponse(Call call, DialogArg..., NvHandle<NvSipResponse> response) override {
        passBack(Exchange::Update, *call, *response);
    }

protected:
    const std::shared_ptr<Bridge> m_Bridge;

private:
    // A request that cannot go across now (the other leg has an exchange of its own under way) is answered
    // 500 with Retry-After: the peer tries again (RFC 3261 14.2, RFC 3311 5.2).
    void pass(Exchange kind, NvSipCall& from, const NvHandle<NvSipRequest>& request) {
        NvHandle<NvSipCall> other = m_Bridge->otherThan(&from);
        try {
            if (!other.isNil())
                return withBody(*request, [&](auto... body) {
                    kind == Exchange::Update ? other->update(body...) : other->reinvite(body..., nullptr);
                });
        } catch (NvHandle<NvException>&) {
        }
        NvHandle<NvSipResponse> busy = new NvSipResponse(500, request);
        busy->addHeader(new NvSipGenericHeader("Retry-After", "1"));
        kind == Exchange::Update ? from.respondToUpdate(busy) : from.respondToReinvite(busy);
    }
    void passBack(Exchange kind, NvSipCall& from, const NvSipResponse& response) {
        NvHandle<NvSipCall> other = m_Bridge->otherThan(&from);
        const int status = response.getStatusCode();
        if (status >= 200 && !other.isNil())
            withBody(response, [&](auto... body) {
                kind == Exchange::Update ? other->respondToUpdate(status, body...)
                                         : other->respondToReinvite(status, body...);
            });
    }
};

// The outgoing leg: the target's ringing (or early media) and answer go to the caller.
class OutLeg : public Leg<NvSipOutgoingCallinterface, NvSipOutgoingCallinterface::Dialog> {
public:
    using Leg::Leg;
    void provisionalResponse(Call call, Dialog, NvHandle<NvSipResponse> response) override {
        if (response->getStatusCode() > 100) relay(call, *response, false);
    }
    void succeeded(Call call, Dialog dialog, NvHandle<NvSipResponse> response) override {
        dialog->ack(NvHandle<NvSipAckMessage>());  // our leg is up, whatever the caller does next
        relay(call, *response, true);
    }

private:
    void relay(const Call& call, const NvSipResponse& response, bool final) {
        NvHandle<NvSipIncomingCall> caller(m_Bridge->otherThan(call.get(), final));
        if (!caller.isNil())
            withBody(response, [&](auto... body) { caller->answer(response.getStatusCode(), body...); });
    }
};

// The incoming leg: its INVITE places the outgoing leg, with the caller's offer.
class InLeg : public Leg<NvSipIncomingCallinterface> {
public:
    using Leg::Leg;
    void inviteRequest(Call, NvHandle<NvSipInviteMessage> invite) override {
        NvHandle<NvSipNameAddress> target = new NvSipNameAddress("", new NvSipURL(g_Target));
        NvHandle<NvSipNameAddress> self = new NvSipNameAddress("", new NvSipURL(g_Self));
        try {
            withBody(*invite, [&](const void* offer, const char* type, unsigned length) {
                m_Bridge->setLeg(new NvSipOutgoingCall(NvHandle<NvSipURL>(target->getURI()), target, self, nullptr,
                                                       type, offer, length, new OutLeg(m_Bridge)));
            });
        } catch (NvHandle<NvException>& e) {  // e.g. a target we cannot reach
            std::printf("could not call %s: %s\n", g_Target.c_str(), e->getMessage().c_str());
            m_Bridge->end(nullptr, 503);
        }
    }
};

// Each new call gets a bridge of its own.
class BridgeEveryCall : public NvSipNewCallinterface {
public:
    NvHandle<NvSipIncomingCall> newCall(NvHandle<NvSipInviteMessage> invite) override {
        auto bridge = std::make_shared<Bridge>();
        NvHandle<NvSipIncomingCall> call = new NvSipIncomingCall(invite, new InLeg(bridge));
        bridge->setLeg(call);  // the call hears nothing before this returns
        return call;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: b2bua PORT TARGET-URI [CALLS]\n");
        return 2;
    }
    const uint16_t port = static_cast<uint16_t>(std::atoi(argv[1]));
    g_Target = argv[2];
    const unsigned calls = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 0;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line as it comes
    g_Self = "sip:b2bua@127.0.0.1:" + std::to_string(port);
    NvSipTransportLayer::sGetInstance()->listen(NvSocketImpl::UDP, "127.0.0.1", port);
    NvSipCall::setLocalHostPort("127.0.0.1", port, NvSocketImpl::UDP);  // the Contact of both legs
    new NvSipCallManager(new BridgeEveryCall, new NvSipCallStrayInterface);
    NvMonitorThread::sGetCurrent()->start();
    std::printf("bridging calls on 127.0.0.1:%u to %s\n", port, g_Target.c_str());
    {
        std::unique_lock<std::mutex> lock(g_Mutex);  // let go before the stack stops: its thread may want it
        g_CallEnded.wait(lock, [&] { return calls && g_Ended >= calls; });
    }
    // The last BYE may still wait for its answer: the transactions get 2 s.
    for (int i = 0; i < 200 && NvSipTransactionManager::getInstance()->getTransactionCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    NvMonitorThread::sGetCurrent()->stop();
    NvSipTransportLayer::sGetInstance()->close();
    return 0;
}
