#include "stack/transport/NvSipTransportLayer.h"

#include "stack/base/NvException.h"
#include "stack/log/TellarLogger.h"
#include "stack/sip/NvSipParser.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transport/NvSipResolver.h"
#include "stack/transport/NvSipSocketTransport.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <mutex>

size_t NvSipTransportLayer::sm_UdpMaxBytes = 1300;
int NvSipTransportLayer::sm_SocketBufferBytes = 4 * 1024 * 1024;

NvSipMessageReceiver::~NvSipMessageReceiver() = default;

NvSipTransportBackend::~NvSipTransportBackend() = default;

bool NvSipTransportBackend::isListening(NvSocketImpl::Transport transport) const {
    for (const auto& point : getListenPoints())
        if (point.transport == transport) return true;
    return false;
}

void NvSipMessageReceiver::sendFailed(const NvHandle<NvSipMessage>&, const std::string&) {}

namespace {

Tellar::Logger& transportLogger() {
    static Tellar::Logger& logger = Tellar::getLogger("lumbrook.sip.transport");
    return logger;
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

std::string withoutBrackets(std::string host) {
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    return host;
}

// Refuses a sips URI: it must not travel over plain TCP or UDP.
void refuseSips(const NvSipRequest& request, const NvHandle<NvURI>& uri) {
    const auto url = uri.cast<NvSipURL>();
    if (url && url->isSecure())
        NvException::sThrow("Cannot send " + request.getMethod().str() + " to '" + url->toString().str() +
                            "': sips requires TLS, which this stack does not support");
}

std::string describe(const NvSipMessage& message) {
    if (message.isRequest()) return static_cast<const NvSipRequest&>(message).getMethod().str();
    return std::to_string(static_cast<const NvSipResponse&>(message).getStatusCode()) + " response";
}

}  // namespace

struct NvSipTransportLayer::Impl {
    explicit Impl(NvSipTransportLayer& layer) : sockets(layer) {}

    NvSipSocketTransport sockets;
    NvSipResolver resolver;
    mutable std::mutex mutex;  // guards the fields below
    NvSipMessageReceiver* receiver = nullptr;
    NvSipTransportBackend* installed = nullptr;  // else the sockets
    std::string sentByHost;
    uint16_t sentByPort = 0;
    // What getSentByHost/Port found from the listen points, by transport
    // (UDP, TCP), until they or the backend change; a host found for a
    // wildcard address is looked up again after kWildcardHostMs.
    struct FoundSentBy {
        bool known = false;
        SentBy value;
        std::chrono::steady_clock::time_point until;
    };
    FoundSentBy found[2];
    uint64_t listenChanges = 0;  // bumped by listen, close and installBackend

    void forgetSentBy() {
        for (FoundSentBy& each : found) each = FoundSentBy();
        ++listenChanges;
    }
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
    const uint16_t bound = m_pImpl->sockets.listen(transport, bindAddress, port);
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->forgetSentBy();
    return bound;
}

void NvSipTransportLayer::close() {
    m_pImpl->resolver.stop();
    m_pImpl->sockets.close();
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->forgetSentBy();
}

NvSipTransportBackend& NvSipTransportLayer::backend() const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->installed ? *m_pImpl->installed : m_pImpl->sockets;
}

std::vector<NvSipTransportLayer::ListenPoint> NvSipTransportLayer::getListenPoints() const {
    return backend().getListenPoints();
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
    }
    return sentBy(transport).host;
}

uint16_t NvSipTransportLayer::getSentByPort(NvSocketImpl::Transport transport) const {
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        if (m_pImpl->sentByPort) return m_pImpl->sentByPort;
    }
    return sentBy(transport).port;
}

