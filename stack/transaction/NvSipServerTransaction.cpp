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
    NvHandle<NvSipServerTransactionInterface> hInterface;
    NvHandle<NvSipResponse> hLastResponse;
    // The destination the caller gave for the last response, used again
    // when it is retransmitted.
    NvInetAddress overrideAddress;
    uint16_t overridePort = 0;
    bool bReliable = false;         // received over a stream transport: no G, I and J are 0
    bool bRequestReported = false;  // `request` was reported
    bool bTimedOut = false;         // the proceeding time-out was reported
    bool bSendFinalOnTimeout = false;
};

NvSipServerTransaction::NvSipServerTransaction(NvHandle<NvSipRequest> request,
                                               NvSipServerTransactionInterface* interface)
    : NvSipTransaction(std::move(request)), m_pImpl(new Impl) {
    m_pImpl->hInterface = interface;
    m_pImpl->bReliable = m_hRequest->isReceived() && m_hRequest->getTransport() != NvSocketImpl::UDP;
    m_Key = sServerKey(*m_hRequest, m_hRequest->getMethod().view());
    m_State = m_bInvite ? Proceeding : Trying;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        startTimer(m_StateTimer, TimerProceeding, sm_ProceedingTimeoutMs);
    }
    NvSipTransactionManager::getInstance()->addTransaction(NvHandle<NvSipTransaction>(this));
}

NvSipServerTransaction::~NvSipServerTransaction() { delete m_pImpl; }

NvHandle<NvSipServerTransactionInterface> NvSipServerTransaction::getInterface() const {
    std::lock_guard<NvMutex> lock(m_Mutex);
    return m_pImpl->hInterface;
}

void NvSipServerTransaction::setInterface(NvSipServerTransactionInterface* interface) {
    NvHandle<NvSipServerTransactionInterface> old;  // released after the lock
    std::lock_guard<NvMutex> lock(m_Mutex);
    old = std::move(m_pImpl->hInterface);
    m_pImpl->hInterface = interface;
}

NvHandle<NvSipResponse> NvSipServerTransaction::getLastResponse() const {
    std::lock_guard<NvMutex> lock(m_Mutex);
    return m_pImpl->hLastResponse;
}

void NvSipServerTransaction::setOnTimeoutSendFinalResponse(bool send) {
    std::lock_guard<NvMutex> lock(m_Mutex);
    m_pImpl->bSendFinalOnTimeout = send;
}

// ---------------------------------------------------------------- responses

void NvSipServerTransaction::sendResponse(unsigned int statusCode) {
    NvHandle<NvSipResponse> response(new NvSipResponse(static_cast<int>(statusCode), m_hRequest));
    const auto to = response->getToHeader();
    if (statusCode > 100 && to && to->getTag().isEmpty()) {
        // RFC 3261 8.2.6.2: our tag, the same in every response of the transaction.
        const NvHandle<NvSipResponse> last = getLastResponse();
        const auto lastTo = last ? last->getToHeader() : NvHandle<NvSipToHeader>();
        const NvString tag = lastTo && !lastTo->getTag().isEmpty() ? lastTo->getTag() : NvSipTag::reGenerate(nullptr);
        to->setTag(tag.view());
    }
    sendResponse(response);
}

