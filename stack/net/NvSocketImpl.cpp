#include "stack/net/NvSocketImpl.h"

#include <strings.h>

const char* NvSocketImpl::sName(Transport transport) { return transport == TCP ? "TCP" : "UDP"; }

bool NvSocketImpl::sParse(std::string_view name, Transport& transport) {
    if (name.size() != 3) return false;
    if (strncasecmp(name.data(), "udp", 3) == 0) {
        transport = UDP;
        return true;
    }
    if (strncasecmp(name.data(), "tcp", 3) == 0) {
        transport = TCP;
        return true;
    }
    return false;
}

std::string NvSipPeer::toString() const {
    std::string text = transport == NvSocketImpl::TCP ? "tcp:" : "udp:";
    const std::string host = address.toString().str();
    if (address.getFamily() == NvInetAddress::Family::IPv6)
        text += "[" + host + "]";
    else
        text += host;
    return text + ":" + std::to_string(port);
}
