#pragma once
// NvSipParseException: raised when SIP text cannot be read. The message names
// what was wrong and, where it helps, the offending value; parsing never
// stops on anything but this exception.

#include "stack/base/NvException.h"

class NvSipParseException : public NvException {
public:
    static const char* const sDebugToken;  // "NvSipParseException"

    explicit NvSipParseException(NvString message) : NvException(std::move(message)) {}

    [[noreturn]] static void sThrow(const NvString& message);
};
