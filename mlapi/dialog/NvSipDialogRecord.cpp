#include "mlapi/dialog/NvSipDialogRecord.h"

#include "mlapi/NvSipDialog.h"
#include "stack/base/NvStream.h"
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

// The stack's encodings of a u32 and of a message (u32 length, then the
// wire form; 0: none), as its transaction snapshots write them.
struct StackItems : NvSipTransaction {
    using NvSipTransaction::sReadMessage;
    using NvSipTransaction::sReadU32;
    using NvSipTransaction::sWriteMessage;
    using NvSipTransaction::sWriteU32;
};

void writeKindAndTransaction(NvOutputStream& out, const NvHandle<NvSipTransaction>& transaction) {
    out.write(transaction.isNil() ? kNone : transaction->isClient() ? kClient : kServer);
    if (!transaction.isNil()) transaction->serialize(out);
}

void writePresentTransaction(NvOutputStream& out, const NvHandle<NvSipTransaction>& transaction) {
    out.write(transaction.isNil() ? kNone : kClient);
    if (!transaction.isNil()) transaction->serialize(out);
}

// A transaction of the concrete class `Transaction` read from `in`, bound
// to `adapter` (released, when the reading raises, with the handle).
template <class Transaction, class Adapter>
NvHandle<Transaction> rebuild(NvInputStream& in, const NvHandle<Adapter>& adapter) {
    return Transaction::sCreateFrom(in, adapter.get());
}

// A transaction item with a kind byte: a client one bound to what `client`
// makes, a server one to what `server` makes (only the kind read is made).
template <class MakeClient, class MakeServer>
NvHandle<NvSipTransaction> readEither(NvInputStream& in, MakeClient client, MakeServer server) {
    switch (in.readByte()) {
    case kClient:
        return NvHandle<NvSipTransaction>(rebuild<NvSipClientTransaction>(in, client()));
    case kServer:
        return NvHandle<NvSipTransaction>(rebuild<NvSipServerTransaction>(in, server()));
    default:
        return nullptr;
    }
}

}  // namespace

template <class Transaction>
void NvSipDialogRecord::sLeaveStack(NvHandle<Transaction>& transaction) {
    if (transaction.isNil()) return;
    NvSipTransactionManager::getInstance()->removeTransaction(NvHandle<NvSipTransaction>(transaction));
    transaction->detach();
    transaction = nullptr;
}

template void NvSipDialogRecord::sLeaveStack(NvHandle<NvSipTransaction>&);
template void NvSipDialogRecord::sLeaveStack(NvHandle<NvSipClientTransaction>&);
template void NvSipDialogRecord::sLeaveStack(NvHandle<NvSipServerTransaction>&);

// ---------------------------------------------------------------- primitive items

void NvSipDialogRecord::sWriteU32(NvOutputStream& out, uint32_t value) {
    StackItems::sWriteU32(out, value);
}

uint32_t NvSipDialogRecord::sReadU32(NvInputStream& in) {
    return StackItems::sReadU32(in);
}

void NvSipDialogRecord::sWriteText(NvOutputStream& out, const NvString& text) {
    out << text << kTextEnd;
}

NvString NvSipDialogRecord::sReadText(NvInputStream& in) {
    NvStringBuffer text;
    text.parse(in, std::string_view(&kTextEnd, 1));
    in.readByte();  // the delimiter; raises at the end of the stream
    return text.toString();
}

void NvSipDialogRecord::sWriteNameAddress(NvOutputStream& out, const NvHandle<NvSipNameAddress>& address) {
    if (!address.isNil()) address->setAngleBrackets(true);
    out << address;
}

NvHandle<NvSipNameAddress> NvSipDialogRecord::sReadNameAddress(NvInputStream& in, const char* what) {
    NvHandle<NvSipNameAddress> address;
    in >> address;
    if (address.isNil()) corrupt(std::string("no ") + what);
    return address;
}

// ---------------------------------------------------------------- the record

void NvSipDialogRecord::write(NvOutputStream& out) const {
    sWriteU32(out, static_cast<uint32_t>(state));
    const uint8_t count[4] = {retransmitCount, 0, 0, 0};
    out.write(count, sizeof count);
    sWriteU32(out, localCSeq);
    sWriteU32(out, remoteCSeq);
    sWriteU32(out, rseq);
    sWriteU32(out, sessionInterval);
    sWriteText(out, remoteTag);
    sWriteNameAddress(out, remoteParticipant);
    sWriteU32(out, static_cast<uint32_t>(routeSet.size()));
    for (const NvHandle<NvSipNameAddress>& route : routeSet) sWriteNameAddress(out, route);
    sWriteText(out, remoteTarget.isNil() ? NvString() : remoteTarget->toString());
    writeKindAndTransaction(out, initialTransaction);
    writeKindAndTransaction(out, byeTransaction);
    writePresentTransaction(out, NvHandle<NvSipTransaction>(ourReinvite));
    writePresentTransaction(out, NvHandle<NvSipTransaction>(theirReinvite));
    StackItems::sWriteMessage(out, inResponse.get());
    StackItems::sWriteMessage(out, outResponse.get());
}

void NvSipDialogRecord::read(NvInputStream& in, Adapters& adapters) {
    try {
        const uint32_t readState = sReadU32(in);
        if (!isOneState(readState)) corrupt("state " + std::to_string(readState));
        state = static_cast<int32_t>(readState);
        uint8_t count[4];
        in.readFully(count, sizeof count);
        retransmitCount = count[0];
        localCSeq = sReadU32(in);
        remoteCSeq = sReadU32(in);
        rseq = sReadU32(in);
        sessionInterval = sReadU32(in);
        remoteTag = sReadText(in);
        remoteParticipant = sReadNameAddress(in, "remote participant");
        for (uint32_t routes = sReadU32(in); routes > 0; --routes)
            routeSet.push_back(sReadNameAddress(in, "route entry"));
        if (const NvString target = sReadText(in); !target.isEmpty()) {
            remoteTarget = NvURI::sParse(target.str());
            if (remoteTarget.isNil()) corrupt("remote target " + target.str());
        }
        initialTransaction =
            readEither(in, [&] { return adapters.inviteClient(); }, [&] { return adapters.inviteServer(); });
        byeTransaction = readEither(in, [&] { return adapters.byeClient(); }, [&] { return adapters.byeServer(); });
        if (in.readByte() == kClient) ourReinvite = rebuild<NvSipClientTransaction>(in, adapters.reinviteClient());
        if (in.readByte() == kClient) theirReinvite = rebuild<NvSipServerTransaction>(in, adapters.reinviteServer());
        inResponse = NvHandle<NvSipResponse>(StackItems::sReadMessage(in));  // a request reads as none
        outResponse = NvHandle<NvSipResponse>(StackItems::sReadMessage(in));
    } catch (...) {
        dropTransactions();
        throw;
    }
}

void NvSipDialogRecord::dropStale() {
    if (state >= NvSipDialog::NV_ACTIVE) sLeaveStack(initialTransaction);
    if (state >= NvSipDialog::NV_REINVITE_FAILED || state == NvSipDialog::NV_ACTIVE) {
        sLeaveStack(ourReinvite);
        sLeaveStack(theirReinvite);
    }
    if (state == NvSipDialog::NV_TERMINATED) sLeaveStack(byeTransaction);
}

void NvSipDialogRecord::dropTransactions() {
    sLeaveStack(initialTransaction);
    sLeaveStack(byeTransaction);
    sLeaveStack(ourReinvite);
    sLeaveStack(theirReinvite);
}
