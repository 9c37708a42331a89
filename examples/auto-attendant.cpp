// auto-attendant: answers every call and waits for the caller to press a
// key. Keys come as INFO requests (Content-Type application/dtmf-relay,
// body "Signal=1\r\nDuration=160\r\n"), each answered 200. A key of the
// table sends the caller elsewhere with REFER (RFC 3515): the caller calls
// the Refer-To URI and reports how that goes in NOTIFYs whose body is the
// status line of the answer it got (message/sipfrag). Once one says 200 the
// transfer is done and the attendant hangs up; it also hangs up when no
// final NOTIFY came 10 s after the REFER. With CALLS given it exits
// (status 0) once that many calls ended.
//
//   auto-attendant PORT [CALLS [DIGIT=URI ...]]
// e.g. in two shells:
//   auto-attendant 5062
//   sipp -sf tests/interop/sipp/example-attendant-caller.xml -i 127.0.0.1 127.0.0.1:5062 -m 1
// (that caller presses 1, accepts the REFER and reports the transfer done).

#include "mlapi/NvSipCallManager.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipIncomingCall.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/timer/NvScheduler.h"
#include "stack/transaction/NvSipServerTransaction.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

namespace {

// Where each key sends the caller; the command line may replace it.
std::map<char, std::string> g_Destinations = {
    {'1', "sip:sales@127.0.0.1:5070"}, {'2', "sip:support@127.0.0.1:5070"}, {'0', "sip:operator@127.0.0.1:5070"}};
const unsigned kTransferTimeOutMs = 10000;
const std::string kSdp =  // our answer to the caller's offer
    "v=0\r\no=attendant 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
    "m=audio 49172 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";

std::mutex g_Mutex;  // guards g_Ended
std::condition_variable g_CallEnded;
unsigned g_Ended = 0;

void hangUp(const NvHandle<NvSipIncomingCall>& call, const char* why) {
    std::printf("%s, hanging up\n", why);
    try {
        call->hangup();
    } catch (NvHandle<NvException>& e) {  // the caller hung up meanwhile
        std::printf("no hang-up: %s\n", e->getMessage().c_str());
    }
}

// Hangs a transferred call up when the transfer never finished.
class TransferTimeOut : public NvObserver {
public:
    explicit TransferTimeOut(NvHandle<NvSipIncomingCall> call) : m_hCall(std::move(call)) {}
    void onNotification(NvHandle<NvObservable>, NvHandle<NvObject>) override {
        hangUp(m_hCall, "the transfer did not finish in time");
    }

private:
    NvHandle<NvSipIncomingCall> m_hCall;
};

// Serves every call. Its callbacks come on the stack's thread, the time-outs
// too; m_Mutex guards m_Timers and is never held while the library is called.
class Attendant : public NvSipIncomingCallinterface {
public:
    // Answers at once, with our SDP.
    void inviteRequest(Call call, NvHandle<NvSipInviteMessage>) override {
        call->answer(200, kSdp.data(), "application/sdp", static_cast<unsigned>(kSdp.size()));
    }
    // INFO is not one of the methods the interface names: it comes here.
    // Every INFO gets 200; one carrying a key of the table starts a transfer.
    void unknownRequest(Call call, NvHandle<NvSipServerTransaction> transaction,
                        NvHandle<NvSipRequest> request) override {
        if (request->getMethod() != NvSipInfoMessage::sMethodName)
            return NvSipIncomingCallinterface::unknownRequest(call, transaction, request);
        transaction->trySendResponse(transaction->buildResponse(200));
        NvHandle<NvSipContentTypeHeader> type = request->getHeader<NvSipContentTypeHeader>();
        const std::string& body = request->getBody();
        const size_t signal = body.find("Signal=");
        if (type.isNil() || type->getMediaType().str() != "application/dtmf-relay" || signal == std::string::npos)
            return;
        const char key = body[signal + 7];
        const auto destination = g_Destinations.find(key);
        if (destination != g_Destinations.end()) transfer(call, destination->second);
        else std::printf("key %c: nothing there\n", key);
    }
    // The REFER's own answer: 202 says the caller will try; a refusal ends the transfer.
    void referResponse(Call call, NvHandle<NvSipResponse> response) override {
        std::printf("REFER answered %d\n", response->getStatusCode());
        if (response->getStatusCode() >= 300) stopTimer(call);
    }
    // How the transfer goes: the NOTIFY is answered 200, and its body's status
    // line tells; 2xx means the caller reached the destination.
    void notifyRequest(Call call, NvHandle<NvSipServerTransaction> transaction,
                       NvHandle<NvSipNotifyMessage> notify) override {
        transaction->trySendResponse(transaction->buildResponse(200));
        const std::string& frag = notify->getBody();
        const int status = frag.compare(0, 8, "SIP/2.0 ") == 0 ? std::atoi(frag.c_str() + 8) : 0;
        std::printf("transfer progress: %d\n", status);
        if (status >= 200 && status < 300) {
            stopTimer(call);
            hangUp(call, "transferred");
        } else if (status >= 300) {
            stopTimer(call);  // the caller stays with us and may press another key
        }
    }
    // The caller's BYE (answered 200 by the default) or the answer to ours.
    // A CANCEL is followed by the ACK of our 487, which comes here too.
    void terminated(Call call, NvHandle<NvSipMessage> message) override {
        NvSipIncomingCallinterface::terminated(call, message);
        stopTimer(call);
        NvHandle<NvSipRequest> request(message);
        if (!request.isNil() && request->getMethod() == NvSipCancelMessage::sMethodName) return;
        std::lock_guard<std::mutex> lock(g_Mutex);
        ++g_Ended;
        g_CallEnded.notify_all();
    }

private:
    // REFER in the caller's dialog, built by the dialog (Call-ID, tags,
    // CSeq, route set), with Refer-To added; the time-out starts.
    void transfer(const Call& call, const std::string& destination) {
        std::printf("transferring to %s\n", destination.c_str());
        NvHandle<NvSipDialog> dialog = call->getDialog();
        if (dialog.isNil()) return;
        NvHandle<NvSipRequest> refer =
            dialog->createRequest(NvSipReferMessage::sMethodName, nullptr, nullptr, 0, nullptr);
        refer->addHeader(new NvSipReferToHeader(new NvSipNameAddress("", new NvSipURL(destination))));
        NvHandle<TransferTimeOut> timer = new TransferTimeOut(call);
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Timers.count(call.get())) return;  // one transfer at a time
            m_Timers[call.get()] = timer;
        }
        NvMonitorThread::sGetCurrent()->getScheduler().schedule(kTransferTimeOutMs, timer.get(), nullptr);
        call->refer(NvHandle<NvSipReferMessage>(refer));
    }
    // The transfer is over: its time-out (which holds the call) goes.
    void stopTimer(const Call& call) {
        NvHandle<TransferTimeOut> timer;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            auto found = m_Timers.find(call.get());
            if (found == m_Timers.end()) return;
            timer = found->second;
            m_Timers.erase(found);
        }
        timer->detach();
    }
    std::mutex m_Mutex;
    std::map<const NvSipIncomingCall*, NvHandle<TransferTimeOut>> m_Timers;  // guarded by m_Mutex
};

class TakeEveryCall : public NvSipNewCallinterface {
public:
    NvHandle<NvSipIncomingCall> newCall(NvHandle<NvSipInviteMessage> invite) override {
        return new NvSipIncomingCall(invite, m_hAttendant.get());
    }

private:
    NvHandle<Attendant> m_hAttendant = new Attendant;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: auto-attendant PORT [CALLS [DIGIT=URI ...]]\n");
        return 2;
    }
    const uint16_t port = static_cast<uint16_t>(std::atoi(argv[1]));
    const unsigned calls = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 0;
    if (argc > 3) g_Destinations.clear();
    for (int i = 3; i < argc; ++i)
        if (argv[i][0] && argv[i][1] == '=') g_Destinations[argv[i][0]] = argv[i] + 2;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line as it comes
    NvSipTransportLayer::sGetInstance()->listen(NvSocketImpl::UDP, "127.0.0.1", port);
    NvSipCall::setLocalHostPort("127.0.0.1", port, NvSocketImpl::UDP);
    new NvSipCallManager(new TakeEveryCall, new NvSipCallStrayInterface);
    NvMonitorThread::sGetCurrent()->start();
    std::printf("attending calls on 127.0.0.1:%u\n", port);
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
