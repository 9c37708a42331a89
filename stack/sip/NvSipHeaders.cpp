#include "stack/sip/NvSipHeaders.h"

#include "stack/sip/NvSipIdentifiers.h"
#include "stack/sip/NvSipParseException.h"
#include "stack/sip/NvSipText.h"

#include <cctype>

using namespace NvSipText;

const char* const NvSipFromHeader::sToken = "From";
const char* const NvSipToHeader::sToken = "To";
const char* const NvSipContactHeader::sToken = "Contact";
const char* const NvSipRouteHeader::sToken = "Route";
const char* const NvSipRecordRouteHeader::sToken = "Record-Route";
const char* const NvSipReferToHeader::sToken = "Refer-To";
const char* const NvSipViaHeader::sToken = "Via";
const char* const NvSipViaHeader::sMagicCookie = "z9hG4bK";
const char* const NvSipCSeqHeader::sToken = "CSeq";
const char* const NvSipCallIDHeader::sToken = "Call-ID";
const char* const NvSipMaxForwardsHeader::sToken = "Max-Forwards";
const char* const NvSipContentLengthHeader::sToken = "Content-Length";
const char* const NvSipRSeqHeader::sToken = "RSeq";
const char* const NvSipMinSEHeader::sToken = "Min-SE";
const char* const NvSipSessionExpiresHeader::sToken = "Session-Expires";
const char* const NvSipSessionExpiresHeader::sRefresher = "refresher";
const char* const NvSipSessionExpiresHeader::uacRefresher = "uac";
const char* const NvSipSessionExpiresHeader::uasRefresher = "uas";
const char* const NvSipRetryAfterHeader::sToken = "Retry-After";
const char* const NvSipRAckHeader::sToken = "RAck";
const char* const NvSipRequireHeader::sToken = "Require";
const char* const NvSipSupportedHeader::sToken = "Supported";
const char* const NvSipContentTypeHeader::sToken = "Content-Type";
const char* const NvSipEventHeader::sToken = "Event";
const char* const NvSipReplacesHeader::sToken = "Replaces";
const char* const NvSipAuthorizationHeader::sToken = "Authorization";
const char* const NvSipProxyAuthorizationHeader::sToken = "Proxy-Authorization";
const char* const NvSipWWWAuthenticateHeader::sToken = "WWW-Authenticate";
const char* const NvSipProxyAuthenticateHeader::sToken = "Proxy-Authenticate";

