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
// Every entry point (a received message, a timer, a call from the user)
// decides under m_Mutex what to do and fills an Actions list, then carries
// it out with the mutex released: each message is shown to the interface
// with sendingMessage, at its resolved destination, before its bytes leave;
// then the event is reported; a transaction that ended leaves the manager
// and lets go of its interface.
//
// Transport errors (RFC 3261 17.1.4, 17.2.4): a message of the transaction
// that cannot be sent (the transport layer raises, or reports it later
// through the manager's sendFailed) ends the transaction at once and is
// reported once with transportError, whose default reports timeOut.
//
// The interface is released (the counted handle dropped) once the
// transaction has terminated and made its last report, so that an interface
// holding its transactions is freed with them; getInterface() then returns
// nil and setInterface() has no effect.
//
// Threads and locks: events arrive on the monitor thread (received messages,
// timers); sendRequest/sendResponse/cancel come from any thread. m_Mutex
// guards the state, timers and interface; it is never held while the
// interface is called, so an interface may call back into the transaction
// (and the library may hold its own locks while calling in). m_SendMutex
// orders the writes of one transaction: a message checks under it, right
// before its bytes leave, that it may still go (no provisional response
// after the final one).

#include "stack/base/NvHandle.h"
#include "stack/base/NvMutex.h"
#include "stack/base/NvString.h"
#include "stack/net/NvInetAddress.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/timer/NvScheduler.h"

#include <exception>
#include <functional>
#include <string>
#include <vector>

class NvInputStream;
class NvOutputStream;
class NvSipClientTransaction;
class NvSipServerTransaction;

// What both kinds of transaction interface are told. Runs on the monitor
// thread (or the thread that sent, for sendingMessage) with no stack lock
// held. The defaults do nothing.
class NvSipTransactionInterface : public NvObject {
public:
    // Every message the transaction sends, just before its bytes leave, with
    // the destination it goes to (copies: changing them changes nothing).
    // The address is invalid when a host name is still to be resolved (a
    // first send, on any thread: nobody waits for a name server).
    virtual void sendingMessage(const NvHandle<NvSipMessage>& message, unsigned* port, NvInetAddress* address);
    // Every message the transaction receives, before the event it causes.
    virtual void receivedMessage(const NvHandle<NvSipMessage>& message);
};

class NvSipTransaction : public NvObserver {
public:
    enum State : uint8_t { Initial, Calling, Trying, Proceeding, Completed, Confirmed, Terminated };
    static const char* sStateName(State state);

    ~NvSipTransaction() override;

    virtual bool isClient() const = 0;
    NvHandle<NvSipRequest> getInitialRequest() const;
    // The last response sent (server) or received (client), nil before the first.
    NvHandle<NvSipResponse> getLastResponse() const;
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
    // `method` replaces the CSeq method when given (the INVITE of an ACK or
    // CANCEL). A response has a server key only with a magic-cookie branch.
    static NvString sClientKey(const NvSipMessage& message, std::string_view method = {});
    static NvString sServerKey(const NvSipMessage& message, std::string_view method);
    static bool sIsLegacyKey(const NvString& key);

    // A message of this transaction could not be sent (see above). Called by
    // the transaction manager on the monitor thread.
    void transportFailed(const std::string& reason);

protected:
    NvSipTransaction(NvHandle<NvSipRequest> request, NvSipTransactionInterface* interface);

    // One message to send once m_Mutex is released. `port`/`address` override
    // the destination when set (0 / invalid: the transport's rules).
    struct Outgoing {
        NvHandle<NvSipMessage> message;
        unsigned port = 0;
        NvInetAddress address;
    };
    // What an entry point decided under m_Mutex, for perform().
    struct Actions {
        std::vector<Outgoing> messages;  // sent in order
        std::function<void()> report;    // the event, after the messages
        bool terminated = false;         // the transaction ended
        // A finished non-INVITE that still lingers (timer J or K) to absorb
        // retransmissions (see retired for the usual case): it has nothing
        // more to report.
        bool lingering = false;
        // A non-INVITE that ended with its final response over UDP: the
        // manager absorbs retransmissions for timer J or K (retire).
        bool retired = false;
    };
    // Carries out `actions` with m_Mutex released: the messages (stopping at
    // the first that cannot be sent, which ends the transaction with
    // transportError), the manager's table if it ended, the report; then
    // the interface is released if it ended or lingers. False when a message
    // could not be sent. The caller holds a handle on this transaction.
    bool perform(Actions& actions);
    // Shows `out` to the interface at its resolved destination, then sends
    // it there unless mayStillSend says no. False (with `reason`) when the
    // destination cannot be resolved or the transport raises.
    bool transmit(Outgoing& out, std::string& reason);
    // Whether `message` may still leave; called under m_Mutex right before
    // it is written. The default always allows.
    virtual bool mayStillSend(const NvSipMessage& message) const;
    // Ends the transaction on a transport error and returns the report to
    // make (nil when one was made already). The caller does not hold m_Mutex.
    std::function<void()> endOnTransportError(const std::string& reason);
    // The typed report of a transport error to `interface`.
    virtual void reportTransportError(const NvHandle<NvSipTransactionInterface>& interface,
                                      const std::string& reason) = 0;
    // The interface under m_Mutex (nil once released).
    NvHandle<NvSipTransactionInterface> currentInterface() const;

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

