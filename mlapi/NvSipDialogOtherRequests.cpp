// NvSipDialog: INFO, NOTIFY, REFER and requests of other methods, in both
// directions. The dialog keeps no record of these transactions: ours belong
// to the stack and their adapter, the peer's are handed to the call, which
// answers them.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "stack/log/Tellar.h"

#include <mutex>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

// ---------------------------------------------------------------- ours

void NvSipDialog::sendInDialog(NvHandle<NvSipRequest> request, const char* method) {
    // Numbered and sent in one step: the requests of two threads leave in
    // the order of their CSeq (the stack's send waits for no name server).
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    if (request.isNil()) request = CreateRequest(method, nullptr, nullptr, 0, nullptr);
    if (request.isNil()) return;
    NvHandle<NvSipClientTransaction> transaction = new NvSipClientTransaction(
        request, Tellar::DefaultStaticMemAllocator::create<UnknownRequestClientInterface>(
                     "UnknownRequestClientInterface", NvHandle<NvSipDialog>(this)));
    sendAndLogRequest(transaction, Tellar::INFO);
}

void NvSipDialog::info(NvHandle<NvSipInfoMessage> info) { sendInDialog(info, NvSipInfoMessage::sMethodName); }

void NvSipDialog::notify(NvHandle<NvSipNotifyMessage> notify) {
    sendInDialog(notify, NvSipNotifyMessage::sMethodName);
}

void NvSipDialog::refer(NvHandle<NvSipReferMessage> refer) { sendInDialog(refer, NvSipReferMessage::sMethodName); }

void NvSipDialog::onUnknownProvisionalResponse(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse> response) {
    getCall()->onUnknownResponse(this, response);
}

void NvSipDialog::onUnknownReliableProvisionalResponse(NvHandle<NvSipClientTransaction>,
                                                       NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onUnknownReliableProvisionalResponse");
    getCall()->onUnknownResponse(this, response);
}

void NvSipDialog::onUnknownFinalResponse(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse> response) {
    getCall()->onUnknownResponse(this, response);
    endOnNoDialog(response);
}

void NvSipDialog::endOnNoDialog(const NvHandle<NvSipResponse>& response) {
    const int status = response->getStatusCode();
    if (status != 481 && status != 408) return;
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        call = endNow(status == 408);
    }
    if (!call.isNil()) call->onByeResponse(this, response);
}

void NvSipDialog::onUnknownTimeOut(NvHandle<NvSipTransaction> transaction) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onUnknownTimeOut");
    TELLAR_WARN(getLogger(), "Timed-out waiting for response to SIP request sent while call was connected "
                             "(REFER/INFO/NOTIFY); disconnecting the call as the result.");
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        call = endNow(true);
    }
    if (!call.isNil()) call->onUnknownRequestTimeOut(this, transaction);
}

// ---------------------------------------------------------------- the peer's

void NvSipDialog::onUnknownRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest> request) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::onUnknownRequest");
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (m_State == NV_TERMINATED) {  // routed here just before the dialog left the table
            sendAndLogResponse(transaction, 481u, Tellar::INFO);
            return;
        }
        m_Unanswered.keep(timers(), transaction);
        call = m_hCall;
    }
    call->onUnknownRequest(this, transaction, request);
}
