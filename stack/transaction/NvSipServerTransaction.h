#pragma once
// NvSipServerTransaction: the INVITE and non-INVITE server transactions
// (RFC 3261 17.2).
//
// Created for a request (usually by the transaction factory the transaction
// manager asks), it registers with the manager at once; the manager then
// hands it the request, which it reports with `request`. A retransmitted
// request is absorbed: the last response is sent again.
//
// INVITE: a 100 Trying is sent once the request has been handed over, unless
// a response went meanwhile: an owner that answers (a 180, a final
// response) from inside `request` spares the peer a message it does not
// need (RFC 3261 17.2.1 lets the TU's own response stand in for it); one
// that answers later gets the 100 first. Provisional responses are sent as given
// (sendReliableResponse sends a reliable one; its retransmission is the
// caller's). A 2xx ends the transaction at once (the caller retransmits its
// own 2xx until the ACK); for 64*T1 afterwards the manager drops
// retransmissions of that INVITE (RFC 6026), while the ACK of the 2xx and a
// late CANCEL match nothing and go to the stray handler. A 300-699 is
// retransmitted over UDP (timer G) until the ACK, which is reported with
// `ack`, then absorbed for timer I; with no ACK after 64*T1 (timer H)
// `timeOut` is reported.
// Non-INVITE: the final response ends the transaction. Over UDP the
// transaction manager then sends that response again for each
// retransmitted request for timer J (64*T1) in the transaction's stead
// (NvSipTransactionManager::retire): a busy server answers tens of
// thousands of requests every 32 s, and a small entry of the response's
// bytes costs far less than a live transaction. A request with an RFC 2543
// branch, matched on its parsed identity, keeps its transaction in the
// Completed state for timer J instead.
// Over a stream transport (the request was received on one) there is no
// timer G and I and J are 0.
//
// Every server transaction left without a final response for
// sm_ProceedingTimeoutMs (3 minutes by default) reports `timeOut`, so that
// its owner can answer; it then stays 64*T1 to absorb retransmissions and
// ends, answered or not.
//
// CANCEL (RFC 3261 9.2): the manager gives a CANCEL matching this INVITE a
// non-INVITE server transaction of its own and calls receiveCancel. Before
// the final response the interface is told `cancel` with that transaction
// and the CANCEL; it may answer either or both itself (200 to the CANCEL,
// 487 to the INVITE, through trySendResponse). When `cancel` returns, the
// stack answers the CANCEL with 200 and the INVITE with 487 if they are
// still unanswered, so each gets exactly one final response. After the
// final response (or with no interface) the CANCEL changes nothing: it is
// answered 200 here and the interface is not told. The CANCEL and its
// answer are shown to this transaction's interface through
// receivedMessage/sendingMessage.
//
// Sending responses: sendResponse raises NvException on misuse (a status
// outside 100-699, no response, a response the transaction can no longer
// send: after its final response, once ended, after the time-out without
// the flag below). trySendResponse is the best-effort form for responses
// that may come late (a 487 or 408 in the middle of a hang-up): it returns
// false instead of raising when the transaction can no longer send it;
// canSendFinalResponse() says beforehand whether a final response can
// still go. A response above 100 built here carries our To tag, chosen once
// per transaction (the tag of the first response sent with one), even when
// threads respond at the same moment; a provisional response (the 100
// Trying, a retransmitted or reliable one) never leaves after the final one.
//
// Transport errors (RFC 3261 17.2.4): a response, or its retransmission,
// that cannot be sent (the transport raises, or reports it later through
// the manager's sendFailed) ends the transaction at once and is reported
// with transportError (once); sendResponse does not raise for it and
// trySendResponse returns false.
//
// setOnTimeoutSendFinalResponse(true): once this transaction has timed out
// it normally refuses to send anything; with the flag set, a final
// response given to sendResponse after the time-out is still sent, once
// (no timer G), so that the peer hears the outcome (a 408, typically).
//
// Every message sent is shown with sendingMessage just before its bytes
// leave, with the destination it goes to. The interface can be replaced
// (setInterface); events go to the interface current when they occur. It
// is released once the transaction has terminated and made its last report:
// after a 2xx, timer H (timeOut), I, J or the linger after a time-out, or a
// transportError. A non-INVITE lets it go as soon as its final response has
// left: nothing it could still see (retransmitted requests, absorbed
// unshown; a failed retransmission of the response) is news to its owner,
// and a dialog and its call must not live on for timer J because of it. getInterface() then returns nil and
// setInterface() has no effect. Exceptions raised by the interface inside a timer are logged and
// dropped.

