#include "stack/transaction/NvSipClientTransaction.h"

#include "stack/base/NvException.h"
#include "stack/base/NvStream.h"
#include "stack/log/TellarLogger.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

// The interface of a CANCEL's own transaction: the CANCEL and its answer are
// shown to the INVITE's interface as messages of that call; the events of
// the CANCEL transaction go nowhere.
class CancelClientInterface : public NvSipClientTransactionInterface {
public:
    explicit CancelClientInterface(NvHandle<NvSipClientTransactionInterface> invite) : m_hInvite(std::move(invite)) {}
    void sendingMessage(const NvHandle<NvSipMessage>& message, unsigned* port, NvInetAddress* address) override {
        if (m_hInvite) m_hInvite->sendingMessage(message, port, address);
    }
    void receivedMessage(const NvHandle<NvSipMessage>& message) override {
        if (m_hInvite) m_hInvite->receivedMessage(message);
    }

private:
    NvHandle<NvSipClientTransactionInterface> m_hInvite;
};

NvHandle<NvSipHeader> copyOf(const NvHandle<NvSipHeader>& header) {
    return NvHandle<NvSipHeader>(static_cast<NvSipHeader*>(header->clone()));
}

bool isReliableProvisional(const NvSipResponse& response) {
    const int code = response.getStatusCode();
    return code > 100 && code < 200 && response.getHeader<NvSipRSeqHeader>() && response.isRequired("100rel");
}

constexpr uint32_t kTimerDMs = 32000;  // RFC 3261: at least 32 s over UDP
constexpr size_t kMaxReliableBranches = 8;

}  // namespace

struct NvSipClientTransaction::Impl {
    // A CANCEL given to cancel() before any provisional response (nil: build one).
    NvHandle<NvSipCancelMessage> hCancel;
    // Where the request went: retransmissions, the ACK and the CANCEL go there too.
    NvInetAddress destination;
    uint16_t destinationPort = 0;
    bool bReliable = false;         // stream transport: no retransmissions, D and K are 0
    bool bCancelRequested = false;  // cancel() was called
    bool bCancelSent = false;
    // Highest RSeq of the reliable provisional responses seen, by To tag hash,
    // so that their retransmissions are not reported again.
    std::vector<std::pair<uint32_t, uint32_t>> reliableSeen;
};

unsigned int NvSipClientTransaction::sm_ProceedingTimeoutMs = 3 * 60 * 1000;

NvSipClientTransaction::NvSipClientTransaction(NvHandle<NvSipRequest> request,
                                               NvSipClientTransactionInterface* interface)
    : NvSipTransaction(std::move(request), interface), m_pImpl(new Impl) {}

NvSipClientTransaction::~NvSipClientTransaction() { delete m_pImpl; }

NvHandle<NvSipClientTransactionInterface> NvSipClientTransaction::sTyped(
    const NvHandle<NvSipTransactionInterface>& interface) {
    return NvHandle<NvSipClientTransactionInterface>(static_cast<NvSipClientTransactionInterface*>(interface.get()));
}

NvHandle<NvSipClientTransactionInterface> NvSipClientTransaction::getInterface() const {
    return sTyped(currentInterface());
}

void NvSipClientTransaction::reportTransportError(const NvHandle<NvSipTransactionInterface>& interface,
                                                  const std::string& reason) {
    sTyped(interface)->transportError(NvHandle<NvSipClientTransaction>(this), reason);
}

bool NvSipClientTransaction::mayStillSend(const NvSipMessage& message) const {
    // The request is not retransmitted once a final response came.
    const bool request = &message == m_Request.get();
    return !request || m_State == Calling || m_State == Trying || m_State == Proceeding;
}

// ---------------------------------------------------------------- sending

