#pragma once
// NvSipCapabilities: what this user agent says of itself, in Allow, Accept
// and Supported (RFC 3261 20.5, 20.1, 20.37), and the check of a request's
// Require against what it supports (RFC 3261 8.2.2.3).
//
// Allow lists the methods the library handles itself or hands to its call
// interfaces; Supported lists 100rel, replaces, and timer while
// NvSipDialog::sm_bSupportTimer is set.
//
// Stateless; any thread.

#include "mlapi/NvSipMlApiAfx.h"
#include "stack/transaction/NvSipServerTransaction.h"

#include <string>
#include <string_view>
#include <vector>

class NVSIPMLAPI_EXPORT NvSipCapabilities {
public:
    // "INVITE, ACK, BYE, CANCEL, OPTIONS, PRACK, INFO, NOTIFY, REFER, UPDATE"
    static const char* const sAllow;
    // "application/sdp"
    static const char* const sAccept;

    // The option tags `request` requires that we do not support, in its
    // order; empty when there are none.
    static std::vector<std::string> sUnsupported(const NvSipRequest& request);
    // Adds Allow unless `message` has it, and to its Supported (made when
    // missing) our option tags it does not list: what an INVITE, a 2xx to
    // one, or a 405 says (RFC 3261 13.3.1.4, 8.2.1). `with100rel` false
    // leaves 100rel out, for an INVITE: whether its reliable provisional
    // responses get their PRACK is the application's choice (the callback
    // that would send it does nothing by default).
    static void sAddAllowAndSupported(NvSipMessage& message, bool with100rel = true);
    // Adds Allow, Accept and Supported: what an answer to OPTIONS says (RFC 3261 11.2).
    static void sAddAll(NvSipMessage& answer);
    // Whether `method` is one of sAllow's.
    static bool sAllows(std::string_view method);
    // What the library answers itself on `transaction`: 200 with Allow,
    // Accept and Supported to OPTIONS (RFC 3261 11.2), else `refusal` with
    // Allow and Supported (405 outside a dialog, RFC 3261 8.2.1; in one, 501
    // for a method we do not implement, 500 for a request the application
    // left unanswered, RFC 3261 21.5).
    static NvHandle<NvSipResponse> sAnswer(NvSipServerTransaction& transaction, int refusal);
    // What the library answers in a dialog for an application that did not:
    // sAnswer with 501 for a method outside sAllow, else 500.
    static NvHandle<NvSipResponse> sAnswerUnhandled(NvSipServerTransaction& transaction);
    // Adds Unsupported naming `tags`, for a 420 (RFC 3261 8.2.2.3).
    static void sAddUnsupported(NvSipMessage& refusal, const std::vector<std::string>& tags);
};
