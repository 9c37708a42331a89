#pragma once
// NvSipCall: what an incoming and an outgoing call share. It holds the
// identity every dialog of the call reads (local participant, local
// Contact, local tag, Call-ID), owns the call's mutex and declares the
// events through which the dialogs report: each event is called by a
// dialog, with that dialog first, after the dialog has released its own
// mutex; the derived call forwards it to the application.
//
// The process-wide local Contact is set once at start-up with
// setLocalHostPort and copied into every call constructed afterwards.
//
// The in-dialog operations both kinds of call offer (reinvite, ackReinvite,
// respondToReinvite, info, notify, refer) are written here once; each kind
// applies them its own way (applyToDialogs): an incoming call to its one
// dialog, an outgoing call to every dialog it has.
//
// A dialog knows its call only through this class: the events of the table
// below, and the dialog table the call was given (the call manager's,
// taken when the call is made). The events that only one kind of call
// hears (the answers to our INVITE, the ACK, PRACK and CANCEL of the peer's)
// are reached here too, so a dialog never needs to know which kind of call
// owns it: this class passes each to the kind that hears it.
//
// Virtual operations, in slot order after NvObject's (binary
// compatibility: an application's derived call and the library must agree
// on them): hangup, respondToReinvite, serialize, acceptReplaces,
// rejectReplaces, onReplacesInvite, the events every call hears from
// onInviteRequest to onSessionTimeOut, addDialog, removeDialog. Each kind
// of call then declares its own events (NvSipOutgoingCall: the answers to
// our INVITE; NvSipIncomingCall: PRACK, ACK, ACK of a rejection, CANCEL),
// then its applyToDialogs, then the UPDATE events (onUpdateRequest,
// onUpdateResponse; appended last, after the operations that were there
// before them). So the events of one kind, the UPDATE events and
// isOutgoing are not virtual here: they find the kind with a dynamic_cast.
//
// Ownership: counted. The application holds its calls, each dialog holds its
// call (m_hCall), and callbacks get a handle for their duration.
//
// Threads and locks: m_pMutex is a plain mutex (never taken twice by one
// thread); the derived classes hold it only to read or change their
// dialogs, and release it before calling into a dialog. The identity
// (m_CallID, m_hLocalParticipant), which accepting a Replaces changes, has
// a leaf lock of its own, so that a dialog may read it while the call's
// mutex is held on the same thread. The local tag and Contact never change.

#include "mlapi/NvSipMlApiAfx.h"
#include "stack/log/TellarAlloc.h"
#include "stack/net/NvSocketImpl.h"
#include "stack/sip/NvSipNameAddress.h"

#include <memory>
#include <mutex>

#include <functional>

class NvInputStream;
class NvOutputStream;
class NvSipDialog;
class NvSipDialogTable;
class NvSipServerTransaction;
class NvSipTransaction;

class NVSIPMLAPI_EXPORT NvSipCall : public NvObject, public Tellar::TaggedAllocation {
public:
    // The local Contact of calls constructed from now on: sip:[user@]host
    // [:port];transport=udp|tcp, the port left out when it is 5060. Call it
    // before calls exist (it takes no lock). Raises NvSipParseException
    // for a host that makes no SIP URL.
    static void setLocalHostPort(const char* host, unsigned int port, NvSocketImpl::Transport transport,
                                 const char* user = nullptr);

    // A call whose local party is `localParticipant`, with a fresh local
    // tag, whose dialogs list themselves in the call manager's table.
    // Raises NvSipMlException "Local participant is not specified" for nil.
    explicit NvSipCall(NvHandle<NvSipNameAddress> localParticipant);
    ~NvSipCall() override;

    NvString getCallID() const;
    NvHandle<NvSipNameAddress> getLocalParticipant() const;
    const NvString& getLocalTag() const { return m_LocalTag; }
    // A copy of the process Contact taken at construction; nil when none was set.
    NvHandle<NvSipNameAddress> getLocalContact() const { return m_hLocalContact; }
    // The table the call's dialogs list themselves in: the call manager's
    // when one existed as the call was made, else null.
    NvSipDialogTable* getDialogTable() const { return m_pDialogTable.get(); }
    // Whether we placed the call (an NvSipOutgoingCall).
    bool isOutgoing() const;

    // Ends the call from our side (BYE, or CANCEL / 487 before the answer).
    virtual void hangup() = 0;

