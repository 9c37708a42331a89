#pragma once
// NvSipTransportLayer: moves SIP messages between the stack and the network.
//
// Sending is stateless: send() works out where a message goes and hands the
// bytes to the backend (NvSipTransportBackend: the sockets, or the test
// transport while one is installed).
//   - Requests go to the top Route when it is a loose router (its URI has
//     "lr"), else to the Request-URI (RFC 3261 8.1.2): no Route, a top
//     Route without "lr", or a request marked strict-routed
//     (NvSipRequest::isStrictRouted): such a request was built as 12.2.1.1
//     says and its Request-URI is the strict router. The destination is
//     that URI's maddr or host, its port (5060 by default) and its
//     transport parameter (UDP by default). A sips URI, as Request-URI or top Route, is refused with
//     an NvException: sips needs TLS, which this stack does not have. A
//     request larger than sm_UdpMaxBytes bound for UDP goes over TCP
//     instead, with its Via changed to match, when TCP is listening.
//   - Responses go where the top Via says. Over TCP (RFC 3261 18.2.2): on
//     the connection the request came on while it is open; else to the
//     "received" address (or the sent-by host) at the sent-by port (5060
//     by default), never to the request's ephemeral source port. Over UDP:
//     to "received" (or the sent-by host), at "rport" when present, else
//     the sent-by port, and from the socket the request arrived on
//     (RFC 3581 4).
//   - Host names (anything but an IP literal) are resolved with the system
//     resolver on NvSipResolver's worker, whichever thread called send():
//     send() returns at once and the message leaves when the answer is in
//     (from the monitor thread; from the worker while the monitor is stopped).
//   - Failures send() sees at once raise NvException (a full UDP send buffer
//     among them: the datagram is dropped, not waited for). Failures found after
//     it returned (a name that does not resolve, a TCP connection that
//     cannot be opened or breaks before the bytes went out, a datagram sent
//     on the monitor thread while it handles received ones, which leaves
//     with the others of that batch: see NvSipSocketTransport) reach
//     NvSipMessageReceiver::sendFailed on the monitor thread.
// Receiving: datagrams and framed stream messages are parsed; a request's
// top Via gets "received" when its sent-by host is not the source address
// and "rport=<port>" when it asked for rport; the message is tagged with its
// source (NvSipMessage::getSource: peer, connection, and our socket) and
// handed to the receiver. Bytes that do not parse are dropped with a log
// line naming the peer and the reason; a stream that sends garbage is closed.
//
// Threads: listen()/close() from the application before and after traffic;
// send() from any thread. No thread ever waits inside send() for a name
// server or for room in a socket's send buffer: the caller may hold a
// dialog's lock (and its transaction's send lock) that the monitor thread
// needs to handle the next message for that dialog. Reception runs on the
// monitor thread (NvMonitorThread), or on the test's thread with the test
// transport. Impl::mutex guards the receiver, the installed backend and the
// sent-by setting.

#include "stack/base/NvHandle.h"
#include "stack/base/NvString.h"
#include "stack/net/NvSocketImpl.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/transport/NvSipTransportBackend.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Told of every message the transport receives.
class NvSipMessageReceiver {
public:
    virtual ~NvSipMessageReceiver();
    // Runs on the monitor thread (or the test's thread).
    virtual void receive(const NvHandle<NvSipMessage>& message) = 0;
    // A message that send() accepted could not be delivered after send()
    // returned (a TCP connection that could not be opened or broke before
    // the bytes were written, a host name that did not resolve). `message`
    // is the one given to send(); `reason` says what failed. Runs on the
    // monitor thread (with the monitor stopped, on the thread that found the
    // failure: the resolver's worker, or the one calling close()). The
    // default does nothing.
    virtual void sendFailed(const NvHandle<NvSipMessage>& message, const std::string& reason);
};

class NvSipTransportLayer {
public:
    using ListenPoint = NvSipListenPoint;

    // Largest request sent over UDP before switching to TCP (RFC 3261 18.1.1).
    static size_t sm_UdpMaxBytes;
    // Receive and send buffer size asked for on every socket, so that bursts
    // are absorbed by the kernel rather than dropped.
    static int sm_SocketBufferBytes;

