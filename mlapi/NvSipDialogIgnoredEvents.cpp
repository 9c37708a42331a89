// NvSipDialog: the events a dialog takes and ignores (see "events ignored"
// in NvSipDialog.h): provisional responses to our BYE and PRACKs on the
// peer's BYE, re-INVITE, other requests and INVITE with Replaces.

#include "mlapi/NvSipDialog.h"

void NvSipDialog::onByeProvisionalResponse(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse>) {}
void NvSipDialog::onByeReliableProvisionalResponse(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse>) {}
void NvSipDialog::onByePrackRequest(NvHandle<NvSipServerTransaction>, NvHandle<NvSipPrackMessage>) {}
void NvSipDialog::onReinvitePrackRequest(NvHandle<NvSipServerTransaction>, NvHandle<NvSipPrackMessage>) {}
void NvSipDialog::onUnknownPrackRequest(NvHandle<NvSipServerTransaction>, NvHandle<NvSipPrackMessage>) {}
void NvSipDialog::onReplacesinvitePrackRequest(NvHandle<NvSipServerTransaction>, NvHandle<NvSipPrackMessage>) {}
