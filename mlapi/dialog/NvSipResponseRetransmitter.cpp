#include "mlapi/dialog/NvSipResponseRetransmitter.h"

#include "stack/base/NvException.h"
#include "stack/sip/NvSipHeaders.h"
#include "stack/timer/NvTime.h"
#include "stack/transaction/NvSipTransactionManager.h"

#include <algorithm>
#include <limits>
#include <utility>

void NvSipResponseRetransmitter::number(const NvHandle<NvSipResponse>& response) {
    NvHandle<NvSipRSeqHeader> rseq = response->getHeader<NvSipRSeqHeader>();
    if (rseq.isNil()) {
        response->addHeader(new NvSipRSeqHeader(++m_RSeq));
        return;
    }
    if (rseq->getNumber() < m_RSeq) NvException::sThrow("RSeq Num is out of order");
    m_RSeq = rseq->getNumber();
}

void NvSipResponseRetransmitter::start(const NvSipTimerOwner& timers, const NvHandle<NvSipResponse>& response) {
    stop(timers);
    const unsigned int t1 = NvSipTransactionManager::m_T1;
    m_hResponse = response;
    if (response->getStatusCode() < 200) m_hUnacknowledged = response;
    m_Count = 0;
    m_Deadline = NvTime::sGetCurrentTime() + 64.0 * t1 * 1000.0;
    m_TickKey = timers.scheduler.schedule(t1, &timers.observer, response.get());
}

void NvSipResponseRetransmitter::stop(const NvSipTimerOwner& timers) {
    if (m_TickKey != 0) timers.scheduler.cancel(&timers.observer, m_TickKey);
    m_TickKey = 0;
    m_hResponse = nullptr;
}

NvHandle<NvSipResponse> NvSipResponseRetransmitter::takePrack(const NvHandle<NvSipPrackMessage>& prack) {
    const NvHandle<NvSipRAckHeader> rack = prack->getHeader<NvSipRAckHeader>();
    const NvHandle<NvSipRSeqHeader> rseq =
        m_hUnacknowledged.isNil() ? nullptr : m_hUnacknowledged->getHeader<NvSipRSeqHeader>();
    if (rack.isNil() || rseq.isNil() || rack->getRSeq() != rseq->getNumber()) return nullptr;
    return std::exchange(m_hUnacknowledged, nullptr);
}

NvSipResponseRetransmitter::Tick NvSipResponseRetransmitter::tick() {
    m_TickKey = 0;
    return NvTime::sGetCurrentTime() < m_Deadline ? Tick::SendAgain : Tick::GiveUp;
}

void NvSipResponseRetransmitter::scheduleNext(const NvSipTimerOwner& timers, bool capAtT2) {
    ++m_Count;
    const uint64_t t1 = NvSipTransactionManager::m_T1;
    uint64_t delay = t1 << std::min<unsigned>(m_Count, 32);
    if (capAtT2) delay = std::min<uint64_t>(delay, NvSipTransactionManager::m_T2);
    const double left = m_Deadline - NvTime::sGetCurrentTime();
    delay = std::min<uint64_t>(delay, static_cast<uint64_t>(std::max(left, 0.0) / 1000.0 + 0.5));
    delay = std::min<uint64_t>(delay, std::numeric_limits<unsigned int>::max());
    m_TickKey = timers.scheduler.schedule(static_cast<unsigned int>(delay), &timers.observer, m_hResponse.get());
}

void NvSipResponseRetransmitter::restore(const NvHandle<NvSipResponse>& response, uint8_t count, uint32_t rseq) {
    m_hResponse = response;
    if (!response.isNil() && response->getStatusCode() < 200) m_hUnacknowledged = response;
    m_Count = count;
    m_RSeq = rseq;
}
