#pragma once
// SIP messages. NvSipMessage holds the ordered headers and the body;
// NvSipRequest adds the method and Request-URI, NvSipResponse the status.
// Each method has its class (NvSipInviteMessage, ...), created by name
// through the registry sm_pConstructorMap; other methods are
// NvSipUnknownRequest.
//
// Ownership: messages are counted objects passed as NvHandle; a message and
// its headers are not synchronised, so a message is changed by one thread at
// a time (clone() gives an independent deep copy). The wire form comes from
// serialize(); parsing is sConstructFrom() / NvSipParser.

#include "stack/base/NvHandle.h"
#include "stack/base/NvString.h"
#include "stack/log/TellarLogger.h"
#include "stack/net/NvSocketImpl.h"
#include "stack/sip/NvSipHeaders.h"
#include "stack/sip/NvURI.h"

#include <iosfwd>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class NvInetAddress;
class NvInputStream;
class NvOutputStream;
class NvSipRequest;

class NvSipMessage : public NvObject {
public:
    using Constructor = NvSipRequest* (*)();
    // Method name -> factory of that method's request class.
    static std::map<NvString, Constructor>* sm_pConstructorMap;

    ~NvSipMessage() override;
    virtual bool isRequest() const = 0;

    // ------------------------------------------------------------ headers
    const std::vector<NvHandle<NvSipHeader>>& getHeaders() const { return m_Headers; }
    // The `index`-th header with this name (full or compact, any case), or nil.
    NvHandle<NvSipHeader> mGetHeader(std::string_view name, size_t index = 0) const;
    NvHandle<NvSipHeader> mGetHeaderByID(NvSipHeaderID id, size_t index = 0) const;
    template <class H>
    NvHandle<H> getHeader(size_t index = 0) const {
        return NvHandle<H>(static_cast<H*>(mGetHeaderByID(H::sID, index).get()));
    }
    template <class H>
    std::vector<NvHandle<H>> getHeaders() const {
        std::vector<NvHandle<H>> found;
        for (const auto& h : m_Headers)
            if (h->getID() == H::sID) found.emplace_back(static_cast<H*>(h.get()));
        return found;
    }
    size_t countHeaders(NvSipHeaderID id) const;
    // Appends the header; with `atTop` it goes before the first header of
    // its kind (or first of all when there is none), as a new Via must.
    void addHeader(const NvHandle<NvSipHeader>& header, bool atTop = false);
    // Removes this very header object; false when it is not in the message.
    bool removeHeader(const NvHandle<NvSipHeader>& header);
    // Removes every header of this kind / name; returns how many went.
    size_t removeHeader(NvSipHeaderID id);
    size_t removeHeader(std::string_view name);

    NvHandle<NvSipCSeqHeader> getCSeqHeader() const { return getHeader<NvSipCSeqHeader>(); }
    NvHandle<NvSipCallIDHeader> getCallIDHeader() const { return getHeader<NvSipCallIDHeader>(); }
    NvHandle<NvSipFromHeader> getFromHeader() const { return getHeader<NvSipFromHeader>(); }
    NvHandle<NvSipToHeader> getToHeader() const { return getHeader<NvSipToHeader>(); }
    NvHandle<NvSipViaHeader> getTopVia() const { return getHeader<NvSipViaHeader>(); }
    // Empty without a Call-ID; valid while the message keeps its Call-ID header.
    const NvString& getCallID() const;

    // Whether a Require / Supported header lists `tag` (any case).
    bool isRequired(std::string_view tag) const;
    bool isSupported(std::string_view tag) const;

    // ------------------------------------------------------------ body
    const std::string& getBody() const { return m_Body; }
    // Sets the body and its Content-Type and Content-Length headers (a null
    // or empty content type removes Content-Type).
    void setBody(const void* body, const char* contentType, unsigned bodyLength);

    // ------------------------------------------------------------ wire form
    void serialize(NvOutputStream& out) const;
    void serialize(std::string& out) const;
    std::string toString() const;
    // The request or status line, without its CRLF.
    std::string getStartLine() const {
        std::string line;
        appendStartLine(line);
        return line;
    }
    // Reads the rest of `in` as one message (datagram rules). Raises
    // NvSipParseException with the reason when it is not a valid message.
    static NvHandle<NvSipMessage> sConstructFrom(NvInputStream& in);
    // Why the message lacks what every request or response needs (Via,
    // From, To, Call-ID, CSeq, a CSeq method matching the request), or an
    // empty string when nothing is missing.
    NvString checkMandatoryHeaders() const;

    // ------------------------------------------------------------ reception
    // Where a received message came from (set by the transport); a message
    // built here has no source.
    bool isReceived() const { return m_bReceived; }
    const NvSipPeer& getSource() const { return m_Source; }
    void setSource(const NvSipPeer& source) {
        m_Source = source;
        m_bReceived = true;
    }
    // The transport it arrived on (UDP for messages built here).
    NvSocketImpl::Transport getTransport() const { return m_Source.transport; }

    // ------------------------------------------------------------ logging
    // Writes the log form: a line with the direction and the peer (address
    // and port when known), then the message. Below INFO the body is written
    // whole; at INFO and above a body past 4 KiB is cut, with a note of the
    // bytes left out, so that call logs stay bounded.
    void formatMessage(std::ostream& stream, bool incoming, const unsigned* port, const NvInetAddress* address,
                       Tellar::LogLevel level) const;
    // Formats and writes the message to `logger` when it is enabled for
    // `level`; formats nothing otherwise.
    void logMessage(const Tellar::Logger& logger, bool incoming, const unsigned* port, const NvInetAddress* address,
                    Tellar::LogLevel level) const;

