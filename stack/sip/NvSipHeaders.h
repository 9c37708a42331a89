#pragma once
// The header classes. Families share a base: name-address headers (From,
// To, Contact, Route, Record-Route, Refer-To), number headers (Max-Forwards,
// Content-Length, RSeq, Min-SE, Session-Expires), option-tag lists (Require,
// Supported) and credentials/challenges (Authorization, WWW-Authenticate and
// their proxy forms). Anything else is an NvSipGenericHeader. See
// NvSipHeader.h for ownership and threading.

#include "stack/sip/NvParameters.h"
#include "stack/sip/NvSipHeader.h"
#include "stack/sip/NvSipNameAddress.h"

#include <vector>

// Supplies the per-class boilerplate: ID, names and a deep clone.
template <class Derived, class Base, NvSipHeaderID Id>
class NvSipHeaderOf : public Base {
public:
    static constexpr NvSipHeaderID sID = Id;
    NvSipHeaderID getID() const override { return Id; }
    NvString getName() const override { return Derived::sToken; }
    char getCompactName() const override { return Derived::sCompactToken; }
    NvObject* clone() const override { return new Derived(static_cast<const Derived&>(*this)); }
};

// ---------------------------------------------------------------- addresses

class NvSipNameAddressHeader : public NvSipHeader {
public:
    NvSipNameAddressHeader() = default;
    explicit NvSipNameAddressHeader(NvHandle<NvSipNameAddress> address) : m_hAddress(std::move(address)) {}
    NvSipNameAddressHeader(const NvSipNameAddressHeader& other);

    NvHandle<NvSipNameAddress> getNameAddress() const { return m_hAddress; }
    void setNameAddress(NvHandle<NvSipNameAddress> address) { m_hAddress = std::move(address); }
    NvParameters* getParameters() override { return m_hAddress ? &m_hAddress->parameters() : nullptr; }
    NvString getParameter(std::string_view name) const;
    void setParameter(std::string_view name, std::string_view value);
    bool removeParameter(std::string_view name);
    // The "tag" parameter, empty when there is none.
    NvString getTag() const { return getParameter(sTagToken); }
    void setTag(std::string_view tag) { setParameter(sTagToken, tag); }

    void appendValue(std::string& out) const override;

protected:
    void parseValue(std::string_view value) override;
    NvHandle<NvSipNameAddress> m_hAddress;
};

class NvSipFromHeader : public NvSipHeaderOf<NvSipFromHeader, NvSipNameAddressHeader, NvSipHeaderID::From> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 'f';
    NvSipFromHeader() = default;
    explicit NvSipFromHeader(NvHandle<NvSipNameAddress> address) { m_hAddress = std::move(address); }
};

class NvSipToHeader : public NvSipHeaderOf<NvSipToHeader, NvSipNameAddressHeader, NvSipHeaderID::To> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 't';
    NvSipToHeader() = default;
    explicit NvSipToHeader(NvHandle<NvSipNameAddress> address) { m_hAddress = std::move(address); }
};

class NvSipContactHeader : public NvSipHeaderOf<NvSipContactHeader, NvSipNameAddressHeader, NvSipHeaderID::Contact> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 'm';
    NvSipContactHeader() = default;
    explicit NvSipContactHeader(NvHandle<NvSipNameAddress> address) { m_hAddress = std::move(address); }
    // "Contact: *" (REGISTER only); has no name-address.
    bool isWildcard() const { return m_hAddress.isNil(); }
    void appendValue(std::string& out) const override;

protected:
    void parseValue(std::string_view value) override;
};

class NvSipRouteHeader : public NvSipHeaderOf<NvSipRouteHeader, NvSipNameAddressHeader, NvSipHeaderID::Route> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 0;
    NvSipRouteHeader() = default;
    explicit NvSipRouteHeader(NvHandle<NvSipNameAddress> address) { m_hAddress = std::move(address); }
};

class NvSipRecordRouteHeader
    : public NvSipHeaderOf<NvSipRecordRouteHeader, NvSipNameAddressHeader, NvSipHeaderID::RecordRoute> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 0;
    NvSipRecordRouteHeader() = default;
    explicit NvSipRecordRouteHeader(NvHandle<NvSipNameAddress> address) { m_hAddress = std::move(address); }
};

class NvSipReferToHeader : public NvSipHeaderOf<NvSipReferToHeader, NvSipNameAddressHeader, NvSipHeaderID::ReferTo> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 'r';
    NvSipReferToHeader() = default;
    explicit NvSipReferToHeader(NvHandle<NvSipNameAddress> address) { m_hAddress = std::move(address); }
};

