#include "stack/sip/NvSipMessage.h"

#include "stack/base/NvException.h"
#include "stack/base/NvStream.h"
#include "stack/sip/NvSipParser.h"
#include "stack/sip/NvSipText.h"

#include <algorithm>

// ---------------------------------------------------------------- registry

#define NV_SIP_METHOD_NAME(ClassName, Name) const char* const ClassName::sMethodName = Name

NV_SIP_METHOD_NAME(NvSipInviteMessage, "INVITE");
NV_SIP_METHOD_NAME(NvSipAckMessage, "ACK");
NV_SIP_METHOD_NAME(NvSipByeMessage, "BYE");
NV_SIP_METHOD_NAME(NvSipCancelMessage, "CANCEL");
NV_SIP_METHOD_NAME(NvSipPrackMessage, "PRACK");
NV_SIP_METHOD_NAME(NvSipInfoMessage, "INFO");
NV_SIP_METHOD_NAME(NvSipNotifyMessage, "NOTIFY");
NV_SIP_METHOD_NAME(NvSipReferMessage, "REFER");
NV_SIP_METHOD_NAME(NvSipOptionsMessage, "OPTIONS");
NV_SIP_METHOD_NAME(NvSipRegisterMessage, "REGISTER");
NV_SIP_METHOD_NAME(NvSipSubscribeMessage, "SUBSCRIBE");
NV_SIP_METHOD_NAME(NvSipUpdateMessage, "UPDATE");
NV_SIP_METHOD_NAME(NvSipMessageMessage, "MESSAGE");

namespace {
template <class M>
void registerMethod(std::map<NvString, NvSipMessage::Constructor>& map) {
    map[M::sMethodName] = []() -> NvSipRequest* { return new M(); };
}

std::map<NvString, NvSipMessage::Constructor>* buildConstructorMap() {
    static std::map<NvString, NvSipMessage::Constructor> map;
    registerMethod<NvSipInviteMessage>(map);
    registerMethod<NvSipAckMessage>(map);
    registerMethod<NvSipByeMessage>(map);
    registerMethod<NvSipCancelMessage>(map);
    registerMethod<NvSipPrackMessage>(map);
    registerMethod<NvSipInfoMessage>(map);
    registerMethod<NvSipNotifyMessage>(map);
    registerMethod<NvSipReferMessage>(map);
    registerMethod<NvSipOptionsMessage>(map);
    registerMethod<NvSipRegisterMessage>(map);
    registerMethod<NvSipSubscribeMessage>(map);
    registerMethod<NvSipUpdateMessage>(map);
    registerMethod<NvSipMessageMessage>(map);
    return &map;
}
}  // namespace

std::map<NvString, NvSipMessage::Constructor>* NvSipMessage::sm_pConstructorMap = buildConstructorMap();

// ---------------------------------------------------------------- NvSipMessage

NvSipMessage::~NvSipMessage() = default;

NvSipMessage::NvSipMessage(const NvSipMessage& other) : NvObject(other), m_Body(other.m_Body) {
    m_Headers.reserve(other.m_Headers.size());
    for (const auto& h : other.m_Headers) m_Headers.emplace_back(static_cast<NvSipHeader*>(h->clone()));
}

NvHandle<NvSipHeader> NvSipMessage::mGetHeader(std::string_view name, size_t index) const {
    const NvSipHeaderID id = NvSipHeader::sIdOf(name);
    if (id != NvSipHeaderID::Unknown) return mGetHeaderByID(id, index);
    for (const auto& h : m_Headers)
        if (h->getID() == NvSipHeaderID::Unknown && NvSipText::equalsIgnoreCase(h->getName().view(), name) &&
            index-- == 0)
            return h;
    return NvHandle<NvSipHeader>();
}

NvHandle<NvSipHeader> NvSipMessage::mGetHeaderByID(NvSipHeaderID id, size_t index) const {
    for (const auto& h : m_Headers)
        if (h->getID() == id && index-- == 0) return h;
    return NvHandle<NvSipHeader>();
}

size_t NvSipMessage::countHeaders(NvSipHeaderID id) const {
    return static_cast<size_t>(
        std::count_if(m_Headers.begin(), m_Headers.end(), [id](const auto& h) { return h->getID() == id; }));
}

