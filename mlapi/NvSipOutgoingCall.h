#pragma once
// NvSipOutgoingCall: the application's handle on a call it places. The
// constructor builds (or takes) the INVITE, creates the call's first dialog
// and sends the INVITE at once. The call keeps the list of its dialogs: one
// while the INVITE is outstanding, a new one for each retry (credentials,
// 422, tryCalling after a redirection) and one more for each further 2xx of
// a forked INVITE. The application acts on every dialog at once through the
// operations here (an exception of one dialog is written to the debug
// stream and the others still act), or on one branch through the dialog
// handle its callbacks give it. The dialogs' events reach the application
// through NvSipOutgoingCallinterface; `terminated` is reported when an event
// removes the last dialog.
//
// Forks of our INVITE (the dialogs sort the responses by To tag, see
// NvSipDialog): each branch that sends a tagged provisional response or a
// 2xx becomes a dialog of the call, named in the application's callbacks.
// Who hears what, in order:
//   - provisionalResponse / reliableProvisionalResponse on the branch's
//     dialog; prackResponse after each PRACK of ours (nil: no answer);
//   - the first 2xx: the other branches of the same INVITE still early end
//     silently (they leave the call), the call's other INVITEs are
//     cancelled, then succeeded on the answering branch;
//   - a 2xx after that: multipleResponse on a new dialog; if the
//     application has not ACKed it when that returns, the call ACKs it and
//     hangs it up (dialogTerminated follows with the answer to that BYE);
//   - a final non-2xx: failedToConnect, redirect or dialogTerminated (487)
//     on the dialog holding the INVITE, then dialogTerminated, with that
//     response, on each other branch still early; terminated once, with
//     the last dialog; the INVITE's time-out: failedToConnect (nil) on each;
//   - after hangup before the answer (one CANCEL): the 487 as above; a 2xx
//     that crossed the CANCEL, from any branch, is ACKed and hung up
//     unreported, and the call ends with that BYE's answer.
// Choices where a literal reading would break the RFCs: early branches are
// dialogs of their own (RFC 3261 12.1.2, not one early dialog taking every
// branch's responses); every 2xx is ACKed and an unwanted one hung up
// (13.2.2.4), also while the first is not ACKed yet; provisional responses
// that arrive while a reliable one awaits its PRACK are reported, not
// dropped (RFC 3262 4); a branch's PRACK goes to that branch.
//
// The 3xx Contacts are not followed by the library: the application calls
// tryCalling, which refuses a target already tried (same URL text).
//
// The call's local tag is fixed when the call is made: an INVITE given to
// constructor (2) gets it in its From header even when the application put
// a tag there. A Contact given to tryCalling is used for that INVITE only.
//
// Ownership: counted. The application holds the call, each dialog holds it
// (m_hCall), the call holds its dialogs and its interface.
//
// Threads and locks: events arrive on the stack's threads with no dialog
// lock held, application operations on the application's threads. The
// call's m_pMutex (plain) guards m_Dialogs and m_TriedTargets and is held
// only to read or change them: the operations over every dialog walk a copy
// of the list, so that a dialog operation (taking its own mutex, which
// comes before the call's) may end in an event of this call, and the
// application's interface is never called with it held.

#include "mlapi/NvSipCall.h"
#include "mlapi/NvSipOutgoingCallinterface.h"

#include <list>
#include <vector>

namespace Tellar {
class Logger;
}

class NVSIPMLAPI_EXPORT NvSipOutgoingCall : public NvSipCall {
public:
    // An INVITE to `target` (nil: the remote party's URI) from
    // `localParticipant` to `remoteParticipant` with the body given, Contact
    // `contact` (nil: the process's local Contact) and a fresh Call-ID. Raises NvSipMlException "NIL handle to
    // Outgoing Call Interface", "Remote participant is not specified" or "No
    // Contact header provided for INVITE request in Outgoing Call
    // constructor", and whatever sending the INVITE raises.
    NvSipOutgoingCall(NvHandle<NvSipURL> target, NvHandle<NvSipNameAddress> remoteParticipant,
                      NvHandle<NvSipNameAddress> localParticipant, NvHandle<NvSipNameAddress> contact,
                      const char* contentType, const void* body, unsigned int bodyLength,
                      NvSipOutgoingCallinterface* callInterface);
    // Sends the application's INVITE, completed with the local Contact and
    // the call's From tag when it lacks them. `callLogger` (may be null, owned
    // from now on) becomes the first dialog's call-message log. Raises
    // NvSipMlException as above, or "INVITE message is not provided".
    NvSipOutgoingCall(NvHandle<NvSipInviteMessage> invite, NvSipOutgoingCallinterface* callInterface,
                      Tellar::Logger* callLogger);
    ~NvSipOutgoingCall() override;

