// auto-attendant: answers every call and waits for the caller to press a
// key, sent as INFO (Content-Type application/dtmf-relay, body
// "Signal=1\r\nDuration=160\r\n") and answered 200. A key of the table
// sends the caller elsewhere with REFER (RFC 3515): the caller calls the
// Refer-To URI and reports how that goes in NOTIFYs whose body is the status
// line of the answer it got (message/sipfrag). Once one says 200 the
// attendant hangs up; it also hangs up when no final NOTIFY came 10 s after
// the REFER. With CALLS given it exits (status 0) once that many calls ended.
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

#include <atomic>
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

// Hangs up the call its timer was scheduled with (the timer holds it): the transfer never finished.
class TransferTimeOut : public NvObserver {
public:
    void onNotification(NvHandle<NvObservable>, NvHandle<NvObject> call) override {
        hangUp(NvHandle<NvSipIncomingCall>(call), "the transfer did not finish in time");
    }
};

// Serves one call; its callbacks come on the stack's thread, the time-out too.
class Attendant : public NvSipIncomingCallinterface {
public:
    void inviteRequest(Call call, NvHandle<NvSipInviteMessage>) override {
        call->answer(200, kSdp.data(), "application/sdp", static_cast<unsigned>(kSdp.size()));
    }
    // INFO, not a method the interface names, comes here: each gets 200, a key of the table starts a transfer.
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
    void referResponse(Call, NvHandle<NvSipResponse> response) override {
        std::printf("REFER answered %d\n", response->getStatusCode());
        if (response->getStatusCode() >= 300) stopTimer();
    }
    // The NOTIFY (answered 200) tells how the transfer goes. A final status ends it: 2xx, the caller
    // reached the destination and we hang up; else the caller stays with us and may press another key.
    void notifyRequest(Call call, NvHandle<NvSipServerTransaction> transaction,
                       NvHandle<NvSipNotifyMessage> notify) override {
        transaction->trySendResponse(transaction->buildResponse(200));
        const std::string& frag = notify->getBody();
        const int status = frag.compare(0, 8, "SIP/2.0 ") == 0 ? std::atoi(frag.c_str() + 8) : 0;
        std::printf("transfer progress: %d\n", status);
        if (status >= 200) stopTimer();
        if (status / 100 == 2) hangUp(call, "transferred");
    }
    // The caller's BYE (answered 200 by the default) or the answer to ours.
    // A CANCEL is followed by the ACK of our 487, which comes here too.
    void terminated(Call call, NvHandle<NvSipMessage> message) override {
        NvSipIncomingCallinterface::terminated(call, message);
        stopTimer();
        NvHandle<NvSipRequest> request(message);
        if (!request.isNil() && request->getMethod() == NvSipCancelMessage::sMethodName) return;
        std::lock_guard<std::mutex> lock(g_Mutex);
        ++g_Ended;
        g_CallEnded.notify_all();
    }

private:
    // One transfer at a time: a REFER in the caller's dialog, built by the
    // dialog (Call-ID, tags, CSeq, route set) with Refer-To added, and its time-out.
    void transfer(const Call& call, const std::string& destination) {
        NvHandle<NvSipDialog> dialog = call->getDialog();
        if (dialog.isNil() || m_bTransferring.exchange(true)) return;
        std::printf("transferring to %s\n", destination.c_str());
        NvHandle<NvSipRequest> refer =
            dialog->createRequest(NvSipReferMessage::sMethodName, nullptr, nullptr, 0, nullptr);
        refer->addHeader(new NvSipReferToHeader(new NvSipNameAddress("", new NvSipURL(destination))));
        NvMonitorThread::sGetCurrent()->getScheduler().schedule(kTransferTimeOutMs, m_hTimeOut.get(), call.get());
        call->refer(NvHandle<NvSipReferMessage>(refer));
    }
    // The transfer is over: its time-out goes, and with it the timer's hold on the call.
    void stopTimer() {
        m_hTimeOut->detach();
        m_bTransferring = false;
    }
    const NvHandle<TransferTimeOut> m_hTimeOut = new TransferTimeOut;
    std::atomic<bool> m_bTransferring{false};  // read and set by several threads
};

// Each call gets an attendant of its own.
class TakeEveryCall : public NvSipNewCallinterface {
public:
    NvHandle<NvSipIncomingCall> newCall(NvHandle<NvSipInviteMessage> invite) override {
        return new NvSipIncomingCall(invite, new Attendant);
    }
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
