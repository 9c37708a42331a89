// NvSipDialog: the session timer's operations (RFC 4028). The interval, its
// points and timers and the negotiation rules are NvSipSessionTimer's; here
// the dialog locks, reports refresh and expiry to its call, and sends an
// INVITE or re-INVITE again after a 422.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "stack/log/Tellar.h"

#include <mutex>

namespace {

void debugLine(const char* line) {
    NvErrorStream& debug = NvErrorStream::sGetDefault();
    if (debug.getLevel() > 4) debug << line << "\n";
}

}  // namespace

void NvSipDialog::resetTimer(unsigned int interval) {
    m_SessionTimer.restart(interval);
}

double NvSipDialog::getTimeLeft() const {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    return m_SessionTimer.timeLeft();
}

double NvSipDialog::getElapsedTime() const {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    return m_SessionTimer.elapsed();
}

void NvSipDialog::cancelSessionTimer() {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    m_SessionTimer.stop(timers());
}

void NvSipDialog::modifyResponse(NvHandle<NvSipResponse> response, NvHandle<NvSipInviteMessage> invite) {
    m_SessionTimer.answer(timers(), response, invite);
}

void NvSipDialog::handleSessionTime(NvHandle<NvSipResponse> response,
                                    NvHandle<NvSipSessionExpiresHeader> sessionExpires) {
    m_SessionTimer.take(timers(), response, sessionExpires);
}

void NvSipDialog::sessionTimerFired(double key) {
    NvHandle<NvSipCall> call;
    NvSipSessionTimer::Point point;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        point = m_SessionTimer.pointOf(key);
        if (point == NvSipSessionTimer::Point::Stale) return;  // a timer of an earlier interval
        debugLine(point == NvSipSessionTimer::Point::Refresh ? "Time to refresh session ... "
                                                             : "Session will timout soon, You should send BYE now ...");
        call = m_hCall;
    }
    if (point == NvSipSessionTimer::Point::Refresh)
        call->onSessionRefreshTime(this);
    else
        call->onSessionTimeOut(this);
}

// ---------------------------------------------------------------- 422

void NvSipDialog::resetSessionTime(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response) {
    if (transaction.isNil() || !m_bCaller) return;
    const uint32_t interval = response->getHeader<NvSipMinSEHeader>()->getNumber();
    sendOnNewDialog(NvHandle<NvSipInviteMessage>(
        NvSipSessionTimer::sRetry(transaction->getInitialRequest(), interval, ++m_LocalCSeq)));
}

void NvSipDialog::resetSessionTime(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response,
                                   bool reinvite) {
    if (!reinvite) {
        resetSessionTime(transaction, response);
        return;
    }
    sendReinvite(NvHandle<NvSipInviteMessage>(
        retryWithInterval(transaction, response->getHeader<NvSipMinSEHeader>()->getNumber())));
}

NvHandle<NvSipRequest> NvSipDialog::retryWithInterval(const NvHandle<NvSipClientTransaction>& transaction,
                                                      uint32_t interval) {
    m_SessionTimer.setInterval(interval);
    const NvHandle<NvSipRequest> retry =
        NvSipSessionTimer::sRetry(transaction->getInitialRequest(), interval, ++m_LocalCSeq);
    addRouteInfoToRequest(retry);
    return retry;
}