// ---------------------------------------------------------------- Via

class NvSipViaHeader : public NvSipHeaderOf<NvSipViaHeader, NvSipHeader, NvSipHeaderID::Via> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 'v';
    static const char* const sMagicCookie;  // "z9hG4bK"

    NvSipViaHeader() = default;
    // "SIP/2.0/<transport> host[:port]".
    NvSipViaHeader(std::string_view transport, std::string_view host, uint16_t port);

    NvString getProtocol() const { return m_Protocol; }  // "SIP/2.0"
    NvString getTransport() const { return m_Transport; }
    void setTransport(std::string_view transport) { m_Transport.assign(transport); }
    NvString getHost() const { return m_Host; }
    void setHost(std::string_view host) { m_Host.assign(host); }
    uint16_t getPort() const { return m_Port; }  // 0 when absent
    void setPort(uint16_t port) { m_Port = port; }

    NvString getBranch() const { return NvString(getBranchView()); }
    // The branch without a copy: valid until the header changes.
    std::string_view getBranchView() const { return m_Parameters.getValueView("branch"); }
    void setBranch(std::string_view branch) { m_Parameters.setValue("branch", branch); }
    // Sets a new, unique branch that starts with the magic cookie.
    void setBranchRFC3261();
    bool hasRFC3261Branch() const;
    // The sent-by as "host:port" in one form for comparisons: host in lower
    // case without IPv6 brackets, an absent port replaced by the transport's
    // default (5061 for TLS, else 5060).
    std::string getCanonicalSentBy() const;
    bool hasSameSentBy(const NvSipViaHeader& other) const { return getCanonicalSentBy() == other.getCanonicalSentBy(); }

    NvParameters* getParameters() override { return &m_Parameters; }
    void appendValue(std::string& out) const override;

protected:
    void parseValue(std::string_view value) override;

private:
    std::string m_Protocol = "SIP/2.0";
    std::string m_Transport = "UDP";
    std::string m_Host;
    uint16_t m_Port = 0;
    NvParameters m_Parameters;
};

// ---------------------------------------------------------------- CSeq, Call-ID

class NvSipCSeqHeader : public NvSipHeaderOf<NvSipCSeqHeader, NvSipHeader, NvSipHeaderID::CSeq> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 0;
    NvSipCSeqHeader() = default;
    NvSipCSeqHeader(uint32_t number, std::string_view method) : m_Number(number), m_Method(method) {}

    uint32_t getNumber() const { return m_Number; }
    void setNumber(uint32_t number) { m_Number = number; }
    NvString getMethod() const { return m_Method; }
    void setMethod(std::string_view method) { m_Method.assign(method); }
    void appendValue(std::string& out) const override;

protected:
    void parseValue(std::string_view value) override;

private:
    uint32_t m_Number = 0;
    std::string m_Method;
};

class NvSipCallIDHeader : public NvSipHeaderOf<NvSipCallIDHeader, NvSipHeader, NvSipHeaderID::CallID> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 'i';
    NvSipCallIDHeader() = default;
    explicit NvSipCallIDHeader(std::string_view callId) : m_CallID(callId) {}

    const NvString& getCallID() const { return m_CallID; }
    void setCallID(std::string_view callId) { m_CallID = NvString(callId); }
    void appendValue(std::string& out) const override { out += m_CallID.str(); }

protected:
    void parseValue(std::string_view value) override;

private:
    NvString m_CallID;
};

// ---------------------------------------------------------------- numbers

// A 32-bit decimal value, optionally followed by parameters.
class NvSipNumberHeader : public NvSipHeader {
public:
    uint32_t getNumber() const { return m_Number; }
    void setNumber(uint32_t number) { m_Number = number; }
    NvParameters* getParameters() override { return &m_Parameters; }
    void appendValue(std::string& out) const override;

protected:
    NvSipNumberHeader() = default;
    explicit NvSipNumberHeader(uint32_t number) : m_Number(number) {}
    void parseValue(std::string_view value) override;
    // Largest accepted value, and whether parameters may follow.
    virtual uint32_t maxValue() const { return 0xffffffffu; }
    virtual bool allowsParameters() const { return false; }

    uint32_t m_Number = 0;
    NvParameters m_Parameters;
};

class NvSipMaxForwardsHeader
    : public NvSipHeaderOf<NvSipMaxForwardsHeader, NvSipNumberHeader, NvSipHeaderID::MaxForwards> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 0;
    NvSipMaxForwardsHeader() = default;
    explicit NvSipMaxForwardsHeader(uint32_t hops) { m_Number = hops; }

