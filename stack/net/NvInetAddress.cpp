#include "stack/net/NvInetAddress.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

NvInetAddress::NvInetAddress(const in_addr& address) : m_Family(Family::IPv4), m_V4(address) {}

NvInetAddress::NvInetAddress(const in6_addr& address) : m_Family(Family::IPv6), m_V6(address) {}

NvInetAddress NvInetAddress::sParse(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return NvInetAddress();
    const std::string copy(text);
    in_addr v4;
    if (inet_pton(AF_INET, copy.c_str(), &v4) == 1) return NvInetAddress(v4);
    in6_addr v6;
    if (inet_pton(AF_INET6, copy.c_str(), &v6) == 1) return NvInetAddress(v6);
    return NvInetAddress();
}

bool NvInetAddress::isWildcard() const {
    if (m_Family == Family::IPv4) return m_V4.s_addr == htonl(INADDR_ANY);
    return m_Family == Family::IPv6 && IN6_IS_ADDR_UNSPECIFIED(&m_V6);
}

bool NvInetAddress::isLoopback() const {
    if (m_Family == Family::IPv4) return (ntohl(m_V4.s_addr) >> 24) == 127;
    return m_Family == Family::IPv6 && IN6_IS_ADDR_LOOPBACK(&m_V6);
}

NvString NvInetAddress::toString() const {
    char text[INET6_ADDRSTRLEN] = "";
    if (m_Family == Family::IPv4)
        inet_ntop(AF_INET, &m_V4, text, sizeof text);
    else if (m_Family == Family::IPv6)
        inet_ntop(AF_INET6, &m_V6, text, sizeof text);
    return NvString(text);
}

bool operator==(const NvInetAddress& a, const NvInetAddress& b) {
    if (a.m_Family != b.m_Family) return false;
    if (a.m_Family == NvInetAddress::Family::IPv4) return a.m_V4.s_addr == b.m_V4.s_addr;
    if (a.m_Family == NvInetAddress::Family::IPv6) return std::memcmp(&a.m_V6, &b.m_V6, sizeof a.m_V6) == 0;
    return true;
}
