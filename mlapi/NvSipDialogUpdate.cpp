// NvSipDialog: UPDATE (RFC 3311) in both directions, and the session
// refresh it carries (RFC 4028). The rules are written in NvSipDialog.h.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipCapabilities.h"
#include "stack/log/Tellar.h"

#include <mutex>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

namespace {

bool hasBody(const NvHandle<NvSipMessage>& message) { return !message.isNil() && !message->getBody().empty(); }

}  // namespace

// ---------------------------------------------------------------- offer/answer

int NvSipDialog::offerRefusal() const {
    const NvHandle<NvSipRequest> invite =
        m_hInitialTransaction.isNil() ? nullptr : m_hInitialTransaction->getInitialRequest();
    const bool ourReinvite = sIsOurReinvitePending(m_State) && !m_OurReinvite.transaction().isNil();
    // Our offer waits for its answer.
    if ((!m_OurUpdate.transaction().isNil() && hasBody(m_OurUpdate.transaction()->getInitialRequest())) ||
        (ourReinvite && hasBody(m_OurReinvite.transaction()->getInitialRequest())) ||
        (m_bCaller && sIsEarly(m_State) && hasBody(invite) && !hasBody(m_hInResponse)))
        return 491;
    // Another exchange is unfinished. The peer's re-INVITE that brought an
    // offer is finished with our 2xx, which answers it, before its ACK.
    const bool theirUpdate =
        !m_TheirUpdate.transaction().isNil() && m_TheirUpdate.transaction()->canSendFinalResponse();
    const NvHandle<NvSipServerTransaction>& theirReinvite = m_TheirReinvite.transaction();
    const bool theirOfferAnswered =
        m_State == NV_REINVITE_PROCESSING && !theirReinvite.isNil() && hasBody(theirReinvite->getInitialRequest());
    if (theirUpdate || (sIsReinviting(m_State) && !theirOfferAnswered) || m_State == NV_PROCESSING ||
        m_State == NV_PROCEEDED ||
        (!m_bCaller && sIsEarly(m_State) && hasBody(invite) && m_Retransmitter.lastRSeq() == 0))
        return 500;
    return 0;
}

const char* NvSipDialog::offerBlocked() const {
    return offerRefusal() == 0 ? nullptr : "UPDATE with an offer not sent: an offer/answer exchange is pending";
}

// ---------------------------------------------------------------- the peer's

void NvSipDialog::onUpdateRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipUpdateMessage> update) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onUpdateRequest");
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        NvHandle<NvSipResponse> refusal;
        const int offer = hasBody(update) ? offerRefusal() : 0;
        if (sIsEnding(m_State))
            refusal = new NvSipResponse(481, NvHandle<NvSipRequest>(update));
        else if (!m_TheirUpdate.transaction().isNil() && m_TheirUpdate.transaction()->canSendFinalResponse())
            refusal = NvSipIncomingReinvite::sBusy(update);
        else if (offer == 491)
            refusal = new NvSipResponse(491, NvHandle<NvSipRequest>(update));
        else if (offer == 500)
            refusal = NvSipIncomingReinvite::sBusy(update);
        else
            refusal = NvSipSessionTimer::sTooSmall(update);
        if (!refusal.isNil()) {
            sendAndLogResponse(transaction, refusal, Tellar::INFO);
            return;
        }
        setRemoteTargetURI(update);
        m_TheirUpdate.take(transaction);
        m_Unanswered.keep(timers(), transaction);
        call = m_hCall;
    }
    call->onUpdateRequest(this, update);
}

void NvSipDialog::respondToUpdate(unsigned int statusCode, const void* body, const char* contentType,
                                  unsigned int bodyLength) {
    const NvHandle<NvSipResponse> response = responseToPending(m_TheirUpdate, statusCode, body, contentType, bodyLength);
    if (!response.isNil()) respondToUpdate(response);
}

