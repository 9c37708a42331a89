#include "stack/transaction/NvSipTransaction.h"

#include "stack/base/NvException.h"
#include "stack/base/NvStream.h"
#include "stack/log/TellarLogger.h"
#include "stack/sip/NvSipParser.h"
#include "stack/sip/NvSipText.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <string>
#include <string_view>

namespace {

// Names a timer in the scheduler. Shared by every transaction, so a timer
// costs no allocation of its own; never counted, never deleted.
class TimerTag : public NvObject {
public:
    int index = 0;
    long AddRef() override { return 1; }
    long Release(bool) override { return 1; }
};

constexpr int kTimerTags = 16;

TimerTag* timerTags() {
    static TimerTag tags[kTimerTags];
    static const bool numbered = [] {
        for (int i = 0; i < kTimerTags; ++i) tags[i].index = i;
        return true;
    }();
    (void)numbered;
    return tags;
}

constexpr uint8_t kSnapshotVersion = 2;
constexpr size_t kMaxAddressText = 64;

}  // namespace

const char* NvSipTransaction::sStateName(State state) {
    switch (state) {
        case Initial: return "Initial";
        case Calling: return "Calling";
        case Trying: return "Trying";
        case Proceeding: return "Proceeding";
        case Completed: return "Completed";
        case Confirmed: return "Confirmed";
        case Terminated: return "Terminated";
    }
    return "Unknown";
}

NvSipTransaction::NvSipTransaction(NvHandle<NvSipRequest> request, NvSipTransactionInterface* interface)
    : m_Request(std::move(request)),
      m_bInvite(false),
      m_hInterface(interface),
      m_pScheduler(&NvMonitorThread::sGetCurrent()->getScheduler()) {
    if (!m_Request) NvException::sThrow("NvSipTransaction: no request");
    m_bInvite = m_Request->getMethod() == NvSipInviteMessage::sMethodName;
}

NvHandle<NvSipRequest> NvSipTransaction::getInitialRequest() const {
    std::lock_guard<NvMutex> lock(m_Mutex);
    return m_Request;
}

NvHandle<NvSipResponse> NvSipTransaction::getLastResponse() const {
    std::lock_guard<NvMutex> lock(m_Mutex);
    return m_LastResponse;
}

NvSipTransaction::~NvSipTransaction() = default;

NvSipTransaction::State NvSipTransaction::getState() const {
    std::lock_guard<NvMutex> lock(m_Mutex);
    return m_State;
}

NvString NvSipTransaction::sClientKey(const NvSipMessage& message, std::string_view method) {
    const auto via = message.getTopVia();
    const auto cseq = message.getCSeqHeader();
    if (!via || !cseq) return NvString();
    std::string key;
    key.reserve(48);
    key += "C|";
    key += via->getBranchView();
    key += '|';
    key += method.empty() ? cseq->getMethod().view() : method;
    return NvString(std::move(key));
}

NvString NvSipTransaction::sServerKey(const NvSipMessage& message, std::string_view method) {
    const auto via = message.getTopVia();
    const auto cseq = message.getCSeqHeader();
    if (!via || !cseq) return NvString();
    std::string key;
    key.reserve(96);
    if (via->hasRFC3261Branch()) {
        key += "S|";
        key += via->getBranchView();
        key += '|';
        key += via->getCanonicalSentBy();
    } else if (!message.isRequest()) {
        return NvString();  // the RFC 2543 identity needs the request
    } else {
        const auto& request = static_cast<const NvSipRequest&>(message);
        // RFC 2543: the request's identity, To tag apart (an ACK carries
        // the tag of our response, which the INVITE did not).
        key += "L|";
        if (request.getURI()) key += request.getURI()->toString().str();
        key += '|';
        if (const auto from = request.getFromHeader()) key += from->getTag().str();
        key += '|';
        key += request.getCallID().str();
        key += '|';
        key += std::to_string(cseq->getNumber());
        key += '|';
        key += via->getCanonicalSentBy();
        key += ';';
        key += via->getBranchView();
    }
    key += '|';
    key += method;
    return NvString(std::move(key));
}

