#include "stack/transport/NvSipSocketTransport.h"

#include "stack/base/NvException.h"
#include "stack/log/TellarLogger.h"
#include "stack/sip/NvSipParser.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transport/NvSipSocketFraming.h"

#include <ace/Event_Handler.h>
#include <ace/Reactor.h>
#include <ace/Time_Value.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

unsigned int NvSipSocketTransport::sm_IdleTimeoutMs = 10 * 60 * 1000;

// How the pieces fit:
//
// Core holds the tables (listen points, UDP sockets, TCP listeners,
// connections by id and by peer) under one mutex. Each socket is an
// ACE_Event_Handler with reference counting enabled: the tables, the reactor,
// pending reactor timers, posted tasks and writers on other threads each hold
// a reference, so a handler lives until the last of them lets go, whichever
// thread that is.
//
// The reactor is touched on the monitor thread only (NvMonitorThread::post;
// it runs at once when called there or when the monitor is stopped). A
// socket's descriptor is closed on the monitor thread too, after its handler
// has left the reactor, and under the handler's own mutex, which writers hold
// while they use the descriptor: a writer can never write into a descriptor
// number that was closed and reused.
//
// Lock order: never hold Core's mutex while taking a handler's, or the
// reverse.

namespace {

Tellar::Logger& socketLogger() {
    static Tellar::Logger& logger = Tellar::getLogger("lumbrook.sip.transport.socket");
    return logger;
}

constexpr int kDatagramsPerWakeUp = 64;  // then other sockets get their turn
constexpr int kAcceptsPerWakeUp = 64;
constexpr int kReadsPerWakeUp = 16;
constexpr size_t kReadBufferBytes = 64 * 1024;  // at least the largest datagram
constexpr unsigned int kConnectTimeoutMs = 2000;
constexpr size_t kMaxQueuedBytes = 1024 * 1024;  // per connection, waiting for the peer to read
constexpr int kMonitorWaitMs = 5000;  // longest wait for the monitor thread to run a task

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Counted reference to an ACE_Event_Handler whose reference counting is enabled.
template <class T>
class HandlerRef {
public:
    HandlerRef() = default;
    explicit HandlerRef(T* handler) : m_p(handler) {
        if (m_p) m_p->add_reference();
    }
    // Takes over the reference a new handler is born with.
    static HandlerRef sAdopt(T* handler) {
        HandlerRef ref;
        ref.m_p = handler;
        return ref;
    }
    HandlerRef(const HandlerRef& other) : HandlerRef(other.m_p) {}
    HandlerRef(HandlerRef&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    HandlerRef& operator=(HandlerRef other) noexcept {
        std::swap(m_p, other.m_p);
        return *this;
    }
    ~HandlerRef() {
        if (m_p) m_p->remove_reference();
    }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

int familyOf(const NvInetAddress& address) {
    return address.getFamily() == NvInetAddress::Family::IPv6 ? AF_INET6 : AF_INET;
}

SocketAddress toSocketAddress(const NvInetAddress& address, uint16_t port) {
    SocketAddress result;
    if (address.getFamily() == NvInetAddress::Family::IPv6) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&result.storage);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(port);
        sin6->sin6_addr = address.ipv6();
        result.length = sizeof(sockaddr_in6);
    } else {
        auto* sin = reinterpret_cast<sockaddr_in*>(&result.storage);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(port);
        sin->sin_addr = address.ipv4();
        result.length = sizeof(sockaddr_in);
    }
    return result;
}

void fromSocketAddress(const sockaddr_storage& storage, NvInetAddress& address, uint16_t& port) {
    if (storage.ss_family == AF_INET6) {
        const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        address = NvInetAddress(sin6->sin6_addr);
        port = ntohs(sin6->sin6_port);
    } else if (storage.ss_family == AF_INET) {
        const auto* sin = reinterpret_cast<const sockaddr_in*>(&storage);
        address = NvInetAddress(sin->sin_addr);
        port = ntohs(sin->sin_port);
    } else {
        address = NvInetAddress();
        port = 0;
    }
}

// Closes `fd` without disturbing errno, for error paths that still report it.
void closeQuietly(int fd) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

void setOption(int fd, int level, int name, int value) {
    (void)::setsockopt(fd, level, name, &value, sizeof value);
}

// Kernel buffers of sm_SocketBufferBytes each way. The FORCE variants pass
// the system limit when we may (root); the plain ones are capped by it.
void sizeBuffers(int fd) {
    const int bytes = NvSipTransportLayer::sm_SocketBufferBytes;
    if (bytes <= 0) return;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0)
        (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

int openSocket(int family, int type) {
    const int fd = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) NvSystemError::sThrow("socket", 0);
    return fd;
}

bool onlyLineEnds(const char* data, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (data[i] != '\r' && data[i] != '\n') return false;
    return true;
}

std::string connectionName(uint32_t id, const NvSipPeer& peer) {
    return "connection " + std::to_string(id) + " (" + peer.toString() + ")";
}

class Core;

// Base of the three kinds of socket. m_Fd changes only on the monitor
// thread, under m_Mutex; other threads read it under m_Mutex.
class SocketHandler : public ACE_Event_Handler {
public:
    SocketHandler(std::shared_ptr<Core> core, int fd) : m_pCore(std::move(core)), m_Fd(fd) {
        reference_counting_policy().value(ACE_Event_Handler::Reference_Counting_Policy::ENABLED);
    }
    ~SocketHandler() override {
        if (m_Fd >= 0) ::close(m_Fd);
    }

