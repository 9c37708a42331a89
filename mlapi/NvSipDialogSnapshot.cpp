// NvSipDialog: its record in a call's snapshot, written by serialize and
// read back by the stream constructor. The byte form, the checks and the
// stale rules are NvSipDialogRecord's; here the dialog fills a record from
// its parts and takes one back.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipDialogTable.h"
#include "mlapi/dialog/NvSipDialogRecord.h"

namespace {

// New adapters on `dialog` for the transactions of its record.
class DialogAdapters : public NvSipDialogRecord::Adapters {
public:
    explicit DialogAdapters(NvSipDialog* dialog) : m_pDialog(dialog) {}
    Client inviteClient() override { return make<NvSipDialog::InviteClientInterface>("InviteClientInterface"); }
    Server inviteServer() override { return make<NvSipDialog::InviteServerInterface>("InviteServerInterface"); }
    Client byeClient() override { return make<NvSipDialog::ByeClientInterface>("ByeClientInterface"); }
    Server byeServer() override { return make<NvSipDialog::ByeServerInterface>("ByeServerInterface"); }
    Client reinviteClient() override { return make<NvSipDialog::ReinviteClientInterface>("ReinviteClientInterface"); }
    Server reinviteServer() override { return make<NvSipDialog::ReinviteServerInterface>("ReinviteServerInterface"); }

private:
    template <class Adapter>
    Adapter* make(const char* name) {
        return Tellar::NoSizeMemAllocator::create<Adapter>(name, NvHandle<NvSipDialog>(m_pDialog));
    }
    NvSipDialog* m_pDialog;
};

}  // namespace

// ---------------------------------------------------------------- writing

void NvSipDialog::serialize(NvOutputStream& out) const {
    NvSipDialogRecord record;
    {
        std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
        record.state = m_State;
        record.retransmitCount = m_Retransmitter.count();
        record.localCSeq = m_LocalCSeq;
        record.remoteCSeq = m_RemoteCSeq;
        record.rseq = m_Retransmitter.lastRSeq();
        record.sessionInterval = m_SessionTimer.interval();
        record.remoteTag = m_RemoteTag;
        record.remoteParticipant = m_hRemoteParticipant;
        record.routeSet = m_RouteSet;
        record.remoteTarget = m_hRemoteTargetURI;
        record.initialTransaction = m_hInitialTransaction;
        record.byeTransaction = m_hByeTransaction;
        record.ourReinvite = m_OurReinvite.transaction();
        record.theirReinvite = m_TheirReinvite.transaction();
        record.inResponse = m_hInResponse;
        record.outResponse = m_Retransmitter.kept();
    }
    record.write(out);
}

// ---------------------------------------------------------------- reading

NvSipDialog::NvSipDialog(NvSipCall* call, NvInputStream& in)
    : NvSipDialog(call, call->getCallID(), call->isOutgoing(), "NvSipDialog ctor (5)") {
    AddRef();  // the adapters' handles made while reading must not free it half-built
    NvSipDialogRecord record;
    try {
        DialogAdapters adapters(this);
        record.read(in, adapters);
    } catch (...) {
        Release(false);
        throw;
    }
    record.dropStale();
    m_State = record.state;
    m_LocalCSeq = record.localCSeq;
    m_RemoteCSeq = record.remoteCSeq;
    m_SessionTimer.setInterval(record.sessionInterval);
    m_RemoteTag = record.remoteTag;
    m_hRemoteParticipant = record.remoteParticipant;
    m_RouteSet = record.routeSet;
    m_hRemoteTargetURI = record.remoteTarget;
    m_hInitialTransaction = record.initialTransaction;
    m_hByeTransaction = record.byeTransaction;
    m_OurReinvite.restore(record.ourReinvite);
    m_TheirReinvite.take(record.theirReinvite);
    m_hInResponse = record.inResponse;
    m_Retransmitter.restore(record.outResponse, record.retransmitCount, record.rseq);
    m_Key = sBuildKey(m_CallID.c_str(), m_hCall->getLocalTag().c_str(), m_RemoteTag.c_str());
    if (m_State != NV_TERMINATED) table().addDialog(this);
    // The record keeps neither how much of the interval had passed nor who
    // refreshes: the session starts a new interval here, which we refresh.
    if (sIsConfirmed(m_State) && record.sessionInterval != 0)
        m_SessionTimer.start(timers(), record.sessionInterval, true);
    Release(false);
}

void NvSipDialog::discardRebuilt() {
    NvHandle<NvSipClientTransaction> ours = m_OurReinvite.transaction();
    NvHandle<NvSipServerTransaction> theirs = m_TheirReinvite.transaction();
    NvSipDialogRecord::sLeaveStack(m_hInitialTransaction);
    NvSipDialogRecord::sLeaveStack(m_hByeTransaction);
    NvSipDialogRecord::sLeaveStack(ours);
    NvSipDialogRecord::sLeaveStack(theirs);
    m_OurReinvite.forget();
    m_TheirReinvite.forget();
    if (m_State != NV_TERMINATED) table().removeDialog(m_Key);
}