void NvSipMessage::addHeader(const NvHandle<NvSipHeader>& header, bool atTop) {
    if (!header) return;
    if (!atTop) {
        m_Headers.push_back(header);
        return;
    }
    const NvSipHeaderID id = header->getID();
    auto first = std::find_if(m_Headers.begin(), m_Headers.end(), [id](const auto& h) { return h->getID() == id; });
    if (first == m_Headers.end()) first = m_Headers.begin();
    m_Headers.insert(first, header);
}

bool NvSipMessage::removeHeader(const NvHandle<NvSipHeader>& header) {
    const auto found = std::find(m_Headers.begin(), m_Headers.end(), header);
    if (found == m_Headers.end()) return false;
    m_Headers.erase(found);
    return true;
}

size_t NvSipMessage::removeHeader(NvSipHeaderID id) {
    const size_t before = m_Headers.size();
    m_Headers.erase(std::remove_if(m_Headers.begin(), m_Headers.end(), [id](const auto& h) { return h->getID() == id; }),
                    m_Headers.end());
    return before - m_Headers.size();
}

size_t NvSipMessage::removeHeader(std::string_view name) {
    const NvSipHeaderID id = NvSipHeader::sIdOf(name);
    if (id != NvSipHeaderID::Unknown) return removeHeader(id);
    const size_t before = m_Headers.size();
    m_Headers.erase(std::remove_if(m_Headers.begin(), m_Headers.end(),
                                   [name](const auto& h) {
                                       return h->getID() == NvSipHeaderID::Unknown &&
                                              NvSipText::equalsIgnoreCase(h->getName().view(), name);
                                   }),
                    m_Headers.end());
    return before - m_Headers.size();
}

const NvString& NvSipMessage::getCallID() const {
    static const NvString none;
    const auto callId = getCallIDHeader();
    return callId ? callId->getCallID() : none;  // the header lives as long as the message holds it
}

namespace {
template <class H>
bool listsTag(const NvSipMessage& message, std::string_view tag) {
    for (const auto& h : message.getHeaders<H>())
        if (h->contains(tag)) return true;
    return false;
}
}  // namespace

bool NvSipMessage::isRequired(std::string_view tag) const { return listsTag<NvSipRequireHeader>(*this, tag); }

bool NvSipMessage::isSupported(std::string_view tag) const { return listsTag<NvSipSupportedHeader>(*this, tag); }

void NvSipMessage::setBody(const void* body, const char* contentType, unsigned bodyLength) {
    m_Body.assign(body ? static_cast<const char*>(body) : "", body ? bodyLength : 0);
    removeHeader(NvSipHeaderID::ContentType);
    if (contentType && *contentType) addHeader(NvHandle<NvSipHeader>(new NvSipContentTypeHeader(contentType)));
    const auto length = getHeader<NvSipContentLengthHeader>();
    if (length)
        length->setNumber(static_cast<uint32_t>(m_Body.size()));
    else
        addHeader(NvHandle<NvSipHeader>(new NvSipContentLengthHeader(static_cast<uint32_t>(m_Body.size()))));
}

void NvSipMessage::serialize(std::string& out) const {
    appendStartLine(out);
    out += "\r\n";
    const NvSipHeader* previous = nullptr;
    for (const auto& h : m_Headers) {
        if (previous && h->continuesLine() && previous->getID() == h->getID() && previous->isCompact() == h->isCompact()) {
            out += ", ";
            h->appendValue(out);
        } else {
            if (previous) out += "\r\n";
            h->appendTo(out);
        }
        previous = h.get();
    }
    if (previous) out += "\r\n";
    out += "\r\n";
    out += m_Body;
}

void NvSipMessage::serialize(NvOutputStream& out) const {
    std::string text;
    text.reserve(512 + m_Body.size());
    serialize(text);
    out.write(text.data(), text.size());
}

std::string NvSipMessage::toString() const {
    std::string text;
    serialize(text);
    return text;
}

NvHandle<NvSipMessage> NvSipMessage::sConstructFrom(NvInputStream& in) {
    std::string bytes;
    char chunk[4096];
    for (size_t n; (n = in.read(chunk, sizeof chunk)) > 0;) {
        bytes.append(chunk, n);
        if (bytes.size() > NvSipParser::kMaxMessageBytes) break;  // the parser names the limit
    }
    return NvSipParser::sParse(bytes.data(), bytes.size());
}

