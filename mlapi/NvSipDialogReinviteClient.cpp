// NvSipDialog: our re-INVITE (RFC 3261 14.1): sending it, its responses,
// the new attempts after a challenge, a 422 or a 491, its ACK and time-out.
// The pending attempt and the 491 timer are NvSipOutgoingReinvite's.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipDialogTable.h"
#include "stack/log/Tellar.h"

#include <mutex>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

// ---------------------------------------------------------------- sending

void NvSipDialog::reinvite(NvHandle<NvSipInviteMessage> invite) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::reinvite");
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (m_State != NV_ACTIVE) return;
    if (invite.isNil())
        invite = NvHandle<NvSipInviteMessage>(
            CreateRequest(NvSipInviteMessage::sMethodName, nullptr, nullptr, 0, nullptr));
    if (invite.isNil()) return;
    m_SessionTimer.offer(invite);
    sendReinvite(invite);
}

bool NvSipDialog::isOurReinvite(const NvHandle<NvSipClientTransaction>& transaction) const {
    return sIsOurReinvitePending(m_State) && m_OurReinvite.isPending(transaction);
}

void NvSipDialog::sendReinvite(const NvHandle<NvSipInviteMessage>& invite) {
    // NV_REINVITING before the sending: a transport error while sending is
    // reported at once, as a time-out of the re-INVITE.
    const int32_t before = m_State;
    changeState(NV_REINVITING);
    try {
        m_OurReinvite.send(invite, Tellar::NoSizeMemAllocator::create<ReinviteClientInterface>(
                                       "ReinviteClientInterface", NvHandle<NvSipDialog>(this)));
    } catch (...) {
        changeState(before);  // a new attempt's caller then ends the re-INVITE
        throw;
    }
}

// ---------------------------------------------------------------- responses

void NvSipDialog::onReinviteProvisionalResponse(NvHandle<NvSipClientTransaction> transaction,
                                                NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onReinviteProvisionalResponse");
    takeReinviteProvisional(transaction, response, NV_REINVITE_PROCEEDING);
}

void NvSipDialog::onReinviteReliableProvisionalResponse(NvHandle<NvSipClientTransaction> transaction,
                                                        NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onReinviteReliableProvisionalResponse");
    takeReinviteProvisional(transaction, response, NV_REINVITE_PROCEEDED);
}

void NvSipDialog::takeReinviteProvisional(const NvHandle<NvSipClientTransaction>& transaction,
                                          const NvHandle<NvSipResponse>& response, int32_t state) {
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (!isOurReinvite(transaction)) return;
        changeState(state);
        m_hInResponse = response;  // a PRACK takes its RSeq from it
        call = m_hCall;
    }
    call->onReinviteResponse(this, response);
}

void NvSipDialog::onReinviteFinalResponse(NvHandle<NvSipClientTransaction> transaction,
                                          NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onReinviteFinalResponse");
    NvHandle<NvSipCall> call;
    NvHandle<NvSipCall> ended;  // a 481 or 408 ended the dialog (RFC 3261 12.2.1.2)
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (!isOurReinvite(transaction)) {
            ackLateAnswer(response);
            return;
        }
        m_hInResponse = response;
        if (sendReinviteAgain(transaction, response)) return;
        const int status = response->getStatusCode();
        if (status == 481 || status == 408) {
            m_OurReinvite.forget();
            m_hInResponse = nullptr;
            ended = endNow(status == 408);
        } else {
            endReinvite(transaction, response);
        }
        call = m_hCall;
    }
    call->onReinviteResponse(this, response);
    if (!ended.isNil()) {
        ended->onByeResponse(this, response);
        return;
    }
    // A failure needs no ACK of ours (its transaction sent it): unless the
    // application ended the re-INVITE meanwhile, the session goes on as it was.
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (m_State == NV_REINVITE_FAILED && m_hInResponse.get() == response.get()) {
        changeState(NV_ACTIVE);
        m_hInResponse = nullptr;
    }
}

