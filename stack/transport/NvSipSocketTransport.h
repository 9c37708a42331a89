#pragma once
// NvSipSocketTransport: the sockets behind NvSipTransportLayer, its default
// backend. Owned by the transport layer; not used directly by anyone else.
//
// UDP: one socket per listen point; datagrams are read on the monitor
// thread and handed to NvSipTransportLayer::receiveBytes. TCP: a listening
// socket per listen point plus one connection per peer, accepted or opened
// on demand and reused for everything to and from that peer. A connection we
// open connects without blocking: messages written meanwhile are queued and
// go out once it is up. If the connect fails (at once or later) or is not
// up within 2 s, or any connection closes before a queued message was
// written, the message is reported through
// NvSipTransportLayer::reportSendFailed. Bytes are framed by Content-Length
// (NvSipParser::sFrameLength) and each complete message is handed on. A
// connection that sends what cannot be framed, or more than the message
// limit, is closed with a log line; so is one idle for
// sm_IdleTimeoutMs.
//
// A UDP datagram leaves from the socket named by the peer's local end (the
// one its request came in on), else from one of the peer's family that can
// reach it. A full UDP send buffer is never waited for, on any thread (the
// caller may hold a dialog's lock that the monitor thread needs): the
// datagram is dropped with a log line and NvSystemError. Datagrams written
// on the monitor thread while it handles a UDP socket's input (what the
// received datagrams cause) leave from that socket together, with one
// sendmmsg when its turn ends: one system call and one pass through the
// kernel's network path instead of one per message. Their failures are
// found then, and reported through NvSipTransportLayer::reportSendFailed.
//
// Threads: listen()/close() from the application; write() from any thread,
// never blocking (TCP writes to one connection are serialised); reading,
// accepting, connecting and closing on the monitor thread (NvMonitorThread's
// ACE reactor).

#include "stack/net/NvSocketImpl.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <memory>
#include <string>
#include <vector>

class NvSipSocketTransport : public NvSipTransportBackend {
public:
    static unsigned int sm_IdleTimeoutMs;  // idle TCP connections are closed after this (default 10 minutes)

    explicit NvSipSocketTransport(NvSipTransportLayer& layer);
    ~NvSipSocketTransport() override;

    // See NvSipTransportLayer::listen.
    uint16_t listen(NvSocketImpl::Transport transport, const NvInetAddress& address, uint16_t port);
    void close();
    std::vector<NvSipListenPoint> getListenPoints() const override;

    // Writes one message to `peer`. UDP: from the socket chosen as above;
    // `peer.localAddress`/`localPort` are set to it. TCP: on
    // `peer.connection` when it is still open, else on an open connection to
    // the peer's address and port, else on a new one; `peer.connection` is
    // set to the connection used. Raises NvSystemError / NvException for
    // what fails at once.
    void write(const NvHandle<NvSipMessage>& message, const std::string& bytes, NvSipPeer& peer) override;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
