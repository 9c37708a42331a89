// NvSipDialog: the session timer (RFC 4028): the interval, its refresh point
// at half of it (timed only when we refresh) and its expiry point 10 s
// before its end, what the call hears when they come, and the 422 that makes
// our re-INVITE go again with a larger interval. The negotiation in our
// INVITE's 2xx is in NvSipDialogInviteClient.cpp, in our answers in
// NvSipDialogInviteServer.cpp (modifyResponse).
//
// A restart cancels the timers of the interval before; each timer is known
// by its key, so one that fires all the same (taken by the scheduler's
// thread as it was being cancelled) finds its key no longer
// m_SessionRefreshTime or m_SessionExpiryTime and does nothing.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "stack/log/Tellar.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/timer/NvTime.h"

#include <algorithm>
#include <limits>
#include <mutex>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

namespace {

void debugLine(const char* line) {
    NvErrorStream& debug = NvErrorStream::sGetDefault();
    if (debug.getLevel() > 4) debug << line << "\n";
}

// Schedules a notification of `dialog` without object `ms` milliseconds ahead.
double scheduleIn(uint64_t ms, NvSipDialog* dialog) {
    const auto delay = static_cast<unsigned int>(std::min<uint64_t>(ms, std::numeric_limits<unsigned int>::max()));
    return NvMonitorThread::sGetCurrent()->getScheduler().schedule(delay, dialog, nullptr);
}

}  // namespace

void NvSipDialog::resetTimer(unsigned int interval) {
    m_SessionInterval = interval;
    const double now = NvTime::sGetCurrentTime();
    m_SessionStartTime = now;
    m_SessionExpiryTime = now + (static_cast<double>(interval) - 10.0) * 1000000.0;
    m_SessionRefreshTime = now + static_cast<double>(interval) * 500000.0;
}

double NvSipDialog::getTimeLeft() const {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    return (m_SessionExpiryTime - NvTime::sGetCurrentTime()) / 1000000.0;
}

double NvSipDialog::getElapsedTime() const {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    return (NvTime::sGetCurrentTime() - m_SessionStartTime) / 1000000.0;
}

void NvSipDialog::startSessionTimer(unsigned int interval, bool weRefresh) {
    stopSessionTimer();
    resetTimer(interval);
    const uint64_t ms = static_cast<uint64_t>(interval) * 1000;
    if (weRefresh) m_SessionRefreshTime = scheduleIn(ms / 2, this);
    m_SessionExpiryTime = scheduleIn(ms > 10000 ? ms - 10000 : 0, this);
}

void NvSipDialog::stopSessionTimer() {
    if (m_SessionInterval == 0) return;
    m_SessionInterval = 0;
    NvScheduler& scheduler = NvMonitorThread::sGetCurrent()->getScheduler();
    scheduler.cancel(this, m_SessionRefreshTime);
    scheduler.cancel(this, m_SessionExpiryTime);
}

void NvSipDialog::sessionTimerFired(double key) {
    bool refresh = false;
    NvHandle<NvSipCall> call;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        if (m_SessionInterval == 0) return;
        if (key == m_SessionRefreshTime) {
            refresh = true;
            debugLine("Time to refresh session ... ");
        } else if (key == m_SessionExpiryTime) {
            debugLine("Session will timout soon, You should send BYE now ...");
        } else {
            return;  // a timer of an earlier interval
        }
        call = m_hCall;
    }
    if (refresh)
        call->onSessionRefreshTime(this);
    else
        call->onSessionTimeOut(this);
}

// ---------------------------------------------------------------- 422

NvHandle<NvSipInviteMessage> NvSipDialog::sessionRetry(const NvHandle<NvSipRequest>& request, uint32_t interval) {
    NvHandle<NvSipInviteMessage> retry(static_cast<NvSipInviteMessage*>(request->clone()));
    retry->getCSeqHeader()->setNumber(++m_LocalCSeq);
    retry->removeHeader(NvSipHeaderID::Via);
    retry->removeHeader(NvSipHeaderID::SessionExpires);
    retry->addHeader(new NvSipSessionExpiresHeader(interval));
    // RFC 4028 7.4: the retry carries the Min-SE it was given.
    retry->removeHeader(NvSipHeaderID::MinSE);
    retry->addHeader(new NvSipMinSEHeader(interval));
    return retry;
}

void NvSipDialog::resetSessionTime(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response,
                                   bool reinvite) {
    if (!reinvite) {
        resetSessionTime(transaction, response);
        return;
    }
    m_SessionInterval = response->getHeader<NvSipMinSEHeader>()->getNumber();
    const NvHandle<NvSipInviteMessage> retry = sessionRetry(transaction->getInitialRequest(), m_SessionInterval);
    addRouteInfoToRequest(retry);
    sendReinvite(retry);
}
