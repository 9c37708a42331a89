#pragma once
// NvSipIncomingCall: the application's handle on a call the peer started.
// Made by the application inside NvSipNewCallinterface::newCall with the
// INVITE and its NvSipIncomingCallinterface; the constructor creates the
// call's one dialog, which creates the INVITE's server transaction and
// enters the call manager's table. The application drives the call through
// the operations here, each forwarded to the dialog; the dialog's events
// come back through the NvSipCall event operations and reach the
// application's interface.
//
// Events from a dialog other than the call's current one are not told to
// the application. The events that end the call (ACK of a rejection,
// response or time-out of our BYE, time-outs) remove the dialog after the
// callback; the application's operations then raise NvSipMlException
// "Dialog does not exist !!!".
//
// Replaces (RFC 3891): an INVITE naming the call's dialog gets a new
// dialog, listed in the manager's table like the call's own, and the
// application settles it (replacesDialog, then acceptReplaces or
// rejectReplaces). Whatever becomes of it, nothing stays behind: the
// new dialog's ending events (the ACK of its rejection, a time-out, the
// peer's CANCEL) take its first key out of the table and forget the
// pending INVITE, so that neither the call nor the table keeps it; once
// accepted, the replaced dialog is no longer the call's, and a BYE the
// replaced party sends on it is answered 200 by the library and ends it.
// An INVITE with Replaces naming a dialog the call no longer has gets 481.
//
// Choices where a literal reading would break the RFCs: removeDialog
// looks at its argument (a replaced dialog answering its party's BYE must
// not take the call's new dialog with it); events of a dialog that is not
// the call's current one are not ignored where that would leave a BYE
// unanswered or a dialog listed for ever (see above).
//
// Threads and locks: m_pMutex (the call's, plain) guards m_hDialog only and
// is released before a dialog operation or a callback runs; the events
// take no lock of their own.

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipIncomingCallinterface.h"

class NVSIPMLAPI_EXPORT NvSipIncomingCall : public NvSipCall {
public:
    // Raises NvSipMlException "NIL handle to Incoming Call Interface" for a
    // null interface, before any dialog exists. Sets the call's local tag on
    // the INVITE's To header, so that every response built from it carries it.
    NvSipIncomingCall(NvHandle<NvSipInviteMessage> invite, NvSipIncomingCallinterface* callInterface);
    ~NvSipIncomingCall() override;

    // The call's dialog; nil once it was removed.
    NvHandle<NvSipDialog> getDialog() const;

    // ---- ending the call
    // Before the answer: 487 to the INVITE (and `bye` when given); after it:
    // `bye`, or a BYE the dialog builds for nil. Raises NvSipMlException
    // "Dialog does not exist !!!" once the call has ended, and NvException
    // "Cannot send BYE in SUCCEEDED state !" while our 2xx awaits its ACK.
    void hangup(NvHandle<NvSipByeMessage> bye);
    void hangup() override;

