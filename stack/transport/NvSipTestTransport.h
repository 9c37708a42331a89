#pragma once
// NvSipTestTransport: the transport a test talks to instead of the network.
// Part of the stack's public test API.
//
// While one exists it is NvSipTransportLayer's backend: every message the
// stack sends is captured here (bytes, parsed message, destination) and
// nothing reaches a socket; inject() feeds bytes into the stack's receive
// path on the calling thread, exactly as a socket would. The stack's own
// address is `local` (192.0.2.10:5060 by default): it listens there on UDP
// and TCP, which is what goes into Via and Contact.
//
// Thread-safe: captures may be read while another thread sends.

#include "stack/transport/NvSipTransportBackend.h"

#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class NvSipTestTransport : public NvSipTransportBackend {
public:
    struct Sent {
        std::string bytes;
        NvHandle<NvSipMessage> message;  // the message as parsed back from `bytes`
        NvSipPeer destination;
    };

    explicit NvSipTestTransport(const char* localHost = "192.0.2.10", uint16_t localPort = 5060);
    ~NvSipTestTransport() override;
    NvSipTestTransport(const NvSipTestTransport&) = delete;
    NvSipTestTransport& operator=(const NvSipTestTransport&) = delete;

    // The peer injected messages come from by default.
    static NvSipPeer sDefaultPeer();

    // Feeds `bytes` to the stack as received from `source`.
    void inject(std::string_view bytes, const NvSipPeer& source = sDefaultPeer());

    // Captures, oldest first.
    size_t sentCount() const;
    std::vector<Sent> sent() const;
    // Removes and returns the oldest capture; raises NvException when there is none.
    Sent takeNext();
    void clear();

    // NvSipTransportBackend: captures instead of writing.
    void write(const NvHandle<NvSipMessage>& message, const std::string& bytes, NvSipPeer& peer) override;
    std::vector<NvSipListenPoint> getListenPoints() const override;

private:
    const NvInetAddress m_LocalAddress;
    const uint16_t m_LocalPort;
    mutable std::mutex m_Mutex;  // guards m_Sent
    std::deque<Sent> m_Sent;
};
