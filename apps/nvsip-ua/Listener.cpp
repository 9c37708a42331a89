#include "apps/nvsip-ua/Listener.h"

#include "apps/nvsip-ua/Later.h"
#include "mlapi/NvSipDialog.h"

namespace {

std::string uriOf(const NvHandle<NvSipNameAddressHeader>& header) {
    if (header.isNil() || header->getNameAddress().isNil() || header->getNameAddress()->getURI().isNil()) return "?";
    return header->getNameAddress()->getURI()->toString().str();
}

}  // namespace

NvHandle<NvSipIncomingCall> Listener::NewCalls::newCall(NvHandle<NvSipInviteMessage> invite) {
    NvHandle<NvSipIncomingCall> call = new NvSipIncomingCall(invite, m_hListener.get());
    m_hListener->admit(call);
    return call;
}

void Listener::NewCalls::callTakenOver(NvHandle<NvSipIncomingCall> call) {
    m_hListener->takeBack({call}, "taken over");
}

void Listener::admit(const Call& call) {
    if (Tellar::Logger* logger = m_CallLog.open(call->getCallID().str())) call->getDialog()->setCallLogger(logger);
    m_Report.started();
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Calls[call.get()].number = m_NextNumber++;
}

Listener::Listener(const ListenOptions& options, CallReport& report, InCallRequests inCall)
    : m_Options(options),
      m_Report(report),
      m_InCall(std::move(inCall)),
      m_CallLog(CallLog::Side::Callee, options.report.ladder) {}

template <class Change>
bool Listener::withState(const Call& call, Change change) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    auto found = m_Calls.find(call.get());
    if (found == m_Calls.end()) return false;
    change(found->second);
    return true;
}

uint64_t Listener::numberOf(const Call& call) {
    uint64_t number = 0;
    withState(call, [&](CallState& state) { number = state.number; });
    return number;
}

unsigned Listener::sdpVersionOf(const Call& call) {
    unsigned version = 1;
    withState(call, [&](CallState& state) { version = state.sdpVersion; });
    return version;
}

void Listener::later(unsigned delayMs, const Call& call, void (Listener::*action)(const Call&)) {
    NvHandle<Listener> self = this;
    runLater(delayMs, [self, call, action] { (self.get()->*action)(call); });
}

void Listener::inviteRequest(Call call, NvHandle<NvSipInviteMessage> invite) {
    const bool reliable = m_Options.reliable && invite->isSupported("100rel");
    const bool offered = !invite->getBody().empty();
    // With early media the library alone holds the 2xx for a PRACK (where RFC 3262 3 wants it); otherwise a
    // reliable 180 rings on once its PRACK came.
    const bool waitForPrack = reliable && !m_Options.earlyMedia;
    uint64_t number;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        CallState& state = m_Calls[call.get()];
        number = state.number;
        state.reliableRinging = waitForPrack;
        state.offerInOur2xx = !offered;
        state.peerAllowsUpdate = InCallRequests::sAllowsUpdate(*invite);
    }
    m_Report.event(number, "INVITE from " + uriOf(invite->getFromHeader()) + (offered ? "" : " without SDP"));
    const bool media = m_Options.earlyMedia && offered;
    const unsigned status = media ? 183 : 180;
    const std::string sdp = media ? m_InCall.sdp().at(sdpVersionOf(call)) : "";
    const void* body = media ? sdp.data() : nullptr;
    const char* type = media ? "application/sdp" : nullptr;
    const std::string what = std::to_string(status) + (media ? " with SDP" : "");
    const auto size = static_cast<unsigned>(sdp.size());
    if (reliable)
        m_Report.attempt(number, ("reliable " + what).c_str(),
                         [&] { call->sendReliableProvisionalResponse(status, body, type, size); });
    else
        m_Report.attempt(number, what.c_str(), [&] { call->answer(status, body, type, size); });
    m_Report.event(number, what + (reliable ? " sent reliably" : " sent"));
    if (!waitForPrack) later(m_Options.ringMs, call, &Listener::answer);
}

