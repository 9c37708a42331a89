#pragma once
// NvSipDialogTable: what a dialog needs of the call manager, given to it
// through its call when it is made: the table of live dialogs, in which the
// dialog lists itself under its keys, and the process's authentication
// policy for the challenges its requests meet. NvSipCallManager provides
// the one every call takes by default (getDialogTable()), shared by the
// manager and the calls; a dialog never reaches the manager any other way,
// and once the manager is gone the operations of its table do nothing
// (addCredentials answers false).
//
// Threads and locks: called from any thread, by a dialog that may hold its
// own mutex; an implementation takes only locks of its own that come after
// every dialog's (the manager's table mutex) and calls back into no dialog.

#include "mlapi/NvSipMlApiAfx.h"

class NvSipDialog;

class NVSIPMLAPI_EXPORT NvSipDialogTable {
public:
    virtual ~NvSipDialogTable() = default;
    // Lists `dialog` under its current key (replacing what was there).
    virtual void addDialog(NvHandle<NvSipDialog> dialog) = 0;
    // Removes the entry under the dialog's current key, or under `key`;
    // other keys of the same dialog stay.
    virtual void removeDialog(NvHandle<NvSipDialog> dialog) = 0;
    virtual void removeDialog(const NvString& key) = 0;
    // Also lists the dialog of `oldKey` under `newKey`; the old entry stays.
    virtual void updateDialogKey(const NvString& oldKey, const NvString& newKey) = 0;
    // Adds credentials answering the challenge of `response` to `request`;
    // false when the policy has none (or there is no policy).
    virtual bool addCredentials(NvHandle<NvSipResponse> response, NvHandle<NvSipRequest> request) = 0;

    // The dialog listed under `key`; nil when none (an INVITE's dispatcher
    // finds the early dialog of a branch by its To tag this way).
    virtual NvHandle<NvSipDialog> findDialog(const NvString& key) = 0;

    // The outgoing call of Call-ID `callId` and our tag `localTag` has no
    // dialog left: a 2xx that its INVITE still gets is ACKed and hung up
    // (NvSipLateAnswers).
    virtual void inviteEnded(const NvString& callId, const NvString& localTag) = 0;

    // `dialog` changed what its call's snapshot holds (it was confirmed, sent
    // a request, ended...): the snapshot store, when there is one, is
    // brought up to date (NvSipSnapshotKeeper).
    virtual void snapshotChanged(NvSipDialog* dialog) = 0;
};