protected:
    uint32_t maxValue() const override { return 255; }
};

class NvSipContentLengthHeader
    : public NvSipHeaderOf<NvSipContentLengthHeader, NvSipNumberHeader, NvSipHeaderID::ContentLength> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 'l';
    NvSipContentLengthHeader() = default;
    explicit NvSipContentLengthHeader(uint32_t length) { m_Number = length; }
};

class NvSipRSeqHeader : public NvSipHeaderOf<NvSipRSeqHeader, NvSipNumberHeader, NvSipHeaderID::RSeq> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 0;
    NvSipRSeqHeader() = default;
    explicit NvSipRSeqHeader(uint32_t rseq) { m_Number = rseq; }
};

class NvSipMinSEHeader : public NvSipHeaderOf<NvSipMinSEHeader, NvSipNumberHeader, NvSipHeaderID::MinSE> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 0;
    NvSipMinSEHeader() = default;
    explicit NvSipMinSEHeader(uint32_t seconds) { m_Number = seconds; }

protected:
    bool allowsParameters() const override { return true; }
};

class NvSipSessionExpiresHeader
    : public NvSipHeaderOf<NvSipSessionExpiresHeader, NvSipNumberHeader, NvSipHeaderID::SessionExpires> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 'x';
    static const char* const sRefresher;    // "refresher"
    static const char* const uacRefresher;  // "uac"
    static const char* const uasRefresher;  // "uas"

    NvSipSessionExpiresHeader() = default;
    explicit NvSipSessionExpiresHeader(uint32_t seconds) { m_Number = seconds; }
    // The refresher parameter, empty when absent.
    NvString getRefresher() const { return m_Parameters.getValue(sRefresher); }
    void setRefresher(std::string_view refresher) { m_Parameters.setValue(sRefresher, refresher); }

protected:
    bool allowsParameters() const override { return true; }
};

class NvSipRetryAfterHeader
    : public NvSipHeaderOf<NvSipRetryAfterHeader, NvSipNumberHeader, NvSipHeaderID::RetryAfter> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 0;
    NvSipRetryAfterHeader() = default;
    explicit NvSipRetryAfterHeader(uint32_t seconds) { m_Number = seconds; }
    // The "(comment)" after the delay, without parentheses.
    NvString getComment() const { return m_Comment; }
    void appendValue(std::string& out) const override;

protected:
    void parseValue(std::string_view value) override;
    bool allowsParameters() const override { return true; }

private:
    std::string m_Comment;
};

class NvSipRAckHeader : public NvSipHeaderOf<NvSipRAckHeader, NvSipHeader, NvSipHeaderID::RAck> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 0;
    NvSipRAckHeader() = default;
    NvSipRAckHeader(uint32_t rseq, uint32_t cseq, std::string_view method)
        : m_RSeq(rseq), m_CSeq(cseq), m_Method(method) {}

    uint32_t getRSeq() const { return m_RSeq; }
    uint32_t getCSeq() const { return m_CSeq; }
    NvString getMethod() const { return m_Method; }
    void appendValue(std::string& out) const override;

protected:
    void parseValue(std::string_view value) override;

private:
    uint32_t m_RSeq = 0;
    uint32_t m_CSeq = 0;
    std::string m_Method;
};

// ---------------------------------------------------------------- option tags

class NvSipOptionTagHeader : public NvSipHeader {
public:
    const std::vector<std::string>& getTags() const { return m_Tags; }
    bool contains(std::string_view tag) const;
    void addTag(std::string_view tag);
    void appendValue(std::string& out) const override;

protected:
    NvSipOptionTagHeader() = default;
    void parseValue(std::string_view value) override;
    std::vector<std::string> m_Tags;
};

class NvSipRequireHeader : public NvSipHeaderOf<NvSipRequireHeader, NvSipOptionTagHeader, NvSipHeaderID::Require> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 0;
    NvSipRequireHeader() = default;
    explicit NvSipRequireHeader(std::string_view tag) { addTag(tag); }
};

class NvSipSupportedHeader
    : public NvSipHeaderOf<NvSipSupportedHeader, NvSipOptionTagHeader, NvSipHeaderID::Supported> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 'k';
    NvSipSupportedHeader() = default;
    explicit NvSipSupportedHeader(std::string_view tag) { addTag(tag); }
};

// ---------------------------------------------------------------- typed values with parameters

