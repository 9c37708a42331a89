// answer-calls: the smallest useful program on the call-control library.
// It answers every call on 127.0.0.1:5062 with 200 and lets the library's
// default replies answer the caller's BYE.
//
//   answer-calls [PORT]        then, e.g.: sipp -sn uac 127.0.0.1:5062 -m 1

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipCallManager.h"
#include "mlapi/NvSipIncomingCall.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

// Told everything about each call; only the INVITE needs an answer here.
class AnswerEverything : public NvSipIncomingCallinterface {
public:
    void inviteRequest(Call call, NvHandle<NvSipInviteMessage>) override {
        call->answer(200, nullptr, nullptr, 0);
        std::printf("answered a call\n");
    }
    void terminated(Call call, NvHandle<NvSipMessage> message) override {
        NvSipIncomingCallinterface::terminated(call, message);  // answers a BYE with 200
        std::printf("a call ended\n");
    }
};

// Makes an NvSipIncomingCall, served by the interface above, for each new INVITE.
class TakeEveryCall : public NvSipNewCallinterface {
public:
    NvHandle<NvSipIncomingCall> newCall(NvHandle<NvSipInviteMessage> invite) override {
        return new NvSipIncomingCall(invite, m_hCalls.get());
    }

private:
    NvHandle<AnswerEverything> m_hCalls = new AnswerEverything;
};

}  // namespace

int main(int argc, char** argv) {
    const uint16_t port = static_cast<uint16_t>(argc > 1 ? std::atoi(argv[1]) : 5062);
    NvSipTransportLayer::sGetInstance()->listen(NvSocketImpl::UDP, "127.0.0.1", port);
    NvSipCall::setLocalHostPort("127.0.0.1", port, NvSocketImpl::UDP);
    new NvSipCallManager(new TakeEveryCall, new NvSipCallStrayInterface);  // lives as long as the process
    NvMonitorThread::sGetCurrent()->start();  // the stack's thread: receives, times out, calls us
    std::printf("answering calls on 127.0.0.1:%u\n", port);
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
