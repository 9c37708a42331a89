// NvSipDialog: construction, identity, key, state changes and the end of
// its life.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipCapabilities.h"
#include "mlapi/NvSipDialogTable.h"
#include "mlapi/NvSipMlException.h"
#include "stack/log/Tellar.h"
#include "stack/timer/NvMonitorThread.h"

#include <cassert>
#include <iterator>
#include <mutex>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipDialog")

bool NvSipDialog::sm_bSupportTimer = false;
unsigned int NvSipDialog::sm_MinSessionTime = 20;

namespace {

// Keeps a reference on an object under construction while handles on it
// are made and dropped, so that none of them can free it half-built.
class ConstructionGuard {
public:
    explicit ConstructionGuard(NvObject& object) : m_Object(object) { m_Object.AddRef(); }
    ~ConstructionGuard() { m_Object.Release(false); }
    ConstructionGuard(const ConstructionGuard&) = delete;
    ConstructionGuard& operator=(const ConstructionGuard&) = delete;

private:
    NvObject& m_Object;
};

NvSipCall* withTable(NvSipCall* call) {
    if (!call->getDialogTable())
        NvSipMlException::sThrow("No call manager: create it before any call", "NvSipDialog", "NvSipDialog()");
    return call;
}

}  // namespace

NvSipDialog::NvSipDialog(NvSipCall* call, const NvString& callId, bool caller, const char* traceScope)
    : ObjectWithLogger(Tellar::fileScopeLogger()),
      m_hCall(withTable(call)),
      m_CallID(callId),
      m_bCaller(caller),
      m_pMutex(new NvRecursiveMutex) {
    getLogger().refreshCachedLevel();
    TELLAR_TRACE_SCOPE(getLogger(), traceScope);
}

NvSipDialog::NvSipDialog(OurInvite, NvSipCall* call, NvHandle<NvSipInviteMessage> invite)
    : NvSipDialog(call, call->getCallID(), true, "NvSipDialog ctor (1)") {
    m_LocalCSeq = invite->getCSeqHeader()->getNumber();
    m_hRemoteParticipant = invite->getToHeader()->getNameAddress();
    NvHandle<NvSipSessionExpiresHeader> sessionExpires = invite->getHeader<NvSipSessionExpiresHeader>();
    if (!sessionExpires.isNil() && sessionExpires->getNumber() < sm_MinSessionTime)
        NvException::sThrow("Session time too small");
    ConstructionGuard guard(*this);
    m_Key = sBuildKey(m_CallID.c_str(), call->getLocalTag().c_str(), m_RemoteTag.c_str());
    m_State = NV_CALLING;
    NvSipCapabilities::sAddAllowAndSupported(*invite, false);
    m_hInitialTransaction =
        new NvSipClientTransaction(invite, Tellar::NoSizeMemAllocator::create<InviteClientInterface>(
                                               "InviteClientInterface", NvHandle<NvSipDialog>(this)));
    m_hLocalContactHeader = invite->getHeader<NvSipContactHeader>();
    Tellar::Assertion(!m_hLocalContactHeader.isNil(), "! m_hLocalContactHeader.isNil()", &getLogger(), __FILE__,
                      __LINE__);
    table().addDialog(this);
    call->addDialog(this);
}

NvSipDialog::NvSipDialog(const NvSipDialog& other)
    : NvObserver(),
      ObjectWithLogger(other),
      TaggedAllocation(),
      m_hInitialTransaction(other.m_hInitialTransaction),
      m_hLocalContactHeader(other.m_hLocalContactHeader),
      m_hRemoteTargetURI(other.m_hRemoteTargetURI),
      m_hCall(other.m_hCall),
      m_CallID(other.m_CallID),
      m_hRemoteParticipant(other.m_hRemoteParticipant),
      m_RemoteTag(other.m_RemoteTag),
      m_State(other.m_State),
      m_LocalCSeq(other.m_LocalCSeq),
      m_RemoteCSeq(other.m_RemoteCSeq),
      m_PeerCSeq(other.m_PeerCSeq),
      m_PeerCSeqMethod(other.m_PeerCSeqMethod),
      m_bOnTimeoutSendFinalResponse(other.m_bOnTimeoutSendFinalResponse),
      m_bCaller(other.m_bCaller),
      m_pMutex(new NvRecursiveMutex),
      m_SessionTimer(other.m_SessionTimer),
      m_Credentials(other.m_Credentials),
      m_bHungUp(other.m_bHungUp) {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog ctor (3)");
}

NvSipDialog::NvSipDialog(const NvSipDialog& source, const NvHandle<NvSipResponse>& response, int32_t state)
    : NvSipDialog(source) {
    m_RemoteTag = response->getToHeader()->getTag();
    m_State = state;
    // RFC 3261 12.1.2: the branch's route set and remote target are its own
    // response's Record-Route and Contact.
    setRouteInfo(response);
    updateRemoteTargetURI(response);
    m_Key = sBuildKey(m_CallID.c_str(), m_hCall->getLocalTag().c_str(), m_RemoteTag.c_str());
    if (state == NV_PROCESSING) m_hInResponse = response;
}

NvSipDialog::NvSipDialog(TheirInvite, NvSipCall* call, NvHandle<NvSipInviteMessage> invite)
    : NvSipDialog(call, call->getCallID(), false, "NvSipDialog ctor (2)") {
    ConstructionGuard guard(*this);
    takeCaller(invite);
    m_hInitialTransaction =
        new NvSipServerTransaction(invite, Tellar::NoSizeMemAllocator::create<InviteServerInterface>(
                                               "InviteServerInterface", NvHandle<NvSipDialog>(this)));
    enterTable(call->getLocalTag());
}

