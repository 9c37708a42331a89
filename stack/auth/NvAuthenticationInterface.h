#pragma once
// NvAuthenticationInterface: the process's authentication policy, used on
// both sides of a transaction.
//   - As a server, request() decides whether a new request must first be
//     challenged: it returns the 401/407 challenge to send, or nil to let
//     the request through (it also verifies the credentials of a request
//     that answers an earlier challenge).
//   - As a client, response() is given a 401/407 received for `request`; it
//     adds Authorization / Proxy-Authorization answering the challenge to
//     `request` and returns true, or returns false when it has no
//     credentials for that realm (or the same credentials already failed).
//     `request` is changed in place: a caller that has already sent it
//     clones it (with a new CSeq and branch) before sending it again.
// sm_AuthenticationInterface is the installed policy (null: none). The
// installer owns it and keeps it alive while installed. Implementations are
// called from any thread and must be thread-safe.

#include "stack/base/NvHandle.h"
#include "stack/sip/NvSipMessage.h"

class NvAuthenticationInterface {
public:
    static NvAuthenticationInterface* sm_AuthenticationInterface;

    virtual ~NvAuthenticationInterface();
    virtual NvHandle<NvSipResponse> request(NvHandle<NvSipRequest> request) = 0;
    virtual bool response(NvHandle<NvSipResponse> response, NvHandle<NvSipRequest> request) = 0;
};
