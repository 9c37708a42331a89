#pragma once
// NvSipResponseRetransmitter: the response a dialog sends again until the
// peer acknowledges it: our 2xx to an INVITE or re-INVITE until its ACK
// (RFC 3261 13.3.1.4), or our reliable provisional response until its
// PRACK (RFC 3262 3). It owns the kept response, the RSeq numbering of
// reliable provisional responses, the count of retransmissions, the
// deadline (64*T1 after the first sending) and the scheduler's timer.
//
// Owner: its dialog, as a member. It runs under the dialog's mutex and has
// no lock of its own. Its timer goes where the NvSipTimerOwner given says
// and notifies the dialog with the kept response as object; the dialog checks keeps() (a tick of a response since
// replaced is ignored), sends the response again its own way (a 2xx through
// the transport, a provisional one through its transaction) and asks for
// the next tick, or gives up when tick() says the deadline has passed. The
// response is dropped as soon as it is acknowledged (stop()).
//
// PRACK matching (RFC 3262 3) is apart from the retransmission: the last
// reliable provisional response stays "unacknowledged" until a PRACK names
// it (takePrack), even once our 2xx has replaced it as the kept response,
// so that a PRACK crossing our 2xx still finds it.

#include "stack/sip/NvSipMessage.h"
#include "mlapi/dialog/NvSipTimerOwner.h"

#include <cstdint>

class NvSipResponseRetransmitter {
public:
    enum class Tick { SendAgain, GiveUp };

    NvSipResponseRetransmitter() = default;
    NvSipResponseRetransmitter(const NvSipResponseRetransmitter&) = delete;
    NvSipResponseRetransmitter& operator=(const NvSipResponseRetransmitter&) = delete;

    // Numbers a reliable provisional response (RFC 3262 7.1): one without
    // RSeq gets the last number + 1; one with RSeq (the application's)
    // must not go below the last, and becomes the last, so that later
    // numbers keep rising. Raises NvException "RSeq Num is out of order".
    void number(const NvHandle<NvSipResponse>& response);
    uint32_t lastRSeq() const { return m_RSeq; }

    // Keeps `response`, with no retransmission yet and the deadline 64*T1
    // ahead, and schedules its first tick T1 from now (a pending tick of
    // the response kept before is cancelled). A provisional response
    // becomes the unacknowledged one.
    void start(const NvSipTimerOwner& timers, const NvHandle<NvSipResponse>& response);
    // The response was acknowledged, or is not to go again: the pending tick
    // is cancelled and the response dropped (nothing of it stays with the
    // dialog once its ACK or PRACK came).
    void stop(const NvSipTimerOwner& timers);
    const NvHandle<NvSipResponse>& kept() const { return m_hResponse; }
    bool keeps(const NvHandle<NvSipResponse>& response) const { return response.get() == m_hResponse.get(); }
    // Whether the RAck of `prack` names the RSeq of the reliable provisional
    // response still unacknowledged (kept, or replaced by our 2xx since);
    // when it does, that response is acknowledged and returned, else nil.
    NvHandle<NvSipResponse> takePrack(const NvHandle<NvSipPrackMessage>& prack);
    // The reliable provisional response whose PRACK has not come; nil when none.
    const NvHandle<NvSipResponse>& unacknowledged() const { return m_hUnacknowledged; }

    // The kept response's tick has come: SendAgain before the deadline,
    // GiveUp once it has passed. No tick is pending afterwards.
    Tick tick();
    // The kept response went again: counts it and schedules the next tick,
    // T1 doubling each time (RFC 3262 3), at most T2 apart for a 2xx
    // (`capAtT2`, RFC 3261 13.3.1.4), the last one landing on the deadline.
    void scheduleNext(const NvSipTimerOwner& timers, bool capAtT2);

    // Snapshot items: the number of retransmissions so far, and the state
    // read back (no tick is scheduled for a rebuilt dialog).
    uint8_t count() const { return m_Count; }
    void restore(const NvHandle<NvSipResponse>& response, uint8_t count, uint32_t rseq);

private:
    NvHandle<NvSipResponse> m_hResponse;
    NvHandle<NvSipResponse> m_hUnacknowledged;  // our last reliable 1xx until its PRACK
    uint32_t m_RSeq = 0;       // RSeq of the last reliable provisional response we sent
    uint8_t m_Count = 0;       // retransmissions of m_hResponse so far
    double m_TickKey = 0;      // key of the pending tick; 0: none
    double m_Deadline = 0;     // when retransmitting gives up (us on the stack clock)
};