    ACE_HANDLE get_handle() const override { return m_Fd; }

    // Counted here rather than by ACE, with a plain std::atomic, so that the
    // last release on any thread is ordered after every use before it.
    Reference_Count add_reference() override { return ++m_References; }
    Reference_Count remove_reference() override {
        const Reference_Count left = --m_References;
        if (left == 0) delete this;
        return left;
    }

    // Monitor thread: joins the reactor for reading.
    bool registerForInput(ACE_Reactor& reactor);
    // Monitor thread: leaves the reactor (timers included) and closes the descriptor.
    void shutDown(ACE_Reactor& reactor);

protected:
    std::shared_ptr<Core> m_pCore;
    std::atomic<Reference_Count> m_References{1};  // the creator's
    mutable std::mutex m_Mutex;  // guards m_Fd against closing while another thread writes
    int m_Fd;
    bool m_bRegistered = false;  // monitor thread only
    long m_TimerId = -1;         // monitor thread only
};

// A socket bound to one of our listen points.
class ListeningSocket : public SocketHandler {
public:
    ListeningSocket(std::shared_ptr<Core> core, int fd, NvSipListenPoint point)
        : SocketHandler(std::move(core), fd), m_Point(point) {}
    const NvSipListenPoint& point() const { return m_Point; }

private:
    NvSipListenPoint m_Point;
};

// A UDP socket. Datagrams written on the monitor thread while it handles
// this socket's input (the answers and requests that received datagrams
// cause) are gathered, and leave together with one sendmmsg when the
// socket's turn ends or kMaxBatch are waiting: one system call and one pass
// through the kernel's network path instead of one per datagram, which is
// most of what a message costs to send on loopback. A gathered datagram that
// cannot be written (a full send buffer included) is reported with
// NvSipTransportLayer::reportSendFailed, as failures found after send()
// returned are. Datagrams written from other threads, or on the monitor
// thread outside this socket's input, leave at once.
class UdpSocket : public ListeningSocket {
public:
    using ListeningSocket::ListeningSocket;
    int handle_input(ACE_HANDLE) override;
    // Any thread, never waiting: a full send buffer drops the datagram with a
    // log line and NvSystemError (EAGAIN), on every thread alike, because the
    // caller may hold a dialog's lock that the monitor thread needs. Raises
    // NvSystemError for any other failure too. `message` (may be nil) is what
    // a gathered datagram's failure is reported with.
    void sendTo(const NvHandle<NvSipMessage>& message, const std::string& bytes, const NvSipPeer& peer);

private:
    static constexpr size_t kMaxBatch = 64;
    struct Gathered {
        NvHandle<NvSipMessage> message;
        std::string bytes;
        SocketAddress to;
    };
    // Sends what was gathered; reports what could not go. Monitor thread.
    void sendGathered();

    std::vector<Gathered> m_Gathered;  // monitor thread only
};

// The socket whose input the monitor thread is handling, if any.
thread_local UdpSocket* t_pHandlingInput = nullptr;

class TcpListener : public ListeningSocket {
public:
    using ListeningSocket::ListeningSocket;
    int handle_input(ACE_HANDLE) override;
};

// One TCP connection, accepted or opened by us. An opened one starts out
// connecting: what is written meanwhile is queued and goes out once the
// reactor reports it writable; a connect that fails or takes longer than
// kConnectTimeoutMs closes it. Each queued message is remembered until its
// last byte is written, so that a connection closing before that can report
// it as not sent.
class Connection : public SocketHandler {
public:
    Connection(std::shared_ptr<Core> core, int fd, const NvSipPeer& peer, bool connecting)
        : SocketHandler(std::move(core), fd), m_Peer(peer), m_LastActivityMs(nowMs()), m_bConnecting(connecting) {}

    uint32_t id() const { return m_Peer.connection; }
    const NvSipPeer& peer() const { return m_Peer; }
    std::string name() const { return connectionName(m_Peer.connection, m_Peer); }

    // Monitor thread: reactor registration and the idle timer.
    void start(ACE_Reactor& reactor);
    int handle_input(ACE_HANDLE) override;
    int handle_output(ACE_HANDLE) override;
    int handle_timeout(const ACE_Time_Value&, const void*) override;
    // Monitor thread: asks for writability while bytes are queued.
    void armOutput(ACE_Reactor& reactor);

    // Any thread. Writes or queues the bytes of `message` (nil for a
    // keep-alive); false when the connection is closed or broken (nothing
    // written). Raises NvException when the queue is full and NvSystemError
    // when the socket fails.
    bool send(const NvHandle<NvSipMessage>& message, const char* data, size_t length);
    // Takes the messages whose bytes have not all been written.
    std::vector<NvHandle<NvSipMessage>> takeUnsent();
    bool isConnecting() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_bConnecting;
    }

private:
    void scheduleIdleTimer(ACE_Reactor& reactor, unsigned int delayMs);
    // Under m_Mutex: queues bytes behind m_Outgoing / drops written ones.
    void enqueue(const NvHandle<NvSipMessage>& message, const char* data, size_t length);
    void dequeue(size_t written);
    // Under m_Mutex: the connect's outcome, once the socket is writable; "" when connected.
    std::string finishConnect();

