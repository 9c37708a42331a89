#include "stack/transport/NvSipTestTransport.h"

#include "stack/base/NvException.h"
#include "stack/sip/NvSipParser.h"
#include "stack/transport/NvSipTransportLayer.h"

NvSipTestTransport::NvSipTestTransport(const char* localHost, uint16_t localPort)
    : m_LocalAddress(NvInetAddress::sParse(localHost ? localHost : "")), m_LocalPort(localPort) {
    if (!m_LocalAddress.isValid())
        NvException::sThrow(std::string("NvSipTestTransport: '") + (localHost ? localHost : "") +
                            "' is not an IP address");
    NvSipTransportLayer::sGetInstance()->installBackend(this);
}

NvSipTestTransport::~NvSipTestTransport() { NvSipTransportLayer::sGetInstance()->installBackend(nullptr); }

NvSipPeer NvSipTestTransport::sDefaultPeer() {
    NvSipPeer peer;
    peer.transport = NvSocketImpl::UDP;
    peer.address = NvInetAddress::sParse("192.0.2.1");
    peer.port = 5060;
    return peer;
}

void NvSipTestTransport::inject(std::string_view bytes, const NvSipPeer& source) {
    NvSipTransportLayer::sGetInstance()->receiveBytes(bytes.data(), bytes.size(), source);
}

void NvSipTestTransport::write(const NvHandle<NvSipMessage>&, const std::string& bytes, NvSipPeer& peer) {
    Sent sent;
    try {
        sent.message = NvSipParser::sParse(bytes.data(), bytes.size());
    } catch (NvHandle<NvException>&) {
        // Kept as bytes only: a test can still look at what went out.
    }
    sent.bytes = bytes;
    sent.destination = peer;
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Sent.push_back(std::move(sent));
}

std::vector<NvSipListenPoint> NvSipTestTransport::getListenPoints() const {
    return {{NvSocketImpl::UDP, m_LocalAddress, m_LocalPort}, {NvSocketImpl::TCP, m_LocalAddress, m_LocalPort}};
}

size_t NvSipTestTransport::sentCount() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Sent.size();
}

std::vector<NvSipTestTransport::Sent> NvSipTestTransport::sent() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return std::vector<Sent>(m_Sent.begin(), m_Sent.end());
}

NvSipTestTransport::Sent NvSipTestTransport::takeNext() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Sent.empty()) NvException::sThrow("NvSipTestTransport: nothing was sent");
    Sent next = std::move(m_Sent.front());
    m_Sent.pop_front();
    return next;
}

void NvSipTestTransport::clear() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Sent.clear();
}