bool NvSipTransaction::sIsLegacyKey(const NvString& key) { return key.view().substr(0, 2) == "L|"; }

void NvSipTransaction::startTimer(TimerSlot& slot, Timer timer, uint32_t delayMs) {
    static_assert(TimerCount <= kTimerTags, "one tag per timer");
    stopTimer(slot);
    slot.timer = timer;
    slot.intervalMs = delayMs;
    slot.key = m_pScheduler->schedule(delayMs, this, &timerTags()[timer]);
}

void NvSipTransaction::stopTimer(TimerSlot& slot) {
    if (slot.key >= 0) m_pScheduler->cancel(this, slot.key);
    slot.key = -1;
}

bool NvSipTransaction::firedTimer(const NvHandle<NvObservable>& observable, const NvHandle<NvObject>& object,
                                  Timer& timer) {
    const auto* tag = dynamic_cast<const TimerTag*>(object.get());
    const auto* fired = dynamic_cast<const NvTimer*>(observable.get());
    if (!tag || !fired || tag->index >= TimerCount) return false;
    timer = static_cast<Timer>(tag->index);
    TimerSlot& slot = slotOf(timer);
    if (slot.key != fired->getKey() || slot.timer != timer) return false;
    slot.key = -1;
    return true;
}

// ---------------------------------------------------------------- acting after the lock

NvHandle<NvSipTransactionInterface> NvSipTransaction::currentInterface() const {
    std::lock_guard<NvMutex> lock(m_Mutex);
    return m_hInterface;
}

bool NvSipTransaction::mayStillSend(const NvSipMessage&) const { return true; }

bool NvSipTransaction::transmit(Outgoing& out, std::string& reason) {
    // Where it goes, known before it is shown: a retransmission reuses the
    // destination of the first send. A host name stays unresolved (the
    // address shown is then invalid) and send() has it resolved off this
    // thread, on every thread alike: the caller may hold a dialog's lock that
    // the monitor thread needs, so nothing below waits for a name server or
    // for socket buffer room while m_SendMutex is held.
    if (!out.address.isValid() || !out.port) {
        try {
            const NvSipPeer peer = NvSipTransportLayer::sGetInstance()->resolveDestination(*out.message);
            if (!out.address.isValid()) out.address = peer.address;
            if (!out.port) out.port = peer.port;
        } catch (...) {
            reason = sDescribe(std::current_exception());
            return false;
        }
    }
    if (const auto interface = currentInterface()) {
        unsigned port = out.port;
        NvInetAddress address = out.address;
        interface->sendingMessage(out.message, &port, &address);
    }
    std::lock_guard<NvRecursiveMutex> order(m_SendMutex);
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        if (!mayStillSend(*out.message)) return true;
    }
    try {
        NvSipTransportLayer::send(out.message, &out.port, &out.address);
    } catch (...) {
        reason = sDescribe(std::current_exception());
        return false;
    }
    return true;
}

std::function<void()> NvSipTransaction::endOnTransportError(const std::string& reason) {
    NvHandle<NvSipTransactionInterface> interface;
    {
        std::lock_guard<NvMutex> lock(m_Mutex);
        if (m_bTransportFailed) return nullptr;
        m_bTransportFailed = true;
        stopTimers();
        m_State = Terminated;
        interface = m_hInterface;
    }
    const auto request = getInitialRequest();
    TELLAR_WARN(sLogger(), "Transport error on " << request->getMethod().str() << " " << request->getCallID().str()
                                                 << ": " << reason);
    if (!interface) return nullptr;
    NvHandle<NvSipTransaction> self(this);
    return [self, interface, reason] { self->reportTransportError(interface, reason); };
}

