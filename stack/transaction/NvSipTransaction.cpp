#include "stack/transaction/NvSipTransaction.h"

#include "stack/base/NvException.h"
#include "stack/base/NvStream.h"
#include "stack/log/TellarLogger.h"
#include "stack/sip/NvSipParser.h"
#include "stack/timer/NvMonitorThread.h"

#include <cctype>
#include <string>

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

void appendLower(std::string& out, std::string_view text) {
    for (char c : text) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

void appendSentBy(std::string& out, const NvSipViaHeader& via) {
    appendLower(out, via.getHost().view());
    if (via.getPort()) {
        out += ':';
        out += std::to_string(via.getPort());
    }
}

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

NvSipTransaction::NvSipTransaction(NvHandle<NvSipRequest> request)
    : m_hRequest(std::move(request)), m_bInvite(false), m_pScheduler(&NvMonitorThread::sGetCurrent()->getScheduler()) {
    if (!m_hRequest) NvException::sThrow("NvSipTransaction: no request");
    m_bInvite = m_hRequest->getMethod() == NvSipInviteMessage::sMethodName;
}

NvSipTransaction::~NvSipTransaction() = default;

NvSipTransaction::State NvSipTransaction::getState() const {
    std::lock_guard<NvMutex> lock(m_Mutex);
    return m_State;
}

NvString NvSipTransaction::sClientKey(const NvSipMessage& message) {
    const auto via = message.getTopVia();
    const auto cseq = message.getCSeqHeader();
    if (!via || !cseq) return NvString();
    std::string key;
    key.reserve(48);
    key += "C|";
    key += via->getBranch().str();
    key += '|';
    key += cseq->getMethod().str();
    return NvString(std::move(key));
}

NvString NvSipTransaction::sServerKey(const NvSipRequest& request, std::string_view method) {
    const auto via = request.getTopVia();
    const auto cseq = request.getCSeqHeader();
    if (!via || !cseq) return NvString();
    std::string key;
    key.reserve(96);
    if (via->hasRFC3261Branch()) {
        key += "S|";
        key += via->getBranch().str();
        key += '|';
        appendSentBy(key, *via);
    } else {
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
        appendSentBy(key, *via);
        key += ';';
        key += via->getBranch().str();
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

// ---------------------------------------------------------------- interface defaults

void NvSipClientTransactionInterface::sendingMessage(const NvHandle<NvSipMessage>&, unsigned*, NvInetAddress*) {}
void NvSipClientTransactionInterface::receivedMessage(const NvHandle<NvSipMessage>&) {}
void NvSipClientTransactionInterface::provisionalResponse(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse>) {}
void NvSipClientTransactionInterface::finalResponse(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse>) {}
void NvSipClientTransactionInterface::timeOut(NvHandle<NvSipClientTransaction>) {}
void NvSipClientTransactionInterface::reliableProvisionalResponse(NvHandle<NvSipClientTransaction>,
                                                                  NvHandle<NvSipResponse>) {}

void NvSipServerTransactionInterface::sendingMessage(const NvHandle<NvSipMessage>&, unsigned*, NvInetAddress*) {}
void NvSipServerTransactionInterface::receivedMessage(const NvHandle<NvSipMessage>&) {}
void NvSipServerTransactionInterface::request(NvHandle<NvSipServerTransaction>, NvHandle<NvSipRequest>) {}
void NvSipServerTransactionInterface::ack(NvHandle<NvSipServerTransaction>, NvHandle<NvSipAckMessage>) {}
void NvSipServerTransactionInterface::cancel(NvHandle<NvSipServerTransaction>, NvHandle<NvSipCancelMessage>) {}
void NvSipServerTransactionInterface::timeOut(NvHandle<NvSipServerTransaction>) {}

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

void NvSipTransaction::sWriteText(NvOutputStream& out, const std::string& text) {
    sWriteU32(out, static_cast<uint32_t>(text.size()));
    out.write(text.data(), text.size());
}

std::string NvSipTransaction::sReadText(NvInputStream& in, size_t maxLength) {
    const uint32_t length = sReadU32(in);
    if (length > maxLength)
        NvException::sThrow("Transaction snapshot: a text of " + std::to_string(length) + " bytes is over the limit");
    std::string text(length, '\0');
    if (length) in.readFully(&text[0], length);
    return text;
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
