#include "stack/transport/NvSipTransportLayer.h"

#include "stack/base/NvException.h"
#include "stack/log/TellarLogger.h"
#include "stack/sip/NvSipParser.h"
#include "stack/transport/NvSipSocketTransport.h"
#include "stack/transport/NvSipTestTransport.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>
#include <mutex>

size_t NvSipTransportLayer::sm_UdpMaxBytes = 1300;
int NvSipTransportLayer::sm_SocketBufferBytes = 4 * 1024 * 1024;

NvSipMessageReceiver::~NvSipMessageReceiver() = default;

void NvSipMessageReceiver::sendFailed(const NvHandle<NvSipMessage>&, const std::string&) {}

namespace {

Tellar::Logger& transportLogger() {
    static Tellar::Logger& logger = Tellar::getLogger("lumbrook.sip.transport");
    return logger;
}

// Resolves a host name or address literal with the system resolver.
NvInetAddress resolveHost(const std::string& host) {
    NvInetAddress literal = NvInetAddress::sParse(host);
    if (literal.isValid()) return literal;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* results = nullptr;
    const int error = getaddrinfo(host.c_str(), nullptr, &hints, &results);
    if (error != 0 || !results)
        NvException::sThrow("Cannot resolve host '" + host + "': " + gai_strerror(error));
    NvInetAddress found;
    for (addrinfo* r = results; r && !found.isValid(); r = r->ai_next) {
        if (r->ai_family == AF_INET)
            found = NvInetAddress(reinterpret_cast<sockaddr_in*>(r->ai_addr)->sin_addr);
        else if (r->ai_family == AF_INET6)
            found = NvInetAddress(reinterpret_cast<sockaddr_in6*>(r->ai_addr)->sin6_addr);
    }
    freeaddrinfo(results);
    if (!found.isValid()) NvException::sThrow("Host '" + host + "' has no IPv4 or IPv6 address");
    return found;
}

bool isWildcard(const NvInetAddress& address) {
    static const NvInetAddress any4 = NvInetAddress::sParse("0.0.0.0");
    static const NvInetAddress any6 = NvInetAddress::sParse("::");
    return address == any4 || address == any6;
}

// The host's first non-loopback address of the family, or loopback.
std::string hostAddress(NvInetAddress::Family family) {
    std::string found = family == NvInetAddress::Family::IPv6 ? "::1" : "127.0.0.1";
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return found;
    for (ifaddrs* i = interfaces; i; i = i->ifa_next) {
        if (!i->ifa_addr) continue;
        NvInetAddress address;
        if (family == NvInetAddress::Family::IPv4 && i->ifa_addr->sa_family == AF_INET)
            address = NvInetAddress(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr);
        else if (family == NvInetAddress::Family::IPv6 && i->ifa_addr->sa_family == AF_INET6)
            address = NvInetAddress(reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr);
        const std::string text = address.toString().str();
        if (address.isValid() && text != "127.0.0.1" && text != "::1" && text.rfind("fe80", 0) != 0) {
            found = text;
            break;
        }
    }
    freeifaddrs(interfaces);
    return found;
}

std::string hostForVia(const std::string& address) {
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

}  // namespace

struct NvSipTransportLayer::Impl {
    explicit Impl(NvSipTransportLayer& layer) : sockets(layer) {}

    NvSipSocketTransport sockets;
    mutable std::mutex mutex;  // guards the fields below
    NvSipMessageReceiver* receiver = nullptr;
    NvSipTestTransport* testTransport = nullptr;
    std::string sentByHost;
    uint16_t sentByPort = 0;
};

NvSipTransportLayer::NvSipTransportLayer() : m_pImpl(new Impl(*this)) {}

NvSipTransportLayer::~NvSipTransportLayer() = default;

NvSipTransportLayer* NvSipTransportLayer::sGetInstance() {
    // Never destroyed: messages may be sent until the very end of the process.
    static NvSipTransportLayer* const instance = new NvSipTransportLayer();
    return instance;
}

uint16_t NvSipTransportLayer::listen(NvSocketImpl::Transport transport, const char* address, uint16_t port) {
    const NvInetAddress bindAddress = NvInetAddress::sParse(address ? address : "");
    if (!bindAddress.isValid())
        NvException::sThrow(std::string("Cannot listen on '") + (address ? address : "") + "': not an IP address");
    return m_pImpl->sockets.listen(transport, bindAddress, port);
}

void NvSipTransportLayer::close() { m_pImpl->sockets.close(); }

std::vector<NvSipTransportLayer::ListenPoint> NvSipTransportLayer::getListenPoints() const {
    return m_pImpl->sockets.getListenPoints();
}

void NvSipTransportLayer::setSentBy(const char* host, uint16_t port) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->sentByHost = host ? host : "";
    m_pImpl->sentByPort = port;
}

