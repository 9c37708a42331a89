#include "apps/nvsip-ua/Caller.h"

#include "apps/nvsip-ua/Later.h"
#include "mlapi/NvSipDialog.h"
#include "stack/sip/NvSipIdentifiers.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <utility>

Caller::Caller(const CallOptions& options, CallReport& report, NvHandle<NvSipNameAddress> self, InCallRequests inCall)
    : m_Options(options),
      m_Report(report),
      m_hSelf(std::move(self)),
      m_InCall(std::move(inCall)),
      m_CallLog(CallLog::Side::Caller, options.report.ladder) {}

NvHandle<NvSipInviteMessage> Caller::buildInvite(const std::string& callId) const {
    NvHandle<NvSipInviteMessage> invite = new NvSipInviteMessage;
    NvHandle<NvSipURL> target = new NvSipURL(m_Options.target);
    if (m_Options.tcp) target->setParameter("transport", "tcp");
    invite->setURI(target);
    invite->addHeader(new NvSipFromHeader(static_cast<NvSipNameAddress*>(m_hSelf->clone())));
    invite->addHeader(new NvSipToHeader(new NvSipNameAddress("", new NvSipURL(m_Options.target))));
    invite->addHeader(new NvSipCallIDHeader(callId));
    invite->addHeader(new NvSipCSeqHeader(1, NvSipInviteMessage::sMethodName));
    invite->addHeader(new NvSipMaxForwardsHeader(NvSipTransactionManager::m_MaxForward));
    invite->addHeader(new NvSipSupportedHeader("100rel"));
    invite->addHeader(new NvSipGenericHeader("Allow", InCallRequests::sAllow()));
    if (m_Options.timerSeconds) invite->addHeader(new NvSipSessionExpiresHeader(m_Options.timerSeconds));
    if (m_Options.delayedOffer) {
        invite->addHeader(new NvSipContentLengthHeader(0));  // no body, said as our in-dialog requests say it
        return invite;
    }
    const std::string sdp = m_InCall.sdp().at(1);
    invite->setBody(sdp.data(), "application/sdp", static_cast<unsigned>(sdp.size()));
    return invite;
}

template <class Change>
bool Caller::withState(const Call& call, Change change) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    auto found = m_Calls.find(call->getCallID().str());
    if (found == m_Calls.end()) return false;
    change(found->second);
    return true;
}

uint64_t Caller::numberOf(const Call& call) {
    uint64_t number = 0;
    withState(call, [&](CallState& state) { number = state.number; });
    return number;
}

unsigned Caller::sdpVersionOf(const Call& call) {
    unsigned version = 1;
    withState(call, [&](CallState& state) { version = state.sdpVersion; });
    return version;
}

bool Caller::takesOurAnswer(const Call& call, const NvHandle<NvSipResponse>& response) {
    if (!m_Options.delayedOffer || response->getBody().empty()) return false;
    bool first = false;
    withState(call, [&](CallState& state) { first = !std::exchange(state.offerAnswered, true); });
    return first;
}

bool Caller::place() {
    const NvSocketImpl::Transport kind = m_Options.tcp ? NvSocketImpl::TCP : NvSocketImpl::UDP;
    const std::string callId =
        NvSipCallid::reGenerate(NvSipTransportLayer::sGetInstance()->getSentByHost(kind).c_str()).str();
    const uint64_t number = m_NextNumber++;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Calls[callId] = CallState{number, Clock::now(), false, "", 1};
    }
    m_Report.started();
    m_Report.event(number, "INVITE to " + m_Options.target + (m_Options.delayedOffer ? " without SDP" : ""));
    NvHandle<NvSipOutgoingCall> call;
    try {
        call = new NvSipOutgoingCall(buildInvite(callId), this, m_CallLog.open(callId));
    } catch (NvHandle<NvException>& e) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Calls.erase(callId);
        }
        m_Report.event(number, "not sent: " + e->getMessage().str());
        m_CallLog.close(callId);
        m_Report.ended(number, "failed (not sent)", false);
        return false;
    }
    if (m_Options.cancelAfterMs >= 0)
        runLater(static_cast<unsigned>(m_Options.cancelAfterMs), [this, call] {
            bool answered = true;
            withState(call, [&](CallState& state) {
                answered = state.answered;
                state.cancelled = !answered;
            });
            if (answered) return;
            m_Report.event(numberOf(call), "cancelling");
            m_Report.attempt(numberOf(call), "CANCEL", [&] { call->hangup(); });
        });
    return true;
}

void Caller::provisionalResponse(Call call, Dialog, NvHandle<NvSipResponse> response) {
    m_Report.event(numberOf(call), std::to_string(response->getStatusCode()) + " received");
}

