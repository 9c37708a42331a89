// NvSipDialog: the peer's re-INVITE (RFC 3261 14.2): accepting or refusing
// it, our answer, its ACK and CANCEL.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipCapabilities.h"
#include "stack/log/Tellar.h"

#include <mutex>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

void NvSipDialog::onReinviteRequest(NvHandle<NvSipServerTransaction> transaction,
                                    NvHandle<NvSipInviteMessage> invite) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onReinviteRequest");
    TELLAR_DEBUG(getLogger(), "NvSipDialog::onReinviteRequest" << " : " << "m_State=" << m_State);
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        const NvSipIncomingReinvite::Dialog dialog{
            m_RemoteCSeq, sIsOurReinvitePending(m_State) && !m_OurReinvite.transaction().isNil(),
            sIsTheirReinvitePending(m_State) && !m_TheirReinvite.transaction().isNil(), m_State == NV_ACTIVE,
            sIsEnding(m_State), m_bCaller};
        switch (NvSipIncomingReinvite::sAdmit(invite, dialog)) {
        case NvSipIncomingReinvite::Admission::OutOfOrder:
            sendAndLogResponse(transaction, 500u, Tellar::INFO);
            return;
        case NvSipIncomingReinvite::Admission::Glare: {
            TELLAR_TRACE_SCOPE(getLogger(), "m_State & NV_REINVITING");
            sendAndLogResponse(transaction, 491u, Tellar::INFO);
            return;
        }
        case NvSipIncomingReinvite::Admission::Busy: {
            TELLAR_TRACE_SCOPE(getLogger(), "m_State & NV_REINVITE_PROCEEDING");
            sendAndLogResponse(transaction, NvSipIncomingReinvite::sBusy(invite), Tellar::INFO);
            return;
        }
        case NvSipIncomingReinvite::Admission::Ended:
            sendAndLogResponse(transaction, 481u, Tellar::INFO);
            return;
        case NvSipIncomingReinvite::Admission::TooSmall: {
            TELLAR_TRACE_SCOPE(getLogger(), "m_State & NV_ACTIVE");
            sendAndLogResponse(transaction, NvSipSessionTimer::sTooSmall(invite), Tellar::INFO);
            return;
        }
        case NvSipIncomingReinvite::Admission::Take:
            break;
        }
        TELLAR_TRACE_SCOPE(getLogger(), "m_State & NV_ACTIVE");
        TELLAR_TRACE_SCOPE(getLogger(), "m_State other");
        changeState(NV_REINVITED);
        updateRemoteTargetURI(invite);
        m_RemoteCSeq = invite->getCSeqHeader()->getNumber();
        m_TheirReinvite.take(transaction);
        m_Unanswered.keep(timers(), transaction);
        call = m_hCall;
    }
    call->onReinviteRequest(this, invite);
}

NvHandle<NvSipResponse> NvSipDialog::responseToPending(const NvSipIncomingReinvite& pending, unsigned int statusCode,
                                                       const void* body, const char* contentType,
                                                       unsigned int bodyLength) const {
    NvHandle<NvSipServerTransaction> transaction;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        transaction = pending.transaction();
    }
    if (transaction.isNil()) return nullptr;
    return new NvSipResponse(static_cast<int>(statusCode), transaction->getInitialRequest(), body, contentType,
                             bodyLength);
}

void NvSipDialog::respondToReinvite(unsigned int statusCode, const void* body, const char* contentType,
                                    unsigned int bodyLength) {
    const NvHandle<NvSipResponse> response = responseToPending(m_TheirReinvite, statusCode, body, contentType, bodyLength);
    if (!response.isNil()) respondToReinvite(response);
}

void NvSipDialog::respondToReinvite(NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::respondToReinvite");
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    NvHandle<NvSipServerTransaction> transaction = m_TheirReinvite.transaction();
    // Once answered (its 2xx awaits the ACK), a re-INVITE takes no other answer.
    if (!sIsReinviting(m_State) || transaction.isNil() || !transaction->canSendFinalResponse()) return;
    if (response.isNil()) response = new NvSipResponse(200, transaction->getInitialRequest());
    const int status = response->getStatusCode();
    if (status >= 200 && status < 300) {
        modifyResponse(response, NvHandle<NvSipInviteMessage>(transaction->getInitialRequest()));
        NvSipCapabilities::sAddAllowAndSupported(*response);
        changeState(NV_REINVITE_PROCESSING);
        m_Retransmitter.start(timers(), response);
    } else if (status >= 300) {
        changeState(NV_REINVITE_FAILED);
        m_Retransmitter.stop(timers());
    }
    addLocalContact(response);
    sendAndLogResponse(transaction, response, Tellar::INFO);
}

void NvSipDialog::onReinviteAckRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipAckMessage> ack) {
    // The ACK of a failure answer comes through the transaction, that of a
    // 2xx through the call manager: both end the re-INVITE the same way.
    // The ACK of a refusal (491, 500, 422) concerns no pending re-INVITE.
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (!m_TheirReinvite.isPending(transaction)) return;
    }
    onAckRequest(transaction, ack);
}

void NvSipDialog::onReinviteCancelRequest(NvHandle<NvSipServerTransaction>, NvHandle<NvSipCancelMessage> cancel) {
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (!sIsTheirReinvitePending(m_State) || m_TheirReinvite.transaction().isNil()) return;
        // The stack answers the CANCEL 200 and the re-INVITE 487.
        changeState(NV_ACTIVE);
        m_TheirReinvite.forget();
        m_Retransmitter.stop(timers());
        call = m_hCall;
    }
    call->onCancelReinviteRequest(this, cancel);
}

void NvSipDialog::onReinviteServerTimeOut(NvHandle<NvSipServerTransaction> transaction) {
    // The ACK of our failure never came, or our answer could not be sent:
    // the re-INVITE is over all the same (a 2xx's ACK is waited for by the
    // retransmitter).
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (!m_TheirReinvite.isPending(transaction) || !sIsReinviting(m_State) || m_State == NV_REINVITE_PROCESSING)
        return;
    changeState(NV_ACTIVE);
    m_TheirReinvite.forget();
}
