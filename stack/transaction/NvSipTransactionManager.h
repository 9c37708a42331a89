#pragma once
// NvSipTransactionManager: the process's table of live transactions and the
// dispatcher of every received message (RFC 3261 17.1.3 and 17.2.3).
//
// A received response goes to the client transaction with the same top-Via
// branch and CSeq method, else to the stray handler (strayResponse). A
// received request goes to the server transaction it matches (branch, sent-
// by and method, or the RFC 2543 rules for branches without the magic
// cookie); an ACK that matches none goes to strayAck, a CANCEL to the INVITE
// transaction it names (see NvSipServerTransaction) or else strayCancel.
// A retransmitted INVITE arriving within 64*T1 after its transaction ended
// with a 2xx is dropped (RFC 6026); a retransmitted non-INVITE whose
// transaction ended with its final response over UDP gets that response
// again for 64*T1 (timer J), and a retransmitted final response to one of
// ours is dropped for T4 (timer K): see retire and NvSipFinishedTransactions.
// Any other new request is offered to the factory, with three outcomes: a server transaction, which gets the
// request; nil after NvTransactionFactoryInterface::sMarkHandled(request),
// and nothing is sent or kept; plain nil (or no factory set), and the request
// is answered "480 Temporarily Unavailable" on a transaction of the
// manager's own, so that the peer stops retransmitting.
// Overload: while the table holds m_MaxTransactions live transactions or
// more, a new INVITE (no To tag) is not offered to the factory: it is
// answered "503 Service Unavailable" with Retry-After statelessly (RFC 3261
// 8.2.7: no transaction is kept, a retransmission is answered again the
// same way, the To tag derived from the request so that it is the same
// every time; its ACK is a stray one). In-dialog requests, CANCEL, ACK
// and non-INVITEs are never shed: they end calls and transactions, or
// cost a transaction that ends at once. The sheds are logged at most once
// a second (NvOverloadLog).
// A message that the transport layer could not deliver after send()
// returned (sendFailed) is reported to the transaction it belongs to as a
// transport error: a request (an ACK or CANCEL: its INVITE's) to the client
// transaction with its branch and method, a response (to a CANCEL: its
// INVITE's) to the server transaction with its branch, sent-by and method,
// or, for an RFC 2543 branch, the one whose last response it is; one that
// belongs to no live transaction is dropped.
// A message missing Via, From, To, Call-ID or CSeq, or whose CSeq method
// does not match its request method, goes to malFormedMessage. A response
// whose top Via sent-by is not ours goes to invalidMessage: for a response
// matching a transaction, "ours" is the sent-by of the Via the request went
// out with; for any other, the transport's sent-by for the Via's transport
// (NvSipTransportLayer::getSentByHost/Port). Sent-by values compare as
// NvSipViaHeader::hasSameSentBy says (hosts without case or IPv6 brackets,
// an absent port is the transport's default: 5061 for TLS, else 5060), the
// rule server transactions match requests with too.
//
// The manager is created by the first getInstance(), and installs itself
// then as the receiver of NvSipTransportLayer. Until setStrayInterface is
// given one, stray messages go to an NvStrayMessageInterface with the
// default behaviour.
//
// Threads: receive() and sendFailed() run on the monitor thread (or a test's thread); the
// table has its own mutex, never held while a transaction, the factory or
// the stray handler is called.

#include "stack/base/NvHandle.h"
#include "stack/log/TellarLogger.h"
#include "stack/transport/NvSipTransportLayer.h"
#include "stack/transaction/NvSipClientTransaction.h"
#include "stack/transaction/NvSipServerTransaction.h"

#include <mutex>
#include <string>
#include <unordered_map>

// Messages that belong to no transaction. Defaults: strayResponse, strayAck
// and invalidMessage do nothing; strayCancel answers 481 and
// malFormedMessage answers a request with 400 (not an ACK, which is never
// answered, nor a request without Via, which cannot be), both statelessly
// through NvSipTransportLayer::send. They log nothing.
class NvStrayMessageInterface : public NvObject {
public:
    virtual void strayResponse(NvHandle<NvSipResponse> response);
    virtual void strayAck(NvHandle<NvSipAckMessage> ack);
    virtual void strayCancel(NvHandle<NvSipCancelMessage> cancel);
    virtual void invalidMessage(NvHandle<NvSipMessage> message);
    virtual void malFormedMessage(NvHandle<NvSipMessage> message);
};

// Asked for a server transaction for each new request, on the thread that
// received it (the monitor thread), with no stack lock held.
class NvTransactionFactoryInterface : public NvObject {
public:
    // Returns the transaction to carry `request` (built with
    // NvSipServerTransaction(request, interface)), or nil. Nil refuses the
    // request (the manager answers 480), unless sMarkHandled(request) was
    // called during this call.
    virtual NvHandle<NvSipServerTransaction> createServerTransaction(NvHandle<NvSipRequest> request) = 0;
    // Says, from inside createServerTransaction and before it returns nil,
    // that `request` was dealt with already (a retransmitted INVITE whose 2xx
    // its dialog re-sent, a re-INVITE ignored until the ACK of our 2xx):
    // the manager then sends nothing and makes no transaction. Called
    // anywhere else, or when a transaction is returned, it changes nothing.
    static void sMarkHandled(const NvHandle<NvSipRequest>& request);
};