    int compareWith(const NvObject& other) const override;
    void display(NvOutputStream& out, bool full) const override;

protected:
    // Room for a typical message's headers at once, rather than growing five times.
    NvSipMessage() { m_Headers.reserve(12); }
    NvSipMessage(const NvSipMessage& other);
    virtual void appendStartLine(std::string& out) const = 0;
    friend class NvSipParser;

    std::vector<NvHandle<NvSipHeader>> m_Headers;
    std::string m_Body;
    NvSipPeer m_Source;
    bool m_bReceived = false;
};

class NvSipRequest : public NvSipMessage {
public:
    NvSipRequest(std::string_view method, NvHandle<NvURI> uri = nullptr);
    NvObject* clone() const override { return new NvSipRequest(*this); }
    bool isRequest() const override { return true; }

    virtual NvString getMethod() const { return m_Method; }
    NvHandle<NvURI> getURI() const { return m_hURI; }
    void setURI(NvHandle<NvURI> uri) { m_hURI = std::move(uri); }
    // Built for a strict router (RFC 3261 12.2.1.1): the Request-URI is that
    // router, the next hop, whatever the Route headers below it say (a loose
    // router may follow the strict one). Not on the wire; kept by clone().
    bool isStrictRouted() const { return m_bStrictRouted; }
    void setStrictRouted(bool strict) { m_bStrictRouted = strict; }

    // A request of the class registered for `method` (NvSipUnknownRequest
    // for methods without one).
    static NvHandle<NvSipRequest> sCreate(std::string_view method);

protected:
    NvSipRequest(const NvSipRequest& other);
    void appendStartLine(std::string& out) const override;
    std::string m_Method;
    NvHandle<NvURI> m_hURI;
    bool m_bStrictRouted = false;
};

// A request whose method has no class of its own. Built without a method,
// it takes the method of its CSeq header.
class NvSipUnknownRequest : public NvSipRequest {
public:
    explicit NvSipUnknownRequest(std::string_view method = {}) : NvSipRequest(method) {}
    NvObject* clone() const override { return new NvSipUnknownRequest(*this); }
    NvString getMethod() const override;
};

// Declares a request class for one method, registered under that name.
#define NV_SIP_METHOD_CLASS(ClassName)                                          \
    class ClassName : public NvSipRequest {                                    \
    public:                                                                    \
        static const char* const sMethodName;                                  \
        ClassName() : NvSipRequest(sMethodName) {}                             \
        NvObject* clone() const override { return new ClassName(*this); }      \
    }

NV_SIP_METHOD_CLASS(NvSipInviteMessage);
NV_SIP_METHOD_CLASS(NvSipByeMessage);
NV_SIP_METHOD_CLASS(NvSipCancelMessage);
NV_SIP_METHOD_CLASS(NvSipPrackMessage);
NV_SIP_METHOD_CLASS(NvSipInfoMessage);
NV_SIP_METHOD_CLASS(NvSipNotifyMessage);
NV_SIP_METHOD_CLASS(NvSipReferMessage);
NV_SIP_METHOD_CLASS(NvSipOptionsMessage);
NV_SIP_METHOD_CLASS(NvSipRegisterMessage);
NV_SIP_METHOD_CLASS(NvSipSubscribeMessage);
NV_SIP_METHOD_CLASS(NvSipUpdateMessage);
NV_SIP_METHOD_CLASS(NvSipMessageMessage);

class NvSipResponse;

class NvSipAckMessage : public NvSipRequest {
public:
    static const char* const sMethodName;
    NvSipAckMessage() : NvSipRequest(sMethodName) {}
    // The ACK of `response`: Call-ID, From, To (with its tag) and the CSeq
    // number from the response. When the INVITE is given (the ACK of a
    // failure response) the Request-URI, the top Via and the Route headers
    // are the INVITE's; otherwise the Request-URI is the response's Contact
    // and the caller adds the Via.
    explicit NvSipAckMessage(const NvHandle<NvSipResponse>& response,
                             const NvHandle<NvSipRequest>& invite = NvHandle<NvSipRequest>());
    NvObject* clone() const override { return new NvSipAckMessage(*this); }
};

class NvSipResponse : public NvSipMessage {
public:
    NvSipResponse(int statusCode, std::string_view reasonPhrase);
    // The response to `request` (RFC 3261 8.2.6): its Via headers, From,
    // To, Call-ID and CSeq, plus Record-Route when the response can set up
    // a dialog; the standard reason phrase; the body if one is given.
    NvSipResponse(int statusCode, const NvHandle<NvSipRequest>& request, const void* body = nullptr,
                  const char* contentType = nullptr, unsigned bodyLength = 0);
    NvObject* clone() const override { return new NvSipResponse(*this); }
    bool isRequest() const override { return false; }

    int getStatusCode() const { return m_StatusCode; }
    void setStatusCode(int code) { m_StatusCode = code; }
    NvString getReasonPhrase() const { return m_ReasonPhrase; }
    void setReasonPhrase(std::string_view reason) { m_ReasonPhrase.assign(reason); }
    // The standard phrase for a status code ("Unknown" when none).
    static const char* sReasonPhrase(int statusCode);

    // Where the answered request came from, when it was received: a stream
    // transport sends the response back on that connection.
    const NvSipPeer& getRequestSource() const { return m_RequestSource; }

protected:
    void appendStartLine(std::string& out) const override;

private:
    int m_StatusCode;
    std::string m_ReasonPhrase;
    NvSipPeer m_RequestSource;
};
