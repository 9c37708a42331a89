#include "mlapi/dialog/NvSipUnansweredRequests.h"

#include <algorithm>

unsigned int NvSipUnansweredRequests::sm_AnswerDelayMs = 10000;

void NvSipUnansweredRequests::keep(const NvSipTimerOwner& timers,
                                   const NvHandle<NvSipServerTransaction>& transaction) {
    prune(timers);
    m_Kept.push_back({transaction, timers.scheduler.schedule(sm_AnswerDelayMs, &timers.observer, transaction.get())});
}

bool NvSipUnansweredRequests::takeOverdue(const NvHandle<NvSipServerTransaction>& transaction) {
    const auto kept = std::find_if(m_Kept.begin(), m_Kept.end(),
                                   [&](const Kept& one) { return one.transaction.get() == transaction.get(); });
    if (kept == m_Kept.end()) return false;
    m_Kept.erase(kept);
    return transaction->canSendFinalResponse();
}

std::vector<NvHandle<NvSipServerTransaction>> NvSipUnansweredRequests::takeAll(const NvSipTimerOwner& timers) {
    std::vector<NvHandle<NvSipServerTransaction>> unanswered;
    for (const Kept& kept : m_Kept) {
        timers.scheduler.cancel(&timers.observer, kept.timerKey);
        if (kept.transaction->canSendFinalResponse()) unanswered.push_back(kept.transaction);
    }
    m_Kept.clear();
    return unanswered;
}

void NvSipUnansweredRequests::prune(const NvSipTimerOwner& timers) {
    const auto answered = std::remove_if(m_Kept.begin(), m_Kept.end(), [&](const Kept& kept) {
        if (kept.transaction->canSendFinalResponse()) return false;
        timers.scheduler.cancel(&timers.observer, kept.timerKey);
        return true;
    });
    m_Kept.erase(answered, m_Kept.end());
}
