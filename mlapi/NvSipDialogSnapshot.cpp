// NvSipDialog: its record in a call's snapshot, written by serialize and
// read back by the stream constructor; the primitive items the calls'
// records share.

#include "mlapi/NvSipDialog.h"

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipCallManager.h"
#include "stack/base/NvStream.h"
#include "stack/sip/NvSipNameAddress.h"
#include "stack/transaction/NvSipTransactionManager.h"

#include <string>

namespace {

// Kind bytes of a transaction item.
constexpr uint8_t kNone = 0;
constexpr uint8_t kClient = 1;
constexpr uint8_t kServer = 2;

const char kTextEnd = '\x0B';

[[noreturn]] void corrupt(const std::string& why) {
    NvException::sThrow("Corrupt dialog snapshot: " + why);
}

bool isOneState(uint32_t state) {
    return state != 0 && (state & (state - 1)) == 0 && state <= NvSipDialog::NV_TERMINATED;
}

void writeKindAndTransaction(NvOutputStream& out, const NvHandle<NvSipTransaction>& transaction) {
    out.write(transaction.isNil() ? kNone : transaction->isClient() ? kClient : kServer);
    if (!transaction.isNil()) transaction->serialize(out);
}

void writePresentTransaction(NvOutputStream& out, const NvHandle<NvSipTransaction>& transaction) {
    out.write(transaction.isNil() ? kNone : kClient);
    if (!transaction.isNil()) transaction->serialize(out);
}

// The stack's encodings of a u32 and of a message (u32 length, then the
// wire form; 0: none), as its transaction snapshots write them.
struct StackItems : NvSipTransaction {
    using NvSipTransaction::sReadMessage;
    using NvSipTransaction::sReadU32;
    using NvSipTransaction::sWriteMessage;
    using NvSipTransaction::sWriteU32;
};

// A transaction of `dialog` read from `in`, bound to a new `Adapter`.
template <class Adapter, class Transaction>
NvHandle<Transaction> rebuild(NvInputStream& in, NvSipDialog* dialog, const char* adapterName) {
    const NvHandle<Adapter> adapter(
        Tellar::NoSizeMemAllocator::create<Adapter>(adapterName, NvHandle<NvSipDialog>(dialog)));
    return Transaction::sCreateFrom(in, adapter.get());
}

// A transaction item with a kind byte: a client one bound to `ClientSide`,
// a server one to `ServerSide`.
template <class ClientSide, class ServerSide>
NvHandle<NvSipTransaction> readEither(NvInputStream& in, NvSipDialog* dialog, const char* clientName,
                                      const char* serverName) {
    switch (in.readByte()) {
    case kClient:
        return NvHandle<NvSipTransaction>(rebuild<ClientSide, NvSipClientTransaction>(in, dialog, clientName));
    case kServer:
        return NvHandle<NvSipTransaction>(rebuild<ServerSide, NvSipServerTransaction>(in, dialog, serverName));
    default:
        return nullptr;
    }
}

// Takes a transaction out of the stack (the manager's table and the
// scheduler) and forgets it, so that nothing of it reports any more.
template <class Transaction>
void leaveStack(NvHandle<Transaction>& transaction) {
    if (transaction.isNil()) return;
    NvSipTransactionManager::getInstance()->removeTransaction(NvHandle<NvSipTransaction>(transaction));
    transaction->detach();
    transaction = nullptr;
}

}  // namespace

// ---------------------------------------------------------------- primitive items

void NvSipDialog::sWriteU32(NvOutputStream& out, uint32_t value) {
    StackItems::sWriteU32(out, value);
}

uint32_t NvSipDialog::sReadU32(NvInputStream& in) {
    return StackItems::sReadU32(in);
}

void NvSipDialog::sWriteText(NvOutputStream& out, const NvString& text) {
    out << text << kTextEnd;
}

NvString NvSipDialog::sReadText(NvInputStream& in) {
    NvStringBuffer text;
    text.parse(in, std::string_view(&kTextEnd, 1));
    in.readByte();  // the delimiter; raises at the end of the stream
    return text.toString();
}

void NvSipDialog::sWriteNameAddress(NvOutputStream& out, const NvHandle<NvSipNameAddress>& address) {
    if (!address.isNil()) address->setAngleBrackets(true);
    out << address;
}

NvHandle<NvSipNameAddress> NvSipDialog::sReadNameAddress(NvInputStream& in, const char* what) {
    NvHandle<NvSipNameAddress> address;
    in >> address;
    if (address.isNil()) corrupt(std::string("no ") + what);
    return address;
}

// ---------------------------------------------------------------- writing

