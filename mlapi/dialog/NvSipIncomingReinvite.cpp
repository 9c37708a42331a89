#include "mlapi/dialog/NvSipIncomingReinvite.h"

#include "mlapi/dialog/NvSipSessionTimer.h"
#include "stack/sip/NvSipHeaders.h"

#include <cstdlib>

NvSipIncomingReinvite::Admission NvSipIncomingReinvite::sAdmit(const NvHandle<NvSipInviteMessage>& invite,
                                                               const Dialog& dialog) {
    if (invite->getCSeqHeader()->getNumber() < dialog.remoteCSeq) return Admission::OutOfOrder;
    if (dialog.ending) return Admission::Ended;
    if (dialog.oursPending) return Admission::Glare;
    if (dialog.theirsPending) return Admission::Busy;
    // Before the dialog is confirmed, the INVITE that makes it is still in
    // progress: ours (the peer's re-INVITE glares with it) or the peer's.
    if (!dialog.confirmed) return dialog.caller ? Admission::Glare : Admission::Busy;
    if (!NvSipSessionTimer::sTooSmall(NvHandle<NvSipRequest>(invite)).isNil()) return Admission::TooSmall;
    return Admission::Take;
}

NvHandle<NvSipResponse> NvSipIncomingReinvite::sBusy(const NvHandle<NvSipRequest>& request) {
    NvHandle<NvSipResponse> busy = new NvSipResponse(500, request);
    busy->addHeader(new NvSipRetryAfterHeader(static_cast<uint32_t>(std::rand() % 10)));
    return busy;
}