NvString NvSipTransportLayer::getSentByHost(NvSocketImpl::Transport transport) const {
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        if (!m_pImpl->sentByHost.empty()) return m_pImpl->sentByHost;
        if (m_pImpl->testTransport) return NvString(m_pImpl->testTransport->getLocalHost());
    }
    const auto points = getListenPoints();
    const ListenPoint* chosen = nullptr;
    for (const auto& p : points)
        if (!chosen || (p.transport == transport && chosen->transport != transport)) chosen = &p;
    if (!chosen) return NvString("127.0.0.1");
    const std::string address =
        isWildcard(chosen->address) ? hostAddress(chosen->address.getFamily()) : chosen->address.toString().str();
    return NvString(hostForVia(address));
}

uint16_t NvSipTransportLayer::getSentByPort(NvSocketImpl::Transport transport) const {
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        if (m_pImpl->sentByPort) return m_pImpl->sentByPort;
        if (m_pImpl->testTransport) return m_pImpl->testTransport->getLocalPort();
    }
    uint16_t port = 0;
    for (const auto& p : getListenPoints())
        if (!port || p.transport == transport) port = p.port;
    return port ? port : 5060;
}

void NvSipTransportLayer::setReceiver(NvSipMessageReceiver* receiver) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->receiver = receiver;
}

NvSipMessageReceiver* NvSipTransportLayer::getReceiver() const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->receiver;
}

void NvSipTransportLayer::setTestTransport(NvSipTestTransport* transport) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->testTransport = transport;
}

NvSipPeer NvSipTransportLayer::resolveDestination(const NvSipMessage& message) const {
    NvSipPeer peer;
    if (message.isRequest()) {
        const auto& request = static_cast<const NvSipRequest&>(message);
        NvHandle<NvURI> target = request.getURI();
        if (const auto route = request.getHeader<NvSipRouteHeader>())
            if (route->getNameAddress()) target = route->getNameAddress()->getURI();
        const auto url = target.cast<NvSipURL>();
        if (!url)
            NvException::sThrow("Cannot send " + request.getMethod().str() + " to '" +
                                (target ? target->toString().str() : std::string("nothing")) + "': not a SIP URI");
        NvSocketImpl::Transport transport = url->isSecure() ? NvSocketImpl::TCP : NvSocketImpl::UDP;
        const NvString transportParam = url->getParameter("transport");
        if (!transportParam.isEmpty() && !NvSocketImpl::sParse(transportParam.view(), transport))
            NvException::sThrow("Cannot send over unsupported transport '" + transportParam.str() + "'");
        const NvString maddr = url->getParameter("maddr");
        std::string host = (maddr.isEmpty() ? url->getHost() : maddr).str();
        if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
        peer.transport = transport;
        peer.address = resolveHost(host);
        peer.port = url->getPort() ? url->getPort() : (url->isSecure() ? 5061 : 5060);
        return peer;
    }

    const auto& response = static_cast<const NvSipResponse&>(message);
    const auto via = response.getTopVia();
    if (!via) NvException::sThrow("Cannot send a response without a Via header");
    NvSocketImpl::sParse(via->getTransport().view(), peer.transport);
    const NvSipPeer& source = response.getRequestSource();
    if (peer.transport == NvSocketImpl::TCP && source.transport == NvSocketImpl::TCP && source.address.isValid()) {
        return source;  // back on the connection the request came on
    }
    const NvParameters& params = *via->getParameters();
    const NvString received = params.getValue("received");
    std::string host = (received.isEmpty() ? via->getHost() : received).str();
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    peer.address = resolveHost(host);
    const NvString rport = params.getValue("rport");
    uint16_t port = via->getPort();
    if (!rport.isEmpty()) {
        try {
            const uint32_t value = std::stoul(rport.str());
            if (value > 0 && value < 65536) port = static_cast<uint16_t>(value);
        } catch (const std::exception&) {
        }
    }
    peer.port = port ? port : 5060;
    return peer;
}

