#pragma once
// NvSipSessionTimer: one dialog's session timer (RFC 4028). It owns the
// session interval, the point at which we refresh (half of it), the point
// at which the call is warned that the session is about to expire (10 s
// before its end), the scheduler's timers for both, and the rules that
// negotiate the interval in the 2xx of an INVITE or re-INVITE.
//
// Owner: its dialog, as a member. It runs under the dialog's mutex and has
// no lock of its own. Its timers go where the NvSipTimerOwner given says and
// notify the dialog without object; the dialog asks pointOf() which point a
// timer's key stands for.
// Each timer is known by its key, so a timer of an interval since restarted
// or stopped (one the scheduler's thread took as it was being cancelled)
// reads as Stale and is ignored. It tells the dialog nothing else: the
// dialog reports refresh and expiry to its call.
//
// Settings: NvSipDialog::sm_bSupportTimer and sm_MinSessionTime, read
// where they apply.

#include "stack/sip/NvSipHeaders.h"
#include "stack/sip/NvSipMessage.h"
#include "mlapi/dialog/NvSipTimerOwner.h"

#include <cstdint>

class NvSipSessionTimer {
public:
    enum class Point { Stale, Refresh, Expiry };

    NvSipSessionTimer() = default;
    // For a copy of a dialog: the same interval and points, none of the
    // timers, which stay the source's.
    NvSipSessionTimer(const NvSipSessionTimer& other);
    NvSipSessionTimer& operator=(const NvSipSessionTimer&) = delete;

    // Seconds; 0: no session timer runs.
    uint32_t interval() const { return m_Interval; }
    // Seconds until the expiry point, and since the interval (re)started.
    double timeLeft() const;
    double elapsed() const;
    // The interval starts again now with its two points; nothing is scheduled.
    void restart(uint32_t interval);
    // restart(), then the expiry timer and, when we refresh, the refresh
    // timer; the timers of the interval before are cancelled first.
    void start(const NvSipTimerOwner& timers, uint32_t interval, bool weRefresh);
    // No session timer any more: interval 0, both timers cancelled.
    void stop(const NvSipTimerOwner& timers);
    Point pointOf(double key) const;
    // Takes `interval` as the session's without touching the timers: the
    // interval of a dialog read back from a snapshot, or the one a 422 asked
    // our re-INVITE for (the 2xx to the new attempt starts the timers).
    void setInterval(uint32_t interval) { m_Interval = interval; }

    // ---- negotiation
    // A 422 with Min-SE for `request` when its Session-Expires is below the
    // minimum; nil for any other.
    static NvHandle<NvSipResponse> sTooSmall(const NvHandle<NvSipRequest>& request);
    // Our 2xx to `invite` (a re-INVITE or an UPDATE that refreshes the
    // session, RFC 4028 9, alike): when the 2xx carries no Session-Expires and the
    // timer is on and was asked for, we choose (the peer refreshes when it
    // supports the timer and did not ask us to) and add Session-Expires and
    // Require or Supported "timer"; when it carries one, it must be at
    // least the minimum and not above the INVITE's (RFC 4028 9), its
    // refresher is filled in when missing and "timer" is required when the
    // peer refreshes or supports it. Then the timer starts, or stops when
    // the 2xx sets none. Raises NvException "Session time too small",
    // "Server can't increase session time" (nothing changed).
    void answer(const NvSipTimerOwner& timers, const NvHandle<NvSipResponse>& response,
                const NvHandle<NvSipRequest>& invite);
    // The 2xx to our INVITE or re-INVITE with its Session-Expires: ignored
    // below the minimum; starts the timers, the refresh one when we refresh
    // ("uac", or no refresher and "timer" required).
    void take(const NvSipTimerOwner& timers, const NvHandle<NvSipResponse>& response,
              const NvHandle<NvSipSessionExpiresHeader>& sessionExpires);
    // Our re-INVITE or UPDATE, while the timer is on and runs an interval of
    // at least the minimum: "timer" supported and, unless it has one, a
    // Session-Expires of the current interval.
    void offer(const NvHandle<NvSipRequest>& invite) const;
    // A copy of `request` (re-INVITE or UPDATE) to send again after a 422
    // (RFC 4028 7.4): CSeq `cseq`, no Via, Session-Expires and Min-SE at
    // `interval`.
    static NvHandle<NvSipRequest> sRetry(const NvHandle<NvSipRequest>& request, uint32_t interval, uint32_t cseq);

private:
    uint32_t m_Interval = 0;
    double m_StartTime = 0;    // us on the stack clock; 0: never started
    double m_ExpiryTime = 0;   // expiry point, also its timer's key
    double m_RefreshTime = 0;  // refresh point, also its timer's key when we refresh
};
