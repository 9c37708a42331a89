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
    NvHandle<NvSipClientTransactionInterface> hInterface;
    NvHandle<NvSipResponse> hLastResponse;
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

NvSipClientTransaction::NvSipClientTransaction(NvHandle<NvSipRequest> request,
                                               NvSipClientTransactionInterface* interface)
    : NvSipTransaction(std::move(request)), m_pImpl(new Impl) {
    m_pImpl->hInterface = interface;
}

NvSipClientTransaction::~NvSipClientTransaction() { delete m_pImpl; }

NvHandle<NvSipClientTransactionInterface> NvSipClientTransaction::getInterface() const {
    std::lock_guard<NvMutex> lock(m_Mutex);
    return m_pImpl->hInterface;
}

NvHandle<NvSipResponse> NvSipClientTransaction::getLastResponse() const {
    std::lock_guard<NvMutex> lock(m_Mutex);
    return m_pImpl->hLastResponse;
}

// ---------------------------------------------------------------- sending

void NvSipClientTransaction::sendRequest(unsigned* port, NvInetAddress* address) {
    NvHandle<NvSipClientTransaction> self(this);
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        if (m_State != Initial)
            NvException::sThrow("Cannot send " + m_hRequest->getMethod().str() + " " + m_hRequest->getCallID().str() +
                                ": the transaction is " + sStateName(m_State));
        m_State = m_bInvite ? Calling : Trying;
    }
    // The request is ours from here on: no lock is needed to complete it.
    const auto topVia = m_hRequest->getTopVia();
    if (!topVia || !topVia->hasRFC3261Branch()) NvSipTransportLayer::sGetInstance()->addViaHeader(m_hRequest);
    if (!m_hRequest->getHeader<NvSipMaxForwardsHeader>())
        m_hRequest->addHeader(NvHandle<NvSipHeader>(new NvSipMaxForwardsHeader(NvSipTransactionManager::m_MaxForward)));
    m_Key = sClientKey(*m_hRequest);
    if (m_Key.isEmpty()) {
        std::lock_guard<NvMutex> lock(m_Mutex);
        m_State = Terminated;
        NvException::sThrow("Cannot send " + m_hRequest->getMethod().str() + ": the request has no CSeq header");
    }

    NvSipTransactionManager* manager = NvSipTransactionManager::getInstance();
    manager->addTransaction(NvHandle<NvSipTransaction>(self));
    unsigned destinationPort = port ? *port : 0;
    NvInetAddress destination = address ? *address : NvInetAddress();
    try {
        NvSipTransportLayer::send(NvHandle<NvSipMessage>(m_hRequest), &destinationPort, &destination);
    } catch (...) {
        {
            std::lock_guard<NvMutex> lock(m_Mutex);
            m_State = Terminated;
            stopTimers();
        }
        manager->removeTransaction(NvHandle<NvSipTransaction>(self));
        throw;
    }

    NvHandle<NvSipClientTransactionInterface> interface;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        m_pImpl->destination = destination;
        m_pImpl->destinationPort = static_cast<uint16_t>(destinationPort);
        // The Via names the transport actually used (send() may have moved a large request to TCP).
        const auto via = m_hRequest->getTopVia();
        m_pImpl->bReliable = via && !via->getTransport().equalsIgnoreCase("UDP");
        // A response may have come in meanwhile (another thread): time only the state we are still in.
        if (m_State == Calling) {
            if (!m_pImpl->bReliable) startTimer(m_Retransmit, TimerA, NvSipTransactionManager::m_T1);
            startTimer(m_StateTimer, TimerB, 64 * NvSipTransactionManager::m_T1);
        } else if (!m_bInvite && (m_State == Trying || m_State == Proceeding)) {
            if (!m_pImpl->bReliable)
                startTimer(m_Retransmit, TimerE,
                           m_State == Proceeding
                               ? NvSipTransactionManager::m_T2
                               : std::min(NvSipTransactionManager::m_T1, NvSipTransactionManager::m_T2));
            startTimer(m_StateTimer, TimerF, 64 * NvSipTransactionManager::m_T1);
        }
        interface = m_pImpl->hInterface;
    }
    if (port) *port = destinationPort;
    if (address) *address = destination;
    if (interface) interface->sendingMessage(NvHandle<NvSipMessage>(m_hRequest), &destinationPort, &destination);
}

