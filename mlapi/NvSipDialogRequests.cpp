// NvSipDialog: building the requests we send in the dialog, the route set
// and the remote target.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "mlapi/dialog/NvSipRouteSet.h"
#include "stack/log/Tellar.h"
#include "stack/transaction/NvSipTransactionManager.h"

#include <mutex>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

namespace {

// A copy of `address` for a From or To header, with `tag` when there is one.
NvHandle<NvSipNameAddress> withTag(const NvHandle<NvSipNameAddress>& address, const NvString& tag) {
    NvHandle<NvSipNameAddress> copy(static_cast<NvSipNameAddress*>(address->clone()));
    if (!tag.isEmpty()) {
        copy->setParameter(NvSipHeader::sTagToken, tag.view());
        copy->setAngleBrackets(true);
    }
    return copy;
}

// Where a peer put "transport" on its Contact header instead of the URL.
Tellar::Logger& transportInContactLogger() {
    static Tellar::Logger& logger =
        Tellar::getLogger(Tellar::Sip::getUAInteropLogger().getName() + ".TransportSetAsContactHeaderParam");
    return logger;
}

}  // namespace

NvHandle<NvSipRequest> NvSipDialog::CreateRequest(const NvString& method, const char* contentType, const void* body,
                                                  unsigned int bodyLength,
                                                  const NvHandle<NvSipContactHeader>& contact) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::CreateRequest");
    NvHandle<NvSipRequest> request = NvSipRequest::sCreate(method.view());

    NvHandle<NvURI> target = m_hRemoteTargetURI;
    if (target.isNil()) {
        target = m_hRemoteParticipant->getURI();
        TELLAR_WARN(getLogger(), "Sending a SIP request : remote target URI not known (no Contact ?). "
                                 "Using From field : "
                                     << target->toString().str());
    }
    request->setURI(static_cast<NvURI*>(target->clone()));

    // The conditions are written as their assertion reports read.
    uint32_t cseq = 0;
    if (method == NvSipAckMessage::sMethodName) {
        if (!TELLAR_ASSERT_ON(getLogger(), ! m_hInResponse.isNil())) return nullptr;
        cseq = m_hInResponse->getCSeqHeader()->getNumber();
    } else if (method == NvSipCancelMessage::sMethodName) {
        const NvHandle<NvSipTransaction> cancelled = m_hInitialTransaction.isNil()
                                                         ? NvHandle<NvSipTransaction>(m_OurReinvite.transaction())
                                                         : m_hInitialTransaction;
        if (cancelled.isNil()) {
            TELLAR_ASSERT_ON(getLogger(), 0);
            return nullptr;
        }
        const NvHandle<NvSipRequest> hInitialRequest = cancelled->getInitialRequest();
        if (!TELLAR_ASSERT_ON(getLogger(), ! hInitialRequest.isNil())) return nullptr;
        cseq = hInitialRequest->getCSeqHeader()->getNumber();
    } else {
        cseq = ++m_LocalCSeq;
        table().snapshotChanged(this);
    }

    NvHandle<NvSipContactHeader> contactHeader = contact;
    if (contactHeader.isNil() && !m_hLocalContactHeader.isNil())
        contactHeader = static_cast<NvSipContactHeader*>(m_hLocalContactHeader->clone());
    if (contactHeader.isNil() && !m_hCall->getLocalContact().isNil()) {
        TELLAR_DEBUG(getLogger(), "NvSipDialog::CreateRequest" << " : using the default Contact header");
        contactHeader = new NvSipContactHeader(static_cast<NvSipNameAddress*>(m_hCall->getLocalContact()->clone()));
    }
    request->addHeader(new NvSipFromHeader(withTag(m_hCall->getLocalParticipant(), m_hCall->getLocalTag())));
    request->addHeader(new NvSipToHeader(withTag(m_hRemoteParticipant, m_RemoteTag)));
    if (!contactHeader.isNil()) request->addHeader(contactHeader);
    request->addHeader(new NvSipCallIDHeader(m_CallID.view()));
    request->addHeader(new NvSipCSeqHeader(cseq, method.view()));

    if (bodyLength == 0)
        request->addHeader(new NvSipContentLengthHeader(0));
    else
        request->setBody(body, contentType, bodyLength);

    if (method == NvSipPrackMessage::sMethodName && !m_hInResponse.isNil()) {
        const NvHandle<NvSipRSeqHeader> rseq = m_hInResponse->getHeader<NvSipRSeqHeader>();
        if (rseq.isNil()) NvException::sThrow("Can not send Prack message without RSeq header");
        const NvHandle<NvSipCSeqHeader> answered = m_hInResponse->getCSeqHeader();
        request->addHeader(new NvSipRAckHeader(rseq->getNumber(), answered->getNumber(), answered->getMethod().view()));
    }

    if (request->getHeader<NvSipMaxForwardsHeader>().isNil()) {
        if (!TELLAR_ASSERT_ON(getLogger(), NvSipTransactionManager::sGetMaxForward())) return nullptr;
        request->addHeader(new NvSipMaxForwardsHeader(NvSipTransactionManager::sGetMaxForward()));
    }
    addRouteInfoToRequest(request);
    // RFC 3261 22.3: the realms that challenged our INVITE get credentials
    // again (the ACK gets the INVITE's own, createSendAckMsg; a CANCEL none).
    if (method != NvSipAckMessage::sMethodName && method != NvSipCancelMessage::sMethodName)
        m_Credentials.addTo(table(), request);
    return request;
}

