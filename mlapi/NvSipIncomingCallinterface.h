#pragma once
// NvSipIncomingCallinterface: everything the application hears about a call
// it received. It derives from this class and overrides what it cares
// about; inviteRequest is the one operation it must write.
//
// Who calls it: the call (NvSipIncomingCall), each operation on the thread
// that delivered the event (the stack's receive or timer thread, or the
// application's own thread for an event its call operation raised), with
// no library lock held unless an operation says otherwise. The first
// argument is always the call. A request handed over with its server
// transaction stays unanswered until the application answers it there.
//
// Ownership: the application creates it and hands it to each call's
// constructor; the call holds it through a counted handle for its life.
// One object may serve many calls at once from several threads.

#include "mlapi/NvSipMlApiAfx.h"

class NvSipDialog;
class NvSipIncomingCall;
class NvSipServerTransaction;

class NVSIPMLAPI_EXPORT NvSipIncomingCallinterface : public NvObject {
public:
    using Call = NvHandle<NvSipIncomingCall>;
    ~NvSipIncomingCallinterface() override;

    // The INVITE arrived: answer it through the call (answer,
    // sendReliableProvisionalResponse), now or later from any thread.
    virtual void inviteRequest(Call call, NvHandle<NvSipInviteMessage> invite) = 0;
    // The peer acknowledged our reliable provisional response. Default: nothing.
    // The PRACK may carry an offer, or the answer to the offer our reliable
    // response carried (RFC 3262 5): its body is read here, and the PRACK
    // may be answered from inside this callback only (the call's
    // respondToPrack, with the answer to an offer); otherwise the library
    // answers 200 without body when it returns. Our 2xx held for this PRACK
    // goes after that answer. A PRACK that crossed our 2xx comes here too.
    virtual void prack(Call call, NvHandle<NvSipPrackMessage> prack);
    // The ACK of our 2xx arrived: the call is up. Default: nothing.
    // When the INVITE came without a body our 2xx carried the offer, and the
    // ACK carries the answer (RFC 3261 13.3.1, delayed offer).
    virtual void callConfirmed(Call call, NvHandle<NvSipAckMessage> ack);
    // The call ended or is ending. `message` is what ended it: the peer's
    // BYE (to be answered with the call's respondToBye), CANCEL, the ACK of
    // our rejection, the response to our BYE, a 481 or 408 to another
    // request of ours in the call; nil for a time-out. Default:
    // a BYE is answered 200; anything else is left alone.
    virtual void terminated(Call call, NvHandle<NvSipMessage> message);
    // A request of another method in the call (INFO, OPTIONS, ...), to be
    // answered on `transaction`. Default: the library's answer at once (200 with Allow,
    // Accept and Supported to OPTIONS, 501 with Allow to a method it does
    // not implement, 500 otherwise). An override that leaves it unanswered
    // gets the same from the library 10 s later, or 487 when the call ends
    // first.
    virtual void unknownRequest(Call call, NvHandle<NvSipServerTransaction> transaction,
                                NvHandle<NvSipRequest> request);
    // A REFER in the call, to be answered on `transaction`. Default: nothing. Left unanswered (by the default
    // too), the library answers it 500 after NvSipUnansweredRequests::
    // sm_AnswerDelayMs (10 s), or 487 when the call ends first.
    virtual void referRequest(Call call, NvHandle<NvSipServerTransaction> transaction,
                              NvHandle<NvSipReferMessage> refer);
    // The response to our REFER. Default: nothing.
    virtual void referResponse(Call call, NvHandle<NvSipResponse> response);
    // A NOTIFY in the call, to be answered on `transaction`. Default: nothing. Left unanswered (by the default
    // too), the library answers it 500 after NvSipUnansweredRequests::
    // sm_AnswerDelayMs (10 s), or 487 when the call ends first.
    virtual void notifyRequest(Call call, NvHandle<NvSipServerTransaction> transaction,
                               NvHandle<NvSipNotifyMessage> notify);
    // The response to our NOTIFY. Default: nothing.
    virtual void notifyResponse(Call call, NvHandle<NvSipResponse> response);
    // The peer's re-INVITE: answer it with the call's respondToReinvite.
    // Default: nothing. Left unanswered (by the default
    // too), the library answers it 500 after NvSipUnansweredRequests::
    // sm_AnswerDelayMs (10 s), or 487 when the call ends first.
    virtual void reinviteRequest(Call call, NvHandle<NvSipInviteMessage> invite);
    // The peer cancelled its re-INVITE. Default: nothing.
    virtual void reinviteCancel(Call call, NvHandle<NvSipRequest> cancel);
    // A response to our re-INVITE. Default: ACKs a final one (ackReinvite with
    // an ACK built from it), PRACKs a reliable provisional one, ignores others.
    virtual void reinviteResponse(Call call, NvHandle<NvSipResponse> response);
    // The ACK of our answer to the peer's re-INVITE. Default: nothing.
    virtual void reinviteAck(Call call, NvHandle<NvSipAckMessage> ack);
    // Our re-INVITE got no answer: the dialog has ended with a BYE and
    // terminated (nil message) follows. Default: nothing.
    virtual void reinviteTimeOut(Call call, NvHandle<NvSipInviteMessage> invite);
    // The session timer expired without a refresh. Default: nothing.
    virtual void onSessionTimeOut(Call call);
    // It is time to refresh the session (we are the refresher). Default: nothing.
    virtual void onSessionRefreshTime(Call call);
    // An INVITE with Replaces names this call's dialog `replaced`; `newDialog`
    // was made for it. Settle it with the call's acceptReplaces or
    // rejectReplaces (now or later) and answer the INVITE. Default: accepts
    // it, answers 200 on the new dialog, then hangs the replaced one up.
    virtual void replacesDialog(Call call, NvHandle<NvSipDialog> newDialog, NvHandle<NvSipDialog> replaced,
                                NvHandle<NvSipInviteMessage> invite);

    // ---- UPDATE (RFC 3311), in the early or the confirmed call
    // The peer's UPDATE: answer it with the call's respondToUpdate (its 2xx
    // gets our Contact, Allow, Supported and the session-timer headers from
    // the library). Default: one without body is answered 200 at once (a
    // session refresh); one with an offer, which the default cannot answer,
    // 488. Left unanswered by an override, the library answers it 500 after
    // NvSipUnansweredRequests::sm_AnswerDelayMs (10 s), or 487 when the call
    // ends first.
    virtual void updateRequest(Call call, NvHandle<NvSipUpdateMessage> update);
    // A response to our UPDATE (after the library's own new attempts: 422,
    // challenge; a 491 is sent again later by the library). Default: nothing.
    virtual void updateResponse(Call call, NvHandle<NvSipResponse> response);
};
