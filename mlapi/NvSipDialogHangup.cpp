// NvSipDialog: ending the dialog from our side (hangup), and the fate of
// our BYE (its final response, an authentication retry, its time-out).

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
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (sIsEnding(m_State)) return;
    if (m_bCaller) {
        if (sIsEarly(m_State)) {
            cancelQuietly(NvHandle<NvSipClientTransaction>(m_hInitialTransaction));
            if (bye.isNil()) {
                // The INVITE's final response ends the dialog: its 487, or a 2xx
                // that crossed the CANCEL, which is then ACKed and hung up
                // (RFC 3261 15), hence the state.
                changeState(NV_TERMINATING2);
                return;
            }
        } else if (m_State == NV_PROCESSING && !m_hInResponse.isNil()) {
            NvHandle<NvSipAckMessage> ack;
            createSendAckMsg(m_hInResponse, ack);
            m_hInResponse = nullptr;
        }
    } else if (sIsEarly(m_State)) {
        sendAndLogResponse(NvHandle<NvSipServerTransaction>(m_hInitialTransaction), 487, Tellar::INFO);
        if (bye.isNil()) {
            changeState(NV_TERMINATING2);  // the ACK of the 487 or its time-out ends the dialog
            return;
        }
    } else if (m_State == NV_PROCESSING) {
        NvException::sThrow("Cannot send BYE in SUCCEEDED state !");
    }
    if (!m_TheirReinvite.transaction().isNil()) {
        sendAndLogResponse(m_TheirReinvite.transaction(), 487, Tellar::INFO);
        m_TheirReinvite.forget();
    }
    cancelQuietly(m_OurReinvite.transaction());
    m_OurReinvite.forget();
    if (bye.isNil()) bye = NvHandle<NvSipByeMessage>(CreateRequest(NvSipByeMessage::sMethodName, nullptr, nullptr, 0, nullptr));
    changeState(NV_TERMINATING);
    sendBye(bye);
}

void NvSipDialog::sendBye(const NvHandle<NvSipRequest>& bye) {
    NvHandle<NvSipClientTransaction> transaction = new NvSipClientTransaction(
        bye, Tellar::NoSizeMemAllocator::create<ByeClientInterface>("ByeClientInterface", NvHandle<NvSipDialog>(this)));
    m_hByeTransaction = transaction;
    sendAndLogRequest(transaction, Tellar::INFO);
}

void NvSipDialog::onByeFinalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response) {
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (m_State != NV_TERMINATING) return;
        NvHandle<NvSipRequest> bye = transaction->getInitialRequest();
        if (table().addCredentials(response, bye)) {
            sendBye(nextAttempt(bye, true));
            return;
        }
        terminating();
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