void Listener::prack(Call call, NvHandle<NvSipPrackMessage> prack) {
    if (prack->getBody().empty()) {
        m_Report.event(numberOf(call), "PRACK received");
    } else {
        // Our 1xx never carries an offer: this is the caller's, answered in the PRACK's 200 (RFC 3262 5).
        m_Report.event(numberOf(call), "PRACK received with an SDP offer, 200 with our answer");
        const std::string sdp = m_InCall.sdp().at(sdpVersionOf(call));
        m_Report.attempt(numberOf(call), "answer to PRACK", [&] {
            call->respondToPrack(200, sdp.data(), "application/sdp", static_cast<unsigned>(sdp.size()));
        });
    }
    bool ringing;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto found = m_Calls.find(call.get());
        ringing = found != m_Calls.end() && found->second.reliableRinging;
        if (ringing) found->second.reliableRinging = false;
    }
    if (ringing) later(m_Options.ringMs, call, &Listener::answer);
}

void Listener::answer(const Call& call) {
    const unsigned status = m_Options.answer;
    if (status / 100 == 2) {
        const std::string sdp = m_InCall.sdp().at(sdpVersionOf(call));
        m_Report.attempt(numberOf(call), "answer", [&] {
            call->answer(status, sdp.data(), "application/sdp", static_cast<unsigned>(sdp.size()));
        });
    } else
        m_Report.attempt(numberOf(call), "answer", [&] { call->answer(status, nullptr, nullptr, 0); });
    m_Report.event(numberOf(call), std::to_string(status) + " sent");
    // Counted from the answer: a short delay hangs up before the ACK, which the BYE then waits for.
    if (status / 100 == 2 && m_Options.hangupAfterMs >= 0)
        later(static_cast<unsigned>(m_Options.hangupAfterMs), call, &Listener::hangup);
}

void Listener::takeBack(const std::vector<Call>& calls, const char* how) {
    for (const Call& call : calls) {
        admit(call);
        m_Report.event(numberOf(call), std::string(how) + " from its snapshot, Call-ID " + call->getCallID().str());
        if (m_Options.hangupAfterMs >= 0)
            later(static_cast<unsigned>(m_Options.hangupAfterMs), call, &Listener::hangup);
    }
}

void Listener::callConfirmed(Call call, NvHandle<NvSipAckMessage> ack) {
    bool offerInOur2xx = false;
    withState(call, [&](CallState& state) { offerInOur2xx = state.offerInOur2xx; });
    const char* what = !offerInOur2xx          ? "ACK received"
                       : ack->getBody().empty() ? "ACK received without the SDP answer"
                                                : "ACK received with the SDP answer";
    m_Report.answered();
    m_Report.event(numberOf(call), std::string(what) + ", call up");
}

void Listener::hangup(const Call& call) {
    m_Report.event(numberOf(call), "hanging up");
    m_Report.attempt(numberOf(call), "hang-up", [&] { call->hangup(); });
}

void Listener::terminated(Call call, NvHandle<NvSipMessage> message) {
    if (message.isNil()) return ended(call, "timed out", false);
    if (!message->isRequest()) {
        const int status = NvHandle<NvSipResponse>(message)->getStatusCode();
        return ended(call, "hung up (BYE answered " + std::to_string(status) + ")", status / 100 == 2);
    }
    const NvString method = NvHandle<NvSipRequest>(message)->getMethod();
    if (method == NvSipByeMessage::sMethodName) {
        m_Report.attempt(numberOf(call), "200 to BYE", [&] { call->respondToBye(nullptr); });
        return ended(call, "answered, caller hung up", true);
    }
    bool cancelled = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto found = m_Calls.find(call.get());
        if (found != m_Calls.end()) {
            cancelled = found->second.cancelled;
            found->second.cancelled |= method == NvSipCancelMessage::sMethodName;
        }
    }
    if (method == NvSipCancelMessage::sMethodName) {
        m_Report.event(numberOf(call), "CANCEL received");
        return;  // ends with the ACK of the 487 (or its time-out)
    }
    ended(call, cancelled ? "cancelled" : "rejected", true);
}

