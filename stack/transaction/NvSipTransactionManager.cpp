#include "stack/transaction/NvSipTransactionManager.h"

#include "stack/base/NvException.h"
#include "stack/log/TellarLogger.h"
#include "stack/sip/NvSipParser.h"
#include "stack/timer/NvTime.h"
#include "stack/transaction/NvSipFinishedTransactions.h"

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

unsigned int NvSipTransactionManager::m_MaxForward = 70;
unsigned int NvSipTransactionManager::m_T1 = 500;
unsigned int NvSipTransactionManager::m_T2 = 4000;
unsigned int NvSipTransactionManager::m_T4 = 5000;
unsigned int NvSipTransactionManager::m_RetrasmissionCount_RESP = 10;
unsigned int NvSipTransactionManager::m_MaxTransactions = 0;
unsigned int NvSipTransactionManager::m_OverloadRetryAfter = 2;

void NvOverloadLog::shed() {
    const double now = NvTime::sGetCurrentTime();
    uint64_t shed;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        ++m_Shed;
        if (now < m_LastLine + 1e6) return;
        m_LastLine = now;
        shed = m_Shed;
        m_Shed = 0;
    }
    TELLAR_WARN(m_Logger, m_What << " reached: " << shed << " new INVITE(s) answered 503 since the last report");
}

// ---------------------------------------------------------------- stray defaults

void NvStrayMessageInterface::strayResponse(NvHandle<NvSipResponse>) {}

void NvStrayMessageInterface::strayAck(NvHandle<NvSipAckMessage>) {}

void NvStrayMessageInterface::strayCancel(NvHandle<NvSipCancelMessage> cancel) {
    if (!cancel) return;
    NvSipTransportLayer::send(NvHandle<NvSipMessage>(new NvSipResponse(481, NvHandle<NvSipRequest>(cancel))));
}

void NvStrayMessageInterface::invalidMessage(NvHandle<NvSipMessage>) {}

void NvStrayMessageInterface::malFormedMessage(NvHandle<NvSipMessage> message) {
    const NvHandle<NvSipRequest> request(message);
    // An ACK is never answered; a request without Via cannot be.
    if (!request || request->getMethod() == NvSipAckMessage::sMethodName || !request->getTopVia()) return;
    NvSipTransportLayer::send(NvHandle<NvSipMessage>(new NvSipResponse(400, request)));
}

namespace {

// The request sMarkHandled named during the factory call on this thread.
thread_local const NvSipRequest* t_pHandled = nullptr;

// The manager's own transactions (requests refused with 480) report to nobody.
class RefusalInterface : public NvSipServerTransactionInterface {};

// The interface of a CANCEL's own server transaction: the CANCEL and its
// answer are shown to the interface of the INVITE it cancels, as messages
// of that call; its events go nowhere.
class CancelServerInterface : public NvSipServerTransactionInterface {
public:
    explicit CancelServerInterface(NvHandle<NvSipServerTransaction> invite) : m_hInvite(std::move(invite)) {}
    void sendingMessage(const NvHandle<NvSipMessage>& message, unsigned* port, NvInetAddress* address) override {
        if (const auto interface = m_hInvite->getInterface()) interface->sendingMessage(message, port, address);
    }
    void receivedMessage(const NvHandle<NvSipMessage>& message) override {
        if (const auto interface = m_hInvite->getInterface()) interface->receivedMessage(message);
    }

private:
    NvHandle<NvSipServerTransaction> m_hInvite;
};

NvString toTagOf(const NvSipMessage* message) {
    const auto to = message ? message->getToHeader() : NvHandle<NvSipToHeader>();
    return to ? to->getTag() : NvString();
}

// Answers `request` 503 with Retry-After without a transaction; the To tag
// is a hash of the request's Call-ID, From tag and branch, the same for
// each retransmission (RFC 3261 8.2.7).
void refuseStatelessly(const NvHandle<NvSipRequest>& request) {
    static NvOverloadLog log(Tellar::getLogger("lumbrook.sip.stack.transaction"), "Transaction limit");
    log.shed();
    NvHandle<NvSipResponse> response(new NvSipResponse(503, request));
    const NvString from = request->getFromHeader()->getTag(), branch = request->getTopVia()->getBranch();
    char tag[17];
    std::snprintf(tag, sizeof tag, "%016zx",
                  std::hash<std::string>()(request->getCallID().str() + ';' + from.str() + ';' + branch.str()));
    response->getToHeader()->setTag(tag);
    response->addHeader(new NvSipRetryAfterHeader(NvSipTransactionManager::m_OverloadRetryAfter));
    NvSipTransportLayer::send(NvHandle<NvSipMessage>(response));
}

}  // namespace