void NvSipDialog::respondToUpdate(NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::respondToUpdate");
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    const NvHandle<NvSipServerTransaction> transaction = m_TheirUpdate.transaction();
    if (transaction.isNil() || !transaction->canSendFinalResponse()) return;
    if (response.isNil()) response = new NvSipResponse(200, transaction->getInitialRequest());
    const int status = response->getStatusCode();
    if (status / 100 == 2) {
        if (sIsConfirmed(m_State)) m_SessionTimer.answer(timers(), response, transaction->getInitialRequest());
        NvSipCapabilities::sAddAllowAndSupported(*response);
        addLocalContact(response);
    }
    if (status >= 200) m_TheirUpdate.forget();
    sendAndLogResponse(transaction, response, Tellar::INFO);
    if (status / 100 == 2) table().snapshotChanged(this);  // remote target, session interval
}

// ---------------------------------------------------------------- ours

void NvSipDialog::update(NvHandle<NvSipUpdateMessage> update) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::update");
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (sIsEnding(m_State)) NvException::sThrow("UPDATE not sent: the dialog is ending");
    if (m_RemoteTag.isEmpty()) NvException::sThrow("UPDATE not sent: no dialog yet (no response with a To tag)");
    if (!m_OurUpdate.transaction().isNil())
        NvException::sThrow("UPDATE not sent: our previous UPDATE is still pending");
    if (hasBody(update) && offerBlocked()) NvException::sThrow(offerBlocked());
    if (update.isNil())
        update = NvHandle<NvSipUpdateMessage>(
            CreateRequest(NvSipUpdateMessage::sMethodName, nullptr, nullptr, 0, nullptr));
    if (update.isNil()) return;
    if (sIsConfirmed(m_State)) m_SessionTimer.offer(update);
    sendUpdate(update);
}

void NvSipDialog::sendUpdate(const NvHandle<NvSipRequest>& update) {
    m_OurUpdate.send(update, Tellar::NoSizeMemAllocator::create<UpdateClientInterface>("UpdateClientInterface",
                                                                                       NvHandle<NvSipDialog>(this)));
}

void NvSipDialog::retryUpdate(const NvHandle<NvSipUpdateMessage>& update) {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (sIsEnding(m_State) || !m_OurUpdate.transaction().isNil() || (hasBody(update) && offerBlocked())) return;
    // A copy: the failed transaction may still answer from its request.
    sendUpdate(nextAttempt(update, false));
}

void NvSipDialog::onUpdateProvisionalResponse(NvHandle<NvSipClientTransaction> transaction,
                                              NvHandle<NvSipResponse> response) {
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (!m_OurUpdate.isPending(transaction)) return;
    }
    getCall()->onUpdateResponse(this, response);
}

void NvSipDialog::onUpdateFinalResponse(NvHandle<NvSipClientTransaction> transaction,
                                        NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onUpdateFinalResponse");
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (!m_OurUpdate.isPending(transaction)) return;
        m_OurUpdate.forget();
        const NvHandle<NvSipRequest> update = transaction->getInitialRequest();
        try {
            const NvHandle<NvSipRequest> retry = retryFor(transaction, response);
            if (!retry.isNil()) {
                sendUpdate(retry);
                return;
            }
        } catch (const NvHandle<NvException>& error) {
            TELLAR_WARN(getLogger(), "UPDATE not sent again: " << error->getMessage().str());
        }
        const int status = response->getStatusCode();
        if (status / 100 == 2) {
            setRemoteTargetURI(response);  // a target refresh (RFC 3311 5.2)
            const NvHandle<NvSipSessionExpiresHeader> sessionExpires = response->getHeader<NvSipSessionExpiresHeader>();
            if (sIsConfirmed(m_State) && sm_bSupportTimer && !sessionExpires.isNil())
                handleSessionTime(response, sessionExpires);
            else if (sIsConfirmed(m_State) && !update->getHeader<NvSipSessionExpiresHeader>().isNil())
                m_SessionTimer.stop(timers());
            table().snapshotChanged(this);
        } else if (status == 491) {
            NvSipOutgoingReinvite::sRetryLater(timers(), update, m_bCaller);
        }
        call = m_hCall;
    }
    call->onUpdateResponse(this, response);
    endOnNoDialog(response);
}