bool NvSipTransaction::perform(Actions& actions) {
    std::string reason;
    bool delivered = true;
    for (Outgoing& out : actions.messages)
        if (!(delivered = transmit(out, reason))) break;
    NvSipTransactionManager* manager = NvSipTransactionManager::getInstance();
    NvHandle<NvSipTransaction> self(this);
    if (actions.retired && delivered) {
        // A server's final response is the last message; a client has none to send again.
        const Outgoing* final = isClient() ? nullptr : &actions.messages.back();
        manager->retire(self, final ? static_cast<const NvSipResponse*>(final->message.get()) : nullptr,
                        final ? static_cast<uint16_t>(final->port) : 0, final ? final->address : NvInetAddress());
    } else if (actions.terminated) {
        manager->removeTransaction(self);
    }
    if (actions.report) actions.report();
    if (!delivered) {
        const auto report = endOnTransportError(reason);
        manager->removeTransaction(self);
        if (report) report();
    }
    if (actions.terminated || actions.lingering || !delivered) {
        NvHandle<NvSipTransactionInterface> released;  // dropped after the lock
        std::lock_guard<NvMutex> lock(m_Mutex);
        released = std::move(m_hInterface);
    }
    return delivered;
}

void NvSipTransaction::transportFailed(const std::string& reason) {
    Actions actions;
    actions.report = endOnTransportError(reason);
    actions.terminated = true;
    perform(actions);
}

// ---------------------------------------------------------------- interface defaults

void NvSipTransactionInterface::sendingMessage(const NvHandle<NvSipMessage>&, unsigned*, NvInetAddress*) {}
void NvSipTransactionInterface::receivedMessage(const NvHandle<NvSipMessage>&) {}
void NvSipClientTransactionInterface::provisionalResponse(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse>) {}
void NvSipClientTransactionInterface::finalResponse(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse>) {}
void NvSipClientTransactionInterface::timeOut(NvHandle<NvSipClientTransaction>) {}
void NvSipClientTransactionInterface::transportError(NvHandle<NvSipClientTransaction> transaction,
                                                     const std::string&) {
    timeOut(std::move(transaction));
}
void NvSipClientTransactionInterface::reliableProvisionalResponse(NvHandle<NvSipClientTransaction>,
                                                                  NvHandle<NvSipResponse>) {}

void NvSipServerTransactionInterface::request(NvHandle<NvSipServerTransaction>, NvHandle<NvSipRequest>) {}
void NvSipServerTransactionInterface::ack(NvHandle<NvSipServerTransaction>, NvHandle<NvSipAckMessage>) {}
void NvSipServerTransactionInterface::cancel(NvHandle<NvSipServerTransaction>, NvHandle<NvSipCancelMessage>) {}
void NvSipServerTransactionInterface::timeOut(NvHandle<NvSipServerTransaction>) {}
void NvSipServerTransactionInterface::transportError(NvHandle<NvSipServerTransaction> transaction,
                                                     const std::string&) {
    timeOut(std::move(transaction));
}

// ---------------------------------------------------------------- snapshot pieces

void NvSipTransaction::sWriteU32(NvOutputStream& out, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    out.write(bytes, sizeof bytes);
}