// "token[/token] ;params": Content-Type, Event, Replaces.
class NvSipTokenHeader : public NvSipHeader {
public:
    NvParameters* getParameters() override { return &m_Parameters; }
    NvString getParameter(std::string_view name) const { return m_Parameters.getValue(name); }
    void setParameter(std::string_view name, std::string_view value) { m_Parameters.setValue(name, value); }
    void appendValue(std::string& out) const override;

protected:
    NvSipTokenHeader() = default;
    void parseValue(std::string_view value) override;
    // Checks the value before the parameters.
    virtual bool isValidValue(std::string_view value) const = 0;
    std::string m_Value;
    NvParameters m_Parameters;
};

class NvSipContentTypeHeader
    : public NvSipHeaderOf<NvSipContentTypeHeader, NvSipTokenHeader, NvSipHeaderID::ContentType> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 'c';
    NvSipContentTypeHeader() = default;
    explicit NvSipContentTypeHeader(std::string_view mediaType);
    // "application/sdp", without parameters.
    NvString getMediaType() const { return m_Value; }

protected:
    bool isValidValue(std::string_view value) const override;
};

class NvSipEventHeader : public NvSipHeaderOf<NvSipEventHeader, NvSipTokenHeader, NvSipHeaderID::Event> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 'o';
    NvSipEventHeader() = default;
    explicit NvSipEventHeader(std::string_view package) { m_Value.assign(package); }
    NvString getPackage() const { return m_Value; }

protected:
    bool isValidValue(std::string_view value) const override;
};

class NvSipReplacesHeader : public NvSipHeaderOf<NvSipReplacesHeader, NvSipTokenHeader, NvSipHeaderID::Replaces> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 0;
    NvSipReplacesHeader() = default;
    NvSipReplacesHeader(std::string_view callId, std::string_view toTag, std::string_view fromTag);
    NvString getCallID() const { return m_Value; }
    NvString getToTag() const { return m_Parameters.getValue("to-tag"); }
    NvString getFromTag() const { return m_Parameters.getValue("from-tag"); }
    bool isEarlyOnly() const { return m_Parameters.isPresent("early-only"); }

protected:
    bool isValidValue(std::string_view value) const override;
};

// ---------------------------------------------------------------- authentication

// "Scheme name=value, name="value", ...": credentials and challenges.
class NvSipAuthHeader : public NvSipHeader {
public:
    NvString getScheme() const { return m_Scheme; }
    void setScheme(std::string_view scheme) { m_Scheme.assign(scheme); }
    // A parameter's value, unquoted; empty when absent.
    NvString getParameter(std::string_view name) const { return m_Parameters.getValue(name); }
    bool hasParameter(std::string_view name) const { return m_Parameters.isPresent(name); }
    // Adds or replaces a parameter, quoted or as a token.
    void setParameter(std::string_view name, std::string_view value, bool quoted);
    const NvParameters& parameters() const { return m_Parameters; }
    void appendValue(std::string& out) const override;

protected:
    NvSipAuthHeader() = default;
    void parseValue(std::string_view value) override;

private:
    std::string m_Scheme;
    NvParameters m_Parameters;  // ',' separated on the wire
};

class NvSipAuthorizationHeader
    : public NvSipHeaderOf<NvSipAuthorizationHeader, NvSipAuthHeader, NvSipHeaderID::Authorization> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 0;
};

class NvSipProxyAuthorizationHeader
    : public NvSipHeaderOf<NvSipProxyAuthorizationHeader, NvSipAuthHeader, NvSipHeaderID::ProxyAuthorization> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 0;
};

class NvSipWWWAuthenticateHeader
    : public NvSipHeaderOf<NvSipWWWAuthenticateHeader, NvSipAuthHeader, NvSipHeaderID::WWWAuthenticate> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 0;
};

class NvSipProxyAuthenticateHeader
    : public NvSipHeaderOf<NvSipProxyAuthenticateHeader, NvSipAuthHeader, NvSipHeaderID::ProxyAuthenticate> {
public:
    static const char* const sToken;
    static constexpr char sCompactToken = 0;
};

// ---------------------------------------------------------------- anything else

class NvSipGenericHeader : public NvSipHeader {
public:
    NvSipGenericHeader(std::string_view name, std::string_view value) : m_Name(name), m_Value(value) {}
    NvSipHeaderID getID() const override { return NvSipHeaderID::Unknown; }
    NvString getName() const override { return m_Name; }
    NvObject* clone() const override { return new NvSipGenericHeader(*this); }
    void appendValue(std::string& out) const override { out += m_Value; }
    void setValue(std::string_view value) { m_Value.assign(value); }

protected:
    void parseValue(std::string_view value) override { m_Value.assign(value); }

private:
    std::string m_Name;
    std::string m_Value;
};