void NvSipServerTransaction::sendResponse(NvHandle<NvSipResponse> response, unsigned* port, NvInetAddress* address) {
    if (!response) NvException::sThrow("NvSipServerTransaction::sendResponse: no response");
    NvHandle<NvSipServerTransaction> self(this);
    const int code = response->getStatusCode();
    bool terminated = false;
    NvHandle<NvSipServerTransactionInterface> interface;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        if (m_State == Completed || m_State == Confirmed || m_State == Terminated)
            NvException::sThrow("Cannot send " + std::to_string(code) + " to " + m_hRequest->getMethod().str() + " " +
                                m_hRequest->getCallID().str() +
                                (m_State == Terminated ? ": the transaction has ended" : ": a final response was sent"));
        if (m_pImpl->bTimedOut && (code < 200 || !m_pImpl->bSendFinalOnTimeout))
            NvException::sThrow("Cannot send " + std::to_string(code) + " to " + m_hRequest->getMethod().str() + " " +
                                m_hRequest->getCallID().str() + ": the transaction timed out");
        m_pImpl->hLastResponse = response;
        m_pImpl->overridePort = port ? static_cast<uint16_t>(*port) : 0;
        m_pImpl->overrideAddress = address ? *address : NvInetAddress();
        const uint32_t t1 = NvSipTransactionManager::m_T1;
        if (code < 200) {
            m_State = Proceeding;
        } else if (m_bInvite && code < 300) {
            // The 2xx ends the transaction; the caller retransmits it until the ACK.
            stopTimers();
            m_State = Terminated;
            terminated = true;
        } else {
            m_State = Completed;
            if (m_pImpl->bTimedOut) {
                // Sent once after the time-out: the linger timer ends the transaction.
            } else if (m_bInvite) {
                stopTimer(m_StateTimer);
                if (!m_pImpl->bReliable) startTimer(m_Retransmit, TimerG, std::min(t1, NvSipTransactionManager::m_T2));
                startTimer(m_StateTimer, TimerH, 64 * t1);
            } else if (m_pImpl->bReliable) {
                stopTimers();
                m_State = Terminated;
                terminated = true;
            } else {
                startTimer(m_StateTimer, TimerJ, 64 * t1);
            }
        }
        interface = m_pImpl->hInterface;
    }
    unsigned usedPort = port ? *port : 0;
    NvInetAddress usedAddress = address ? *address : NvInetAddress();
    try {
        NvSipTransportLayer::send(NvHandle<NvSipMessage>(response), &usedPort, &usedAddress);
    } catch (...) {
        if (terminated) NvSipTransactionManager::getInstance()->removeTransaction(NvHandle<NvSipTransaction>(self));
        throw;
    }
    if (port) *port = usedPort;
    if (address) *address = usedAddress;
    if (terminated) NvSipTransactionManager::getInstance()->removeTransaction(NvHandle<NvSipTransaction>(self));
    if (interface) interface->sendingMessage(NvHandle<NvSipMessage>(response), &usedPort, &usedAddress);
}

void NvSipServerTransaction::sendReliableResponse(NvHandle<NvSipResponse> response) {
    if (!response || response->getStatusCode() <= 100 || response->getStatusCode() >= 200)
        NvException::sThrow("NvSipServerTransaction::sendReliableResponse: not a 101-199 response");
    if (!response->isRequired("100rel")) response->addHeader(NvHandle<NvSipHeader>(new NvSipRequireHeader("100rel")));
    sendResponse(response);
}

// Sends a response again (retransmission or absorbed request); failures are logged.
void NvSipServerTransaction::resend(const NvHandle<NvSipResponse>& response, unsigned port, NvInetAddress address,
                                    const NvHandle<NvSipServerTransactionInterface>& interface) {
    try {
        NvSipTransportLayer::send(NvHandle<NvSipMessage>(response), &port, &address);
        if (interface) interface->sendingMessage(NvHandle<NvSipMessage>(response), &port, &address);
    } catch (...) {
        TELLAR_WARN(sLogger(), "Sending " << response->getStatusCode() << " to "
                                                    << m_hRequest->getMethod().str() << " "
                                                    << m_hRequest->getCallID().str()
                                                    << " again failed: " << sDescribe(std::current_exception()));
    }
}

// ---------------------------------------------------------------- requests

void NvSipServerTransaction::receiveRequest(const NvHandle<NvSipRequest>& request) {
    if (!request) return;
    NvHandle<NvSipServerTransaction> self(this);
    const bool isAck = request->getMethod() == NvSipAckMessage::sMethodName;
    bool reportRequest = false;
    bool reportAck = false;
    bool terminated = false;
    NvHandle<NvSipResponse> toSend;
    unsigned port;
    NvInetAddress address;
    NvHandle<NvSipServerTransactionInterface> interface;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        interface = m_pImpl->hInterface;
        port = m_pImpl->overridePort;
        address = m_pImpl->overrideAddress;
        if (isAck) {
            if (m_bInvite && m_State == Completed) {
                // RFC 3261 17.2.1: the ACK of our failure response.
                stopTimers();
                m_State = Confirmed;
                if (m_pImpl->bReliable) {
                    m_State = Terminated;
                    terminated = true;
                } else {
                    startTimer(m_StateTimer, TimerI, NvSipTransactionManager::m_T4);
                }
                reportAck = true;
            }
        } else if (!m_pImpl->bRequestReported) {
            m_pImpl->bRequestReported = true;
            reportRequest = true;
            if (m_bInvite && m_State == Proceeding && !m_pImpl->hLastResponse && !m_pImpl->bTimedOut) {
                toSend = new NvSipResponse(100, request);
                m_pImpl->hLastResponse = toSend;
                port = 0;
                address = NvInetAddress();
            }
        } else if (m_State == Proceeding || m_State == Completed) {
            // A retransmission: absorbed, the last response goes again.
            toSend = m_pImpl->hLastResponse;
        }
    }
    if (interface) interface->receivedMessage(NvHandle<NvSipMessage>(request));
    if (toSend) resend(toSend, port, address, interface);
    if (terminated) NvSipTransactionManager::getInstance()->removeTransaction(NvHandle<NvSipTransaction>(self));
    if (!interface) return;
    if (reportAck) interface->ack(self, NvHandle<NvSipAckMessage>(request));
    if (reportRequest) interface->request(self, request);
}