void Caller::reliableProvisionalResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response) {
    const bool answering = takesOurAnswer(call, response);
    m_Report.event(numberOf(call), std::to_string(response->getStatusCode()) + " received reliably" +
                                       (answering ? " with an SDP offer, PRACK with our answer" : ", PRACK"));
    m_Report.attempt(numberOf(call), "PRACK", [&] {
        NvHandle<NvSipPrackMessage> prack;
        if (answering) {
            const std::string sdp = m_InCall.sdp().at(sdpVersionOf(call));
            prack = NvHandle<NvSipPrackMessage>(dialog->createRequest(
                NvSipPrackMessage::sMethodName, "application/sdp", sdp.data(), static_cast<unsigned>(sdp.size()),
                nullptr));
        }
        dialog->prack(prack);
    });
}

void Caller::succeeded(Call call, Dialog dialog, NvHandle<NvSipResponse> response) {
    const auto now = Clock::now();
    Clock::time_point started;
    withState(call, [&](CallState& state) {
        state.answered = true;
        started = state.started;
        state.peerAllowsUpdate = InCallRequests::sAllowsUpdate(*response);
    });
    m_Report.answered(std::chrono::duration<double, std::milli>(now - started).count());
    const bool answering = takesOurAnswer(call, response);
    m_Report.event(numberOf(call), std::to_string(response->getStatusCode()) + " received, ACK" +
                                       (answering ? " with our SDP answer" : ""));
    m_Report.attempt(numberOf(call), "ACK", [&] {
        if (!answering) return dialog->ack(NvHandle<NvSipAckMessage>());
        const std::string sdp = m_InCall.sdp().at(sdpVersionOf(call));
        dialog->ack(sdp.data(), "application/sdp", static_cast<unsigned>(sdp.size()));
    });
    runLater(m_Options.holdMs, [this, call] {
        m_Report.event(numberOf(call), "hanging up");
        m_Report.attempt(numberOf(call), "BYE", [&] { call->hangup(); });
    });
    if (m_Options.reinviteAfterMs >= 0)
        runLater(static_cast<unsigned>(m_Options.reinviteAfterMs), [this, call] { reinvite(call, true); });
    if (m_Options.updateAfterMs >= 0)
        runLater(static_cast<unsigned>(m_Options.updateAfterMs),
                 [this, call, dialog] { update(call, dialog, "UPDATE without body"); });
    if (m_Options.infoAfterMs >= 0)
        runLater(static_cast<unsigned>(m_Options.infoAfterMs), [this, call, dialog] {
            m_Report.event(numberOf(call), "sending INFO");
            m_Report.attempt(numberOf(call), "INFO", [&] { dialog->info(nullptr); });
        });
}

void Caller::reinvite(const Call& call, bool newOffer) {
    unsigned version = 0;
    if (!withState(call, [&](CallState& state) { version = state.sdpVersion += newOffer ? 1 : 0; })) return;
    const std::string sdp = m_InCall.sdp().at(version);
    m_Report.event(numberOf(call), newOffer ? "re-INVITE with a new offer" : "re-INVITE refreshing the session");
    m_Report.attempt(numberOf(call), "re-INVITE", [&] {
        call->reinvite(sdp.data(), "application/sdp", static_cast<unsigned>(sdp.size()), nullptr);
    });
}

void Caller::reinviteRequest(Call call, Dialog dialog, NvHandle<NvSipInviteMessage> invite) {
    unsigned version = sdpVersionOf(call);
    std::string event;
    NvHandle<NvSipResponse> response = m_InCall.answerReinvite(invite, version, event);
    withState(call, [&](CallState& state) { state.sdpVersion = version; });
    m_Report.event(numberOf(call), event);
    m_Report.attempt(numberOf(call), "answer to re-INVITE", [&] { dialog->respondToReinvite(response); });
}

void Caller::reinviteAck(Call call, Dialog, NvHandle<NvSipAckMessage> ack) {
    m_Report.event(numberOf(call), InCallRequests::ackEvent(*ack));
}

void Caller::answerInCall(const Call& call, NvSipServerTransaction& transaction, const NvHandle<NvSipRequest>& request) {
    m_Report.event(numberOf(call), m_InCall.answer(transaction, request));
}

void Caller::unknownRequest(Call call, Dialog, NvHandle<NvSipServerTransaction> transaction,
                            NvHandle<NvSipRequest> request) {
    answerInCall(call, *transaction, request);
}

void Caller::referRequest(Call call, Dialog, NvHandle<NvSipServerTransaction> transaction,
                          NvHandle<NvSipReferMessage> refer) {
    answerInCall(call, *transaction, refer);
}

void Caller::notifyRequest(Call call, Dialog, NvHandle<NvSipServerTransaction> transaction,
                           NvHandle<NvSipNotifyMessage> notify) {
    answerInCall(call, *transaction, notify);
}

void Caller::reinviteResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response) {
    const int status = response->getStatusCode();
    m_Report.event(numberOf(call), std::to_string(status) + " to re-INVITE received" +
                                       (status == 491 ? ", retried later" : status >= 200 ? ", ACK" : ""));
    NvSipOutgoingCallinterface::reinviteResponse(call, dialog, response);
}

void Caller::reinviteTimeOut(Call call, Dialog, NvHandle<NvSipInviteMessage>) {
    m_Report.event(numberOf(call), "re-INVITE got no answer");
}

