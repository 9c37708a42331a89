#include "mlapi/NvSipCallManager.h"

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipCapabilities.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipIncomingCall.h"
#include "mlapi/NvSipMlException.h"
#include "stack/log/Tellar.h"

#include <mutex>
#include <unordered_map>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipCallManager")

NvSipCallManager* NvSipCallManager::smp_TheSingleton = nullptr;
NvAuthenticationInterface* NvSipCallManager::smp_AuthInterface = nullptr;

namespace {

void writeRemoveLine(const NvString& key) {
    NvErrorStream& debug = NvErrorStream::sGetDefault();
    if (debug.getLevel() > 4) debug << "### REMOVE dialog, KEY=" << key << "\n";
}

NvString tagOf(const NvHandle<NvSipNameAddressHeader>& header) {
    return header.isNil() ? NvString() : header->getTag();
}

// A server transaction for `request` reporting to `adapter`, counted under
// the adapter's class name.
template <class Adapter>
NvHandle<NvSipServerTransaction> transactionWith(const NvHandle<NvSipRequest>& request, const char* tag,
                                                 NvHandle<NvSipDialog> dialog) {
    return new NvSipServerTransaction(request, Tellar::NoSizeMemAllocator::create<Adapter>(tag, std::move(dialog)));
}

}  // namespace

// ---------------------------------------------------------------- link

namespace {
// How many link operations the current thread is inside (there is one
// manager at a time): its own are not waited for when it cuts the link.
thread_local unsigned t_LinkDepth = 0;
}  // namespace

NvSipCallManager* NvSipCallManager::Link::enter(bool routing) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_pManager || (routing && !m_bRouting)) return nullptr;
    ++m_Users;
    ++t_LinkDepth;
    return m_pManager;
}

void NvSipCallManager::Link::leave() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    --m_Users;
    --t_LinkDepth;
    m_Left.notify_all();
}

void NvSipCallManager::Link::stopRouting() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bRouting = false;
}

void NvSipCallManager::Link::cut() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_pManager = nullptr;
    m_Left.wait(lock, [this] { return m_Users <= t_LinkDepth; });
}

// ---------------------------------------------------------------- adapters

void NvSipCallManager::StrayMessageInterface::strayResponse(NvHandle<NvSipResponse> response) {
    m_pLink->route([&](NvSipCallManager& manager) { manager.strayResponse(response); });
}
void NvSipCallManager::StrayMessageInterface::strayAck(NvHandle<NvSipAckMessage> ack) {
    m_pLink->route([&](NvSipCallManager& manager) { manager.strayAck(ack); });
}
void NvSipCallManager::StrayMessageInterface::strayCancel(NvHandle<NvSipCancelMessage> cancel) {
    if (!m_pLink->route([&](NvSipCallManager& manager) { manager.strayCancel(cancel); }))
        NvStrayMessageInterface::strayCancel(cancel);
}
void NvSipCallManager::StrayMessageInterface::invalidMessage(NvHandle<NvSipMessage> message) {
    m_pLink->route([&](NvSipCallManager& manager) { manager.invalidMessage(message); });
}
void NvSipCallManager::StrayMessageInterface::malFormedMessage(NvHandle<NvSipMessage> message) {
    if (!m_pLink->route([&](NvSipCallManager& manager) { manager.malFormedMessage(message); }))
        NvStrayMessageInterface::malFormedMessage(message);
}

void NvSipCallManager::StrayServerTransactionInterface::request(NvHandle<NvSipServerTransaction> transaction,
                                                                NvHandle<NvSipRequest> request) {
    m_pLink->route([&](NvSipCallManager& manager) { manager.strayRequest(transaction, request); });
}

NvHandle<NvSipServerTransaction> NvSipCallManager::TransactionFactoryInterface::createServerTransaction(
    NvHandle<NvSipRequest> request) {
    NvHandle<NvSipServerTransaction> transaction;
    m_pLink->route([&](NvSipCallManager& manager) { transaction = manager.createServerTransaction(request); });
    return transaction;
}

