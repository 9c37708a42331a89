#include "mlapi/dialog/NvSipDialogCredentials.h"

#include <algorithm>

namespace {

bool isChallenge(NvSipHeaderID id) {
    return id == NvSipHeaderID::WWWAuthenticate || id == NvSipHeaderID::ProxyAuthenticate;
}

bool isCredentials(NvSipHeaderID id) {
    return id == NvSipHeaderID::Authorization || id == NvSipHeaderID::ProxyAuthorization;
}

}  // namespace

void NvSipDialogCredentials::keepChallenges(const NvSipResponse& response) {
    for (const NvHandle<NvSipHeader>& header : response.getHeaders()) {
        if (!isChallenge(header->getID())) continue;
        NvHandle<NvSipAuthHeader> challenge(static_cast<NvSipAuthHeader*>(header.get()));
        const NvString realm = challenge->getParameter("realm");
        m_Challenges.erase(std::remove_if(m_Challenges.begin(), m_Challenges.end(),
                                          [&](const NvHandle<NvSipAuthHeader>& kept) {
                                              return kept->getID() == challenge->getID() &&
                                                     kept->getParameter("realm") == realm;
                                          }),
                           m_Challenges.end());
        m_Challenges.push_back(challenge);
    }
}

void NvSipDialogCredentials::addTo(NvSipDialogTable& table, const NvHandle<NvSipRequest>& request) const {
    // The policy answers a 401 or a 407: one of each, with the challenges of its kind.
    for (const auto& [status, kind] : {std::pair{401, NvSipHeaderID::WWWAuthenticate},
                                       std::pair{407, NvSipHeaderID::ProxyAuthenticate}}) {
        NvHandle<NvSipResponse> challenges;
        for (const NvHandle<NvSipAuthHeader>& challenge : m_Challenges) {
            if (challenge->getID() != kind) continue;
            if (challenges.isNil()) challenges = new NvSipResponse(status, NvSipResponse::sReasonPhrase(status));
            challenges->addHeader(NvHandle<NvSipHeader>(challenge));
        }
        if (!challenges.isNil()) table.addCredentials(challenges, request);
    }
}

void NvSipDialogCredentials::takeInvite(const NvSipRequest& invite) {
    m_InviteCredentials.clear();
    for (const NvHandle<NvSipHeader>& header : invite.getHeaders())
        if (isCredentials(header->getID())) m_InviteCredentials.push_back(header);
}

void NvSipDialogCredentials::addToAck(NvSipRequest& ack) const {
    for (const NvHandle<NvSipHeader>& header : ack.getHeaders())
        if (isCredentials(header->getID())) return;
    for (const NvHandle<NvSipHeader>& header : m_InviteCredentials)
        ack.addHeader(NvHandle<NvSipHeader>(static_cast<NvSipHeader*>(header->clone())));
}