    struct Queued {
        NvHandle<NvSipMessage> message;
        uint64_t end;  // stream offset just past its last byte
    };

    const NvSipPeer m_Peer;
    NvSipStreamFramer m_Framer;              // monitor thread only
    std::atomic<int64_t> m_LastActivityMs;  // steady clock
    // Guarded by m_Mutex:
    std::string m_Outgoing;  // bytes the kernel did not take yet
    uint64_t m_OutgoingStart = 0;  // bytes taken out of m_Outgoing so far: the base of Queued::end
    std::deque<Queued> m_Queued;   // messages with bytes in m_Outgoing
    bool m_bConnecting;      // connect() in progress
    bool m_bBroken = false;  // a write failed; the monitor closes it
    bool m_bArmed = false;   // registered for writability
};

class Core : public std::enable_shared_from_this<Core> {
public:
    Core(NvSipTransportLayer& layer, NvMonitorThread& monitor) : m_Layer(layer), m_Monitor(monitor) {}

    NvSipTransportLayer& layer() { return m_Layer; }
    ACE_Reactor& reactor() { return m_Monitor.getReactor(); }
    char* readBuffer() { return m_ReadBuffer; }  // monitor thread only

    uint16_t listen(NvSocketImpl::Transport transport, const NvInetAddress& address, uint16_t port);
    void close();
    std::vector<NvSipListenPoint> getListenPoints() const;
    void write(const NvHandle<NvSipMessage>& message, const std::string& bytes, NvSipPeer& peer);

    uint32_t newConnectionId();
    // Puts a connection in the tables (any thread).
    void add(const HandlerRef<Connection>& connection);
    // Takes a connection out of the tables (any thread); it is no longer found for writing.
    void forget(const Connection& connection);
    // Monitor thread: forgets the connection, takes it out of the reactor and
    // closes it; messages not yet written are reported as failed with `reason`.
    void closeConnection(Connection& connection, const std::string& reason);

    // Runs `task` on the monitor thread without waiting, even for room in
    // its queue: a sender may hold a dialog's lock (see NvMonitorThread).
    void post(std::function<void()> task) { m_Monitor.postWithoutWaiting(std::move(task)); }
    // Runs `task` on the monitor thread and waits for it, at most
    // kMonitorWaitMs; false when it has not run by then (it still runs later).
    bool runOnMonitor(std::function<void()> task);

private:
    // Starts a non-blocking connect; `failure` says why when it failed at
    // once. The caller queues the first message, then starts the connection
    // (or closes it with `failure`) on the monitor thread.
    HandlerRef<Connection> connect(const NvSipPeer& peer, std::string& failure);
    HandlerRef<UdpSocket> udpSocketFor(const NvSipPeer& peer) const;

    NvSipTransportLayer& m_Layer;
    NvMonitorThread& m_Monitor;
    char m_ReadBuffer[kReadBufferBytes];

    mutable std::mutex m_Mutex;  // guards the fields below
    std::vector<NvSipListenPoint> m_Points;
    std::vector<HandlerRef<UdpSocket>> m_UdpSockets;
    std::vector<HandlerRef<TcpListener>> m_Listeners;
    std::map<uint32_t, HandlerRef<Connection>> m_ConnectionsById;
    std::map<std::pair<std::string, uint16_t>, uint32_t> m_ConnectionsByPeer;
    uint32_t m_NextConnectionId = 1;
};

std::pair<std::string, uint16_t> peerKey(const NvSipPeer& peer) { return {peer.address.toString().str(), peer.port}; }

// ---------------------------------------------------------------- SocketHandler

bool SocketHandler::registerForInput(ACE_Reactor& reactor) {
    if (m_Fd < 0) return false;
    if (reactor.register_handler(this, ACE_Event_Handler::READ_MASK) != 0) return false;
    m_bRegistered = true;
    return true;
}

void SocketHandler::shutDown(ACE_Reactor& reactor) {
    HandlerRef<SocketHandler> self(this);  // the reactor may hold the last reference
    if (m_TimerId != -1) {
        reactor.cancel_timer(m_TimerId);
        m_TimerId = -1;
    }
    if (m_bRegistered) {
        reactor.remove_handler(this, ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL);
        m_bRegistered = false;
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Fd >= 0) {
        ::close(m_Fd);
        m_Fd = -1;
    }
}

// ---------------------------------------------------------------- UdpSocket