NvString NvSipMessage::checkMandatoryHeaders() const {
    if (!getTopVia()) return "Missing Via header";
    if (!getFromHeader()) return "Missing From header";
    if (!getToHeader()) return "Missing To header";
    if (!getCallIDHeader()) return "Missing Call-ID header";
    const auto cseq = getCSeqHeader();
    if (!cseq) return "Missing CSeq header";
    if (countHeaders(NvSipHeaderID::From) > 1 || countHeaders(NvSipHeaderID::To) > 1 ||
        countHeaders(NvSipHeaderID::CallID) > 1 || countHeaders(NvSipHeaderID::CSeq) > 1)
        return "More than one From, To, Call-ID or CSeq header";
    if (isRequest()) {
        const NvString method = static_cast<const NvSipRequest*>(this)->getMethod();
        if (cseq->getMethod() != method)
            return NvString("CSeq method " + cseq->getMethod().str() + " does not match request method " + method.str());
    }
    return NvString();
}

int NvSipMessage::compareWith(const NvObject& other) const {
    const auto* message = dynamic_cast<const NvSipMessage*>(&other);
    if (!message) return NvObject::compareWith(other);
    return toString().compare(message->toString());
}

void NvSipMessage::display(NvOutputStream& out, bool) const { out << toString(); }

// ---------------------------------------------------------------- requests

NvSipRequest::NvSipRequest(std::string_view method, NvHandle<NvURI> uri) : m_Method(method), m_hURI(std::move(uri)) {}

NvSipRequest::NvSipRequest(const NvSipRequest& other)
    : NvSipMessage(other), m_Method(other.m_Method), m_bStrictRouted(other.m_bStrictRouted) {
    if (other.m_hURI) m_hURI = NvHandle<NvURI>(static_cast<NvURI*>(other.m_hURI->clone()));
}

NvHandle<NvSipRequest> NvSipRequest::sCreate(std::string_view method) {
    const auto found = sm_pConstructorMap->find(NvString(method));
    if (found != sm_pConstructorMap->end()) return NvHandle<NvSipRequest>(found->second());
    return NvHandle<NvSipRequest>(new NvSipUnknownRequest(method));
}

void NvSipRequest::appendStartLine(std::string& out) const {
    out += getMethod().str();
    out += ' ';
    if (m_hURI) m_hURI->appendTo(out);
    out += " SIP/2.0";
}

NvString NvSipUnknownRequest::getMethod() const {
    if (!m_Method.empty()) return m_Method;
    const auto cseq = getCSeqHeader();
    return cseq ? cseq->getMethod() : NvString();
}

NvSipAckMessage::NvSipAckMessage(const NvHandle<NvSipResponse>& response, const NvHandle<NvSipRequest>& invite)
    : NvSipRequest(sMethodName) {
    if (!response) NvException::sThrow("NvSipAckMessage: no response to acknowledge");
    if (invite) {
        if (invite->getURI()) m_hURI = NvHandle<NvURI>(static_cast<NvURI*>(invite->getURI()->clone()));
        if (const auto via = invite->getTopVia()) addHeader(NvHandle<NvSipHeader>(static_cast<NvSipHeader*>(via->clone())));
    } else if (const auto contact = response->getHeader<NvSipContactHeader>()) {
        if (contact->getNameAddress() && contact->getNameAddress()->getURI())
            m_hURI = NvHandle<NvURI>(static_cast<NvURI*>(contact->getNameAddress()->getURI()->clone()));
    }
    auto copy = [this](const NvHandle<NvSipHeader>& h) {
        if (h) addHeader(NvHandle<NvSipHeader>(static_cast<NvSipHeader*>(h->clone())));
    };
    copy(response->getFromHeader());
    copy(response->getToHeader());
    copy(response->getCallIDHeader());
    const auto cseq = response->getCSeqHeader();
    addHeader(NvHandle<NvSipHeader>(new NvSipCSeqHeader(cseq ? cseq->getNumber() : 0, sMethodName)));
    if (invite)
        for (const auto& route : invite->getHeaders<NvSipRouteHeader>()) copy(route);
    addHeader(NvHandle<NvSipHeader>(new NvSipContentLengthHeader(0)));
}

// ---------------------------------------------------------------- responses

NvSipResponse::NvSipResponse(int statusCode, std::string_view reasonPhrase)
    : m_StatusCode(statusCode), m_ReasonPhrase(reasonPhrase) {}

