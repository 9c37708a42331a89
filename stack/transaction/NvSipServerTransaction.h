#pragma once
// NvSipServerTransaction: the INVITE and non-INVITE server transactions
// (RFC 3261 17.2).
//
// Created for a request (usually by the transaction factory the transaction
// manager asks), it registers with the manager at once; the manager then
// hands it the request, which it reports with `request`. A retransmitted
// request is absorbed: the last response is sent again.
//
// INVITE: a 100 Trying is sent when the request is handed over, unless a
// response went already. Provisional responses are sent as given
// (sendReliableResponse sends a reliable one; its retransmission is the
// caller's). A 2xx ends the transaction at once (the caller retransmits its
// own 2xx until the ACK); for 64*T1 afterwards the manager drops
// retransmissions of that INVITE (RFC 6026), while the ACK of the 2xx and a
// late CANCEL match nothing and go to the stray handler. A 300-699 is
// retransmitted over UDP (timer G) until the ACK, which is reported with
// `ack`, then absorbed for timer I; with no ACK after 64*T1 (timer H)
// `timeOut` is reported.
// Non-INVITE: the final response is kept and sent again for each
// retransmitted request for timer J (64*T1 over UDP).
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
// and the CANCEL, and answers the CANCEL on it. After the final response
// (or with no interface) the CANCEL changes nothing: it is answered 200
// here and the interface is not told. The CANCEL and its answer are shown
// to this transaction's interface through receivedMessage/sendingMessage.
//
// setOnTimeoutSendFinalResponse(true): once this transaction has timed out
// it normally refuses to send anything; with the flag set, a final
// response given to sendResponse after the time-out is still sent, once
// (no timer G), so that the peer hears the outcome (a 408, typically).
//
// The interface can be replaced at any time (setInterface); events go to
// the interface current when they occur. Exceptions raised by the
// interface inside a timer are logged and dropped.

#include "stack/transaction/NvSipTransaction.h"

class NvSipServerTransaction : public NvSipTransaction {
public:
    // How long a transaction waits for a final response before reporting
    // timeOut, in milliseconds.
    static unsigned int sm_ProceedingTimeoutMs;

    NvSipServerTransaction(NvHandle<NvSipRequest> request, NvSipServerTransactionInterface* interface);
    ~NvSipServerTransaction() override;

    bool isClient() const override { return false; }
    NvHandle<NvSipServerTransactionInterface> getInterface() const;
    void setInterface(NvSipServerTransactionInterface* interface);

    // Sends a response built from the request with this status and the
    // standard reason phrase; above 100 its To gets the tag of the last
    // response sent, or a new one, when the request had none.
    void sendResponse(unsigned int statusCode);
    // Sends `response`; `port`/`address` as for NvSipTransportLayer::send.
    // Raises NvException when the transaction can no longer send it (a
    // final response already sent, or timed out without the flag above).
    void sendResponse(NvHandle<NvSipResponse> response, unsigned* port = nullptr, NvInetAddress* address = nullptr);
    // Sends a reliable provisional response (RFC 3262): Require: 100rel is
    // added when missing; the caller numbers it (RSeq) and retransmits it.
    // Raises NvException for a status outside 101-199, and as sendResponse.
    void sendReliableResponse(NvHandle<NvSipResponse> response);
    void setOnTimeoutSendFinalResponse(bool send);
    // The last response sent, nil before the first.
    NvHandle<NvSipResponse> getLastResponse() const;

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
    void resend(const NvHandle<NvSipResponse>& response, unsigned port, NvInetAddress address,
                const NvHandle<NvSipServerTransactionInterface>& interface);

    struct Impl;
    Impl* m_pImpl;
};
