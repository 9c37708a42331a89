#pragma once
// NvSipCallManager: the one object through which the library meets the
// stack for everything that is not already a transaction's: it is the
// stack's server-transaction factory and stray-message handler, it keeps
// the table of live dialogs, and it routes each new inbound request.
//
// Routing of a request that matches no transaction (createServerTransaction):
// first, a request whose Require names an option tag we do not support
// (NvSipCapabilities) gets a transaction that refuses it with 420 and
// Unsupported (RFC 3261 8.2.2.3), whatever its dialog; the others go by
// their dialog key "Call-ID,To tag,From tag":
//   - listed dialog: a request whose CSeq is out of order (RFC 3261 12.2.2,
//     NvSipDialog::takeRemoteCSeq), whatever its method, gets a
//     transaction that refuses it with 500; else an INVITE goes to the
//     dialog's own handling (a re-INVITE or a retransmitted INVITE); BYE,
//     PRACK, UPDATE (RFC 3311, the dialog's UpdateServerInterface) and
//     other methods get a transaction with the dialog's adapter for them;
//   - no dialog, not a BYE, and the authentication policy challenges it: a
//     transaction that answers with the challenge;
//   - INVITE with a To tag: stray (strayReplacesInvite); INVITE with
//     Replaces: the named dialog's Replaces adapter, or stray; any other
//     INVITE: a new call (newCall of the application; nil refuses it and the
//     stack answers 480), unless the call limit is reached (see Overload);
//   - other methods: the interface the application registered for the method
//     (setServerTransactionInterface), else stray (strayBye,
//     strayUnknownRequest). Stray requests always get a transaction, so the
//     application's stray interface can answer them.
// ACKs of a 2xx and responses that match no transaction come through the
// stray handler and are routed by key too (strayAck, strayResponse); a 2xx
// to an INVITE of ours whose call has ended is ACKed and hung up
// (NvSipLateAnswers, RFC 3261 13.2.2.4); the rest goes to the application's
// NvSipCallStrayInterface.
//
// Overload: with a call limit set (setCallLimit), a new INVITE (no To tag,
// no Replaces of a listed dialog) that arrives while as many dialogs as the
// limit are listed never reaches the application: it gets a transaction
// that answers "503 Service Unavailable" with Retry-After
// (NvSipTransactionManager::m_OverloadRetryAfter seconds; RFC 3261
// 21.5.4), retransmitted until its ACK like any final answer, and is
// logged at WARN at most once a second with the count of those shed.
// Requests of listed dialogs (BYE, re-INVITE, ...) are never shed: they end
// calls. A dialog counts from the moment its call makes it until it leaves
// the table (terminating); an outgoing call's forks count one each. The
// stack sheds as well, statelessly, beyond its own limit of live
// transactions (NvSipTransactionManager::m_MaxTransactions). With a call
// limit N and a transaction limit T, what a flood can make the process hold
// is about N x 8 KiB (a call in progress whose 2xx waits for its ACK) +
// T x 3 KiB (a refused INVITE's transaction: the parsed INVITE and its 503,
// until T4 after the ACK) + the finished-transaction table's 130 MB at most
// (NvSipFinishedTransactions) + the fixed queues (README, "Limits and
// overload"). Measured: nvsip-ua listen with N = 5,000 and T = 10,000
// peaked at 104 to 108 MiB under floods of 16,000 to 30,000 new calls a
// second (bench/overload.sh).
//
// Dialog table: a dialog is listed under "Call-ID,local tag,remote tag"
// (NvSipDialog::sBuildKey), and may be listed under more than one key:
// updateDialogKey adds the new key and keeps the old one, which is how an
// incoming dialog stays reachable under the key without our tag, and an
// outgoing one under the key without the remote tag (responses of other
// forks). Those first keys are removed by the calls (removeDialog by key).
//
// Life: created by the application before any call; one at a time: a
// second one while the first lives raises NvAssertionFailure "There can be
// only one call manager". The application holds it through handles; nothing
// of the stack or of the calls holds a counted handle on it, so it dies with
// the application's last one. Nothing outlives it: what the stack and the
// calls keep of it (the stray-message handler, the server-transaction
// factory, the stray transactions' interface, the dialog table of every
// call) reaches it through one link (Link) that its destructor cuts, after
// which they do nothing (the factory then refuses new requests, and the
// stack answers them 480; a dialog's table operations do nothing). The
// destructor first ends every listed dialog as clear(false) does, so that no
// call and dialog keep each other alive, takes its stray handler back from
// the stack, clears smp_TheSingleton, then cuts the link: it waits for the
// operations under way through the link on other threads. It must not run
// on a thread inside one of those operations (the application's callbacks)
// other than its own: that thread's own are not waited for.
//
// Choices where a literal reading would break what the design needs: the
// singleton is cleared when the manager dies (no dangling pointer; a new
// manager may be made afterwards), the stray adapters are counted objects
// of their own rather than members (stray transactions may outlive the
// manager), and the factory holds the link rather than a counted handle
// (which kept the manager alive for ever); with a call limit set, a new
// INVITE at the limit is answered 503 without newCall being asked (see
// Overload; without a limit, the default, every new INVITE is offered).
//
// Threads and locks: entered on the stack's threads (messages, time-outs)
// and the application's. m_pMutex (plain) guards m_DialogTable and
// m_ServerTransactionInterfaces, m_CallLimit and m_Calls, and is held only
// for a table operation:
// never while a dialog or the application is called (m_LateAnswers has a
// lock of its own, taken alone). A dialog calls
// addDialog, removeDialog and updateDialogKey holding its own mutex, so the
// order is always dialog mutex, then table mutex; clear() never holds both.

