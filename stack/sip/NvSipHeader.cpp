#include "stack/sip/NvSipHeader.h"

#include "stack/base/NvStream.h"
#include "stack/sip/NvSipHeaders.h"
#include "stack/sip/NvSipParseException.h"
#include "stack/sip/NvSipText.h"

#include <array>
#include <string>
#include <unordered_map>

const char* const NvSipHeader::sTagToken = "tag";

NvString NvSipHeader::getValue() const {
    std::string text;
    appendValue(text);
    return NvString(std::move(text));
}

void NvSipHeader::appendTo(std::string& out) const {
    if (m_bCompact)
        out += getCompactName();
    else
        out += getName().str();
    out += ": ";
    appendValue(out);
}

void NvSipHeader::display(NvOutputStream& out, bool) const {
    std::string text;
    appendTo(text);
    out << text;
}

bool NvSipHeader::sIsCommaSeparated(NvSipHeaderID id) {
    return id == NvSipHeaderID::Via || id == NvSipHeaderID::Contact || id == NvSipHeaderID::Route ||
           id == NvSipHeaderID::RecordRoute;
}

namespace {

using Factory = NvSipHeader* (*)();

struct HeaderKind {
    const char* name;
    char compact;
    NvSipHeaderID id;
    Factory create;
};

template <class H>
HeaderKind kindOf() {
    return HeaderKind{H::sToken, H::sCompactToken, H::sID, []() -> NvSipHeader* { return new H(); }};
}

// The known headers, looked up by lower-cased full name or compact letter.
class HeaderRegistry {
public:
    HeaderRegistry() {
        const HeaderKind kinds[] = {
            kindOf<NvSipViaHeader>(),           kindOf<NvSipContactHeader>(),
            kindOf<NvSipFromHeader>(),          kindOf<NvSipToHeader>(),
            kindOf<NvSipCSeqHeader>(),          kindOf<NvSipCallIDHeader>(),
            kindOf<NvSipRouteHeader>(),         kindOf<NvSipRecordRouteHeader>(),
            kindOf<NvSipMaxForwardsHeader>(),   kindOf<NvSipRSeqHeader>(),
            kindOf<NvSipRAckHeader>(),          kindOf<NvSipRequireHeader>(),
            kindOf<NvSipSupportedHeader>(),     kindOf<NvSipSessionExpiresHeader>(),
            kindOf<NvSipMinSEHeader>(),         kindOf<NvSipReplacesHeader>(),
            kindOf<NvSipRetryAfterHeader>(),    kindOf<NvSipContentLengthHeader>(),
            kindOf<NvSipContentTypeHeader>(),   kindOf<NvSipAuthorizationHeader>(),
            kindOf<NvSipProxyAuthorizationHeader>(), kindOf<NvSipWWWAuthenticateHeader>(),
            kindOf<NvSipProxyAuthenticateHeader>(),  kindOf<NvSipEventHeader>(),
            kindOf<NvSipReferToHeader>(),
        };
        for (const HeaderKind& kind : kinds) {
            m_ById[static_cast<size_t>(kind.id)] = kind;
            const HeaderKind* stored = &m_ById[static_cast<size_t>(kind.id)];
            m_ByName.emplace(kind.name, stored);
            std::string& lowered = m_LowerNames[static_cast<size_t>(kind.id)];
            for (const char* p = kind.name; *p; ++p) lowered += lower(*p);
            m_ByName.emplace(lowered, stored);
            if (kind.compact) {
                m_ByCompact[static_cast<unsigned char>(kind.compact)] = stored;
                m_ByCompact[static_cast<unsigned char>(kind.compact - 32)] = stored;
            }
        }
    }

    const HeaderKind* find(std::string_view name) const {
        if (name.size() == 1) return m_ByCompact[static_cast<unsigned char>(name[0])];
        // Names as peers usually write them hit the map directly; other
        // spellings are lower-cased first.
        auto found = m_ByName.find(name);
        if (found != m_ByName.end()) return found->second;
        char lowered[32];
        if (name.size() > sizeof lowered) return nullptr;
        for (size_t i = 0; i < name.size(); ++i) lowered[i] = lower(name[i]);
        found = m_ByName.find(std::string_view(lowered, name.size()));
        return found != m_ByName.end() ? found->second : nullptr;
    }

    const HeaderKind& byId(NvSipHeaderID id) const { return m_ById[static_cast<size_t>(id)]; }

private:
    static char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

    std::array<HeaderKind, static_cast<size_t>(NvSipHeaderID::Unknown)> m_ById{};
    std::array<std::string, static_cast<size_t>(NvSipHeaderID::Unknown)> m_LowerNames{};
    std::unordered_map<std::string_view, const HeaderKind*> m_ByName;
    std::array<const HeaderKind*, 256> m_ByCompact{};
};

const HeaderRegistry& registry() {
    static const HeaderRegistry instance;
    return instance;
}

}  // namespace

NvSipHeaderID NvSipHeader::sIdOf(std::string_view name) {
    const HeaderKind* kind = registry().find(name);
    return kind ? kind->id : NvSipHeaderID::Unknown;
}

NvHandle<NvSipHeader> NvSipHeader::sCreate(std::string_view name, std::string_view value) {
    if (!NvSipText::isToken(name))
        NvSipParseException::sThrow("Bad header name '" + std::string(name.substr(0, 60)) + "'");
    return sCreate(sIdOf(name), name, value);
}

NvHandle<NvSipHeader> NvSipHeader::sCreate(NvSipHeaderID id, std::string_view name, std::string_view value) {
    if (id == NvSipHeaderID::Unknown) return NvHandle<NvSipHeader>(new NvSipGenericHeader(name, value));
    NvHandle<NvSipHeader> header(registry().byId(id).create());
    header->parseValue(value);
    header->setCompact(name.size() == 1);
    return header;
}
