// NvSipDialog: an INVITE with Replaces naming this dialog (RFC 3891). The
// events arrive through ReplacesinviteServerInterface, bound to the dialog
// being replaced; the call makes the new dialog and asks the application.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"

#include <mutex>

void NvSipDialog::onReplacesinviteRequest(NvHandle<NvSipServerTransaction> transaction,
                                          NvHandle<NvSipInviteMessage> invite) {
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (sIsEnding(m_State)) {
            sendAndLogResponse(transaction, 687, Tellar::INFO);
            return;
        }
        call = m_hCall;
    }
    call->onReplacesInvite(this, invite, transaction);
}

void NvSipDialog::onReplacesinviteAckRequest(NvHandle<NvSipServerTransaction>, NvHandle<NvSipAckMessage> ack) {
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (m_State != NV_REINVITE_PROCESSING) return;
        changeState(NV_ACTIVE);
        m_TheirReinvite.forget();
        call = m_hCall;
    }
    call->onReinviteAck(this, ack);
}

void NvSipDialog::onReplacesinviteCancelRequest(NvHandle<NvSipServerTransaction>,
                                                NvHandle<NvSipCancelMessage> cancel) {
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (!sIsTheirReinvitePending(m_State)) return;
        changeState(NV_ACTIVE);
        call = m_hCall;
    }
    call->onCancelReinviteRequest(this, cancel);
}