void NvSipCallManager::DialogTableInterface::addDialog(NvHandle<NvSipDialog> dialog) {
    m_pLink->use([&](NvSipCallManager& manager) { manager.addDialog(dialog); });
}
void NvSipCallManager::DialogTableInterface::removeDialog(NvHandle<NvSipDialog> dialog) {
    m_pLink->use([&](NvSipCallManager& manager) { manager.removeDialog(dialog); });
}
void NvSipCallManager::DialogTableInterface::removeDialog(const NvString& key) {
    m_pLink->use([&](NvSipCallManager& manager) { manager.removeDialog(key); });
}
NvHandle<NvSipDialog> NvSipCallManager::DialogTableInterface::findDialog(const NvString& key) {
    NvHandle<NvSipDialog> found;
    m_pLink->use([&](NvSipCallManager& manager) { found = manager.findDialog(key); });
    return found;
}
void NvSipCallManager::DialogTableInterface::inviteEnded(const NvString& callId, const NvString& localTag) {
    m_pLink->use([&](NvSipCallManager& manager) { manager.m_LateAnswers.remember(callId, localTag); });
}
void NvSipCallManager::DialogTableInterface::snapshotChanged(NvSipDialog* dialog) {
    m_pLink->use([&](NvSipCallManager& manager) {
        if (!manager.m_bSnapshotStore.load(std::memory_order_relaxed)) return;  // the usual case: no table lock
        if (const NvHandle<NvSipSnapshotKeeper> keeper = manager.snapshotKeeper()) keeper->changed(dialog);
    });
}
void NvSipCallManager::DialogTableInterface::updateDialogKey(const NvString& oldKey, const NvString& newKey) {
    m_pLink->use([&](NvSipCallManager& manager) { manager.updateDialogKey(oldKey, newKey); });
}
bool NvSipCallManager::DialogTableInterface::addCredentials(NvHandle<NvSipResponse> response,
                                                            NvHandle<NvSipRequest> request) {
    bool added = false;
    m_pLink->use([&](NvSipCallManager&) { added = sCheckAuthentication(response, request); });
    return added;
}

void NvSipCallManager::AuthInterface::request(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest>) {
    transaction->sendResponse(m_hChallenge);
}

void NvSipCallManager::UnsupportedExtensionInterface::request(NvHandle<NvSipServerTransaction> transaction,
                                                              NvHandle<NvSipRequest>) {
    NvHandle<NvSipResponse> refusal = transaction->buildResponse(420);
    NvSipCapabilities::sAddUnsupported(*refusal, m_Tags);
    transaction->sendResponse(refusal);
}

void NvSipCallManager::OverloadInterface::request(NvHandle<NvSipServerTransaction> transaction,
                                                  NvHandle<NvSipRequest>) {
    NvHandle<NvSipResponse> refusal = transaction->buildResponse(503);
    refusal->addHeader(new NvSipRetryAfterHeader(NvSipTransactionManager::m_OverloadRetryAfter));
    transaction->sendResponse(refusal);
}

void NvSipCallManager::OutOfOrderInterface::request(NvHandle<NvSipServerTransaction> transaction,
                                                    NvHandle<NvSipRequest>) {
    transaction->sendResponse(500);
}

// ---------------------------------------------------------------- life

NvSipCallManager::NvSipCallManager(NvSipNewCallinterface* newCallInterface, NvSipCallStrayInterface* strayInterface)
    : m_hNewCallInterface(newCallInterface),
      m_pLink(std::make_shared<Link>(this)),
      m_hStrayMessageInterface(
          Tellar::NoSizeMemAllocator::create<StrayMessageInterface>("StrayMessageInterface", m_pLink)),
      m_hStrayServerTransactionInterface(Tellar::NoSizeMemAllocator::create<StrayServerTransactionInterface>(
          "StrayServerTransactionInterface", m_pLink)),
      m_hStrayInterface(strayInterface),
      m_pMutex(nullptr),
      m_pDialogTableInterface(std::make_shared<DialogTableInterface>(m_pLink)),
      m_hOverloadInterface(new OverloadInterface),
      m_OverloadLog(Tellar::fileScopeLogger(), "Call limit") {
    if (smp_TheSingleton)
        NvAssertionFailure::sThrow("There can be only one call manager", "NvSipCallManager", __LINE__,
                                   __DATE__ " " __TIME__);
    smp_TheSingleton = this;
    m_pMutex = NvNewCeilingMutex();
    registerWithStack();
    smp_AuthInterface = NvAuthenticationInterface::sm_AuthenticationInterface;
}