void NvTransactionFactoryInterface::sMarkHandled(const NvHandle<NvSipRequest>& request) {
    t_pHandled = request.get();
}

struct NvSipTransactionManager::Impl {
    mutable std::mutex mutex;  // guards every field below
    // By key. A key is a view of the transaction's own (it does not change
    // once the transaction is in the table, and lives as long as its entry).
    std::unordered_map<std::string_view, NvHandle<NvSipTransaction>> table;
    // Ended transactions whose messages may still come again (see
    // NvSipFinishedTransactions): servers for 64*T1, clients for T4.
    NvSipFinishedTransactions finishedServers;
    NvSipFinishedTransactions finishedClients;
    NvHandle<NvStrayMessageInterface> hStray;  // never nil
    NvHandle<NvStrayMessageInterface> hDefaultStray;
    NvHandle<NvTransactionFactoryInterface> hFactory;
    NvHandle<NvSipServerTransactionInterface> hRefusal;

};

NvSipTransactionManager::NvSipTransactionManager() : m_pImpl(new Impl) {
    m_pImpl->hDefaultStray = new NvStrayMessageInterface();
    m_pImpl->hStray = m_pImpl->hDefaultStray;
    m_pImpl->hRefusal = new RefusalInterface();
}

NvSipTransactionManager* NvSipTransactionManager::getInstance() {
    // Never destroyed: transactions and timers may be used until the very end of the process.
    static NvSipTransactionManager* const instance = [] {
        auto* manager = new NvSipTransactionManager();
        NvSipTransportLayer::sGetInstance()->setReceiver(manager);
        return manager;
    }();
    return instance;
}

void NvSipTransactionManager::setStrayInterface(NvHandle<NvStrayMessageInterface> stray) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    std::swap(m_pImpl->hStray, stray);  // the old one is released after the lock
    if (!m_pImpl->hStray) m_pImpl->hStray = m_pImpl->hDefaultStray;
}

void NvSipTransactionManager::setTransactionFactoryInterface(NvHandle<NvTransactionFactoryInterface> factory) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    std::swap(m_pImpl->hFactory, factory);
}

NvHandle<NvStrayMessageInterface> NvSipTransactionManager::getStrayInterface() const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->hStray;
}

void NvSipTransactionManager::addTransaction(const NvHandle<NvSipTransaction>& transaction) {
    if (!transaction || transaction->getKey().isEmpty()) return;
    NvHandle<NvSipTransaction> replaced;  // released after the lock
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    const auto found = m_pImpl->table.find(transaction->getKey().view());
    if (found != m_pImpl->table.end()) {
        replaced = std::move(found->second);
        m_pImpl->table.erase(found);
    }
    m_pImpl->table.emplace(transaction->getKey().view(), transaction);
}

void NvSipTransactionManager::removeTransaction(const NvHandle<NvSipTransaction>& transaction) {
    if (!transaction || transaction->getKey().isEmpty()) return;
    // An INVITE server transaction ended by a 2xx: its retransmissions are
    // dropped for 64*T1 rather than taken for new requests (RFC 6026).
    bool accepted = false;
    if (!transaction->isClient() && transaction->isInvite() &&
        transaction->getState() == NvSipTransaction::Terminated) {
        const auto response = static_cast<NvSipServerTransaction*>(transaction.get())->getLastResponse();
        accepted = response && response->getStatusCode() >= 200 && response->getStatusCode() < 300;
    }
    NvHandle<NvSipTransaction> removed;  // released after the lock
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    const auto found = m_pImpl->table.find(transaction->getKey().view());
    if (found != m_pImpl->table.end() && found->second == transaction) {
        removed = std::move(found->second);
        m_pImpl->table.erase(found);
    }
    if (accepted)
        m_pImpl->finishedServers.remember(transaction->getKey().view(), 64 * m_T1, nullptr, 0, NvInetAddress());
}

void NvSipTransactionManager::retire(const NvHandle<NvSipTransaction>& transaction, const NvSipResponse* response,
                                     uint16_t port, const NvInetAddress& address) {
    if (!transaction || transaction->getKey().isEmpty()) return;
    NvHandle<NvSipTransaction> removed;  // released after the lock
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    const auto found = m_pImpl->table.find(transaction->getKey().view());
    if (found == m_pImpl->table.end() || found->second != transaction) return;  // replaced meanwhile
    removed = std::move(found->second);
    m_pImpl->table.erase(found);
    if (transaction->isClient())
        m_pImpl->finishedClients.remember(transaction->getKey().view(), m_T4, nullptr, 0, NvInetAddress());
    else
        m_pImpl->finishedServers.remember(transaction->getKey().view(), 64 * m_T1, response, port, address);
}

