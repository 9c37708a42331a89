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

#include <mutex>

class NvInputStream;
class NvOutputStream;
class NvSipDialog;
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
    // tag. Raises NvSipMlException "Local participant is not specified" for nil.
    explicit NvSipCall(NvHandle<NvSipNameAddress> localParticipant);
    ~NvSipCall() override;

    NvString getCallID() const;
    NvHandle<NvSipNameAddress> getLocalParticipant() const;
    const NvString& getLocalTag() const { return m_LocalTag; }
    // A copy of the process Contact taken at construction; nil when none was set.
    NvHandle<NvSipNameAddress> getLocalContact() const { return m_hLocalContact; }

    // Ends the call from our side (BYE, or CANCEL / 487 before the answer).
    virtual void hangup() = 0;
    // Answers the peer's pending re-INVITE with `response`.
    virtual void respondToReinvite(NvHandle<NvSipResponse> response) = 0;

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
    // made for the INVITE is not ended here.
    virtual void rejectReplaces();
    // Base part, run with m_pMutex held: makes the new dialog for `invite`
    // on `transaction` (NV_CALLED, in the manager's table) and sets the
    // call's local tag on the INVITE's To header.
    virtual void onReplacesInvite(NvHandle<NvSipDialog> replaced, NvHandle<NvSipInviteMessage> invite,
                                  NvHandle<NvSipServerTransaction> transaction);

    // ------------------------------------------------------------ events
    // Called by the call's dialogs (the dialog first), on the thread of the
    // event, with no dialog lock held.
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

    // ---- snapshot
    // Writes the call's own record: local participant (angle brackets
    // set), Call-ID and local tag as texts ended by the byte 0x0B (see
    // NvSipDialog's snapshot section). The derived calls write it first,
    // then their dialogs.
    virtual void serialize(NvOutputStream& out) const;

protected:
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
    struct Identity;
    explicit NvSipCall(const Identity& identity);

protected:
    // Set by the derived constructor (and by an accepted Replaces).
    void setCallID(const NvString& callId);
    // A copy of the process's local Contact (setLocalHostPort); nil when none was set.
    static NvHandle<NvSipNameAddress> sLocalContactCopy();

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
};
