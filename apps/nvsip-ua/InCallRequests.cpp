#include "apps/nvsip-ua/InCallRequests.h"

#include "mlapi/NvSipCapabilities.h"

#include <strings.h>

namespace {

const char* const kSdp = "application/sdp";

enum class Body { None, Sdp, Other };

Body bodyOf(const NvSipMessage& message) {
    if (message.getBody().empty()) return Body::None;
    const NvHandle<NvSipContentTypeHeader> type = message.getHeader<NvSipContentTypeHeader>();
    return !type.isNil() && strcasecmp(type->getMediaType().c_str(), kSdp) == 0 ? Body::Sdp : Body::Other;
}

unsigned statusFor(const std::string& method) {
    if (method == NvSipReferMessage::sMethodName) return 603;
    for (const char* answered : {NvSipInfoMessage::sMethodName, NvSipNotifyMessage::sMethodName,
                                 NvSipOptionsMessage::sMethodName})
        if (method == answered) return 200;
    return 405;
}

void addAccept(NvSipMessage& refusal) { refusal.addHeader(new NvSipGenericHeader("Accept", kSdp)); }

}  // namespace

const std::string& InCallRequests::sAllow() {
    static const std::string allow = NvSipCapabilities::sAllow;
    return allow;
}

NvHandle<NvSipResponse> InCallRequests::answerReinvite(const NvHandle<NvSipInviteMessage>& invite,
                                                       unsigned& version, std::string& event) const {
    const Body body = bodyOf(*invite);
    if (body == Body::Other) {
        event = "re-INVITE with a body that is not SDP, 415";
        NvHandle<NvSipResponse> refusal = new NvSipResponse(415, NvHandle<NvSipRequest>(invite));
        addAccept(*refusal);
        return refusal;
    }
    if (body == Body::None) ++version;
    event = body == Body::Sdp ? "re-INVITE with an offer, 200 with our answer"
                              : "re-INVITE without an offer, 200 with our offer (o= version " +
                                    std::to_string(version) + ")";
    const std::string sdp = m_Sdp.at(version);
    return new NvSipResponse(200, NvHandle<NvSipRequest>(invite), sdp.data(), kSdp, static_cast<unsigned>(sdp.size()));
}

std::string InCallRequests::answer(NvSipServerTransaction& transaction, const NvHandle<NvSipRequest>& request) const {
    const std::string method = request->getMethod().str();
    const unsigned status = statusFor(method);
    NvHandle<NvSipResponse> response = transaction.buildResponse(status);
    std::string what = method + " received, " + std::to_string(status);
    const bool options = method == NvSipOptionsMessage::sMethodName;
    if (status == 405 || options) response->addHeader(new NvSipGenericHeader("Allow", sAllow()));
    if (options) NvSipCapabilities::sAddAll(*response);  // keeps our Allow
    transaction.trySendResponse(response);
    return what;
}

NvHandle<NvSipResponse> InCallRequests::answerUpdate(const NvHandle<NvSipUpdateMessage>& update, unsigned version,
                                                     std::string& event) const {
    const Body body = bodyOf(*update);
    NvHandle<NvSipResponse> response =
        new NvSipResponse(body == Body::Other ? 415 : 200, NvHandle<NvSipRequest>(update));
    if (body == Body::Other) {
        event = "UPDATE with a body that is not SDP, 415";
        addAccept(*response);
    } else if (body == Body::Sdp) {
        event = "UPDATE with an offer, 200 with our answer";
        const std::string sdp = m_Sdp.at(version);
        response->setBody(sdp.data(), kSdp, static_cast<unsigned>(sdp.size()));
    } else {
        event = "UPDATE received, 200";
    }
    return response;
}

bool InCallRequests::sAllowsUpdate(const NvSipMessage& message) {
    for (const NvHandle<NvSipHeader>& header : message.getHeaders()) {
        if (strcasecmp(header->getName().c_str(), "Allow") != 0) continue;
        const std::string methods = header->getValue().str();
        for (size_t start = 0; start < methods.size();) {
            size_t end = methods.find(',', start);
            if (end == std::string::npos) end = methods.size();
            const size_t first = methods.find_first_not_of(" \t", start);
            const size_t last = methods.find_last_not_of(" \t", end - 1);
            if (first < end && last != std::string::npos && methods.compare(first, last + 1 - first, "UPDATE") == 0)
                return true;
            start = end + 1;
        }
    }
    return false;
}

std::string InCallRequests::ackEvent(const NvSipAckMessage& ack) {
    return ack.getBody().empty() ? "ACK of re-INVITE received" : "ACK of re-INVITE received with SDP";
}
