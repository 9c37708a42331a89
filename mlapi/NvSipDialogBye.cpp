// NvSipDialog: the end of a dialog by BYE (RFC 3261 15): the peer's BYE
// and our answer to it.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "stack/log/Tellar.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <mutex>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

void NvSipDialog::onByeRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipByeMessage> bye) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onByeRequest");
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (sIsEnding(m_State)) {
            // Crossing our own BYE, after a hang-up before the answer, or
            // reaching a dialog that has just ended.
            sendAndLogResponse(transaction, 200u, Tellar::INFO);
            return;
        }
        if (m_State == NV_PROCESSING && !m_hAck.isNil()) {
            // The peer may not have our ACK of its 2xx yet.
            NvSipTransportLayer::send(m_hAck, nullptr, nullptr);
            logCallMessage(m_hAck, false, nullptr, nullptr, Tellar::INFO);
        } else if (m_State == NV_PROCESSING && !m_hInResponse.isNil() && m_hInResponse->getStatusCode() >= 200) {
            NvHandle<NvSipAckMessage> ack;  // the peer's 2xx, not acknowledged yet by the application
            createSendAckMsg(m_hInResponse, ack);
            m_hInResponse = nullptr;
        }
        settlePending();
        changeState(NV_TERMINATING);
        m_hByeTransaction = transaction;
        call = m_hCall;
    }
    call->onByeRequest(this, bye);
}

void NvSipDialog::respondToBye(NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::respondToBye");
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (m_hByeTransaction.isNil()) NvException::sThrow("BYE transaction does not exist !!!");
        NvHandle<NvSipServerTransaction> transaction(m_hByeTransaction);
        if (transaction.isNil()) return;  // the BYE was ours
        if (response.isNil()) response = new NvSipResponse(200, transaction->getInitialRequest());
        NvHandle<NvSipToHeader> to = response->getToHeader();
        const NvString& localTag = m_hCall->getLocalTag();
        if (!to.isNil() && to->getTag().isEmpty() && !localTag.isEmpty()) to->setTag(localTag.view());
        sendAndLogResponse(transaction, response, Tellar::INFO);
        if (response->getStatusCode() < 200) return;
        terminating();
        call = m_hCall;
    }
    call->removeDialog(this);
}
