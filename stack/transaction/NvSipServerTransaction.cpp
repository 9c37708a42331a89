#include "stack/transaction/NvSipServerTransaction.h"

#include "stack/base/NvException.h"
#include "stack/base/NvStream.h"
#include "stack/log/TellarLogger.h"
#include "stack/sip/NvSipIdentifiers.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

unsigned int NvSipServerTransaction::sm_ProceedingTimeoutMs = 3 * 60 * 1000;

struct NvSipServerTransaction::Impl {
    // The destination the caller gave for the last response, used again
    // when it is retransmitted.
    NvInetAddress overrideAddress;
    uint16_t overridePort = 0;
    bool bReliable = false;         // received over a stream transport: no G, I and J are 0
    bool bRequestReported = false;  // `request` was reported
    bool bTimedOut = false;         // the proceeding time-out was reported
    bool bSendFinalOnTimeout = false;
    NvString toTag;  // our To tag, chosen once (empty until a response above 100)
};

NvSipServerTransaction::NvSipServerTransaction(NvHandle<NvSipRequest> request,
                                               NvSipServerTransactionInterface* interface)
    : NvSipTransaction(std::move(request), interface), m_pImpl(new Impl) {
    const NvSipRequest& received = *m_Request;
    m_pImpl->bReliable = received.isReceived() && received.getTransport() != NvSocketImpl::UDP;
    m_Key = sServerKey(received, received.getMethod().view());
    m_State = m_bInvite ? Proceeding : Trying;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        startStateTimers();
    }
    NvSipTransactionManager::getInstance()->addTransaction(NvHandle<NvSipTransaction>(this));
}

NvSipServerTransaction::~NvSipServerTransaction() { delete m_pImpl; }

void NvSipServerTransaction::startStateTimers() {
    const uint32_t t1 = NvSipTransactionManager::m_T1;
    if (m_pImpl->bTimedOut && (m_State == Trying || m_State == Proceeding || m_State == Completed)) {
        startTimer(m_StateTimer, TimerLinger, 64 * t1);  // absorbs retransmissions, then ends it
        return;
    }
    switch (m_State) {
        case Trying:
        case Proceeding: startTimer(m_StateTimer, TimerProceeding, sm_ProceedingTimeoutMs); break;
        case Completed:
            if (m_bInvite && !m_pImpl->bReliable)
                startTimer(m_Retransmit, TimerG, std::min(t1, NvSipTransactionManager::m_T2));
            startTimer(m_StateTimer, m_bInvite ? TimerH : TimerJ, 64 * t1);
            break;
        case Confirmed: startTimer(m_StateTimer, TimerI, NvSipTransactionManager::m_T4); break;
        default: break;
    }
}

NvHandle<NvSipServerTransactionInterface> NvSipServerTransaction::sTyped(
    const NvHandle<NvSipTransactionInterface>& interface) {
    return NvHandle<NvSipServerTransactionInterface>(static_cast<NvSipServerTransactionInterface*>(interface.get()));
}

NvHandle<NvSipServerTransactionInterface> NvSipServerTransaction::getInterface() const {
    return sTyped(currentInterface());
}

void NvSipServerTransaction::setInterface(NvSipServerTransactionInterface* interface) {
    NvHandle<NvSipTransactionInterface> old(interface);  // released after the lock
    std::lock_guard<NvMutex> lock(m_Mutex);
    if (m_State != Terminated && (m_bInvite || m_State != Completed)) std::swap(old, m_hInterface);
}

void NvSipServerTransaction::setOnTimeoutSendFinalResponse(bool send) {
    std::lock_guard<NvMutex> lock(m_Mutex);
    m_pImpl->bSendFinalOnTimeout = send;
}

void NvSipServerTransaction::reportTransportError(const NvHandle<NvSipTransactionInterface>& interface,
                                                  const std::string& reason) {
    sTyped(interface)->transportError(NvHandle<NvSipServerTransaction>(this), reason);
}

bool NvSipServerTransaction::mayStillSend(const NvSipMessage& message) const {
    // No provisional response leaves after the final one.
    return static_cast<const NvSipResponse&>(message).getStatusCode() >= 200 || m_State == Trying ||
           m_State == Proceeding;
}

// ---------------------------------------------------------------- responses