    // ------------------------------------------------------------ targets
    // Sends a new INVITE of this call (same Call-ID and From tag) to `target`
    // and returns its dialog; nil, sending nothing, when the target's URL was
    // tried already. Raises NvSipMlException "Address is Invalid !!!" for a
    // target without URL.
    NvHandle<NvSipDialog> tryCalling(NvHandle<NvSipNameAddress> target, const char* contentType, const void* body,
                                     unsigned int bodyLength, NvHandle<NvSipContactHeader> contact);
    // Whether a target with the same URL text was already called.
    bool tried(NvHandle<NvSipNameAddress> target) const;

    // ------------------------------------------------------------ every dialog
    // Each applies the dialog operation to every dialog of the call, as do
    // NvSipCall's in-dialog operations (reinvite, ackReinvite,
    // respondToReinvite, info, notify, refer): hangup CANCELs a pending
    // INVITE once and BYEs every confirmed branch; ack acknowledges every
    // dialog waiting in NV_PROCESSING (nil: each builds its own ACK).
    void hangup() override;
    void ack(NvHandle<NvSipAckMessage> ack);
    void prack(NvHandle<NvSipPrackMessage> prack);
    // A PRACK with the body given (an SDP answer to the offer of a reliable
    // provisional response, RFC 3262 5) on each dialog with one to
    // acknowledge (the oldest not yet acknowledged).
    void prack(const void* body, const char* contentType, unsigned int bodyLength);
    // Stops every dialog's session timer; true.
    bool cancelSessionTimer();

    // ------------------------------------------------------------ delayed offer
    // The ACK of the 2xx with a body: our answer to the offer a 2xx brought
    // to an INVITE we sent without one (RFC 3261 13.2.1, RFC 3264). The
    // dialog builds it (NvSipDialog::ack with a body) and sends it through
    // its route set with the INVITE's credentials, as any of our ACKs.
    void ack(const void* body, const char* contentType, unsigned int bodyLength);

    // ------------------------------------------------------------ Replaces
    // Runs the base part with m_pMutex held, then the application's
    // replacesDialog without it (it may settle the Replaces from there).
    void onReplacesInvite(NvHandle<NvSipDialog> replaced, NvHandle<NvSipInviteMessage> invite,
                          NvHandle<NvSipServerTransaction> transaction) override;
    // The new dialog joins the call and the replaced one leaves it (the
    // application still hangs it up), then the base part; the key without
    // remote tag of the old Call-ID leaves the table with its last dialog.
    void acceptReplaces() override;

    // ------------------------------------------------------------ dialog list
    void addDialog(NvHandle<NvSipDialog> dialog) override;
    // Forgets `dialog` and its first key in the manager's table (one made
    // for an INVITE with Replaces is listed without local tag first); with
    // the last dialog gone, the call's key without remote tag goes too.
    void removeDialog(NvHandle<NvSipDialog> dialog) override;
    bool allDialogsTerminated() const;
    std::vector<NvHandle<NvSipDialog>> getDialogs() const;