void NvSipClientTransaction::sendRequest(unsigned* port, NvInetAddress* address) {
    NvHandle<NvSipClientTransaction> self(this);
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        if (m_State != Initial) {
            const auto& request = m_Request;
            NvException::sThrow("Cannot send " + request->getMethod().str() + " " + request->getCallID().str() +
                                ": the transaction is " + sStateName(m_State));
        }
        m_State = m_bInvite ? Calling : Trying;
    }
    // The request is ours from here on: no lock is needed to complete it.
    const NvHandle<NvSipRequest>& request = m_Request;
    const auto topVia = request->getTopVia();
    if (!topVia || !topVia->hasRFC3261Branch()) NvSipTransportLayer::sGetInstance()->addViaHeader(request);
    if (!request->getHeader<NvSipMaxForwardsHeader>())
        request->addHeader(NvHandle<NvSipHeader>(new NvSipMaxForwardsHeader(NvSipTransactionManager::m_MaxForward)));
    m_Key = sClientKey(*request);
    if (m_Key.isEmpty()) {
        std::lock_guard<NvMutex> lock(m_Mutex);
        m_State = Terminated;
        NvException::sThrow("Cannot send " + request->getMethod().str() + ": the request has no CSeq header");
    }

    NvSipTransactionManager* manager = NvSipTransactionManager::getInstance();
    manager->addTransaction(NvHandle<NvSipTransaction>(self));
    Outgoing out{NvHandle<NvSipMessage>(request), port ? *port : 0, address ? *address : NvInetAddress()};
    std::string reason;
    if (!transmit(out, reason)) {
        NvHandle<NvSipTransactionInterface> released;  // dropped after the lock
        {
            std::lock_guard<NvMutex> lock(m_Mutex);
            m_State = Terminated;
            stopTimers();
            released = std::move(m_hInterface);
        }
        manager->removeTransaction(NvHandle<NvSipTransaction>(self));
        NvException::sThrow("Cannot send " + request->getMethod().str() + " " + request->getCallID().str() + ": " + reason);
    }

    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        m_pImpl->destination = out.address;
        m_pImpl->destinationPort = static_cast<uint16_t>(out.port);
        // The Via names the transport actually used (send() may have moved a large request to TCP).
        const auto via = request->getTopVia();
        m_pImpl->bReliable = via && !via->getTransport().equalsIgnoreCase("UDP");
        // A response may have come in meanwhile (another thread) and timed its own state.
        if (m_State == Calling || m_State == Trying || (m_State == Proceeding && !m_bInvite)) startStateTimers();
    }
    if (port) *port = out.port;
    if (address) *address = out.address;
}

void NvSipClientTransaction::startStateTimers() {
    const uint32_t t1 = NvSipTransactionManager::m_T1;
    const uint32_t t2 = NvSipTransactionManager::m_T2;
    switch (m_State) {
        case Calling:
            if (!m_pImpl->bReliable) startTimer(m_Retransmit, TimerA, t1);
            startTimer(m_StateTimer, TimerB, 64 * t1);
            break;
        case Trying:
        case Proceeding:
            if (m_bInvite) {
                if (m_pImpl->bCancelSent)
                    startTimer(m_StateTimer, TimerCancel, 64 * t1);
                else if (m_State == Proceeding)
                    startTimer(m_StateTimer, TimerProceeding, sm_ProceedingTimeoutMs);
                break;
            }
            if (!m_pImpl->bReliable) startTimer(m_Retransmit, TimerE, m_State == Proceeding ? t2 : std::min(t1, t2));
            startTimer(m_StateTimer, TimerF, 64 * t1);
            break;
        case Completed:
            startTimer(m_StateTimer, m_bInvite ? TimerD : TimerK, m_bInvite ? kTimerDMs : NvSipTransactionManager::m_T4);
            break;
        default: break;
    }
}