namespace {

[[noreturn]] void bad(const char* header, const std::string& why, std::string_view value) {
    NvSipParseException::sThrow(std::string("Bad ") + header + " header: " + why + " in '" +
                                std::string(value.substr(0, 120)) + "'");
}

bool isParamValueChar(char c) { return isTokenChar(c) || c == ':' || c == '[' || c == ']'; }
bool isAlnumChar(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// token68 (RFC 7235): credentials written as one opaque word, such as the
// base64 of Basic, which may end in '=' padding.
bool isToken68(std::string_view text) {
    size_t i = 0;
    const std::string_view marks("-._~+/");
    while (i < text.size() && (isAlnumChar(text[i]) || marks.find(text[i]) != std::string_view::npos)) ++i;
    if (i == 0) return false;
    while (i < text.size() && text[i] == '=') ++i;
    return i == text.size();
}

size_t skipLws(std::string_view text, size_t i) {
    while (i < text.size() && isLws(text[i])) ++i;
    return i;
}

// Reads a token starting at `i`; returns it and moves `i` past it.
std::string_view readToken(std::string_view text, size_t& i) {
    const size_t start = i;
    while (i < text.size() && isTokenChar(text[i])) ++i;
    return text.substr(start, i - start);
}

}  // namespace

// ---------------------------------------------------------------- addresses

NvSipNameAddressHeader::NvSipNameAddressHeader(const NvSipNameAddressHeader& other) : NvSipHeader(other) {
    if (other.m_hAddress) m_hAddress = NvHandle<NvSipNameAddress>(static_cast<NvSipNameAddress*>(other.m_hAddress->clone()));
}

NvString NvSipNameAddressHeader::getParameter(std::string_view name) const {
    return m_hAddress ? m_hAddress->getParameter(name) : NvString();
}

void NvSipNameAddressHeader::setParameter(std::string_view name, std::string_view value) {
    if (!m_hAddress) NvException::sThrow("Cannot set a parameter on a header without an address");
    m_hAddress->setParameter(name, value);
}

bool NvSipNameAddressHeader::removeParameter(std::string_view name) {
    return m_hAddress && m_hAddress->parameters().remove(name);
}

void NvSipNameAddressHeader::appendValue(std::string& out) const {
    if (m_hAddress) m_hAddress->appendTo(out);
}

void NvSipNameAddressHeader::parseValue(std::string_view value) {
    m_hAddress = NvSipNameAddress::sParse(value);
    // Route and Record-Route take a name-addr: in "sip:p.example.com;lr" the
    // ";lr" would be a header parameter where the sender meant a URI one.
    const NvSipHeaderID id = getID();
    if ((id == NvSipHeaderID::Route || id == NvSipHeaderID::RecordRoute) && !m_hAddress->hasAngleBrackets() &&
        !m_hAddress->parameters().isEmpty())
        bad(getName().c_str(), "a URI followed by parameters must be in angle brackets", value);
}

void NvSipContactHeader::appendValue(std::string& out) const {
    if (isWildcard())
        out += '*';
    else
        NvSipNameAddressHeader::appendValue(out);
}

void NvSipContactHeader::parseValue(std::string_view value) {
    if (trim(value) == "*")
        m_hAddress = nullptr;
    else
        NvSipNameAddressHeader::parseValue(value);
}

// ---------------------------------------------------------------- Via

NvSipViaHeader::NvSipViaHeader(std::string_view transport, std::string_view host, uint16_t port)
    : m_Transport(transport), m_Host(host), m_Port(port) {}

void NvSipViaHeader::setBranchRFC3261() {
    setBranch(std::string(sMagicCookie) + NvSipRandom::sHex(16));
}

bool NvSipViaHeader::hasRFC3261Branch() const {
    return getBranchView().substr(0, 7) == sMagicCookie;
}

std::string NvSipViaHeader::getCanonicalSentBy() const {
    std::string_view host = m_Host;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    std::string out;
    out.reserve(host.size() + 6);
    for (char c : host) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    out += ':';
    out += std::to_string(m_Port ? m_Port : (equalsIgnoreCase(m_Transport, "TLS") ? 5061 : 5060));
    return out;
}

void NvSipViaHeader::parseValue(std::string_view value) {
    value = trim(value);
    // sent-protocol: name "/" version "/" transport, with optional LWS around '/'.
    size_t i = 0;
    std::string_view parts[3];
    for (int n = 0; n < 3; ++n) {
        i = skipLws(value, i);
        parts[n] = readToken(value, i);
        if (parts[n].empty()) bad("Via", "malformed sent-protocol", value);
        if (n < 2) {
            i = skipLws(value, i);
            if (i >= value.size() || value[i] != '/') bad("Via", "expected '/' in sent-protocol", value);
            ++i;
        }
    }
    if (!equalsIgnoreCase(parts[0], "SIP")) bad("Via", "protocol is not SIP", value);
    if (parts[1] != "2.0") bad("Via", "unsupported SIP version " + std::string(parts[1]), value);
    m_Protocol = std::string(parts[0]) + "/" + std::string(parts[1]);
    m_Transport.assign(parts[2]);
    if (i >= value.size() || !isLws(value[i])) bad("Via", "missing sent-by", value);
    i = skipLws(value, i);

    // sent-by: host [":" port]
    const size_t paramsStart = value.find(';', i);
    std::string_view sentBy = trim(value.substr(i, paramsStart == std::string_view::npos ? value.npos : paramsStart - i));
    size_t portColon;
    if (!sentBy.empty() && sentBy[0] == '[') {
        const size_t close = sentBy.find(']');
        if (close == std::string_view::npos) bad("Via", "unterminated IPv6 reference", value);
        portColon = close + 1 < sentBy.size() ? close + 1 : std::string_view::npos;
        if (portColon != std::string_view::npos && sentBy[portColon] != ':') bad("Via", "text after the host", value);
    } else {
        portColon = sentBy.find(':');
        if (portColon != std::string_view::npos && sentBy.find(':', portColon + 1) != std::string_view::npos)
            bad("Via", "IPv6 address '" + std::string(sentBy) + "' must be enclosed in brackets", value);
    }
    m_Port = 0;
    if (portColon != std::string_view::npos) {
        const uint32_t port = parseUInt32(trim(sentBy.substr(portColon + 1)), "Via port");
        if (port == 0 || port > 65535) bad("Via", "port out of range", value);
        m_Port = static_cast<uint16_t>(port);
        sentBy = trim(sentBy.substr(0, portColon));
    }
    // Validate the host with the URL rules.
    try {
        NvSipURL check;
        check.setHost(sentBy);
    } catch (NvHandle<NvException>&) {
        bad("Via", "malformed host '" + std::string(sentBy) + "'", value);
    }
    m_Host.assign(sentBy);
    m_Parameters.clear();
    if (paramsStart != std::string_view::npos)
        m_Parameters.parse(value.substr(paramsStart), isTokenChar, isParamValueChar, true, "Via parameter");
}

void NvSipViaHeader::appendValue(std::string& out) const {
    out += m_Protocol;
    out += '/';
    out += m_Transport;
    out += ' ';
    out += m_Host;
    if (m_Port) {
        out += ':';
        out += std::to_string(m_Port);
    }
    m_Parameters.appendTo(out);
}

// ---------------------------------------------------------------- CSeq, Call-ID

void NvSipCSeqHeader::parseValue(std::string_view value) {
    value = trim(value);
    size_t i = 0;
    while (i < value.size() && !isLws(value[i])) ++i;
    const uint32_t number = parseUInt32(value.substr(0, i), "CSeq number");
    if (number > 0x7fffffffu) bad("CSeq", "sequence number must be below 2^31", value);
    i = skipLws(value, i);
    const std::string_view method = value.substr(i);
    if (!isToken(method)) bad("CSeq", "missing or malformed method", value);
    m_Number = number;
    m_Method.assign(method);
}

void NvSipCSeqHeader::appendValue(std::string& out) const {
    out += std::to_string(m_Number);
    out += ' ';
    out += m_Method;
}

void NvSipCallIDHeader::parseValue(std::string_view value) {
    value = trim(value);
    const size_t at = value.find('@');
    const bool valid = at == std::string_view::npos ? isWord(value)
                                                     : isWord(value.substr(0, at)) && isWord(value.substr(at + 1));
    if (!valid) bad("Call-ID", "not a word[@word]", value);
    m_CallID = NvString(value);
}

// ---------------------------------------------------------------- numbers

void NvSipNumberHeader::parseValue(std::string_view value) {
    value = trim(value);
    size_t i = 0;
    while (i < value.size() && value[i] >= '0' && value[i] <= '9') ++i;
    const std::string_view digits = value.substr(0, i);
    if (digits.empty()) bad(getName().c_str(), "expected a number", value);
    const uint32_t number = parseUInt32(digits, getName().c_str());
    if (number > maxValue()) bad(getName().c_str(), "value above " + std::to_string(maxValue()), value);
    const std::string_view rest = value.substr(i);
    m_Parameters.clear();
    if (!trim(rest).empty()) {
        if (!allowsParameters()) bad(getName().c_str(), "unexpected text after the number", value);
        m_Parameters.parse(rest, isTokenChar, isParamValueChar, true, getName().c_str());
    }
    m_Number = number;
}

void NvSipNumberHeader::appendValue(std::string& out) const {
    out += std::to_string(m_Number);
    m_Parameters.appendTo(out);
}

void NvSipRetryAfterHeader::parseValue(std::string_view value) {
    value = trim(value);
    // delta-seconds [ comment ] *( ";" retry-param )
    size_t i = 0;
    while (i < value.size() && value[i] >= '0' && value[i] <= '9') ++i;
    std::string rest(value.substr(i));
    std::string_view tail = trim(std::string_view(rest));
    m_Comment.clear();
    if (!tail.empty() && tail[0] == '(') {
        int depth = 0;
        size_t j = 0;
        for (; j < tail.size(); ++j) {
            if (tail[j] == '\\') {
                ++j;
                continue;
            }
            if (tail[j] == '(') ++depth;
            if (tail[j] == ')' && --depth == 0) break;
        }
        if (depth != 0 || j >= tail.size()) bad("Retry-After", "unterminated comment", value);
        m_Comment.assign(tail.substr(1, j - 1));
        tail = tail.substr(j + 1);
    }
    const std::string digitsAndParams = std::string(value.substr(0, i)) + std::string(tail);
    NvSipNumberHeader::parseValue(digitsAndParams);
}

void NvSipRetryAfterHeader::appendValue(std::string& out) const {
    out += std::to_string(m_Number);
    if (!m_Comment.empty()) {
        out += " (";
        out += m_Comment;
        out += ')';
    }
    m_Parameters.appendTo(out);
}

void NvSipRAckHeader::parseValue(std::string_view value) {
    value = trim(value);
    size_t i = 0;
    auto number = [&](const char* what) {
        i = skipLws(value, i);
        const size_t start = i;
        while (i < value.size() && !isLws(value[i])) ++i;
        return parseUInt32(value.substr(start, i - start), what);
    };
    m_RSeq = number("RAck response number");
    m_CSeq = number("RAck CSeq number");
    i = skipLws(value, i);
    const std::string_view method = value.substr(i);
    if (!isToken(method)) bad("RAck", "missing or malformed method", value);
    m_Method.assign(method);
}

void NvSipRAckHeader::appendValue(std::string& out) const {
    out += std::to_string(m_RSeq);
    out += ' ';
    out += std::to_string(m_CSeq);
    out += ' ';
    out += m_Method;
}

// ---------------------------------------------------------------- option tags

bool NvSipOptionTagHeader::contains(std::string_view tag) const {
    for (const std::string& t : m_Tags)
        if (equalsIgnoreCase(t, tag)) return true;
    return false;
}

void NvSipOptionTagHeader::addTag(std::string_view tag) {
    if (!contains(tag)) m_Tags.emplace_back(tag);
}

void NvSipOptionTagHeader::parseValue(std::string_view value) {
    m_Tags.clear();
    if (trim(value).empty()) return;  // "Supported:" with no tags is allowed
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string_view::npos) comma = value.size();
        const std::string_view tag = trim(value.substr(start, comma - start));
        if (!isToken(tag)) bad(getName().c_str(), "malformed option tag", value);
        m_Tags.emplace_back(tag);
        start = comma + 1;
    }
}