bool NvSipDialog::sendReinviteAgain(const NvHandle<NvSipClientTransaction>& transaction,
                                    const NvHandle<NvSipResponse>& response) {
    try {
        const NvHandle<NvSipRequest> retry = retryFor(transaction, response);
        if (retry.isNil()) return false;
        sendReinvite(NvHandle<NvSipInviteMessage>(retry));
        return true;
    } catch (const NvHandle<NvException>& error) {
        TELLAR_WARN(getLogger(), "re-INVITE not sent again: " << error->getMessage().str());
        return false;
    }
}

NvHandle<NvSipRequest> NvSipDialog::retryFor(const NvHandle<NvSipClientTransaction>& transaction,
                                             const NvHandle<NvSipResponse>& response) {
    if (response->getStatusCode() == 422) {
        const uint32_t interval = NvSipOutgoingReinvite::sUsableMinSE(response);
        return interval == 0 ? nullptr : retryWithInterval(transaction, interval);
    }
    const NvHandle<NvSipRequest> request = transaction->getInitialRequest();
    if (!table().addCredentials(response, request)) return nullptr;
    m_Credentials.keepChallenges(*response);
    // The clone keeps every header as it was, with the credentials just
    // added: nothing is offered twice.
    return nextAttempt(request, true);
}

void NvSipDialog::endReinvite(const NvHandle<NvSipClientTransaction>& transaction,
                              const NvHandle<NvSipResponse>& response) {
    m_OurReinvite.forget();
    const int status = response->getStatusCode();
    if (status / 100 == 2) {
        m_Credentials.takeInvite(*transaction->getInitialRequest());  // for its ACK
        updateRemoteTargetURI(response);
        const NvHandle<NvSipSessionExpiresHeader> sessionExpires = response->getHeader<NvSipSessionExpiresHeader>();
        if (sm_bSupportTimer && !sessionExpires.isNil())
            handleSessionTime(response, sessionExpires);
        else
            m_SessionTimer.stop(timers());
        changeState(NV_REINVITE_PROCESSING);
        return;
    }
    if (status == 491) NvSipOutgoingReinvite::sRetryLater(timers(), transaction->getInitialRequest(), m_bCaller);
    changeState(NV_REINVITE_FAILED);
}

void NvSipDialog::retryReinvite(const NvHandle<NvSipInviteMessage>& invite) {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (m_State != NV_ACTIVE) return;
    // A copy: the failed transaction may still answer the 491's
    // retransmissions from its request.
    sendReinvite(NvHandle<NvSipInviteMessage>(nextAttempt(invite, false)));
}

// ---------------------------------------------------------------- ACK and time-out

void NvSipDialog::ackReinvite(NvHandle<NvSipAckMessage> ack) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::ackReinvite");
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (m_State != NV_REINVITE_PROCESSING || m_hInResponse.isNil()) return;
    if (!ack.isNil()) addRouteInfoToRequest(ack);
    createSendAckMsg(m_hInResponse, ack);
    m_hInResponse = nullptr;
    changeState(NV_ACTIVE);
}

void NvSipDialog::onReinviteTimeOut(NvHandle<NvSipTransaction> transaction) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onReinviteTimeOut");
    m_CallMessageLogger.log(Tellar::INFO, "SIP re-INVITE timed-out");
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (!sIsReinviting(m_State)) return;
        call = endNow(true);
    }
    if (!call.isNil()) call->onReinviteTimeOut(this, NvHandle<NvSipInviteMessage>(transaction->getInitialRequest()));
}

void NvSipDialog::ackLateAnswer(const NvHandle<NvSipResponse>& response) {
    if (response->getStatusCode() / 100 != 2) return;  // a failure's ACK is its transaction's
    const NvHandle<NvSipResponse> kept = m_hInResponse;
    m_hInResponse = response;
    updateRemoteTargetURI(response);
    createSendAckMsg(response);
    m_hInResponse = kept;
}