    static NvSipTransportLayer* sGetInstance();

    // Opens a socket (UDP) or a listening socket (TCP) on `address`
    // ("0.0.0.0", "::", "127.0.0.1", "::1", ...) and `port` (0 picks a free
    // one) and registers it with the monitor thread's reactor. Returns the
    // bound port. Raises NvSystemError when the socket cannot be opened or bound.
    uint16_t listen(NvSocketImpl::Transport transport, const char* address, uint16_t port);
    // Closes every socket and connection, and stops the resolver's worker
    // (names still waiting are reported through sendFailed).
    void close();
    // The backend's listen points.
    std::vector<ListenPoint> getListenPoints() const;

    // The host and port written in our Via headers for `transport` (and
    // offered for Contact): the address given by setSentBy, else the first
    // listen point of that transport (a wildcard address is replaced by the
    // host's first non-loopback address, or loopback). Found once for each
    // set of listen points (a wildcard's host at most every 10 s): a
    // request's Via costs no lookup.
    NvString getSentByHost(NvSocketImpl::Transport transport) const;
    uint16_t getSentByPort(NvSocketImpl::Transport transport) const;
    void setSentBy(const char* host, uint16_t port);

    // Sends `message` statelessly. When `address` is given and valid, and/or
    // `port` is given and not 0, they override the destination; on return
    // they hold the destination used (`address` comes back invalid while a
    // host name is resolved in the background). Raises NvException when no
    // destination can be found, when NvSipResolver::kMaxPending names are
    // already waiting to be resolved, or when the message cannot be written
    // (a full UDP send buffer included: it is not waited for).
    static void send(const NvHandle<NvSipMessage>& message, unsigned* port = nullptr, NvInetAddress* address = nullptr);

    // Where `message` would go (the rules above), without sending it. A host
    // name is never resolved here, on any thread: the address is left
    // invalid, and send() has the name resolved on the resolver's worker.
    NvSipPeer resolveDestination(const NvSipMessage& message) const;

    // Puts our Via on top of `request`: transport from its destination,
    // sent-by from getSentBy*, a new RFC 3261 branch, and "rport".
    void addViaHeader(const NvHandle<NvSipRequest>& request);

    // Where received messages go; the transaction manager sets itself.
    void setReceiver(NvSipMessageReceiver* receiver);
    NvSipMessageReceiver* getReceiver() const;
    // Entry point of received bytes, shared by the sockets and the test
    // transport: parses, completes the Via and hands the message on.
    // Returns false when the bytes are not a SIP message (they are dropped
    // with a log line; a stream transport closes the connection).
    bool receiveBytes(const char* data, size_t length, const NvSipPeer& source);

    // Tells the receiver that `message` could not be delivered after send()
    // returned, with a log line. Called by the backends on the monitor thread.
    void reportSendFailed(const NvHandle<NvSipMessage>& message, const std::string& reason);

    // While set, messages go to `backend` instead of the sockets (nullptr
    // puts the sockets back). The test transport installs itself.
    void installBackend(NvSipTransportBackend* backend);

private:
    // A destination before its host name is resolved: `peer.address` is
    // set when `host` is an IP literal.
    struct Route {
        NvSipPeer peer;
        std::string host;
    };

    // The sent-by host and port found from the listen points (see
    // getSentByHost), kept until they change.
    struct SentBy {
        NvString host;
        uint16_t port = 0;
    };

    NvSipTransportLayer();
    ~NvSipTransportLayer();
    SentBy sentBy(NvSocketImpl::Transport transport) const;
    Route route(const NvSipMessage& message) const;
    NvSipTransportBackend& backend() const;
    // Serializes and writes `message` to a resolved `peer`.
    void deliver(const NvHandle<NvSipMessage>& message, NvSipPeer& peer);
    // Any thread, returning at once: resolves `route.host` on the resolver's
    // worker, then delivers on the monitor thread (or reports the failure).
    void deliverWhenResolved(const NvHandle<NvSipMessage>& message, const Route& route);

    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
