#pragma once
// URIs. NvURI is the abstract URI of a Request-URI or a name-address;
// NvSipURL is a sip: or sips: URI with its parts; NvGenericURI keeps any
// other absolute URI (tel:, mailto:, ...) as text.
//
// Parts are kept as written (escapes intact) so a parsed URI is written back
// byte for byte. URIs are NvObjects held by handle; a URI shared between
// messages must not be changed by two threads at once: clone it first.

#include "stack/base/NvHandle.h"
#include "stack/base/NvString.h"
#include "stack/sip/NvParameters.h"

#include <cstdint>
#include <string>
#include <string_view>

class NvURI : public NvObject {
public:
    NvString getScheme() const { return m_Scheme; }
    // The URI as text, as it would be written in a message.
    NvString toString() const;
    virtual void appendTo(std::string& out) const = 0;
    virtual bool isSipURL() const { return false; }

    int compareWith(const NvObject& other) const override;
    uint32_t hashCode() const override;
    void display(NvOutputStream& out, bool full) const override;

    // Parses any URI: sip/sips give an NvSipURL, other schemes an
    // NvGenericURI. Raises NvSipParseException.
    static NvHandle<NvURI> sParse(std::string_view text);

protected:
    explicit NvURI(std::string scheme) : m_Scheme(std::move(scheme)) {}
    std::string m_Scheme;
};

class NvGenericURI : public NvURI {
public:
    NvGenericURI(std::string scheme, std::string rest) : NvURI(std::move(scheme)), m_Rest(std::move(rest)) {}
    NvObject* clone() const override { return new NvGenericURI(*this); }
    void appendTo(std::string& out) const override;
    const std::string& getSchemeSpecificPart() const { return m_Rest; }

private:
    std::string m_Rest;
};

class NvSipURL : public NvURI {
public:
    // An empty sip: URL (host to be set).
    NvSipURL() : NvURI("sip") {}
    // Parses a sip: or sips: URL. Raises NvSipParseException.
    explicit NvSipURL(std::string_view text);

    NvObject* clone() const override { return new NvSipURL(*this); }
    bool isSipURL() const override { return true; }
    void appendTo(std::string& out) const override;

    bool isSecure() const;
    void setSecure(bool secure) { m_Scheme = secure ? "sips" : "sip"; }

    NvString getUser() const { return m_User; }
    void setUser(std::string_view user) { m_User.assign(user); }
    NvString getPassword() const { return m_Password; }
    bool hasPassword() const { return m_bHasPassword; }

    // The host as written: a name, an IPv4 address or an IPv6 reference in brackets.
    NvString getHost() const { return m_Host; }
    void setHost(std::string_view host);
    bool isIPv6() const { return !m_Host.empty() && m_Host[0] == '['; }
    // 0 when no port is written.
    uint16_t getPort() const { return m_Port; }
    void setPort(uint16_t port) { m_Port = port; }

    NvParameters& parameters() { return m_Parameters; }
    const NvParameters& parameters() const { return m_Parameters; }
    NvString getParameter(std::string_view name) const { return m_Parameters.getValue(name); }
    // Sets or adds a URI parameter. URI parameters are never quoted: bytes
    // outside the parameter characters are written %-escaped (and
    // getParameter() gives them so); an empty value sets a flag (";lr").
    void setParameter(std::string_view name, std::string_view value);
    // The "?h=v&h2=v2" part without the '?', as written.
    const std::string& getHeaders() const { return m_Headers; }
    void setHeaders(std::string_view headers) { m_Headers.assign(headers); }

private:
    void parse(std::string_view text);
    std::string m_User;
    std::string m_Password;
    bool m_bHasPassword = false;
    std::string m_Host;
    uint16_t m_Port = 0;
    NvParameters m_Parameters;
    std::string m_Headers;
};
