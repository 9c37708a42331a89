#pragma once
// NvInetAddress: an IPv4 or IPv6 address (no port), a small value type.
// Built from text or from a socket address; printed in the form SIP writes
// hosts (IPv6 without brackets; NvSipURL adds them).

#include "stack/base/NvString.h"

#include <netinet/in.h>

#include <cstdint>

class NvInetAddress {
public:
    enum class Family : uint8_t { None, IPv4, IPv6 };

    NvInetAddress() = default;
    explicit NvInetAddress(const in_addr& address);
    explicit NvInetAddress(const in6_addr& address);
    // Parses a numeric IPv4 or IPv6 address (brackets allowed around IPv6).
    // Returns an address of family None when the text is not one.
    static NvInetAddress sParse(std::string_view text);

    Family getFamily() const { return m_Family; }
    bool isValid() const { return m_Family != Family::None; }
    // 0.0.0.0 or :: (bind to every interface).
    bool isWildcard() const;
    // 127.0.0.0/8 or ::1.
    bool isLoopback() const;
    NvString toString() const;
    const in_addr& ipv4() const { return m_V4; }
    const in6_addr& ipv6() const { return m_V6; }

    friend bool operator==(const NvInetAddress& a, const NvInetAddress& b);
    friend bool operator!=(const NvInetAddress& a, const NvInetAddress& b) { return !(a == b); }

private:
    Family m_Family = Family::None;
    in_addr m_V4{};
    in6_addr m_V6{};
};