    void onInviteRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipInviteMessage> invite) override;
    void onReinviteResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) override;
    void onReinviteRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipInviteMessage> invite) override;
    void onReinviteAck(NvHandle<NvSipDialog> dialog, NvHandle<NvSipAckMessage> ack) override;
    void onReinviteTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipInviteMessage> invite) override;
    void onByeRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipByeMessage> bye) override;
    void onByeResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) override;
    void onByeTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipByeMessage> bye) override;
    void onCancelReinviteRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipCancelMessage> cancel) override;
    void onUnknownRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipServerTransaction> transaction,
                          NvHandle<NvSipRequest> request) override;
    void onUnknownResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) override;
    void onUnknownRequestTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipTransaction> transaction) override;
    void onTimeOut(NvHandle<NvSipDialog> dialog) override;
    void onSessionRefreshTime(NvHandle<NvSipDialog> dialog) override;
    void onSessionTimeOut(NvHandle<NvSipDialog> dialog) override;

    // Replaces: the new dialog becomes the call's dialog, then the base part;
    // the replaced dialog's first key leaves the manager's table (the
    // application still hangs the replaced dialog up).
    void acceptReplaces() override;
    // Runs the base part with m_pMutex held, then the application's
    // replacesDialog without it, so that the application may settle the
    // Replaces (acceptReplaces, rejectReplaces) from inside the callback.
    void onReplacesInvite(NvHandle<NvSipDialog> replaced, NvHandle<NvSipInviteMessage> invite,
                          NvHandle<NvSipServerTransaction> transaction) override;

    void addDialog(NvHandle<NvSipDialog> dialog) override;
    // Takes the first key of `dialog` (its Call-ID, no local tag, its remote
    // tag) out of the manager's table; when it is the call's dialog, the
    // call forgets it, and when it is the one made for a pending Replaces
    // INVITE, that INVITE is forgotten (see above).
    void removeDialog(NvHandle<NvSipDialog> dialog) override;

    // The peer's PRACK, ACK and CANCEL of its INVITE: virtual operations of
    // this class, after NvSipCall's (in this order).
    virtual void onPrackRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipPrackMessage> prack);
    // `confirmed` is unused: an ACK of our 2xx always confirms the call.
    virtual void onAckRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipAckMessage> ack, bool confirmed);
    // The ACK of our rejection: the call is over.
    virtual void onAckRequest2(NvHandle<NvSipDialog> dialog, NvHandle<NvSipAckMessage> ack);
    // The peer cancelled its INVITE: terminated with the CANCEL (the ACK of
    // the 487, or its time-out, then ends the call).
    virtual void onCancelRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipCancelMessage> cancel);

    // ------------------------------------------------------------ answering
    // The application's operations on the call's dialog, from any thread;
    // each raises NvSipMlException "Dialog does not exist !!!" once the
    // dialog was removed, and passes on what the dialog raises.
    // Answers the INVITE (nil: 200 without body); a 2xx gets our Contact,
    // Allow and Supported; a provisional response to an INVITE requiring
    // 100rel goes reliably.
    void answer(NvHandle<NvSipResponse> response);
    void answer(unsigned int statusCode, const void* body, const char* contentType, unsigned int bodyLength);
    // A reliable provisional response (RFC 3262), numbered with RSeq.
    void sendReliableProvisionalResponse(NvHandle<NvSipResponse> response);
    void sendReliableProvisionalResponse(unsigned int statusCode, const void* body, const char* contentType,
                                         unsigned int bodyLength);
    // Answers the peer's BYE (nil: 200); a final answer ends the call.
    void respondToBye(NvHandle<NvSipResponse> response);
    // Cancels our pending re-INVITE (nil: the dialog builds the CANCEL); its
    // 487 reaches reinviteResponse. Nothing when none is pending.
    void cancel(NvHandle<NvSipCancelMessage> cancel);
    // The in-dialog operations (reinvite, ackReinvite, respondToReinvite,
    // info, notify, refer) are NvSipCall's, applied to the call's dialog.

    // ---- offer and answer in the PRACK (RFC 3262 5)
    // Answers the PRACK that the interface's prack is being told of, from
    // inside that callback: `statusCode` with `body` (the answer to an offer
    // the PRACK carried) in `contentType`. Without it the library answers
    // 200 without body when prack returns. Raises NvSipMlException "No PRACK
    // awaiting an answer" outside the callback. Early media: a 2xx given
    // after a reliable 1xx with a body (sendReliableProvisionalResponse,
    // e.g. 183 with the answer) waits for that response's PRACK
    // (NvSipDialog::sendResponse).
    void respondToPrack(unsigned int statusCode, const void* body, const char* contentType, unsigned int bodyLength);

    // ---- snapshot
    // Writes the call's record, then its dialog's. Raises NvSipMlException
    // "Dialog does not exist !!!" (after the call's record) once the call
    // has none.
    void serialize(NvOutputStream& out) const override;
    // Rebuilds a call written by serialize: the call, then its one dialog,
    // listed again in the manager's table. Raises NvSipMlException "NIL
    // handle to Incoming Call Interface" for a null interface, NvException
    // for a truncated or corrupt stream (nothing is left listed). The
    // caller holds the result in an NvHandle.
    static NvSipIncomingCall* sCreateFrom(NvInputStream& in, NvSipIncomingCallinterface* callInterface);
    NvSipIncomingCall(NvInputStream& in, NvSipIncomingCallinterface* callInterface);

protected:
    friend class NvSipCall;  // its in-dialog operations come to applyToDialogs
    // Writes "NvSipIncomingCall::<name>()" to the debug stream and runs
    // `operation` on the dialog; "Dialog does not exist !!!" when there is
    // none, and what the dialog raises passes on.
    void applyToDialogs(const char* name, bool announced, bool errorsWritten, const DialogOperation& operation);

public:
    // ---- UPDATE (RFC 3311): virtual operations of this class, after its
    // own events (in this order). The peer's UPDATE taken by `dialog`
    // reaches updateRequest of the interface when it is the call's dialog, the responses to ours
    // updateResponse.
    virtual void onUpdateRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipUpdateMessage> update);
    virtual void onUpdateResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);

private:
    // The call's dialog for an application operation: writes the
    // operation's name line to the debug stream, raises "Dialog does not
    // exist !!!" when the call has none.
    NvHandle<NvSipDialog> dialogFor(const char* operation) const;
    // Removes the key `dialog` entered the manager's table with (its
    // Call-ID, no local tag, its remote tag).
    void forgetFirstKey(const NvHandle<NvSipDialog>& dialog) const;
    // An event that ended `dialog`: the application hears terminated with
    // `message` when it is the call's dialog; either way it is removed.
    void endedBy(const NvHandle<NvSipDialog>& dialog, const char* event, const NvHandle<NvSipMessage>& message);
    // Whether `dialog` is the call's current dialog, after writing the
    // event's name line to the debug stream.
    bool isCurrent(const NvHandle<NvSipDialog>& dialog, const char* event) const;
    NvHandle<NvSipIncomingCall> self() { return this; }

    NvHandle<NvSipIncomingCallinterface> m_hInterface;
    NvHandle<NvSipDialog> m_hDialog;  // guarded by m_pMutex
};