#include "stack/transaction/NvSipTransaction.h"

class NvSipServerTransaction : public NvSipTransaction {
public:
    // How long a transaction waits for a final response before reporting
    // timeOut, in milliseconds.
    static unsigned int sm_ProceedingTimeoutMs;

    NvSipServerTransaction(NvHandle<NvSipRequest> request, NvSipServerTransactionInterface* interface);
    ~NvSipServerTransaction() override;

    bool isClient() const override { return false; }
    // Nil once the transaction has ended and released it (see above).
    NvHandle<NvSipServerTransactionInterface> getInterface() const;
    // No effect once the transaction has ended.
    void setInterface(NvSipServerTransactionInterface* interface);

    // A response to the request with this status and the standard reason
    // phrase; above 100 its To gets our tag when the request had none.
    // Raises NvException for a status outside 100-699.
    NvHandle<NvSipResponse> buildResponse(unsigned int statusCode);
    // Sends buildResponse(statusCode). Raises NvException as described above.
    void sendResponse(unsigned int statusCode);
    // Sends `response`; `port`/`address` as for NvSipTransportLayer::send.
    // Raises NvException as described above.
    void sendResponse(NvHandle<NvSipResponse> response, unsigned* port = nullptr, NvInetAddress* address = nullptr);
    // As sendResponse, but false when the transaction can no longer send
    // it, or the transport failed (reported with transportError); still
    // raises for a status outside 100-699 or no response.
    bool trySendResponse(unsigned int statusCode);
    bool trySendResponse(NvHandle<NvSipResponse> response, unsigned* port = nullptr, NvInetAddress* address = nullptr);
    // Whether a final response can still be sent now (no final response
    // yet, not ended, not timed out unless the flag below allows it).
    bool canSendFinalResponse() const;
    // Sends a reliable provisional response (RFC 3262): Require: 100rel is
    // added when missing; the caller numbers it (RSeq) and retransmits it.
    // Raises NvException for a status outside 101-199, and as sendResponse.
    void sendReliableResponse(NvHandle<NvSipResponse> response);
    void setOnTimeoutSendFinalResponse(bool send);

    void serialize(NvOutputStream& out) const override;
    // Rebuilds a transaction written by serialize(), bound to `interface`
    // and registered again with the transaction manager, so that
    // retransmissions and the ACK arriving after the rebuild match it; the
    // timers of its state start again. Raises NvException on a corrupt stream.
    static NvHandle<NvSipServerTransaction> sCreateFrom(NvInputStream& in, NvSipServerTransactionInterface* interface);

    void onNotification(NvHandle<NvObservable> observable, NvHandle<NvObject> object) override;
    // Called by the transaction manager with a request that matched (the
    // first one, a retransmission, or the ACK).
    void receiveRequest(const NvHandle<NvSipRequest>& request);
    // Called by the transaction manager with a CANCEL matching this INVITE
    // and the CANCEL's own transaction (see CANCEL above).
    void receiveCancel(const NvHandle<NvSipServerTransaction>& cancelTransaction,
                       const NvHandle<NvSipCancelMessage>& cancel);

private:
    static NvHandle<NvSipServerTransactionInterface> sTyped(const NvHandle<NvSipTransactionInterface>& interface);
    void reportTransportError(const NvHandle<NvSipTransactionInterface>& interface,
                              const std::string& reason) override;
    bool mayStillSend(const NvSipMessage& message) const override;
    // Starts the timers of the current state from their beginning; the caller holds m_Mutex.
    void startStateTimers();
    static void checkStatus(int code);
    // Why a response with `code` cannot be sent now ("" when it can); the caller holds m_Mutex.
    std::string whyNot(int code) const;
    // Sends the INVITE's 100 Trying unless a response went already.
    void sendTryingIfUnanswered(const NvHandle<NvSipRequest>& request);
    // sendResponse (`raise`) and trySendResponse.
    bool respond(NvHandle<NvSipResponse> response, unsigned* port, NvInetAddress* address, bool raise);

    struct Impl;
    Impl* m_pImpl;
};
