// The session timer (RFC 4028) as a call flow: the refresh point at half the
// interval when we refresh, the expiry warning 10 s before its end, the
// timers of an interval since restarted ignored, an application raising
// inside a timer callback.

#include "CallManagerFlow.h"

#include <stdexcept>
#include <string>

namespace {

using SessionTimerTest = ConfirmedCallFlow;

std::string sessionExpires(unsigned int seconds, const char* refresher) {
    return "Require: timer\r\nSession-Expires: " + std::to_string(seconds) + ";refresher=" + refresher + "\r\n";
}

TEST_F(SessionTimerTest, RefreshAtHalfExpiryBeforeTheEndEarlierIntervalIgnored) {
    NvSipDialog::sm_bSupportTimer = true;
    answerCall();
    reinviteAnswered(200, sessionExpires(90, "uas"));
    clock.advance(50000);  // past half of it: the peer refreshes, not we
    EXPECT_EQ(events->taken(), "reinviteResponse 200");
    const Sent refresh = reinviteAnswered(200, sessionExpires(120, "uac"));
    EXPECT_EQ(valueOf(refresh.message, "Session-Expires") + " " + valueOf(refresh.message, "Supported"), "90 timer");
    const NvHandle<NvSipDialog> dialog = call->getDialog();
    EXPECT_DOUBLE_EQ(dialog->getTimeLeft(), 110.0);
    EXPECT_DOUBLE_EQ(dialog->getElapsedTime(), 0.0);
    EXPECT_EQ(events->taken(), "reinviteResponse 200");
    // The application raising inside the callback stops no timer.
    events->onRefresh = [] { throw std::runtime_error("the application failed"); };
    const auto heardWithin = [&](uint64_t ms) { return clock.advance(ms), events->taken(); };
    EXPECT_EQ(heardWithin(59999), "");  // past the first interval's expiry (80 s)
    EXPECT_EQ(heardWithin(1), "refresh");
    EXPECT_EQ(heardWithin(49999), "");
    EXPECT_EQ(heardWithin(1), "expiry");
    hangUp();
}

}  // namespace