NvHandle<NvSipRequest> NvSipDialog::createRequest(const NvString& method, const char* contentType, const void* body,
                                                  unsigned int bodyLength,
                                                  const NvHandle<NvSipContactHeader>& contact) {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    return CreateRequest(method, contentType, body, bodyLength, contact);
}

void NvSipDialog::ack(const void* body, const char* contentType, unsigned int bodyLength) {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    NvHandle<NvSipAckMessage> built;
    if (m_State == NV_PROCESSING && !m_hInResponse.isNil())
        built = NvHandle<NvSipAckMessage>(
            CreateRequest(NvSipAckMessage::sMethodName, contentType, body, bodyLength, nullptr));
    ack(built);  // reports the state as the other forms do
}

void NvSipDialog::addRouteInfoToRequest(const NvHandle<NvSipRequest>& request) const {
    NvSipRouteSet::sApply(m_RouteSet, *request);
}

void NvSipDialog::setRouteInfo(const NvHandle<NvSipMessage>& message) {
    if (!message.isNil()) m_RouteSet = NvSipRouteSet::sFromRecordRoute(*message);
}

void NvSipDialog::setRemoteTargetURI(const NvHandle<NvSipMessage>& message) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::setRemoteTargetURI");
    if (message.isNil()) return;
    const NvHandle<NvSipContactHeader> contact = message->getHeader<NvSipContactHeader>();
    if (contact.isNil() || contact->isWildcard()) return;
    const NvHandle<NvSipURL> url = contact->getNameAddress()->getURL();
    if (url.isNil()) return;
    const NvString contactTransport = contact->getParameter("transport");
    if (url->getParameter("transport").isEmpty() && !contactTransport.isEmpty()) {
        TELLAR_INFO(transportInContactLogger(),
                    "The \"transport\" parameter is set as a Contact header parameter but should be set as a URL "
                    "parameter. Using transport parameter set in Contact header parameter. Message: "
                        << std::endl
                        << message->toString());
        url->setParameter("transport", contactTransport.view());
        contact->removeParameter("transport");
    }
    m_hRemoteTargetURI = url;
    TELLAR_DEBUG(Tellar::fileScopeLogger(), "New SIP Remote target URI : " << url->toString().str());
}

void NvSipDialog::updateRemoteTargetURI(const NvHandle<NvSipInviteMessage>& invite) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::updateRemoteTargetURI (2)");
    if (invite.isNil()) return;
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::updateRemoteTargetURI::(! in_hInviteMessage.isNil())");
    if (invite->getHeader<NvSipContactHeader>().isNil()) {
        TELLAR_WARN(getLogger(), "Received a SIP INVITE with no Contact");
        return;
    }
    setRemoteTargetURI(invite);
}

void NvSipDialog::updateRemoteTargetURI(const NvHandle<NvSipResponse>& response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::updateRemoteTargetURI (1)");
    if (!response.isNil() && response->getCSeqHeader()->getMethod() == NvSipInviteMessage::sMethodName)
        setRemoteTargetURI(response);
}

bool NvSipDialog::takeRemoteCSeq(const NvHandle<NvSipRequest>& request) {
    const NvString method = request->getMethod();
    if (method == NvSipAckMessage::sMethodName || method == NvSipCancelMessage::sMethodName) return true;
    const uint32_t cseq = request->getCSeqHeader()->getNumber();
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (m_PeerCSeqMethod.isEmpty() && m_RemoteCSeq != 0) {
        m_PeerCSeq = m_RemoteCSeq;
        m_PeerCSeqMethod = NvSipInviteMessage::sMethodName;
    }
    if (!m_PeerCSeqMethod.isEmpty() && (cseq < m_PeerCSeq || (cseq == m_PeerCSeq && method != m_PeerCSeqMethod))) {
        TELLAR_INFO(getLogger(), "Dialog " << m_Key.str() << ": " << method.str() << " with CSeq " << cseq
                                           << " out of order (last " << m_PeerCSeq << " "
                                           << m_PeerCSeqMethod.str() << "): refused with 500");
        return false;
    }
    if (m_PeerCSeqMethod.isEmpty() || cseq > m_PeerCSeq) {
        m_PeerCSeq = cseq;
        m_PeerCSeqMethod = method;
    }
    return true;
}

NvHandle<NvSipRequest> NvSipDialog::nextAttempt(const NvHandle<NvSipRequest>& request, bool freshRoutes) {
    NvHandle<NvSipRequest> retry(static_cast<NvSipRequest*>(request->clone()));
    retry->getCSeqHeader()->setNumber(++m_LocalCSeq);
    if (freshRoutes) {
        // A strict-routed request keeps its remote target as last Route: it
        // becomes the Request-URI again before the route set is applied anew.
        const std::vector<NvHandle<NvSipRouteHeader>> routes = retry->getHeaders<NvSipRouteHeader>();
        if (retry->isStrictRouted() && !routes.empty()) {
            retry->setURI(routes.back()->getNameAddress()->getURI());
            retry->setStrictRouted(false);
        }
        retry->removeHeader(NvSipHeaderID::Route);
        addRouteInfoToRequest(retry);
    }
    const NvHandle<NvSipViaHeader> via = retry->getTopVia();
    if (!via.isNil()) via->setBranchRFC3261();
    return retry;
}
