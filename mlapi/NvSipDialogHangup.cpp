// NvSipDialog: ending the dialog from our side (hangup, and the ends RFC
// 3261 12.2.1.2 and 13.3.1.4 ask for), and the fate of our BYE (its final
// response, an authentication retry, its time-out).

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipDialogTable.h"
#include "stack/log/Tellar.h"

#include <mutex>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

namespace {

// CANCEL of a pending INVITE or re-INVITE; a transaction that can no longer
// be cancelled does not stop the hang-up.
void cancelQuietly(const NvHandle<NvSipClientTransaction>& transaction) {
    if (transaction.isNil()) return;
    try {
        transaction->cancel();
    } catch (NvHandle<NvException>&) {
    }
}

}  // namespace

void NvSipDialog::hangup(NvHandle<NvSipByeMessage> bye) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::hangup");
    NvHandle<NvSipCall> unsent;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (sIsEnding(m_State) || !m_hByeAfterAck.isNil()) return;
        if (m_bCaller) {
            if (sIsEarly(m_State)) {
                cancelQuietly(NvHandle<NvSipClientTransaction>(m_hInitialTransaction));
                m_bHungUp = true;
                if (bye.isNil()) {
                    // The INVITE's final response ends the dialog: its 487, or a 2xx
                    // that crossed the CANCEL, which is then ACKed and hung up
                    // (RFC 3261 15), hence the state.
                    changeState(NV_TERMINATING2);
                    return;
                }
            } else if (m_State == NV_PROCESSING && !m_hInResponse.isNil()) {
                createSendAckMsg(m_hInResponse);
                m_hInResponse = nullptr;
            }
        } else if (sIsEarly(m_State)) {
            sendAndLogResponse(NvHandle<NvSipServerTransaction>(m_hInitialTransaction), 487, Tellar::INFO);
            if (bye.isNil()) {
                changeState(NV_TERMINATING2);  // the ACK of the 487 or its time-out ends the dialog
                return;
            }
        } else if (m_State == NV_PROCESSING) {
            // RFC 3261 15: the callee's BYE waits for the ACK of its 2xx, or
            // for the 2xx's last retransmission.
            m_hByeAfterAck = bye.isNil() ? NvHandle<NvSipRequest>(byeRequest()) : NvHandle<NvSipRequest>(bye);
            return;
        }
        settlePending();
        if (bye.isNil()) bye = byeRequest();
        changeState(NV_TERMINATING);
        unsent = sendBye(bye);
    }
    if (!unsent.isNil()) unsent->onByeTimeOut(this, bye);
}

NvHandle<NvSipByeMessage> NvSipDialog::byeRequest() {
    return NvHandle<NvSipByeMessage>(CreateRequest(NvSipByeMessage::sMethodName, nullptr, nullptr, 0, nullptr));
}

void NvSipDialog::settlePending() {
    // An INVITE or re-INVITE of the peer still unanswered gets 487 (RFC 3261
    // 15.1.2); one of ours still pending is cancelled.
    const NvHandle<NvSipServerTransaction> theirs = pendingInviteTransaction();
    if (!theirs.isNil() && theirs->canSendFinalResponse()) sendAndLogResponse(theirs, 487u, Tellar::INFO);
    m_TheirReinvite.forget();
    if (m_bCaller && sIsEarly(m_State)) cancelQuietly(NvHandle<NvSipClientTransaction>(m_hInitialTransaction));
    cancelQuietly(m_OurReinvite.transaction());
    m_OurReinvite.forget();
    if (m_State == NV_REINVITE_PROCESSING && !m_hInResponse.isNil()) {
        createSendAckMsg(m_hInResponse);  // the 2xx to our re-INVITE, not ACKed yet by the application
        m_hInResponse = nullptr;
    }
    m_Retransmitter.stop(timers());
    answerKeptRequests(487u);
}

bool NvSipDialog::startBye(const NvHandle<NvSipRequest>& bye) {
    if (bye.isNil()) return false;
    NvHandle<NvSipClientTransaction> transaction = new NvSipClientTransaction(
        bye, Tellar::NoSizeMemAllocator::create<ByeClientInterface>("ByeClientInterface", NvHandle<NvSipDialog>(this)));
    m_hByeTransaction = transaction;
    try {
        sendAndLogRequest(transaction, Tellar::INFO);
        return true;
    } catch (const NvHandle<NvException>& error) {
        TELLAR_WARN(getLogger(), "BYE of dialog " << m_Key.str() << " not sent: " << error->getMessage().str());
        return false;
    }
}

NvHandle<NvSipCall> NvSipDialog::sendBye(const NvHandle<NvSipRequest>& bye) {
    if (startBye(bye)) return nullptr;
    m_CallMessageLogger.log(Tellar::INFO, "SIP BYE not sent");
    terminating();
    return m_hCall;
}

NvHandle<NvSipCall> NvSipDialog::endNow(bool withBye) {
    if (sIsEnding(m_State)) return nullptr;
    settlePending();
    // Sent for a peer that may still hold the dialog; once the dialog has
    // ended here, its answer only reaches the call log.
    if (withBye) startBye(m_hByeAfterAck.isNil() ? NvHandle<NvSipRequest>(byeRequest()) : m_hByeAfterAck);
    terminating();
    return m_hCall;
}

void NvSipDialog::onByeFinalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response) {
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (m_State != NV_TERMINATING) return;
        NvHandle<NvSipRequest> bye = transaction->getInitialRequest();
        if (table().addCredentials(response, bye)) {
            const NvHandle<NvSipCall> unsent = sendBye(nextAttempt(bye, true));
            if (unsent.isNil()) return;
        } else {
            terminating();
        }
        call = m_hCall;
    }
    call->onByeResponse(this, response);
}

void NvSipDialog::onByeTimeOut(NvHandle<NvSipTransaction> transaction) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onByeTimeOut");
    m_CallMessageLogger.log(Tellar::INFO, "SIP BYE timed-out");
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (!(m_State & (NV_TERMINATING | NV_TERMINATING2))) return;
        terminating();
        call = m_hCall;
    }
    call->onByeTimeOut(this, NvHandle<NvSipByeMessage>(transaction->getInitialRequest()));
}
