#pragma once
// NvSipUnansweredRequests: the peer's requests that a dialog handed to its
// call for the application to answer (INFO, NOTIFY, REFER, OPTIONS, other
// methods, the peer's re-INVITE), kept until they are answered, so that
// none is left unanswered:
//   - one the application has not answered sm_AnswerDelayMs after it
//     arrived is answered by the library (the dialog sends
//     NvSipCapabilities' default answer: 200 to OPTIONS, 501 to a method we
//     do not implement, 500 to the rest; the peer's re-INVITE then ends as
//     any refused one, and the dialog is free for the next);
//   - those still unanswered when the dialog ends get 487 (RFC 3261
//     15.1.2).
// 10 s leaves an application that relays the request elsewhere (a B2BUA)
// time to answer, and is well inside the peer's 32 s transaction time-out
// (RFC 3261 17.1.2.2 timer F; 17.1.1.2 timer B).
//
// Owner: its dialog, as a member. It runs under the dialog's mutex and has
// no lock of its own. Each request kept has one timer, scheduled where the
// NvSipTimerOwner given says with the transaction as object; the dialog
// hands its firing back to takeOverdue(). Answered requests are dropped,
// with their timers, whenever one is kept, so the list holds only the
// outstanding few.

#include "mlapi/dialog/NvSipTimerOwner.h"
#include "stack/transaction/NvSipServerTransaction.h"

#include <vector>

class NvSipUnansweredRequests {
public:
    static unsigned int sm_AnswerDelayMs;  // 10000

    NvSipUnansweredRequests() = default;
    NvSipUnansweredRequests(const NvSipUnansweredRequests&) = delete;
    NvSipUnansweredRequests& operator=(const NvSipUnansweredRequests&) = delete;

    // Keeps `transaction` and schedules its deadline.
    void keep(const NvSipTimerOwner& timers, const NvHandle<NvSipServerTransaction>& transaction);
    // The deadline of `transaction` came: whether it is kept and still
    // unanswered. It is no longer kept either way.
    bool takeOverdue(const NvHandle<NvSipServerTransaction>& transaction);
    // The kept requests still unanswered, their timers cancelled; none is
    // kept any more.
    std::vector<NvHandle<NvSipServerTransaction>> takeAll(const NvSipTimerOwner& timers);

private:
    struct Kept {
        NvHandle<NvSipServerTransaction> transaction;
        double timerKey;
    };
    // Drops the answered ones, with their timers.
    void prune(const NvSipTimerOwner& timers);
    std::vector<Kept> m_Kept;
};
