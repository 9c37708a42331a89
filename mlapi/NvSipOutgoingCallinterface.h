#pragma once
// NvSipOutgoingCallinterface: everything the application hears about a call
// it placed (NvSipOutgoingCall). It derives from this class and overrides
// what it cares about; every operation has a body.
//
// Who calls it: the call, each operation on the thread that delivered the
// event (the stack's receive or timer thread, or the application's own
// thread for an event its call operation raised), with no library lock
// held unless an operation says otherwise. The first argument is always the
// call; all but terminated then name the dialog concerned, since an INVITE
// that forks gives the call one dialog per answering branch. A request
// handed over with its server transaction stays unanswered until the
// application answers it there.
//
// Ownership: the application creates it and hands it to each call's
// constructor; the call holds it through a counted handle for its life.
// One object may serve many calls at once from several threads.

#include "mlapi/NvSipMlApiAfx.h"

class NvSipDialog;
class NvSipOutgoingCall;
class NvSipServerTransaction;

class NVSIPMLAPI_EXPORT NvSipOutgoingCallinterface : public NvObject {
public:
    using Call = NvHandle<NvSipOutgoingCall>;
    using Dialog = NvHandle<NvSipDialog>;
    ~NvSipOutgoingCallinterface() override;

    // A reliable provisional response (100rel) on `dialog`: acknowledge it
    // with the call's or the dialog's prack. Default: nothing.
    virtual void reliableProvisionalResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response);
    // A provisional response on `dialog`. Default: nothing.
    virtual void provisionalResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response);
    // `dialog` failed: a 4xx-6xx final response other than 487, or nil when
    // the INVITE timed out. The dialog leaves the call afterwards. Default: nothing.
    virtual void failedToConnect(Call call, Dialog dialog, NvHandle<NvSipResponse> response);
    // A 3xx ended `dialog`: the application may try the Contacts with the
    // call's tryCalling, here or later. Default: nothing.
    virtual void redirect(Call call, Dialog dialog, NvHandle<NvSipResponse> response);
    // A 2xx answered `dialog` (the other branches were cancelled first):
    // acknowledge it with the call's or the dialog's ack. Default: nothing.
    // When our INVITE had no body the 2xx carries the offer, and the answer
    // goes in the ACK: ack with a body (RFC 3261 13.2.1, delayed offer).
    virtual void succeeded(Call call, Dialog dialog, NvHandle<NvSipResponse> response);
    // `dialog` ended: the peer's BYE (to be answered with the dialog's
    // respondToBye), the response to our BYE or its time-out, the 487 of a
    // cancelled INVITE, a failed in-dialog request. Default: the peer's BYE
    // is answered 200; anything else is left alone.
    virtual void dialogTerminated(Call call, Dialog dialog, NvHandle<NvSipMessage> message);
    // The call's last dialog is gone: the call is over. `message` ended the
    // last dialog; nil after a time-out. Default: nothing.
    virtual void terminated(Call call, NvHandle<NvSipMessage> message);
    // A request of another method in `dialog` (INFO, OPTIONS, ...), to be
    // answered on `transaction`. Default: the library's answer at once (200 with Allow,
    // Accept and Supported to OPTIONS, 501 with Allow to a method it does
    // not implement, 500 otherwise). An override that leaves it unanswered
    // gets the same from the library 10 s later, or 487 when the call ends
    // first.
    virtual void unknownRequest(Call call, Dialog dialog, NvHandle<NvSipServerTransaction> transaction,
                                NvHandle<NvSipRequest> request);
    // A REFER in `dialog`, to be answered on `transaction`. Default: nothing. Left unanswered (by the default
    // too), the library answers it 500 after NvSipUnansweredRequests::
    // sm_AnswerDelayMs (10 s), or 487 when the call ends first.
    virtual void referRequest(Call call, Dialog dialog, NvHandle<NvSipServerTransaction> transaction,
                              NvHandle<NvSipReferMessage> refer);
    // The response to our REFER. Default: nothing.
    virtual void referResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response);
    // A NOTIFY in `dialog`, to be answered on `transaction`. Default: nothing. Left unanswered (by the default
    // too), the library answers it 500 after NvSipUnansweredRequests::
    // sm_AnswerDelayMs (10 s), or 487 when the call ends first.
    virtual void notifyRequest(Call call, Dialog dialog, NvHandle<NvSipServerTransaction> transaction,
                               NvHandle<NvSipNotifyMessage> notify);
    // The response to our NOTIFY. Default: nothing.
    virtual void notifyResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response);
    // The peer's re-INVITE: answer it with the call's respondToReinvite.
    // Default: nothing. Left unanswered (by the default
    // too), the library answers it 500 after NvSipUnansweredRequests::
    // sm_AnswerDelayMs (10 s), or 487 when the call ends first.
    virtual void reinviteRequest(Call call, Dialog dialog, NvHandle<NvSipInviteMessage> invite);
    // The peer cancelled its re-INVITE. Default: nothing.
    virtual void reinviteCancel(Call call, Dialog dialog, NvHandle<NvSipRequest> cancel);
    // A response to our re-INVITE. Default: ACKs a final one (ackReinvite with
    // an ACK built from it), PRACKs a reliable provisional one, ignores others.
    virtual void reinviteResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response);
    // The ACK of our answer to the peer's re-INVITE. Default: nothing.
    virtual void reinviteAck(Call call, Dialog dialog, NvHandle<NvSipAckMessage> ack);
    // Our re-INVITE got no answer; the dialog leaves the call. Default: nothing.
    virtual void reinviteTimeOut(Call call, Dialog dialog, NvHandle<NvSipInviteMessage> invite);
    // The session timer of `dialog` expires in 10 seconds. Default: nothing.
    virtual void onSessionTimeOut(Call call, Dialog dialog);
    // It is time to refresh the session of `dialog` (we are the refresher). Default: nothing.
    virtual void onSessionRefreshTime(Call call, Dialog dialog);
    // A 2xx from a further branch of the forked INVITE, after the call was
    // answered: `dialog` is the new dialog made for it (in the call's list),
    // waiting for its ACK (the dialog's ack with the response) or a hang-up.
    // Default: ACKs it and hangs it up (RFC 3261 13.2.2.4); the call does
    // the same when an override returns without ACKing it.
    virtual void multipleResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response);
    // An INVITE with Replaces names the call's dialog `replaced`; `newDialog`
    // was made for it. Settle it with the call's acceptReplaces or
    // rejectReplaces and answer the INVITE on `newDialog`. Default: accepts
    // it, answers 200 on the new dialog, then hangs the replaced one up.
    virtual void replacesDialog(Call call, Dialog newDialog, Dialog replaced, NvHandle<NvSipInviteMessage> invite);

    // The final response to our PRACK on `dialog`, or nil when the PRACK got
    // none (its time-out). Neither ends the dialog or the call. Default:
    // nothing.
    virtual void prackResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response);
    // ---- UPDATE (RFC 3311), in an early or a confirmed dialog
    // The peer's UPDATE in `dialog`: answer it with the dialog's (or the
    // call's) respondToUpdate (its 2xx gets our Contact, Allow, Supported and
    // the session-timer headers from the library). Default: one without
    // body is answered 200 at once (a session refresh); one with an offer,
    // which the default cannot answer, 488. Left unanswered by an override,
    // the library answers it 500 after NvSipUnansweredRequests::
    // sm_AnswerDelayMs (10 s), or 487 when the dialog ends first.
    virtual void updateRequest(Call call, Dialog dialog, NvHandle<NvSipUpdateMessage> update);
    // A response to our UPDATE in `dialog` (after the library's own new
    // attempts: 422, challenge; a 491 is sent again later by the library).
    // Default: nothing.
    virtual void updateResponse(Call call, Dialog dialog, NvHandle<NvSipResponse> response);
};
