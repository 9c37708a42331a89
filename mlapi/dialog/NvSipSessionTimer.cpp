#include "mlapi/dialog/NvSipSessionTimer.h"

#include "mlapi/NvSipDialog.h"
#include "stack/base/NvErrorStream.h"
#include "stack/timer/NvTime.h"

#include <algorithm>
#include <limits>

NvSipSessionTimer::NvSipSessionTimer(const NvSipSessionTimer& other)
    : m_Interval(other.m_Interval),
      m_ExpiryTime(other.m_ExpiryTime),
      m_RefreshTime(other.m_RefreshTime) {}

double NvSipSessionTimer::timeLeft() const {
    return (m_ExpiryTime - NvTime::sGetCurrentTime()) / 1000000.0;
}

double NvSipSessionTimer::elapsed() const {
    return (NvTime::sGetCurrentTime() - m_StartTime) / 1000000.0;
}

void NvSipSessionTimer::restart(uint32_t interval) {
    m_Interval = interval;
    const double now = NvTime::sGetCurrentTime();
    m_StartTime = now;
    m_ExpiryTime = now + (static_cast<double>(interval) - 10.0) * 1000000.0;
    m_RefreshTime = now + static_cast<double>(interval) * 500000.0;
}

namespace {

// Schedules a notification of the owner without object `ms` milliseconds ahead.
double schedule(const NvSipTimerOwner& timers, uint64_t ms) {
    const auto delay = static_cast<unsigned int>(std::min<uint64_t>(ms, std::numeric_limits<unsigned int>::max()));
    return timers.scheduler.schedule(delay, &timers.observer, nullptr);
}

}  // namespace

void NvSipSessionTimer::start(const NvSipTimerOwner& timers, uint32_t interval, bool weRefresh) {
    stop(timers);
    restart(interval);
    const uint64_t ms = static_cast<uint64_t>(interval) * 1000;
    if (weRefresh) m_RefreshTime = schedule(timers, ms / 2);
    m_ExpiryTime = schedule(timers, ms > 10000 ? ms - 10000 : 0);
}

void NvSipSessionTimer::stop(const NvSipTimerOwner& timers) {
    if (m_Interval == 0) return;
    m_Interval = 0;
    timers.scheduler.cancel(&timers.observer, m_RefreshTime);
    timers.scheduler.cancel(&timers.observer, m_ExpiryTime);
}

NvSipSessionTimer::Point NvSipSessionTimer::pointOf(double key) const {
    if (m_Interval == 0) return Point::Stale;
    if (key == m_RefreshTime) return Point::Refresh;
    if (key == m_ExpiryTime) return Point::Expiry;
    return Point::Stale;
}

// ---------------------------------------------------------------- negotiation

NvHandle<NvSipResponse> NvSipSessionTimer::sTooSmall(const NvHandle<NvSipRequest>& request) {
    NvHandle<NvSipSessionExpiresHeader> asked = request->getHeader<NvSipSessionExpiresHeader>();
    if (asked.isNil() || asked->getNumber() >= NvSipDialog::sm_MinSessionTime) return nullptr;
    NvHandle<NvSipResponse> response = new NvSipResponse(422, request);
    response->addHeader(new NvSipMinSEHeader(NvSipDialog::sm_MinSessionTime));
    return response;
}

