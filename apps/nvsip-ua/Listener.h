#pragma once
// Listener: nvsip-ua's listen mode. Takes every new call (through its
// NewCalls door, the manager's NvSipNewCallinterface), rings it (180, reliably when asked and the caller supports 100rel), waits
// the ring time, answers with the configured status (a 2xx carries an SDP
// answer), answers the caller's BYE with 200 and its other requests in the
// call as InCallRequests says (re-INVITE and UPDATE with SDP) unless asked
// to leave some methods to the library, and, when asked, hangs up itself
// some time after its 2xx. With the session timer on, it refreshes the
// session when the library says it is time: with an UPDATE without body
// when the caller's INVITE listed UPDATE in its Allow, else with a
// re-INVITE of the same SDP; and it hangs up when the session is about to expire. Every event is reported to the
// CallReport; each call is counted once when it has ended, as failed when
// it timed out or our BYE was refused (a rejection by --answer, a CANCEL
// and the caller's BYE are clean ends). Each call's messages go to its
// CallLog from its INVITE on, and its ladder, with --ladder, to the report
// when it has ended.
//
// Offer and answer in odd places: with early media, an INVITE with an SDP
// offer gets 183 with our SDP answer instead of the 180 (reliably under the
// same conditions), and the final answer follows after the ring time
// without waiting for any PRACK here: the library holds a 2xx until the
// PRACK of a reliable 183 with SDP (RFC 3262 3), and answers a PRACK that
// crossed our 2xx. An INVITE without body (delayed offer) gets our SDP as
// the offer in the 2xx and the answer in the ACK (RFC 3261 13.3.1); an SDP
// offer in a PRACK is answered with our SDP in the PRACK's 200 (RFC 3262 5).
//
// Threads: events arrive on the stack's threads; delayed actions (ring
// time, hang-up) run as timers on the stack's scheduler. m_Mutex guards the
// table of live calls only and is never held while the library is called.

#include "apps/nvsip-ua/CallLog.h"
#include "apps/nvsip-ua/CallReport.h"
#include "apps/nvsip-ua/InCallRequests.h"
#include "mlapi/NvSipIncomingCall.h"
#include "mlapi/NvSipNewCallinterface.h"

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>

struct ListenOptions {
    bool tcp = false;
    unsigned ringMs = 0;
    unsigned answer = 200;
    bool reliable = false;
    bool earlyMedia = false;    // 183 with our SDP answer before the final answer
    unsigned timerSeconds = 0;  // 0: no session timer
    long hangupAfterMs = -1;    // from the answer; -1: the caller hangs up
    long count = -1;            // -1: run until killed
    uint32_t maxCalls = 20000;  // calls in progress beyond which a new INVITE gets 503; 0: no limit
    ReportOptions report;
    std::set<std::string> leaveUnanswered;  // methods of in-call requests not answered here
};

class Listener : public NvSipIncomingCallinterface {
public:
    // What the call manager asks for each new INVITE.
    class NewCalls : public NvSipNewCallinterface {
    public:
        explicit NewCalls(NvHandle<Listener> listener) : m_hListener(std::move(listener)) {}
        NvHandle<NvSipIncomingCall> newCall(NvHandle<NvSipInviteMessage> invite) override;
        void callTakenOver(NvHandle<NvSipIncomingCall> call) override;

    private:
        NvHandle<Listener> m_hListener;
    };

    Listener(const ListenOptions& options, CallReport& report, InCallRequests inCall);

    // Takes over calls rebuilt from snapshots, at start (before the stack's
    // thread runs; "taken back") or for a request of a call another node
    // had ("taken over"): they are counted like the others, and hung up
    // after --hangup-after when it was given.
    void takeBack(const std::vector<Call>& calls, const char* how = "taken back");

    void inviteRequest(Call call, NvHandle<NvSipInviteMessage> invite) override;
    void prack(Call call, NvHandle<NvSipPrackMessage> prack) override;
    void callConfirmed(Call call, NvHandle<NvSipAckMessage> ack) override;
    void terminated(Call call, NvHandle<NvSipMessage> message) override;
    void unknownRequest(Call call, NvHandle<NvSipServerTransaction> transaction,
                        NvHandle<NvSipRequest> request) override;
    void referRequest(Call call, NvHandle<NvSipServerTransaction> transaction,
                      NvHandle<NvSipReferMessage> refer) override;
    void notifyRequest(Call call, NvHandle<NvSipServerTransaction> transaction,
                       NvHandle<NvSipNotifyMessage> notify) override;
    void reinviteRequest(Call call, NvHandle<NvSipInviteMessage> invite) override;
    void reinviteAck(Call call, NvHandle<NvSipAckMessage> ack) override;
    void onSessionTimeOut(Call call) override;
    void onSessionRefreshTime(Call call) override;
    void reinviteResponse(Call call, NvHandle<NvSipResponse> response) override;
    // The library has ended the call without a BYE and tells nothing more.
    void reinviteTimeOut(Call call, NvHandle<NvSipInviteMessage> invite) override;
    void updateRequest(Call call, NvHandle<NvSipUpdateMessage> update) override;
    void updateResponse(Call call, NvHandle<NvSipResponse> response) override;

private:
    struct CallState {
        uint64_t number = 0;
        bool reliableRinging = false;  // a reliable 180 waits for its PRACK
        bool cancelled = false;        // the ACK of our 487 ends it
        unsigned sdpVersion = 1;       // the o= version of our SDP in the call
        bool offerInOur2xx = false;    // the INVITE had no body: the ACK brings the answer
        bool peerAllowsUpdate = false;  // the INVITE's Allow lists UPDATE: refresh with it
    };
    // Numbers a call the manager asked for (some end without an inviteRequest).
    void admit(const Call& call);
    // After the ring time: the final answer.
    void answer(const Call& call);
    // Runs `action` after `delayMs` on the stack's scheduler (at once for 0).
    void later(unsigned delayMs, const Call& call, void (Listener::*action)(const Call&));
    void hangup(const Call& call);
    // `clean`: the call ended as it may (not by a time-out, nor with our BYE refused).
    void ended(const Call& call, const std::string& outcome, bool clean);
    uint64_t numberOf(const Call& call);
    // Runs `change` on the call's state under m_Mutex; false when the call is unknown.
    template <class Change>
    bool withState(const Call& call, Change change);
    unsigned sdpVersionOf(const Call& call);
    // Whether `request` is of a method left to the library (reported so).
    bool leftUnanswered(const Call& call, const NvHandle<NvSipRequest>& request);
    // Answers a request of the peer other than BYE and re-INVITE.
    void answerInCall(const Call& call, NvSipServerTransaction& transaction, const NvHandle<NvSipRequest>& request);

    const ListenOptions m_Options;
    CallReport& m_Report;
    const InCallRequests m_InCall;
    const CallLog m_CallLog;
    std::atomic<uint64_t> m_NextNumber{1};
    std::mutex m_Mutex;  // guards m_Calls
    std::map<NvSipIncomingCall*, CallState> m_Calls;
};
