#pragma once
// NvSipSnapshotKeeper: keeps the snapshot store up to date with the calls
// of one call manager, and rebuilds calls from it. Owned by the manager
// (NvSipCallManager::setSnapshotStore); the dialogs reach it through their
// table.
//
// What is kept: an incoming call's record is written once its dialog is
// confirmed and again after each change its snapshot holds (our CSeq, a
// remote target or session interval that an UPDATE or re-INVITE changed,
// the end of a re-INVITE), and removed when its dialog ends. Its lifetime
// in the store covers twice the session interval when a session timer runs
// (each refresh writes it again), kNoTimerLifetimeSeconds otherwise.
//
// Threads and locks: changed() is called by a dialog holding its own mutex,
// from any thread; it only notes the dialog under m_Mutex (taken after any
// dialog's) and schedules a flush on the stack's scheduler. The flush runs
// on the stack's thread with no lock held: it serialises each noted call
// (the dialog's mutex is taken there) and hands the record to the store,
// whose writes do not wait on the network; changes made meanwhile coalesce
// into one write. restore() and takeOver() read the store and may wait for
// it (see NvSipSnapshotStore).

#include "mlapi/NvSipIncomingCall.h"
#include "mlapi/snapshot/NvSipSnapshotStore.h"
#include "stack/timer/NvScheduler.h"

#include <mutex>
#include <set>
#include <string>
#include <vector>

class NvSipDialog;

class NVSIPMLAPI_EXPORT NvSipSnapshotKeeper : public NvObserver {
public:
    static constexpr uint32_t kNoTimerLifetimeSeconds = 24 * 3600;

    // Rebuilt calls report to `callInterface`.
    NvSipSnapshotKeeper(NvHandle<NvSipSnapshotStore> store, NvSipIncomingCallinterface* callInterface);

    // A change of `dialog` its call's record may hold.
    void changed(NvSipDialog* dialog);
    // Writes what changed now (also run by the flush timer).
    void flush();
    // Rebuilds every call of the store; a record that cannot be read is
    // reported at WARN and removed.
    std::vector<NvHandle<NvSipIncomingCall>> restore();
    // Rebuilds the call of `callId` from the store and records this node as
    // its owner; nil when the store has none or it cannot be read, and when
    // this node keeps that call itself (a request with a wrong tag must not
    // rebuild a call that is up here).
    NvHandle<NvSipIncomingCall> takeOver(const std::string& callId);

    void onNotification(NvHandle<NvObservable>, NvHandle<NvObject>) override { flush(); }

private:
    NvHandle<NvSipIncomingCall> rebuild(const std::string& callId, const std::string& record);
    void write(const NvHandle<NvSipIncomingCall>& call, const std::string& callId);

    const NvHandle<NvSipSnapshotStore> m_hStore;
    NvSipIncomingCallinterface* const m_pCallInterface;
    std::mutex m_Mutex;                            // guards the three members below
    std::vector<NvHandle<NvSipDialog>> m_Changed;  // noted since the last flush
    bool m_bFlushScheduled = false;
    std::set<std::string> m_Kept;  // Call-IDs with a record written here
};
