#pragma once
// NvSipSocketTransport: the sockets behind NvSipTransportLayer. Owned by the
// transport layer; not used directly by anyone else.
//
// UDP: one socket per listen point; datagrams are read on the monitor
// thread and handed to NvSipTransportLayer::receiveBytes. TCP: a listening
// socket per listen point plus one connection per peer, accepted or opened
// on demand and reused for everything to and from that peer; bytes are
// framed by Content-Length (NvSipParser::sFrameLength) and each complete
// message is handed on. A connection that sends what cannot be framed, or
// more than the message limit, is closed with a log line; so is one idle for
// sm_IdleTimeoutMs.
//
// Threads: listen()/close() from the application; write() from any thread
// (TCP writes to one connection are serialised); reading, accepting and
// closing on the monitor thread (NvMonitorThread's ACE reactor).

#include "stack/net/NvSocketImpl.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <memory>
#include <string>
#include <vector>

class NvSipSocketTransport {
public:
    static unsigned int sm_IdleTimeoutMs;  // idle TCP connections are closed after this (default 10 minutes)

    explicit NvSipSocketTransport(NvSipTransportLayer& layer);
    ~NvSipSocketTransport();

    // See NvSipTransportLayer::listen.
    uint16_t listen(NvSocketImpl::Transport transport, const NvInetAddress& address, uint16_t port);
    void close();
    std::vector<NvSipTransportLayer::ListenPoint> getListenPoints() const;
    bool isListening(NvSocketImpl::Transport transport) const;

    // Writes one message to `peer`. UDP: from the socket of the peer's
    // address family. TCP: on `peer.connection` when it is still open, else
    // on an open connection to the peer's address and port, else on a new
    // one; `peer.connection` is set to the connection used. Raises
    // NvSystemError / NvException when it cannot be written.
    void write(const std::string& bytes, NvSipPeer& peer);

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
