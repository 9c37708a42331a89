#include "mlapi/dialog/NvSipIncomingReinvite.h"

#include "mlapi/dialog/NvSipSessionTimer.h"
#include "stack/sip/NvSipHeaders.h"

#include <cstdlib>

NvSipIncomingReinvite::Admission NvSipIncomingReinvite::sAdmit(const NvHandle<NvSipInviteMessage>& invite,
                                                               const Dialog& dialog) {
    if (invite->getCSeqHeader()->getNumber() < dialog.remoteCSeq) return Admission::OutOfOrder;
    if (dialog.oursPending) return Admission::Glare;
    if (dialog.theirsPending) return Admission::Busy;
    if (!dialog.confirmed) return Admission::Ignore;
    if (!NvSipSessionTimer::sTooSmall(NvHandle<NvSipRequest>(invite)).isNil()) return Admission::TooSmall;
    return Admission::Take;
}

NvHandle<NvSipResponse> NvSipIncomingReinvite::sBusy(const NvHandle<NvSipRequest>& request) {
    NvHandle<NvSipResponse> busy = new NvSipResponse(500, request);
    busy->addHeader(new NvSipRetryAfterHeader(static_cast<uint32_t>(std::rand() % 10)));
    return busy;
}