void NvSipOptionTagHeader::appendValue(std::string& out) const {
    for (size_t i = 0; i < m_Tags.size(); ++i) {
        if (i) out += ", ";
        out += m_Tags[i];
    }
}

// ---------------------------------------------------------------- typed values with parameters

void NvSipTokenHeader::parseValue(std::string_view value) {
    value = trim(value);
    const size_t semicolon = value.find(';');
    std::string_view main = trim(value.substr(0, semicolon));
    if (!isValidValue(main)) bad(getName().c_str(), "malformed value", value);
    m_Value.assign(main);
    m_Parameters.clear();
    if (semicolon != std::string_view::npos)
        m_Parameters.parse(value.substr(semicolon), isTokenChar, isParamValueChar, true, getName().c_str());
}

void NvSipTokenHeader::appendValue(std::string& out) const {
    out += m_Value;
    m_Parameters.appendTo(out);
}

NvSipContentTypeHeader::NvSipContentTypeHeader(std::string_view mediaType) {
    parseValue(mediaType);
}

bool NvSipContentTypeHeader::isValidValue(std::string_view value) const {
    const size_t slash = value.find('/');
    return slash != std::string_view::npos && isToken(trim(value.substr(0, slash))) &&
           isToken(trim(value.substr(slash + 1)));
}