NvSipResponse::NvSipResponse(int statusCode, const NvHandle<NvSipRequest>& request, const void* body,
                             const char* contentType, unsigned bodyLength)
    : m_StatusCode(statusCode), m_ReasonPhrase(sReasonPhrase(statusCode)) {
    if (!request) NvException::sThrow("NvSipResponse: no request to answer");
    if (request->isReceived()) m_RequestSource = request->getSource();
    if (statusCode < 100 || statusCode > 699)
        NvException::sThrow("NvSipResponse: status code " + std::to_string(statusCode) + " is not between 100 and 699");
    const bool dialogForming = statusCode > 100 && statusCode < 300 && request->getMethod() == NvSipInviteMessage::sMethodName;
    for (const auto& h : request->getHeaders()) {
        const NvSipHeaderID id = h->getID();
        const bool copied = id == NvSipHeaderID::Via || id == NvSipHeaderID::From || id == NvSipHeaderID::To ||
                            id == NvSipHeaderID::CallID || id == NvSipHeaderID::CSeq ||
                            (dialogForming && id == NvSipHeaderID::RecordRoute);
        if (copied) addHeader(NvHandle<NvSipHeader>(static_cast<NvSipHeader*>(h->clone())));
    }
    setBody(body, contentType, body ? bodyLength : 0);
}

void NvSipResponse::appendStartLine(std::string& out) const {
    out += "SIP/2.0 ";
    out += std::to_string(m_StatusCode);
    out += ' ';
    out += m_ReasonPhrase;
}

const char* NvSipResponse::sReasonPhrase(int statusCode) {
    switch (statusCode) {
        case 100: return "Trying";
        case 180: return "Ringing";
        case 181: return "Call Is Being Forwarded";
        case 182: return "Queued";
        case 183: return "Session Progress";
        case 199: return "Early Dialog Terminated";
        case 200: return "OK";
        case 202: return "Accepted";
        case 204: return "No Notification";
        case 300: return "Multiple Choices";
        case 301: return "Moved Permanently";
        case 302: return "Moved Temporarily";
        case 305: return "Use Proxy";
        case 380: return "Alternative Service";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 402: return "Payment Required";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 406: return "Not Acceptable";
        case 407: return "Proxy Authentication Required";
        case 408: return "Request Timeout";
        case 410: return "Gone";
        case 412: return "Conditional Request Failed";
        case 413: return "Request Entity Too Large";
        case 414: return "Request-URI Too Long";
        case 415: return "Unsupported Media Type";
        case 416: return "Unsupported URI Scheme";
        case 417: return "Unknown Resource-Priority";
        case 420: return "Bad Extension";
        case 421: return "Extension Required";
        case 422: return "Session Interval Too Small";
        case 423: return "Interval Too Brief";
        case 428: return "Use Identity Header";
        case 429: return "Provide Referrer Identity";
        case 433: return "Anonymity Disallowed";
        case 436: return "Bad Identity-Info";
        case 437: return "Unsupported Certificate";
        case 438: return "Invalid Identity Header";
        case 439: return "First Hop Lacks Outbound Support";
        case 440: return "Max-Breadth Exceeded";
        case 469: return "Bad Info Package";
        case 470: return "Consent Needed";
        case 480: return "Temporarily Unavailable";
        case 481: return "Call/Transaction Does Not Exist";
        case 482: return "Loop Detected";
        case 483: return "Too Many Hops";
        case 484: return "Address Incomplete";
        case 485: return "Ambiguous";
        case 486: return "Busy Here";
        case 487: return "Request Terminated";
        case 488: return "Not Acceptable Here";
        case 489: return "Bad Event";
        case 491: return "Request Pending";
        case 493: return "Undecipherable";
        case 494: return "Security Agreement Required";
        case 500: return "Server Internal Error";
        case 501: return "Not Implemented";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Server Time-out";
        case 505: return "Version Not Supported";
        case 513: return "Message Too Large";
        case 580: return "Precondition Failure";
        case 600: return "Busy Everywhere";
        case 603: return "Decline";
        case 604: return "Does Not Exist Anywhere";
        case 606: return "Not Acceptable";
        case 607: return "Unwanted";
        case 687: return "Dialog Terminated";
        default: return "Unknown";
    }
}
