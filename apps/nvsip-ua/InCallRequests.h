#pragma once
// InCallRequests: how both modes of nvsip-ua answer what the peer asks
// inside a call, BYE aside. Our media never change, so the peer's offer is
// answered with our SDP as it stands, and a request for an offer (a
// re-INVITE without body) gets our SDP as a new offer, its o= version raised
// by one (RFC 3264 8); each mode keeps that version per call and passes it
// in.
//
//   re-INVITE with SDP       200 with our SDP, the answer (RFC 3264 6)
//   re-INVITE without body   200 with a new offer; the ACK brings the answer (RFC 3261 14.2)
//   UPDATE with SDP          200 with our SDP, the answer (RFC 3311 5.2)
//   UPDATE without body      200 (a session refresh: the library adds
//                            Session-Expires while the timer runs)
//   a body that is not SDP   415 with Accept (RFC 3261 21.4.13)
//   INFO, NOTIFY             200
//   OPTIONS                  200 with Allow, Accept and Supported (RFC 3261 11.2)
//   REFER                    603: nvsip-ua transfers no call, and a 202 would
//                            promise NOTIFYs of the transfer (RFC 3515 2.4.4)
//   any other method         405 with Allow (RFC 3261 8.2.1)
//
// Allow is the library's list (UPDATE included).
//
// Immutable after construction; any thread.

#include "apps/nvsip-ua/OurSdp.h"
#include "stack/transaction/NvSipServerTransaction.h"

#include <string>

class InCallRequests {
public:
    explicit InCallRequests(OurSdp sdp) : m_Sdp(std::move(sdp)) {}

    // What Allow says of nvsip-ua.
    static const std::string& sAllow();
    const OurSdp& sdp() const { return m_Sdp; }

    // The response to the peer's re-INVITE. `version` is the call's o=
    // version, raised when the response makes a new offer; `event` says
    // what was answered, for the call's report.
    NvHandle<NvSipResponse> answerReinvite(const NvHandle<NvSipInviteMessage>& invite, unsigned& version,
                                           std::string& event) const;
    // The response to the peer's UPDATE (answered through the call or
    // dialog's respondToUpdate), an answer with our SDP at `version` to an
    // offer; `event` says what was answered.
    NvHandle<NvSipResponse> answerUpdate(const NvHandle<NvSipUpdateMessage>& update, unsigned version,
                                         std::string& event) const;
    // Whether `message` (the peer's INVITE or 2xx) lists UPDATE in its
    // Allow: then the session is refreshed with UPDATE, else with re-INVITE.
    static bool sAllowsUpdate(const NvSipMessage& message);
    // Answers the peer's request of another method on `transaction`;
    // returns what was answered.
    std::string answer(NvSipServerTransaction& transaction, const NvHandle<NvSipRequest>& request) const;
    // The report's line for the ACK of our 2xx to the peer's re-INVITE.
    static std::string ackEvent(const NvSipAckMessage& ack);

private:
    const OurSdp m_Sdp;
};