int UdpSocket::handle_input(ACE_HANDLE) {
    HandlerRef<UdpSocket> self(this);
    // What the datagrams below cause to be written on this socket is gathered, and leaves in one batch at the end.
    struct Handling {
        explicit Handling(UdpSocket* socket) { t_pHandlingInput = socket; }
        ~Handling() { t_pHandlingInput = nullptr; }
    };
    std::optional<Handling> handling(this);
    char* buffer = m_pCore->readBuffer();
    for (int i = 0; i < kDatagramsPerWakeUp && m_Fd >= 0; ++i) {
        SocketAddress from;
        from.length = sizeof from.storage;
        // MSG_TRUNC: the length of the whole datagram, even one larger than the buffer.
        const ssize_t received = ::recvfrom(m_Fd, buffer, kReadBufferBytes, MSG_TRUNC, from.get(), &from.length);
        if (received < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                TELLAR_DEBUG(socketLogger(), "recvfrom on udp port " << point().port << " failed: " << std::strerror(errno));
            break;
        }
        NvSipPeer peer;
        peer.transport = NvSocketImpl::UDP;
        fromSocketAddress(from.storage, peer.address, peer.port);
        peer.localAddress = point().address;
        peer.localPort = point().port;
        const size_t length = static_cast<size_t>(received);
        if (length > NvSipSocketLimits::sm_MaxDatagramBytes || length > kReadBufferBytes) {
            TELLAR_WARN(socketLogger(), "Dropped a datagram of " << length << " bytes from " << peer.toString()
                                                                 << ": larger than the limit of "
                                                                 << NvSipSocketLimits::sm_MaxDatagramBytes << " bytes");
            continue;
        }
        if (onlyLineEnds(buffer, length)) continue;  // keep-alive
        try {
            m_pCore->layer().receiveBytes(buffer, length, peer);
        } catch (NvHandle<NvException>& e) {
            TELLAR_ERROR(socketLogger(), "Handling a datagram from " << peer.toString() << " failed: "
                                                                     << e->getMessage().str());
        } catch (const std::exception& e) {
            TELLAR_ERROR(socketLogger(), "Handling a datagram from " << peer.toString() << " failed: " << e.what());
        }
    }
    handling.reset();
    sendGathered();
    return 0;
}

void UdpSocket::sendTo(const NvHandle<NvSipMessage>& message, const std::string& bytes, const NvSipPeer& peer) {
    SocketAddress to = toSocketAddress(peer.address, peer.port);
    if (t_pHandlingInput == this) {
        m_Gathered.push_back(Gathered{message, bytes, to});
        if (m_Gathered.size() >= kMaxBatch) sendGathered();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Fd < 0) NvException::sThrow("Cannot send to " + peer.toString() + ": the UDP socket is closed");
        for (int attempt = 0; attempt < 1000; ++attempt) {
            const ssize_t sent =
                ::sendto(m_Fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL, to.get(), to.length);
            if (sent >= 0) return;  // a datagram goes whole or not at all
            if (errno != EINTR) break;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) NvSystemError::sThrow("sendto", 0);
    }
    TELLAR_WARN(socketLogger(), "Dropped " << bytes.size() << " bytes to " << peer.toString()
                                           << ": the send buffer of udp port " << point().port << " is full");
    NvSystemError::sThrow("sendto", EAGAIN);
}

void UdpSocket::sendGathered() {
    if (m_Gathered.empty()) return;
    std::vector<Gathered> batch;
    batch.swap(m_Gathered);  // reporting a failure below may gather more
    std::vector<iovec> parts(batch.size());
    std::vector<mmsghdr> datagrams(batch.size());
    for (size_t i = 0; i < batch.size(); ++i) {
        parts[i] = iovec{const_cast<char*>(batch[i].bytes.data()), batch[i].bytes.size()};
        datagrams[i] = mmsghdr{};
        datagrams[i].msg_hdr.msg_name = batch[i].to.get();
        datagrams[i].msg_hdr.msg_namelen = batch[i].to.length;
        datagrams[i].msg_hdr.msg_iov = &parts[i];
        datagrams[i].msg_hdr.msg_iovlen = 1;
    }
    std::vector<std::pair<size_t, std::string>> failed;  // which datagram, why
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (size_t next = 0; next < batch.size();) {
            if (m_Fd < 0) {
                for (; next < batch.size(); ++next) failed.emplace_back(next, "the UDP socket is closed");
                break;
            }
            const int count = ::sendmmsg(m_Fd, &datagrams[next], static_cast<unsigned>(batch.size() - next),
                                         MSG_DONTWAIT | MSG_NOSIGNAL);
            if (count > 0) {
                next += static_cast<size_t>(count);
            } else if (errno != EINTR) {
                // The datagram at `next` cannot be written: it is dropped, the rest go on.
                failed.emplace_back(next++, errno == EAGAIN || errno == EWOULDBLOCK
                                                ? "the send buffer of udp port " + std::to_string(point().port) +
                                                      " is full"
                                                : std::string("sendmmsg: ") + std::strerror(errno));
            }
        }
    }
    for (const auto& [index, reason] : failed) m_pCore->layer().reportSendFailed(batch[index].message, reason);
}

// ---------------------------------------------------------------- TcpListener

int TcpListener::handle_input(ACE_HANDLE) {
    HandlerRef<TcpListener> self(this);
    for (int i = 0; i < kAcceptsPerWakeUp && m_Fd >= 0; ++i) {
        SocketAddress from;
        from.length = sizeof from.storage;
        const int fd = ::accept4(m_Fd, from.get(), &from.length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                TELLAR_WARN(socketLogger(), "accept on tcp port " << point().port << " failed: " << std::strerror(errno));
            break;
        }
        sizeBuffers(fd);
        setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
        NvSipPeer peer;
        peer.transport = NvSocketImpl::TCP;
        fromSocketAddress(from.storage, peer.address, peer.port);
        peer.connection = m_pCore->newConnectionId();
        auto connection = HandlerRef<Connection>::sAdopt(new Connection(m_pCore, fd, peer, false));
        TELLAR_DEBUG(socketLogger(), "Accepted " << connection->name() << " on tcp port " << point().port);
        m_pCore->add(connection);
        connection->start(m_pCore->reactor());
    }
    return 0;
}