void NvSipServerTransaction::receiveCancel(const NvHandle<NvSipServerTransaction>& cancelTransaction,
                                           const NvHandle<NvSipCancelMessage>& cancel) {
    NvHandle<NvSipServerTransaction> self(this);
    NvHandle<NvSipServerTransactionInterface> interface;
    bool report;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        interface = m_pImpl->hInterface;
        report = m_bInvite && m_State == Proceeding && interface;
    }
    if (report)
        interface->cancel(cancelTransaction, cancel);
    else if (cancelTransaction)
        cancelTransaction->sendResponse(200);  // RFC 3261 9.2: the CANCEL changes nothing now
}

// ---------------------------------------------------------------- timers

void NvSipServerTransaction::onNotification(NvHandle<NvObservable> observable, NvHandle<NvObject> object) {
    NvHandle<NvSipServerTransaction> self(this);
    Timer timer;
    bool timeout = false;
    bool terminated = false;
    NvHandle<NvSipResponse> toSend;
    unsigned port;
    NvInetAddress address;
    NvHandle<NvSipServerTransactionInterface> interface;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        if (!firedTimer(observable, object, timer)) return;
        interface = m_pImpl->hInterface;
        port = m_pImpl->overridePort;
        address = m_pImpl->overrideAddress;
        const uint32_t t1 = NvSipTransactionManager::m_T1;
        switch (timer) {
            case TimerG:
                if (m_State == Completed) {
                    toSend = m_pImpl->hLastResponse;
                    startTimer(m_Retransmit, TimerG,
                               std::min(2 * m_Retransmit.intervalMs, NvSipTransactionManager::m_T2));
                }
                break;
            case TimerH:
                if (m_State == Completed) {
                    stopTimers();
                    m_State = Terminated;
                    timeout = terminated = true;
                }
                break;
            case TimerI:
            case TimerJ:
            case TimerLinger:
                if (m_State != Terminated) {
                    stopTimers();
                    m_State = Terminated;
                    terminated = true;
                }
                break;
            case TimerProceeding:
                if ((m_State == Trying || m_State == Proceeding) && !m_pImpl->bTimedOut) {
                    // No final response in time: the owner is told, and the
                    // transaction stays to absorb retransmissions a while.
                    m_pImpl->bTimedOut = true;
                    startTimer(m_StateTimer, TimerLinger, 64 * t1);
                    timeout = true;
                }
                break;
            default: break;
        }
    }
    if (toSend) resend(toSend, port, address, interface);
    try {
        if (terminated) NvSipTransactionManager::getInstance()->removeTransaction(NvHandle<NvSipTransaction>(self));
        if (timeout && interface) interface->timeOut(self);
    } catch (...) {
        TELLAR_WARN(sLogger(), "Time-out of " << m_hRequest->getMethod().str() << " "
                                                        << m_hRequest->getCallID().str()
                                                        << " failed: " << sDescribe(std::current_exception()));
    }
}

// ---------------------------------------------------------------- snapshot

namespace {
constexpr uint8_t kServerSnapshot = 'S';
constexpr uint8_t kSnapshotVersion = 1;
enum ServerFlags : uint8_t {
    kInvite = 1,
    kReliable = 2,
    kRequestReported = 4,
    kTimedOut = 8,
    kSendFinalOnTimeout = 16
};
}  // namespace

void NvSipServerTransaction::serialize(NvOutputStream& out) const {
    State state;
    uint8_t flags = 0;
    NvHandle<NvSipResponse> response;
    NvInetAddress address;
    uint16_t port;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        state = m_State;
        if (m_bInvite) flags |= kInvite;
        if (m_pImpl->bReliable) flags |= kReliable;
        if (m_pImpl->bRequestReported) flags |= kRequestReported;
        if (m_pImpl->bTimedOut) flags |= kTimedOut;
        if (m_pImpl->bSendFinalOnTimeout) flags |= kSendFinalOnTimeout;
        response = m_pImpl->hLastResponse;
        address = m_pImpl->overrideAddress;
        port = m_pImpl->overridePort;
    }
    out.write(kServerSnapshot);
    out.write(kSnapshotVersion);
    out.write(static_cast<uint8_t>(state));
    out.write(flags);
    sWriteMessage(out, m_hRequest.get());
    sWriteMessage(out, response.get());
    sWriteU32(out, port);
    sWriteText(out, address.isValid() ? address.toString().str() : std::string());
}

