#pragma once
// NvSipDialog: one SIP dialog created by an INVITE, the UAS side of an
// incoming call or the UAC side of an outgoing one (one dialog per
// answering branch when the INVITE forks). It owns the dialog's identity
// (Call-ID and local tag through its call, remote tag, dialog key), its
// CSeq numbers, route set and remote target, its state, and the parts that
// keep each extension's state with its logic.
//
// Where it sits: the stack's transactions report to small adapter objects
// (the forwarders at the end of the class, one type per kind of
// transaction), each holding a counted handle on its dialog and forwarding
// every event to one dialog operation. The dialog reports to its call
// through NvSipCall's virtual event operations only, and lists itself in
// the dialog table its call was given (NvSipDialogTable: the call
// manager's). It never knows which kind of call owns it.
//
// Its parts (mlapi/dialog/), each a member that runs under the dialog's
// mutex and tells the dialog what to do rather than calling up:
//   - NvSipSessionTimer: interval, refresh and expiry points and timers, and
//     the RFC 4028 negotiation;
//   - NvSipResponseRetransmitter: our 2xx or reliable 1xx kept and sent
//     again until its ACK or PRACK, RSeq numbering, PRACK matching;
//   - NvSipOutgoingReinvite: our pending re-INVITE and the wait after 491;
//   - NvSipIncomingReinvite: whether the peer's re-INVITE is taken or
//     refused, and the one taken;
//   - NvSipUnansweredRequests: the peer's requests handed to the call,
//     until they are answered (by the application, else by the library);
//   - NvSipDialogCredentials: the challenges our INVITE answered, for the
//     requests built later, and the credentials the next ACK carries;
//   - NvSipDialogRecord: the snapshot codec (serialize, constructor (5)).
// The state, the route set and remote target, the keys and the upcalls
// stay with the dialog itself.
//
// State: m_State holds exactly one of the NV_ constants; the groups of
// states the operations test are named once (sIsEarly ...), and the state
// table (sm_StateTable) is the data that changeState() checks every change
// against.
//
// Keys: the dialog table lists the dialog under "Call-ID,local tag,remote
// tag" (sBuildKey). An incoming dialog enters the table without its local
// tag and is re-keyed at once with it; the first key stays listed until
// the call removes it (NvSipIncomingCall::removeDialog), so that requests
// sent before the peer saw our tag still find the dialog.
//
// Requests we send (CreateRequest): the route set comes from Record-Route
// (the INVITE's in order on the UAS side, the 2xx's reversed on the UAC
// side). A first route entry with "lr" is a loose router; one without is a
// strict router (RFC 3261 12.2.1.1): it becomes the Request-URI and the
// remote target is appended as the last Route. Our INFO, NOTIFY or REFER
// that gets no response ends the dialog without a BYE; error responses to
// them only reach the call. The peer's requests are checked for order
// (takeRemoteCSeq) before any method's handling.
//
// Choices where a literal reading would break the RFCs (requests we send):
//   - the Request-URI is the remote target exactly as the peer's Contact
//     gave it (12.2.1.1): a PRACK gets no "transport" parameter of its own;
//   - a request built for a strict router is marked so
//     (NvSipRequest::setStrictRouted) and the stack sends it to its
//     Request-URI, that router (8.1.2), not to the top Route; a request sent
//     again with fresh Route headers (nextAttempt) is first taken back to
//     the remote target;
//   - a realm that challenged our INVITE or re-INVITE gets credentials in
//     every request built here afterwards (22.3; NvSipDialogCredentials),
//     and the ACK of a 2xx carries its INVITE's credentials (13.2.2.4) and
//     Max-Forwards (8.1.1.6), also one given by the application or by the
//     default reply of the call's interface, when it has none;
//   - a request is numbered and handed to its transaction in one step
//     under m_pMutex (info, notify, refer as the others), so one dialog's
//     requests go on the wire in CSeq order whatever the threads sending
//     them (the stack's send waits for no name server);
//   - any request of the peer below the last CSeq, or equal to it with
//     another method, gets 500 (12.2.2), not only a re-INVITE.
//
// Ownership: every NvHandle field is counted. The dialog holds its call;
// the call holds the dialog (or dialogs); the dialog table holds one more
// handle; each adapter holds one and each transaction its adapter.
// terminating() takes the dialog out of the table and drops its
// transactions; the object dies with its last handle.
//
// Threads and locks: transaction events arrive on the stack's threads,
// application requests on the application's. m_pMutex (recursive) guards
// every field and part below it; the constructors and destructor run
// alone. A request the dialog builds is numbered and handed to its
// transaction under m_pMutex in one step. Order: the dialog mutex may be held while the table's mutex or the
// call's mutex is taken, never the reverse. The call is told about an
// event only after m_pMutex has been released, through a handle copied
// under it.

#include "mlapi/NvSipMlApiAfx.h"
#include "mlapi/dialog/NvSipDialogCredentials.h"
#include "mlapi/dialog/NvSipIncomingReinvite.h"
#include "mlapi/dialog/NvSipOutgoingReinvite.h"
#include "mlapi/dialog/NvSipResponseRetransmitter.h"
#include "mlapi/dialog/NvSipSessionTimer.h"
#include "mlapi/dialog/NvSipUnansweredRequests.h"
#include "stack/log/TellarAlloc.h"
#include "stack/log/TellarLogger.h"
#include "stack/timer/NvScheduler.h"
#include "stack/transaction/NvSipClientTransaction.h"
#include "stack/transaction/NvSipServerTransaction.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

class NvSipCall;
class NvSipCallManager;
class NvSipDialogTable;
class NvSipIncomingCall;
class NvSipOutgoingCall;

