// NvSipDialog: an INVITE with Replaces naming this dialog (RFC 3891). The
// events arrive through ReplacesinviteServerInterface, bound to the dialog
// being replaced; the call makes the new dialog and asks the application,
// unless RFC 3891 3 refuses the INVITE here (see NvSipDialog.h).

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"

#include <mutex>

void NvSipDialog::onReplacesinviteRequest(NvHandle<NvSipServerTransaction> transaction,
                                          NvHandle<NvSipInviteMessage> invite) {
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        const NvHandle<NvSipReplacesHeader> replaces = invite->getHeader<NvSipReplacesHeader>();
        unsigned int refusal = 0;
        if (sIsEnding(m_State))
            refusal = 603;  // the dialog has ended, or is ending
        else if (sIsEarly(m_State) && !m_bCaller)
            refusal = 481;  // an early dialog we did not start
        else if (!sIsEarly(m_State) && !replaces.isNil() && replaces->isEarlyOnly())
            refusal = 486;  // only an early dialog may be replaced, and this one is confirmed
        if (refusal) {
            sendAndLogResponse(transaction, refusal, Tellar::INFO);
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