void NvSipSessionTimer::answer(const NvSipTimerOwner& timers, const NvHandle<NvSipResponse>& response,
                               const NvHandle<NvSipRequest>& invite) {
    NvHandle<NvSipSessionExpiresHeader> asked = invite->getHeader<NvSipSessionExpiresHeader>();
    const uint32_t requested = asked.isNil() ? 0 : asked->getNumber();
    const NvString askedRefresher = asked.isNil() ? NvString() : asked->getRefresher();
    const bool peerSupportsTimer = invite->isSupported("timer");
    NvHandle<NvSipSessionExpiresHeader> given = response->getHeader<NvSipSessionExpiresHeader>();

    if (given.isNil()) {
        if (!NvSipDialog::sm_bSupportTimer || requested < NvSipDialog::sm_MinSessionTime) {
            stop(timers);
            return;
        }
        // We choose: the peer refreshes when it can and did not ask us to.
        const bool weRefresh = !peerSupportsTimer || askedRefresher == NvSipSessionExpiresHeader::uasRefresher;
        NvHandle<NvSipSessionExpiresHeader> header = new NvSipSessionExpiresHeader(requested);
        header->setRefresher(weRefresh ? NvSipSessionExpiresHeader::uasRefresher
                                       : NvSipSessionExpiresHeader::uacRefresher);
        if (peerSupportsTimer)
            response->addHeader(new NvSipRequireHeader("timer"));
        else
            response->addHeader(new NvSipSupportedHeader("timer"));
        response->addHeader(header);
        start(timers, requested, weRefresh);
        return;
    }

    const uint32_t interval = given->getNumber();
    if (interval < NvSipDialog::sm_MinSessionTime) NvException::sThrow("Session time too small");
    if (requested != 0 && interval > requested) NvException::sThrow("Server can't increase session time");
    if (given->getRefresher().isEmpty()) {
        if (!askedRefresher.isEmpty())
            given->setRefresher(askedRefresher.view());
        else
            given->setRefresher(peerSupportsTimer ? NvSipSessionExpiresHeader::uacRefresher
                                                  : NvSipSessionExpiresHeader::uasRefresher);
    }
    const bool weRefresh = given->getRefresher() != NvSipSessionExpiresHeader::uacRefresher;
    if (!weRefresh || peerSupportsTimer) response->addHeader(new NvSipRequireHeader("timer"));
    start(timers, interval, weRefresh);
}

void NvSipSessionTimer::take(const NvSipTimerOwner& timers, const NvHandle<NvSipResponse>& response,
                             const NvHandle<NvSipSessionExpiresHeader>& sessionExpires) {
    const uint32_t interval = sessionExpires->getNumber();
    const NvString refresher = sessionExpires->getRefresher();
    if (interval < NvSipDialog::sm_MinSessionTime) return;
    NvErrorStream& debug = NvErrorStream::sGetDefault();
    if (debug.getLevel() > 4) debug << refresher << " will do the refresh after " << interval / 2 << " seconds\n";
    const bool weRefresh = refresher == NvSipSessionExpiresHeader::uacRefresher ||
                           (refresher.isEmpty() && response->isRequired("timer"));
    start(timers, interval, weRefresh);
}

void NvSipSessionTimer::offer(const NvHandle<NvSipRequest>& invite) const {
    if (!NvSipDialog::sm_bSupportTimer || m_Interval < NvSipDialog::sm_MinSessionTime) return;
    if (!invite->isSupported("timer")) invite->addHeader(new NvSipSupportedHeader("timer"));
    if (invite->getHeader<NvSipSessionExpiresHeader>().isNil())
        invite->addHeader(new NvSipSessionExpiresHeader(m_Interval));
}

NvHandle<NvSipRequest> NvSipSessionTimer::sRetry(const NvHandle<NvSipRequest>& request, uint32_t interval,
                                                uint32_t cseq) {
    NvHandle<NvSipRequest> retry(static_cast<NvSipRequest*>(request->clone()));
    retry->getCSeqHeader()->setNumber(cseq);
    retry->removeHeader(NvSipHeaderID::Via);
    retry->removeHeader(NvSipHeaderID::SessionExpires);
    retry->addHeader(new NvSipSessionExpiresHeader(interval));
    // RFC 4028 7.4: the retry carries the Min-SE it was given.
    retry->removeHeader(NvSipHeaderID::MinSE);
    retry->addHeader(new NvSipMinSEHeader(interval));
    return retry;
}
