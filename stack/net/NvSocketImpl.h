#pragma once
// Transport kinds and transport-level peers.
//
// NvSocketImpl::Transport numbers the transports as the stack stores them
// (UDP 0, TCP 1). NvSipPeer names one end of a SIP hop: transport, address,
// port, and for stream transports the connection a message travelled on;
// for datagrams, also our own end of the hop (the listen point).

#include "stack/net/NvInetAddress.h"

#include <cstdint>
#include <string>
#include <string_view>

class NvSocketImpl {
public:
    enum Transport : uint8_t { UDP = 0, TCP = 1 };
    // "UDP" or "TCP".
    static const char* sName(Transport transport);
    // Reads "udp"/"tcp" in any case; false for anything else.
    static bool sParse(std::string_view name, Transport& transport);
};

struct NvSipPeer {
    NvSocketImpl::Transport transport = NvSocketImpl::UDP;
    NvInetAddress address;
    uint16_t port = 0;
    // Stream connection the message came on or goes out on; 0 for none.
    uint32_t connection = 0;
    // UDP: the local socket (listen point address and port) a message came
    // in on, or that a response must leave from (RFC 3581 4); port 0: any.
    NvInetAddress localAddress;
    uint16_t localPort = 0;

    // "udp:192.0.2.1:5060" (IPv6 addresses in brackets).
    std::string toString() const;
};
