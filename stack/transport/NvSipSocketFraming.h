#pragma once
// Private to the socket transport (NvSipSocketTransport.cpp) and its tests.
//
// NvSipStreamFramer cuts the bytes of one stream connection into SIP
// messages. Between messages it skips CRLF keep-alives and reports a
// double-CRLF ping (RFC 5626 3.5.1), which the connection answers with one
// CRLF. It refuses, as soon as it can tell, bytes that cannot start a SIP
// message: a first line that is not a request or status line, control
// characters in it, or anything NvSipParser::sFrameLength rejects (lines or
// messages beyond the parser's limits).
//
// Not synchronised: one framer belongs to one connection and is used on the
// monitor thread only.
//
// NvSipSocketLimits holds the datagram limit of the UDP sockets; tests lower
// it to prove that oversized datagrams are dropped.

#include <cstddef>
#include <string>
#include <string_view>

struct NvSipSocketLimits {
    // A datagram longer than this is dropped with a log line. Defaults to
    // NvSipParser::kMaxMessageBytes.
    static size_t sm_MaxDatagramBytes;
};

class NvSipStreamFramer {
public:
    enum class Result {
        NeedMore,  // no complete message yet
        Message,   // `message` holds the next complete message
        Ping,      // a double CRLF arrived between messages
        Garbage,   // the bytes cannot be a SIP message; `reason` says why
    };

    void append(const char* data, size_t length);

    // Takes the next thing out of the buffer. `message` stays valid until the
    // next call of append() or next(). After Garbage the framer is spent:
    // every later call returns Garbage again.
    Result next(std::string_view& message, std::string& reason);

    // Bytes held towards a message not complete yet (keep-alive CRLFs not counted).
    size_t pending() const;

private:
    Result garbage(std::string& reason, std::string text);
    void compact();

    std::string m_Buffer;
    size_t m_Start = 0;  // first byte not yet taken
    std::string m_Garbage;  // reason once the stream was found to be garbage
};