#include "mlapi/NvSipCallStrayInterface.h"
#include "mlapi/NvSipDialogTable.h"
#include "mlapi/NvSipLateAnswers.h"
#include "mlapi/NvSipMlApiAfx.h"
#include "mlapi/NvSipNewCallinterface.h"
#include "mlapi/snapshot/NvSipSnapshotKeeper.h"
#include "stack/auth/NvAuthenticationInterface.h"
#include "stack/log/TellarAlloc.h"
#include "stack/transaction/NvSipTransactionManager.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class NvSipDialog;

class NVSIPMLAPI_EXPORT NvSipCallManager : public NvObject {
public:
    // The way to the manager of everything that may outlive it. use() runs
    // an operation on the manager unless the link was cut (false then);
    // route() likewise, but not once the manager stopped routing. cut()
    // waits until no other thread is inside use() or route(). Any thread.
    class Link {
    public:
        explicit Link(NvSipCallManager* manager) : m_pManager(manager) {}
        template <class Operation>
        bool use(Operation operation) { return run(false, operation); }
        template <class Operation>
        bool route(Operation operation) { return run(true, operation); }
        void stopRouting();
        void cut();

    private:
        struct Leave {
            Link& link;
            ~Leave() { link.leave(); }
        };
        template <class Operation>
        bool run(bool routing, Operation& operation) {
            NvSipCallManager* manager = enter(routing);
            if (!manager) return false;
            Leave leave{*this};
            operation(*manager);
            return true;
        }
        // The manager, counted as in use by this thread; null when cut (or,
        // for `routing`, no longer routing).
        NvSipCallManager* enter(bool routing);
        void leave();
        std::mutex m_Mutex;
        std::condition_variable m_Left;
        NvSipCallManager* m_pManager;  // guarded by m_Mutex: null once cut
        bool m_bRouting = true;        // guarded by m_Mutex
        unsigned m_Users = 0;          // guarded by m_Mutex: threads' operations under way
    };
    using LinkPtr = std::shared_ptr<Link>;

    // Registered with the stack as its stray-message handler.
    class StrayMessageInterface : public NvStrayMessageInterface, public Tellar::TaggedAllocation {
    public:
        explicit StrayMessageInterface(LinkPtr link) : m_pLink(std::move(link)) {}
        void strayResponse(NvHandle<NvSipResponse> response) override;
        void strayAck(NvHandle<NvSipAckMessage> ack) override;
        void strayCancel(NvHandle<NvSipCancelMessage> cancel) override;
        void invalidMessage(NvHandle<NvSipMessage> message) override;
        void malFormedMessage(NvHandle<NvSipMessage> message) override;

    private:
        const LinkPtr m_pLink;
    };

    // Given to transactions of requests that belong nowhere: their request
    // goes to strayRequest.
    class StrayServerTransactionInterface : public NvSipServerTransactionInterface, public Tellar::TaggedAllocation {
    public:
        explicit StrayServerTransactionInterface(LinkPtr link) : m_pLink(std::move(link)) {}
        void request(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest> request) override;

    private:
        const LinkPtr m_pLink;
    };

    // The stack's server-transaction factory; nil (the stack answers 480)
    // once the manager is gone.
    class TransactionFactoryInterface : public NvTransactionFactoryInterface, public Tellar::TaggedAllocation {
    public:
        explicit TransactionFactoryInterface(LinkPtr link) : m_pLink(std::move(link)) {}
        NvHandle<NvSipServerTransaction> createServerTransaction(NvHandle<NvSipRequest> request) override;

    private:
        const LinkPtr m_pLink;
    };