void NvSipCallManager::registerWithStack() {
    NvSipTransactionManager* transactions = NvSipTransactionManager::sGetInstance();
    transactions->setStrayInterface(m_hStrayMessageInterface.get());
    transactions->setTransactionFactoryInterface(
        Tellar::NoSizeMemAllocator::create<TransactionFactoryInterface>("TransactionFactoryInterface", m_pLink));
}

NvSipCallManager::~NvSipCallManager() {
    m_pLink->stopRouting();
    // The records of the calls still up stay in the store, for a node that
    // takes them over: the keeper writes what is pending and goes before
    // the calls end here.
    NvHandle<NvSipSnapshotKeeper> keeper;
    {
        std::lock_guard<NvMutex> lock(*m_pMutex);
        std::swap(keeper, m_hSnapshotKeeper);
        m_bSnapshotStore = false;
    }
    if (!keeper.isNil()) {
        keeper->flush();
        keeper->detach();
    }
    clear(false);
    NvSipTransactionManager* transactions = NvSipTransactionManager::sGetInstance();
    if (transactions->getStrayInterface().get() == m_hStrayMessageInterface.get())
        transactions->setStrayInterface(nullptr);
    if (smp_TheSingleton == this) smp_TheSingleton = nullptr;
    m_pLink->cut();
    delete m_pMutex;
}

// ---------------------------------------------------------------- dialog table

NvHandle<NvObject> NvSipCallManager::list(const NvString& key, const NvHandle<NvObject>& dialog) {
    NvHandle<NvObject> replaced = m_DialogTable.put(key, dialog);
    if (replaced.get() != dialog.get()) {
        countEntry(dialog.get(), 1);
        if (replaced) countEntry(replaced.get(), -1);
    }
    return replaced;
}

NvHandle<NvObject> NvSipCallManager::unlist(const NvString& key) {
    NvHandle<NvObject> removed = m_DialogTable.remove(key);
    if (removed) countEntry(removed.get(), -1);
    return removed;
}

void NvSipCallManager::countEntry(NvObject* dialog, int change) {
    uint8_t& entries = static_cast<NvSipDialog*>(dialog)->m_TableEntries;
    if (change > 0 && entries++ == 0) ++m_Calls;
    if (change < 0 && --entries == 0) --m_Calls;
}

void NvSipCallManager::addDialog(NvHandle<NvSipDialog> dialog) {
    const NvString key = dialog->getKey();
    NvHandle<NvObject> replaced;  // released after the lock
    std::lock_guard<NvMutex> lock(*m_pMutex);
    replaced = list(key, dialog);
}

void NvSipCallManager::removeDialog(NvHandle<NvSipDialog> dialog) {
    removeDialog(dialog->getKey());
}

void NvSipCallManager::removeDialog(const NvString& key) {
    writeRemoveLine(key);
    NvHandle<NvObject> removed;  // released after the lock: it may be the dialog's last handle
    std::lock_guard<NvMutex> lock(*m_pMutex);
    removed = unlist(key);
}

NvHandle<NvSipDialog> NvSipCallManager::getDialog(NvHandle<NvSipRequest> request) {
    std::lock_guard<NvMutex> lock(*m_pMutex);
    return NvHandle<NvSipDialog>(m_DialogTable.get(sDialogKey(request)));
}

NvHandle<NvSipDialog> NvSipCallManager::findDialog(const NvString& key) const {
    std::lock_guard<NvMutex> lock(*m_pMutex);
    return NvHandle<NvSipDialog>(m_DialogTable.get(key));
}

void NvSipCallManager::updateDialogKey(const NvString& oldKey, const NvString& newKey) {
    NvErrorStream& debug = NvErrorStream::sGetDefault();
    if (debug.getLevel() > 4)
        debug << "NvSipCallManager::updateDialogKey\nOld Key = <" << oldKey << ">\nNew Key = <" << newKey << ">\n";
    NvHandle<NvObject> replaced;  // released after the lock
    std::lock_guard<NvMutex> lock(*m_pMutex);
    NvHandle<NvObject> dialog = m_DialogTable.get(oldKey);
    if (dialog.isNil()) NvSipMlException::sThrow("### Can't find dialog ###", "NvSipCallManager", "updateDialogKey()");
    replaced = list(newKey, dialog);
}

