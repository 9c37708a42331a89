#pragma once
// NvSipTransaction: the common part of the RFC 3261 section 17 transactions.
//
// A transaction is built from its request and an interface object to which
// it reports every event exactly once. It is a counted object: the
// transaction manager holds it from the moment it is sent (client) or
// created (server) until it terminates, the interface's owner usually holds
// it too. Timers (A to K) run on the monitor thread's scheduler; the
// transaction is their observer.
//
// Threads and locks: events arrive on the monitor thread (received messages,
// timers); sendRequest/sendResponse/cancel come from any thread. Each
// transaction has its own mutex guarding its state; it is never held while
// the interface is called, so an interface may call back into the
// transaction (and the library may hold its own locks while calling in).

#include "stack/base/NvHandle.h"
#include "stack/base/NvMutex.h"
#include "stack/base/NvString.h"
#include "stack/net/NvInetAddress.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/timer/NvScheduler.h"

#include <exception>
#include <string>

class NvInputStream;
class NvOutputStream;
class NvSipClientTransaction;
class NvSipServerTransaction;

class NvSipTransaction : public NvObserver {
public:
    enum State : uint8_t { Initial, Calling, Trying, Proceeding, Completed, Confirmed, Terminated };
    static const char* sStateName(State state);

    ~NvSipTransaction() override;

    virtual bool isClient() const = 0;
    NvHandle<NvSipRequest> getInitialRequest() const { return m_hRequest; }
    bool isInvite() const { return m_bInvite; }
    State getState() const;
    // The key the transaction manager matches messages with (empty for a
    // client transaction until it is sent).
    const NvString& getKey() const { return m_Key; }

    // Writes the transaction (state, request, last response) so that
    // sCreateFrom of the concrete class can rebuild it.
    virtual void serialize(NvOutputStream& out) const = 0;

    // Matching keys (RFC 3261 17.1.3 and 17.2.3). A response, and the
    // request of a client transaction, key on the top Via branch and the
    // CSeq method. A request keys on branch, sent-by and `method` (give
    // "INVITE" to find the INVITE an ACK or CANCEL belongs to); with a
    // branch lacking the magic cookie (RFC 2543) on Request-URI, From tag,
    // Call-ID, CSeq number, top Via and `method` instead, the To tag being
    // left for the caller to compare. Empty when the message has no Via or CSeq.
    static NvString sClientKey(const NvSipMessage& message);
    static NvString sServerKey(const NvSipRequest& request, std::string_view method);
    static bool sIsLegacyKey(const NvString& key);

protected:
    explicit NvSipTransaction(NvHandle<NvSipRequest> request);

    // "lumbrook.sip.stack.transaction": what goes wrong inside transactions.
    static Tellar::Logger& sLogger();
    // The message of an exception caught with catch (...).
    static std::string sDescribe(const std::exception_ptr& error);

    // Timers. A transaction runs at most two at a time: a retransmission
    // timer (A, E, G) and a state timer (B, D, F, H, I, J, K, the client's
    // CANCEL time-out, the server's proceeding and linger timers). Each is
    // scheduled with a shared tag object naming it, and is known by its
    // key: a notification whose key is no longer the slot's (cancelled
    // meanwhile) is stale. `intervalMs` is the delay it was started with.
    enum Timer : uint8_t {
        TimerA,
        TimerB,
        TimerCancel,
        TimerD,
        TimerE,
        TimerF,
        TimerG,
        TimerH,
        TimerI,
        TimerJ,
        TimerK,
        TimerProceeding,
        TimerLinger,
        TimerCount
    };
    struct TimerSlot {
        double key = -1;
        uint32_t intervalMs = 0;
        Timer timer = TimerCount;
    };
    // The caller holds m_Mutex (and a handle on this transaction, since
    // cancelling drops the scheduler's reference).
    void startTimer(TimerSlot& slot, Timer timer, uint32_t delayMs);
    void stopTimer(TimerSlot& slot);
    void stopTimers() {
        stopTimer(m_Retransmit);
        stopTimer(m_StateTimer);
    }
    // Which timer a notification is for, its slot then being free; false
    // when the notification is stale. The caller holds m_Mutex.
    bool firedTimer(const NvHandle<NvObservable>& observable, const NvHandle<NvObject>& object, Timer& timer);
    // The slot a timer runs in.
    TimerSlot& slotOf(Timer timer) {
        return timer == TimerA || timer == TimerE || timer == TimerG ? m_Retransmit : m_StateTimer;
    }

    // Snapshot pieces: numbers little-endian; a message as a u32 length
    // and its wire form (length 0: none). The readers raise NvException on
    // a truncated stream, an oversized length or a message that does not parse.
    static void sWriteU32(NvOutputStream& out, uint32_t value);
    static uint32_t sReadU32(NvInputStream& in);
    static void sWriteMessage(NvOutputStream& out, const NvSipMessage* message);
    static NvHandle<NvSipMessage> sReadMessage(NvInputStream& in);
    static void sWriteText(NvOutputStream& out, const std::string& text);
    static std::string sReadText(NvInputStream& in, size_t maxLength);

    NvHandle<NvSipRequest> m_hRequest;
    bool m_bInvite;
    NvString m_Key;
    State m_State = Initial;   // guarded by m_Mutex
    TimerSlot m_Retransmit;     // guarded by m_Mutex
    TimerSlot m_StateTimer;     // guarded by m_Mutex
    NvScheduler* m_pScheduler;  // the monitor's scheduler at construction
    mutable NvMutex m_Mutex;
};

// Told by a client transaction about its events. Runs on the monitor
// thread (or the thread that sent, for sendingMessage) with no stack lock
// held. The defaults do nothing.
class NvSipClientTransactionInterface : public NvObject {
public:
    // Every message the transaction sends, with where it went.
    virtual void sendingMessage(const NvHandle<NvSipMessage>& message, unsigned* port, NvInetAddress* address);
    // Every message the transaction receives, before the event it causes.
    virtual void receivedMessage(const NvHandle<NvSipMessage>& message);
    virtual void provisionalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    virtual void finalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    // Timer B or F: no final response came.
    virtual void timeOut(NvHandle<NvSipClientTransaction> transaction);
    // A 1xx (above 100) carrying RSeq and Require: 100rel.
    virtual void reliableProvisionalResponse(NvHandle<NvSipClientTransaction> transaction,
                                             NvHandle<NvSipResponse> response);
};

// Told by a server transaction about its events; see the client interface.
class NvSipServerTransactionInterface : public NvObject {
public:
    virtual void sendingMessage(const NvHandle<NvSipMessage>& message, unsigned* port, NvInetAddress* address);
    virtual void receivedMessage(const NvHandle<NvSipMessage>& message);
    // The request that created the transaction (once; retransmissions are absorbed).
    virtual void request(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest> request);
    // INVITE only: the ACK of a failure response.
    virtual void ack(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipAckMessage> ack);
    // INVITE only: a CANCEL matching it. `transaction` is the CANCEL's own
    // server transaction, on which the CANCEL is to be answered.
    virtual void cancel(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipCancelMessage> cancel);
    // See NvSipServerTransaction for when a server transaction times out.
    virtual void timeOut(NvHandle<NvSipServerTransaction> transaction);
};
