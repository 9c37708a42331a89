#include "mlapi/NvSipIncomingCallinterface.h"

#include "mlapi/NvSipCapabilities.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipIncomingCall.h"

NvSipIncomingCallinterface::~NvSipIncomingCallinterface() = default;

void NvSipIncomingCallinterface::prack(Call, NvHandle<NvSipPrackMessage>) {}
void NvSipIncomingCallinterface::callConfirmed(Call, NvHandle<NvSipAckMessage>) {}
void NvSipIncomingCallinterface::terminated(Call call, NvHandle<NvSipMessage> message) {
    NvHandle<NvSipByeMessage> bye(message);
    if (!bye.isNil()) call->respondToBye(new NvSipResponse(200, bye));
}
void NvSipIncomingCallinterface::unknownRequest(Call, NvHandle<NvSipServerTransaction> transaction,
                                                NvHandle<NvSipRequest>) {
    transaction->trySendResponse(NvSipCapabilities::sAnswerUnhandled(*transaction));
}
void NvSipIncomingCallinterface::referRequest(Call, NvHandle<NvSipServerTransaction>, NvHandle<NvSipReferMessage>) {}
void NvSipIncomingCallinterface::referResponse(Call, NvHandle<NvSipResponse>) {}
void NvSipIncomingCallinterface::notifyRequest(Call, NvHandle<NvSipServerTransaction>, NvHandle<NvSipNotifyMessage>) {}
void NvSipIncomingCallinterface::notifyResponse(Call, NvHandle<NvSipResponse>) {}
void NvSipIncomingCallinterface::reinviteRequest(Call, NvHandle<NvSipInviteMessage>) {}
void NvSipIncomingCallinterface::reinviteCancel(Call, NvHandle<NvSipRequest>) {}
void NvSipIncomingCallinterface::reinviteResponse(Call call, NvHandle<NvSipResponse> response) {
    const int status = response->getStatusCode();
    if (status >= 200) {
        call->ackReinvite(new NvSipAckMessage(response));
        return;
    }
    if (status < 100 || response->getHeader<NvSipRSeqHeader>().isNil()) return;
    const NvHandle<NvSipDialog> dialog = call->getDialog();
    if (!dialog.isNil()) dialog->prack(nullptr);
}
void NvSipIncomingCallinterface::reinviteAck(Call, NvHandle<NvSipAckMessage>) {}
void NvSipIncomingCallinterface::reinviteTimeOut(Call, NvHandle<NvSipInviteMessage>) {}
void NvSipIncomingCallinterface::onSessionTimeOut(Call) {}
void NvSipIncomingCallinterface::onSessionRefreshTime(Call) {}
void NvSipIncomingCallinterface::replacesDialog(Call call, NvHandle<NvSipDialog> newDialog,
                                                NvHandle<NvSipDialog> replaced, NvHandle<NvSipInviteMessage>) {
    call->acceptReplaces();
    newDialog->sendResponse(NvHandle<NvSipResponse>());
    replaced->hangup(nullptr);
}
void NvSipIncomingCallinterface::updateRequest(Call call, NvHandle<NvSipUpdateMessage> update) {
    call->respondToUpdate(update->getBody().empty() ? 200 : 488, nullptr, nullptr, 0);
}
void NvSipIncomingCallinterface::updateResponse(Call, NvHandle<NvSipResponse>) {}