void NvSipClientTransaction::cancel(NvHandle<NvSipCancelMessage> cancel) {
    if (!m_bInvite)
        NvException::sThrow("Cannot cancel " + getInitialRequest()->getMethod().str() + ": only an INVITE can be cancelled");
    NvHandle<NvSipClientTransaction> self(this);
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        if (m_pImpl->bCancelRequested || m_State == Completed || m_State == Terminated) return;
        m_pImpl->bCancelRequested = true;
        if (m_State != Proceeding) {
            // No provisional response yet: the CANCEL waits for the first one.
            m_pImpl->hCancel = cancel;
            return;
        }
        m_pImpl->bCancelSent = true;
        startTimer(m_StateTimer, TimerCancel, 64 * NvSipTransactionManager::m_T1);
    }
    sendCancel(cancel);
}
NvHandle<NvSipCancelMessage> NvSipClientTransaction::buildCancel(const NvHandle<NvSipCancelMessage>& given) const {
    // RFC 3261 9.1: Request-URI, Call-ID, From, To and CSeq number of the
    // INVITE, its top Via only, its Route headers.
    const NvSipRequest& invite = *m_Request;
    const auto cseq = invite.getCSeqHeader();
    NvHandle<NvSipCancelMessage> cancel(new NvSipCancelMessage());
    if (invite.getURI()) cancel->setURI(NvHandle<NvURI>(static_cast<NvURI*>(invite.getURI()->clone())));
    if (const auto via = invite.getTopVia()) cancel->addHeader(copyOf(via));
    const auto maxForwards = given ? given->getHeader<NvSipMaxForwardsHeader>() : NvHandle<NvSipMaxForwardsHeader>();
    cancel->addHeader(maxForwards ? copyOf(maxForwards)
                                  : NvHandle<NvSipHeader>(
                                        new NvSipMaxForwardsHeader(NvSipTransactionManager::m_MaxForward)));
    for (const auto& route : invite.getHeaders<NvSipRouteHeader>()) cancel->addHeader(copyOf(route));
    if (const auto from = invite.getFromHeader()) cancel->addHeader(copyOf(from));
    if (const auto to = invite.getToHeader()) cancel->addHeader(copyOf(to));
    if (const auto callId = invite.getCallIDHeader()) cancel->addHeader(copyOf(callId));
    cancel->addHeader(
        NvHandle<NvSipHeader>(new NvSipCSeqHeader(cseq ? cseq->getNumber() : 0, NvSipCancelMessage::sMethodName)));
    if (given) {
        // The caller's own headers (Reason, ...) go with it; those that
        // identify the INVITE are the INVITE's, or the peer could not match it.
        for (const auto& header : given->getHeaders()) {
            switch (header->getID()) {
                case NvSipHeaderID::Via:
                case NvSipHeaderID::From:
                case NvSipHeaderID::To:
                case NvSipHeaderID::CallID:
                case NvSipHeaderID::CSeq:
                case NvSipHeaderID::Route:
                case NvSipHeaderID::MaxForwards:
                case NvSipHeaderID::ContentLength: break;
                default: cancel->addHeader(copyOf(header));
            }
        }
    }
    cancel->addHeader(NvHandle<NvSipHeader>(new NvSipContentLengthHeader(0)));
    return cancel;
}

void NvSipClientTransaction::sendCancel(NvHandle<NvSipCancelMessage> cancel) {
    NvHandle<NvSipClientTransactionInterface> interface;
    unsigned port;
    NvInetAddress address;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        interface = sTyped(m_hInterface);
        port = m_pImpl->destinationPort;
        address = m_pImpl->destination;
    }
    const NvHandle<NvSipCancelMessage> built = buildCancel(cancel);
    NvHandle<NvSipClientTransaction> transaction(
        new NvSipClientTransaction(NvHandle<NvSipRequest>(built), new CancelClientInterface(interface)));
    transaction->sendRequest(&port, &address);
}

NvSipTransaction::Outgoing NvSipClientTransaction::ackOf(const NvHandle<NvSipResponse>& response) const {
    // RFC 3261 17.1.1.3: built from the INVITE and the response (see NvSipAckMessage).
    NvHandle<NvSipAckMessage> ack(new NvSipAckMessage(response, m_Request));
    ack->addHeader(NvHandle<NvSipHeader>(new NvSipMaxForwardsHeader(NvSipTransactionManager::m_MaxForward)));
    return Outgoing{NvHandle<NvSipMessage>(ack), m_pImpl->destinationPort, m_pImpl->destination};
}

// ---------------------------------------------------------------- receiving