size_t NvSipCallManager::getDialogCount() const {
    std::lock_guard<NvMutex> lock(*m_pMutex);
    return m_DialogTable.size();
}

void NvSipCallManager::setCallLimit(uint32_t limit) {
    std::lock_guard<NvMutex> lock(*m_pMutex);
    m_CallLimit = limit;
}

size_t NvSipCallManager::getCallCount() const {
    std::lock_guard<NvMutex> lock(*m_pMutex);
    return m_Calls;
}

NvHandle<NvSipServerTransaction> NvSipCallManager::shedAtLimit(const NvHandle<NvSipRequest>& request) {
    {
        std::lock_guard<NvMutex> lock(*m_pMutex);
        if (m_CallLimit == 0 || m_Calls < m_CallLimit) return nullptr;
    }
    m_OverloadLog.shed();
    return new NvSipServerTransaction(request, m_hOverloadInterface.get());
}

void NvSipCallManager::clear(bool hangup) {
    // Each pass reads the table once and ends what it listed; a dialog listed
    // during a pass (a hang-up may list one) is ended by the next.
    for (;;) {
        std::vector<NvString> keys;
        {
            std::lock_guard<NvMutex> lock(*m_pMutex);
            if (m_DialogTable.isEmpty()) break;
            keys = m_DialogTable.keys();
        }
        // A dialog listed under two keys is ended once; those ended are held to
        // the end of the pass, so that no other object takes their address.
        std::unordered_map<const NvObject*, NvHandle<NvObject>> ended;
        for (const NvString& key : keys) {
            NvHandle<NvObject> listed;
            {
                std::lock_guard<NvMutex> lock(*m_pMutex);
                listed = unlist(key);
            }
            if (listed.isNil() || !ended.emplace(listed.object(), listed).second) continue;
            end(NvHandle<NvSipDialog>(listed), hangup);
        }
    }
}

void NvSipCallManager::end(NvHandle<NvSipDialog> dialog, bool hangup) {
    if (hangup) {
        try {
            dialog->hangup(nullptr);
        } catch (NvHandle<NvException>& e) {  // shutdown goes on: the dialog is ended below
            TELLAR_WARN(Tellar::fileScopeLogger(),
                        "clear: hang-up of " << dialog->getKey().str() << " failed: " << e->getMessage().str());
        }
    }
    {
        std::lock_guard<NvRecursiveMutex> lock(*dialog->m_pMutex);
        dialog->terminating();
    }
    // The call lets go of its dialog too: a call and its dialog hold each
    // other until one of them does.
    dialog->getCall()->removeDialog(dialog);
}

NvString NvSipCallManager::sDialogKey(NvHandle<NvSipRequest> request) {
    const NvString toTag = tagOf(request->getToHeader());
    const NvString fromTag = tagOf(request->getFromHeader());
    return NvSipDialog::sBuildKey(request->getCallID().c_str(), toTag.c_str(), fromTag.c_str());
}

bool NvSipCallManager::sCheckAuthentication(NvHandle<NvSipResponse> response, NvHandle<NvSipRequest> request) {
    return smp_AuthInterface && smp_AuthInterface->response(response, request);
}

void NvSipCallManager::setServerTransactionInterface(const NvString& method,
                                                     NvHandle<NvSipServerTransactionInterface> handler) {
    std::lock_guard<NvMutex> lock(*m_pMutex);
    if (handler.isNil())
        m_ServerTransactionInterfaces.erase(method);
    else
        m_ServerTransactionInterfaces[method] = handler;
}

// ---------------------------------------------------------------- routing