// ---------------------------------------------------------------- Connection

void Connection::start(ACE_Reactor& reactor) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Fd < 0 || m_bBroken) return;
    }
    if (!registerForInput(reactor)) {
        const std::string error = std::strerror(errno);
        TELLAR_WARN(socketLogger(), "Cannot watch " << name() << " for input: " << error << "; closing it");
        m_pCore->closeConnection(*this, "cannot watch the connection: " + error);
        return;
    }
    const bool connecting = isConnecting();
    if (connecting)
        scheduleIdleTimer(reactor, kConnectTimeoutMs);
    else if (NvSipSocketTransport::sm_IdleTimeoutMs > 0)
        scheduleIdleTimer(reactor, NvSipSocketTransport::sm_IdleTimeoutMs);
    armOutput(reactor);
}

void Connection::scheduleIdleTimer(ACE_Reactor& reactor, unsigned int delayMs) {
    ACE_Time_Value delay;
    delay.msec(static_cast<long>(delayMs));
    m_TimerId = reactor.schedule_timer(this, nullptr, delay);
}

int Connection::handle_timeout(const ACE_Time_Value&, const void*) {
    HandlerRef<Connection> self(this);
    m_TimerId = -1;
    const bool connecting = isConnecting();
    if (connecting && m_Fd >= 0) {
        TELLAR_INFO(socketLogger(), "Closing " << name() << ": not connected after " << kConnectTimeoutMs << " ms");
        m_pCore->closeConnection(*this, "connect: timed out after " + std::to_string(kConnectTimeoutMs) + " ms");
        return 0;
    }
    const unsigned int timeout = NvSipSocketTransport::sm_IdleTimeoutMs;
    if (timeout == 0 || m_Fd < 0) return 0;
    const int64_t idle = nowMs() - m_LastActivityMs.load();
    if (idle >= static_cast<int64_t>(timeout)) {
        TELLAR_INFO(socketLogger(), "Closing " << name() << ": idle for " << idle << " ms");
        m_pCore->closeConnection(*this, "closed after " + std::to_string(idle) + " ms idle");
    } else {
        scheduleIdleTimer(m_pCore->reactor(), static_cast<unsigned int>(timeout - idle));
    }
    return 0;
}

int Connection::handle_input(ACE_HANDLE) {
    HandlerRef<Connection> self(this);
    char* buffer = m_pCore->readBuffer();
    bool peerClosed = false;
    int error = 0;
    for (int i = 0; i < kReadsPerWakeUp; ++i) {
        const ssize_t received = ::recv(m_Fd, buffer, kReadBufferBytes, 0);
        if (received > 0) {
            m_Framer.append(buffer, static_cast<size_t>(received));
            m_LastActivityMs = nowMs();
            if (static_cast<size_t>(received) < kReadBufferBytes) break;
            continue;
        }
        if (received == 0) {
            peerClosed = true;
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            error = errno;
        }
        break;
    }

    std::string_view message;
    std::string reason;
    for (;;) {
        const NvSipStreamFramer::Result result = m_Framer.next(message, reason);
        if (result == NvSipStreamFramer::Result::NeedMore) break;
        if (result == NvSipStreamFramer::Result::Garbage) {
            TELLAR_WARN(socketLogger(), "Closing " << name() << ": cannot frame its bytes: " << reason);
            m_pCore->closeConnection(*this, "closed: the peer sent what cannot be framed");
            return 0;
        }
        if (result == NvSipStreamFramer::Result::Ping) {
            try {
                send(NvHandle<NvSipMessage>(), "\r\n", 2);  // pong (RFC 5626 4.4.1)
            } catch (NvHandle<NvException>& e) {
                TELLAR_DEBUG(socketLogger(), "Cannot answer the keep-alive of " << name() << ": "
                                                                               << e->getMessage().str());
            }
            continue;
        }
        try {
            if (!m_pCore->layer().receiveBytes(message.data(), message.size(), m_Peer)) {
                TELLAR_WARN(socketLogger(), "Closing " << name() << ": it sent a message that does not parse");
                m_pCore->closeConnection(*this, "closed: the peer sent a message that does not parse");
                return 0;
            }
        } catch (NvHandle<NvException>& e) {
            TELLAR_ERROR(socketLogger(), "Handling a message from " << name() << " failed: " << e->getMessage().str());
        } catch (const std::exception& e) {
            TELLAR_ERROR(socketLogger(), "Handling a message from " << name() << " failed: " << e.what());
        }
        if (m_Fd < 0) return 0;  // closed while the message was handled
    }

    if (peerClosed || error) {
        const size_t partial = m_Framer.pending();
        const bool connecting = isConnecting();
        const std::string what =
            error ? std::string(connecting ? "connect: " : "read failed: ") + std::strerror(error) : "closed by the peer";
        if (partial > 0)
            TELLAR_WARN(socketLogger(), "Closing " << name() << ": " << what << " in the middle of a message; dropped "
                                                   << partial << " bytes");
        else if (error)
            TELLAR_INFO(socketLogger(), "Closing " << name() << ": " << what);
        else
            TELLAR_DEBUG(socketLogger(), "Closing " << name() << ": " << what);
        m_pCore->closeConnection(*this, what);
        return 0;
    }
    bool broken;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        broken = m_bBroken;
    }
    if (broken) m_pCore->closeConnection(*this, "writing failed");
    return 0;
}