    // ------------------------------------------------------------ in-dialog operations
    // Each applies the dialog's operation to the call's dialog (incoming) or
    // to each of its dialogs (outgoing; one that raises NvException does not
    // stop the others), see NvSipIncomingCall and NvSipOutgoingCall.
    //
    // Answers the peer's pending re-INVITE (nil: 200 without body); a dialog
    // without one does nothing.
    virtual void respondToReinvite(NvHandle<NvSipResponse> response);
    void respondToReinvite(unsigned int statusCode, const void* body, const char* contentType,
                           unsigned int bodyLength);
    // ---- snapshot
    // Writes the call's own record: local participant (angle brackets
    // set), Call-ID and local tag as texts ended by the byte 0x0B (see
    // NvSipDialog's snapshot section). The derived calls write it first,
    // then their dialogs.
    virtual void serialize(NvOutputStream& out) const;
    // Our re-INVITE with the body given and `contact` (nil: the call's local
    // Contact; raises NvSipMlException "No Contact header provided for
    // re-INVITE request" when there is none, sending nothing). Sent by a
    // confirmed dialog without a re-INVITE pending; its responses reach
    // reinviteResponse of the application's interface.
    void reinvite(const void* body, const char* contentType, unsigned int bodyLength,
                  NvHandle<NvSipContactHeader> contact);
    // ACKs the 2xx to our re-INVITE (nil: the dialog builds the ACK).
    void ackReinvite(NvHandle<NvSipAckMessage> ack);
    // INFO, NOTIFY and REFER in the dialog (nil: the dialog builds one
    // without body); the responses to NOTIFY and REFER reach notifyResponse
    // and referResponse of the interface, those to INFO are not reported.
    void info(NvHandle<NvSipInfoMessage> info);
    void notify(NvHandle<NvSipNotifyMessage> notify);
    void refer(NvHandle<NvSipReferMessage> refer);

    // ------------------------------------------------------------ Replaces
    // An INVITE with Replaces (RFC 3891) names one of this call's dialogs.
    // The derived call runs onReplacesInvite with the call's mutex held and
    // tells the application (replacesDialog), which answers the INVITE
    // through the call and settles it with acceptReplaces or rejectReplaces,
    // from another thread or after its callback returned (the mutex is not
    // recursive). Only one such INVITE is pending at a time: a second one
    // overwrites the first.
    //
    // Takes the pending INVITE's Call-ID and To participant as the call's
    // own and forgets the pending fields. The base part takes no lock: the
    // derived calls hold m_pMutex around it.
    virtual void acceptReplaces();
    // Forgets the pending INVITE; the call keeps its identity. The dialog
    // made for the INVITE, when the INVITE is still unanswered, is answered
    // 603 Decline (so that its ACK ends it and nothing stays listed: a
    // choice, the application may answer it itself before).
    virtual void rejectReplaces();
    // Base part, run with m_pMutex held: makes the new dialog for `invite`
    // on `transaction` (NV_CALLED, in the manager's table) and sets the
    // call's local tag on the INVITE's To header.
    virtual void onReplacesInvite(NvHandle<NvSipDialog> replaced, NvHandle<NvSipInviteMessage> invite,
                                  NvHandle<NvSipServerTransaction> transaction);

    // ------------------------------------------------------------ events
    // Called by the call's dialogs (the dialog first), on the thread of the
    // event, with no dialog lock held. onByeResponse: the response that
    // ended the dialog (to our BYE, or a 481 or 408 to another request of
    // ours in it, or the final failure of our INVITE for another branch
    // still early); onByeTimeOut: our BYE got no answer or could not be sent.
    virtual void onInviteRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipInviteMessage> invite) = 0;
    virtual void onReinviteResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) = 0;
    virtual void onReinviteRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipInviteMessage> invite) = 0;
    virtual void onReinviteAck(NvHandle<NvSipDialog> dialog, NvHandle<NvSipAckMessage> ack) = 0;
    virtual void onReinviteTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipInviteMessage> invite) = 0;
    virtual void onByeRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipByeMessage> bye) = 0;
    virtual void onByeResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) = 0;
    virtual void onByeTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipByeMessage> bye) = 0;
    virtual void onCancelReinviteRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipCancelMessage> cancel) = 0;
    virtual void onUnknownRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipServerTransaction> transaction,
                                  NvHandle<NvSipRequest> request) = 0;
    virtual void onUnknownResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response) = 0;
    virtual void onUnknownRequestTimeOut(NvHandle<NvSipDialog> dialog, NvHandle<NvSipTransaction> transaction) = 0;
    virtual void onTimeOut(NvHandle<NvSipDialog> dialog) = 0;
    virtual void onSessionRefreshTime(NvHandle<NvSipDialog> dialog) = 0;
    virtual void onSessionTimeOut(NvHandle<NvSipDialog> dialog) = 0;
    // The call's list of dialogs.
    virtual void addDialog(NvHandle<NvSipDialog> dialog) = 0;
    virtual void removeDialog(NvHandle<NvSipDialog> dialog) = 0;

    // ---- events one kind of call hears
    // Not virtual here: each kind declares its own as virtual operations
    // after the ones above, so that both keep their documented slot order.
    // These pass the event to the kind of call that hears it (nothing for
    // the other kind). Our INVITE's answers (an outgoing call):
    void onReliableProvisionalResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);
    void onProvisionalResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);
    void onSuccessfulResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);
    void onRedirectResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);
    void onFailureResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);
    void onMultipleFinalResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);
    // The final response to our PRACK (nil: its time-out).
    void onPrackResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);
    // The peer's PRACK, ACK and CANCEL of its INVITE (an incoming call).
    // onAckRequest: the ACK of our 2xx; onAckRequest2: the ACK of our
    // rejection, which ends the call.
    void onPrackRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipPrackMessage> prack);
    void onAckRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipAckMessage> ack, bool confirmed);
    void onAckRequest2(NvHandle<NvSipDialog> dialog, NvHandle<NvSipAckMessage> ack);
    void onCancelRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipCancelMessage> cancel);

    // ------------------------------------------------------------ UPDATE (RFC 3311)
    // Our UPDATE with the body given (none: a session refresh while the
    // session timer runs) on the call's dialog, or on each dialog of an
    // outgoing call, built by the dialog's createRequest (route set,
    // credentials, our Contact); its responses reach updateResponse of the
    // application's interface. What a dialog raises (an offer while an
    // offer/answer exchange is pending, a previous UPDATE pending, a dialog
    // ending: see NvSipDialog::update) reaches the application, for an
    // outgoing call too: the first dialog that refuses stops the walk.
    void update(const void* body, const char* contentType, unsigned int bodyLength);
    // Answers the peer's pending UPDATE (nil: 200 without body); a dialog
    // without one does nothing.
    void respondToUpdate(NvHandle<NvSipResponse> response);
    void respondToUpdate(unsigned int statusCode, const void* body, const char* contentType,
                         unsigned int bodyLength);
    // The dialog's UPDATE events, passed to the kind of call, which declares
    // them as virtual operations after its own events (slot order kept).
    void onUpdateRequest(NvHandle<NvSipDialog> dialog, NvHandle<NvSipUpdateMessage> update);
    void onUpdateResponse(NvHandle<NvSipDialog> dialog, NvHandle<NvSipResponse> response);


