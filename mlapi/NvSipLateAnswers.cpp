#include "mlapi/NvSipLateAnswers.h"

#include "mlapi/dialog/NvSipRouteSet.h"
#include "stack/base/NvException.h"
#include "stack/log/Tellar.h"
#include "stack/timer/NvTime.h"
#include "stack/transaction/NvSipClientTransaction.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTransportLayer.h"

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipLateAnswers")

namespace {

// An in-dialog request of the dialog `answer` would have made: From, To and
// Call-ID as it has them, CSeq `cseq`, to its Contact along its route set.
NvHandle<NvSipRequest> requestOf(const NvSipResponse& answer, const NvURI& contact, const char* method, uint32_t cseq) {
    NvHandle<NvSipRequest> request = NvSipRequest::sCreate(method);
    request->setURI(static_cast<NvURI*>(contact.clone()));
    request->addHeader(static_cast<NvSipHeader*>(answer.getFromHeader()->clone()));
    request->addHeader(static_cast<NvSipHeader*>(answer.getToHeader()->clone()));
    request->addHeader(static_cast<NvSipHeader*>(answer.getCallIDHeader()->clone()));
    request->addHeader(new NvSipCSeqHeader(cseq, method));
    request->addHeader(new NvSipMaxForwardsHeader(NvSipTransactionManager::sGetMaxForward()));
    request->addHeader(new NvSipContentLengthHeader(0));
    NvSipRouteSet::sApply(NvSipRouteSet::sFromRecordRoute(answer), *request);
    return request;
}

}  // namespace

uint64_t NvSipLateAnswers::sKeyOf(const NvString& callId, const NvString& localTag) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a, 64 bits
    const auto add = [&hash](std::string_view text) {
        for (const unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    };
    add(callId.view());
    add(",");
    add(localTag.view());
    return hash;
}

void NvSipLateAnswers::remember(const NvString& callId, const NvString& localTag) {
    const double now = NvTime::sGetCurrentTime();
    const uint64_t key = sKeyOf(callId, localTag);
    std::lock_guard<std::mutex> lock(m_Mutex);
    forgetExpired(now);
    if (m_Order.size() == sm_MaxRemembered) forgetExpired(m_Order.front().expiresAtUs);
    m_Order.push_back({key, now + 64.0 * NvSipTransactionManager::m_T1 * 1000.0});
    m_Keys.insert(key);
}

void NvSipLateAnswers::forgetExpired(double nowUs) {
    while (!m_Order.empty() && m_Order.front().expiresAtUs <= nowUs) {
        m_Keys.erase(m_Keys.find(m_Order.front().key));
        m_Order.pop_front();
    }
}

bool NvSipLateAnswers::isRemembered(uint64_t key) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    forgetExpired(NvTime::sGetCurrentTime());
    return m_Keys.count(key) != 0;
}

std::size_t NvSipLateAnswers::size() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Order.size();
}

bool NvSipLateAnswers::hangUp(const NvHandle<NvSipResponse>& response) {
    const int status = response->getStatusCode();
    const NvHandle<NvSipCSeqHeader> cseq = response->getCSeqHeader();
    if (status / 100 != 2 || cseq->getMethod() != NvSipInviteMessage::sMethodName) return false;
    if (!isRemembered(sKeyOf(response->getCallID(), response->getFromHeader()->getTag()))) return false;
    sAckAndHangUp(response);
    return true;
}

void NvSipLateAnswers::sAckAndHangUp(const NvHandle<NvSipResponse>& response) {
    const NvHandle<NvSipCSeqHeader> cseq = response->getCSeqHeader();
    const NvHandle<NvSipContactHeader> contact = response->getHeader<NvSipContactHeader>();
    if (contact.isNil() || contact->isWildcard() || response->getToHeader()->getTag().isEmpty()) {
        TELLAR_WARN(Tellar::fileScopeLogger(), "A 2xx to an ended INVITE of Call-ID "
                                                   << response->getCallID().str()
                                                   << " has no To tag or Contact: neither ACKed nor hung up");
        return;
    }
    const NvURI& target = *contact->getNameAddress()->getURI();
    try {
        const NvHandle<NvSipRequest> ack = requestOf(*response, target, NvSipAckMessage::sMethodName, cseq->getNumber());
        NvSipTransportLayer::sGetInstance()->addViaHeader(ack);
        NvSipTransportLayer::send(ack);
        const NvHandle<NvSipClientTransaction> bye = new NvSipClientTransaction(
            requestOf(*response, target, NvSipByeMessage::sMethodName, cseq->getNumber() + 1),
            new NvSipClientTransactionInterface);
        bye->sendRequest(nullptr, nullptr);
        TELLAR_INFO(Tellar::fileScopeLogger(), "A 2xx to an ended INVITE of Call-ID "
                                                   << response->getCallID().str() << " ACKed and hung up");
    } catch (const NvHandle<NvException>& error) {
        TELLAR_WARN(Tellar::fileScopeLogger(), "A 2xx to an ended INVITE of Call-ID "
                                                   << response->getCallID().str()
                                                   << " not hung up: " << error->getMessage().str());
    }
}