void Connection::enqueue(const NvHandle<NvSipMessage>& message, const char* data, size_t length) {
    m_Outgoing.append(data, length);
    if (message) m_Queued.push_back(Queued{message, m_OutgoingStart + m_Outgoing.size()});
}

void Connection::dequeue(size_t written) {
    m_Outgoing.erase(0, written);
    m_OutgoingStart += written;
    while (!m_Queued.empty() && m_Queued.front().end <= m_OutgoingStart) m_Queued.pop_front();
}

std::vector<NvHandle<NvSipMessage>> Connection::takeUnsent() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::vector<NvHandle<NvSipMessage>> unsent;
    for (auto& queued : m_Queued) unsent.push_back(std::move(queued.message));
    m_Queued.clear();
    return unsent;
}

bool Connection::send(const NvHandle<NvSipMessage>& message, const char* data, size_t length) {
    bool arm = false;
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Fd < 0 || m_bBroken) return false;
        if (m_bConnecting || !m_Outgoing.empty()) {
            // Not connected yet, or already waiting for the peer: queue behind what is there.
            if (m_Outgoing.size() + length > kMaxQueuedBytes)
                NvException::sThrow("Cannot send " + std::to_string(length) + " bytes on " + name() + ": " +
                                    std::to_string(m_Outgoing.size()) + " bytes are still waiting for the peer");
            arm = m_Outgoing.empty();
            enqueue(message, data, length);
        } else {
            size_t written = 0;
            for (int attempt = 0; written < length && attempt < 1000; ++attempt) {
                const ssize_t sent = ::send(m_Fd, data + written, length - written, MSG_DONTWAIT | MSG_NOSIGNAL);
                if (sent > 0) {
                    written += static_cast<size_t>(sent);
                    continue;
                }
                if (sent < 0 && errno == EINTR) continue;
                if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                error = sent < 0 ? errno : EPIPE;
                // The monitor thread closes it when it sees the shut-down socket readable.
                m_bBroken = true;
                ::shutdown(m_Fd, SHUT_RDWR);
                break;
            }
            m_LastActivityMs = nowMs();
            if (!error && written < length) {
                enqueue(message, data + written, length - written);
                arm = true;
            }
        }
    }
    if (error) {
        m_pCore->forget(*this);  // later writes to this peer open a new connection
        NvSystemError::sThrow("send", error);
    }
    if (arm) {
        HandlerRef<Connection> self(this);
        m_pCore->post([self] { self->armOutput(self->m_pCore->reactor()); });
    }
    return true;
}

void Connection::armOutput(ACE_Reactor& reactor) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Fd < 0 || !m_bRegistered || m_bArmed || m_Outgoing.empty()) return;
    // Returns the old mask, -1 on failure.
    if (reactor.schedule_wakeup(this, ACE_Event_Handler::WRITE_MASK) != -1) m_bArmed = true;
}

std::string Connection::finishConnect() {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_Fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) return std::string("connect: ") + std::strerror(error);
    m_bConnecting = false;
    m_LastActivityMs = nowMs();
    TELLAR_DEBUG(socketLogger(), "Connected " << name());
    return "";
}

int Connection::handle_output(ACE_HANDLE) {
    HandlerRef<Connection> self(this);
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bConnecting && m_Fd >= 0) failure = finishConnect();
        size_t written = 0;
        for (int attempt = 0; failure.empty() && m_Fd >= 0 && written < m_Outgoing.size() && attempt < 1000;
             ++attempt) {
            const ssize_t sent =
                ::send(m_Fd, m_Outgoing.data() + written, m_Outgoing.size() - written, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent > 0) {
                written += static_cast<size_t>(sent);
                continue;
            }
            if (sent < 0 && errno == EINTR) continue;
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            failure = std::string("writing failed: ") + std::strerror(sent < 0 ? errno : EPIPE);
        }
        dequeue(written);
        if (written > 0) m_LastActivityMs = nowMs();
        if ((m_Outgoing.empty() || !failure.empty()) && m_bArmed) {
            m_pCore->reactor().cancel_wakeup(this, ACE_Event_Handler::WRITE_MASK);
            m_bArmed = false;
        }
    }
    if (!failure.empty()) {
        TELLAR_INFO(socketLogger(), "Closing " << name() << ": " << failure);
        m_pCore->closeConnection(*this, failure);
    }
    return 0;
}

// ---------------------------------------------------------------- Core

