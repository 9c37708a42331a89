#include "stack/sip/NvSipNameAddress.h"

#include "stack/base/NvStream.h"
#include "stack/sip/NvSipParseException.h"
#include "stack/sip/NvSipText.h"

using namespace NvSipText;

namespace {
[[noreturn]] void bad(const std::string& why, std::string_view text) {
    NvSipParseException::sThrow("Bad name-address: " + why + " in '" + std::string(text.substr(0, 120)) + "'");
}
bool isParamValueChar(char c) { return isTokenChar(c) || c == ':' || c == '[' || c == ']'; }

// Position of the first '<' outside quoted strings, or npos.
size_t findLeftAngle(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"')
            i += quotedStringLength(text.substr(i)) - 1;
        else if (text[i] == '<')
            return i;
    }
    return std::string_view::npos;
}

// Largest snapshot record we accept for one name-address.
constexpr uint32_t kMaxStreamedAddress = 64 * 1024;
}  // namespace

NvObject* NvSipNameAddress::clone() const {
    auto* copy = new NvSipNameAddress(*this);
    if (m_hURI) copy->m_hURI = NvHandle<NvURI>(static_cast<NvURI*>(m_hURI->clone()));
    return copy;
}

int NvSipNameAddress::compareWith(const NvObject& other) const {
    const auto* address = dynamic_cast<const NvSipNameAddress*>(&other);
    if (!address) return NvObject::compareWith(other);
    return toString().compare(address->toString());
}

void NvSipNameAddress::display(NvOutputStream& out, bool) const { out << toString(); }

void NvSipNameAddress::setDisplayName(std::string_view name) {
    bool tokens = true;
    for (char c : name) {
        if (!isLineTextChar(c))
            NvException::sThrow("Display name with a control character cannot be written in a message");
        if (!isTokenChar(c) && c != ' ') tokens = false;
    }
    if (tokens) {
        // A run of tokens is written as it is; surrounding spaces would not
        // survive a reading back.
        m_DisplayName.assign(trim(name));
        return;
    }
    m_DisplayName = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\') m_DisplayName += '\\';
        m_DisplayName += c;
    }
    m_DisplayName += '"';
}

NvHandle<NvSipNameAddress> NvSipNameAddress::sParse(std::string_view text) {
    text = trim(text);
    if (text.empty()) bad("empty value", text);
    NvHandle<NvSipNameAddress> address(new NvSipNameAddress());
    size_t i = 0;
    std::string_view afterUri;
    const size_t leftAngle = findLeftAngle(text);
    if (text[0] == '"' || leftAngle != std::string_view::npos) {
        // name-addr: [display-name] "<" addr-spec ">"
        if (text[0] == '"') {
            const size_t length = quotedStringLength(text);
            address->m_DisplayName.assign(text.substr(0, length));
            i = length;
        } else {
            const size_t open = leftAngle;
            const std::string_view name = trim(text.substr(0, open));
            for (char c : name)
                if (!isTokenChar(c) && !isLws(c)) bad("unquoted display name with '" + std::string(1, c) + "'", text);
            address->m_DisplayName.assign(name);
            i = open;
        }
        while (i < text.size() && isLws(text[i])) ++i;
        if (i >= text.size() || text[i] != '<') bad("expected '<' after the display name", text);
        const size_t close = text.find('>', i);
        if (close == std::string_view::npos) bad("missing '>'", text);
        const std::string_view uri = text.substr(i + 1, close - i - 1);
        if (uri.find('<') != std::string_view::npos) bad("'<' inside angle brackets", text);
        if (uri.empty()) bad("empty URI", text);
        address->m_hURI = NvURI::sParse(uri);
        address->m_bAngleBrackets = true;
        afterUri = text.substr(close + 1);
        if (!trim(afterUri).empty() && trim(afterUri)[0] == '>') bad("'>' without '<'", text);
    } else {
        // addr-spec: the URI ends at the first ';' (what follows are header
        // parameters) and may not contain ',', '?' or whitespace.
        const size_t semicolon = text.find(';');
        const std::string_view uri = trim(text.substr(0, semicolon));
        if (uri.find('>') != std::string_view::npos) bad("'>' without '<'", text);
        if (uri.find_first_of(",? \t") != std::string_view::npos)
            bad("a URI with ',', '?' or spaces must be in angle brackets", text);
        address->m_hURI = NvURI::sParse(uri);
        afterUri = semicolon == std::string_view::npos ? std::string_view() : text.substr(semicolon);
    }
    address->m_Parameters.parse(afterUri, isTokenChar, isParamValueChar, true, "header parameter");
    return address;
}

bool NvSipNameAddress::needsBrackets(std::string_view uri) const {
    return m_bAngleBrackets || !m_DisplayName.empty() || !m_hURI || uri.find_first_of(";,?") != std::string::npos;
}

void NvSipNameAddress::appendTo(std::string& out) const {
    if (!m_DisplayName.empty()) {
        out += m_DisplayName;
        out += ' ';
    }
    // The URI is written once, then bracketed if what was written needs it.
    const size_t uri = out.size();
    if (m_hURI) m_hURI->appendTo(out);
    if (needsBrackets(std::string_view(out).substr(uri))) {
        out.insert(uri, 1, '<');
        out += '>';
    }
    m_Parameters.appendTo(out);
}

NvString NvSipNameAddress::toString() const {
    std::string text;
    appendTo(text);
    return NvString(std::move(text));
}

NvOutputStream& operator<<(NvOutputStream& out, const NvHandle<NvSipNameAddress>& address) {
    const std::string text = address ? address->toString().str() : std::string();
    const uint32_t length = static_cast<uint32_t>(text.size());
    const uint8_t bytes[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                              static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
    out.write(bytes, 4);
    out.write(text.data(), text.size());
    return out;
}

NvInputStream& operator>>(NvInputStream& in, NvHandle<NvSipNameAddress>& address) {
    uint8_t bytes[4];
    in.readFully(bytes, 4);
    const uint32_t length = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    if (length == 0) {
        address = nullptr;
        return in;
    }
    if (length > kMaxStreamedAddress)
        NvException::sThrow("Snapshot holds a name-address of " + std::to_string(length) + " bytes: stream is corrupt");
    std::string text(length, '\0');
    in.readFully(&text[0], length);
    address = NvSipNameAddress::sParse(text);
    return in;
}
