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
// with a 2xx is dropped (RFC 6026). Any other new request gets a server
// transaction from the factory; when the factory gives none (or none is
// set) the request is answered "480 Temporarily Unavailable" on a
// transaction of the manager's own, so that the peer stops retransmitting.
// A message missing Via, From, To, Call-ID or CSeq, or whose CSeq method
// does not match its request method, goes to malFormedMessage. A response
// whose top Via sent-by is not ours goes to invalidMessage: for a response
// matching a transaction, "ours" is the sent-by of the Via the request went
// out with; for any other, the transport's sent-by for the Via's transport
// (NvSipTransportLayer::getSentByHost/Port; hosts compare without case or
// brackets, an absent port is 5060).
//
// The manager is created by the first getInstance(), and installs itself
// then as the receiver of NvSipTransportLayer. Until setStrayInterface is
// given one, stray messages go to an NvStrayMessageInterface with the
// default behaviour.
//
// Threads: receive() runs on the monitor thread (or a test's thread); the
// table has its own mutex, never held while a transaction, the factory or
// the stray handler is called.

#include "stack/base/NvHandle.h"
#include "stack/transport/NvSipTransportLayer.h"
#include "stack/transaction/NvSipClientTransaction.h"
#include "stack/transaction/NvSipServerTransaction.h"

#include <mutex>
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

// Asked for a server transaction for each new request.
class NvTransactionFactoryInterface : public NvObject {
public:
    // Returns the transaction to carry `request` (built with
    // NvSipServerTransaction(request, interface)), or nil to refuse it.
    virtual NvHandle<NvSipServerTransaction> createServerTransaction(NvHandle<NvSipRequest> request) = 0;
};

class NvSipTransactionManager : public NvSipMessageReceiver {
public:
    // Settings, read when a transaction starts a timer or a request is built.
    static unsigned int m_MaxForward;              // Max-Forwards of new requests (70)
    static unsigned int m_T1;                      // RTT estimate, ms (500)
    static unsigned int m_T2;                      // longest retransmit interval, ms (4000)
    static unsigned int m_T4;                      // longest time a message stays in the network, ms (5000)
    static unsigned int m_RetrasmissionCount_RESP; // retransmissions of a 2xx or reliable 1xx (10)
    static unsigned int sGetMaxForward() { return m_MaxForward; }

    static NvSipTransactionManager* getInstance();
    static NvSipTransactionManager* sGetInstance() { return getInstance(); }

    // A nil handle restores the default stray interface.
    void setStrayInterface(NvHandle<NvStrayMessageInterface> stray);
    void setTransactionFactoryInterface(NvHandle<NvTransactionFactoryInterface> factory);
    NvHandle<NvStrayMessageInterface> getStrayInterface() const;

    void addTransaction(const NvHandle<NvSipTransaction>& transaction);
    void removeTransaction(const NvHandle<NvSipTransaction>& transaction);
    size_t getTransactionCount() const;
    // Forgets every transaction (their timers are cancelled, nothing is
    // reported or sent) and every INVITE answered 2xx: for shutdown and tests.
    void clear();

    void receive(const NvHandle<NvSipMessage>& message) override;

private:
    NvSipTransactionManager();
    NvHandle<NvSipTransaction> find(const NvString& key) const;
    // The server transaction `request` matches when taken as `method`;
    // `ack` for an ACK (RFC 2543 matching compares its To tag with our response's).
    NvHandle<NvSipServerTransaction> findServer(const NvSipRequest& request, std::string_view method, bool ack) const;
    // Whether a Via names us (see invalidMessage above).
    bool isOurs(const NvSipViaHeader& via) const;
    void receiveRequest(const NvHandle<NvSipRequest>& request);
    void receiveResponse(const NvHandle<NvSipResponse>& response);

    struct Impl;
    Impl* m_pImpl;
};