NvSipTransportLayer::SentBy NvSipTransportLayer::sentBy(NvSocketImpl::Transport transport) const {
    constexpr auto kWildcardHostMs = std::chrono::milliseconds(10000);
    const auto now = std::chrono::steady_clock::now();
    Impl::FoundSentBy& cached = m_pImpl->found[transport == NvSocketImpl::TCP ? 1 : 0];
    uint64_t changes;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->mutex);
        if (cached.known && now < cached.until) return cached.value;
        changes = m_pImpl->listenChanges;
    }
    // The host: the first listen point, else the first of the transport.
    // The port: the first listen point, else the last of the transport.
    const auto points = getListenPoints();
    const ListenPoint* chosen = nullptr;
    uint16_t port = 0;
    for (const auto& p : points) {
        if (!chosen || (p.transport == transport && chosen->transport != transport)) chosen = &p;
        if (!port || p.transport == transport) port = p.port;
    }
    const bool wildcard = chosen && chosen->address.isWildcard();
    SentBy result{NvString("127.0.0.1"), port ? port : static_cast<uint16_t>(5060)};
    if (chosen)
        result.host = NvString(
            hostForVia(wildcard ? hostAddress(chosen->address.getFamily()) : chosen->address.toString().str()));
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    if (changes == m_pImpl->listenChanges)
        cached = Impl::FoundSentBy{true, result,
                                   wildcard ? now + kWildcardHostMs : std::chrono::steady_clock::time_point::max()};
    return result;
}

void NvSipTransportLayer::setReceiver(NvSipMessageReceiver* receiver) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->receiver = receiver;
}

NvSipMessageReceiver* NvSipTransportLayer::getReceiver() const {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->receiver;
}

void NvSipTransportLayer::installBackend(NvSipTransportBackend* backend) {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->installed = backend;
    m_pImpl->forgetSentBy();
}

void NvSipTransportLayer::reportSendFailed(const NvHandle<NvSipMessage>& message, const std::string& reason) {
    TELLAR_WARN(transportLogger(), "Could not send " << (message ? describe(*message) : std::string("a message"))
                                                     << ": " << reason);
    NvSipMessageReceiver* receiver = getReceiver();
    if (!receiver || !message) return;
    try {
        receiver->sendFailed(message, reason);
    } catch (NvHandle<NvException>& e) {
        TELLAR_ERROR(transportLogger(), "Reporting a failed send failed: " << e->getMessage().str());
    }
}

NvSipTransportLayer::Route NvSipTransportLayer::route(const NvSipMessage& message) const {
    Route route;
    NvSipPeer& peer = route.peer;
    if (message.isRequest()) {
        const auto& request = static_cast<const NvSipRequest&>(message);
        NvHandle<NvURI> target = request.getURI();
        refuseSips(request, target);
        // RFC 3261 8.1.2, 16.12: a loose router at the top is the next hop. A
        // request strict-routed (12.2.1.1) has the strict router as its
        // Request-URI, the next hop: one marked so, or whose top Route has no
        // "lr" (the marking tells it from a loose router following a strict one).
        if (const auto top = request.getHeader<NvSipRouteHeader>())
            if (top->getNameAddress() && top->getNameAddress()->getURI() && !request.isStrictRouted()) {
                const NvHandle<NvURI> hop = top->getNameAddress()->getURI();
                refuseSips(request, hop);
                const auto router = hop.cast<NvSipURL>();
                if (router && router->parameters().isPresent("lr")) target = hop;
            }
        const auto url = target.cast<NvSipURL>();
        if (!url)
            NvException::sThrow("Cannot send " + request.getMethod().str() + " to '" +
                                (target ? target->toString().str() : std::string("nothing")) + "': not a SIP URI");
        const NvString transportParam = url->getParameter("transport");
        if (!transportParam.isEmpty() && !NvSocketImpl::sParse(transportParam.view(), peer.transport))
            NvException::sThrow("Cannot send over unsupported transport '" + transportParam.str() + "'");
        const NvString maddr = url->getParameter("maddr");
        route.host = withoutBrackets((maddr.isEmpty() ? url->getHost() : maddr).str());
        peer.port = url->getPort() ? url->getPort() : 5060;
    } else {
        const auto& response = static_cast<const NvSipResponse&>(message);
        const auto via = response.getTopVia();
        if (!via) NvException::sThrow("Cannot send a response without a Via header");
        NvSocketImpl::sParse(via->getTransport().view(), peer.transport);
        const NvParameters& params = *via->getParameters();
        const NvString received = params.getValue("received");
        route.host = withoutBrackets((received.isEmpty() ? via->getHost() : received).str());
        peer.port = via->getPort() ? via->getPort() : 5060;
        const NvSipPeer& source = response.getRequestSource();
        if (peer.transport == NvSocketImpl::TCP) {
            // The request's connection while it is open; the port above otherwise.
            if (source.transport == NvSocketImpl::TCP) peer.connection = source.connection;
        } else {
            const NvString rport = params.getValue("rport");
            try {
                const uint32_t value = rport.isEmpty() ? 0 : std::stoul(rport.str());
                if (value > 0 && value < 65536) peer.port = static_cast<uint16_t>(value);
            } catch (const std::exception&) {
            }
            peer.localAddress = source.localAddress;
            peer.localPort = source.localPort;
        }
    }
    peer.address = NvInetAddress::sParse(route.host);
    return route;
}