bool Core::runOnMonitor(std::function<void()> task) {
    struct Pending {
        std::function<void()> task;
        std::atomic<bool> claimed{false};
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
    };
    auto pending = std::make_shared<Pending>();
    pending->task = std::move(task);
    auto run = [pending] {
        if (pending->claimed.exchange(true)) return;
        pending->task();
        std::lock_guard<std::mutex> lock(pending->mutex);
        pending->done = true;
        pending->finished.notify_all();
    };
    m_Monitor.post(run);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMonitorWaitMs);
    std::unique_lock<std::mutex> lock(pending->mutex);
    while (!pending->done) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pending->finished.wait_for(lock, std::chrono::milliseconds(20));
        if (!pending->done && !m_Monitor.isRunning()) {
            // The monitor stopped before it got to the task: run it here.
            lock.unlock();
            run();
            lock.lock();
        }
    }
    return true;
}

uint32_t Core::newConnectionId() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    uint32_t id = m_NextConnectionId++;
    if (id == 0) id = m_NextConnectionId++;
    return id;
}

void Core::add(const HandlerRef<Connection>& connection) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_ConnectionsById[connection->id()] = connection;
    m_ConnectionsByPeer[peerKey(connection->peer())] = connection->id();
}

void Core::forget(const Connection& connection) {
    HandlerRef<Connection> dropped;  // released after the lock
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto found = m_ConnectionsById.find(connection.id());
    if (found != m_ConnectionsById.end()) {
        dropped = std::move(found->second);
        m_ConnectionsById.erase(found);
    }
    const auto byPeer = m_ConnectionsByPeer.find(peerKey(connection.peer()));
    if (byPeer != m_ConnectionsByPeer.end() && byPeer->second == connection.id()) m_ConnectionsByPeer.erase(byPeer);
}

void Core::closeConnection(Connection& connection, const std::string& reason) {
    forget(connection);
    const auto unsent = connection.takeUnsent();
    connection.shutDown(reactor());
    for (const auto& message : unsent) m_Layer.reportSendFailed(message, reason + " (" + connection.name() + ")");
}

uint16_t Core::listen(NvSocketImpl::Transport transport, const NvInetAddress& address, uint16_t port) {
    if (!address.isValid()) NvException::sThrow("Cannot listen: not an IP address");
    const int family = familyOf(address);
    const int fd = openSocket(family, transport == NvSocketImpl::TCP ? SOCK_STREAM : SOCK_DGRAM);
    if (family == AF_INET6) setOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 1);
    if (transport == NvSocketImpl::TCP) setOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    sizeBuffers(fd);
    SocketAddress local = toSocketAddress(address, port);
    if (::bind(fd, local.get(), local.length) != 0) {
        closeQuietly(fd);
        NvSystemError::sThrow("bind", 0);
    }
    if (transport == NvSocketImpl::TCP && ::listen(fd, SOMAXCONN) != 0) {
        closeQuietly(fd);
        NvSystemError::sThrow("listen", 0);
    }
    SocketAddress bound;
    bound.length = sizeof bound.storage;
    if (::getsockname(fd, bound.get(), &bound.length) != 0) {
        closeQuietly(fd);
        NvSystemError::sThrow("getsockname", 0);
    }
    NvSipListenPoint point{transport, address, 0};
    NvInetAddress boundAddress;
    fromSocketAddress(bound.storage, boundAddress, point.port);

    HandlerRef<SocketHandler> handler;
    if (transport == NvSocketImpl::TCP)
        handler = HandlerRef<SocketHandler>::sAdopt(new TcpListener(shared_from_this(), fd, point));
    else
        handler = HandlerRef<SocketHandler>::sAdopt(new UdpSocket(shared_from_this(), fd, point));
    // Shared with the task, which may outlive this call when the monitor is slow.
    struct Outcome {
        bool registered = false;
        int error = 0;
    };
    auto outcome = std::make_shared<Outcome>();
    auto core = shared_from_this();
    const bool ran = runOnMonitor([outcome, handler, core] {
        outcome->registered = handler->registerForInput(core->reactor());
        outcome->error = errno;
    });
    if (ran && !outcome->registered) {
        const int error = outcome->error ? outcome->error : EINVAL;
        runOnMonitor([handler, core] { handler->shutDown(core->reactor()); });
        NvSystemError::sThrow("register_handler", error);
    }
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Points.push_back(point);
        if (transport == NvSocketImpl::TCP)
            m_Listeners.emplace_back(static_cast<TcpListener*>(handler.get()));
        else
            m_UdpSockets.emplace_back(static_cast<UdpSocket*>(handler.get()));
    }
    TELLAR_INFO(socketLogger(), "Listening on " << NvSocketImpl::sName(transport) << " "
                                                << address.toString().str() << " port " << point.port);
    return point.port;
}

void Core::close() {
    // The tables are emptied on the monitor thread too, so that a connection
    // being accepted there either is in them and closes, or comes after.
    auto core = shared_from_this();
    const bool ran = runOnMonitor([core] {
        std::vector<HandlerRef<SocketHandler>> handlers;
        {
            std::lock_guard<std::mutex> lock(core->m_Mutex);
            for (auto& s : core->m_UdpSockets) handlers.emplace_back(s.get());
            for (auto& l : core->m_Listeners) handlers.emplace_back(l.get());
            for (auto& c : core->m_ConnectionsById) handlers.emplace_back(c.second.get());
            core->m_UdpSockets.clear();
            core->m_Listeners.clear();
            core->m_ConnectionsById.clear();
            core->m_ConnectionsByPeer.clear();
            core->m_Points.clear();
        }
        for (const auto& h : handlers) h->shutDown(core->reactor());
    });
    if (!ran)
        TELLAR_WARN(socketLogger(), "The monitor thread has not closed the sockets within " << kMonitorWaitMs
                                                                                           << " ms; they close later");
}

