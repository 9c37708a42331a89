#include "stack/sip/NvURI.h"

#include "stack/base/NvStream.h"
#include "stack/sip/NvSipParseException.h"
#include "stack/sip/NvSipText.h"

#include <cstring>

using namespace NvSipText;

namespace {

bool isAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isMark(char c) { return c != '\0' && std::strchr("-_.!~*'()", c) != nullptr; }
bool isUnreserved(char c) { return isAlnum(c) || isMark(c); }
bool isUserChar(char c) { return isUnreserved(c) || (c != '\0' && std::strchr("&=+$,;?/", c) != nullptr); }
bool isPasswordChar(char c) { return isUnreserved(c) || (c != '\0' && std::strchr("&=+$,", c) != nullptr); }
bool isParamChar(char c) {
    return isUnreserved(c) || c == '%' || (c != '\0' && std::strchr("[]/:&+$", c) != nullptr);
}
bool isHeaderChar(char c) {
    return isUnreserved(c) || c == '%' || (c != '\0' && std::strchr("[]/?:+$=&", c) != nullptr);
}
bool isSchemeChar(char c) { return isAlnum(c) || c == '+' || c == '-' || c == '.'; }
bool isUriChar(char c) {
    // Anything printable but whitespace, quotes and angle brackets.
    return c > 0x20 && c < 0x7f && c != '"' && c != '<' && c != '>';
}

[[noreturn]] void bad(const std::string& why, std::string_view text) {
    NvSipParseException::sThrow("Bad URI: " + why + " in '" + std::string(text.substr(0, 120)) + "'");
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Four decimal octets, each 0-255 in at most three digits.
bool isValidIPv4(std::string_view text) {
    int octets = 0;
    size_t i = 0;
    for (;;) {
        const size_t start = i;
        unsigned value = 0;
        while (i < text.size() && isDigit(text[i]) && i - start < 3)
            value = value * 10 + static_cast<unsigned>(text[i++] - '0');
        if (i == start || value > 255) return false;
        ++octets;
        if (i == text.size()) return octets == 4;
        if (text[i] != '.' || octets == 4) return false;
        ++i;
    }
}

// Groups of 1-4 hex digits separated by single colons: their number, or -1
// when malformed. Empty text has none.
int countHexGroups(std::string_view text) {
    if (text.empty()) return 0;
    int groups = 0;
    size_t start = 0;
    for (;;) {
        const size_t colon = text.find(':', start);
        const std::string_view group = text.substr(start, colon == std::string_view::npos ? colon : colon - start);
        if (group.empty() || group.size() > 4) return -1;
        for (char c : group)
            if (!isHexDigit(c)) return -1;
        ++groups;
        if (colon == std::string_view::npos) return groups;
        start = colon + 1;
    }
}

// An IPv6 address (RFC 4291 text form): eight groups, or fewer around one
// "::", the last two of which may be written as an IPv4 address.
bool isValidIPv6(std::string_view address) {
    const size_t lastColon = address.rfind(':');
    if (lastColon == std::string_view::npos) return false;
    int groups = 8;
    std::string_view hex = address;
    const std::string_view tail = address.substr(lastColon + 1);
    if (tail.find('.') != std::string_view::npos) {
        if (!isValidIPv4(tail)) return false;
        groups = 6;
        // Keep a "::" that comes right before the IPv4 part.
        hex = address.substr(0, lastColon > 0 && address[lastColon - 1] == ':' ? lastColon + 1 : lastColon);
    }
    const size_t elided = hex.find("::");
    if (elided == std::string_view::npos) return countHexGroups(hex) == groups;
    if (hex.find("::", elided + 1) != std::string_view::npos) return false;
    const int left = countHexGroups(hex.substr(0, elided));
    const int right = countHexGroups(hex.substr(elided + 2));
    return left >= 0 && right >= 0 && left + right < groups;
}

bool isValidHostName(std::string_view host) {
    if (host.empty()) return false;
    for (char c : host)
        if (!isAlnum(c) && c != '-' && c != '.' && c != '_') return false;
    return host.front() != '.' && host.front() != '-';
}

void checkHost(std::string_view host, std::string_view whole) {
    if (!host.empty() && host.front() == '[') {
        if (host.back() != ']' || !isValidIPv6(host.substr(1, host.size() - 2)))
            bad("malformed IPv6 reference '" + std::string(host) + "'", whole);
    } else if (!isValidHostName(host)) {
        bad(host.empty() ? std::string("missing host") : "malformed host '" + std::string(host) + "'", whole);
    }
}

}  // namespace

NvString NvURI::toString() const {
    std::string text;
    appendTo(text);
    return NvString(std::move(text));
}

int NvURI::compareWith(const NvObject& other) const {
    const NvURI* uri = dynamic_cast<const NvURI*>(&other);
    if (!uri) return NvObject::compareWith(other);
    return toString().compare(uri->toString());
}

uint32_t NvURI::hashCode() const { return toString().hashCode(); }

void NvURI::display(NvOutputStream& out, bool) const { out << toString(); }

NvHandle<NvURI> NvURI::sParse(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) bad("missing scheme", text);
    const std::string_view scheme = text.substr(0, colon);
    for (char c : scheme)
        if (!isSchemeChar(c)) bad("malformed scheme", text);
    if (!isAlnum(scheme.front()) || (scheme.front() >= '0' && scheme.front() <= '9')) bad("malformed scheme", text);
    if (equalsIgnoreCase(scheme, "sip") || equalsIgnoreCase(scheme, "sips"))
        return NvHandle<NvURI>(new NvSipURL(text));
    const std::string_view rest = text.substr(colon + 1);
    if (rest.empty()) bad("nothing after the scheme", text);
    for (char c : rest)
        if (!isUriChar(c)) bad("character not allowed in a URI", text);
    return NvHandle<NvURI>(new NvGenericURI(std::string(scheme), std::string(rest)));
}