uint32_t NvSipTransaction::sReadU32(NvInputStream& in) {
    uint8_t bytes[4];
    in.readFully(bytes, sizeof bytes);
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void NvSipTransaction::sWriteMessage(NvOutputStream& out, const NvSipMessage* message) {
    if (!message) {
        sWriteU32(out, 0);
        return;
    }
    std::string bytes;
    message->serialize(bytes);
    sWriteU32(out, static_cast<uint32_t>(bytes.size()));
    out.write(bytes.data(), bytes.size());
}

NvHandle<NvSipMessage> NvSipTransaction::sReadMessage(NvInputStream& in) {
    const uint32_t length = sReadU32(in);
    if (length == 0) return NvHandle<NvSipMessage>();
    if (length > NvSipParser::kMaxMessageBytes)
        NvException::sThrow("Transaction snapshot: a message of " + std::to_string(length) +
                            " bytes is over the limit");
    std::string bytes(length, '\0');
    in.readFully(&bytes[0], length);
    return NvSipParser::sParse(bytes.data(), bytes.size());
}

void NvSipTransaction::sCorrupt(const char* kindName, const std::string& why) {
    NvException::sThrow(std::string("Corrupt ") + kindName + " transaction snapshot: " + why);
}

NvSipTransaction::Snapshot NvSipTransaction::snapshotOf(uint16_t port, const NvInetAddress& address) const {
    Snapshot snapshot;
    snapshot.state = m_State;
    snapshot.flags = m_bInvite ? kSnapshotInvite : 0;
    snapshot.request = m_Request;
    snapshot.response = m_LastResponse;
    snapshot.port = port;
    snapshot.address = address;
    return snapshot;
}

void NvSipTransaction::sWriteSnapshot(NvOutputStream& out, uint8_t kind, const Snapshot& snapshot) {
    out.write(kind);
    out.write(kSnapshotVersion);
    out.write(static_cast<uint8_t>(snapshot.state));
    out.write(snapshot.flags);
    sWriteMessage(out, snapshot.request.get());
    sWriteMessage(out, snapshot.response.get());
    sWriteU32(out, snapshot.port);
    const std::string address = snapshot.address.isValid() ? snapshot.address.toString().str() : std::string();
    sWriteU32(out, static_cast<uint32_t>(address.size()));
    out.write(address.data(), address.size());
}

NvSipTransaction::Snapshot NvSipTransaction::sReadSnapshot(NvInputStream& in, uint8_t kind, const char* kindName) {
    if (in.readByte() != kind) sCorrupt(kindName, std::string("not a ") + kindName + " transaction");
    if (in.readByte() != kSnapshotVersion) sCorrupt(kindName, "unknown version");
    Snapshot snapshot;
    const uint8_t state = in.readByte();
    snapshot.flags = in.readByte();
    snapshot.request = NvHandle<NvSipRequest>(sReadMessage(in));
    const NvHandle<NvSipMessage> response = sReadMessage(in);
    const uint32_t port = sReadU32(in);
    const uint32_t addressLength = sReadU32(in);
    if (addressLength > kMaxAddressText)
        sCorrupt(kindName, "an address of " + std::to_string(addressLength) + " bytes");
    std::string address(addressLength, '\0');
    if (addressLength) in.readFully(&address[0], addressLength);

    if (state > Terminated) sCorrupt(kindName, "state " + std::to_string(state));
    snapshot.state = static_cast<State>(state);
    if (!snapshot.request || !snapshot.request->checkMandatoryHeaders().isEmpty())
        sCorrupt(kindName, "no valid request");
    snapshot.response = NvHandle<NvSipResponse>(response);
    if (response && !snapshot.response) sCorrupt(kindName, "the last response is a request");
    if (port > 65535) sCorrupt(kindName, "port " + std::to_string(port));
    snapshot.port = static_cast<uint16_t>(port);
    snapshot.address = NvInetAddress::sParse(address);
    if (!address.empty() && !snapshot.address.isValid()) sCorrupt(kindName, "address '" + address + "'");
    const bool invite = snapshot.request->getMethod() == NvSipInviteMessage::sMethodName;
    if (invite != ((snapshot.flags & kSnapshotInvite) != 0)) sCorrupt(kindName, "INVITE flag does not match the request");
    return snapshot;
}

Tellar::Logger& NvSipTransaction::sLogger() {
    static Tellar::Logger& logger = Tellar::getLogger("lumbrook.sip.stack.transaction");
    return logger;
}

std::string NvSipTransaction::sDescribe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (NvHandle<NvException>& e) {
        return e ? e->getMessage().str() : std::string("unknown NvException");
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return "unknown exception";
}
