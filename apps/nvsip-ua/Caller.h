#pragma once
// Caller: nvsip-ua's call mode. Places calls through NvSipOutgoingCall (an
// INVITE with an SDP offer and Supported: 100rel), PRACKs reliable
// provisional responses, ACKs the 2xx, holds the call, then hangs up; or
// cancels it before the answer. When the INVITE forks, the first 2xx keeps
// the call and each later one is ACKed and hung up. A 3xx is followed, each
// Contact once, when asked. Digest challenges are answered by the library's
// authentication policy (set up by main).
//
// The peer's requests in the call are answered as InCallRequests says
// (re-INVITE and UPDATE with SDP); its BYE at any time ends the call.
//
// In the call, when asked: a re-INVITE with a new SDP offer (o= version + 1)
// some time after the ACK (a 491 is retried by the library, and the
// library's default reply ACKs the final response), an INFO some time after
// the ACK (no answer at all ends the call), an UPDATE without body some
// time after the ACK, and the session timer: our INVITE offers
// Session-Expires, the session is refreshed when the library says it is
// time (with an UPDATE without body when the peer's 2xx listed UPDATE in
// its Allow, else with a re-INVITE of the same SDP), and the call is hung
// up when the session is about to expire.
//
// Delayed offer, when asked: the INVITE goes without body; the first
// offer the callee makes, in a reliable provisional response or in the 2xx
// (RFC 3261 13.2.1, RFC 3262 5), is answered with our SDP in its PRACK or
// in the ACK; a later body is not answered again.
//
// A call counts as answered when it got a 2xx and ended with a 2xx to our
// BYE or with the peer's BYE (the only clean end of a call placed); setup
// time is from the INVITE to the first 2xx. Each call's messages go to its
// CallLog, and its ladder, with --ladder, to the report when it has ended.
//
// Threads: place() runs on the stack's thread (see CallPacer) or, for the
// demo, on the main thread; events on the stack's. m_Mutex guards the table
// of live calls only and is never held while the library is called.

#include "apps/nvsip-ua/CallLog.h"
#include "apps/nvsip-ua/CallReport.h"
#include "apps/nvsip-ua/InCallRequests.h"
#include "mlapi/NvSipOutgoingCall.h"

#include <chrono>
#include <unordered_map>
#include <mutex>
#include <string>

struct CallOptions {
    std::string target;
    bool tcp = false;
    unsigned holdMs = 1000;
    long cancelAfterMs = -1;  // -1: never cancel
    std::string authUser, authPassword;
    bool followRedirects = false;
    long count = 1;
    double rate = 10;  // calls per second
    long limit = 0;    // calls in flight at most (0: no limit)
    ReportOptions report;
    long reinviteAfterMs = -1;  // -1: no re-INVITE of ours
    long infoAfterMs = -1;      // -1: no INFO
    long updateAfterMs = -1;    // -1: no UPDATE of ours
    unsigned timerSeconds = 0;  // 0: no session timer
    bool delayedOffer = false;  // INVITE without body, our answer in the PRACK or ACK
    unsigned lingerMs = 0;      // kept running after the last call, for 2xx that forks send late
};

class Caller : public NvSipOutgoingCallinterface {
public:
    Caller(const CallOptions& options, CallReport& report, NvHandle<NvSipNameAddress> self, InCallRequests inCall);

    // Places one call; false (reported) when it could not be sent.
    bool place();

    void reliableProvisionalResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response) override;
    void provisionalResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response) override;
    void failedToConnect(Call call, Dialog dialog, NvHandle<NvSipResponse> response) override;
    void redirect(Call call, Dialog dialog, NvHandle<NvSipResponse> response) override;
    void succeeded(Call call, Dialog dialog, NvHandle<NvSipResponse> response) override;
    void multipleResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response) override;
    void prackResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response) override;
    void dialogTerminated(Call call, Dialog dialog, NvHandle<NvSipMessage> message) override;
    void terminated(Call call, NvHandle<NvSipMessage> message) override;
    void unknownRequest(Call call, Dialog dialog, NvHandle<NvSipServerTransaction> transaction,
                        NvHandle<NvSipRequest> request) override;
    void referRequest(Call call, Dialog dialog, NvHandle<NvSipServerTransaction> transaction,
                      NvHandle<NvSipReferMessage> refer) override;
    void notifyRequest(Call call, Dialog dialog, NvHandle<NvSipServerTransaction> transaction,
                       NvHandle<NvSipNotifyMessage> notify) override;
    void reinviteRequest(Call call, Dialog dialog, NvHandle<NvSipInviteMessage> invite) override;
    void reinviteAck(Call call, Dialog dialog, NvHandle<NvSipAckMessage> ack) override;
    void reinviteResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response) override;
    void reinviteTimeOut(Call call, Dialog dialog, NvHandle<NvSipInviteMessage> invite) override;
    void onSessionRefreshTime(Call call, Dialog dialog) override;
    void onSessionTimeOut(Call call, Dialog dialog) override;
    void updateRequest(Call call, Dialog dialog, NvHandle<NvSipUpdateMessage> update) override;
    void updateResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response) override;

private:
    using Clock = std::chrono::steady_clock;
    struct CallState {
        uint64_t number = 0;
        Clock::time_point started;
        bool answered = false;
        std::string failure;  // why it failed, the last reason heard
        unsigned sdpVersion = 1;  // the o= version of our SDP in the call
        bool offerAnswered = false;  // delayed offer: the callee's offer got our answer
        bool cancelled = false;   // hung up before the answer (--cancel-after)
        bool peerAllowsUpdate = false;  // the 2xx's Allow lists UPDATE: refresh with it
    };
    NvHandle<NvSipInviteMessage> buildInvite(const std::string& callId) const;
    // Runs `change` on the call's state under m_Mutex; false when the call is unknown.
    template <class Change>
    bool withState(const Call& call, Change change);
    uint64_t numberOf(const Call& call);
    // Sends our re-INVITE with the offer at the call's SDP version, raised first when `newOffer`.
    void reinvite(const Call& call, bool newOffer);
    unsigned sdpVersionOf(const Call& call);
    // Delayed offer: whether `response` brings the callee's offer, not answered yet (from now it is).
    bool takesOurAnswer(const Call& call, const NvHandle<NvSipResponse>& response);
    // Sends our UPDATE without body on `dialog`; `why` for the report.
    void update(const Call& call, const Dialog& dialog, const std::string& why);
    // Answers a request of the peer other than BYE and re-INVITE.
    void answerInCall(const Call& call, NvSipServerTransaction& transaction, const NvHandle<NvSipRequest>& request);

    const CallOptions m_Options;
    CallReport& m_Report;
    const NvHandle<NvSipNameAddress> m_hSelf;
    const InCallRequests m_InCall;
    const CallLog m_CallLog;
    uint64_t m_NextNumber = 1;  // main thread only
    std::mutex m_Mutex;          // guards m_Calls
    // By Call-ID, entered before the INVITE leaves (its answer may come first).
    std::unordered_map<std::string, CallState> m_Calls;
};