bool NvSipServerTransaction::canSendFinalResponse() const {
    std::lock_guard<NvMutex> lock(m_Mutex);
    return whyNot(200).empty();
}

std::string NvSipServerTransaction::whyNot(int code) const {
    if (m_State == Completed || m_State == Confirmed) return "a final response was sent";
    if (m_State == Terminated) return "the transaction has ended";
    if (m_pImpl->bTimedOut && (code < 200 || !m_pImpl->bSendFinalOnTimeout)) return "the transaction timed out";
    return std::string();
}

NvHandle<NvSipResponse> NvSipServerTransaction::buildResponse(unsigned int statusCode) {
    checkStatus(static_cast<int>(statusCode));
    NvHandle<NvSipResponse> response(new NvSipResponse(static_cast<int>(statusCode), getInitialRequest()));
    const auto to = response->getToHeader();
    if (statusCode > 100 && to && to->getTag().isEmpty()) {
        // RFC 3261 8.2.6.2: our tag, the same in every response of the transaction.
        std::lock_guard<NvMutex> lock(m_Mutex);
        if (m_pImpl->toTag.isEmpty()) m_pImpl->toTag = NvSipTag::reGenerate(nullptr);
        to->setTag(m_pImpl->toTag.view());
    }
    return response;
}

void NvSipServerTransaction::checkStatus(int code) {
    if (code < 100 || code > 699)
        NvException::sThrow("NvSipServerTransaction: status " + std::to_string(code) + " is outside 100-699");
}

void NvSipServerTransaction::sendResponse(unsigned int statusCode) {
    respond(buildResponse(statusCode), nullptr, nullptr, true);
}

bool NvSipServerTransaction::trySendResponse(unsigned int statusCode) {
    return respond(buildResponse(statusCode), nullptr, nullptr, false);
}

void NvSipServerTransaction::sendResponse(NvHandle<NvSipResponse> response, unsigned* port, NvInetAddress* address) {
    respond(std::move(response), port, address, true);
}

bool NvSipServerTransaction::trySendResponse(NvHandle<NvSipResponse> response, unsigned* port,
                                             NvInetAddress* address) {
    return respond(std::move(response), port, address, false);
}

bool NvSipServerTransaction::respond(NvHandle<NvSipResponse> response, unsigned* port, NvInetAddress* address,
                                     bool raise) {
    if (!response) NvException::sThrow("NvSipServerTransaction::sendResponse: no response");
    const int code = response->getStatusCode();
    checkStatus(code);
    NvHandle<NvSipServerTransaction> self(this);
    Actions actions;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        const std::string refusal = whyNot(code);
        if (!refusal.empty()) {
            if (!raise) return false;
            const auto& request = m_Request;
            NvException::sThrow("Cannot send " + std::to_string(code) + " to " + request->getMethod().str() + " " +
                                request->getCallID().str() + ": " + refusal);
        }
        const auto to = response->getToHeader();
        if (code > 100 && m_pImpl->toTag.isEmpty() && to) m_pImpl->toTag = to->getTag();
        m_LastResponse = response;
        m_pImpl->overridePort = port ? static_cast<uint16_t>(*port) : 0;
        m_pImpl->overrideAddress = address ? *address : NvInetAddress();
        if (code < 200) {
            m_State = Proceeding;
        } else if ((m_bInvite && code < 300) || (!m_bInvite && !m_pImpl->bTimedOut &&
                                                 (m_pImpl->bReliable || !sIsLegacyKey(m_Key)))) {
            // A 2xx ends an INVITE (the caller retransmits it until the ACK); over a stream J is 0;
            // over UDP the manager answers retransmissions for timer J in the transaction's stead.
            stopTimers();
            m_State = Terminated;
            actions.terminated = true;
            actions.retired = !m_bInvite && !m_pImpl->bReliable;
        } else {
            m_State = Completed;
            // Sent once after the time-out: the linger timer running ends the transaction.
            if (!m_pImpl->bTimedOut) startStateTimers();
            actions.lingering = !m_bInvite;
        }
        actions.messages.push_back(Outgoing{NvHandle<NvSipMessage>(response), m_pImpl->overridePort,
                                            m_pImpl->overrideAddress});
    }
    const bool sent = perform(actions);
    if (port) *port = actions.messages.front().port;
    if (address) *address = actions.messages.front().address;
    return sent;
}