    // Snapshots. Both kinds start with the same part: a kind byte, the
    // version, the state, flags, the request, the last response, the
    // destination override (port, address text); each kind adds its own
    // fields after it. Numbers little-endian; a message as a u32 length and
    // its wire form (length 0: none). The readers raise NvException on a
    // truncated stream, an oversized length, a message that does not parse
    // or a common part that does not hold together (naming `kindName`).
    struct Snapshot {
        State state = Initial;
        uint8_t flags = 0;  // bit 0: INVITE; the other bits are the kind's
        NvHandle<NvSipRequest> request;
        NvHandle<NvSipResponse> response;
        uint16_t port = 0;
        NvInetAddress address;
    };
    static constexpr uint8_t kSnapshotInvite = 1;
    // The common part of this transaction's snapshot; the caller holds m_Mutex.
    Snapshot snapshotOf(uint16_t port, const NvInetAddress& address) const;
    static void sWriteSnapshot(NvOutputStream& out, uint8_t kind, const Snapshot& snapshot);
    static Snapshot sReadSnapshot(NvInputStream& in, uint8_t kind, const char* kindName);
    [[noreturn]] static void sCorrupt(const char* kindName, const std::string& why);
    static void sWriteU32(NvOutputStream& out, uint32_t value);
    static uint32_t sReadU32(NvInputStream& in);
    static void sWriteMessage(NvOutputStream& out, const NvSipMessage* message);
    static NvHandle<NvSipMessage> sReadMessage(NvInputStream& in);

    // Set at construction (a client transaction completes it, unlocked,
    // before it is sent).
    NvHandle<NvSipRequest> m_Request;
    NvHandle<NvSipResponse> m_LastResponse;  // guarded by m_Mutex
    bool m_bInvite;
    NvString m_Key;
    State m_State = Initial;   // guarded by m_Mutex
    TimerSlot m_Retransmit;     // guarded by m_Mutex
    TimerSlot m_StateTimer;     // guarded by m_Mutex
    NvHandle<NvSipTransactionInterface> m_hInterface;  // guarded by m_Mutex; nil once released
    bool m_bTransportFailed = false;  // guarded by m_Mutex; a sync and a late failure racing report once
    NvScheduler* m_pScheduler;  // the monitor's scheduler at construction
    mutable NvMutex m_Mutex;
    NvRecursiveMutex m_SendMutex;
};


// Told by a client transaction about its events (see the base above). The
// defaults do nothing, but for transportError.
class NvSipClientTransactionInterface : public NvSipTransactionInterface {
public:
    virtual void provisionalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    virtual void finalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    // Timer B or F (or the CANCEL's 64*T1): no final response came.
    virtual void timeOut(NvHandle<NvSipClientTransaction> transaction);
    // A retransmission, the ACK or the CANCEL could not be sent; the
    // transaction has ended. Runs on the thread that sent (or the monitor
    // thread). The default calls timeOut(transaction).
    virtual void transportError(NvHandle<NvSipClientTransaction> transaction, const std::string& reason);
    // A 1xx (above 100) carrying RSeq and Require: 100rel.
    virtual void reliableProvisionalResponse(NvHandle<NvSipClientTransaction> transaction,
                                             NvHandle<NvSipResponse> response);
};

// Told by a server transaction about its events (see the base above). The
// defaults do nothing, but for transportError.
class NvSipServerTransactionInterface : public NvSipTransactionInterface {
public:
    // The request that created the transaction (once; retransmissions are absorbed).
    virtual void request(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest> request);
    // INVITE only: the ACK of a failure response.
    virtual void ack(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipAckMessage> ack);
    // INVITE only: a CANCEL matching it while no final response was sent.
    // `transaction` is the CANCEL's own server transaction. The interface
    // may answer the CANCEL (200) and the INVITE (487) itself; on return the
    // stack answers whichever of the two is still unanswered.
    virtual void cancel(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipCancelMessage> cancel);
    // See NvSipServerTransaction for when a server transaction times out.
    virtual void timeOut(NvHandle<NvSipServerTransaction> transaction);
    // A response could not be sent; the transaction has ended. Runs on the
    // thread that sent (or the monitor thread). The default calls timeOut(transaction).
    virtual void transportError(NvHandle<NvSipServerTransaction> transaction, const std::string& reason);
};
