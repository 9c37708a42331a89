#pragma once
// NvSipNameAddress: the value of From, To, Contact, Route, Record-Route and
// Refer-To: an optional display name, a URI, the angle-bracket flag and the
// header parameters that follow (";tag=...", ";expires=...").
//
// The angle-bracket flag records whether the URI is written inside '<' '>'.
// Brackets are written whenever the grammar needs them (a display name, or a
// URI carrying parameters, headers, ',' ';' or '?') even when the flag is
// off. Held by handle; clone() before sharing one between two messages that
// threads may change.

#include "stack/base/NvHandle.h"
#include "stack/base/NvString.h"
#include "stack/sip/NvParameters.h"
#include "stack/sip/NvURI.h"

#include <string>
#include <string_view>

class NvInputStream;
class NvOutputStream;

class NvSipNameAddress : public NvObject {
public:
    NvSipNameAddress() = default;
    NvSipNameAddress(std::string_view displayName, NvHandle<NvURI> uri)
        : m_DisplayName(displayName), m_hURI(std::move(uri)) {}
    // Parses "Name <uri>;p=v", "<uri>;p=v" or "uri;p=v". Raises NvSipParseException.
    static NvHandle<NvSipNameAddress> sParse(std::string_view text);

    NvObject* clone() const override;
    int compareWith(const NvObject& other) const override;
    void display(NvOutputStream& out, bool full) const override;

    // The display name as written, quotes included when it was quoted.
    NvString getDisplayName() const { return m_DisplayName; }
    // Sets the display name; it is quoted when it is not a run of tokens.
    void setDisplayName(std::string_view name);

    NvHandle<NvURI> getURI() const { return m_hURI; }
    // The URI as a SIP URL, or nil when it is another kind of URI.
    NvHandle<NvSipURL> getURL() const { return m_hURI.cast<NvSipURL>(); }
    void setURI(NvHandle<NvURI> uri) { m_hURI = std::move(uri); }

    bool hasAngleBrackets() const { return m_bAngleBrackets; }
    void setAngleBrackets(bool on) { m_bAngleBrackets = on; }

    NvParameters& parameters() { return m_Parameters; }
    const NvParameters& parameters() const { return m_Parameters; }
    NvString getParameter(std::string_view name) const { return m_Parameters.getValue(name); }
    void setParameter(std::string_view name, std::string_view value) { m_Parameters.setValue(name, value); }

    void appendTo(std::string& out) const;
    NvString toString() const;

private:
    // Whether the address is written in angle brackets, given its URI as written.
    bool needsBrackets(std::string_view uri) const;
    std::string m_DisplayName;
    NvHandle<NvURI> m_hURI;
    bool m_bAngleBrackets = false;
    NvParameters m_Parameters;
};

// Self-delimiting stream form of a name-address (used by snapshots): a
// 32-bit little-endian length, then the text. A nil handle is written as
// length 0 and read back as nil.
NvOutputStream& operator<<(NvOutputStream& out, const NvHandle<NvSipNameAddress>& address);
NvInputStream& operator>>(NvInputStream& in, NvHandle<NvSipNameAddress>& address);
