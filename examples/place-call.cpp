// place-call: dials one SIP URI, holds the call a moment, hangs up. It shows
// an NvSipOutgoingCall from the INVITE to the BYE: the digest challenge
// (401/407) the library answers by itself once credentials are installed, a
// 3xx redirection the application follows with tryCalling, the ACK of the
// 2xx, and how to tell a clean ending from a failed one. Exit status 0 when
// the call was answered and ended cleanly.
//
//   place-call SIP-URI [USER:PASSWORD] [HOLD-MS]
// e.g. in two shells:
//   sipp -sn uas -i 127.0.0.1 -p 5070 -m 1
//   place-call sip:service@127.0.0.1:5070
// (tests/interop/sipp/example-challenge-redirect.xml adds a 401 and a 302.)

#include "mlapi/NvSipCallManager.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipIncomingCall.h"
#include "mlapi/NvSipOutgoingCall.h"
#include "stack/auth/NvDigestAuthentication.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Our offer: one audio stream. The callee's answer comes in its 2xx.
const std::string kSdp =
    "v=0\r\no=place-call 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
    "m=audio 49170 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";

// Hears everything about our call, on the stack's thread, and tells the
// main thread (which waits in waitFor) what became of it.
class OneCall : public NvSipOutgoingCallinterface {
public:
    enum class State { Calling, Answered, Failed, EndedCleanly };  // the last two: the call is over

    // The callee took the call: the 2xx must be ACKed, or the library hangs up.
    void succeeded(Call, Dialog dialog, NvHandle<NvSipResponse> response) override {
        std::printf("answered: %d\n", response->getStatusCode());
        dialog->ack(NvHandle<NvSipAckMessage>());
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_State = State::Answered;
        m_Changed.notify_all();
    }
    // A 3xx names where to call instead: the same call (Call-ID, From tag)
    // sends a new INVITE there. tryCalling refuses a target tried already,
    // which ends redirection loops; nothing left to try ends the call.
    void redirect(Call call, Dialog, NvHandle<NvSipResponse> response) override {
        for (size_t i = 0;; ++i) {
            NvHandle<NvSipContactHeader> contact(response->mGetHeaderByID(NvSipHeaderID::Contact, i));
            if (contact.isNil()) return;
            NvHandle<NvSipNameAddress> target = contact->getNameAddress();
            if (target.isNil() || call->tried(target)) continue;
            std::printf("redirected (%d) to %s\n", response->getStatusCode(), target->getURI()->toString().c_str());
            call->tryCalling(target, "application/sdp", kSdp.data(), static_cast<unsigned>(kSdp.size()), nullptr);
            return;
        }
    }
    void failedToConnect(Call, Dialog, NvHandle<NvSipResponse> response) override {
        std::printf("failed: %s\n", response.isNil() ? "no answer" : std::to_string(response->getStatusCode()).c_str());
    }
    // The last dialog is gone. A clean end is the 2xx to our BYE, or the
    // callee's BYE (which the default dialogTerminated answered with 200).
    void terminated(Call, NvHandle<NvSipMessage> message) override {
        NvHandle<NvSipResponse> response(message);
        NvHandle<NvSipByeMessage> bye(message);
        const bool byPeer = !bye.isNil() && bye->isReceived();
        const bool byeAnswered = !response.isNil() && response->getStatusCode() / 100 == 2;
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_State = m_State == State::Answered && (byPeer || byeAnswered) ? State::EndedCleanly : State::Failed;
        m_Changed.notify_all();
    }
    // Waits until the call is in `state`, or over; returns the state it is in.
    State waitFor(State state) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Changed.wait(lock, [&] { return m_State == state || m_State >= State::Failed; });
        return m_State;
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    State m_State = State::Calling;  // guarded by m_Mutex
};

// We take no calls: an INVITE that is not ours is refused (480).
class NoCalls : public NvSipNewCallinterface {
public:
    NvHandle<NvSipIncomingCall> newCall(NvHandle<NvSipInviteMessage>) override { return nullptr; }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: place-call SIP-URI [USER:PASSWORD] [HOLD-MS]\n");
        return 2;
    }
    const std::string target = argv[1];
    const std::string credentials = argc > 2 ? argv[2] : "";
    const int holdMs = argc > 3 ? std::atoi(argv[3]) : 1000;
    // Our address: any free UDP port on loopback; it goes in our Contact.
    const uint16_t port = NvSipTransportLayer::sGetInstance()->listen(NvSocketImpl::UDP, "127.0.0.1", 0);
    NvSipCall::setLocalHostPort("127.0.0.1", port, NvSocketImpl::UDP);
    // Credentials must be installed before the call manager exists (it takes
    // the policy when it is made). Then a 401 or 407 to our INVITE (and to
    // our BYE) is answered by the library: the request goes again with them.
    NvDigestAuthentication digest;
    const size_t colon = credentials.find(':');
    if (colon != std::string::npos) {
        digest.setDefaultCredentials(credentials.substr(0, colon), credentials.substr(colon + 1));
        NvAuthenticationInterface::sm_AuthenticationInterface = &digest;
    }
    // The manager routes the responses and the callee's in-dialog requests.
    new NvSipCallManager(new NoCalls, new NvSipCallStrayInterface);  // lives as long as the process
    NvMonitorThread::sGetCurrent()->start();
    // The INVITE leaves as the call is made; everything else arrives in OneCall.
    NvHandle<OneCall> events = new OneCall;
    NvHandle<NvSipNameAddress> callee = new NvSipNameAddress("", new NvSipURL(target));
    NvHandle<NvSipNameAddress> self =
        new NvSipNameAddress("", new NvSipURL("sip:place-call@127.0.0.1:" + std::to_string(port)));
    NvHandle<NvSipOutgoingCall> call;
    try {
        call = new NvSipOutgoingCall(NvHandle<NvSipURL>(callee->getURI()), callee, self, nullptr, "application/sdp",
                                     kSdp.data(), static_cast<unsigned>(kSdp.size()), events.get());
    } catch (NvHandle<NvException>& e) {  // the library raises handles: e.g. no route to the target
        std::fprintf(stderr, "place-call: %s\n", e->getMessage().c_str());
        return 1;
    }
    // Talk a moment, then hang up from this thread: BYE; its 2xx ends the call.
    if (events->waitFor(OneCall::State::Answered) == OneCall::State::Answered) {
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
        std::printf("hanging up\n");
        call->hangup();
    }
    const bool clean = events->waitFor(OneCall::State::EndedCleanly) == OneCall::State::EndedCleanly;
    std::printf("%s\n", clean ? "call ended cleanly" : "call failed");
    NvMonitorThread::sGetCurrent()->stop();
    NvSipTransportLayer::sGetInstance()->close();
    return clean ? 0 : 1;
}
