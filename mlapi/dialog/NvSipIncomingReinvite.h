#pragma once
// NvSipIncomingReinvite: the peer's re-INVITE in a confirmed dialog (RFC
// 3261 14.2): whether a new one is taken or refused, and the transaction of
// the one taken until it is answered and acknowledged or cancelled.
//
// Owner: its dialog, as a member. It runs under the dialog's mutex and has
// no lock of its own. The dialog gives admit() what it knows (the last CSeq
// of the peer, whether a re-INVITE is pending on either side, whether the
// dialog is confirmed), sends the refusal admit() calls for, or takes the
// re-INVITE (take()), moves its own state and tells its call. The dialog
// keeps a second one for the peer's UPDATE taken (RFC 3311 5.2), whose
// refusal while another is unanswered is the same 500 (sBusy).

#include "stack/sip/NvSipMessage.h"
#include "stack/transaction/NvSipServerTransaction.h"

#include <cstdint>

class NvSipIncomingReinvite {
public:
    // What a new re-INVITE of the peer gets.
    enum class Admission {
        Take,        // the dialog takes it
        OutOfOrder,  // 500: its CSeq is below the peer's last (RFC 3261 12.2.2)
        Glare,       // 491: our own re-INVITE is pending (RFC 3261 14.2)
        Busy,        // 500 with Retry-After: the peer's previous one is unanswered
        TooSmall,    // 422 with Min-SE: Session-Expires below our minimum (RFC 4028)
        Ignore,      // the dialog is not confirmed: no answer
    };
    struct Dialog {
        uint32_t remoteCSeq;
        bool oursPending;    // our re-INVITE awaits its final response
        bool theirsPending;  // the peer's previous re-INVITE is still unanswered
        bool confirmed;      // NV_ACTIVE
    };

    NvSipIncomingReinvite() = default;
    NvSipIncomingReinvite(const NvSipIncomingReinvite&) = delete;
    NvSipIncomingReinvite& operator=(const NvSipIncomingReinvite&) = delete;

    // The checks in the order RFC 3261 and 4028 give them precedence.
    static Admission sAdmit(const NvHandle<NvSipInviteMessage>& invite, const Dialog& dialog);
    // The 500 with a Retry-After of 0-9 s for Busy.
    static NvHandle<NvSipResponse> sBusy(const NvHandle<NvSipRequest>& request);

    void take(const NvHandle<NvSipServerTransaction>& transaction) { m_hTransaction = transaction; }
    const NvHandle<NvSipServerTransaction>& transaction() const { return m_hTransaction; }
    bool isPending(const NvHandle<NvSipServerTransaction>& transaction) const {
        return transaction.get() == m_hTransaction.get();
    }
    // Answered and acknowledged, cancelled, or the dialog ends.
    void forget() { m_hTransaction = nullptr; }

private:
    NvHandle<NvSipServerTransaction> m_hTransaction;
};
