#!/usr/bin/env bash
# nvsip-ua in an established call against SIPp over loopback: re-INVITEs
# both ways (491 and its retry, 422 with Min-SE), offer and answer in the
# peer's re-INVITEs and UPDATEs from either side (the scenarios check the
# SDP bodies), other requests in the call, the session timer (negotiation,
# 422 to our INVITE, the refresh), INFO and NOTIFY (500 when out of CSeq
# order), a BYE challenged for credentials, the dialog ended by the peer's
# 481 or 408 to our re-INVITE or by its silence to our INFO, the peer
# hanging up while our call would hold on, our refresh left unanswered,
# UPDATE both ways with the session refreshed by UPDATE when the peer's Allow
# lists it (see ua-lib.sh).
# Usage: ua-dialog-sipp.sh PATH/TO/nvsip-ua SCENARIO_DIR
set -euo pipefail
ua="$1"
scenarios="$2"
source "$(dirname "$0")/ua-lib.sh"

listen_ peer-reinvite-info-notify "" "-sf $scenarios/uac-in-dialog.xml" "1 answered, caller hung up"
listen_ peer-requests-out-of-order "" "-sf $scenarios/uac-out-of-order.xml" "1 answered, caller hung up"
listen_ peer-reinvite-too-small "--timer 90" "-sf $scenarios/uac-reinvite-422.xml" "1 answered, caller hung up"
listen_ peer-offers "" "-sf $scenarios/uac-offer-answer.xml" "1 answered, caller hung up"
listen_ session-refresh "--timer 22" "-sf $scenarios/uac-refresh.xml" "1 answered, caller hung up"
listen_ update-refresh "--timer 22" "-sf $scenarios/uac-update.xml" "1 answered, caller hung up"
# Our refresh gets no answer: its time-out ends the call (after 77 s), which must then be counted.
sipp_timeout=60s listen_ refresh-unanswered "--timer 90" "-sf $scenarios/uac-refresh-unanswered.xml" \
  "1 re-INVITE timed out"
call_ our-reinvite "-sf $scenarios/uas-reinvite.xml" "--reinvite-after 200 --hold 1000" 0 "1 answered"
call_ glare "-sf $scenarios/uas-glare.xml" "--reinvite-after 200 --hold 1500" 0 "1 answered"
call_ our-reinvite-491 "-sf $scenarios/uas-reinvite-491.xml" "--reinvite-after 200 --hold 6000" 0 "1 answered" u1 \
  "491 to re-INVITE received"
call_ peer-offers-hangs-up "-sf $scenarios/uas-offer-answer.xml" "--hold 600000" 0 "1 answered" u1 "BYE received, 200"
call_ peer-hangs-up-during-reinvite "-sf $scenarios/uas-bye-during-reinvite.xml" "--hold 600000 --reinvite-after 100" 0 \
  "1 answered" u1 "BYE received, 200"
# The peer's BYE crosses our re-INVITE, whose 200 then comes late: it is still ACKed.
call_ late-answer-after-bye "-sf $scenarios/uas-late-answer-after-bye.xml" "--reinvite-after 200 --hold 3000" 0 \
  "1 answered" u1 "BYE received, 200"
call_ update-refresh "-sf $scenarios/uas-update.xml" "--timer 22 --update-after 200 --hold 13000" 0 "1 answered" u1 \
  "UPDATE refreshing the session"
call_ bye-challenged "-sf $scenarios/uas-bye-401.xml" "--hold 200 --auth alice:secret" 0 "1 answered"
call_ invite-422-session-timer "-sf $scenarios/uas-422.xml" "--timer 30 --hold 300" 0 "1 answered"
call_ info-unanswered "-sf $scenarios/uas-info-silent.xml" "--info-after 100 --hold 40000" 1 \
  "1 answered, not ended cleanly" u1 "INFO got no answer"
call_ reinvite-481 "-sf $scenarios/uas-reinvite-481.xml" "--reinvite-after 200 --hold 5000" 1 \
  "1 answered, not ended cleanly" u1 "481 to re-INVITE received"
call_ reinvite-408 "-sf $scenarios/uas-reinvite-408.xml" "--reinvite-after 200 --hold 5000" 1 \
  "1 answered, not ended cleanly" u1 "408 to re-INVITE received"