NvSipDialog::NvSipDialog(NvSipCall* call, NvHandle<NvSipInviteMessage> invite,
                         NvHandle<NvSipServerTransaction> transaction)
    : NvSipDialog(call, invite->getCallID(), false, "NvSipDialog ctor (4)") {
    ConstructionGuard guard(*this);
    m_hInitialTransaction = transaction;
    m_State = NV_CALLED;
    takeCaller(invite);
    transaction->setInterface(Tellar::NoSizeMemAllocator::create<InviteServerInterface>(
        "InviteServerInterface", NvHandle<NvSipDialog>(this)));
    enterTable(call->getLocalTag());
}

void NvSipDialog::takeCaller(const NvHandle<NvSipInviteMessage>& invite) {
    m_LocalCSeq = m_RemoteCSeq = invite->getCSeqHeader()->getNumber();
    m_hRemoteParticipant = invite->getFromHeader()->getNameAddress();
    m_RemoteTag = invite->getFromHeader()->getTag();
    m_Key = sBuildKey(m_CallID.c_str(), nullptr, m_RemoteTag.c_str());
    setRouteInfo(invite);
}

void NvSipDialog::enterTable(const NvString& localTag) {
    table().addDialog(this);
    const NvString oldKey = m_Key;
    m_Key = sBuildKey(m_CallID.c_str(), localTag.c_str(), m_RemoteTag.c_str());
    table().updateDialogKey(oldKey, m_Key);
}

NvSipDialog::~NvSipDialog() {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog dtor");
    NvErrorStream& debug = NvErrorStream::sGetDefault();
    if (debug.getLevel() > 4) debug << "NvSipDialog::~NvSipDialog() " << m_Key << "\n";
    delete m_pMutex;
    detach();
}

void NvSipDialog::terminating() {
    TELLAR_TRACE_SCOPE(getLogger(), "NvSipDialog::terminating");
    changeState(NV_TERMINATED);
    m_hInitialTransaction = nullptr;
    m_hLocalContactHeader = nullptr;
    m_hRemoteTargetURI = nullptr;
    m_hByeTransaction = nullptr;
    m_OurReinvite.forget();
    m_TheirReinvite.forget();
    m_OurUpdate.forget();
    m_TheirUpdate.forget();
    m_Retransmitter.stop(timers());
    answerKeptRequests(487u);
    m_hByeAfterAck = nullptr;
    m_hInResponse = nullptr;
    m_Unpracked.clear();
    m_hAck = nullptr;
    m_SessionTimer.stop(timers());
    table().removeDialog(NvHandle<NvSipDialog>(this));
}

NvSipDialogTable& NvSipDialog::table() const {
    return *m_hCall->getDialogTable();
}

NvSipTimerOwner NvSipDialog::timers() {
    return {*this, NvMonitorThread::sGetCurrent()->getScheduler()};
}

// ---------------------------------------------------------------- state

void NvSipDialog::changeState(int32_t next) {
    if (!sIsAllowed(m_State, next)) {
        TELLAR_ERROR(getLogger(), "Dialog " << m_Key.str() << ": no state change from " << sStateName(m_State) << " to "
                                            << sStateName(next) << " in the state table");
        assert(!"dialog state change outside the state table");
    }
    m_State = next;
    // A confirmed dialog, the end of a re-INVITE, the end: what a snapshot keeps.
    if (next == NV_ACTIVE || next == NV_TERMINATED) table().snapshotChanged(this);
}

const char* NvSipDialog::sStateName(int32_t state) {
    static const char* const names[] = {
        "NV_INITIAL",         "NV_CALLING",     "NV_CALLED",       "NV_PROCEEDING",          "NV_PROCEEDED",
        "NV_PROCESSING",      "NV_ACTIVE",      "NV_REINVITING",   "NV_REINVITED",           "NV_REINVITE_PROCEEDING",
        "NV_REINVITE_PROCEEDED", "NV_REINVITE_PROCESSING", "NV_REINVITE_FAILED", "NV_TERMINATING", "NV_TERMINATING2",
        "NV_TERMINATED"};
    for (size_t bit = 0; bit < std::size(names); ++bit)
        if (state == (1 << bit)) return names[bit];
    return "(no single state)";
}

// ---------------------------------------------------------------- identity

NvString NvSipDialog::sBuildKey(const char* callId, const char* localTag, const char* remoteTag) {
    NvStringBuffer key(256);
    if (callId) key.append(callId);
    key.append(",");
    if (localTag) key.append(localTag);
    key.append(",");
    if (remoteTag) key.append(remoteTag);
    return key.toString();
}

NvString NvSipDialog::getCallID() const {
    return m_CallID;  // never changes
}

NvHandle<NvSipNameAddress> NvSipDialog::getLocalParticipant() const {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    return m_hCall->getLocalParticipant();
}

NvHandle<NvSipNameAddress> NvSipDialog::getRemoteParticipant() const {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    return m_hRemoteParticipant;
}

NvString NvSipDialog::getRemoteTag() const {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    return m_RemoteTag;
}

NvString NvSipDialog::getKey() const {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    return m_Key;
}

void NvSipDialog::setKey(const NvString& key) {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    m_Key = key;
}

void NvSipDialog::updateDialogKey(const NvString&, const NvString& newKey) {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    table().removeDialog(NvHandle<NvSipDialog>(this));
    setKey(newKey);
    table().addDialog(NvHandle<NvSipDialog>(this));
}

int32_t NvSipDialog::getState() const {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    return m_State;
}

uint32_t NvSipDialog::getSessionInterval() const {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    return m_SessionTimer.interval();
}

NvHandle<NvSipCall> NvSipDialog::getCall() const {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    return m_hCall;
}

NvHandle<NvSipTransaction> NvSipDialog::getInitialTransaction() const {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    return m_hInitialTransaction;
}
