#pragma once
// NvSipHeader: the base of every SIP header object. A message holds its
// headers in order as handles; each header object holds one value (a line
// "Via: a, b" becomes two Via objects, written back on one line as long as
// both stay next to each other).
//
// Each concrete class names its header in `sToken` and its compact form, if
// any, in `sCompactToken`; NvSipHeader::sCreate builds the right class for a
// name. Values are parsed completely when the header is created, so a header
// object is always valid; setters keep it so. Not synchronised: a message and
// its headers belong to one thread at a time.

#include "stack/base/NvHandle.h"
#include "stack/base/NvString.h"

#include <cstdint>
#include <string>
#include <string_view>

class NvParameters;

enum class NvSipHeaderID : uint8_t {
    Via,
    Contact,
    From,
    To,
    CSeq,
    CallID,
    Route,
    RecordRoute,
    MaxForwards,
    RSeq,
    RAck,
    Require,
    Supported,
    SessionExpires,
    MinSE,
    Replaces,
    RetryAfter,
    ContentLength,
    ContentType,
    Authorization,
    ProxyAuthorization,
    WWWAuthenticate,
    ProxyAuthenticate,
    Event,
    ReferTo,
    Unknown  // any other header: NvSipGenericHeader
};

class NvSipHeader : public NvObject {
public:
    static const char* const sTagToken;  // "tag"

    virtual NvSipHeaderID getID() const = 0;
    // The full header name ("Call-ID").
    virtual NvString getName() const = 0;
    // The compact form, or 0 when the header has none.
    virtual char getCompactName() const { return 0; }
    // Writes the value (what follows "Name: ").
    virtual void appendValue(std::string& out) const = 0;
    // Header parameters (";p=v" after the value), or null for headers without them.
    virtual NvParameters* getParameters() { return nullptr; }
    const NvParameters* getParameters() const { return const_cast<NvSipHeader*>(this)->getParameters(); }
    void display(NvOutputStream& out, bool full) const override;

    NvString getValue() const;
    // Writes "Name: value" with no line end; `compact` picks the short name
    // where the header has one.
    void appendTo(std::string& out) const;

    // Written with its compact name (as it was received).
    bool isCompact() const { return m_bCompact; }
    void setCompact(bool compact) { m_bCompact = compact && getCompactName() != 0; }
    // Set by the parser when this value followed another on the same line.
    bool continuesLine() const { return m_bContinuesLine; }
    void setContinuesLine(bool continues) { m_bContinuesLine = continues; }

    // Whether a line of this header may hold several comma-separated values
    // that are separate headers (Via, Contact, Route, Record-Route).
    static bool sIsCommaSeparated(NvSipHeaderID id);
    // The ID for a header name, full or compact, in any case.
    static NvSipHeaderID sIdOf(std::string_view name);
    // Builds the header named `name` from one value. Raises NvSipParseException.
    static NvHandle<NvSipHeader> sCreate(std::string_view name, std::string_view value);
    // The same for a name already looked up (`id` is sIdOf(name)).
    static NvHandle<NvSipHeader> sCreate(NvSipHeaderID id, std::string_view name, std::string_view value);

protected:
    NvSipHeader() = default;
    // Fills this header from its value text. Raises NvSipParseException.
    virtual void parseValue(std::string_view value) = 0;

private:
    bool m_bCompact = false;
    bool m_bContinuesLine = false;
};