void NvSipTransportLayer::send(const NvHandle<NvSipMessage>& message, unsigned* port, NvInetAddress* address) {
    if (!message) NvException::sThrow("NvSipTransportLayer::send: no message");
    NvSipTransportLayer& layer = *sGetInstance();
    NvSipPeer destination = layer.resolveDestination(*message);
    if (address && address->isValid()) destination.address = *address;
    if (port && *port) destination.port = static_cast<uint16_t>(*port);

    std::string bytes;
    bytes.reserve(1024);
    message->serialize(bytes);
    NvSipTestTransport* test;
    {
        std::lock_guard<std::mutex> lock(layer.m_pImpl->mutex);
        test = layer.m_pImpl->testTransport;
    }
    const bool tcpAvailable = test || layer.m_pImpl->sockets.isListening(NvSocketImpl::TCP);
    if (message->isRequest() && destination.transport == NvSocketImpl::UDP && bytes.size() > sm_UdpMaxBytes &&
        tcpAvailable) {
        // Too large for UDP: over TCP, with our Via saying so.
        destination.transport = NvSocketImpl::TCP;
        if (const auto via = message->getTopVia()) {
            via->setTransport("TCP");
            bytes.clear();
            message->serialize(bytes);
        }
    }
    if (test)
        test->capture(bytes, destination);
    else
        layer.m_pImpl->sockets.write(bytes, destination);
    TELLAR_DEBUG(transportLogger(), "Sent " << bytes.size() << " bytes to " << destination.toString());
    if (address) *address = destination.address;
    if (port) *port = destination.port;
}

void NvSipTransportLayer::addViaHeader(const NvHandle<NvSipRequest>& request) {
    if (!request) return;
    NvSocketImpl::Transport transport = NvSocketImpl::UDP;
    try {
        transport = resolveDestination(*request).transport;
    } catch (NvHandle<NvException>&) {
        // No destination yet: the Via says UDP, and send() will report the problem.
    }
    NvHandle<NvSipViaHeader> via(new NvSipViaHeader(NvSocketImpl::sName(transport), getSentByHost(transport).view(),
                                                    getSentByPort(transport)));
    via->setBranchRFC3261();
    via->getParameters()->setFlag("rport");
    request->addHeader(NvHandle<NvSipHeader>(via), true);
}

bool NvSipTransportLayer::receiveBytes(const char* data, size_t length, const NvSipPeer& source) {
    NvHandle<NvSipMessage> message;
    try {
        message = NvSipParser::sParse(data, length);
    } catch (NvHandle<NvException>& e) {
        TELLAR_WARN(transportLogger(), "Dropped " << length << " bytes from " << source.toString() << ": "
                                                  << e->getMessage().str());
        return false;
    }
    message->setSource(source);
    if (message->isRequest()) {
        if (const auto via = message->getTopVia()) {
            NvParameters& params = *via->getParameters();
            const std::string sourceHost = source.address.toString().str();
            std::string viaHost = via->getHost().str();
            if (viaHost.size() > 2 && viaHost.front() == '[') viaHost = viaHost.substr(1, viaHost.size() - 2);
            const bool wantsRport = params.isPresent("rport");
            if (wantsRport || NvInetAddress::sParse(viaHost) != source.address) params.setValue("received", sourceHost);
            if (wantsRport) params.setValue("rport", std::to_string(source.port));
        }
    }
    NvSipMessageReceiver* receiver;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        receiver = m_pImpl->receiver;
    }
    if (!receiver) {
        TELLAR_DEBUG(transportLogger(), "No receiver: dropped a message from " << source.toString());
        return true;
    }
    try {
        receiver->receive(message);
    } catch (NvHandle<NvException>& e) {
        TELLAR_ERROR(transportLogger(), "Handling a message from " << source.toString()
                                                                   << " failed: " << e->getMessage().str());
    }
    return true;
}
