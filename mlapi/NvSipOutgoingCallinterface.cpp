#include "mlapi/NvSipOutgoingCallinterface.h"

#include "mlapi/NvSipCapabilities.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipOutgoingCall.h"

NvSipOutgoingCallinterface::~NvSipOutgoingCallinterface() = default;

void NvSipOutgoingCallinterface::reliableProvisionalResponse(Call, Dialog, NvHandle<NvSipResponse>) {}
void NvSipOutgoingCallinterface::provisionalResponse(Call, Dialog, NvHandle<NvSipResponse>) {}
void NvSipOutgoingCallinterface::failedToConnect(Call, Dialog, NvHandle<NvSipResponse>) {}
void NvSipOutgoingCallinterface::redirect(Call, Dialog, NvHandle<NvSipResponse>) {}
void NvSipOutgoingCallinterface::succeeded(Call, Dialog, NvHandle<NvSipResponse>) {}
void NvSipOutgoingCallinterface::dialogTerminated(Call, Dialog dialog, NvHandle<NvSipMessage> message) {
    NvHandle<NvSipByeMessage> bye(message);
    if (!bye.isNil() && bye->isReceived()) dialog->respondToBye(new NvSipResponse(200, bye));
}
void NvSipOutgoingCallinterface::terminated(Call, NvHandle<NvSipMessage>) {}
void NvSipOutgoingCallinterface::unknownRequest(Call, Dialog, NvHandle<NvSipServerTransaction> transaction,
                                                NvHandle<NvSipRequest>) {
    transaction->trySendResponse(NvSipCapabilities::sAnswerUnhandled(*transaction));
}
void NvSipOutgoingCallinterface::referRequest(Call, Dialog, NvHandle<NvSipServerTransaction>,
                                              NvHandle<NvSipReferMessage>) {}
void NvSipOutgoingCallinterface::referResponse(Call, Dialog, NvHandle<NvSipResponse>) {}
void NvSipOutgoingCallinterface::notifyRequest(Call, Dialog, NvHandle<NvSipServerTransaction>,
                                               NvHandle<NvSipNotifyMessage>) {}
void NvSipOutgoingCallinterface::notifyResponse(Call, Dialog, NvHandle<NvSipResponse>) {}
void NvSipOutgoingCallinterface::reinviteRequest(Call, Dialog, NvHandle<NvSipInviteMessage>) {}
void NvSipOutgoingCallinterface::reinviteCancel(Call, Dialog, NvHandle<NvSipRequest>) {}
void NvSipOutgoingCallinterface::reinviteResponse(Call, Dialog dialog, NvHandle<NvSipResponse> response) {
    const int status = response->getStatusCode();
    if (status >= 200)
        dialog->ackReinvite(new NvSipAckMessage(response));
    else if (status >= 100 && !response->getHeader<NvSipRSeqHeader>().isNil())
        dialog->prack(nullptr);
}
void NvSipOutgoingCallinterface::reinviteAck(Call, Dialog, NvHandle<NvSipAckMessage>) {}
void NvSipOutgoingCallinterface::reinviteTimeOut(Call, Dialog, NvHandle<NvSipInviteMessage>) {}
void NvSipOutgoingCallinterface::onSessionTimeOut(Call, Dialog) {}
void NvSipOutgoingCallinterface::onSessionRefreshTime(Call, Dialog) {}
void NvSipOutgoingCallinterface::multipleResponse(Call, Dialog dialog, NvHandle<NvSipResponse> response) {
    dialog->ack(response);
    dialog->hangup(nullptr);
}
void NvSipOutgoingCallinterface::replacesDialog(Call call, Dialog newDialog, Dialog replaced,
                                                NvHandle<NvSipInviteMessage>) {
    call->acceptReplaces();
    newDialog->sendResponse(200, nullptr, nullptr, 0);
    replaced->hangup(nullptr);
}
void NvSipOutgoingCallinterface::prackResponse(Call, Dialog, NvHandle<NvSipResponse>) {}
void NvSipOutgoingCallinterface::updateRequest(Call, Dialog dialog, NvHandle<NvSipUpdateMessage> update) {
    dialog->respondToUpdate(update->getBody().empty() ? 200 : 488, nullptr, nullptr, 0);
}
void NvSipOutgoingCallinterface::updateResponse(Call, Dialog, NvHandle<NvSipResponse>) {}
