#pragma once
// NvSipOutgoingReinvite: our re-INVITE in a confirmed dialog (RFC 3261
// 14.1): the pending attempt's client transaction, and the timer of the new
// attempt after a 491. The dialog keeps a second one for our UPDATE, which
// waits after a 491 by the same rules (RFC 3311 5.1).
//
// Owner: its dialog, as a member. It runs under the dialog's mutex and has
// no lock of its own. The dialog builds each attempt (CSeq, route set,
// session-timer headers) and moves its own state; this part sends the
// attempt on a transaction reporting to the adapter it is given, says
// whether a transaction is the pending attempt's, and schedules the retry
// after a 491: its timer goes where the NvSipTimerOwner given says and
// notifies the dialog with the INVITE to send again as object.

#include "stack/sip/NvSipMessage.h"
#include "mlapi/dialog/NvSipTimerOwner.h"
#include "stack/transaction/NvSipClientTransaction.h"

#include <cstdint>

class NvSipOutgoingReinvite {
public:
    NvSipOutgoingReinvite() = default;
    NvSipOutgoingReinvite(const NvSipOutgoingReinvite&) = delete;
    NvSipOutgoingReinvite& operator=(const NvSipOutgoingReinvite&) = delete;

    // Sends `invite` on a new client transaction reporting to `adapter`, kept
    // as the pending attempt. When sending raises, nothing is left pending
    // and the exception passes on.
    void send(const NvHandle<NvSipRequest>& invite, NvSipClientTransactionInterface* adapter);
    // Whether `transaction` is the pending attempt's.
    bool isPending(const NvHandle<NvSipClientTransaction>& transaction) const {
        return !transaction.isNil() && transaction.get() == m_hTransaction.get();
    }
    const NvHandle<NvSipClientTransaction>& transaction() const { return m_hTransaction; }
    // The attempt is over (answered, cancelled, or the dialog ends).
    void forget() { m_hTransaction = nullptr; }
    // A rebuilt dialog's pending attempt.
    void restore(const NvHandle<NvSipClientTransaction>& transaction) { m_hTransaction = transaction; }

    // After a 491: notifies the owner with `invite` once the wait of our side
    // is over (see sRetryDelayMs).
    static void sRetryLater(const NvSipTimerOwner& timers, const NvHandle<NvSipRequest>& invite, bool ownsCallId);
    // The wait before a new attempt after 491 (RFC 3261 14.1), in 10 ms
    // steps: 2.1-3.99 s for the side that owns the Call-ID (placed the
    // call), 0-1.99 s for the other.
    static unsigned int sRetryDelayMs(bool ownsCallId);
    // The Min-SE of a 422 that a new attempt can take (at least the
    // smallest interval we accept); 0 when there is none.
    static uint32_t sUsableMinSE(const NvHandle<NvSipResponse>& response);

private:
    NvHandle<NvSipClientTransaction> m_hTransaction;
};