void NvSipClientTransaction::cancel(NvHandle<NvSipCancelMessage> cancel) {
    if (!m_bInvite)
        NvException::sThrow("Cannot cancel " + m_hRequest->getMethod().str() + ": only an INVITE can be cancelled");
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
    const NvSipRequest& invite = *m_hRequest;
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

NvSipClientTransaction::SendContext NvSipClientTransaction::sendContext() const {
    std::lock_guard<NvMutex> lock(m_Mutex);
    return SendContext{m_pImpl->hInterface, m_pImpl->destinationPort, m_pImpl->destination};
}

void NvSipClientTransaction::sendCancel(NvHandle<NvSipCancelMessage> cancel) {
    SendContext context = sendContext();
    const NvHandle<NvSipCancelMessage> built = buildCancel(cancel);
    NvHandle<NvSipClientTransaction> transaction(
        new NvSipClientTransaction(NvHandle<NvSipRequest>(built), new CancelClientInterface(context.interface)));
    transaction->sendRequest(&context.port, &context.address);
}

void NvSipClientTransaction::sendAck(const NvHandle<NvSipResponse>& response) {
    SendContext context = sendContext();
    NvHandle<NvSipClientTransactionInterface>& interface = context.interface;
    unsigned& port = context.port;
    NvInetAddress& address = context.address;
    // RFC 3261 17.1.1.3: built from the INVITE and the response (see NvSipAckMessage).
    NvHandle<NvSipAckMessage> ack(new NvSipAckMessage(response, m_hRequest));
    ack->addHeader(NvHandle<NvSipHeader>(new NvSipMaxForwardsHeader(NvSipTransactionManager::m_MaxForward)));
    NvSipTransportLayer::send(NvHandle<NvSipMessage>(ack), &port, &address);
    if (interface) interface->sendingMessage(NvHandle<NvSipMessage>(ack), &port, &address);
}

// ---------------------------------------------------------------- receiving

void NvSipClientTransaction::receiveResponse(const NvHandle<NvSipResponse>& response) {
    if (!response) return;
    NvHandle<NvSipClientTransaction> self(this);
    const int code = response->getStatusCode();
    enum class Event { None, Provisional, Reliable, Final } event = Event::None;
    bool ack = false;
    bool terminated = false;
    bool cancel = false;
    NvHandle<NvSipCancelMessage> pendingCancel;
    NvHandle<NvSipClientTransactionInterface> interface;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        interface = m_pImpl->hInterface;
        switch (m_State) {
            case Calling:
            case Trying:
            case Proceeding:
                if (code < 200) {
                    if (m_State == Calling) stopTimers();  // A and B: an INVITE is no longer retransmitted
                    m_State = Proceeding;
                    m_pImpl->hLastResponse = response;
                    if (!isReliableProvisional(*response))
                        event = Event::Provisional;
                    else if (isNewReliable(*response))
                        event = Event::Reliable;  // else a retransmission: not reported again
                    if (m_bInvite && m_pImpl->bCancelRequested && !m_pImpl->bCancelSent) {
                        cancel = true;
                        m_pImpl->bCancelSent = true;
                        pendingCancel = std::move(m_pImpl->hCancel);
                        startTimer(m_StateTimer, TimerCancel, 64 * NvSipTransactionManager::m_T1);
                    }
                    break;
                }
                stopTimers();
                m_pImpl->hLastResponse = response;
                m_pImpl->hCancel = nullptr;
                event = Event::Final;
                if (m_bInvite && code < 300) {
                    m_State = Terminated;  // RFC 3261 17.1.1.2: the 2xx ends it at once
                    terminated = true;
                } else if (m_bInvite) {
                    ack = true;
                    m_State = Completed;
                    if (m_pImpl->bReliable) {
                        m_State = Terminated;
                        terminated = true;
                    } else {
                        startTimer(m_StateTimer, TimerD, kTimerDMs);
                    }
                } else {
                    m_State = Completed;
                    if (m_pImpl->bReliable) {
                        m_State = Terminated;
                        terminated = true;
                    } else {
                        startTimer(m_StateTimer, TimerK, NvSipTransactionManager::m_T4);
                    }
                }
                break;
            case Completed:
                // A retransmitted final response: absorbed, the ACK goes again.
                ack = m_bInvite && code >= 300;
                break;
            default: break;
        }
    }
    if (interface) interface->receivedMessage(NvHandle<NvSipMessage>(response));
    if (cancel) {
        try {
            sendCancel(pendingCancel);
        } catch (...) {
            TELLAR_WARN(sLogger(), "Sending the CANCEL of " << m_hRequest->getCallID().str() << " failed: "
                                                                      << sDescribe(std::current_exception()));
        }
    }
    if (ack) {
        try {
            sendAck(response);
        } catch (...) {
            TELLAR_WARN(sLogger(), "Sending the ACK of " << m_hRequest->getCallID().str() << " failed: "
                                                                   << sDescribe(std::current_exception()));
        }
    }
    if (terminated) NvSipTransactionManager::getInstance()->removeTransaction(NvHandle<NvSipTransaction>(self));
    if (!interface) return;
    switch (event) {
        case Event::Provisional: interface->provisionalResponse(self, response); break;
        case Event::Reliable: interface->reliableProvisionalResponse(self, response); break;
        case Event::Final: interface->finalResponse(self, response); break;
        case Event::None: break;
    }
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
    bool retransmit = false;
    bool timeout = false;
    bool terminated = false;
    NvHandle<NvSipClientTransactionInterface> interface;
    unsigned port = 0;
    NvInetAddress address;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        if (!firedTimer(observable, object, timer)) return;
        interface = m_pImpl->hInterface;
        port = m_pImpl->destinationPort;
        address = m_pImpl->destination;
        switch (timer) {
            case TimerA:
                if (m_State == Calling) {
                    retransmit = true;
                    startTimer(m_Retransmit, TimerA, 2 * m_Retransmit.intervalMs);
                }
                break;
            case TimerE:
                if (m_State == Trying || m_State == Proceeding) {
                    retransmit = true;
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
                    timeout = terminated = true;
                }
                break;
            case TimerD:
            case TimerK:
                if (m_State == Completed) {
                    m_State = Terminated;
                    terminated = true;
                }
                break;
            default: break;
        }
    }
    try {
        if (retransmit) {
            NvSipTransportLayer::send(NvHandle<NvSipMessage>(m_hRequest), &port, &address);
            if (interface) interface->sendingMessage(NvHandle<NvSipMessage>(m_hRequest), &port, &address);
        }
        if (terminated) NvSipTransactionManager::getInstance()->removeTransaction(NvHandle<NvSipTransaction>(self));
        if (timeout && interface) interface->timeOut(self);
    } catch (...) {
        TELLAR_WARN(sLogger(), "Timer of " << m_hRequest->getMethod().str() << " "
                                                     << m_hRequest->getCallID().str()
                                                     << " failed: " << sDescribe(std::current_exception()));
    }
}