void NvSipClientTransaction::receiveResponse(const NvHandle<NvSipResponse>& response) {
    if (!response) return;
    NvHandle<NvSipClientTransaction> self(this);
    const int code = response->getStatusCode();
    using Report = void (NvSipClientTransactionInterface::*)(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse>);
    Report event = nullptr;
    bool cancel = false;
    NvHandle<NvSipCancelMessage> pendingCancel;
    NvHandle<NvSipClientTransactionInterface> interface;
    Actions actions;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        interface = sTyped(m_hInterface);
        switch (m_State) {
            case Calling:
            case Trying:
            case Proceeding:
                m_LastResponse = response;
                if (code < 200) {
                    if (m_State == Calling) stopTimers();  // A and B: an INVITE is no longer retransmitted
                    m_State = Proceeding;
                    if (m_bInvite && !m_pImpl->bCancelSent)  // each provisional gives the callee time again
                        startTimer(m_StateTimer, TimerProceeding, sm_ProceedingTimeoutMs);
                    if (!isReliableProvisional(*response))
                        event = &NvSipClientTransactionInterface::provisionalResponse;
                    else if (isNewReliable(*response))  // else a retransmission: not reported again
                        event = &NvSipClientTransactionInterface::reliableProvisionalResponse;
                    if (m_bInvite && m_pImpl->bCancelRequested && !m_pImpl->bCancelSent) {
                        cancel = true;
                        m_pImpl->bCancelSent = true;
                        pendingCancel = std::move(m_pImpl->hCancel);
                        startTimer(m_StateTimer, TimerCancel, 64 * NvSipTransactionManager::m_T1);
                    }
                    break;
                }
                stopTimers();
                m_pImpl->hCancel = nullptr;
                event = &NvSipClientTransactionInterface::finalResponse;
                if (m_bInvite && code >= 300) actions.messages.push_back(ackOf(response));
                // RFC 3261 17.1.1.2: a 2xx ends an INVITE at once; over a stream D and K are 0; over UDP
                // the manager absorbs a non-INVITE's retransmitted responses for timer K in its stead.
                if (!m_bInvite || code < 300 || m_pImpl->bReliable) {
                    m_State = Terminated;
                    actions.terminated = true;
                    actions.retired = !m_bInvite && !m_pImpl->bReliable;
                } else {
                    m_State = Completed;
                    startStateTimers();
                }
                break;
            case Completed:
                // A retransmitted final response: absorbed, the ACK goes again.
                if (m_bInvite && code >= 300) actions.messages.push_back(ackOf(response));
                break;
            default: break;
        }
    }
    if (interface) interface->receivedMessage(NvHandle<NvSipMessage>(response));
    if (cancel) {
        try {
            sendCancel(pendingCancel);
        } catch (...) {
            transportFailed(sDescribe(std::current_exception()));
        }
    }
    if (interface && event) actions.report = [interface, event, self, response] { ((*interface).*event)(self, response); };
    perform(actions);
}

bool NvSipClientTransaction::isNewReliable(const NvSipResponse& response) {
    const auto to = response.getToHeader();
    const uint32_t tag = static_cast<uint32_t>(std::hash<std::string>()(to ? to->getTag().str() : std::string()));
    const uint32_t rseq = response.getHeader<NvSipRSeqHeader>()->getNumber();
    auto& seen = m_pImpl->reliableSeen;
    for (auto& entry : seen) {
        if (entry.first != tag) continue;
        if (rseq <= entry.second) return false;
        entry.second = rseq;
        return true;
    }
    if (seen.size() >= kMaxReliableBranches) seen.erase(seen.begin());
    seen.emplace_back(tag, rseq);
    return true;
}

// ---------------------------------------------------------------- timers

void NvSipClientTransaction::onNotification(NvHandle<NvObservable> observable, NvHandle<NvObject> object) {
    NvHandle<NvSipClientTransaction> self(this);
    Timer timer;
    Actions actions;
    bool cancelOwn = false;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        if (!firedTimer(observable, object, timer)) return;
        const NvHandle<NvSipClientTransactionInterface> interface = sTyped(m_hInterface);
        const Outgoing again{NvHandle<NvSipMessage>(m_Request), m_pImpl->destinationPort, m_pImpl->destination};
        switch (timer) {
            case TimerA:
                if (m_State == Calling) {
                    actions.messages.push_back(again);
                    startTimer(m_Retransmit, TimerA, 2 * m_Retransmit.intervalMs);
                }
                break;
            case TimerE:
                if (m_State == Trying || m_State == Proceeding) {
                    actions.messages.push_back(again);
                    startTimer(m_Retransmit, TimerE,
                               m_State == Proceeding
                                   ? NvSipTransactionManager::m_T2
                                   : std::min(2 * m_Retransmit.intervalMs, NvSipTransactionManager::m_T2));
                }
                break;
            case TimerB:
            case TimerCancel:
            case TimerF:
                if (m_State == Calling || m_State == Trying || m_State == Proceeding) {
                    stopTimers();
                    m_State = Terminated;
                    m_pImpl->hCancel = nullptr;
                    actions.terminated = true;
                    if (interface) actions.report = [interface, self] { interface->timeOut(self); };
                }
                break;
            case TimerProceeding:
                if (m_State == Proceeding && !m_pImpl->bCancelSent) {
                    // Ringing without end: cancelled, then given up 64*T1 later if still unanswered.
                    cancelOwn = true;
                    m_pImpl->bCancelRequested = m_pImpl->bCancelSent = true;
                    startTimer(m_StateTimer, TimerCancel, 64 * NvSipTransactionManager::m_T1);
                }
                break;
            case TimerD:
            case TimerK:
                if (m_State == Completed) {
                    m_State = Terminated;
                    actions.terminated = true;
                }
                break;
            default: break;
        }
    }
    try {
        perform(actions);
        if (cancelOwn) {
            TELLAR_WARN(sLogger(), "No final response to INVITE " << getInitialRequest()->getCallID().str() << " in "
                                                                  << sm_ProceedingTimeoutMs << " ms: cancelling it");
            sendCancel(NvHandle<NvSipCancelMessage>());
        }
    } catch (...) {
        const auto request = getInitialRequest();
        TELLAR_WARN(sLogger(), "Timer of " << request->getMethod().str() << " " << request->getCallID().str()
                                           << " failed: " << sDescribe(std::current_exception()));
    }
}

