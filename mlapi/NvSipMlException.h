#pragma once
// NvSipMlException: the one exception the call-control library raises
// itself, for preconditions an application can break (a missing dialog, a
// missing participant or Contact, a null callback interface). It travels
// like the stack's own exceptions: raised as NvHandle<NvException>, so
//     catch (NvHandle<NvException>& e) { e->getMessage(); }
// catches both. Immutable once raised; safe to read from any thread.

#include "mlapi/NvSipMlApiAfx.h"

class NVSIPMLAPI_EXPORT NvSipMlException : public NvException {
public:
    static const char* const sDebugToken;  // "NvSipMlException"

    explicit NvSipMlException(const char* message) : NvException(message ? message : "Unknown Exception") {}
    ~NvSipMlException() override;

    using NvException::display;
    // "!! NvSipMlException !!\n", the object's own description, "\n", the message.
    void display(NvOutputStream& out) const override;

    // Raises a new exception whose message is `message` ("Unknown Exception"
    // when null). The class and function names are for the caller's
    // reference only and do not reach the exception. Never returns.
    [[noreturn]] static void sThrow(const char* message, const char* className, const char* functionName);
    // Raises `exception` through the stack's mechanism. Never returns.
    [[noreturn]] static void sThrow(NvSipMlException* exception);
};