class NVSIPMLAPI_EXPORT NvSipDialog : public NvObserver,
                                      public Tellar::ObjectWithLogger<Tellar::CachedLLLogger>,
                                      public Tellar::TaggedAllocation {
public:
    // ------------------------------------------------------------ states
    // One bit each, ordered so that every re-INVITE state lies strictly
    // between NV_ACTIVE and NV_TERMINATING.
    enum : int32_t {
        NV_INITIAL = 0x0001,              // created, nothing exchanged
        NV_CALLING = 0x0002,              // UAC: our INVITE is ready or under way
        NV_CALLED = 0x0004,               // UAS: the INVITE was received
        NV_PROCEEDING = 0x0008,           // a provisional response received (UAC) or sent (UAS)
        NV_PROCEEDED = 0x0010,            // a reliable one received or sent; its PRACK pending
        NV_PROCESSING = 0x0020,           // a 2xx received (UAC) or sent (UAS); its ACK pending
        NV_ACTIVE = 0x0040,               // confirmed
        NV_REINVITING = 0x0080,           // our re-INVITE pending
        NV_REINVITED = 0x0100,            // the peer's re-INVITE pending
        NV_REINVITE_PROCEEDING = 0x0200,  // a provisional response on a re-INVITE
        NV_REINVITE_PROCEEDED = 0x0400,   // a reliable one on a re-INVITE
        NV_REINVITE_PROCESSING = 0x0800,  // a 2xx on a re-INVITE; its ACK pending
        NV_REINVITE_FAILED = 0x1000,      // another final response on a re-INVITE
        NV_TERMINATING = 0x2000,          // BYE exchange under way
        NV_TERMINATING2 = 0x4000,         // ended before it was confirmed (CANCEL, rejection)
        NV_TERMINATED = 0x8000,           // terminating() ran: out of the dialog table
    };

    // Groups of states, named once. "Early": before the INVITE's 2xx (on
    // either side); "confirmed": NV_ACTIVE and every re-INVITE state;
    // "ending": a BYE or the end of an unconfirmed dialog under way, or over.
    static constexpr int32_t sm_EarlyStates = NV_CALLING | NV_CALLED | NV_PROCEEDING | NV_PROCEEDED;
    static constexpr int32_t sm_OurReinviteStates = NV_REINVITING | NV_REINVITE_PROCEEDING | NV_REINVITE_PROCEEDED;
    static constexpr int32_t sm_TheirReinviteStates = NV_REINVITED | NV_REINVITE_PROCEEDING | NV_REINVITE_PROCEEDED;
    static constexpr int32_t sm_ReinviteStates =
        sm_OurReinviteStates | sm_TheirReinviteStates | NV_REINVITE_PROCESSING | NV_REINVITE_FAILED;
    static constexpr int32_t sm_ConfirmedStates = NV_ACTIVE | sm_ReinviteStates;
    static constexpr int32_t sm_EndingStates = NV_TERMINATING | NV_TERMINATING2 | NV_TERMINATED;
    static constexpr int32_t sm_AnyState = 0xFFFF;
    static constexpr bool sIsEarly(int32_t state) { return state & sm_EarlyStates; }
    static constexpr bool sIsConfirmed(int32_t state) { return state & sm_ConfirmedStates; }
    static constexpr bool sIsEnding(int32_t state) { return state & sm_EndingStates; }
    // A re-INVITE, ours or the peer's, from its sending to its ACK.
    static constexpr bool sIsReinviting(int32_t state) { return state & sm_ReinviteStates; }
    // Ours, or the peer's, awaits its final response.
    static constexpr bool sIsOurReinvitePending(int32_t state) { return state & sm_OurReinviteStates; }
    static constexpr bool sIsTheirReinvitePending(int32_t state) { return state & sm_TheirReinviteStates; }

    // The state table: every change of m_State goes through changeState(),
    // which looks the change up here (a row whose `from` holds the current
    // state and whose `to` is the next one). A change no row allows is a
    // defect: it asserts in a debug build and is logged at ERROR (and made)
    // in a release build. Staying in a state is no change. Constructors set
    // the first state without a row (NV_INITIAL, NV_CALLING for our INVITE,
    // NV_CALLED for a Replaces INVITE, the state read from a snapshot,
    // NV_PROCESSING for the copy another fork's 2xx makes).
    struct Transition {
        int32_t from;       // mask of the states the row leaves
        int32_t to;
        const char* event;  // what happened
        const char* told;   // what the call hears, after the dialog's mutex is released
    };
    static constexpr Transition sm_StateTable[] = {
        {NV_INITIAL, NV_CALLED, "INVITE received", "onInviteRequest"},
        {NV_INITIAL, NV_TERMINATING2, "INVITE refused with 422 (Session-Expires too small)", "-"},
        {NV_CALLING | NV_PROCEEDING, NV_PROCEEDING, "1xx received on our INVITE", "onProvisionalResponse"},
        {NV_CALLING | NV_PROCEEDING, NV_PROCEEDED, "reliable 1xx received on our INVITE",
         "onReliableProvisionalResponse"},
        {NV_PROCEEDED, NV_PROCEEDING, "our PRACK sent / the peer's PRACK received", "- / onPrackRequest"},
        {NV_CALLED | NV_PROCEEDED, NV_PROCEEDING, "1xx sent", "-"},
        {NV_CALLED | NV_PROCEEDING, NV_PROCEEDED, "reliable 1xx sent", "-"},
        {sm_EarlyStates, NV_PROCESSING, "2xx received (our INVITE) or sent (the peer's)", "onSuccessfulResponse / -"},
        {sm_EarlyStates, NV_TERMINATING2, "failure sent, CANCEL received, hang-up before the answer",
         "onCancelRequest (CANCEL)"},
        {NV_PROCESSING, NV_ACTIVE, "ACK of the INVITE's 2xx sent or received",
         "- / onAckRequest (not told when a hang-up waited for it)"},
        {NV_ACTIVE, NV_REINVITING, "our re-INVITE sent", "-"},
        {NV_REINVITING, NV_ACTIVE, "our re-INVITE could not be sent", "-"},
        {NV_ACTIVE, NV_REINVITED, "the peer's re-INVITE taken", "onReinviteRequest"},
        {sm_OurReinviteStates, NV_REINVITING, "our re-INVITE sent again (credentials, 422)", "-"},
        {sm_OurReinviteStates, NV_REINVITE_PROCEEDING, "1xx received on our re-INVITE", "onReinviteResponse"},
        {sm_OurReinviteStates, NV_REINVITE_PROCEEDED, "reliable 1xx received on our re-INVITE", "onReinviteResponse"},
        {NV_REINVITE_PROCEEDED, NV_REINVITE_PROCEEDING, "our PRACK sent on our re-INVITE", "-"},
        {sm_TheirReinviteStates, NV_REINVITE_PROCEEDED, "reliable 1xx sent on the peer's re-INVITE", "-"},
        {NV_REINVITE_PROCEEDED, NV_REINVITED, "the peer's PRACK received on its re-INVITE", "onPrackRequest"},
        {sm_OurReinviteStates | sm_TheirReinviteStates, NV_REINVITE_PROCESSING, "2xx received or sent on a re-INVITE",
         "onReinviteResponse / -"},
        {sm_OurReinviteStates | sm_TheirReinviteStates, NV_REINVITE_FAILED,
         "other final response received or sent on a re-INVITE", "onReinviteResponse / -"},
        {NV_REINVITE_PROCESSING | NV_REINVITE_FAILED, NV_ACTIVE,
         "ACK sent or received, our re-INVITE's failure reported, or the ACK of our failure never came",
         "- / onReinviteAck"},
        {sm_TheirReinviteStates, NV_ACTIVE, "the peer's re-INVITE cancelled", "onCancelReinviteRequest"},
        {sm_EarlyStates | NV_PROCESSING | sm_ConfirmedStates | NV_TERMINATING2, NV_TERMINATING,
         "BYE sent (hang-up, no ACK of our 2xx to a re-INVITE, 2xx after hanging up) or received",
         "- / onByeRequest"},
        {sm_AnyState, NV_TERMINATED, "terminating(): out of the dialog table", "-"},
    };
    // Whether the table allows `from` -> `to`.
    static constexpr bool sIsAllowed(int32_t from, int32_t to) {
        if (from == to) return true;
        for (const Transition& row : sm_StateTable)
            if ((row.from & from) && row.to == to) return true;
        return false;
    }
    // The constant's name, "NV_ACTIVE"; "(no single state)" for a value
    // that is none.
    static const char* sStateName(int32_t state);

    // Session timer settings: whether dialogs offer and run it, and the
    // smallest Session-Expires accepted, in seconds.
    static bool sm_bSupportTimer;
    static unsigned int sm_MinSessionTime;

    // ------------------------------------------------------------ call log
    // The log of one call's SIP messages. Once the application's logger is
    // attached, a line is formatted only when that logger keeps its level.
    // Before, a line is kept (formatted as it was at the time) only when
    // the logger "lumbrook.nv.NvSipDialog.CallMessages" is enabled for its
    // level: configure it at INFO to keep every message until the
    // application's logger arrives; by default (WARN) nothing is formatted
    // or copied. Kept lines are written in order, each filtered at its own
    // level, when the logger arrives; without a logger they are dropped with
    // the dialog. At most sm_MaxPendingBytes of text are kept: the oldest
    // lines go first, and the replay starts with a line saying how many.
    // Threads: any. m_pMutex guards the buffering state; once a logger is
    // attached (m_bLoggerSet, never reset) writes take no lock.
    class CallMessageLogger {
    public:
        CallMessageLogger();
        ~CallMessageLogger();
        CallMessageLogger(const CallMessageLogger&) = delete;
        CallMessageLogger& operator=(const CallMessageLogger&) = delete;

        // Takes ownership of `logger`. The first logger stays: a later one is
        // deleted at once; nullptr is ignored.
        void setLogger(Tellar::Logger* logger);
        void log(Tellar::LogLevel level, const char* text);
        void logSipMessage(const NvHandle<NvSipMessage>& message, bool incoming, unsigned* port,
                           NvInetAddress* address, Tellar::LogLevel level);
        // Whether a line at `level` would be kept (buffered, or written by
        // the logger): lets a caller skip composing it.
        bool wouldLog(Tellar::LogLevel level) const;

        static constexpr size_t sm_MaxPendingBytes = 32 * 1024;

    private:
        // Runs `write` on the logger if attached, else buffers what `format`
        // gives when the buffer's gate keeps `level`; under m_pMutex unless
        // attached.
        template <class Write, class Format>
        void writeOrBuffer(Tellar::LogLevel level, Write write, Format format);
        // Appends a line, dropping the oldest beyond sm_MaxPendingBytes. m_pMutex held.
        void keep(Tellar::LogLevel level, NvString text);

        Tellar::Logger* m_pLogger = nullptr;
        NvRecursiveMutex* m_pMutex;
        std::atomic<bool> m_bLoggerSet{false};
        uint32_t m_DroppedLines = 0;   // oldest lines dropped for room
        size_t m_PendingBytes = 0;     // text kept in m_PendingLines
        std::vector<std::pair<Tellar::LogLevel, NvString>> m_PendingLines;
    };

    // ------------------------------------------------------------ life
    // (1) Our INVITE (UAC): NV_CALLING, keyed without a remote tag, listed in
    // the dialog table and the call's list of dialogs, with the INVITE's
    // client transaction ready (sendInitialRequest sends it). Adds
    // "Supported: timer" when the session timer is on. Raises NvException
    // "Session time too small" (nothing registered) for a Session-Expires
    // below sm_MinSessionTime. Defined beside NvSipOutgoingCall.
    NvSipDialog(NvSipOutgoingCall* call, NvHandle<NvSipInviteMessage> invite);
    // (2) The peer's INVITE (UAS): takes the remote tag and route set from
    // the INVITE, creates the INVITE server transaction and enters the
    // dialog table (first without, then with the call's local tag). Defined
    // beside NvSipIncomingCall.
    NvSipDialog(NvSipIncomingCall* call, NvHandle<NvSipInviteMessage> invite);
    // (3) Another fork's 2xx: a copy sharing the source's INVITE transaction,
    // identity, state and session times, with no key, route set, kept
    // messages or other transactions; registered nowhere (its creator keys
    // and lists it). Reads `other` unlocked: the caller holds its mutex.
    NvSipDialog(const NvSipDialog& other);
    // (4) An INVITE with Replaces, arriving on `transaction` (bound to the
    // dialog it replaces): the new dialog starts in NV_CALLED and takes the
    // transaction over.
    NvSipDialog(NvSipCall* call, NvHandle<NvSipInviteMessage> invite, NvHandle<NvSipServerTransaction> transaction);
    // (5) A dialog of `call`, whose own record was read from `in` just
    // before (see NvSipDialogRecord for the record): its transactions with
    // new adapters on this dialog, its key from the call's Call-ID and local
    // tag and the remote tag read; then it enters the dialog table, unless
    // it was read in NV_TERMINATED (that state means out of the table).
    // Stale parts are dropped and leave the stack. A truncated or corrupt
    // record raises NvException with the reason, nothing of the dialog left
    // listed anywhere. Runs before the dialog is shared; takes no lock.
    NvSipDialog(NvSipCall* call, NvInputStream& in);
    ~NvSipDialog() override;
    NvSipDialog& operator=(const NvSipDialog&) = delete;

    // Ends the dialog's life in the table: NV_TERMINATED, transactions and
    // kept messages dropped, session timers cancelled, out of the table under
    // its current key. The call, key, route set and remote participant stay
    // readable. The caller holds m_pMutex where it holds it anyway; harmless
    // when repeated.
    void terminating();

    // ------------------------------------------------------------ identity
    static NvString sBuildKey(const char* callId, const char* localTag, const char* remoteTag);
    // The dialog's own Call-ID (see m_CallID); the call's may have moved on.
    NvString getCallID() const;
    NvHandle<NvSipNameAddress> getLocalParticipant() const;
    NvHandle<NvSipNameAddress> getRemoteParticipant() const;
    NvString getRemoteTag() const;
    NvString getKey() const;
    void setKey(const NvString& key);
    // Moves the dialog in the table from its current key to `newKey` (the
    // old key argument is not used).
    void updateDialogKey(const NvString& oldKey, const NvString& newKey);
    int32_t getState() const;
    // The session interval (seconds) of the session timer; 0 when none was negotiated.
    uint32_t getSessionInterval() const;
    NvHandle<NvSipCall> getCall() const;
    NvHandle<NvSipTransaction> getInitialTransaction() const;

    // ------------------------------------------------------------ call log and sending
    // Writes `message` to the call's message log (received when `incoming`,
    // else about to leave for `address`:`port`).
    void logCallMessage(const NvHandle<NvSipMessage>& message, bool incoming, unsigned* port, NvInetAddress* address,
                        Tellar::LogLevel level) const;
    // Attaches the call's own message log (see CallMessageLogger).
    void setCallLogger(Tellar::Logger* logger) { m_CallMessageLogger.setLogger(logger); }
    // Send through `transaction` (nothing for nil). The message is logged by
    // the transaction's adapter as it leaves; `level` is not used. A
    // response goes out with m_bOnTimeoutSendFinalResponse set on the
    // transaction.
    void sendAndLogRequest(const NvHandle<NvSipClientTransaction>& transaction, Tellar::LogLevel level);
    void sendAndLogResponse(const NvHandle<NvSipServerTransaction>& transaction, unsigned int statusCode,
                            Tellar::LogLevel level);
    void sendAndLogResponse(const NvHandle<NvSipServerTransaction>& transaction,
                            const NvHandle<NvSipResponse>& response, Tellar::LogLevel level);

    // ------------------------------------------------------------ requests we send
    // Builds an in-dialog request of `method` (ACK, CANCEL, PRACK, BYE,
    // re-INVITE, INFO, ...; a method without a class of its own gives an
    // NvSipUnknownRequest): Request-URI = the remote target (the remote
    // participant's URI, with a warning, while none is known), From and To
    // with the dialog's tags, the call's Call-ID, CSeq, Contact (`contact`,
    // else our INVITE's, else the call's default), the body (none: a
    // Content-Length of 0), RAck for a PRACK, Max-Forwards, then the route
    // set. CSeq: an ACK takes the number of the response it acknowledges, a
    // CANCEL the number of the request it cancels; any other method takes
    // m_LocalCSeq + 1 (so the first request of a UAS dialog is the peer's
    // INVITE CSeq + 1). Nil (after an assertion report) for an ACK without
    // a response, a CANCEL without an INVITE or re-INVITE, or a Max-Forwards
    // setting of 0. Raises NvException "Can not send Prack message without
    // RSeq header". Nothing is sent. No lock: the caller holds m_pMutex.
    // A realm that challenged our INVITE or re-INVITE gets credentials in it
    // (not in an ACK, which createSendAckMsg gives its INVITE's, nor in a
    // CANCEL), after the route set, as they cover the Request-URI.
    NvHandle<NvSipRequest> CreateRequest(const NvString& method, const char* contentType, const void* body,
                                         unsigned int bodyLength, const NvHandle<NvSipContactHeader>& contact);
    // The same under m_pMutex, for callers outside the dialog.
    NvHandle<NvSipRequest> createRequest(const NvString& method, const char* contentType, const void* body,
                                         unsigned int bodyLength, const NvHandle<NvSipContactHeader>& contact);
    // The route set from the Record-Route headers of the peer's INVITE (UAS,
    // in order) or of the 2xx to ours (UAC, reversed). Called with m_pMutex
    // held or while constructing.
    void setRouteInfo(const NvHandle<NvSipMessage>& message);
    // Adds the route set to `request` as Route headers, unless the route set
    // is empty or the request already has a Route (the caller's win). Loose
    // routing when the first entry has "lr"; otherwise that entry is a strict
    // router and the request is built as RFC 3261 12.2.1.1 says: it becomes
    // the Request-URI, and the Route headers are the rest of the route set
    // followed by the remote target (the Request-URI the request had); the
    // request is marked strict-routed, so that the stack sends it to that
    // router even when a loose one follows (8.1.2).
    void addRouteInfoToRequest(const NvHandle<NvSipRequest>& request) const;
    // The remote target from the Contact of `message`; kept when there is no
    // Contact with a SIP URL. A "transport" parameter that the peer put on
    // the Contact header instead of its URL is moved into the URL (logged
    // on the UA interop logger's "TransportSetAsContactHeaderParam").
    void setRemoteTargetURI(const NvHandle<NvSipMessage>& message);
    // The remote target from an INVITE received (here or a re-INVITE), and
    // from a response to our INVITE or re-INVITE (responses to other
    // methods never change it).
    void updateRemoteTargetURI(const NvHandle<NvSipInviteMessage>& invite);
    void updateRemoteTargetURI(const NvHandle<NvSipResponse>& response);

    // ------------------------------------------------------------ the peer's requests: their order
    // Whether `request`, of the peer in this dialog, is in order (RFC 3261
    // 12.2.2), checked by the call manager before any method's handling:
    // its CSeq must be above the last of the peer's requests, or equal to
    // it with the same method (a retransmission under a new branch: an
    // INVITE's answer is sent again, inviteRequest). A request in order with
    // a higher number makes it the last. ACK and CANCEL carry the number of
    // the request they belong to and are always in order. The last starts
    // as the peer's INVITE (m_RemoteCSeq) on a dialog of the peer, with
    // the first request of the peer on one of ours. Takes m_pMutex.
    bool takeRemoteCSeq(const NvHandle<NvSipRequest>& request);

    // ------------------------------------------------------------ our INVITE (UAC)
    // The dialog is listed under "Call-ID,local tag," until a response
    // brings a To tag, and that first key stays listed, so that the manager
    // can hand it other forks' 2xx; each of those makes a copy of the
    // dialog for its branch. The application sends PRACK and ACK itself
    // (through the call); a challenge the authentication policy answers, or
    // a 422 with Min-SE, ends the dialog and sends the INVITE again on a new
    // one.
    //
    // Choices where a literal reading would break the RFCs: a 1xx carrying
    // the dialog's remote tag sets the early dialog's remote target and
    // route set (RFC 3261 12.1.2), so our PRACK goes to the peer's Contact;
    // the copy for another fork takes its own 2xx's Contact as remote target
    // (same section); the INVITE sent again with credentials keeps the
    // challenged one's headers as they are (no second Session-Expires), the
    // one sent again after a 422 carries the Min-SE it was given (RFC 4028
    // 7.4); a non-2xx received after a hang-up before the answer ends the
    // dialog (terminating) before the call hears of it; a retry whose
    // sending raises is reported as the failure it answered, so that the
    // call does not hang. A new remote tag lists the dialog itself under its
    // new key (not what is listed under the old one, which may be another
    // INVITE of the call); a CANCEL is built only when something is pending.
    //
    // Forks (RFC 3261 12.1.2, 13.2.2.4; RFC 3262; RFC 5407 3.1.2): one dialog
    // per To tag. The dialog holding the INVITE's client transaction (the
    // call's first dialog, or a retry's) is its dispatcher: it receives every
    // response of the INVITE and hands each, by its To tag, to the dialog of
    // that branch (branchFor): itself for its own tag (or the first tag above
    // 100 while it has none, or no tag), a branch listed in the table under
    // "Call-ID,local tag,To tag", or a new copy made for the branch, listed in
    // the table and the call before it handles the response itself. So each
    // branch has its own remote tag, remote target, route set and reliable
    // provisional responses, and the application's provisionalResponse,
    // reliableProvisionalResponse, succeeded and multipleResponse name the
    // branch's dialog. Mutexes: the dispatcher's is held while it builds a
    // copy (which nobody sees yet) and released before the branch handles
    // the response; no two are held otherwise.
    //   - The first 2xx on the INVITE's transaction ends the other branches
    //     still early (or hung up) silently, before the answering branch is
    //     handled and the call hears succeeded: the INVITE has ended for them
    //     (they leave the table and the call, unreported).
    //   - A 2xx after that, from another branch or from one whose dialog has
    //     ended, makes a copy in NV_PROCESSING keeping the 2xx, and the call
    //     hears onMultipleFinalResponse (13.2.2.4: every 2xx is ACKed; the
    //     call ACKs and hangs it up unless the application ACKed it). A
    //     retransmitted 2xx of a dialog already ACKed gets the same ACK again.
    //   - A final non-2xx (3xx-6xx) ends the INVITE: the dispatcher handles it
    //     whatever its tag (no dialog of its own, RFC 3261 12.1), is
    //     reported first, then every branch still early or hung up ends and
    //     the call hears onByeResponse for it with that response (the
    //     application: dialogTerminated; the call's terminated comes once,
    //     with its last dialog). The INVITE's time-out ends them the same
    //     way, the call hearing onTimeOut for each. Both also reach the
    //     branches when the dispatcher's own early dialog ended before the
    //     INVITE did (a 408 or 481 to a request in it, see endNow).
    //   - After a hang-up before the answer every branch is NV_TERMINATING2
    //     (one CANCEL for the INVITE: the transaction ignores a second) and
    //     so is a copy made for a later 2xx: any 2xx, also from a branch that
    //     sent no tagged provisional response, is ACKed with its own To tag
    //     at its own Contact, with the route set of its own Record-Route, then
    //     hung up with a BYE (RFC 3261 15, RFC 5407 3.1.2), unreported.
    //   - Once the call has no dialog left, a 2xx that its INVITE still gets
    //     is ACKed and hung up the same way by the call manager, for 64*T1
    //     (NvSipLateAnswers).
    // PRACK (RFC 3262), per branch: reliable provisional responses are kept
    // in RSeq order until their PRACK (after the first, one whose RSeq is not
    // the next is dropped unreported, RFC 3262 4), each prack acknowledging the oldest
    // (the PRACK goes to the branch's remote target, with its tag and route
    // set); the dialog stays NV_PROCEEDED while one is unacknowledged, and
    // provisional responses arriving meanwhile still reach the call (a
    // reliable one is told as it arrives). The responses to our PRACK and
    // its time-out reach the call (onPrackResponse; nil for the time-out);
    // they end nothing.
    //
    // Sends the INVITE; false (nothing sent) when the dialog has no INVITE or
    // the INVITE no Contact. When sending raises, the transaction and the
    // dialog are taken out of the stack, the table and the call, and the
    // exception passes on. Takes no lock.
    bool sendInitialRequest();
    // A 1xx to our INVITE (nil transaction: routed by the manager), handed to
    // its branch. Taken in the early states (dropped once the branch has its
    // final response or was hung up); the first To tag above 100 becomes
    // the remote tag.
    void onProvisionalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    void onReliableProvisionalResponse(NvHandle<NvSipClientTransaction> transaction,
                                       NvHandle<NvSipResponse> response);
    // Acknowledges the oldest unacknowledged reliable 1xx of the INVITE, or
    // the last of the re-INVITE (nil: built here, with RAck; one built with
    // createRequest beforehand acknowledges the same response and may carry
    // an SDP answer). Raises NvException "Wrong state to send PRACK !" when
    // none is pending. Application thread; the call is not told.
    void prack(NvHandle<NvSipPrackMessage> prack);
    // The final response to our PRACK, and its time-out: the call hears
    // onPrackResponse (nil response for the time-out).
    void onPrackFinalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    void onPrackTimeOut(NvHandle<NvSipTransaction> transaction);
    // Cancels our pending INVITE or re-INVITE (nil: built here); nothing in
    // other states. The 487 arrives as a final response.
    void cancel(NvHandle<NvSipCancelMessage> cancel);
    // A final response on our INVITE's transaction (nil transaction: a 2xx of
    // another fork, routed by the manager under our key without remote tag),
    // handed to its branch. Early dialog: 2xx -> NV_PROCESSING, told
    // onSuccessfulResponse (the application ACKs); 3xx ->
    // onRedirectResponse; 4xx-6xx -> onFailureResponse; a challenge the
    // authentication policy answers, or a 422 with a usable Min-SE, ends this
    // dialog and sends the INVITE again on a new one. Hung up before the
    // answer (NV_TERMINATING2): a non-2xx ends it (onFailureResponse), a 2xx
    // is acknowledged and a BYE sent, silently. A later 2xx: see "forks".
    void onFinalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    // A final response no transaction took, routed by the manager under this
    // dialog's key: a 2xx as above without transaction. With its
    // transaction over, a response may answer an earlier attempt of this
    // INVITE (one a 422 or a challenge made us send again), which must
    // neither retry, end nor answer the attempt in progress: a failure is
    // dropped (RFC 3261 17.1.3); a 2xx to another CSeq while this dialog is
    // early, whatever its tag, is ACKed and hung up (13.2.2.4), as one to
    // an ended call.
    void onFinalResponse(NvHandle<NvSipResponse> response);
    // The application's ACK of the 2xx kept in NV_PROCESSING (nil: built
    // here); NV_ACTIVE. In any other state an assertion is reported and
    // nothing is sent.
    void ack(NvHandle<NvSipAckMessage> ack);
    // The same for a given 2xx (a fork's, on a dialog copy); the dialog takes
    // the response's To tag.
    void ack(const NvHandle<NvSipResponse>& response);
    // Sends `ack` (nil: the ACK of `response`, built here; a 2xx's gets a new
    // Via and branch, another status's the INVITE's branch) statelessly and
    // keeps it in m_hAck. Whoever built it, an ACK without Max-Forwards gets
    // one, and the ACK of a 2xx without credentials those of its INVITE
    // (RFC 3261 13.2.2.4). False when no Via could be added. m_pMutex held.
    bool createSendAckMsg(const NvHandle<NvSipResponse>& response, NvHandle<NvSipAckMessage> ack = nullptr);
    // The INVITE's transaction timed out (either side): the call ends.
    void onTimeOut(NvHandle<NvSipTransaction> transaction);

    // ------------------------------------------------------------ offer and answer in the ACK and PRACK
    // Delayed offer (RFC 3261 13.2.1, 13.3.1; RFC 3264): our INVITE without
    // a body gets the offer in the 2xx (the application reads it in
    // succeeded) and our answer goes in the ACK: the application's ACK of
    // the 2xx kept in NV_PROCESSING, built here (CreateRequest) with `body`
    // of `contentType`; NV_ACTIVE. Whatever builds an ACK of a 2xx (this
    // form, the application from the response or with createRequest, the
    // default reply of the call's interface), createSendAckMsg sends it to
    // the remote target through the route set with the INVITE's
    // credentials. In another state an assertion is reported and nothing is
    // sent. Application thread; the call is not told.
    void ack(const void* body, const char* contentType, unsigned int bodyLength);
    // The peer's side (RFC 3262 3, 5): a PRACK that acknowledges our last
    // reliable provisional response gets 200 even when our 2xx crossed it
    // (the PRACK is matched apart from the retransmission); one that
    // acknowledges nothing, or comes once the dialog ends, gets 481. The call
    // is told (onPrackRequest, the application's prack with the PRACK and
    // its body: an offer, or the answer to the offer of our reliable 1xx)
    // before the PRACK is answered: during that callback the application may
    // answer it itself with respondToPrack (its answer to an offer in the
    // PRACK goes in that 200, RFC 3262 5); when it does not, the PRACK gets
    // 200 without body as the callback returns (or raises). Then a 2xx held
    // for this PRACK goes (sendResponse).
    //
    // Choices where a literal reading would break the RFCs: a PRACK is
    // accepted in any state but the ending ones when it names our last
    // unacknowledged reliable 1xx (RFC 3262 3: the UAS must be prepared for
    // it after its 2xx), not only in NV_PROCEEDED; it is answered after the
    // call heard of it, not before, so that an offer in it is answered in
    // its 200 (RFC 3262 5); a 2xx is held for that PRACK when the 1xx
    // carried a body (sendResponse); the ACK of a 2xx goes through the
    // route set to the remote target whoever built it, not to the
    // Request-URI the application's ACK carries (RFC 3261 13.2.2.4, 12.2.1.1).
    //
    // Raises NvSipMlException "No PRACK awaiting an answer" outside that
    // callback (or when the PRACK was answered already). Any thread during
    // the callback; takes m_pMutex.
    void respondToPrack(unsigned int statusCode, const void* body, const char* contentType,
                        unsigned int bodyLength);

    // ------------------------------------------------------------ the peer's INVITE (UAS)
    // Answers to the INVITE that created an incoming dialog, on the
    // application's thread (through NvSipIncomingCall) or the stack's.
    //
    // A 2xx gets our Contact (the call's) when it has none and the session
    // timer headers (modifyResponse); it is sent again at T1, 2*T1, 4*T1...
    // (at most T2 apart) until the ACK, and the call ends without it after
    // 64*T1 (onTimeOut of the call). A reliable provisional response
    // (RFC 3262) is numbered with RSeq and sent again at T1, 2*T1, 4*T1...
    // until its PRACK; without one after 64*T1 the INVITE is answered 504.
    // A response in a state that allows none is dropped, except the 408 of
    // the time-out path (m_bOnTimeoutSendFinalResponse).
    //
    // Choices where a literal reading would break the RFCs: the time-out of
    // the INVITE transaction also ends a call still in NV_CALLED (else it
    // would stay listed for ever); retransmissions stop after 64*T1 (RFC 3261
    // 13.3.1.4, RFC 3262 3) rather than after a count, with each interval
    // capped at T2 for a 2xx; a PRACK that acknowledges nothing gets 481
    // (RFC 3262 3); an RSeq given by the application above the last one
    // becomes the last one, so that later numbers keep rising; a Session-
    // Expires of the application above the INVITE's is refused whenever the
    // INVITE had one (RFC 4028 9). A session timer that the 2xx does not
    // start is stopped (interval 0, both timers cancelled). When
    // modifyResponse raises, the state is left as it was and nothing is sent.
    // To an INVITE with Require: 100rel a provisional response above 100
    // goes reliably (sendReliableProvisionalResponse), whatever was asked
    // (RFC 3262 3). A 2xx carries Allow and Supported (NvSipCapabilities).
    // A 2xx given while our last reliable provisional response carried a
    // body (an offer or answer) and its PRACK has not come is held, and sent
    // as that PRACK is answered (RFC 3262 3: the offer/answer exchange of
    // the early dialog ends before the INVITE's); so is a 2xx given while
    // the call is being told of a PRACK (from inside the application's
    // prack), so that the PRACK's 200 goes first; a later 2xx replaces the
    // held one, a rejection (the 504 of a PRACK that never comes, the 487 of
    // a CANCEL) drops it. The 2xx is checked (modifyResponse) when it leaves.
    //
    // Nil response: 200 without body. Raises NvException "RSeq Num is out
    // of order", "Session time too small", "Server can't increase session time".
    void sendResponse(NvHandle<NvSipResponse> response);
    void sendResponse(unsigned int statusCode, const void* body, const char* contentType, unsigned int bodyLength);
    // A reliable provisional response to the INVITE, or to the peer's
    // pending re-INVITE; nothing once the INVITE (or re-INVITE) has its
    // final answer.
    void sendReliableProvisionalResponse(NvHandle<NvSipResponse> response);
    void sendReliableProvisionalResponse(unsigned int statusCode, const void* body, const char* contentType,
                                         unsigned int bodyLength);
    // The events of the INVITE's transaction (InviteServerInterface). A
    // CANCEL is answered 200; before the final response it ends the dialog
    // (487 to the INVITE, NV_TERMINATING2, the call told). Choice where a
    // literal reading would break the RFCs: after it (NV_PROCESSING, our
    // 2xx awaiting its ACK, and later) the CANCEL has no effect on the
    // INVITE or the dialog (RFC 3261 9.2), rather than 481 and the end of
    // the dialog.
    void onInviteRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipInviteMessage> invite);
    void onAckRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipAckMessage> ack);
    void onCancelRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipCancelMessage> cancel);
    void onPrackRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipPrackMessage> prack);
    // The transaction for an INVITE arriving in this dialog (from the call
    // manager): nil when it is absorbed (a retransmission of the INVITE
    // whose answer is sent again, a re-INVITE before the ACK).
    NvHandle<NvSipServerTransaction> inviteRequest(NvHandle<NvSipInviteMessage> invite);

    // ------------------------------------------------------------ the peer's re-INVITE
    // Through ReinviteServerInterface (RFC 3261 14.2). Taken in NV_ACTIVE:
    // NV_REINVITED, the remote target and CSeq taken from it, the call told
    // (onReinviteRequest); Session-Expires below the minimum gets 422 with
    // Min-SE. Refused while our own re-INVITE is pending with 491, while the
    // peer's previous one is unanswered with 500 and Retry-After 0-9 s, and
    // with a CSeq below the last with 500 (RFC 3261 12.2.2) rather than 200;
    // the route set stays as the dialog set it up (RFC 3261 12.2). So that
    // those refusals can be sent (RFC 3261 14.2), inviteRequest gives a
    // re-INVITE its transaction while another is pending, not only in
    // NV_ACTIVE; one arriving while an ACK is awaited gets none and no
    // answer, and its retransmission is taken after the ACK. A 422 or a
    // cancelled re-INVITE is not kept; only a 2xx gets the session-timer
    // headers. The ACK of any final answer returns the dialog to NV_ACTIVE
    // (onAckRequest), and so does the time-out of a failure's ACK
    // (onReinviteServerTimeOut). A re-INVITE taken but left unanswered by
    // the application gets 500 after NvSipUnansweredRequests::
    // sm_AnswerDelayMs, so that the dialog never stays in NV_REINVITED.
    void onReinviteRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipInviteMessage> invite);
    void onReinviteAckRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipAckMessage> ack);
    void onReinviteCancelRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipCancelMessage> cancel);
    void onReinviteServerTimeOut(NvHandle<NvSipServerTransaction> transaction);
    // Answers the pending re-INVITE (nil: 200 without body); a 2xx gets the
    // session timer headers and is retransmitted until its ACK, and without
    // one after 64*T1 the dialog sends a BYE. Does nothing when no re-INVITE
    // of the peer is pending, or once it has its final answer.
    void respondToReinvite(NvHandle<NvSipResponse> response);
    void respondToReinvite(unsigned int statusCode, const void* body, const char* contentType,
                           unsigned int bodyLength);

    // ------------------------------------------------------------ our re-INVITE
    // Our re-INVITE (RFC 3261 14.1), from the application's thread through
    // the call; nil: built here. Sent from NV_ACTIVE only: in any other state
    // nothing is sent and nothing raised. With the session timer on and
    // running it offers "timer" and, unless the INVITE has one, a
    // Session-Expires of the current interval.
    //
    // Its responses come through ReinviteClientInterface. A provisional one
    // reaches the call (onReinviteResponse); the PRACK of a reliable one is
    // the application's (prack). A 2xx: NV_REINVITE_PROCESSING, the remote
    // target from its Contact, the session timer restarted by its
    // Session-Expires (none: stopped); the application ACKs it (ackReinvite).
    // A challenge the authentication policy answers, or a 422 with a usable
    // Min-SE, sends the re-INVITE again (CSeq + 1, new branch) without
    // telling the call. A 491 schedules a new attempt with the next CSeq
    // after 2.1-3.99 s when we own the Call-ID (we sent the INVITE that
    // made the dialog), 0-1.99 s otherwise, sent only if the dialog is
    // NV_ACTIVE by then. RFC 3261 12.2.1.2: a 481 ends the dialog (the
    // call hears onReinviteResponse, then onByeResponse with the 481); a
    // 408 ends it the same way after a BYE; no response at all ends it
    // with a BYE ("SIP re-INVITE timed-out" in the call log,
    // onReinviteTimeOut of the call). A 2xx that arrives once the re-INVITE
    // is no longer pending (the dialog ended meanwhile) is still ACKed and
    // changes nothing (RFC 3261 13.2.2.4).
    //
    // Choices where a literal reading would break the RFCs: any failure
    // (422 without usable Min-SE included) is NV_REINVITE_FAILED while the
    // call hears of it, then NV_ACTIVE again: the transaction has already
    // ACKed it (RFC 3261 17.1.1.3) and the session is as it was (14.1), so
    // both sides may re-INVITE again. Every 2xx, not only 200, waits for
    // ackReinvite (RFC 3261 13.2.2.4). The route set stays as the dialog set
    // it up (RFC 3261 12.2); an ACK given by the application gets it when it
    // has no Route. Every new attempt (credentials, 422, 491) carries a new
    // branch; a new attempt after 422 starts in NV_REINVITING, as a new
    // transaction. A 2xx without Session-Expires stops the whole session
    // timer (RFC 4028 7.2). A sending that raises leaves no re-INVITE pending.
    void reinvite(NvHandle<NvSipInviteMessage> invite);
    // ACKs the 2xx to our re-INVITE (nil: built here); NV_ACTIVE. Nothing
    // when none is waiting. Application thread.
    void ackReinvite(NvHandle<NvSipAckMessage> ack);
    void onReinviteProvisionalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    void onReinviteReliableProvisionalResponse(NvHandle<NvSipClientTransaction> transaction,
                                               NvHandle<NvSipResponse> response);
    void onReinviteFinalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    void onReinviteTimeOut(NvHandle<NvSipTransaction> transaction);

    // ------------------------------------------------------------ BYE and hang-up
    // Ends the dialog from our side. Before the answer: our INVITE is
    // cancelled and the dialog waits in NV_TERMINATING2 for its final
    // response (a 487 ends it; a 2xx that crossed the CANCEL is ACKed and
    // hung up, RFC 3261 15); the peer's INVITE is answered 487 (its ACK ends
    // the dialog); a BYE is sent only when `bye` is given. After it, what is
    // pending is settled first (settlePending: the peer's unanswered
    // re-INVITE and requests get 487, ours is cancelled, a 2xx to ours not
    // yet ACKed is ACKed) and the BYE (`bye`, or one built here) is sent.
    // Repeated, or once the dialog is ending: nothing.
    //
    // Choices where a literal reading would break the RFCs: as the callee
    // whose 2xx awaits its ACK, the BYE is kept and sent when the ACK comes,
    // or when the 2xx's retransmissions give up (RFC 3261 15), instead of
    // raising "Cannot send BYE in SUCCEEDED state !"; the call then hears no
    // onAckRequest. A BYE that cannot be built or sent (no route, the
    // transport refuses it) ends the dialog here and the call hears
    // onByeTimeOut, instead of leaving the dialog in NV_TERMINATING. Hanging
    // up raises nothing on these paths.
    void hangup(NvHandle<NvSipByeMessage> bye);
    // Our BYE's final response ends the dialog and is reported to the call,
    // unless the authentication policy added credentials: the BYE then goes
    // again with the next CSeq and a new branch.
    void onByeFinalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    // Our BYE got no final response (or the transport failed it): "SIP BYE
    // timed-out" in the call log, the dialog ends and the call hears
    // onByeTimeOut.
    void onByeTimeOut(NvHandle<NvSipTransaction> transaction);
    // The peer's BYE: NV_TERMINATING and the call told (onByeRequest); one
    // reaching a dialog that is already ending is answered 200 at once.
    void onByeRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipByeMessage> bye);
    // Answers the peer's BYE (nil: 200; our To tag added when missing). A
    // final response ends the dialog (terminating) and the call forgets it
    // (removeDialog). Raises NvException "BYE transaction does not exist !!!"
    // when no BYE was received; does nothing when the BYE was ours.
    void respondToBye(NvHandle<NvSipResponse> response);

    // ------------------------------------------------------------ events ignored
    // Named operations with empty bodies, wired to their adapters so that
    // every event has its place: provisional responses to our BYE, and a
    // PRACK on the peer's BYE, re-INVITE, other request or INVITE with
    // Replaces (no reliable provisional response is ever sent on those).
    void onByeProvisionalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    void onByeReliableProvisionalResponse(NvHandle<NvSipClientTransaction> transaction,
                                          NvHandle<NvSipResponse> response);
    void onByePrackRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipPrackMessage> prack);
    void onReinvitePrackRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipPrackMessage> prack);
    void onUnknownPrackRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipPrackMessage> prack);
    void onReplacesinvitePrackRequest(NvHandle<NvSipServerTransaction> transaction,
                                      NvHandle<NvSipPrackMessage> prack);

    // ------------------------------------------------------------ INFO, NOTIFY, REFER and other methods
    // Send the request in the dialog, each on a client transaction of its
    // own that the dialog does not keep (nil: the dialog builds one without
    // body). Whatever the state. The request is built and sent under
    // m_pMutex, in one step, so that requests sent by several threads leave
    // in the order of their CSeq numbers (a request the application built
    // with createRequest has its number from then). Every response reaches
    // the call's onUnknownResponse. RFC 3261 12.2.1.2: a 481 ends the
    // dialog, and a 408 or no response at all ends it with a BYE (the peer
    // may still hold it); the call hears onByeResponse with the 481 or 408,
    // or onUnknownRequestTimeOut.
    void info(NvHandle<NvSipInfoMessage> info);
    void notify(NvHandle<NvSipNotifyMessage> notify);
    void refer(NvHandle<NvSipReferMessage> refer);
    // The events of those transactions (UnknownRequestClientInterface).
    void onUnknownProvisionalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    void onUnknownReliableProvisionalResponse(NvHandle<NvSipClientTransaction> transaction,
                                              NvHandle<NvSipResponse> response);
    void onUnknownFinalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    void onUnknownTimeOut(NvHandle<NvSipTransaction> transaction);
    // The peer's request of another method, handed to the call with its
    // transaction, which the application answers. One left unanswered gets
    // the library's answer after NvSipUnansweredRequests::sm_AnswerDelayMs
    // (200 to OPTIONS with Allow, Accept and Supported, 501 with Allow to a
    // method we do not implement, 500 otherwise), or 487 when the dialog
    // ends first; one reaching a dialog that has just ended gets 481.
    void onUnknownRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest> request);

    // ------------------------------------------------------------ Replaces
    // An INVITE with Replaces naming this dialog (RFC 3891), through
    // ReplacesinviteServerInterface: the call makes the new dialog and asks
    // the application, unless the INVITE is refused here (RFC 3891 3): 603
    // when this dialog is ending or ended, 481 when it is an early dialog
    // the peer started, 486 when it is confirmed and the Replaces says
    // early-only. Choice where a literal reading would break the RFC: an
    // ending dialog gets 603, not 687. Nothing of a refused INVITE is kept.
    // The ACK and CANCEL of that transaction only matter to a re-INVITE
    // pending on this dialog; once the new dialog exists, they reach it.
    void onReplacesinviteRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipInviteMessage> invite);
    void onReplacesinviteAckRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipAckMessage> ack);
    void onReplacesinviteCancelRequest(NvHandle<NvSipServerTransaction> transaction,
                                       NvHandle<NvSipCancelMessage> cancel);

    // ------------------------------------------------------------ session timer
    // Seconds until the expiry point, and since the interval (re)started.
    double getTimeLeft() const;
    double getElapsedTime() const;
    // Restarts the session interval (seconds): start, refresh point at half
    // of it, expiry point 10 s before its end. Schedules nothing.
    void resetTimer(unsigned int interval);
    // Session timer negotiation (RFC 4028) for our 2xx to `invite`: adds
    // Session-Expires and Supported or Require "timer", and starts the timers.
    void modifyResponse(NvHandle<NvSipResponse> response, NvHandle<NvSipInviteMessage> invite);
    // The 2xx to our INVITE or re-INVITE: its Session-Expires (ignored below
    // sm_MinSessionTime) starts the timers, the refresh one when we refresh
    // ("uac", or none and "timer" required). m_pMutex held.
    void handleSessionTime(NvHandle<NvSipResponse> response, NvHandle<NvSipSessionExpiresHeader> sessionExpires);
    // A 422 with a usable Min-SE to our INVITE (`reinvite` false, and the
    // two-argument form: sent again on a new dialog of the call with
    // Session-Expires and Min-SE at that value, CSeq + 1 and no Via) or to
    // our re-INVITE (sent again in this dialog the same way, the state left
    // as it is). m_pMutex held.
    void resetSessionTime(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    void resetSessionTime(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response,
                          bool reinvite);
    // Stops the session timer (application thread, through the call).
    void cancelSessionTimer();

    // Every timer of the dialog ends here: the 491 retry (object: the
    // INVITE or the UPDATE), a response's retransmission tick (object: the response), a
    // kept request's deadline (object: its server transaction) and the
    // session timer's points (no object). What a timer's work raises is
    // logged and dropped.
    void onNotification(NvHandle<NvObservable> observable, NvHandle<NvObject> object) override;

    // ------------------------------------------------------------ snapshot
    // The dialog's record in a call's snapshot (the call writes its own part
    // first; NvSipIncomingCall::sCreateFrom and NvSipOutgoingCall::sCreateFrom read it back;
    // the byte form is NvSipDialogRecord's). Not kept: session times (a
    // confirmed dialog with a session interval starts a new one at its
    // rebuild, which it refreshes itself: the record tells neither how much
    // of the interval had passed nor who refreshes), local Contact, ACK,
    // call log; the key is rebuilt. Written under m_pMutex.
    void serialize(NvOutputStream& out) const;
    // Undoes a rebuild whose call failed to read a later part: the dialog's
    // transactions leave the stack and the dialog the table. Not locked: the
    // dialog is not shared yet.
    void discardRebuilt();

    // ------------------------------------------------------------ adapters
    // Each kind of transaction reports to one adapter type, made from one of
    // the two templates below: it holds a counted handle on its dialog, logs
    // the messages its transaction sends and receives in the call log, and
    // forwards each event to the dialog operation its type names (nullptr:
    // the event is ignored: our PRACK's adapter, and the ACK, CANCEL and
    // time-out of a BYE's, PRACK's or other request's transaction, which
    // the stack answers itself), the message cast to the operation's class. The
    // forwarders of InviteServerInterface's ack and timeOut and of
    // UnknownRequestClientInterface's timeOut open a trace scope named after
    // themselves.
    template <class Interface>
    class Adapter : public Interface, public Tellar::TaggedAllocation {
    public:
        explicit Adapter(NvHandle<NvSipDialog> dialog) : m_hDialog(std::move(dialog)) {}
        void sendingMessage(const NvHandle<NvSipMessage>& message, unsigned* port, NvInetAddress* address) override {
            m_hDialog->logCallMessage(message, false, port, address, Tellar::INFO);
        }
        void receivedMessage(const NvHandle<NvSipMessage>& message) override {
            m_hDialog->logCallMessage(message, true, nullptr, nullptr, Tellar::INFO);
        }
        const NvHandle<NvSipDialog>& getDialog() const { return m_hDialog; }

    protected:
        // Calls `operation` of the dialog with each argument converted to the
        // operation's parameter class; nothing for nullptr.
        template <auto Operation, class... Arguments>
        void forward(const Arguments&... arguments) {
            if constexpr (!std::is_same_v<decltype(Operation), std::nullptr_t>)
                sInvoke(Operation, *m_hDialog, arguments...);
        }
        NvHandle<NvSipDialog> m_hDialog;
    };
    using ServerAdapter = Adapter<NvSipServerTransactionInterface>;
    using ClientAdapter = Adapter<NvSipClientTransactionInterface>;

    // `prack` is not an event of the stack's interface (not virtual): it is
    // the place of a PRACK on the transaction, for whoever delivers one.
    template <auto OnRequest, auto OnAck, auto OnCancel, auto OnTimeOut, auto OnPrack = nullptr>
    class ServerForwarder : public ServerAdapter {
    public:
        using ServerAdapter::ServerAdapter;
        void prack(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipPrackMessage> prack) {
            this->template forward<OnPrack>(transaction, prack);
        }
        void request(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest> request) override {
            this->template forward<OnRequest>(transaction, request);
        }
        void ack(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipAckMessage> ack) override {
            this->template forward<OnAck>(transaction, ack);
        }
        void cancel(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipCancelMessage> cancel) override {
            this->template forward<OnCancel>(transaction, cancel);
        }
        void timeOut(NvHandle<NvSipServerTransaction> transaction) override {
            this->template forward<OnTimeOut>(transaction);
        }
    };

    template <auto OnProvisional, auto OnFinal, auto OnTimeOut, auto OnReliable>
    class ClientForwarder : public ClientAdapter {
    public:
        using ClientAdapter::ClientAdapter;
        void provisionalResponse(NvHandle<NvSipClientTransaction> transaction,
                                 NvHandle<NvSipResponse> response) override {
            this->template forward<OnProvisional>(transaction, response);
        }
        void finalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response) override {
            this->template forward<OnFinal>(transaction, response);
        }
        void timeOut(NvHandle<NvSipClientTransaction> transaction) override {
            this->template forward<OnTimeOut>(transaction);
        }
        void reliableProvisionalResponse(NvHandle<NvSipClientTransaction> transaction,
                                         NvHandle<NvSipResponse> response) override {
            this->template forward<OnReliable>(transaction, response);
        }
    };

    // The INVITE that created an incoming dialog (or that replaces one).
    class InviteServerInterface : public ServerForwarder<&NvSipDialog::onInviteRequest, &NvSipDialog::onAckRequest,
                                                         &NvSipDialog::onCancelRequest, &NvSipDialog::onTimeOut> {
    public:
        using ServerForwarder::ServerForwarder;
        void ack(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipAckMessage> ack) override;
        void timeOut(NvHandle<NvSipServerTransaction> transaction) override;
    };
    // An INVITE with Replaces naming this dialog (the one to be replaced).
    using ReplacesinviteServerInterface =
        ServerForwarder<&NvSipDialog::onReplacesinviteRequest, &NvSipDialog::onReplacesinviteAckRequest,
                        &NvSipDialog::onReplacesinviteCancelRequest, nullptr,
                        &NvSipDialog::onReplacesinvitePrackRequest>;
    // A re-INVITE from the peer in the confirmed dialog; its ACK and CANCEL.
    using ReinviteServerInterface =
        ServerForwarder<&NvSipDialog::onReinviteRequest, &NvSipDialog::onReinviteAckRequest,
                        &NvSipDialog::onReinviteCancelRequest, &NvSipDialog::onReinviteServerTimeOut,
                        &NvSipDialog::onReinvitePrackRequest>;
    using ByeServerInterface =
        ServerForwarder<&NvSipDialog::onByeRequest, nullptr, nullptr, nullptr, &NvSipDialog::onByePrackRequest>;
    using PrackServerInterface = ServerForwarder<&NvSipDialog::onPrackRequest, nullptr, nullptr, nullptr>;
    // Any other method in the dialog (INFO, NOTIFY, REFER, OPTIONS, ...).
    using UnknownRequestServerInterface = ServerForwarder<&NvSipDialog::onUnknownRequest, nullptr, nullptr, nullptr,
                                                          &NvSipDialog::onUnknownPrackRequest>;

    // Our INVITE that created an outgoing dialog: its responses and time-out.
    using InviteClientInterface =
        ClientForwarder<&NvSipDialog::onProvisionalResponse,
                        static_cast<void (NvSipDialog::*)(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse>)>(
                            &NvSipDialog::onFinalResponse),
                        &NvSipDialog::onTimeOut, &NvSipDialog::onReliableProvisionalResponse>;
    using ReinviteClientInterface =
        ClientForwarder<&NvSipDialog::onReinviteProvisionalResponse, &NvSipDialog::onReinviteFinalResponse,
                        &NvSipDialog::onReinviteTimeOut, &NvSipDialog::onReinviteReliableProvisionalResponse>;
    using ByeClientInterface =
        ClientForwarder<&NvSipDialog::onByeProvisionalResponse, &NvSipDialog::onByeFinalResponse,
                        &NvSipDialog::onByeTimeOut, &NvSipDialog::onByeReliableProvisionalResponse>;
    // Our INFO, NOTIFY or REFER (one adapter per request sent). A transport
    // error counts as a time-out (the stack's default).
    class UnknownRequestClientInterface
        : public ClientForwarder<&NvSipDialog::onUnknownProvisionalResponse, &NvSipDialog::onUnknownFinalResponse,
                                 &NvSipDialog::onUnknownTimeOut, &NvSipDialog::onUnknownReliableProvisionalResponse> {
    public:
        using ClientForwarder::ClientForwarder;
        void timeOut(NvHandle<NvSipClientTransaction> transaction) override;
    };
    // Our PRACK: its final response and time-out reach the call.
    using PrackClientInterface =
        ClientForwarder<nullptr, &NvSipDialog::onPrackFinalResponse, &NvSipDialog::onPrackTimeOut, nullptr>;

    // ------------------------------------------------------------ UPDATE (RFC 3311)
    // UPDATE in both directions, in early (RFC 3311 5.1: once the peer knows
    // our tag) and confirmed dialogs. An UPDATE changes no dialog state: the
    // pending ones are kept apart (m_OurUpdate, m_TheirUpdate), and the
    // offer/answer rules below read the state and the pending requests.
    //
    // The peer's UPDATE (through UpdateServerInterface, after the call
    // manager's order check, takeRemoteCSeq), in this order:
    //   1. the dialog has ended or is ending: 481 (RFC 3261 12.2.2);
    //   2. the peer's previous UPDATE is still unanswered: 500 with
    //      Retry-After 0-9 s, whether this one carries an offer or not (one
    //      UPDATE of the peer is answered at a time; RFC 3311 5.2 asks it for
    //      an offer);
    //   3. it carries an offer (a body) while our own offer waits for its
    //      answer (our UPDATE or re-INVITE with a body pending; our INVITE's
    //      offer without an answer in a response yet): 491 (RFC 3311 5.2);
    //   4. it carries an offer while an offer/answer of the INVITE or a
    //      re-INVITE is unfinished (the peer's INVITE offer we have not
    //      answered in a reliable 1xx, a reliable 1xx awaiting its PRACK,
    //      a 2xx awaiting its ACK, any re-INVITE under way): 500 with
    //      Retry-After 0-9 s (RFC 3311 5.2);
    //   5. a Session-Expires below sm_MinSessionTime: 422 with Min-SE
    //      (RFC 4028 9);
    //   6. otherwise it is taken: the remote target from its Contact (a
    //      target refresh, RFC 3311 5.2), kept for the library's answer
    //      after NvSipUnansweredRequests::sm_AnswerDelayMs (500; 487 when the
    //      dialog ends first), and the call told (onUpdateRequest) after the
    //      mutex is released.
    // respondToUpdate answers it (nil: 200 without body). A 2xx carries our
    // Contact (when it has none), Allow and Supported, and, in a confirmed
    // dialog, the session-timer negotiation of a re-INVITE's 2xx (RFC 4028
    // 9: an UPDATE refreshes the session like a re-INVITE, the timer
    // restarts and the refresher is chosen the same way; a 2xx in an early
    // dialog leaves the session timer alone, as none runs there). Raises as
    // sendResponse ("Session time too small", "Server can't increase
    // session time"); nothing when no UPDATE of the peer is unanswered.
    //
    // Choices where a literal reading would break the RFCs: the 500 of
    // rule 2 also for an UPDATE without offer (one pending UPDATE of the
    // peer at a time); the early-dialog offer/answer state is read from the
    // responses exchanged (a response with a body to our INVITE answers it;
    // a reliable 1xx of ours answers the peer's), not from SDP itself.
    // Pending UPDATEs are not in the snapshot: a rebuilt dialog has none.
    void onUpdateRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipUpdateMessage> update);
    void respondToUpdate(NvHandle<NvSipResponse> response);
    void respondToUpdate(unsigned int statusCode, const void* body, const char* contentType,
                         unsigned int bodyLength);
    // Our UPDATE (nil: one without body, built here), from the application's
    // thread through the call, in an early or confirmed dialog: built with
    // CreateRequest (route set, credentials, Contact); while the session
    // timer runs it carries Supported: timer and Session-Expires of the
    // current interval (a refresh, RFC 4028 7.1). Raises NvException
    // "UPDATE not sent: the dialog is ending" once it is ending, "UPDATE not
    // sent: no dialog yet (no response with a To tag)" before our INVITE
    // had a response with a To tag, "UPDATE not
    // sent: our previous UPDATE is still pending" while one waits, and
    // "UPDATE with an offer not sent: an offer/answer exchange is pending"
    // for a body while rule 3 or 4 above holds on our side (RFC 3311 5.1);
    // nothing is sent then.
    //
    // Its responses reach the call (onUpdateResponse). A 2xx refreshes the
    // remote target from its Contact and, in a confirmed dialog, the session
    // timer (handleSessionTime; none in the 2xx to an UPDATE that carried
    // Session-Expires stops it, RFC 4028 7.2). A 422 with a usable Min-SE
    // or a challenge the authentication policy answers sends it again (CSeq
    // + 1, new branch) without telling the call. A 491 sends it again after
    // the wait of re-INVITE (RFC 3261 14.1: 2.1-3.99 s when we own the
    // Call-ID, 0-1.99 s otherwise; dropped when the dialog is ending by
    // then, or when it has an offer and rule 3 or 4 holds). RFC 3261
    // 12.2.1.2, as for INFO: a 481 ends the dialog and a 408 ends it with a
    // BYE (the call hears onUpdateResponse, then onByeResponse), and no
    // answer at all ends it with a BYE (onUnknownRequestTimeOut).
    void update(NvHandle<NvSipUpdateMessage> update);
    void onUpdateProvisionalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    void onUpdateFinalResponse(NvHandle<NvSipClientTransaction> transaction, NvHandle<NvSipResponse> response);
    using UpdateServerInterface = ServerForwarder<&NvSipDialog::onUpdateRequest, nullptr, nullptr, nullptr,
                                                  &NvSipDialog::onUnknownPrackRequest>;
    using UpdateClientInterface =
        ClientForwarder<&NvSipDialog::onUpdateProvisionalResponse, &NvSipDialog::onUpdateFinalResponse,
                        &NvSipDialog::onUnknownTimeOut, &NvSipDialog::onUpdateProvisionalResponse>;

