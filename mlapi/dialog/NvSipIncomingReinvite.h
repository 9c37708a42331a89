#pragma once
// NvSipIncomingReinvite: the peer's re-INVITE in a confirmed dialog (RFC
// 3261 14.2): whether a new one is taken or refused, and the transaction of
// the one taken until it is answered and acknowledged or cancelled. Every
// re-INVITE the dialog does not take gets an answer: also one that arrives
// before the dialog is confirmed (an early dialog, or a 2xx not yet ACKed),
// which meets an INVITE still in progress in one direction or the other.
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
        Glare,       // 491: an INVITE of ours (re-INVITE, or the initial one not yet ACKed) is pending (RFC 3261 14.2)
        Busy,        // 500 with Retry-After: an INVITE of the peer's (re-INVITE, or the initial one not yet ACKed)
                     // is not completed (RFC 3261 14.2)
        TooSmall,    // 422 with Min-SE: Session-Expires below our minimum (RFC 4028)
        Ended,       // 481: the dialog is ending (we sent or took a BYE, or it ended)
    };
    struct Dialog {
        uint32_t remoteCSeq;
        bool oursPending;    // our re-INVITE awaits its final response
        bool theirsPending;  // the peer's previous re-INVITE is still unanswered
        bool confirmed;      // NV_ACTIVE
        bool ending;         // NV_TERMINATING, NV_TERMINATING2 or NV_TERMINATED
        bool caller;         // we sent the INVITE that made the dialog
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
