#include "mlapi/dialog/NvSipOutgoingReinvite.h"

#include "mlapi/NvSipDialog.h"
#include "stack/sip/NvSipHeaders.h"

#include <cstdlib>

void NvSipOutgoingReinvite::send(const NvHandle<NvSipRequest>& invite, NvSipClientTransactionInterface* adapter) {
    m_hTransaction = new NvSipClientTransaction(invite, adapter);
    try {
        m_hTransaction->sendRequest(nullptr, nullptr);
    } catch (...) {
        m_hTransaction = nullptr;
        throw;
    }
}

void NvSipOutgoingReinvite::sRetryLater(const NvSipTimerOwner& timers, const NvHandle<NvSipRequest>& invite,
                                        bool ownsCallId) {
    timers.scheduler.schedule(sRetryDelayMs(ownsCallId), &timers.observer, invite.get());
}

unsigned int NvSipOutgoingReinvite::sRetryDelayMs(bool ownsCallId) {
    const auto step = static_cast<unsigned int>(std::rand());
    return ownsCallId ? 2100u + 10u * (step % 190u) : 10u * (step % 200u);
}

uint32_t NvSipOutgoingReinvite::sUsableMinSE(const NvHandle<NvSipResponse>& response) {
    if (response->getStatusCode() != 422) return 0;
    const NvHandle<NvSipMinSEHeader> minSE = response->getHeader<NvSipMinSEHeader>();
    if (minSE.isNil() || minSE->getNumber() < NvSipDialog::sm_MinSessionTime) return 0;
    return minSE->getNumber();
}