size_t NvSipTransactionManager::getTransactionCount() const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->table.size();
}

void NvSipTransactionManager::clear() {
    std::unordered_map<std::string_view, NvHandle<NvSipTransaction>> table;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        table.swap(m_pImpl->table);
        m_pImpl->finishedServers.clear();
        m_pImpl->finishedClients.clear();
    }
    for (auto& entry : table) entry.second->detach();
}

// ---------------------------------------------------------------- dispatch

NvHandle<NvSipTransaction> NvSipTransactionManager::find(const NvString& key) const {
    if (key.isEmpty()) return NvHandle<NvSipTransaction>();
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    const auto found = m_pImpl->table.find(key.view());
    return found == m_pImpl->table.end() ? NvHandle<NvSipTransaction>() : found->second;
}

NvHandle<NvSipServerTransaction> NvSipTransactionManager::findServer(const NvSipRequest& request,
                                                                     std::string_view method, bool ack) const {
    const NvString key = NvSipTransaction::sServerKey(request, method);
    NvHandle<NvSipServerTransaction> transaction(find(key));
    if (!transaction || !NvSipTransaction::sIsLegacyKey(key)) return transaction;
    // RFC 2543 matching also wants the To tag: the request's own, or for
    // an ACK the tag of the response it acknowledges.
    const NvHandle<NvSipResponse> response = ack ? transaction->getLastResponse() : NvHandle<NvSipResponse>();
    const NvString expected =
        toTagOf(response ? static_cast<NvSipMessage*>(response.get()) : transaction->getInitialRequest().get());
    return toTagOf(&request) == expected ? transaction : NvHandle<NvSipServerTransaction>();
}

bool NvSipTransactionManager::isOurs(const NvSipViaHeader& via) const {
    NvSocketImpl::Transport transport = NvSocketImpl::UDP;
    NvSocketImpl::sParse(via.getTransport().view(), transport);
    const NvSipTransportLayer& layer = *NvSipTransportLayer::sGetInstance();
    NvSipViaHeader ours(via.getTransport().view(), layer.getSentByHost(transport).view(),
                        layer.getSentByPort(transport));
    return via.hasSameSentBy(ours);
}

NvHandle<NvSipTransaction> NvSipTransactionManager::findOwner(const NvSipMessage& message) const {
    const auto cseq = message.getCSeqHeader();
    if (!cseq) return NvHandle<NvSipTransaction>();
    // An ACK or a CANCEL, and the answer to a CANCEL, belong to their INVITE.
    const NvString method = cseq->getMethod();
    const std::string_view keyMethod =
        method == NvSipAckMessage::sMethodName || method == NvSipCancelMessage::sMethodName
            ? std::string_view(NvSipInviteMessage::sMethodName)
            : method.view();
    if (message.isRequest()) return find(NvSipTransaction::sClientKey(message, keyMethod));
    if (auto found = find(NvSipTransaction::sServerKey(message, keyMethod))) return found;
    // An RFC 2543 branch: the server transaction whose last response it is.
    std::vector<NvHandle<NvSipTransaction>> candidates;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        for (const auto& entry : m_pImpl->table)
            if (!entry.second->isClient()) candidates.push_back(entry.second);
    }
    for (const auto& candidate : candidates)
        if (static_cast<NvSipServerTransaction*>(candidate.get())->getLastResponse().get() == &message) return candidate;
    return NvHandle<NvSipTransaction>();
}

void NvSipTransactionManager::sendFailed(const NvHandle<NvSipMessage>& message, const std::string& reason) {
    if (!message) return;
    if (const auto transaction = findOwner(*message)) transaction->transportFailed(reason);
}

bool NvSipTransactionManager::wasAnswered(const NvString& key) const {
    NvSipFinishedTransactions::Answer ignored;
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return !key.isEmpty() && m_pImpl->finishedClients.find(key.view(), ignored);
}