void Listener::ended(const Call& call, const std::string& outcome, bool clean) {
    uint64_t number = 0;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto found = m_Calls.find(call.get());
        if (found == m_Calls.end()) return;
        number = found->second.number;
        m_Calls.erase(found);
    }
    m_Report.drawing(m_CallLog.close(call->getCallID().str()));
    m_Report.ended(number, outcome, clean);
}

bool Listener::leftUnanswered(const Call& call, const NvHandle<NvSipRequest>& request) {
    const std::string method = request->getMethod().str();
    if (!m_Options.leaveUnanswered.count(method)) return false;
    m_Report.event(numberOf(call), method + " received, left to the library");
    return true;
}

void Listener::answerInCall(const Call& call, NvSipServerTransaction& transaction,
                            const NvHandle<NvSipRequest>& request) {
    if (leftUnanswered(call, request)) return;
    m_Report.event(numberOf(call), m_InCall.answer(transaction, request));
}

void Listener::unknownRequest(Call call, NvHandle<NvSipServerTransaction> transaction,
                              NvHandle<NvSipRequest> request) {
    answerInCall(call, *transaction, request);
}

void Listener::referRequest(Call call, NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipReferMessage> refer) {
    answerInCall(call, *transaction, refer);
}

void Listener::notifyRequest(Call call, NvHandle<NvSipServerTransaction> transaction,
                             NvHandle<NvSipNotifyMessage> notify) {
    answerInCall(call, *transaction, notify);
}

void Listener::reinviteRequest(Call call, NvHandle<NvSipInviteMessage> invite) {
    if (leftUnanswered(call, invite)) return;
    unsigned version = sdpVersionOf(call);
    std::string event;
    NvHandle<NvSipResponse> response = m_InCall.answerReinvite(invite, version, event);
    withState(call, [&](CallState& state) { state.sdpVersion = version; });
    m_Report.event(numberOf(call), event);
    m_Report.attempt(numberOf(call), "answer to re-INVITE", [&] { call->respondToReinvite(response); });
}

void Listener::reinviteAck(Call call, NvHandle<NvSipAckMessage> ack) {
    m_Report.event(numberOf(call), InCallRequests::ackEvent(*ack));
}

void Listener::onSessionTimeOut(Call call) {
    m_Report.event(numberOf(call), "session timer expiring");
    hangup(call);
}

void Listener::onSessionRefreshTime(Call call) {
    bool byUpdate = false;
    withState(call, [&](CallState& state) { byUpdate = state.peerAllowsUpdate; });
    if (byUpdate) {
        m_Report.event(numberOf(call), "UPDATE refreshing the session");
        m_Report.attempt(numberOf(call), "UPDATE", [&] { call->update(nullptr, nullptr, 0); });
        return;
    }
    m_Report.event(numberOf(call), "re-INVITE refreshing the session");
    const std::string sdp = m_InCall.sdp().at(sdpVersionOf(call));
    m_Report.attempt(numberOf(call), "re-INVITE", [&] {
        call->reinvite(sdp.data(), "application/sdp", static_cast<unsigned>(sdp.size()), nullptr);
    });
}

void Listener::updateRequest(Call call, NvHandle<NvSipUpdateMessage> update) {
    if (leftUnanswered(call, update)) return;
    std::string event;
    const NvHandle<NvSipResponse> response = m_InCall.answerUpdate(update, sdpVersionOf(call), event);
    m_Report.event(numberOf(call), event);
    m_Report.attempt(numberOf(call), "answer to UPDATE", [&] { call->respondToUpdate(response); });
}

void Listener::updateResponse(Call call, NvHandle<NvSipResponse> response) {
    m_Report.event(numberOf(call), std::to_string(response->getStatusCode()) + " to UPDATE received");
}

void Listener::reinviteResponse(Call call, NvHandle<NvSipResponse> response) {
    m_Report.event(numberOf(call), std::to_string(response->getStatusCode()) + " to re-INVITE received");
    NvSipIncomingCallinterface::reinviteResponse(call, response);
}

void Listener::reinviteTimeOut(Call call, NvHandle<NvSipInviteMessage>) { ended(call, "re-INVITE timed out", false); }