NvSipPeer NvSipTransportLayer::resolveDestination(const NvSipMessage& message) const {
    return route(message).peer;
}

void NvSipTransportLayer::send(const NvHandle<NvSipMessage>& message, unsigned* port, NvInetAddress* address) {
    if (!message) NvException::sThrow("NvSipTransportLayer::send: no message");
    NvSipTransportLayer& layer = *sGetInstance();
    Route destination = layer.route(*message);
    NvSipPeer& peer = destination.peer;
    if (address && address->isValid()) peer.address = *address;
    if (port && *port) peer.port = static_cast<uint16_t>(*port);
    if (!peer.address.isValid()) {
        // A host name, whatever the thread: the caller may hold a dialog's
        // lock that the monitor thread needs, so nobody waits for a name server here.
        layer.deliverWhenResolved(message, destination);
        if (address) *address = NvInetAddress();
        if (port) *port = peer.port;
        return;
    }
    layer.deliver(message, peer);
    if (address) *address = peer.address;
    if (port) *port = peer.port;
}

void NvSipTransportLayer::deliverWhenResolved(const NvHandle<NvSipMessage>& message, const Route& route) {
    const NvSipPeer unresolved = route.peer;
    m_pImpl->resolver.resolveLater(route.host, [this, message, unresolved](const NvInetAddress& address,
                                                                            const std::string& error) {
        NvMonitorThread::sGetCurrent()->post([this, message, unresolved, address, error] {
            if (!address.isValid()) return reportSendFailed(message, error);
            NvSipPeer peer = unresolved;
            peer.address = address;
            try {
                deliver(message, peer);
            } catch (NvHandle<NvException>& e) {
                reportSendFailed(message, e->getMessage().str());
            }
        });
    });
}

void NvSipTransportLayer::deliver(const NvHandle<NvSipMessage>& message, NvSipPeer& peer) {
    NvSipTransportBackend& target = backend();
    std::string bytes;
    bytes.reserve(1024);
    message->serialize(bytes);
    if (message->isRequest() && peer.transport == NvSocketImpl::UDP && bytes.size() > sm_UdpMaxBytes &&
        target.isListening(NvSocketImpl::TCP)) {
        // Too large for UDP: over TCP, with our Via saying so.
        peer.transport = NvSocketImpl::TCP;
        if (const auto via = message->getTopVia()) {
            via->setTransport("TCP");
            bytes.clear();
            message->serialize(bytes);
        }
    }
    target.write(message, bytes, peer);
    TELLAR_DEBUG(transportLogger(), "Sent " << bytes.size() << " bytes to " << peer.toString());
}

void NvSipTransportLayer::addViaHeader(const NvHandle<NvSipRequest>& request) {
    if (!request) return;
    NvSocketImpl::Transport transport = NvSocketImpl::UDP;
    try {
        transport = route(*request).peer.transport;
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