void Caller::update(const Call& call, const Dialog& dialog, const std::string& why) {
    m_Report.event(numberOf(call), why);
    m_Report.attempt(numberOf(call), "UPDATE", [&] { dialog->update(nullptr); });
}

void Caller::onSessionRefreshTime(Call call, Dialog dialog) {
    bool byUpdate = false;
    withState(call, [&](CallState& state) { byUpdate = state.peerAllowsUpdate; });
    if (byUpdate)
        update(call, dialog, "UPDATE refreshing the session");
    else
        reinvite(call, false);
}

void Caller::updateRequest(Call call, Dialog dialog, NvHandle<NvSipUpdateMessage> update) {
    std::string event;
    const NvHandle<NvSipResponse> response = m_InCall.answerUpdate(update, sdpVersionOf(call), event);
    m_Report.event(numberOf(call), event);
    m_Report.attempt(numberOf(call), "answer to UPDATE", [&] { dialog->respondToUpdate(response); });
}

void Caller::updateResponse(Call call, Dialog, NvHandle<NvSipResponse> response) {
    const int status = response->getStatusCode();
    m_Report.event(numberOf(call),
                   std::to_string(status) + " to UPDATE received" + (status == 491 ? ", retried later" : ""));
}

void Caller::onSessionTimeOut(Call call, Dialog) {
    m_Report.event(numberOf(call), "session timer expiring, hanging up");
    m_Report.attempt(numberOf(call), "BYE", [&] { call->hangup(); });
}

void Caller::multipleResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response) {
    m_Report.event(numberOf(call), "another branch answered " + std::to_string(response->getStatusCode()) +
                                       ": ACK and BYE on it");
    m_Report.attempt(numberOf(call), "ACK of another branch", [&] { dialog->ack(response); });
    m_Report.attempt(numberOf(call), "BYE of another branch", [&] { dialog->hangup(nullptr); });
}

void Caller::prackResponse(Call call, Dialog, NvHandle<NvSipResponse> response) {
    m_Report.event(numberOf(call), response.isNil() ? std::string("PRACK got no answer")
                                                    : "PRACK answered " + std::to_string(response->getStatusCode()));
}

void Caller::redirect(Call call, Dialog, NvHandle<NvSipResponse> response) {
    const int status = response->getStatusCode();
    withState(call, [&](CallState& state) { state.failure = "redirected " + std::to_string(status); });
    if (!m_Options.followRedirects) {
        m_Report.event(numberOf(call), std::to_string(status) + " received, not followed");
        return;
    }
    for (size_t i = 0;; ++i) {
        NvHandle<NvSipContactHeader> contact(response->mGetHeaderByID(NvSipHeaderID::Contact, i));
        if (contact.isNil()) break;
        NvHandle<NvSipNameAddress> target = contact->getNameAddress();
        if (target.isNil() || call->tried(target)) continue;
        m_Report.event(numberOf(call), std::to_string(status) + " received, trying " + target->getURI()->toString().str());
        m_Report.attempt(numberOf(call), "redirection", [&] {
            const std::string sdp = m_InCall.sdp().at(1);
            call->tryCalling(target, "application/sdp", sdp.data(), static_cast<unsigned>(sdp.size()), nullptr);
        });
    }
}

void Caller::failedToConnect(Call call, Dialog, NvHandle<NvSipResponse> response) {
    const std::string why = response.isNil() ? "no answer" : std::to_string(response->getStatusCode());
    withState(call, [&](CallState& state) { state.failure = "failed " + why; });
    m_Report.event(numberOf(call), "failed: " + why);
}

void Caller::dialogTerminated(Call call, Dialog dialog, NvHandle<NvSipMessage> message) {
    NvHandle<NvSipInfoMessage> info(message);
    if (!info.isNil()) return m_Report.event(numberOf(call), "INFO got no answer, the call ends");
    NvHandle<NvSipByeMessage> bye(message);
    if (bye.isNil() || !bye->isReceived()) return;  // not the peer's (ours, timed out)
    m_Report.event(numberOf(call), "BYE received, 200");
    m_Report.attempt(numberOf(call), "200 to BYE", [&] { dialog->respondToBye(nullptr); });
}

void Caller::terminated(Call call, NvHandle<NvSipMessage> message) {
    CallState state;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto found = m_Calls.find(call->getCallID().str());
        if (found == m_Calls.end()) return;
        state = found->second;
        m_Calls.erase(found);
    }
    NvHandle<NvSipResponse> response(message);
    NvHandle<NvSipByeMessage> bye(message);  // the peer's, or ours timed out
    const bool clean =
        (!bye.isNil() && bye->isReceived()) || (!response.isNil() && response->getStatusCode() / 100 == 2);
    m_Report.drawing(m_CallLog.close(call->getCallID().str()));
    if (state.answered)
        m_Report.ended(state.number, clean ? "answered" : "answered, not ended cleanly", clean);
    else if (state.cancelled || (!response.isNil() && response->getStatusCode() == 487))
        m_Report.ended(state.number, "cancelled", false);
    else
        m_Report.ended(state.number, state.failure.empty() ? "failed" : state.failure, false);
}