    // The table and authentication policy the calls give their dialogs
    // (NvSipCall::getDialogTable); held by the manager and by every call.
    class DialogTableInterface : public NvSipDialogTable {
    public:
        explicit DialogTableInterface(LinkPtr link) : m_pLink(std::move(link)) {}
        void addDialog(NvHandle<NvSipDialog> dialog) override;
        void removeDialog(NvHandle<NvSipDialog> dialog) override;
        void removeDialog(const NvString& key) override;
        void updateDialogKey(const NvString& oldKey, const NvString& newKey) override;
        bool addCredentials(NvHandle<NvSipResponse> response, NvHandle<NvSipRequest> request) override;
        NvHandle<NvSipDialog> findDialog(const NvString& key) override;
        void inviteEnded(const NvString& callId, const NvString& localTag) override;
        void snapshotChanged(NvSipDialog* dialog) override;

    private:
        const LinkPtr m_pLink;
    };

    // Answers its transaction's request with the challenge it holds.
    class AuthInterface : public NvSipServerTransactionInterface, public Tellar::TaggedAllocation {
    public:
        explicit AuthInterface(NvHandle<NvSipResponse> challenge) : m_hChallenge(std::move(challenge)) {}
        void request(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest> request) override;

    private:
        NvHandle<NvSipResponse> m_hChallenge;
    };

    // Refuses its transaction's request with 420 and Unsupported naming the
    // option tags it required that we do not support (RFC 3261 8.2.2.3).
    class UnsupportedExtensionInterface : public NvSipServerTransactionInterface {
    public:
        explicit UnsupportedExtensionInterface(std::vector<std::string> tags) : m_Tags(std::move(tags)) {}
        void request(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest> request) override;

    private:
        std::vector<std::string> m_Tags;
    };

    // Refuses its transaction's request with 500: a request of a listed
    // dialog whose CSeq is out of order (NvSipDialog::takeRemoteCSeq).
    class OutOfOrderInterface : public NvSipServerTransactionInterface {
    public:
        void request(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest> request) override;
    };

    // Answers its transaction's INVITE 503 with Retry-After: the call limit
    // is reached. One, shared by those transactions.
    class OverloadInterface : public NvSipServerTransactionInterface {
    public:
        void request(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest> request) override;
    };

    // The live manager; null when there is none.
    static NvSipCallManager* smp_TheSingleton;
    // The authentication policy (copied from NvAuthenticationInterface at
    // construction); null: no request is challenged, no challenge answered.
    static NvAuthenticationInterface* smp_AuthInterface;

    // Registers with the stack's transaction manager. Both interfaces are
    // held through counted handles.
    NvSipCallManager(NvSipNewCallinterface* newCallInterface, NvSipCallStrayInterface* strayInterface);
    // Ends the listed dialogs and cuts the link (see Life above).
    ~NvSipCallManager() override;
    NvSipCallManager(const NvSipCallManager&) = delete;
    NvSipCallManager& operator=(const NvSipCallManager&) = delete;

    // Installs this manager as the stack's stray-message handler and server-
    // transaction factory (done by the constructor; again after something
    // else took those places).
    void registerWithStack();

    // ------------------------------------------------------------ dialog table
    // Lists `dialog` under its current key (replacing what was there).
    void addDialog(NvHandle<NvSipDialog> dialog);
    // Removes the entry under the dialog's current key; other keys stay.
    void removeDialog(NvHandle<NvSipDialog> dialog);
    void removeDialog(const NvString& key);
    // The dialog listed under the request's key, or nil.
    NvHandle<NvSipDialog> getDialog(NvHandle<NvSipRequest> request);
    // Also lists the dialog of `oldKey` under `newKey`; the old entry stays.
    // Raises NvSipMlException "### Can't find dialog ###" when nothing is
    // listed under `oldKey`.
    void updateDialogKey(const NvString& oldKey, const NvString& newKey);
    // Application shutdown: hangs up (when asked) and terminates every
    // listed dialog once, even one listed under two keys, and makes its call
    // forget it (so that neither keeps the other alive), until the table is
    // empty. Each pass reads the table once
    // (linear in the number of dialogs). No lock is held while a dialog hangs up; a hang-up that fails
    // (an incoming call whose 2xx awaits its ACK) is logged and the dialog
    // is ended all the same.
    void clear(bool hangup);
    // Number of entries (a dialog listed under two keys counts twice).
    size_t getDialogCount() const;

    // ------------------------------------------------------------ snapshots
    // Keeps every confirmed incoming call in `store` until it ends (see
    // NvSipSnapshotKeeper), and takes over the calls the store holds: a
    // request with both tags that no listed dialog matches is looked up
    // there (by its Call-ID) before it goes the stray way (481); a call
    // found is rebuilt, reporting to `callInterface`, listed, recorded as
    // this node's, announced (NvSipNewCallinterface::callTakenOver), and
    // handles the request. The look-up waits for the store on the stack's
    // thread, once for each such request (its time-out bounds it). Nil:
    // no store. Set it before the stack's thread starts.
    void setSnapshotStore(NvHandle<NvSipSnapshotStore> store, NvSipIncomingCallinterface* callInterface);
    // Rebuilds every call the store holds (a node started again); none
    // without a store.
    std::vector<NvHandle<NvSipIncomingCall>> restoreSnapshots();