// ---------------------------------------------------------------- snapshot

namespace {
constexpr uint8_t kClientSnapshot = 'C';
enum ClientFlags : uint8_t { kReliable = 2, kCancelRequested = 4, kCancelSent = 8 };
}  // namespace

void NvSipClientTransaction::serialize(NvOutputStream& out) const {
    Snapshot snapshot;
    NvHandle<NvSipCancelMessage> cancel;
    std::vector<std::pair<uint32_t, uint32_t>> reliableSeen;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        snapshot = snapshotOf(m_pImpl->destinationPort, m_pImpl->destination);
        if (m_pImpl->bReliable) snapshot.flags |= kReliable;
        if (m_pImpl->bCancelRequested) snapshot.flags |= kCancelRequested;
        if (m_pImpl->bCancelSent) snapshot.flags |= kCancelSent;
        cancel = m_pImpl->hCancel;
        reliableSeen = m_pImpl->reliableSeen;
    }
    sWriteSnapshot(out, kClientSnapshot, snapshot);
    sWriteMessage(out, cancel.get());
    sWriteU32(out, static_cast<uint32_t>(reliableSeen.size()));
    for (const auto& entry : reliableSeen) {
        sWriteU32(out, entry.first);
        sWriteU32(out, entry.second);
    }
}

NvHandle<NvSipClientTransaction> NvSipClientTransaction::sCreateFrom(NvInputStream& in,
                                                                     NvSipClientTransactionInterface* interface) {
    const char* const kind = "client";
    const Snapshot snapshot = sReadSnapshot(in, kClientSnapshot, kind);
    const NvHandle<NvSipMessage> cancelMessage = sReadMessage(in);
    const uint32_t reliableCount = sReadU32(in);
    if (reliableCount > kMaxReliableBranches) sCorrupt(kind, "too many reliable responses");
    std::vector<std::pair<uint32_t, uint32_t>> reliableSeen;
    for (uint32_t i = 0; i < reliableCount; ++i) {
        const uint32_t tag = sReadU32(in);
        reliableSeen.emplace_back(tag, sReadU32(in));
    }
    const NvHandle<NvSipCancelMessage> cancel(cancelMessage);
    if (cancelMessage && !cancel) sCorrupt(kind, "the pending CANCEL is not a CANCEL");
    const bool invite = (snapshot.flags & kSnapshotInvite) != 0;
    if (snapshot.state == (invite ? Trying : Calling) || snapshot.state == Confirmed)
        sCorrupt(kind, std::string(invite ? "an INVITE" : "a non-INVITE") + " transaction in " +
                           sStateName(snapshot.state));

    NvHandle<NvSipClientTransaction> transaction(new NvSipClientTransaction(snapshot.request, interface));
    Impl& impl = *transaction->m_pImpl;
    const bool live = snapshot.state != Initial && snapshot.state != Terminated;
    {
        std::lock_guard<NvMutex> lock(transaction->m_Mutex);
        transaction->m_State = snapshot.state;
        transaction->m_LastResponse = snapshot.response;
        impl.hCancel = cancel;
        impl.destination = snapshot.address;
        impl.destinationPort = snapshot.port;
        impl.bReliable = (snapshot.flags & kReliable) != 0;
        impl.bCancelRequested = (snapshot.flags & kCancelRequested) != 0;
        impl.bCancelSent = (snapshot.flags & kCancelSent) != 0;
        impl.reliableSeen = std::move(reliableSeen);
        if (live) transaction->m_Key = sClientKey(*snapshot.request);
        // The timers of the state start again from their beginning.
        transaction->startStateTimers();
    }
    if (live) NvSipTransactionManager::getInstance()->addTransaction(NvHandle<NvSipTransaction>(transaction));
    if (!invite && snapshot.state == Completed) {  // it has its final response: it only lingers
        Actions lingering;
        lingering.lingering = true;
        transaction->perform(lingering);
    }
    return transaction;
}