bool NvSipTransactionManager::answerAgain(const NvString& key) {
    if (key.isEmpty()) return false;
    NvSipFinishedTransactions::Answer answer;
    std::string response;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        if (!m_pImpl->finishedServers.find(key.view(), answer)) return false;
        response = answer.response;
    }
    if (response.empty()) return true;  // an INVITE answered 2xx: its dialog has the 2xx to send again
    try {
        unsigned port = answer.port;
        NvSipTransportLayer::send(NvSipParser::sParse(response.data(), response.size()), &port, &answer.address);
    } catch (NvHandle<NvException>& e) {
        static Tellar::Logger& logger = Tellar::getLogger("lumbrook.sip.stack.transaction");
        TELLAR_DEBUG(logger, "The final response kept for " << key.str()
                                                            << " could not be sent again: " << e->getMessage().str());
    }
    return true;
}

void NvSipTransactionManager::receive(const NvHandle<NvSipMessage>& message) {
    if (!message) return;
    if (!message->checkMandatoryHeaders().isEmpty()) {
        getStrayInterface()->malFormedMessage(message);
        return;
    }
    if (message->isRequest())
        receiveRequest(NvHandle<NvSipRequest>(message));
    else
        receiveResponse(NvHandle<NvSipResponse>(message));
}

bool NvSipTransactionManager::isOverloaded(const NvSipRequest& request, const NvString& method) const {
    if (m_MaxTransactions == 0 || method != NvSipInviteMessage::sMethodName || !toTagOf(&request).isEmpty())
        return false;
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->table.size() >= m_MaxTransactions;
}

void NvSipTransactionManager::receiveResponse(const NvHandle<NvSipResponse>& response) {
    const auto via = response->getTopVia();
    const NvString key = NvSipTransaction::sClientKey(*response);
    const NvHandle<NvSipClientTransaction> transaction(find(key));
    if (transaction) {
        // Our branch with another sent-by is not an answer to us.
        const auto request = transaction->getInitialRequest();
        const auto sent = request ? request->getTopVia() : NvHandle<NvSipViaHeader>();
        if (sent && via->hasSameSentBy(*sent))
            transaction->receiveResponse(response);
        else
            getStrayInterface()->invalidMessage(NvHandle<NvSipMessage>(response));
        return;
    }
    if (!isOurs(*via))
        getStrayInterface()->invalidMessage(NvHandle<NvSipMessage>(response));
    else if (!wasAnswered(key))  // else a retransmission to a transaction that ended
        getStrayInterface()->strayResponse(response);
}

void NvSipTransactionManager::receiveRequest(const NvHandle<NvSipRequest>& request) {
    const NvString method = request->getMethod();
    if (method == NvSipAckMessage::sMethodName) {
        // The ACK of a failure response belongs to the INVITE transaction;
        // the ACK of a 2xx is a transaction of its own, for the dialog.
        if (const auto invite = findServer(*request, NvSipInviteMessage::sMethodName, true))
            invite->receiveRequest(request);
        else
            getStrayInterface()->strayAck(NvHandle<NvSipAckMessage>(request));
        return;
    }
    if (const auto transaction = findServer(*request, method.view(), false)) {
        transaction->receiveRequest(request);
        return;
    }
    const NvString key = NvSipTransaction::sServerKey(*request, method.view());
    if (answerAgain(key)) return;
    if (method == NvSipCancelMessage::sMethodName) {
        // RFC 3261 9.2: the INVITE with the CANCEL's branch and sent-by.
        const auto invite = findServer(*request, NvSipInviteMessage::sMethodName, false);
        if (!invite) {
            getStrayInterface()->strayCancel(NvHandle<NvSipCancelMessage>(request));
            return;
        }
        NvHandle<NvSipServerTransaction> transaction(
            new NvSipServerTransaction(request, new CancelServerInterface(invite)));
        transaction->receiveRequest(request);
        invite->receiveCancel(transaction, NvHandle<NvSipCancelMessage>(request));
        return;
    }
    if (isOverloaded(*request, method)) return refuseStatelessly(request);
    NvHandle<NvTransactionFactoryInterface> factory;
    NvHandle<NvSipServerTransactionInterface> refusal;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        factory = m_pImpl->hFactory;
        refusal = m_pImpl->hRefusal;
    }
    NvHandle<NvSipServerTransaction> transaction;
    if (factory) {
        t_pHandled = nullptr;
        transaction = factory->createServerTransaction(request);
        const bool handled = t_pHandled == request.get();
        t_pHandled = nullptr;
        if (!transaction && handled) return;  // dealt with by the factory's owner: nothing to send
    }
    if (!transaction) {
        // Refused, or nobody to ask: answered here so that the peer stops retransmitting.
        transaction = new NvSipServerTransaction(request, refusal.get());
        transaction->sendResponse(480);
    }
    transaction->receiveRequest(request);
}
