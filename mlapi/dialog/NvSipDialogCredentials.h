#pragma once
// NvSipDialogCredentials: what a dialog of ours keeps of authentication
// (RFC 3261 22): the challenges (WWW-Authenticate, Proxy-Authenticate) that
// its INVITE or re-INVITE met and answered, one per kind and realm, so that
// each request it builds later carries credentials for those realms (22.3);
// and the credentials of the INVITE or re-INVITE whose 2xx it acknowledges
// next, which that ACK carries unchanged (13.2.2.4).
//
// Owner: its dialog, as a member; copied with the dialog for another
// fork's 2xx and handed on to the dialog of a new attempt of our INVITE. It
// runs under the dialog's mutex and has no lock of its own. The credentials
// themselves come from the process's authentication policy, through the
// dialog table (NvSipDialogTable::addCredentials), answering the kept
// challenges for the request at hand: a Digest policy computes them for its
// method and Request-URI, with the nonce's next count.

#include "mlapi/NvSipDialogTable.h"
#include "stack/sip/NvSipMessage.h"

#include <vector>

class NvSipDialogCredentials {
public:
    // Keeps the challenges of `response` (a 401 or 407 whose challenge was
    // answered), each replacing one kept of the same kind and realm.
    void keepChallenges(const NvSipResponse& response);
    // Adds credentials answering the kept challenges to `request` (nothing
    // when none is kept, or when the policy has none).
    void addTo(NvSipDialogTable& table, const NvHandle<NvSipRequest>& request) const;

    // The Authorization and Proxy-Authorization headers of `invite`, for its ACK.
    void takeInvite(const NvSipRequest& invite);
    // Copies of those to `ack`, unless it carries credentials already.
    void addToAck(NvSipRequest& ack) const;

private:
    std::vector<NvHandle<NvSipAuthHeader>> m_Challenges;
    std::vector<NvHandle<NvSipHeader>> m_InviteCredentials;
};
