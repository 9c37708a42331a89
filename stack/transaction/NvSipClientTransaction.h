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
// Non-INVITE: the final response is reported and ends the transaction;
// over UDP the transaction manager absorbs its retransmissions for timer K
// (T4) in the transaction's stead (NvSipTransactionManager::retire), which
// costs a small entry instead of a live transaction for every request.
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
// An INVITE that has had provisional responses but no final one for
// sm_ProceedingTimeoutMs (3 minutes by default; each provisional response
// starts the wait again, as a proxy's timer C does) cancels itself: RFC
// 3261 gives an INVITE client transaction no end in Proceeding, and a lost
// final response (the callee's retransmissions all dropped, as under
// overload) would otherwise leave the call ringing for ever. It then ends as
// above: with the final response the CANCEL brings, or timeOut 64*T1 later.
//
// Events: every message sent is shown with sendingMessage just before its
// bytes leave (at the destination it goes to); every response received is
// shown with receivedMessage before the event it causes.
//
// Transport errors (RFC 3261 17.1.4): a retransmission, an ACK or a CANCEL
// that the transport refuses at once, or any of them or the request itself
// reported later through the manager's sendFailed, ends the transaction:
// transportError is reported once (after the finalResponse whose ACK
// failed) and nothing more is sent. A request refused at once in
// sendRequest raises instead and is not reported.
//
// The interface is released once the transaction has terminated and made
// its last report: after a 2xx, timer D, timeOut, transportError, or a
// sendRequest that raised; a non-INVITE, with its final response.
// getInterface() returns nil from then on.
//
// Exceptions raised by the interface inside a timer are logged and dropped.

#include "stack/transaction/NvSipTransaction.h"

class NvSipClientTransaction : public NvSipTransaction {
public:
    // How long an INVITE may stay with provisional responses only before it
    // cancels itself (see above), in milliseconds.
    static unsigned int sm_ProceedingTimeoutMs;

    // `interface` may be null (events are then dropped); the transaction
    // holds a counted reference to it until it ends (see above).
    NvSipClientTransaction(NvHandle<NvSipRequest> request, NvSipClientTransactionInterface* interface);
    ~NvSipClientTransaction() override;

    bool isClient() const override { return true; }
    // Nil once the transaction has ended and released it (see above).
    NvHandle<NvSipClientTransactionInterface> getInterface() const;

    // Sends the request. `port`/`address` as for NvSipTransportLayer::send:
    // an optional destination override, filled with the destination used.
    // Raises NvException when already sent or when the request cannot be
    // sent (its destination does not resolve, the transport raises); the
    // transaction has then ended and reports nothing.
    void sendRequest(unsigned* port = nullptr, NvInetAddress* address = nullptr);
    // Cancels the pending INVITE (see above). Raises NvException for a
    // non-INVITE, and the transport's exception when the CANCEL is sent at
    // once and cannot be.
    void cancel(NvHandle<NvSipCancelMessage> cancel = NvHandle<NvSipCancelMessage>());
    void serialize(NvOutputStream& out) const override;
    // Rebuilds a transaction written by serialize(), bound to `interface`
    // and registered again with the transaction manager, so that responses
    // arriving after the rebuild match it. Raises NvException on a corrupt stream.
    static NvHandle<NvSipClientTransaction> sCreateFrom(NvInputStream& in, NvSipClientTransactionInterface* interface);

    void onNotification(NvHandle<NvObservable> observable, NvHandle<NvObject> object) override;
    // Called by the transaction manager with a response that matched.
    void receiveResponse(const NvHandle<NvSipResponse>& response);

private:
    static NvHandle<NvSipClientTransactionInterface> sTyped(const NvHandle<NvSipTransactionInterface>& interface);
    void reportTransportError(const NvHandle<NvSipTransactionInterface>& interface,
                              const std::string& reason) override;
    bool mayStillSend(const NvSipMessage& message) const override;
    // Starts the timers of the current state from their beginning; the caller holds m_Mutex.
    void startStateTimers();
    NvHandle<NvSipCancelMessage> buildCancel(const NvHandle<NvSipCancelMessage>& given) const;
    void sendCancel(NvHandle<NvSipCancelMessage> cancel);
    // The ACK of a failure response, to where the INVITE went; the caller holds m_Mutex.
    Outgoing ackOf(const NvHandle<NvSipResponse>& response) const;
    // Whether a reliable provisional response is new (not a retransmission); the caller holds m_Mutex.
    bool isNewReliable(const NvSipResponse& response);

    struct Impl;
    Impl* m_pImpl;
};
