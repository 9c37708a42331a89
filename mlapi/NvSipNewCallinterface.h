#pragma once
// NvSipNewCallinterface: asked by the call manager to take each new inbound
// call. The application implements newCall.
//
// Who calls it: the call manager, on the stack's thread that received the
// INVITE, with no library lock held, once per INVITE that names no dialog
// (no To tag, no Replaces). Ownership: the application creates it and hands
// it to the call manager, which holds it through a counted handle.

#include "mlapi/NvSipMlApiAfx.h"

class NvSipIncomingCall;

class NVSIPMLAPI_EXPORT NvSipNewCallinterface : public NvObject {
public:
    ~NvSipNewCallinterface() override;

    // Returns the call made for `invite` (new NvSipIncomingCall(invite, the
    // application's NvSipIncomingCallinterface)), or nil to refuse it: the
    // stack then answers the INVITE "480 Temporarily Unavailable". The call's
    // inviteRequest event follows once this returns.
    virtual NvHandle<NvSipIncomingCall> newCall(NvHandle<NvSipInviteMessage> invite) = 0;

    // `call` was rebuilt from the snapshot store for a request of its dialog
    // that reached this node (another node, or an earlier run, had it; see
    // NvSipCallManager::setSnapshotStore). Told before the call handles the
    // request; the call reports to the interface given with the store. The
    // default does nothing.
    virtual void callTakenOver(NvHandle<NvSipIncomingCall> call);
};
