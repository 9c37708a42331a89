#include "stack/sip/NvSipHeader.h"

#include "stack/base/NvStream.h"
#include "stack/sip/NvSipHeaders.h"
#include "stack/sip/NvSipParseException.h"
#include "stack/sip/NvSipText.h"

#include <array>
#include <cstring>

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
            m_Kinds[m_Count++] = kind;
            if (kind.compact) m_ByCompact[static_cast<unsigned char>(kind.compact)] = &m_Kinds[m_Count - 1];
        }
    }

    const HeaderKind* find(std::string_view name) const {
        if (name.size() == 1) {
            char c = name[0];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
            return m_ByCompact[static_cast<unsigned char>(c)];
        }
        for (size_t i = 0; i < m_Count; ++i) {
            const HeaderKind& kind = m_Kinds[i];
            if (std::strlen(kind.name) == name.size() && NvSipText::equalsIgnoreCase(kind.name, name)) return &kind;
        }
        return nullptr;
    }

private:
    std::array<HeaderKind, 32> m_Kinds{};
    size_t m_Count = 0;
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
    const HeaderKind* kind = registry().find(name);
    if (!kind) return NvHandle<NvSipHeader>(new NvSipGenericHeader(name, value));
    NvHandle<NvSipHeader> header(kind->create());
    header->parseValue(value);
    header->setCompact(name.size() == 1);
    return header;
}
