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
};
