#pragma once
// NvSipClientTransaction: the INVITE and non-INVITE client transactions
// (RFC 3261 17.1).
//
// sendRequest() puts a Via with a fresh branch on top of the request
// (unless the request already carries one with a magic-cookie branch that
// the caller set), adds Max-Forwards when missing, registers with the
// transaction manager and sends. Over UDP the request is retransmitted
// (timer A from T1 doubling; timer E from T1 doubling up to T2, T2 once a
// provisional response came) until a response, and abandoned with timeOut
// after 64*T1 (timers B and F).
//
// INVITE: each 1xx is reported (reliable ones as reliableProvisionalResponse;
// a retransmission of a reliable one, same To tag and an RSeq not above the
// last, is not reported again). A 1xx stops the retransmissions and timer B
// (RFC 3261 17.1.1.2). A 2xx is reported and ends the transaction at once:
// its retransmissions, and 2xx from other forks, then reach the stray
// handler. A 300-699 is acknowledged by the transaction itself (ACK built
// per RFC 3261 17.1.1.3, with Max-Forwards, sent where the INVITE went),
// reported once, and retransmissions of it are absorbed for timer D (32 s
// over UDP) with the ACK sent again.
// Non-INVITE: the final response is reported and retransmissions are
// absorbed for timer K (T4 over UDP).
// Over a stream transport (the request's top Via names it once sent) there
// are no retransmissions and D and K are 0.
//
// cancel() sends a CANCEL for a pending INVITE on a client transaction of
// its own, sent where the INVITE went, whose events go nowhere (its
// messages are shown to this transaction's interface through
// sendingMessage/receivedMessage). With no CANCEL given it is built per
// RFC 3261 9.1; of a given one, the headers that identify the INVITE
// (Request-URI, Via, From, To, Call-ID, CSeq number, Route) are replaced
// with the INVITE's, so that the peer can match it, and the others (Reason,
// Max-Forwards, ...) are kept; the caller's message is not changed. Before any
// provisional response has come the CANCEL waits for the first one; after
// a final response it is not sent; a second cancel() does nothing. Once
// the CANCEL is sent, an INVITE still without a final response after 64*T1
// is abandoned with timeOut (RFC 3261 9.1).
//
// Exceptions raised by the interface inside a timer are logged and dropped;
// a failing retransmission, ACK or CANCEL is logged (timers B, F
// and the CANCEL time-out still end the transaction).

#include "stack/transaction/NvSipTransaction.h"

class NvSipClientTransaction : public NvSipTransaction {
public:
    // `interface` may be null (events are then dropped); the transaction
    // holds a counted reference to it.
    NvSipClientTransaction(NvHandle<NvSipRequest> request, NvSipClientTransactionInterface* interface);
    ~NvSipClientTransaction() override;

    bool isClient() const override { return true; }
    NvHandle<NvSipClientTransactionInterface> getInterface() const;

    // Sends the request. `port`/`address` as for NvSipTransportLayer::send:
    // an optional destination override, filled with the destination used.
    // Raises NvException when already sent or when sending fails.
    void sendRequest(unsigned* port = nullptr, NvInetAddress* address = nullptr);
    // Cancels the pending INVITE (see above). Raises NvException for a
    // non-INVITE, and the transport's exception when the CANCEL is sent at
    // once and cannot be.
    void cancel(NvHandle<NvSipCancelMessage> cancel = NvHandle<NvSipCancelMessage>());
    // The last response received, nil before the first.
    NvHandle<NvSipResponse> getLastResponse() const;

    void serialize(NvOutputStream& out) const override;
    // Rebuilds a transaction written by serialize(), bound to `interface`
    // and registered again with the transaction manager, so that responses
    // arriving after the rebuild match it. Raises NvException on a corrupt stream.
    static NvHandle<NvSipClientTransaction> sCreateFrom(NvInputStream& in, NvSipClientTransactionInterface* interface);

    void onNotification(NvHandle<NvObservable> observable, NvHandle<NvObject> object) override;
    // Called by the transaction manager with a response that matched.
    void receiveResponse(const NvHandle<NvSipResponse>& response);

private:
    // What a message sent beside the request (ACK, CANCEL) needs: the
    // interface to tell and where the request went.
    struct SendContext {
        NvHandle<NvSipClientTransactionInterface> interface;
        unsigned port;
        NvInetAddress address;
    };
    SendContext sendContext() const;
    NvHandle<NvSipCancelMessage> buildCancel(const NvHandle<NvSipCancelMessage>& given) const;
    void sendCancel(NvHandle<NvSipCancelMessage> cancel);
    void sendAck(const NvHandle<NvSipResponse>& response);
    // Whether a reliable provisional response is new (not a retransmission); the caller holds m_Mutex.
    bool isNewReliable(const NvSipResponse& response);

    struct Impl;
    Impl* m_pImpl;
};