// ---------------------------------------------------------------- snapshot

namespace {
constexpr uint8_t kClientSnapshot = 'C';
constexpr uint8_t kSnapshotVersion = 1;
enum ClientFlags : uint8_t { kInvite = 1, kReliable = 2, kCancelRequested = 4, kCancelSent = 8 };
}  // namespace

void NvSipClientTransaction::serialize(NvOutputStream& out) const {
    State state;
    uint8_t flags = 0;
    NvHandle<NvSipResponse> response;
    NvHandle<NvSipCancelMessage> cancel;
    NvInetAddress destination;
    uint16_t port;
    std::vector<std::pair<uint32_t, uint32_t>> reliableSeen;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        state = m_State;
        if (m_bInvite) flags |= kInvite;
        if (m_pImpl->bReliable) flags |= kReliable;
        if (m_pImpl->bCancelRequested) flags |= kCancelRequested;
        if (m_pImpl->bCancelSent) flags |= kCancelSent;
        response = m_pImpl->hLastResponse;
        cancel = m_pImpl->hCancel;
        destination = m_pImpl->destination;
        port = m_pImpl->destinationPort;
        reliableSeen = m_pImpl->reliableSeen;
    }
    out.write(kClientSnapshot);
    out.write(kSnapshotVersion);
    out.write(static_cast<uint8_t>(state));
    out.write(flags);
    sWriteMessage(out, m_hRequest.get());
    sWriteMessage(out, response.get());
    sWriteMessage(out, cancel.get());
    sWriteU32(out, port);
    sWriteText(out, destination.isValid() ? destination.toString().str() : std::string());
    sWriteU32(out, static_cast<uint32_t>(reliableSeen.size()));
    for (const auto& entry : reliableSeen) {
        sWriteU32(out, entry.first);
        sWriteU32(out, entry.second);
    }
}