NvHandle<NvSipServerTransaction> NvSipServerTransaction::sCreateFrom(NvInputStream& in,
                                                                     NvSipServerTransactionInterface* interface) {
    auto corrupt = [](const std::string& why) { NvException::sThrow("Corrupt server transaction snapshot: " + why); };
    if (in.readByte() != kServerSnapshot) corrupt("not a server transaction");
    if (in.readByte() != kSnapshotVersion) corrupt("unknown version");
    const uint8_t stateByte = in.readByte();
    const uint8_t flags = in.readByte();
    const NvHandle<NvSipRequest> request(sReadMessage(in));
    const NvHandle<NvSipMessage> responseMessage = sReadMessage(in);
    const uint32_t port = sReadU32(in);
    const std::string overrideText = sReadText(in, 64);

    if (!request || !request->checkMandatoryHeaders().isEmpty()) corrupt("no valid request");
    const NvHandle<NvSipResponse> response(responseMessage);
    if (responseMessage && !response) corrupt("the last response is a request");
    if (port > 65535) corrupt("port " + std::to_string(port));
    const NvInetAddress address = NvInetAddress::sParse(overrideText);
    if (!overrideText.empty() && !address.isValid()) corrupt("address '" + overrideText + "'");
    const bool invite = request->getMethod() == NvSipInviteMessage::sMethodName;
    if (invite != ((flags & kInvite) != 0)) corrupt("INVITE flag does not match the request");
    const State state = static_cast<State>(stateByte);
    switch (state) {
        case Proceeding:
        case Completed:
        case Terminated: break;
        case Trying:
            if (invite) corrupt("an INVITE transaction in Trying");
            break;
        case Confirmed:
            if (!invite) corrupt("a non-INVITE transaction in Confirmed");
            break;
        default: corrupt("state " + std::to_string(stateByte));
    }
    if ((state == Completed || state == Confirmed) && !response) corrupt("a final state without a response");

    // Built (and registered under the request's key) as a new transaction, then put back in its state.
    NvHandle<NvSipServerTransaction> transaction(new NvSipServerTransaction(request, interface));
    Impl& impl = *transaction->m_pImpl;
    {
        std::lock_guard<NvMutex> lock(transaction->m_Mutex);
        transaction->stopTimers();
        transaction->m_State = state;
        impl.hLastResponse = response;
        impl.overrideAddress = address;
        impl.overridePort = static_cast<uint16_t>(port);
        impl.bReliable = (flags & kReliable) != 0;
        impl.bRequestReported = (flags & kRequestReported) != 0;
        impl.bTimedOut = (flags & kTimedOut) != 0;
        impl.bSendFinalOnTimeout = (flags & kSendFinalOnTimeout) != 0;
        // The timers of the state start again from their beginning.
        const uint32_t t1 = NvSipTransactionManager::m_T1;
        switch (state) {
            case Trying:
            case Proceeding:
                if (impl.bTimedOut)
                    transaction->startTimer(transaction->m_StateTimer, TimerLinger, 64 * t1);
                else
                    transaction->startTimer(transaction->m_StateTimer, TimerProceeding, sm_ProceedingTimeoutMs);
                break;
            case Completed:
                if (impl.bTimedOut) {
                    transaction->startTimer(transaction->m_StateTimer, TimerLinger, 64 * t1);
                } else if (invite) {
                    if (!impl.bReliable)
                        transaction->startTimer(transaction->m_Retransmit, TimerG,
                                                std::min(t1, NvSipTransactionManager::m_T2));
                    transaction->startTimer(transaction->m_StateTimer, TimerH, 64 * t1);
                } else {
                    transaction->startTimer(transaction->m_StateTimer, TimerJ, 64 * t1);
                }
                break;
            case Confirmed:
                transaction->startTimer(transaction->m_StateTimer, TimerI, NvSipTransactionManager::m_T4);
                break;
            default: break;
        }
    }
    if (state == Terminated)
        NvSipTransactionManager::getInstance()->removeTransaction(NvHandle<NvSipTransaction>(transaction));
    return transaction;
}