NvHandle<NvSipServerTransaction> NvSipCallManager::createServerTransaction(NvHandle<NvSipRequest> request) {
    std::vector<std::string> unsupported = NvSipCapabilities::sUnsupported(*request);
    if (!unsupported.empty())
        return new NvSipServerTransaction(request, new UnsupportedExtensionInterface(std::move(unsupported)));
    const NvString method = request->getMethod();
    NvHandle<NvSipDialog> dialog = findDialog(sDialogKey(request));
    if (dialog.isNil()) dialog = takeOver(request);
    if (!dialog.isNil()) {
        if (!dialog->takeRemoteCSeq(request)) return new NvSipServerTransaction(request, new OutOfOrderInterface);
        if (method == NvSipInviteMessage::sMethodName)
            return dialog->inviteRequest(NvHandle<NvSipInviteMessage>(request));
        if (method == NvSipByeMessage::sMethodName)
            return transactionWith<NvSipDialog::ByeServerInterface>(request, "ByeServerInterface", dialog);
        if (method == NvSipPrackMessage::sMethodName)
            return transactionWith<NvSipDialog::PrackServerInterface>(request, "PrackServerInterface", dialog);
        if (method == NvSipUpdateMessage::sMethodName)
            return transactionWith<NvSipDialog::UpdateServerInterface>(request, "UpdateServerInterface", dialog);
        return transactionWith<NvSipDialog::UnknownRequestServerInterface>(request, "UnknownRequestServerInterface",
                                                                           dialog);
    }

    if (method != NvSipByeMessage::sMethodName && smp_AuthInterface) {
        NvHandle<NvSipResponse> challenge = smp_AuthInterface->request(request);
        if (!challenge.isNil())
            return new NvSipServerTransaction(
                request, Tellar::NoSizeMemAllocator::create<AuthInterface>("AuthInterface", challenge));
    }
    if (method == NvSipInviteMessage::sMethodName) return routeInvite(request);

    NvHandle<NvSipServerTransactionInterface> handler;
    {
        std::lock_guard<NvMutex> lock(*m_pMutex);
        auto registered = m_ServerTransactionInterfaces.find(method);
        if (registered != m_ServerTransactionInterfaces.end()) handler = registered->second;
    }
    if (!handler.isNil()) return new NvSipServerTransaction(request, handler.get());
    return stray(request);
}

// ---------------------------------------------------------------- snapshots

void NvSipCallManager::setSnapshotStore(NvHandle<NvSipSnapshotStore> store, NvSipIncomingCallinterface* callInterface) {
    NvHandle<NvSipSnapshotKeeper> keeper =
        store.isNil() ? nullptr : new NvSipSnapshotKeeper(std::move(store), callInterface);
    std::lock_guard<NvMutex> lock(*m_pMutex);
    std::swap(m_hSnapshotKeeper, keeper);
    m_bSnapshotStore = !m_hSnapshotKeeper.isNil();
}

NvHandle<NvSipSnapshotKeeper> NvSipCallManager::snapshotKeeper() const {
    std::lock_guard<NvMutex> lock(*m_pMutex);
    return m_hSnapshotKeeper;
}

std::vector<NvHandle<NvSipIncomingCall>> NvSipCallManager::restoreSnapshots() {
    const NvHandle<NvSipSnapshotKeeper> keeper = snapshotKeeper();
    return keeper.isNil() ? std::vector<NvHandle<NvSipIncomingCall>>() : keeper->restore();
}

NvHandle<NvSipDialog> NvSipCallManager::takeOver(const NvHandle<NvSipRequest>& request) {
    const NvHandle<NvSipSnapshotKeeper> keeper = snapshotKeeper();
    if (keeper.isNil() || tagOf(request->getToHeader()).isEmpty() || tagOf(request->getFromHeader()).isEmpty())
        return nullptr;
    const NvHandle<NvSipIncomingCall> call = keeper->takeOver(request->getCallID().str());
    if (call.isNil()) return nullptr;
    TELLAR_INFO(Tellar::fileScopeLogger(), "Call " << request->getCallID().str() << " taken over from the snapshot store for its "
                                                   << request->getMethod().str());
    m_hNewCallInterface->callTakenOver(call);
    return findDialog(sDialogKey(request));
}

