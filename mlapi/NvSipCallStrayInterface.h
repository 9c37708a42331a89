#pragma once
// NvSipCallStrayInterface: what the application is told about messages that
// belong to no transaction and no dialog, with defaults that keep the peer
// from waiting: requests that name a dialog we do not have get 481 (or 400
// when they are malformed), other requests the answers RFC 3261 8.2 and 11
// give (see strayUnknownRequest), a stray ACK is written to the
// stray-message log, everything else is dropped. An application derives from it and overrides what it
// wants to handle itself; whatever it does not override keeps the default.
//
// Who calls it: the call manager, on the stack's thread that delivered the
// message, with no library lock held. The three operations that receive a
// server transaction are expected to answer the request on it.
//
// Ownership: the application creates it and hands it to the call manager,
// which holds it through a counted handle for its whole life. The defaults
// keep no state, so one object may serve every thread at once.

#include "mlapi/NvSipMlApiAfx.h"

class NvSipServerTransaction;

class NVSIPMLAPI_EXPORT NvSipCallStrayInterface : public NvObject {
public:
    ~NvSipCallStrayInterface() override;

    // A response that matches no client transaction and no dialog. Default: dropped.
    virtual void strayResponse(NvHandle<NvSipResponse> response);
    // An ACK that matches no transaction and no dialog. Default: logged at
    // INFO on "lumbrook.sip.message.stray" as "IGNORING RECEIVED SIP ACK
    // (STRAY):", a line break and the ACK; never answered.
    virtual void strayAck(NvHandle<NvSipAckMessage> ack);
    // A CANCEL that matches no INVITE. Default: 481, sent statelessly.
    virtual void strayCancel(NvHandle<NvSipCancelMessage> cancel);
    // A PRACK that matches no dialog. Default: 481, sent statelessly.
    virtual void strayPrack(NvHandle<NvSipPrackMessage> prack);
    // An INVITE whose To tag or Replaces header names no dialog. Default:
    // 481 on `transaction`.
    virtual void strayReplacesInvite(NvHandle<NvSipInviteMessage> invite, NvHandle<NvSipServerTransaction> transaction);
    // A BYE that names no dialog. Default: 481 on `transaction`.
    virtual void strayBye(NvHandle<NvSipByeMessage> bye, NvHandle<NvSipServerTransaction> transaction);
    // Any other request that names no dialog and whose method has no
    // interface registered with the call manager. Default, on `transaction`:
    // with a To tag (a dialog we do not have), 481; without one, an OPTIONS
    // gets 200 with Allow, Accept and Supported (RFC 3261 11.2) and any other
    // method 405 with Allow (8.2.1), where answering 481 to every such request
    // would tell the peer that a dialog it never had is gone (NvSipCapabilities
    // says what is allowed, accepted and supported).
    virtual void strayUnknownRequest(NvHandle<NvSipRequest> request, NvHandle<NvSipServerTransaction> transaction);
    // A response whose top Via is not ours. Default: dropped.
    virtual void invalidMessage(NvHandle<NvSipMessage> message);
    // A message missing a mandatory header. Default: a request gets 400,
    // sent statelessly; a response, an ACK (never answered, RFC 3261 17.1.1.3)
    // and a request without Via (nowhere to send to) are dropped.
    virtual void malFormedMessage(NvHandle<NvSipMessage> message);
};
