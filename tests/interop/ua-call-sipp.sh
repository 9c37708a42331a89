#!/usr/bin/env bash
# nvsip-ua call against SIPp as the called party, over loopback, one SIPp
# scenario per behaviour (the scenarios check the ACK, BYE, PRACK, Route
# and credentials they receive; see ua-lib.sh).
# Usage: ua-call-sipp.sh PATH/TO/nvsip-ua SCENARIO_DIR
set -euo pipefail
ua="$1"
scenarios="$2"
source "$(dirname "$0")/ua-lib.sh"

call_ basic-udp "-sf $scenarios/uas-basic.xml" "--hold 200" 0 "1 answered"
call_ basic-tcp "-sf $scenarios/uas-basic.xml" "--hold 200 --tcp" 0 "1 answered" t1
call_ record-route "-sf $scenarios/uas-record-route.xml" "--hold 200" 0 "1 answered"
call_ strict-route "-sf $scenarios/uas-strict-route.xml" "--hold 200" 0 "1 answered"
call_ reliable-183 "-sf $scenarios/uas-reliable.xml" "--hold 200" 0 "1 answered"
# Delayed offer: our INVITE without body, our SDP answer in the ACK of the 200 (through its Record-Route), or in the
# PRACK of a reliable 183 that brings the offer.
call_ delayed-offer "-sf $scenarios/uas-delayed-offer.xml" "--hold 200 --delayed-offer" 0 "1 answered" u1 \
  "ACK with our SDP answer"
call_ delayed-offer-prack "-sf $scenarios/uas-delayed-offer-prack.xml" "--hold 200 --delayed-offer" 0 "1 answered" u1 \
  "PRACK with our answer"
call_ redirect "-sf $scenarios/uas-redirect.xml" "--hold 200 --follow-redirects" 0 "1 answered"
call_ auth-401 "-sf $scenarios/uas-auth-401.xml" "--hold 200 --auth alice:secret" 0 "1 answered"
call_ auth-407 "-sf $scenarios/uas-auth-407.xml" "--hold 200 --auth alice:secret" 0 "1 answered"
call_ busy "-sf $scenarios/uas-busy.xml" "" 1 "1 failed 486"
call_ forked "-sf $scenarios/uas-forked.xml" "--hold 300" 0 "1 answered"
# A fork answering after the call was hung up: ACKed and hung up along its own Record-Route.
call_ fork-after-hangup "-sf $scenarios/uas-fork-after-hangup.xml" "--hold 200 --linger 500" 0 "1 answered"
call_ cancel "-sf $scenarios/uas-cancel.xml" "--cancel-after 300" 1 "1 cancelled"
# A forking proxy (responses with two To tags): each branch is a dialog of its own, at its own Contact.
call_ fork-ringing "-sf $scenarios/uas-fork-ringing.xml" "--hold 300" 0 "1 answered" u1 "another branch answered 200"
call_ cancel-crossed "-sf $scenarios/uas-cancel-crossed.xml" "--cancel-after 300" 1 "1 cancelled"
call_ reliable-forked "-sf $scenarios/uas-reliable-forked.xml" "--hold 200" 0 "1 answered" u1 "PRACK answered 200"
call_ invite-timeout "-sf $scenarios/uas-silent.xml" "" 1 "1 failed no answer"
call_ bye-unanswered "-sf $scenarios/uas-bye-unanswered.xml" "--hold 200" 1 "1 answered, not ended cleanly"