NvHandle<NvSipClientTransaction> NvSipClientTransaction::sCreateFrom(NvInputStream& in,
                                                                     NvSipClientTransactionInterface* interface) {
    auto corrupt = [](const std::string& why) { NvException::sThrow("Corrupt client transaction snapshot: " + why); };
    if (in.readByte() != kClientSnapshot) corrupt("not a client transaction");
    if (in.readByte() != kSnapshotVersion) corrupt("unknown version");
    const uint8_t stateByte = in.readByte();
    const uint8_t flags = in.readByte();
    const NvHandle<NvSipRequest> request(sReadMessage(in));
    NvHandle<NvSipMessage> responseMessage = sReadMessage(in);
    NvHandle<NvSipMessage> cancelMessage = sReadMessage(in);
    const uint32_t port = sReadU32(in);
    const std::string destination = sReadText(in, 64);
    const uint32_t reliableCount = sReadU32(in);
    if (reliableCount > kMaxReliableBranches) corrupt("too many reliable responses");
    std::vector<std::pair<uint32_t, uint32_t>> reliableSeen;
    for (uint32_t i = 0; i < reliableCount; ++i) {
        const uint32_t tag = sReadU32(in);
        reliableSeen.emplace_back(tag, sReadU32(in));
    }

    if (!request || !request->checkMandatoryHeaders().isEmpty()) corrupt("no valid request");
    const NvHandle<NvSipResponse> response(responseMessage);
    if (responseMessage && !response) corrupt("the last response is a request");
    const NvHandle<NvSipCancelMessage> cancel(cancelMessage);
    if (cancelMessage && !cancel) corrupt("the pending CANCEL is not a CANCEL");
    if (port > 65535) corrupt("port " + std::to_string(port));
    const NvInetAddress address = NvInetAddress::sParse(destination);
    if (!destination.empty() && !address.isValid()) corrupt("address '" + destination + "'");
    const bool invite = request->getMethod() == NvSipInviteMessage::sMethodName;
    if (invite != ((flags & kInvite) != 0)) corrupt("INVITE flag does not match the request");
    const State state = static_cast<State>(stateByte);
    switch (state) {
        case Initial:
        case Proceeding:
        case Completed:
        case Terminated: break;
        case Calling:
            if (!invite) corrupt("a non-INVITE transaction in Calling");
            break;
        case Trying:
            if (invite) corrupt("an INVITE transaction in Trying");
            break;
        default: corrupt("state " + std::to_string(stateByte));
    }

    NvHandle<NvSipClientTransaction> transaction(new NvSipClientTransaction(request, interface));
    Impl& impl = *transaction->m_pImpl;
    const bool live = state != Initial && state != Terminated;
    {
        std::lock_guard<NvMutex> lock(transaction->m_Mutex);
        transaction->m_State = state;
        impl.hLastResponse = response;
        impl.hCancel = cancel;
        impl.destination = address;
        impl.destinationPort = static_cast<uint16_t>(port);
        impl.bReliable = (flags & kReliable) != 0;
        impl.bCancelRequested = (flags & kCancelRequested) != 0;
        impl.bCancelSent = (flags & kCancelSent) != 0;
        impl.reliableSeen = std::move(reliableSeen);
        if (live) transaction->m_Key = sClientKey(*request);
        // The timers of the state start again from their beginning.
        const uint32_t t1 = NvSipTransactionManager::m_T1;
        const uint32_t t2 = NvSipTransactionManager::m_T2;
        switch (state) {
            case Calling:
                if (!impl.bReliable) transaction->startTimer(transaction->m_Retransmit, TimerA, t1);
                transaction->startTimer(transaction->m_StateTimer, TimerB, 64 * t1);
                break;
            case Trying:
            case Proceeding:
                if (invite) {
                    if (impl.bCancelSent) transaction->startTimer(transaction->m_StateTimer, TimerCancel, 64 * t1);
                    break;
                }
                if (!impl.bReliable)
                    transaction->startTimer(transaction->m_Retransmit, TimerE,
                                            state == Proceeding ? t2 : std::min(t1, t2));
                transaction->startTimer(transaction->m_StateTimer, TimerF, 64 * t1);
                break;
            case Completed:
                transaction->startTimer(transaction->m_StateTimer, invite ? TimerD : TimerK,
                                        invite ? kTimerDMs : NvSipTransactionManager::m_T4);
                break;
            default: break;
        }
    }
    if (live) NvSipTransactionManager::getInstance()->addTransaction(NvHandle<NvSipTransaction>(transaction));
    return transaction;
}