std::vector<NvSipListenPoint> Core::getListenPoints() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Points;
}

HandlerRef<Connection> Core::connect(const NvSipPeer& peer, std::string& failure) {
    const int fd = openSocket(familyOf(peer.address), SOCK_STREAM);
    sizeBuffers(fd);
    setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SocketAddress to = toSocketAddress(peer.address, peer.port);
    bool connecting = false;
    if (::connect(fd, to.get(), to.length) != 0) {
        // Refused at once or later is a matter of timing on loopback: both
        // are reported the same way, once the first message is queued.
        if (errno != EINPROGRESS && errno != EINTR) failure = std::string("connect: ") + std::strerror(errno);
        connecting = true;
    }
    NvSipPeer connected = peer;
    connected.transport = NvSocketImpl::TCP;
    connected.connection = newConnectionId();
    auto connection = HandlerRef<Connection>::sAdopt(new Connection(shared_from_this(), fd, connected, connecting));
    TELLAR_DEBUG(socketLogger(), (connecting ? "Connecting " : "Opened ") << connection->name());
    add(connection);
    return connection;
}

// The socket a datagram to `peer` leaves from: the one named by its local
// end when there is one (RFC 3581 4), else one of the peer's family, better
// one that can reach it (a socket bound to loopback cannot send elsewhere,
// nor the reverse).
HandlerRef<UdpSocket> Core::udpSocketFor(const NvSipPeer& peer) const {
    const int family = familyOf(peer.address);
    HandlerRef<UdpSocket> first, reaching;
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& s : m_UdpSockets) {
        const NvInetAddress& bound = s->point().address;
        if (familyOf(bound) != family) continue;
        if (peer.localPort != 0 && s->point().port == peer.localPort && bound == peer.localAddress) return s;
        if (!first) first = s;
        if (!reaching && (bound.isWildcard() || bound.isLoopback() == peer.address.isLoopback())) reaching = s;
    }
    return reaching ? reaching : first;
}

void Core::write(const NvHandle<NvSipMessage>& message, const std::string& bytes, NvSipPeer& peer) {
    if (!peer.address.isValid()) NvException::sThrow("Cannot send to " + peer.toString() + ": no address");
    if (peer.transport == NvSocketImpl::UDP) {
        const HandlerRef<UdpSocket> socket = udpSocketFor(peer);
        if (!socket)
            NvException::sThrow("Cannot send to " + peer.toString() + ": no UDP socket listens on " +
                                (familyOf(peer.address) == AF_INET6 ? "IPv6" : "IPv4"));
        socket->sendTo(message, bytes, peer);
        peer.connection = 0;
        peer.localAddress = socket->point().address;
        peer.localPort = socket->point().port;
        return;
    }

    HandlerRef<Connection> existing[2];
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (peer.connection != 0) {
            const auto found = m_ConnectionsById.find(peer.connection);
            if (found != m_ConnectionsById.end()) existing[0] = found->second;
        }
        const auto byPeer = m_ConnectionsByPeer.find(peerKey(peer));
        if (byPeer != m_ConnectionsByPeer.end()) {
            const auto found = m_ConnectionsById.find(byPeer->second);
            if (found != m_ConnectionsById.end()) existing[1] = found->second;
        }
    }
    for (const auto& connection : existing) {
        if (connection && connection->send(message, bytes.data(), bytes.size())) {
            peer.connection = connection->id();
            return;
        }
    }
    std::string failure;
    const HandlerRef<Connection> connection = connect(peer, failure);
    connection->send(message, bytes.data(), bytes.size());  // queued: it is connecting
    peer.connection = connection->id();
    // Responses come back on it: it is read like an accepted one.
    auto core = shared_from_this();
    post([connection, core, failure] {
        if (failure.empty())
            connection->start(core->reactor());
        else
            core->closeConnection(*connection.get(), failure);
    });
}

}  // namespace

// ---------------------------------------------------------------- NvSipSocketTransport

struct NvSipSocketTransport::Impl {
    std::shared_ptr<Core> core;
};

NvSipSocketTransport::NvSipSocketTransport(NvSipTransportLayer& layer) : m_pImpl(new Impl) {
    m_pImpl->core = std::make_shared<Core>(layer, *NvMonitorThread::sGetCurrent());
}

NvSipSocketTransport::~NvSipSocketTransport() { close(); }

uint16_t NvSipSocketTransport::listen(NvSocketImpl::Transport transport, const NvInetAddress& address, uint16_t port) {
    return m_pImpl->core->listen(transport, address, port);
}

void NvSipSocketTransport::close() { m_pImpl->core->close(); }

std::vector<NvSipListenPoint> NvSipSocketTransport::getListenPoints() const {
    return m_pImpl->core->getListenPoints();
}

void NvSipSocketTransport::write(const NvHandle<NvSipMessage>& message, const std::string& bytes, NvSipPeer& peer) {
    m_pImpl->core->write(message, bytes, peer);
}