bool NvSipEventHeader::isValidValue(std::string_view value) const { return isToken(value); }

NvSipReplacesHeader::NvSipReplacesHeader(std::string_view callId, std::string_view toTag, std::string_view fromTag) {
    m_Value.assign(callId);
    m_Parameters.setValue("to-tag", toTag);
    m_Parameters.setValue("from-tag", fromTag);
}

bool NvSipReplacesHeader::isValidValue(std::string_view value) const {
    const size_t at = value.find('@');
    return at == std::string_view::npos ? isWord(value) : isWord(value.substr(0, at)) && isWord(value.substr(at + 1));
}

// ---------------------------------------------------------------- authentication

void NvSipAuthHeader::setParameter(std::string_view name, std::string_view value, bool quoted) {
    m_Parameters.setValue(name, value, quoted);
}

void NvSipAuthHeader::parseValue(std::string_view value) {
    value = trim(value);
    size_t i = 0;
    const std::string_view scheme = readToken(value, i);
    if (scheme.empty()) bad(getName().c_str(), "missing scheme", value);
    m_Scheme.assign(scheme);
    m_Parameters.clear();
    // The auth-params are ',' separated; reuse the ';' parameter reader on
    // each one so that quoting and escapes follow the same rules.
    std::string_view rest = value.substr(i);
    bool first = true;
    while (!trim(rest).empty()) {
        const size_t comma = findUnquoted(rest, ',');
        const std::string_view item = trim(rest.substr(0, comma));
        if (item.empty()) bad(getName().c_str(), "empty parameter", value);
        const size_t equals = item.find('=');
        // Right after the scheme the credentials may be a token68 ("Basic
        // dXNlcg=="): kept whole, like a parameter without a value.
        const bool token68 = first && comma == std::string_view::npos && isToken68(item);
        first = false;
        if (equals == std::string_view::npos || token68) {
            // Token68 form ("Basic dXNlcg==") or a lone token: keep as a flag.
            if (!isToken(item) && item.find_first_of(" \t\"") != std::string_view::npos)
                bad(getName().c_str(), "malformed parameter", value);
            m_Parameters.setFlag(item);
        } else {
            NvParameters one;
            one.parse(";" + std::string(item), isTokenChar, isParamValueChar, true, getName().c_str());
            // One name=value per item: "realm;x=y" is not an auth-param.
            if (one.list().size() != 1 || !one.list().front().hasValue)
                bad(getName().c_str(), "malformed parameter", value);
            const auto& p = one.list().front();
            setParameter(p.name, p.value, p.quoted);
        }
        if (comma == std::string_view::npos) break;
        rest = rest.substr(comma + 1);
    }
}

void NvSipAuthHeader::appendValue(std::string& out) const {
    out += m_Scheme;
    bool first = true;
    for (const auto& p : m_Parameters.list()) {
        out += first ? " " : ", ";
        first = false;
        out += p.name;
        if (!p.hasValue) continue;
        out += '=';
        if (p.quoted) out += '"';
        out += p.value;
        if (p.quoted) out += '"';
    }
}