NvHandle<NvSipServerTransaction> NvSipCallManager::routeInvite(const NvHandle<NvSipRequest>& request) {
    const NvString toTag = tagOf(request->getToHeader());
    if (!toTag.isEmpty()) {
        TELLAR_DEBUG(Tellar::fileScopeLogger(),
                     "SIP To header tag (" << toTag.str() << ") associated with unknown dialog");
        return stray(request);
    }
    NvHandle<NvSipReplacesHeader> replaces = request->getHeader<NvSipReplacesHeader>();
    if (!replaces.isNil()) {
        const NvString callId = replaces->getCallID(), to = replaces->getToTag(), from = replaces->getFromTag();
        NvHandle<NvSipDialog> replaced = findDialog(NvSipDialog::sBuildKey(callId.c_str(), to.c_str(), from.c_str()));
        if (replaced.isNil()) return stray(request);
        return transactionWith<NvSipDialog::ReplacesinviteServerInterface>(request, "ReplacesinviteServerInterface",
                                                                           replaced);
    }
    if (NvHandle<NvSipServerTransaction> refusal = shedAtLimit(request)) return refusal;
    NvHandle<NvSipIncomingCall> call = m_hNewCallInterface->newCall(NvHandle<NvSipInviteMessage>(request));
    if (call.isNil()) return nullptr;
    NvHandle<NvSipDialog> dialog = call->getDialog();
    if (dialog.isNil()) return nullptr;
    return NvHandle<NvSipServerTransaction>(dialog->getInitialTransaction());
}

NvHandle<NvSipServerTransaction> NvSipCallManager::stray(const NvHandle<NvSipRequest>& request) {
    return new NvSipServerTransaction(request, m_hStrayServerTransactionInterface.get());
}

void NvSipCallManager::strayRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest> request) {
    const NvString method = request->getMethod();
    if (method == NvSipInviteMessage::sMethodName)
        m_hStrayInterface->strayReplacesInvite(NvHandle<NvSipInviteMessage>(request), transaction);
    else if (method == NvSipByeMessage::sMethodName)
        m_hStrayInterface->strayBye(NvHandle<NvSipByeMessage>(request), transaction);
    else
        m_hStrayInterface->strayUnknownRequest(request, transaction);
}

void NvSipCallManager::strayAck(NvHandle<NvSipAckMessage> ack) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipCallManager::strayAck");
    NvHandle<NvSipDialog> dialog = findDialog(sDialogKey(ack));
    if (dialog.isNil()) {
        m_hStrayInterface->strayAck(ack);
        return;
    }
    dialog->logCallMessage(ack, true, nullptr, nullptr, Tellar::INFO);
    dialog->onAckRequest(nullptr, ack);
}

void NvSipCallManager::strayResponse(NvHandle<NvSipResponse> response) {
    TELLAR_TRACE_SCOPE(Tellar::fileScopeLogger(), "NvSipCallManager::strayResponse");
    const NvString callId = response->getCallID();
    const NvString fromTag = tagOf(response->getFromHeader());  // our side, for a response
    const NvString toTag = tagOf(response->getToHeader());
    const int status = response->getStatusCode();
    // Only an INVITE's answers outlive its transaction (2xx, RFC 3261
    // 13.2.2.4); a late answer to another request concerns no dialog.
    if (response->getCSeqHeader()->getMethod() != NvSipInviteMessage::sMethodName) {
        m_hStrayInterface->strayResponse(response);
        return;
    }
    NvHandle<NvSipDialog> dialog = findDialog(NvSipDialog::sBuildKey(callId.c_str(), fromTag.c_str(), toTag.c_str()));
    if (!dialog.isNil()) {
        if (status / 100 == 1)
            dialog->onProvisionalResponse(nullptr, response);
        else
            dialog->onFinalResponse(response);  // a retransmitted final response
        return;
    }
    // The key an outgoing dialog had before it learnt a remote tag: another
    // fork answering. Its 2xx makes a dialog of its own; the rest is dropped.
    // Once the call has ended, a 2xx is still ACKed and hung up.
    NvHandle<NvSipDialog> first = findDialog(NvSipDialog::sBuildKey(callId.c_str(), fromTag.c_str(), nullptr));
    if (first.isNil()) {
        if (!m_LateAnswers.hangUp(response)) m_hStrayInterface->strayResponse(response);
    } else if (status / 100 == 2)
        first->onFinalResponse(nullptr, response);
}

void NvSipCallManager::strayCancel(NvHandle<NvSipCancelMessage> cancel) { m_hStrayInterface->strayCancel(cancel); }
void NvSipCallManager::strayPrack(NvHandle<NvSipPrackMessage> prack) { m_hStrayInterface->strayPrack(prack); }
void NvSipCallManager::invalidMessage(NvHandle<NvSipMessage> message) { m_hStrayInterface->invalidMessage(message); }
void NvSipCallManager::malFormedMessage(NvHandle<NvSipMessage> message) {
    m_hStrayInterface->malFormedMessage(message);
}
