#pragma once
// NvSipDialogRecord: the snapshot codec of a dialog. It holds the items of
// a dialog's record in a call's snapshot, writes and reads their byte form,
// refuses a truncated or corrupt record, and knows which items a state
// makes stale.
//
// The byte form: u32 are 4 bytes little-endian; a text is its characters
// and the byte 0x0B; a name-address and a transaction are in the stack's own
// form; a message is a u32 length and its wire form (0: none). In order:
// u32 state; the retransmission count in one byte and three zero bytes; u32
// local CSeq, remote CSeq, RSeq, session interval; remote tag (text);
// remote participant; u32 number of route entries and the entries; the
// INVITE's and the BYE's transactions, each after a kind byte (0 none, 1
// client, 2 server); our re-INVITE's and the peer's, each after a byte 1
// (present) or 0; the last response received, the last one sent.
//
// Owner: whoever writes or reads a dialog (NvSipDialog's serialize and its
// stream constructor); a record is a value, used on one thread. Reading
// binds each transaction read back to an adapter that `Adapters` makes for
// the dialog being rebuilt.

#include "stack/sip/NvSipMessage.h"
#include "stack/sip/NvSipNameAddress.h"
#include "stack/transaction/NvSipClientTransaction.h"
#include "stack/transaction/NvSipServerTransaction.h"

#include <cstdint>
#include <vector>

class NvInputStream;
class NvOutputStream;

struct NvSipDialogRecord {
    // The adapters of the dialog being rebuilt, a new one per call.
    class Adapters {
    public:
        using Client = NvHandle<NvSipClientTransactionInterface>;
        using Server = NvHandle<NvSipServerTransactionInterface>;
        virtual ~Adapters() = default;
        virtual Client inviteClient() = 0;
        virtual Server inviteServer() = 0;
        virtual Client byeClient() = 0;
        virtual Server byeServer() = 0;
        virtual Client reinviteClient() = 0;
        virtual Server reinviteServer() = 0;
    };

    int32_t state = 0;
    uint8_t retransmitCount = 0;
    uint32_t localCSeq = 0;
    uint32_t remoteCSeq = 0;
    uint32_t rseq = 0;
    uint32_t sessionInterval = 0;
    NvString remoteTag;
    NvHandle<NvSipNameAddress> remoteParticipant;
    std::vector<NvHandle<NvSipNameAddress>> routeSet;
    NvHandle<NvURI> remoteTarget;  // nil: none known yet
    NvHandle<NvSipTransaction> initialTransaction;
    NvHandle<NvSipTransaction> byeTransaction;
    NvHandle<NvSipClientTransaction> ourReinvite;
    NvHandle<NvSipServerTransaction> theirReinvite;
    NvHandle<NvSipResponse> inResponse;   // the last response received
    NvHandle<NvSipResponse> outResponse;  // the last response sent and kept

    // The remote participant and the route entries get their angle-bracket
    // flag set.
    void write(NvOutputStream& out) const;
    // Reads a record into this one (which starts empty). A truncated or
    // corrupt record (no single state bit, a nil participant or route entry,
    // a message over the parser's limit or one that does not parse, a bad
    // transaction) raises NvException with the reason, after the
    // transactions read so far have left the stack. A response field holding
    // a request reads as none; an unknown kind byte as no transaction,
    // reading nothing more for it.
    void read(NvInputStream& in, Adapters& adapters);
    // Drops what the state makes stale, taking it out of the stack: the
    // INVITE's transaction from NV_ACTIVE on, the re-INVITE ones in
    // NV_ACTIVE and from NV_REINVITE_FAILED on, the BYE's in NV_TERMINATED.
    void dropStale();
    // Takes every transaction of the record out of the stack and forgets it.
    void dropTransactions();

    // Takes a transaction out of the stack (the manager's table and the
    // scheduler) and forgets it, so that nothing of it reports any more.
    template <class Transaction>
    static void sLeaveStack(NvHandle<Transaction>& transaction);

    // The primitive items, shared with the calls' records. The readers raise
    // NvException on a truncated stream; sReadNameAddress also on an empty
    // name-address (`what` names it in the message).
    static void sWriteU32(NvOutputStream& out, uint32_t value);
    static uint32_t sReadU32(NvInputStream& in);
    static void sWriteText(NvOutputStream& out, const NvString& text);
    static NvString sReadText(NvInputStream& in);
    static void sWriteNameAddress(NvOutputStream& out, const NvHandle<NvSipNameAddress>& address);
    static NvHandle<NvSipNameAddress> sReadNameAddress(NvInputStream& in, const char* what);
};