private:
    friend class NvSipCallManager;            // clear() terminates dialogs under their mutex
    friend class Tellar::NoSizeMemAllocator;  // makes dialogs with the constructors below

    template <class... Parameters, class... Arguments>
    static void sInvoke(void (NvSipDialog::*operation)(Parameters...), NvSipDialog& dialog,
                        const Arguments&... arguments) {
        (dialog.*operation)(Parameters(arguments)...);
    }

    // ------------------------------------------------------------ construction
    // Everything but the mutex and the state starts empty or zero. Raises
    // NvSipMlException when the call has no dialog table (no call manager).
    NvSipDialog(NvSipCall* call, const NvString& callId, bool caller, const char* traceScope);
    // The dialog of our INVITE (constructor (1)) and of the peer's
    // (constructor (2)) for a call known as an NvSipCall: the typed public
    // constructors, defined beside the calls, come here, and so do our new
    // attempts (credentials, 422).
    struct OurInvite {};
    struct TheirInvite {};
    NvSipDialog(OurInvite, NvSipCall* call, NvHandle<NvSipInviteMessage> invite);
    NvSipDialog(TheirInvite, NvSipCall* call, NvHandle<NvSipInviteMessage> invite);
    // The early dialog (or confirmed one) of another branch of our INVITE,
    // for `response` of that branch: its To tag, route set (Record-Route),
    // remote target (Contact) and key, in `state`, keeping the response when
    // that is NV_PROCESSING (the ACK acknowledges it); registered nowhere yet.
    NvSipDialog(const NvSipDialog& source, const NvHandle<NvSipResponse>& response, int32_t state);
    // An incoming dialog's peer side, from the INVITE: CSeq (both numberings
    // start there), From, its tag, the route set, and the key without our tag.
    void takeCaller(const NvHandle<NvSipInviteMessage>& invite);
    // Enters the table under the key without our tag, then adds the key with
    // `localTag` (the first one stays listed).
    void enterTable(const NvString& localTag);

    // ------------------------------------------------------------ helpers, m_pMutex held
    // Moves to `next`, checked against sm_StateTable.
    void changeState(int32_t next);
    // The dialog table of the call (never null: the constructors check it),
    // and where the parts' timers go: the monitor's scheduler, notifying
    // this dialog.
    NvSipDialogTable& table() const;
    NvSipTimerOwner timers();
    // A copy of `request` (with every header, credentials included) to send
    // again as a new transaction: the next CSeq and a fresh branch; with
    // `freshRoutes`, its Route headers rebuilt from the route set.
    NvHandle<NvSipRequest> nextAttempt(const NvHandle<NvSipRequest>& request, bool freshRoutes);
    // Our BYE (CreateRequest); nil when it cannot be built.
    NvHandle<NvSipByeMessage> byeRequest();
    // Sends `bye` on a new client transaction kept as m_hByeTransaction;
    // false, logged, when it is nil or sending raised.
    bool startBye(const NvHandle<NvSipRequest>& bye);
    // startBye from NV_TERMINATING; when it fails the dialog ends here
    // (terminating) and the call to tell onByeTimeOut is returned, else nil.
    NvHandle<NvSipCall> sendBye(const NvHandle<NvSipRequest>& bye);
    // Before our BYE or the end of the dialog: the peer's unanswered
    // re-INVITE and kept requests answered 487, our pending re-INVITE
    // cancelled, a 2xx to it not yet ACKed ACKed, retransmissions stopped.
    void settlePending();
    // Ends a dialog that is not ending yet now (RFC 3261 12.2.1.2 and
    // 13.3.1.4): settlePending, a BYE when `withBye` (the one a hang-up
    // kept, else a new one; its answer is not awaited), terminating. The
    // call to tell; nil when the dialog was already ending.
    NvHandle<NvSipCall> endNow(bool withBye);
    // Answers every kept request still unanswered with `status`.
    void answerKeptRequests(unsigned int status);
    // The deadline of a kept request: the library's answer when the
    // application has given none.
    void answerOverdue(const NvHandle<NvSipServerTransaction>& transaction);
    // Sends `request` (nil: one of `method` built here, without body) on a
    // client transaction of its own reporting to this dialog; takes m_pMutex.
    void sendInDialog(NvHandle<NvSipRequest> request, const char* method);

    // Our INVITE: takes a provisional response (a reliable one is kept until
    // its PRACK): NV_PROCEEDED while one awaits its PRACK, else
    // NV_PROCEEDING; `response` kept (the oldest unacknowledged reliable one
    // while there is one). Its To tag may become the remote tag, and the
    // early dialog takes its target and route set. False: dropped.
    bool takeProvisionalResponse(const NvHandle<NvSipResponse>& response, bool reliable);
    // Takes `tag` as the remote tag and lists the dialog under its new key
    // (dropping the entry of an earlier early-dialog tag); `operation` names
    // the caller in the log.
    void takeRemoteTag(const NvString& tag, const char* operation);
    // The early-dialog part of onFinalResponse; releases `lock`.
    void onEarlyFinalResponse(std::unique_lock<NvRecursiveMutex>& lock, const NvHandle<NvSipResponse>& response);
    // Sends our INVITE again, with the credentials just added to `invite`, on
    // a new dialog of the call.
    void retryWithCredentials(const NvHandle<NvSipInviteMessage>& invite);
    // Sends `invite` (a new attempt of ours) on a new dialog of the call.
    void sendOnNewDialog(const NvHandle<NvSipInviteMessage>& invite);
    // Runs `send` (one of the two retries above); false, logged, when
    // sending raised.
    template <class Send>
    bool sendAgain(Send send);
    // ---- branches of our INVITE (see "forks" above), m_pMutex held unless said
    // The dialog of the branch that sent `response` (from the INVITE's
    // transaction when `onTransaction`, else routed by the manager under the
    // key without remote tag): this one, a branch listed in the table under
    // its To tag, or a new copy for it (listed in the table and the call;
    // `extra` when it is the copy for a 2xx after the INVITE was answered,
    // NV_PROCESSING); nil when the response has no dialog to go to.
    struct Branch {
        NvHandle<NvSipDialog> dialog;
        bool extra = false;
    };
    // A 2xx that answers another INVITE of ours than the one this early dialog awaits.
    bool answersAnEarlierAttempt(const NvHandle<NvSipResponse>& response);
    Branch branchFor(const NvHandle<NvSipResponse>& response, bool onTransaction);
    // The branches this dispatcher made that are still listed, but `except`.
    std::vector<NvHandle<NvSipDialog>> listedBranches(const NvSipDialog* except) const;
    // Ends a branch the INVITE's end leaves unanswered (early, or hung up
    // before the answer): terminating; false when it is past that. Takes
    // m_pMutex (called with no dialog mutex held).
    bool endUnanswered();
    // A reliable 1xx to our INVITE kept until its PRACK, in RSeq order;
    // false for one whose RSeq is not the next after the last taken.
    bool keepUnpracked(const NvHandle<NvSipResponse>& response);
    // A 2xx to our INVITE for a dialog past its early states: the ACK sent
    // for it again (13.2.2.4), silently.
    void ackAgain(const NvHandle<NvSipResponse>& response);

    // The peer's INVITE: the transaction of the INVITE being answered (the
    // peer's re-INVITE when one is pending, else the initial INVITE's; nil
    // once it got its 2xx), and the call's Contact added to `response` when
    // it has none.
    NvHandle<NvSipServerTransaction> pendingInviteTransaction() const;
    void addLocalContact(const NvHandle<NvSipResponse>& response) const;
    // Sends the kept response again straight through the transport and logs
    // it; a failing send is logged and dropped (the next tick tries again).
    void resendOutResponse();
    // A retransmission tick for `response` (a stale one does nothing).
    void retransmitResponse(const NvHandle<NvSipResponse>& response);
    // A timer scheduled without object: the session timer's refresh or
    // expiry point, told to the call, when its key is still current.
    void sessionTimerFired(double key);

    // Our re-INVITE: whether `transaction` is the pending one's; sending
    // `invite` as the new pending one (NV_REINVITING); a provisional
    // response on `transaction` (`state`, the call told, when it is the
    // pending one's); sending it again for a 422 with a usable Min-SE or a
    // challenge the policy answered (false when neither, or the sending
    // failed); the final response that ends it (state, remote target,
    // session timer, 491 retry); the 491 retry timer of `invite`.
    bool isOurReinvite(const NvHandle<NvSipClientTransaction>& transaction) const;
    void sendReinvite(const NvHandle<NvSipInviteMessage>& invite);
    void takeReinviteProvisional(const NvHandle<NvSipClientTransaction>& transaction,
                                 const NvHandle<NvSipResponse>& response, int32_t state);
    bool sendReinviteAgain(const NvHandle<NvSipClientTransaction>& transaction,
                           const NvHandle<NvSipResponse>& response);
    void endReinvite(const NvHandle<NvSipClientTransaction>& transaction, const NvHandle<NvSipResponse>& response);
    void retryReinvite(const NvHandle<NvSipInviteMessage>& invite);
    // ACKs a 2xx to a re-INVITE of ours that is no longer pending (the
    // dialog ended meanwhile), to its own Contact; nothing else changes.
    void ackLateAnswer(const NvHandle<NvSipResponse>& response);
    // The peer's re-INVITE or UPDATE kept in `pending`: a response of
    // `statusCode` with the body, to build in the answering operations'
    // status form; nil when none is pending. Takes m_pMutex.
    NvHandle<NvSipResponse> responseToPending(const NvSipIncomingReinvite& pending, unsigned int statusCode,
                                              const void* body, const char* contentType,
                                              unsigned int bodyLength) const;

    // ------------------------------------------------------------ fields
    NvHandle<NvSipTransaction> m_hInitialTransaction;
    NvHandle<NvSipContactHeader> m_hLocalContactHeader;  // UAC: the Contact of our INVITE
    NvHandle<NvURI> m_hRemoteTargetURI;
    NvHandle<NvSipTransaction> m_hByeTransaction;
    NvHandle<NvSipResponse> m_hInResponse;  // last response to our INVITE or re-INVITE
    NvHandle<NvSipAckMessage> m_hAck;       // our last ACK of a 2xx
    NvHandle<NvSipCall> m_hCall;            // its dialog table is where the dialog lists itself
    NvString m_Key;
    // The dialog's Call-ID, fixed when it is made (the call's, or the
    // Replaces INVITE's): a call that accepts a Replaces takes the new
    // Call-ID, while the replaced dialog still ends with its own.
    NvString m_CallID;
    NvHandle<NvSipNameAddress> m_hRemoteParticipant;
    NvString m_RemoteTag;
    int32_t m_State = NV_INITIAL;
    uint32_t m_LocalCSeq = 0;
    uint32_t m_RemoteCSeq = 0;  // the CSeq of the peer's last INVITE taken in the dialog
    // The highest CSeq of the peer's requests in the dialog (RFC 3261 12.2.2)
    // and its method; no method yet: m_RemoteCSeq, INVITE (takeRemoteCSeq).
    uint32_t m_PeerCSeq = 0;
    NvString m_PeerCSeqMethod;
    bool m_bOnTimeoutSendFinalResponse = false;
    const bool m_bCaller;  // we sent the INVITE that made the dialog
    std::vector<NvHandle<NvSipNameAddress>> m_RouteSet;
    mutable CallMessageLogger m_CallMessageLogger;
    NvRecursiveMutex* m_pMutex;
    NvSipSessionTimer m_SessionTimer;
    NvSipResponseRetransmitter m_Retransmitter;  // our 2xx or reliable 1xx, until its ACK or PRACK
    NvSipOutgoingReinvite m_OurReinvite;
    NvSipIncomingReinvite m_TheirReinvite;
    NvSipUnansweredRequests m_Unanswered;
    NvHandle<NvSipRequest> m_hByeAfterAck;  // the callee's hang-up waiting for the ACK of its 2xx
    NvSipDialogCredentials m_Credentials;  // challenges our INVITE answered, the credentials its ACK carries

    // ------------------------------------------------------------ the peer's PRACK and the 2xx it waits for
    // The PRACK reported to the call and not answered yet (respondToPrack),
    // and our 2xx to the INVITE held until the PRACK of a reliable 1xx with
    // a body (sendResponse); neither goes into a snapshot.
    NvHandle<NvSipServerTransaction> m_hPrackTransaction;
    NvHandle<NvSipResponse> m_hHeldAnswer;
    // After the call heard of the PRACK: its 200 when the application gave
    // no answer, then the held 2xx. Takes m_pMutex, releases it before
    // sending the 2xx.
    void finishPrack();
    // ---- branches of our INVITE and their PRACKs (UAC)
    std::vector<NvString> m_BranchTags;  // the dispatcher's: To tags of the branch dialogs it made
    bool m_bAnswered = false;            // the dispatcher's: a 2xx came on the INVITE's transaction
    bool m_bHungUp = false;              // hung up before the answer: a 2xx is ACKed and hung up (branches too)
    std::vector<NvHandle<NvSipResponse>> m_Unpracked;  // reliable 1xx awaiting our PRACK, RSeq order
    uint32_t m_LastRSeq = 0;                           // of the last reliable 1xx taken; 0: none yet
    // ------------------------------------------------------------ UPDATE, m_pMutex held
    // Why an UPDATE of ours with an offer cannot go now (RFC 3311 5.1, the
    // rules 3 and 4 of the peer's UPDATE seen from our side); nullptr when
    // it can.
    const char* offerBlocked() const;
    // The peer's UPDATE `update` with an offer: 491 when our offer waits for
    // its answer, 500 when another exchange is unfinished, 0 when neither.
    int offerRefusal() const;
    // Sends `update` as our pending UPDATE.
    void sendUpdate(const NvHandle<NvSipRequest>& update);
    // The 491 wait of `update` is over: sent again unless the dialog is
    // ending or its offer is now blocked.
    void retryUpdate(const NvHandle<NvSipUpdateMessage>& update);
    // The new attempt of our re-INVITE or UPDATE `transaction` that
    // `response` asks for: after a 422 with a usable Min-SE (the interval
    // raised, RFC 4028 7.4) or a challenge the authentication policy
    // answered (RFC 3261 22.2); nil for any other response.
    NvHandle<NvSipRequest> retryFor(const NvHandle<NvSipClientTransaction>& transaction,
                                    const NvHandle<NvSipResponse>& response);
    // A copy of our request of `transaction` with the interval raised to
    // `interval`, CSeq + 1 and the route set, after a 422.
    NvHandle<NvSipRequest> retryWithInterval(const NvHandle<NvSipClientTransaction>& transaction, uint32_t interval);
    // RFC 3261 12.2.1.2: a 481 to our request in the dialog ends it, a 408
    // ends it with a BYE; the call then hears onByeResponse with it. Nothing
    // for any other response. Takes m_pMutex.
    void endOnNoDialog(const NvHandle<NvSipResponse>& response);
    NvSipOutgoingReinvite m_OurUpdate;    // our pending UPDATE and its 491 wait
    NvSipIncomingReinvite m_TheirUpdate;  // the peer's UPDATE taken, until it is answered

    // ------------------------------------------------------------ call limit
    // How many keys the manager's table lists this dialog under, so that
    // the manager counts the dialogs it lists (its calls in progress).
    // Guarded by the manager's table mutex.
    uint8_t m_TableEntries = 0;
};