void NvSipDialog::serialize(NvOutputStream& out) const {
    std::lock_guard<NvRecursiveMutex> lock(*m_pMutex);
    sWriteU32(out, static_cast<uint32_t>(m_State));
    const uint8_t retransmitCount[4] = {m_RetransmitCount, 0, 0, 0};
    out.write(retransmitCount, sizeof retransmitCount);
    sWriteU32(out, m_LocalCSeq);
    sWriteU32(out, m_RemoteCSeq);
    sWriteU32(out, m_RSeq);
    sWriteU32(out, m_SessionInterval);
    sWriteText(out, m_RemoteTag);
    sWriteNameAddress(out, m_hRemoteParticipant);
    sWriteU32(out, static_cast<uint32_t>(m_RouteSet.size()));
    for (const NvHandle<NvSipNameAddress>& route : m_RouteSet) sWriteNameAddress(out, route);
    writeKindAndTransaction(out, m_hInitialTransaction);
    writeKindAndTransaction(out, m_hByeTransaction);
    writePresentTransaction(out, NvHandle<NvSipTransaction>(m_hReinviteClientTransaction));
    writePresentTransaction(out, NvHandle<NvSipTransaction>(m_hReinviteServerTransaction));
    StackItems::sWriteMessage(out, m_hInResponse.get());
    StackItems::sWriteMessage(out, m_hOutResponse.get());
}

// ---------------------------------------------------------------- reading

NvSipDialog::NvSipDialog(NvSipCall* call, NvInputStream& in)
    : NvSipDialog(call, call->getCallID(), "NvSipDialog ctor (5)") {
    AddRef();  // the adapters' handles made while reading must not free it half-built
    try {
        readSnapshot(in);
    } catch (...) {
        dropTransactions();
        Release(false);
        throw;
    }
    dropStaleState();
    if (m_State != NV_TERMINATED) NvSipCallManager::smp_TheSingleton->addDialog(this);
    Release(false);
}

void NvSipDialog::readSnapshot(NvInputStream& in) {
    const uint32_t state = sReadU32(in);
    if (!isOneState(state)) corrupt("state " + std::to_string(state));
    m_State = static_cast<int32_t>(state);
    uint8_t retransmitCount[4];
    in.readFully(retransmitCount, sizeof retransmitCount);
    m_RetransmitCount = retransmitCount[0];
    m_LocalCSeq = sReadU32(in);
    m_RemoteCSeq = sReadU32(in);
    m_RSeq = sReadU32(in);
    m_SessionInterval = sReadU32(in);
    m_RemoteTag = sReadText(in);
    m_hRemoteParticipant = sReadNameAddress(in, "remote participant");
    m_Key = sBuildKey(m_CallID.c_str(), m_hCall->getLocalTag().c_str(), m_RemoteTag.c_str());
    for (uint32_t routes = sReadU32(in); routes > 0; --routes)
        m_RouteSet.push_back(sReadNameAddress(in, "route entry"));

    m_hInitialTransaction = readEither<InviteClientInterface, InviteServerInterface>(
        in, this, "InviteClientInterface", "InviteServerInterface");
    m_hByeTransaction =
        readEither<ByeClientInterface, ByeServerInterface>(in, this, "ByeClientInterface", "ByeServerInterface");
    if (in.readByte() == kClient)
        m_hReinviteClientTransaction =
            rebuild<ReinviteClientInterface, NvSipClientTransaction>(in, this, "ReinviteClientInterface");
    if (in.readByte() == kClient)
        m_hReinviteServerTransaction =
            rebuild<ReinviteServerInterface, NvSipServerTransaction>(in, this, "ReinviteServerInterface");
    m_hInResponse = NvHandle<NvSipResponse>(StackItems::sReadMessage(in));  // a request reads as none
    m_hOutResponse = NvHandle<NvSipResponse>(StackItems::sReadMessage(in));
}

void NvSipDialog::dropStaleState() {
    if (m_State >= NV_ACTIVE) leaveStack(m_hInitialTransaction);
    if (m_State >= NV_REINVITE_FAILED || m_State == NV_ACTIVE) {
        leaveStack(m_hReinviteClientTransaction);
        leaveStack(m_hReinviteServerTransaction);
    }
    if (m_State == NV_TERMINATED) leaveStack(m_hByeTransaction);
}

void NvSipDialog::dropTransactions() {
    leaveStack(m_hInitialTransaction);
    leaveStack(m_hByeTransaction);
    leaveStack(m_hReinviteClientTransaction);
    leaveStack(m_hReinviteServerTransaction);
}

void NvSipDialog::discardRebuilt() {
    dropTransactions();
    if (m_State != NV_TERMINATED) NvSipCallManager::smp_TheSingleton->removeDialog(m_Key);
}