protected:
    using DialogOperation = std::function<void(const NvHandle<NvSipDialog>&)>;
    // How the in-dialog operations above reach this call's dialogs: through
    // the applyToDialogs of the kind of call (declared by each after its
    // events; nothing for a call of neither kind). `name` is the
    // operation's ("reinvite"); `announced` whether an outgoing call writes
    // "NvSipOutgoingCall::<name>()" to the debug stream first,
    // `errorsWritten` whether it writes a dialog's NvException there (an
    // incoming call always writes its line and lets exceptions pass).
    void applyToDialogs(const char* name, bool announced, bool errorsWritten, const DialogOperation& operation);
    // A Contact header over `contact`, else over the call's local Contact;
    // nil when there is neither.
    NvHandle<NvSipContactHeader> contactHeader(const NvHandle<NvSipContactHeader>& contact) const;

    // Reads that record from `in`; everything else starts empty, with a new
    // call mutex and no local Contact. Raises NvException on a truncated
    // stream or an empty local participant.
    explicit NvSipCall(NvInputStream& in);
    // Runs `read` (a derived stream constructor's reading of its dialogs)
    // holding a reference on this call, so that the handles its dialogs
    // take and drop cannot free it half-built. When `read` raises, each
    // dialog in `rebuilt` leaves the stack and the manager's table
    // (NvSipDialog::discardRebuilt) and the exception passes on.
    template <class Read, class Dialogs>
    void readDialogs(Read read, Dialogs& rebuilt);

private:
    // Empties the pending Replaces fields. m_pMutex held.
    void clearReplaces();
    struct Identity;
    explicit NvSipCall(const Identity& identity);

protected:
    // Forgets the pending Replaces INVITE when `made` is its dialog (that
    // dialog ended): the call no longer holds it. Takes m_pMutex.
    void forgetReplaces(const NvHandle<NvSipDialog>& made);
    // Set by the derived constructor (and by an accepted Replaces).
    void setCallID(const NvString& callId);
    // A copy of the process's local Contact (setLocalHostPort); nil when none was set.
    static NvHandle<NvSipNameAddress> sLocalContactCopy();
    // The call manager's table; null when there is no manager.
    static std::shared_ptr<NvSipDialogTable> sDefaultDialogTable();

    NvHandle<NvSipNameAddress> m_hLocalContact;
    NvHandle<NvSipNameAddress> m_hLocalParticipant;  // guarded by m_IdentityMutex
    const NvString m_LocalTag;
    NvString m_CallID;  // guarded by m_IdentityMutex
    NvString m_ReplacesCallID;                        // guarded by m_pMutex, as the three below
    NvHandle<NvSipDialog> m_hReplacesDialog;          // the dialog made for the pending INVITE
    NvHandle<NvSipNameAddress> m_hReplacesParticipant;  // its To: our identity once accepted
    NvHandle<NvSipDialog> m_hReplacedDialog;          // our dialog it replaces
    NvMutex* m_pMutex;
    mutable std::mutex m_IdentityMutex;
    const std::shared_ptr<NvSipDialogTable> m_pDialogTable;  // shared with the call manager
};
