#include "stack/transport/NvSipTestTransport.h"

#include "stack/base/NvException.h"
#include "stack/sip/NvSipParser.h"
#include "stack/transport/NvSipTransportLayer.h"

NvSipTestTransport::NvSipTestTransport(const char* localHost, uint16_t localPort)
    : m_LocalHost(localHost ? localHost : "192.0.2.10"), m_LocalPort(localPort) {
    NvSipTransportLayer::sGetInstance()->setTestTransport(this);
}

NvSipTestTransport::~NvSipTestTransport() { NvSipTransportLayer::sGetInstance()->setTestTransport(nullptr); }

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

void NvSipTestTransport::capture(std::string bytes, const NvSipPeer& destination) {
    Sent sent;
    try {
        sent.message = NvSipParser::sParse(bytes.data(), bytes.size());
    } catch (NvHandle<NvException>&) {
        // Kept as bytes only: a test can still look at what went out.
    }
    sent.bytes = std::move(bytes);
    sent.destination = destination;
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Sent.push_back(std::move(sent));
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