// Counts the requests shed for overload and says so on `logger` at WARN at
// most once a second (NvTime's clock), with how many were shed since the
// last line. Any thread; its own lock, taken alone.
class NvOverloadLog {
public:
    NvOverloadLog(Tellar::Logger& logger, std::string what) : m_Logger(logger), m_What(std::move(what)) {}
    void shed();

private:
    Tellar::Logger& m_Logger;
    const std::string m_What;  // what the line says was reached
    std::mutex m_Mutex;        // guards the two fields below
    double m_LastLine = -1e18;
    uint64_t m_Shed = 0;       // since m_LastLine
};

class NvSipTransactionManager : public NvSipMessageReceiver {
public:
    // Settings, read when a transaction starts a timer or a request is built.
    static unsigned int m_MaxForward;              // Max-Forwards of new requests (70)
    static unsigned int m_T1;                      // RTT estimate, ms (500)
    static unsigned int m_T2;                      // longest retransmit interval, ms (4000)
    static unsigned int m_T4;                      // longest time a message stays in the network, ms (5000)
    static unsigned int m_RetrasmissionCount_RESP; // retransmissions of a 2xx or reliable 1xx (10)
    // Overload (see above): live transactions beyond which a new INVITE is
    // answered 503 statelessly (0: no limit, the default), and the
    // Retry-After, in seconds, of every 503 for overload, this one's and
    // the call manager's (2: a caller or proxy that honours it stays away
    // while calls in progress end, RFC 3261 21.5.4, and comes back soon
    // enough not to leave the server idle after a short burst).
    static unsigned int m_MaxTransactions;
    static unsigned int m_OverloadRetryAfter;
    static unsigned int sGetMaxForward() { return m_MaxForward; }

    static NvSipTransactionManager* getInstance();
    static NvSipTransactionManager* sGetInstance() { return getInstance(); }

    // A nil handle restores the default stray interface.
    void setStrayInterface(NvHandle<NvStrayMessageInterface> stray);
    void setTransactionFactoryInterface(NvHandle<NvTransactionFactoryInterface> factory);
    NvHandle<NvStrayMessageInterface> getStrayInterface() const;

    void addTransaction(const NvHandle<NvSipTransaction>& transaction);
    void removeTransaction(const NvHandle<NvSipTransaction>& transaction);
    // Removes a non-INVITE transaction that has ended with its final
    // response over UDP, and absorbs the retransmissions it would have
    // absorbed: a server's (`response`: the one it sent, at `port`/`address`
    // as NvSipTransportLayer::send takes them) get that response again for
    // 64*T1 (timer J); a client's (`response` nil) retransmitted responses
    // are dropped for T4 (timer K).
    void retire(const NvHandle<NvSipTransaction>& transaction, const NvSipResponse* response, uint16_t port,
                const NvInetAddress& address);
    size_t getTransactionCount() const;
    // Forgets every transaction (their timers are cancelled, nothing is
    // reported or sent) and every INVITE answered 2xx: for shutdown and tests.
    void clear();

    void receive(const NvHandle<NvSipMessage>& message) override;
    // Reports a message the transport could not deliver (see above).
    void sendFailed(const NvHandle<NvSipMessage>& message, const std::string& reason) override;

private:
    NvSipTransactionManager();
    NvHandle<NvSipTransaction> find(const NvString& key) const;
    // The server transaction `request` matches when taken as `method`;
    // `ack` for an ACK (RFC 2543 matching compares its To tag with our response's).
    NvHandle<NvSipServerTransaction> findServer(const NvSipRequest& request, std::string_view method, bool ack) const;
    // The live transaction a message we sent belongs to (see sendFailed).
    NvHandle<NvSipTransaction> findOwner(const NvSipMessage& message) const;
    // Whether a Via names us (see invalidMessage above).
    bool isOurs(const NvSipViaHeader& via) const;
    void receiveRequest(const NvHandle<NvSipRequest>& request);
    // Whether a new request is to be shed (see Overload above).
    bool isOverloaded(const NvSipRequest& request, const NvString& method) const;
    // Whether `key` is a finished server transaction's (see retire); a
    // retired non-INVITE's final response is then sent again.
    bool answerAgain(const NvString& key);
    // Whether `key` is a retired client transaction's (see retire).
    bool wasAnswered(const NvString& key) const;
    void receiveResponse(const NvHandle<NvSipResponse>& response);

    struct Impl;
    Impl* m_pImpl;
};
