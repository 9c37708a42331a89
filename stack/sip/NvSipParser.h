#pragma once
// NvSipParser: turns bytes into an NvSipMessage.
//
// It accepts what RFC 3261's grammar allows and real peers send: folded
// header lines, compact names, several values on one line, names in any
// case, quoted strings with escapes, IPv6 references, lines ended by CRLF or
// a bare LF, and leading blank lines. A control character (HT aside) is
// accepted in a header only as the octet a quoted-pair escapes inside a
// quoted string, never in the start line. It rejects anything else with
// NvSipParseException naming the problem. Input of any content is safe: no
// read goes past the buffer, and the work is linear in its size.
//
// Limits (larger input is rejected, never buffered):
//   kMaxMessageBytes   65535  a whole message, headers and body
//   kMaxLineBytes       8192  one header line after unfolding, or the start line
//   kMaxHeaders          256  header values in one message
// Stateless and thread-safe.

#include "stack/sip/NvSipMessage.h"

#include <cstddef>
#include <string_view>

class NvSipParser {
public:
    static constexpr size_t kMaxMessageBytes = 65535;
    static constexpr size_t kMaxLineBytes = 8192;
    static constexpr size_t kMaxHeaders = 256;

    // Parses one message as a datagram carries it: the body is what follows
    // the headers, cut to Content-Length; a Content-Length beyond the bytes
    // present is an error.
    static NvHandle<NvSipMessage> sParse(const char* data, size_t length);

    // For stream transports: the size of the first complete message in
    // `data` (leading blank lines included), or 0 when more bytes are
    // needed. Raises NvSipParseException when the bytes cannot start a valid
    // message within the limits.
    static size_t sFrameLength(const char* data, size_t length);

    // Checks one complete start line (without its line end) by the rules
    // sParse applies: a SIP/2.0 Request-Line or Status-Line. Raises
    // NvSipParseException naming the problem.
    static void sCheckStartLine(std::string_view line);
};