void NvGenericURI::appendTo(std::string& out) const {
    out += m_Scheme;
    out += ':';
    out += m_Rest;
}

NvSipURL::NvSipURL(std::string_view text) : NvURI("sip") { parse(text); }

bool NvSipURL::isSecure() const { return equalsIgnoreCase(m_Scheme, "sips"); }

void NvSipURL::setParameter(std::string_view name, std::string_view value) {
    if (value.empty()) {
        m_Parameters.setFlag(name);
        return;
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string written;
    written.reserve(value.size());
    for (char c : value) {
        if (isParamChar(c) && c != '%') {
            written += c;
        } else {
            const unsigned char byte = static_cast<unsigned char>(c);
            written += '%';
            written += kHex[byte >> 4];
            written += kHex[byte & 0x0f];
        }
    }
    m_Parameters.setValue(name, written, false);
}

void NvSipURL::setHost(std::string_view host) {
    checkHost(host, host);
    m_Host.assign(host);
}

void NvSipURL::parse(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) bad("missing scheme", text);
    const std::string_view scheme = text.substr(0, colon);
    if (!equalsIgnoreCase(scheme, "sip") && !equalsIgnoreCase(scheme, "sips")) bad("not a sip or sips URI", text);
    m_Scheme.assign(scheme);
    std::string_view rest = text.substr(colon + 1);
    for (char c : rest)
        if (!isUriChar(c)) bad("character not allowed in a URI", text);

    const size_t at = rest.find('@');
    if (at != std::string_view::npos) {
        std::string_view userInfo = rest.substr(0, at);
        // The password starts at the first ':' of the userinfo.
        const size_t passwordColon = userInfo.find(':');
        if (passwordColon != std::string_view::npos) {
            const std::string_view password = userInfo.substr(passwordColon + 1);
            if (!isEscapedText(password, isPasswordChar)) bad("malformed password", text);
            m_Password.assign(password);
            m_bHasPassword = true;
            userInfo = userInfo.substr(0, passwordColon);
        }
        if (userInfo.empty()) bad("empty user part before '@'", text);
        if (!isEscapedText(userInfo, isUserChar)) bad("malformed user part", text);
        m_User.assign(userInfo);
        rest = rest.substr(at + 1);
    }

    const size_t headersStart = rest.find('?');
    if (headersStart != std::string_view::npos) {
        const std::string_view headers = rest.substr(headersStart + 1);
        if (headers.empty() || !isEscapedText(headers, isHeaderChar)) bad("malformed URI headers", text);
        m_Headers.assign(headers);
        rest = rest.substr(0, headersStart);
    }

    const size_t paramsStart = rest.find(';');
    std::string_view hostPort = rest.substr(0, paramsStart);
    if (paramsStart != std::string_view::npos) {
        const std::string_view params = rest.substr(paramsStart);
        m_Parameters.parse(params, isParamChar, isParamChar, false, "URI parameter");
        for (const auto& p : m_Parameters.list())
            if (!isEscapedText(p.name, isParamChar) || !isEscapedText(p.value, isParamChar))
                bad("malformed escape in parameter '" + p.name + "'", text);
    }

    size_t portColon = std::string_view::npos;
    if (!hostPort.empty() && hostPort.front() == '[') {
        const size_t close = hostPort.find(']');
        if (close == std::string_view::npos) bad("unterminated IPv6 reference", text);
        if (close + 1 < hostPort.size()) {
            if (hostPort[close + 1] != ':') bad("text after the IPv6 reference", text);
            portColon = close + 1;
        }
    } else {
        portColon = hostPort.find(':');
        if (portColon != std::string_view::npos && hostPort.find(':', portColon + 1) != std::string_view::npos)
            bad("IPv6 address '" + std::string(hostPort) + "' must be enclosed in brackets", text);
    }
    if (portColon != std::string_view::npos) {
        const std::string_view port = hostPort.substr(portColon + 1);
        const uint32_t value = parseUInt32(port, "URI port");
        if (value == 0 || value > 65535) bad("port out of range", text);
        m_Port = static_cast<uint16_t>(value);
        hostPort = hostPort.substr(0, portColon);
    }
    checkHost(hostPort, text);
    m_Host.assign(hostPort);
}

void NvSipURL::appendTo(std::string& out) const {
    out += m_Scheme;
    out += ':';
    if (!m_User.empty()) {
        out += m_User;
        if (m_bHasPassword) {
            out += ':';
            out += m_Password;
        }
        out += '@';
    }
    out += m_Host;
    if (m_Port) {
        out += ':';
        out += std::to_string(m_Port);
    }
    m_Parameters.appendTo(out);
    if (!m_Headers.empty()) {
        out += '?';
        out += m_Headers;
    }
}