    // ------------------------------------------------------------ events
    // Called by the dialogs (the dialog first), on the thread of the event,
    // with no dialog lock held.
    // Raises NvException "Call Waiting ???": an outgoing call takes no new call.
    void onInviteRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipInviteMessage> invite) override;
    void onReinviteResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) override;
    void onReinviteRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipInviteMessage> invite) override;
    void onReinviteAck(NvHandle<NvSipDialog> dialog, NvHandle<NvSipAckMessage> ack) override;
    void onReinviteTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipInviteMessage> invite) override;
    // The dialog stays in the list (its BYE answer removes it).
    void onByeRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipByeMessage> bye) override;
    void onByeResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) override;
    void onByeTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipByeMessage> bye) override;
    void onCancelReinviteRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipCancelMessage> cancel) override;
    void onUnknownRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipServerTransaction> transaction,
                          NvHandle<NvSipRequest> request) override;
    void onUnknownResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) override;
    void onUnknownRequestTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipTransaction> transaction) override;
    // The INVITE timed out: failedToConnect with nil, the dialog leaves.
    void onTimeOut(NvHandle<NvSipDialog> dialog) override;
    void onSessionRefreshTime(NvHandle<NvSipDialog> dialog) override;
    void onSessionTimeOut(NvHandle<NvSipDialog> dialog) override;

    // The answers to our INVITE: virtual operations of this class, after
    // NvSipCall's (in this order).
    virtual void onReliableProvisionalResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);
    virtual void onProvisionalResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);
    // Cancels the other branches, then tells the application.
    virtual void onSuccessfulResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);
    virtual void onRedirectResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);
    // 487: dialogTerminated, else failedToConnect (a 6xx cancels the other
    // branches); the dialog leaves the call.
    virtual void onFailureResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);
    // multipleResponse; then, when the application has not ACKed the
    // dialog, it is ACKed and hung up (RFC 3261 13.2.2.4).
    virtual void onMultipleFinalResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);
    // prackResponse: the final response to our PRACK, nil for its time-out.
    virtual void onPrackResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);

    // ---- snapshot
    // Writes the call's record, the targets tried (u32 count, then each),
    // then the dialogs (u32 count, then each dialog's record), from copies
    // of the lists taken under m_pMutex.
    void serialize(NvOutputStream& out) const override;
    // Rebuilds a call written by serialize: targets and dialogs in their
    // order, each dialog listed again in the manager's table. Raises
    // NvSipMlException "NIL handle to Outgoing Call Interface" for a null
    // interface, NvException for a truncated or corrupt stream (nothing is
    // left listed). The caller holds the result in an NvHandle.
    static NvSipOutgoingCall* sCreateFrom(NvInputStream& in, NvSipOutgoingCallinterface* callInterface);
    NvSipOutgoingCall(NvInputStream& in, NvSipOutgoingCallinterface* callInterface);

protected:
    friend class NvSipCall;  // its in-dialog operations come to applyToDialogs
    // Walks every dialog (forEachDialog), writing "NvSipOutgoingCall::<name>()"
    // first when `announced` and a dialog's NvException when `errorsWritten`.
    void applyToDialogs(const char* name, bool announced, bool errorsWritten, const DialogOperation& operation);

public:
    // ---- UPDATE (RFC 3311): virtual operations of this class, after its
    // own events (in this order). The peer's UPDATE taken by `dialog`
    // reaches updateRequest of the interface, the responses to ours
    // updateResponse.
    virtual void onUpdateRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipUpdateMessage> update);
    virtual void onUpdateResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);

private:
    // An INVITE of this call to `target`, From tag included.
    NvHandle<NvSipInviteMessage> buildInvite(NvHandle<NvURI> target, NvHandle<NvSipNameAddress> to,
                                             const NvHandle<NvSipContactHeader>& contact, const char* contentType,
                                             const void* body, unsigned int bodyLength);
    // A Contact over `contact`, else over the call's local Contact (which a
    // given one becomes when the call has none); nil when there is neither.
    NvHandle<NvSipContactHeader> contactFor(const NvHandle<NvSipNameAddress>& contact);
    // A dialog for `invite`, its INVITE sent; `callLogger` (may be null) is
    // its call-message log.
    NvHandle<NvSipDialog> startDialog(const NvHandle<NvSipInviteMessage>& invite, Tellar::Logger* callLogger);
    // Runs `operation` on each dialog but `except`, on a copy of the list
    // taken under m_pMutex; an NvException is written to the debug stream
    // (after "catch exception in NvSipOutgoingCall::" and `name`; nothing
    // when `name` is null) and the walk goes on.
    template <class Operation>
    void forEachDialog(const char* name, Operation operation, const NvSipDialog* except = nullptr);
    // Moves every entry that is `dialog` into `removed`; true when the list
    // is then empty. m_pMutex held.
    bool takeOut(const NvHandle<NvSipDialog>& dialog, std::list<NvHandle<NvSipDialog>>& removed);
    // The INVITE of Call-ID `callId` has no dialog left: its key without
    // remote tag leaves the table, which ACKs and hangs up its late 2xx.
    void inviteEnded(const NvString& callId);
    // removeDialog, then terminated(message) when no dialog is left.
    void endDialog(const NvHandle<NvSipDialog>& dialog, const NvHandle<NvSipMessage>& message);
    NvHandle<NvSipOutgoingCall> self() { return this; }

    std::list<NvHandle<NvSipDialog>> m_Dialogs;            // guarded by m_pMutex
    std::vector<NvHandle<NvSipNameAddress>> m_TriedTargets;  // guarded by m_pMutex
    NvHandle<NvSipOutgoingCallinterface> m_hInterface;
};