void NvSipServerTransaction::sendReliableResponse(NvHandle<NvSipResponse> response) {
    if (!response || response->getStatusCode() <= 100 || response->getStatusCode() >= 200)
        NvException::sThrow("NvSipServerTransaction::sendReliableResponse: not a 101-199 response");
    if (!response->isRequired("100rel")) response->addHeader(NvHandle<NvSipHeader>(new NvSipRequireHeader("100rel")));
    sendResponse(response);
}

// ---------------------------------------------------------------- requests

void NvSipServerTransaction::receiveRequest(const NvHandle<NvSipRequest>& request) {
    if (!request) return;
    NvHandle<NvSipServerTransaction> self(this);
    const bool isAck = request->getMethod() == NvSipAckMessage::sMethodName;
    bool reportRequest = false;
    bool reportAck = false;
    NvHandle<NvSipServerTransactionInterface> interface;
    Actions actions;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        interface = sTyped(m_hInterface);
        if (isAck) {
            if (m_bInvite && m_State == Completed) {
                // RFC 3261 17.2.1: the ACK of our failure response.
                stopTimers();
                m_State = m_pImpl->bReliable ? Terminated : Confirmed;  // over a stream I is 0
                actions.terminated = m_pImpl->bReliable;
                startStateTimers();
                reportAck = true;
            }
        } else if (!m_pImpl->bRequestReported) {
            m_pImpl->bRequestReported = true;
            reportRequest = true;
        } else if ((m_State == Proceeding || m_State == Completed) && m_LastResponse) {
            // A retransmission: absorbed, the last response goes again.
            actions.messages.push_back(Outgoing{NvHandle<NvSipMessage>(m_LastResponse),
                                                m_pImpl->overridePort, m_pImpl->overrideAddress});
        }
    }
    if (interface) interface->receivedMessage(NvHandle<NvSipMessage>(request));
    if (interface && reportAck) actions.report = [interface, self, request] { interface->ack(self, NvHandle<NvSipAckMessage>(request)); };
    if (interface && reportRequest) actions.report = [interface, self, request] { interface->request(self, request); };
    perform(actions);
    if (reportRequest && m_bInvite) sendTryingIfUnanswered(request);
}

void NvSipServerTransaction::sendTryingIfUnanswered(const NvHandle<NvSipRequest>& request) {
    Actions actions;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        if (m_State != Proceeding || m_LastResponse || m_pImpl->bTimedOut) return;
        const NvHandle<NvSipResponse> trying(new NvSipResponse(100, request));
        m_LastResponse = trying;
        actions.messages.push_back(Outgoing{NvHandle<NvSipMessage>(trying), 0, NvInetAddress()});
    }
    perform(actions);
}

void NvSipServerTransaction::receiveCancel(const NvHandle<NvSipServerTransaction>& cancelTransaction,
                                           const NvHandle<NvSipCancelMessage>& cancel) {
    NvHandle<NvSipServerTransaction> self(this);
    NvHandle<NvSipServerTransactionInterface> interface;
    bool report;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        interface = sTyped(m_hInterface);
        report = m_bInvite && m_State == Proceeding && interface;
    }
    if (report) interface->cancel(cancelTransaction, cancel);
    // RFC 3261 9.2: whatever the interface left unanswered. After the final
    // response the CANCEL changes nothing and only gets its 200.
    if (cancelTransaction) cancelTransaction->trySendResponse(200);
    if (report) trySendResponse(487);
}

// ---------------------------------------------------------------- timers