    // ------------------------------------------------------------ overload
    // New INVITEs beyond `limit` dialogs listed are answered 503 (see
    // Overload above); 0, the default, sets no limit: the library cannot
    // know how much memory the application gives a call (an established
    // call of nvsip-ua listen costs about 4 KiB, calls/s times the
    // 64*T1 a 2xx may wait for its ACK are in progress at once). Any thread.
    void setCallLimit(uint32_t limit);
    // Dialogs listed, each once whatever its number of keys.
    size_t getCallCount() const;
    // What the calls made from now on give their dialogs.
    std::shared_ptr<NvSipDialogTable> getDialogTable() const { return m_pDialogTableInterface; }

    // "Call-ID,To tag,From tag" of an inbound request.
    static NvString sDialogKey(NvHandle<NvSipRequest> request);
    // Adds credentials answering `response`'s challenge to `request`; false
    // when there is no policy or it has no credentials.
    static bool sCheckAuthentication(NvHandle<NvSipResponse> response, NvHandle<NvSipRequest> request);

    // Out-of-dialog requests of `method` get transactions with `handler`
    // (nil removes it) instead of going to the stray interface.
    void setServerTransactionInterface(const NvString& method, NvHandle<NvSipServerTransactionInterface> handler);

    // ------------------------------------------------------------ routing
    NvHandle<NvSipServerTransaction> createServerTransaction(NvHandle<NvSipRequest> request);
    void strayRequest(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest> request);
    void strayAck(NvHandle<NvSipAckMessage> ack);
    void strayResponse(NvHandle<NvSipResponse> response);
    void strayCancel(NvHandle<NvSipCancelMessage> cancel);
    void strayPrack(NvHandle<NvSipPrackMessage> prack);
    void invalidMessage(NvHandle<NvSipMessage> message);
    void malFormedMessage(NvHandle<NvSipMessage> message);

private:
    NvHandle<NvSipDialog> findDialog(const NvString& key) const;
    NvHandle<NvSipServerTransaction> stray(const NvHandle<NvSipRequest>& request);
    NvHandle<NvSipServerTransaction> routeInvite(const NvHandle<NvSipRequest>& request);
    NvHandle<NvSipSnapshotKeeper> snapshotKeeper() const;
    // The dialog of a call the snapshot store holds for `request`, rebuilt; nil when none.
    NvHandle<NvSipDialog> takeOver(const NvHandle<NvSipRequest>& request);
    // Table operations under m_pMutex that keep m_Calls right; each returns
    // the handle the table let go, to be released after the lock.
    NvHandle<NvObject> list(const NvString& key, const NvHandle<NvObject>& dialog);
    NvHandle<NvObject> unlist(const NvString& key);
    void countEntry(NvObject* dialog, int change);
    // The 503 transaction for a new INVITE when the call limit is reached, else nil.
    NvHandle<NvSipServerTransaction> shedAtLimit(const NvHandle<NvSipRequest>& request);
    // clear()'s work on one dialog, no longer listed: hang-up when asked, then terminated and forgotten by its call.
    void end(NvHandle<NvSipDialog> dialog, bool hangup);

    NvKeyTable m_DialogTable;
    NvSipLateAnswers m_LateAnswers;  // our INVITEs whose calls have ended, for 64*T1
    NvHandle<NvSipNewCallinterface> m_hNewCallInterface;
    const LinkPtr m_pLink;
    const NvHandle<StrayMessageInterface> m_hStrayMessageInterface;
    const NvHandle<StrayServerTransactionInterface> m_hStrayServerTransactionInterface;
    NvHandle<NvSipCallStrayInterface> m_hStrayInterface;
    std::map<NvString, NvHandle<NvSipServerTransactionInterface>> m_ServerTransactionInterfaces;
    NvMutex* m_pMutex;
    const std::shared_ptr<DialogTableInterface> m_pDialogTableInterface;
    uint32_t m_CallLimit = 0;  // 0: none
    size_t m_Calls = 0;        // dialogs listed
    const NvHandle<OverloadInterface> m_hOverloadInterface;
    NvOverloadLog m_OverloadLog;
    NvHandle<NvSipSnapshotKeeper> m_hSnapshotKeeper;  // nil: no store; guarded by m_pMutex
    std::atomic<bool> m_bSnapshotStore{false};        // whether there is one, read without the lock
};