void NvSipServerTransaction::onNotification(NvHandle<NvObservable> observable, NvHandle<NvObject> object) {
    NvHandle<NvSipServerTransaction> self(this);
    Timer timer;
    Actions actions;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        if (!firedTimer(observable, object, timer)) return;
        const NvHandle<NvSipServerTransactionInterface> interface = sTyped(m_hInterface);
        switch (timer) {
            case TimerG:
                if (m_State == Completed) {
                    actions.messages.push_back(Outgoing{NvHandle<NvSipMessage>(m_LastResponse),
                                                        m_pImpl->overridePort, m_pImpl->overrideAddress});
                    startTimer(m_Retransmit, TimerG,
                               std::min(2 * m_Retransmit.intervalMs, NvSipTransactionManager::m_T2));
                }
                break;
            case TimerH:
                if (m_State == Completed) {
                    stopTimers();
                    m_State = Terminated;
                    actions.terminated = true;
                    if (interface) actions.report = [interface, self] { interface->timeOut(self); };
                }
                break;
            case TimerI:
            case TimerJ:
            case TimerLinger:
                if (m_State != Terminated) {
                    stopTimers();
                    m_State = Terminated;
                    actions.terminated = true;
                }
                break;
            case TimerProceeding:
                if ((m_State == Trying || m_State == Proceeding) && !m_pImpl->bTimedOut) {
                    // No final response in time: the owner is told, and the
                    // transaction stays to absorb retransmissions a while.
                    m_pImpl->bTimedOut = true;
                    startStateTimers();
                    if (interface) actions.report = [interface, self] { interface->timeOut(self); };
                }
                break;
            default: break;
        }
    }
    try {
        perform(actions);
    } catch (...) {
        const auto request = getInitialRequest();
        TELLAR_WARN(sLogger(), "Timer of " << request->getMethod().str() << " " << request->getCallID().str()
                                           << " failed: " << sDescribe(std::current_exception()));
    }
}

// ---------------------------------------------------------------- snapshot

namespace {
constexpr uint8_t kServerSnapshot = 'S';
enum ServerFlags : uint8_t { kReliable = 2, kRequestReported = 4, kTimedOut = 8, kSendFinalOnTimeout = 16 };
}  // namespace

void NvSipServerTransaction::serialize(NvOutputStream& out) const {
    Snapshot snapshot;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        snapshot = snapshotOf(m_pImpl->overridePort, m_pImpl->overrideAddress);
        if (m_pImpl->bReliable) snapshot.flags |= kReliable;
        if (m_pImpl->bRequestReported) snapshot.flags |= kRequestReported;
        if (m_pImpl->bTimedOut) snapshot.flags |= kTimedOut;
        if (m_pImpl->bSendFinalOnTimeout) snapshot.flags |= kSendFinalOnTimeout;
    }
    sWriteSnapshot(out, kServerSnapshot, snapshot);
}

NvHandle<NvSipServerTransaction> NvSipServerTransaction::sCreateFrom(NvInputStream& in,
                                                                     NvSipServerTransactionInterface* interface) {
    const char* const kind = "server";
    const Snapshot snapshot = sReadSnapshot(in, kServerSnapshot, kind);
    const bool invite = (snapshot.flags & kSnapshotInvite) != 0;
    const State state = snapshot.state;
    if (state == Initial || state == Calling || state == (invite ? Trying : Confirmed))
        sCorrupt(kind, std::string(invite ? "an INVITE" : "a non-INVITE") + " transaction in " + sStateName(state));
    if ((state == Completed || state == Confirmed) && !snapshot.response)
        sCorrupt(kind, "a final state without a response");

    // Built (and registered under the request's key) as a new transaction, then put back in its state.
    NvHandle<NvSipServerTransaction> transaction(new NvSipServerTransaction(snapshot.request, interface));
    Impl& impl = *transaction->m_pImpl;
    {
        std::lock_guard<NvMutex> lock(transaction->m_Mutex);
        transaction->stopTimers();
        transaction->m_State = state;
        transaction->m_LastResponse = snapshot.response;
        impl.overrideAddress = snapshot.address;
        impl.overridePort = snapshot.port;
        impl.bReliable = (snapshot.flags & kReliable) != 0;
        impl.bRequestReported = (snapshot.flags & kRequestReported) != 0;
        impl.bTimedOut = (snapshot.flags & kTimedOut) != 0;
        impl.bSendFinalOnTimeout = (snapshot.flags & kSendFinalOnTimeout) != 0;
        if (const auto to = snapshot.response ? snapshot.response->getToHeader() : NvHandle<NvSipToHeader>())
            impl.toTag = to->getTag();
        transaction->startStateTimers();  // from their beginning
    }
    if (state == Terminated || (!invite && state == Completed)) {
        Actions ended;
        ended.terminated = state == Terminated;
        ended.lingering = state == Completed;
        transaction->perform(ended);
    }
    return transaction;
}
