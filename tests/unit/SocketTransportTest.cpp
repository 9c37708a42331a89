// Tests of the socket transport on real loopback sockets, with the monitor
// thread running: UDP and TCP over IPv4 and IPv6, messages framed on streams,
// connections reused in both directions, and bad input dropped with a log
// line. The peers are plain POSIX sockets; every wait is bounded.

#include "stack/base/NvException.h"
#include "stack/log/TellarCapture.h"
#include "stack/sip/NvSipMessage.h"
#include "stack/sip/NvSipParser.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipSocketFraming.h"
#include "stack/transport/NvSipSocketTransport.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kWait = 2000ms;  // longest wait for anything that should happen
const char* const kSocketLogger = "lumbrook.sip.transport.socket";

// ---------------------------------------------------------------- SIP texts

std::string sipRequest(const std::string& method, const std::string& callId, const std::string& body = "",
                       const char* transport = "UDP", const char* host = "127.0.0.1") {
    return method + " sip:bob@" + host + " SIP/2.0\r\n" + "Via: SIP/2.0/" + transport + " " + host +
           ":5999;branch=z9hG4bK-" + callId + ";rport\r\n" +
           "Max-Forwards: 70\r\n"
           "From: <sip:alice@127.0.0.1>;tag=a1\r\n"
           "To: <sip:bob@127.0.0.1>\r\n"
           "Call-ID: " +
           callId + "\r\n" + "CSeq: 1 " + method + "\r\n" + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string sipResponse(const std::string& callId) {
    return "SIP/2.0 200 OK\r\n"
           "Via: SIP/2.0/TCP 127.0.0.1:5999;branch=z9hG4bK-" +
           callId +
           "\r\n"
           "From: <sip:alice@127.0.0.1>;tag=a1\r\n"
           "To: <sip:bob@127.0.0.1>;tag=b1\r\n"
           "Call-ID: " +
           callId +
           "\r\n"
           "CSeq: 1 OPTIONS\r\n"
           "Content-Length: 0\r\n\r\n";
}

// ---------------------------------------------------------------- receiver

class RecordingReceiver : public NvSipMessageReceiver {
public:
    void receive(const NvHandle<NvSipMessage>& message) override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Messages.push_back(message);
        m_Arrived.notify_all();
    }
    bool waitFor(size_t n, std::chrono::milliseconds timeout = kWait) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        return m_Arrived.wait_for(lock, timeout, [&] { return m_Messages.size() >= n; });
    }
    std::vector<NvHandle<NvSipMessage>> messages() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Messages;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Messages.size();
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Arrived;
    std::vector<NvHandle<NvSipMessage>> m_Messages;
};

// ---------------------------------------------------------------- raw peers

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

Address makeAddress(const char* host, uint16_t port) {
    Address a;
    if (std::strchr(host, ':')) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = htons(port);
        inet_pton(AF_INET6, host, &sin6->sin6_addr);
        a.length = sizeof *sin6;
    } else {
        auto* sin = reinterpret_cast<sockaddr_in*>(&a.storage);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(port);
        inet_pton(AF_INET, host, &sin->sin_addr);
        a.length = sizeof *sin;
    }
    return a;
}

uint16_t portOf(const sockaddr_storage& s) {
    return s.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(&s)->sin6_port)
                                   : ntohs(reinterpret_cast<const sockaddr_in*>(&s)->sin_port);
}

// A plain socket standing for the far end.
class RawSocket {
public:
    RawSocket(const char* host, int type) : m_Host(host) {
        m_Fd = ::socket(std::strchr(host, ':') ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC, 0);
        if (m_Fd < 0) throw std::runtime_error("socket failed");
    }
    ~RawSocket() { closeNow(); }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    int fd() const { return m_Fd; }
    void closeNow() {
        if (m_Fd >= 0) ::close(m_Fd);
        m_Fd = -1;
    }
    bool bind(uint16_t port = 0) {
        Address a = makeAddress(m_Host.c_str(), port);
        return ::bind(m_Fd, a.get(), a.length) == 0;
    }
    uint16_t localPort() const {
        sockaddr_storage s{};
        socklen_t length = sizeof s;
        ::getsockname(m_Fd, reinterpret_cast<sockaddr*>(&s), &length);
        return portOf(s);
    }
    bool connect(uint16_t port) {
        Address a = makeAddress(m_Host.c_str(), port);
        if (::connect(m_Fd, a.get(), a.length) != 0) return false;
        int one = 1;
        ::setsockopt(m_Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }
    void sendTo(const std::string& bytes, uint16_t port) {
        Address a = makeAddress(m_Host.c_str(), port);
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::sendto(m_Fd, bytes.data(), bytes.size(), 0, a.get(), a.length))
            << std::strerror(errno);
    }
    void sendAll(const std::string& bytes) {
        size_t sent = 0;
        for (int i = 0; i < 10000 && sent < bytes.size(); ++i) {
            const ssize_t n = ::send(m_Fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            ASSERT_GT(n, 0) << std::strerror(errno);
            sent += static_cast<size_t>(n);
        }
        ASSERT_EQ(bytes.size(), sent);
    }
    // One datagram, or "" when none came in time; `fromPort` gets its source port.
    std::string receiveDatagram(uint16_t* fromPort = nullptr, std::chrono::milliseconds timeout = kWait) {
        pollfd p{m_Fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return "";
        std::string buffer(70000, '\0');
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(m_Fd, &buffer[0], buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return "";
        if (fromPort) *fromPort = portOf(from);
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }
    // Reads from a stream until `n` bytes arrived, the peer closed or time ran out.
    std::string receiveBytes(size_t n, std::chrono::milliseconds timeout = kWait) {
        std::string received;
        const auto deadline = Clock::now() + timeout;
        char buffer[65536];
        while (received.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            pollfd p{m_Fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
            const ssize_t got = ::recv(m_Fd, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            received.append(buffer, static_cast<size_t>(got));
        }
        return received;
    }
    // Whether the stream's peer closed it (EOF or reset) within `timeout`; bytes before the end are skipped.
    bool waitClosedByPeer(std::chrono::milliseconds timeout = kWait) {
        const auto deadline = Clock::now() + timeout;
        char buffer[4096];
        for (int i = 0; i < 100000; ++i) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd p{m_Fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            const ssize_t got = ::recv(m_Fd, buffer, sizeof buffer, 0);
            if (got <= 0) return true;
        }
        return false;
    }
    // Accepts one connection within `timeout`; -1 when none came.
    int accept(std::chrono::milliseconds timeout = kWait) {
        pollfd p{m_Fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return -1;
        return ::accept4(m_Fd, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    std::string m_Host;
    int m_Fd = -1;
};

bool ipv6LoopbackAvailable() {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    Address a = makeAddress("::1", 0);
    const bool ok = ::bind(fd, a.get(), a.length) == 0;
    ::close(fd);
    return ok;
}

NvSipPeer peerAt(NvSocketImpl::Transport transport, const char* host, uint16_t port, uint32_t connection = 0) {
    NvSipPeer peer;
    peer.transport = transport;
    peer.address = NvInetAddress::sParse(host);
    peer.port = port;
    peer.connection = connection;
    return peer;
}

// Splits a stream of messages with the transport's own framer.
std::vector<std::string> frame(const std::string& bytes) {
    NvSipStreamFramer framer;
    framer.append(bytes.data(), bytes.size());
    std::vector<std::string> messages;
    std::string_view message;
    std::string reason;
    for (int i = 0; i < 100000; ++i) {
        const auto result = framer.next(message, reason);
        if (result == NvSipStreamFramer::Result::Message) messages.emplace_back(message);
        if (result == NvSipStreamFramer::Result::NeedMore || result == NvSipStreamFramer::Result::Garbage) break;
    }
    return messages;
}

// Raised by `body` as an NvSystemError: the failing call and the error number.
template <class F>
std::pair<std::string, int> systemErrorOf(F body) {
    try {
        body();
    } catch (NvHandle<NvException>& e) {
        const NvHandle<NvSystemError> error(e);
        if (!error) return {"not a system error: " + e->getMessage().str(), 0};
        return {error->getFunction().str(), error->getError()};
    }
    return {"nothing raised", 0};
}

// ---------------------------------------------------------------- fixture

class SocketTransport : public ::testing::Test {
protected:
    void SetUp() override {
        m_SavedIdle = NvSipSocketTransport::sm_IdleTimeoutMs;
        m_SavedDatagramLimit = NvSipSocketLimits::sm_MaxDatagramBytes;
        m_SavedBufferBytes = NvSipTransportLayer::sm_SocketBufferBytes;
        NvMonitorThread::sGetCurrent()->start();
        layer().setReceiver(&m_Receiver);
    }
    void TearDown() override {
        m_pTransport.reset();
        layer().close();
        NvMonitorThread::sGetCurrent()->stop();
        // Received messages go back to the transaction manager, as in any running stack.
        layer().setReceiver(NvSipTransactionManager::sGetInstance());
        NvSipSocketTransport::sm_IdleTimeoutMs = m_SavedIdle;
        NvSipSocketLimits::sm_MaxDatagramBytes = m_SavedDatagramLimit;
        NvSipTransportLayer::sm_SocketBufferBytes = m_SavedBufferBytes;
    }

    static NvSipTransportLayer& layer() { return *NvSipTransportLayer::sGetInstance(); }
    NvSipSocketTransport& transport() {
        if (!m_pTransport) m_pTransport.reset(new NvSipSocketTransport(layer()));
        return *m_pTransport;
    }
    uint16_t listen(NvSocketImpl::Transport kind, const char* host, uint16_t port = 0) {
        return transport().listen(kind, NvInetAddress::sParse(host), port);
    }
    // A raw TCP client connected to our listener.
    std::unique_ptr<RawSocket> connectTo(uint16_t port, const char* host = "127.0.0.1") {
        auto raw = std::make_unique<RawSocket>(host, SOCK_STREAM);
        EXPECT_TRUE(raw->connect(port)) << std::strerror(errno);
        return raw;
    }

    RecordingReceiver m_Receiver;
    std::unique_ptr<NvSipSocketTransport> m_pTransport;
    unsigned int m_SavedIdle = 0;
    size_t m_SavedDatagramLimit = 0;
    int m_SavedBufferBytes = 0;
};

// ---------------------------------------------------------------- listening

TEST_F(SocketTransport, ListenOnPortZero_ReturnsAndReportsTheBoundPort) {
    const uint16_t udp = listen(NvSocketImpl::UDP, "127.0.0.1");
    const uint16_t tcp = listen(NvSocketImpl::TCP, "127.0.0.1");
    ASSERT_NE(0, udp);
    ASSERT_NE(0, tcp);
    const auto points = transport().getListenPoints();
    ASSERT_EQ(2u, points.size());
    EXPECT_EQ(NvSocketImpl::UDP, points[0].transport);
    EXPECT_EQ("127.0.0.1", points[0].address.toString().str());
    EXPECT_EQ(udp, points[0].port);
    EXPECT_EQ(NvSocketImpl::TCP, points[1].transport);
    EXPECT_EQ(tcp, points[1].port);
    EXPECT_TRUE(transport().isListening(NvSocketImpl::UDP));
    EXPECT_TRUE(transport().isListening(NvSocketImpl::TCP));

    // The ports are really taken...
    RawSocket udpClash("127.0.0.1", SOCK_DGRAM);
    EXPECT_FALSE(udpClash.bind(udp));
    RawSocket tcpClient("127.0.0.1", SOCK_STREAM);
    EXPECT_TRUE(tcpClient.connect(tcp));

    // ...and given back by close().
    transport().close();
    EXPECT_TRUE(transport().getListenPoints().empty());
    EXPECT_FALSE(transport().isListening(NvSocketImpl::UDP));
    RawSocket udpAfter("127.0.0.1", SOCK_DGRAM);
    EXPECT_TRUE(udpAfter.bind(udp));
    RawSocket tcpAfter("127.0.0.1", SOCK_STREAM);
    EXPECT_FALSE(tcpAfter.connect(tcp));
    EXPECT_TRUE(tcpClient.waitClosedByPeer());  // the accepted connection went too
}

TEST_F(SocketTransport, PortInUse_RaisesSystemErrorNamingBind) {
    RawSocket taken("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(taken.bind());
    const auto error = systemErrorOf([&] { listen(NvSocketImpl::UDP, "127.0.0.1", taken.localPort()); });
    EXPECT_EQ("bind", error.first);
    EXPECT_EQ(EADDRINUSE, error.second);
    EXPECT_TRUE(transport().getListenPoints().empty());
}

TEST_F(SocketTransport, WildcardIPv4AndIPv6_ShareAPort) {
    if (!ipv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback";
    const uint16_t udp = listen(NvSocketImpl::UDP, "0.0.0.0");
    EXPECT_EQ(udp, listen(NvSocketImpl::UDP, "::", udp));
    const uint16_t tcp = listen(NvSocketImpl::TCP, "0.0.0.0");
    EXPECT_EQ(tcp, listen(NvSocketImpl::TCP, "::", tcp));
    EXPECT_EQ(4u, transport().getListenPoints().size());

    RawSocket v4("127.0.0.1", SOCK_DGRAM), v6("::1", SOCK_DGRAM);
    v4.sendTo(sipRequest("OPTIONS", "wild-v4"), udp);
    v6.sendTo(sipRequest("OPTIONS", "wild-v6", "", "UDP", "[::1]"), udp);
    ASSERT_TRUE(m_Receiver.waitFor(2));
    std::vector<std::string> families;
    for (const auto& m : m_Receiver.messages())
        families.push_back(m->getSource().address.getFamily() == NvInetAddress::Family::IPv6 ? "v6" : "v4");
    std::sort(families.begin(), families.end());
    EXPECT_EQ((std::vector<std::string>{"v4", "v6"}), families);
}

// ---------------------------------------------------------------- UDP

TEST_F(SocketTransport, UdpDatagram_ReachesTheReceiverWithItsSource) {
    const uint16_t port = listen(NvSocketImpl::UDP, "127.0.0.1");
    RawSocket peer("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(peer.bind());
    peer.sendTo(sipRequest("OPTIONS", "udp-in", "body!"), port);
    ASSERT_TRUE(m_Receiver.waitFor(1));
    const auto message = m_Receiver.messages()[0];
    EXPECT_EQ("udp-in", message->getCallID().str());
    EXPECT_EQ("body!", message->getBody());
    const NvSipPeer& source = message->getSource();
    EXPECT_EQ(NvSocketImpl::UDP, source.transport);
    EXPECT_EQ("127.0.0.1", source.address.toString().str());
    EXPECT_EQ(peer.localPort(), source.port);
    EXPECT_EQ(0u, source.connection);
}

TEST_F(SocketTransport, UdpWrite_LeavesFromTheListeningPort) {
    const uint16_t port = listen(NvSocketImpl::UDP, "127.0.0.1");
    RawSocket peer("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(peer.bind());
    NvSipPeer to = peerAt(NvSocketImpl::UDP, "127.0.0.1", peer.localPort());
    const std::string bytes = sipRequest("OPTIONS", "udp-out");
    transport().write(bytes, to);
    uint16_t from = 0;
    EXPECT_EQ(bytes, peer.receiveDatagram(&from));
    EXPECT_EQ(port, from);  // symmetric: replies to the source reach our socket
}

TEST_F(SocketTransport, UdpBurst_EveryDatagramDelivered) {
    const uint16_t port = listen(NvSocketImpl::UDP, "127.0.0.1");
    RawSocket peer("127.0.0.1", SOCK_DGRAM);
    constexpr size_t kCount = 300;  // several wake-ups' worth
    for (size_t i = 0; i < kCount; ++i) peer.sendTo(sipRequest("OPTIONS", "burst-" + std::to_string(i)), port);
    ASSERT_TRUE(m_Receiver.waitFor(kCount)) << m_Receiver.count() << " of " << kCount;
    const auto messages = m_Receiver.messages();
    for (size_t i = 0; i < kCount; ++i) EXPECT_EQ("burst-" + std::to_string(i), messages[i]->getCallID().str());
}

TEST_F(SocketTransport, OversizedDatagram_DroppedWithALogLine) {
    NvSipSocketLimits::sm_MaxDatagramBytes = 1000;
    Tellar::LogCapture log(kSocketLogger, Tellar::DEBUG);
    const uint16_t port = listen(NvSocketImpl::UDP, "127.0.0.1");
    RawSocket peer("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(peer.bind());
    const std::string big = sipRequest("MESSAGE", "too-big", std::string(1500, 'x'));
    peer.sendTo(big, port);
    peer.sendTo(sipRequest("OPTIONS", "small"), port);
    ASSERT_TRUE(m_Receiver.waitFor(1));
    EXPECT_FALSE(m_Receiver.waitFor(2, 200ms));
    EXPECT_EQ("small", m_Receiver.messages()[0]->getCallID().str());
    EXPECT_EQ(1u, log.count(Tellar::WARN, "Dropped a datagram of " + std::to_string(big.size()) +
                                              " bytes from udp:127.0.0.1:" + std::to_string(peer.localPort()) +
                                              ": larger than the limit of 1000 bytes"))
        << log.dump();
}

TEST_F(SocketTransport, UdpKeepAlive_IgnoredQuietly) {
    Tellar::LogCapture log("lumbrook.sip.transport", Tellar::DEBUG);
    const uint16_t port = listen(NvSocketImpl::UDP, "127.0.0.1");
    RawSocket peer("127.0.0.1", SOCK_DGRAM);
    peer.sendTo("\r\n\r\n", port);
    peer.sendTo(sipRequest("OPTIONS", "after-keepalive"), port);
    ASSERT_TRUE(m_Receiver.waitFor(1));
    EXPECT_EQ("after-keepalive", m_Receiver.messages()[0]->getCallID().str());
    EXPECT_EQ(0u, log.count(Tellar::WARN)) << log.dump();
}

TEST_F(SocketTransport, UdpWriteWithoutASocketOfThatFamily_Raises) {
    listen(NvSocketImpl::UDP, "127.0.0.1");
    NvSipPeer to = peerAt(NvSocketImpl::UDP, "::1", 5060);
    EXPECT_THROW(transport().write("x", to), NvHandle<NvException>);
}

// ---------------------------------------------------------------- TCP

TEST_F(SocketTransport, TcpMessage_ReachesTheReceiverWithItsConnection) {
    const uint16_t port = listen(NvSocketImpl::TCP, "127.0.0.1");
    auto client = connectTo(port);
    client->sendAll(sipRequest("OPTIONS", "tcp-in", "", "TCP"));
    ASSERT_TRUE(m_Receiver.waitFor(1));
    const NvSipPeer& source = m_Receiver.messages()[0]->getSource();
    EXPECT_EQ(NvSocketImpl::TCP, source.transport);
    EXPECT_EQ("127.0.0.1", source.address.toString().str());
    EXPECT_EQ(client->localPort(), source.port);
    EXPECT_NE(0u, source.connection);
}

TEST_F(SocketTransport, TcpMessageInPieces_DeliveredOnceWhenComplete) {
    const uint16_t port = listen(NvSocketImpl::TCP, "127.0.0.1");
    auto client = connectTo(port);
    const std::string body(2000, 'b');
    const std::string m = sipRequest("MESSAGE", "pieces", body, "TCP");
    const size_t cut1 = m.find("Call-ID") + 3;  // inside the headers
    const size_t cut2 = m.size() - 700;          // inside the body
    client->sendAll(m.substr(0, cut1));
    EXPECT_FALSE(m_Receiver.waitFor(1, 150ms));
    client->sendAll(m.substr(cut1, cut2 - cut1));
    EXPECT_FALSE(m_Receiver.waitFor(1, 150ms));
    client->sendAll(m.substr(cut2));
    ASSERT_TRUE(m_Receiver.waitFor(1));
    EXPECT_EQ(body, m_Receiver.messages()[0]->getBody());
    EXPECT_FALSE(m_Receiver.waitFor(2, 150ms));
}

TEST_F(SocketTransport, TcpSeveralMessagesInOneWrite_AllDeliveredInOrder) {
    const uint16_t port = listen(NvSocketImpl::TCP, "127.0.0.1");
    auto client = connectTo(port);
    std::string stream;
    for (int i = 0; i < 5; ++i)
        stream += "\r\n" + sipRequest("MESSAGE", "many-" + std::to_string(i), std::string(10 * i, 'a' + i), "TCP");
    client->sendAll(stream);
    ASSERT_TRUE(m_Receiver.waitFor(5)) << m_Receiver.count();
    const auto messages = m_Receiver.messages();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ("many-" + std::to_string(i), messages[i]->getCallID().str());
        EXPECT_EQ(std::string(10 * i, 'a' + i), messages[i]->getBody());
        EXPECT_EQ(messages[0]->getSource().connection, messages[i]->getSource().connection);
    }
}

TEST_F(SocketTransport, TcpResponse_GoesBackOnTheRequestsConnection) {
    const uint16_t port = listen(NvSocketImpl::TCP, "127.0.0.1");
    auto client = connectTo(port);
    client->sendAll(sipRequest("OPTIONS", "reuse", "", "TCP"));
    ASSERT_TRUE(m_Receiver.waitFor(1));
    const NvSipPeer source = m_Receiver.messages()[0]->getSource();

    // By connection id.
    NvSipPeer to = source;
    const std::string response = sipResponse("reuse");
    transport().write(response, to);
    EXPECT_EQ(source.connection, to.connection);
    EXPECT_EQ(response, client->receiveBytes(response.size()));

    // By address and port alone: the same connection, not a new one (the
    // client does not listen, so a new connection could not even be opened).
    NvSipPeer byAddress = peerAt(NvSocketImpl::TCP, "127.0.0.1", client->localPort());
    transport().write(response, byAddress);
    EXPECT_EQ(source.connection, byAddress.connection);
    EXPECT_EQ(response, client->receiveBytes(response.size()));
}

TEST_F(SocketTransport, TcpWriteToANewPeer_ConnectsAndReadsWhatComesBack) {
    RawSocket server("127.0.0.1", SOCK_STREAM);
    ASSERT_TRUE(server.bind());
    ASSERT_EQ(0, ::listen(server.fd(), 4));
    NvSipPeer to = peerAt(NvSocketImpl::TCP, "127.0.0.1", server.localPort());
    const std::string request = sipRequest("OPTIONS", "outbound", "", "TCP");
    transport().write(request, to);
    ASSERT_NE(0u, to.connection);
    const int accepted = server.accept();
    ASSERT_GE(accepted, 0);
    auto readAccepted = [&](size_t n) {
        std::string got;
        const auto deadline = Clock::now() + kWait;
        char buffer[65536];
        while (got.size() < n && Clock::now() < deadline) {
            pollfd p{accepted, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const ssize_t n2 = ::recv(accepted, buffer, sizeof buffer, 0);
            if (n2 <= 0) break;
            got.append(buffer, static_cast<size_t>(n2));
        }
        return got;
    };
    EXPECT_EQ(request, readAccepted(request.size()));

    // The answer comes back on that connection and is read.
    const std::string response = sipResponse("outbound");
    ASSERT_EQ(static_cast<ssize_t>(response.size()), ::send(accepted, response.data(), response.size(), MSG_NOSIGNAL));
    ASSERT_TRUE(m_Receiver.waitFor(1));
    EXPECT_EQ(to.connection, m_Receiver.messages()[0]->getSource().connection);
    EXPECT_EQ(server.localPort(), m_Receiver.messages()[0]->getSource().port);

    // A second write reuses it: no new connection, bytes on the same one.
    NvSipPeer again = peerAt(NvSocketImpl::TCP, "127.0.0.1", server.localPort());
    transport().write(request, again);
    EXPECT_EQ(to.connection, again.connection);
    EXPECT_EQ(request, readAccepted(request.size()));
    EXPECT_EQ(-1, server.accept(200ms));
    ::close(accepted);
}

TEST_F(SocketTransport, TcpConnectRefused_RaisesSystemErrorNamingConnect) {
    RawSocket reserved("127.0.0.1", SOCK_STREAM);
    ASSERT_TRUE(reserved.bind());  // bound, not listening: connections are refused
    NvSipPeer to = peerAt(NvSocketImpl::TCP, "127.0.0.1", reserved.localPort());
    const auto start = Clock::now();
    const auto error = systemErrorOf([&] { transport().write("OPTIONS", to); });
    EXPECT_EQ("connect", error.first);
    EXPECT_EQ(ECONNREFUSED, error.second);
    EXPECT_LT(Clock::now() - start, 2500ms);
}

TEST_F(SocketTransport, TcpGarbage_ClosesTheConnectionWithALogLine) {
    Tellar::LogCapture log(kSocketLogger, Tellar::DEBUG);
    const uint16_t port = listen(NvSocketImpl::TCP, "127.0.0.1");
    auto client = connectTo(port);
    client->sendAll("GARBAGE GARBAGE\r\n\r\n");
    EXPECT_TRUE(client->waitClosedByPeer());
    const std::string prefix = "Closing connection ";
    const auto records = log.records();
    bool found = false;
    for (const auto& r : records)
        if (r.level == Tellar::WARN && r.startsWith(prefix) &&
            r.text.find("(tcp:127.0.0.1:" + std::to_string(client->localPort()) + "): cannot frame its bytes: ") !=
                std::string::npos &&
            r.text.find("GARBAGE GARBAGE") != std::string::npos)
            found = true;
    EXPECT_TRUE(found) << log.dump();

    // Binary bytes and a message past the size limit go the same way.
    auto binary = connectTo(port);
    binary->sendAll(std::string("\x16\x03\x01\x00\x05hello", 10));
    EXPECT_TRUE(binary->waitClosedByPeer());
    auto huge = connectTo(port);
    std::string tooLong = sipRequest("MESSAGE", "huge", "", "TCP");
    tooLong.replace(tooLong.find("Content-Length: 0"), 17, "Content-Length: 70000");
    huge->sendAll(tooLong);
    EXPECT_TRUE(huge->waitClosedByPeer());
    EXPECT_EQ(3u, log.count(Tellar::WARN, prefix)) << log.dump();
    EXPECT_EQ(0u, m_Receiver.count());

    // The listener still serves others.
    auto good = connectTo(port);
    good->sendAll(sipRequest("OPTIONS", "still-fine", "", "TCP"));
    EXPECT_TRUE(m_Receiver.waitFor(1));
    transport().close();  // nothing more is logged while the capture goes away
}

TEST_F(SocketTransport, TcpPeerClosesMidMessage_PartialDroppedWithALogLine) {
    Tellar::LogCapture log(kSocketLogger, Tellar::DEBUG);
    const uint16_t port = listen(NvSocketImpl::TCP, "127.0.0.1");
    auto client = connectTo(port);
    const std::string m = sipRequest("MESSAGE", "cut", std::string(100, 'z'), "TCP");
    const std::string part = m.substr(0, m.size() - 40);
    const uint16_t clientPort = client->localPort();
    client->sendAll(part);
    client->closeNow();
    ASSERT_TRUE(log.waitForRecords(1, kWait));
    const std::string expected = "closed by the peer in the middle of a message; dropped " +
                                 std::to_string(part.size()) + " bytes";
    bool found = false;
    for (int i = 0; i < 100 && !found; ++i) {
        for (const auto& r : log.records())
            if (r.level == Tellar::WARN && r.text.find(expected) != std::string::npos) found = true;
        if (!found) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(found) << log.dump();
    EXPECT_EQ(0u, m_Receiver.count());

    // The connection is gone: writing to that peer needs a new one, which cannot be made.
    NvSipPeer to = peerAt(NvSocketImpl::TCP, "127.0.0.1", clientPort);
    EXPECT_THROW(transport().write("x", to), NvHandle<NvException>);
    transport().close();
}

TEST_F(SocketTransport, TcpDoubleCrlfPing_AnsweredWithOneCrlf) {
    const uint16_t port = listen(NvSocketImpl::TCP, "127.0.0.1");
    auto client = connectTo(port);
    client->sendAll("\r\n\r\n");
    EXPECT_EQ("\r\n", client->receiveBytes(2));
    client->sendAll(sipRequest("OPTIONS", "after-ping", "", "TCP"));
    EXPECT_TRUE(m_Receiver.waitFor(1));
}

TEST_F(SocketTransport, IdleTcpConnection_ClosedAfterTheTimeout) {
    NvSipSocketTransport::sm_IdleTimeoutMs = 300;
    Tellar::LogCapture log(kSocketLogger, Tellar::DEBUG);
    const uint16_t port = listen(NvSocketImpl::TCP, "127.0.0.1");
    auto client = connectTo(port);
    client->sendAll(sipRequest("OPTIONS", "idle", "", "TCP"));
    ASSERT_TRUE(m_Receiver.waitFor(1));
    const auto start = Clock::now();
    EXPECT_TRUE(client->waitClosedByPeer(3000ms));
    EXPECT_GE(Clock::now() - start, 200ms);  // not before it was idle
    EXPECT_EQ(1u, log.count(Tellar::INFO, "Closing connection ")) << log.dump();

    // Traffic keeps a connection open.
    auto busy = connectTo(port);
    for (int i = 0; i < 6; ++i) {
        busy->sendAll("\r\n");
        std::this_thread::sleep_for(100ms);
    }
    busy->sendAll(sipRequest("OPTIONS", "still-open", "", "TCP"));
    EXPECT_TRUE(m_Receiver.waitFor(2));
    transport().close();
}

TEST_F(SocketTransport, TcpWritesFromManyThreads_NeverInterleave) {
    const uint16_t port = listen(NvSocketImpl::TCP, "127.0.0.1");
    auto client = connectTo(port);
    client->sendAll(sipRequest("OPTIONS", "hello", "", "TCP"));
    ASSERT_TRUE(m_Receiver.waitFor(1));
    const NvSipPeer source = m_Receiver.messages()[0]->getSource();

    constexpr int kThreads = 4, kEach = 50;
    std::atomic<int> failures{0};
    size_t total = 0;
    std::vector<std::string> texts(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        texts[t] = sipRequest("MESSAGE", "thread-" + std::to_string(t), std::string(3000 + t, 'a' + t), "TCP");
        total += texts[t].size() * kEach;
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                NvSipPeer to = source;
                try {
                    transport().write(texts[t], to);
                } catch (NvHandle<NvException>&) {
                    ++failures;
                }
            }
        });
    const std::string received = client->receiveBytes(total, 5000ms);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    ASSERT_EQ(total, received.size());
    const auto messages = frame(received);
    ASSERT_EQ(static_cast<size_t>(kThreads * kEach), messages.size());
    for (const auto& m : messages) EXPECT_TRUE(m == texts[0] || m == texts[1] || m == texts[2] || m == texts[3]);
}

TEST_F(SocketTransport, SlowTcpReader_QueuedBytesFollowAndTheQueueIsBounded) {
    NvSipTransportLayer::sm_SocketBufferBytes = 4096;  // a small send buffer: the queue must do the work
    const uint16_t port = listen(NvSocketImpl::TCP, "127.0.0.1");
    auto client = connectTo(port);
    client->sendAll(sipRequest("OPTIONS", "slow", "", "TCP"));
    ASSERT_TRUE(m_Receiver.waitFor(1));
    const NvSipPeer source = m_Receiver.messages()[0]->getSource();

    // Written before the peer reads, well past what the kernels hold and short
    // of the queue's bound: all of it arrives, in order.
    std::string sent;
    for (int i = 0; i < 8; ++i) {
        const std::string m = sipRequest("MESSAGE", "slow-" + std::to_string(i), std::string(60000, 'a' + i), "TCP");
        NvSipPeer to = source;
        transport().write(m, to);
        sent += m;
    }
    const std::string received = client->receiveBytes(sent.size(), 5000ms);
    EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size() << " bytes";

    // A reader that stops reading: writes are refused once the queue is full, not buffered without end.
    const std::string m = sipRequest("MESSAGE", "flood", std::string(60000, 'f'), "TCP");
    bool refused = false;
    for (int i = 0; i < 200 && !refused; ++i) {
        NvSipPeer to = source;
        try {
            transport().write(m, to);
        } catch (NvHandle<NvException>& e) {
            refused = e->getMessage().str().find("still waiting for the peer") != std::string::npos;
            EXPECT_TRUE(refused) << e->getMessage().str();
            break;
        }
    }
    EXPECT_TRUE(refused);
}

// ---------------------------------------------------------------- IPv6

TEST_F(SocketTransport, IPv6UdpAndTcp_BothWays) {
    if (!ipv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback";
    const uint16_t udp = listen(NvSocketImpl::UDP, "::1");
    const uint16_t tcp = listen(NvSocketImpl::TCP, "::1");

    RawSocket datagrams("::1", SOCK_DGRAM);
    ASSERT_TRUE(datagrams.bind());
    datagrams.sendTo(sipRequest("OPTIONS", "v6-udp", "", "UDP", "[::1]"), udp);
    ASSERT_TRUE(m_Receiver.waitFor(1));
    NvSipPeer back = m_Receiver.messages()[0]->getSource();
    EXPECT_EQ(NvInetAddress::Family::IPv6, back.address.getFamily());
    EXPECT_EQ(datagrams.localPort(), back.port);
    transport().write("reply-v6", back);
    uint16_t from = 0;
    EXPECT_EQ("reply-v6", datagrams.receiveDatagram(&from));
    EXPECT_EQ(udp, from);

    auto stream = connectTo(tcp, "::1");
    stream->sendAll(sipRequest("OPTIONS", "v6-tcp", "", "TCP", "[::1]"));
    ASSERT_TRUE(m_Receiver.waitFor(2));
    NvSipPeer source = m_Receiver.messages()[1]->getSource();
    EXPECT_EQ(NvSocketImpl::TCP, source.transport);
    EXPECT_EQ("::1", source.address.toString().str());
    const std::string response = sipResponse("v6-tcp");
    transport().write(response, source);
    EXPECT_EQ(response, stream->receiveBytes(response.size()));
}

// ---------------------------------------------------------------- through the transport layer

TEST_F(SocketTransport, LayerSend_ReachesTheReceiverOverUdpAndTcp) {
    const uint16_t udp = layer().listen(NvSocketImpl::UDP, "127.0.0.1", 0);
    const uint16_t tcp = layer().listen(NvSocketImpl::TCP, "127.0.0.1", 0);

    for (const auto& [kind, port] : {std::pair<std::string, uint16_t>{"udp", udp}, {"tcp", tcp}}) {
        const std::string text = "OPTIONS sip:self@127.0.0.1:" + std::to_string(port) + ";transport=" + kind +
                                 " SIP/2.0\r\n"
                                 "Max-Forwards: 70\r\n"
                                 "From: <sip:alice@127.0.0.1>;tag=a1\r\n"
                                 "To: <sip:self@127.0.0.1>\r\n"
                                 "Call-ID: layer-" +
                                 kind +
                                 "\r\n"
                                 "CSeq: 1 OPTIONS\r\n"
                                 "Content-Length: 0\r\n\r\n";
        const NvHandle<NvSipMessage> message = NvSipParser::sParse(text.data(), text.size());
        const NvHandle<NvSipRequest> request(message);
        ASSERT_TRUE(request);
        layer().addViaHeader(request);
        NvSipTransportLayer::send(message);
    }
    ASSERT_TRUE(m_Receiver.waitFor(2)) << m_Receiver.count();
    for (const auto& m : m_Receiver.messages()) {
        const bool overTcp = m->getCallID().str() == "layer-tcp";
        EXPECT_EQ(overTcp ? NvSocketImpl::TCP : NvSocketImpl::UDP, m->getSource().transport) << m->getCallID().str();
        EXPECT_EQ(overTcp, m->getSource().connection != 0);
    }
}

// ---------------------------------------------------------------- closing

TEST_F(SocketTransport, CloseWhileOtherThreadsWrite_NoCrashAndLaterWritesFail) {
    const uint16_t udp = listen(NvSocketImpl::UDP, "127.0.0.1");
    const uint16_t tcp = listen(NvSocketImpl::TCP, "127.0.0.1");
    RawSocket sink("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(sink.bind());
    auto client = connectTo(tcp);
    client->sendAll(sipRequest("OPTIONS", "closing", "", "TCP"));
    ASSERT_TRUE(m_Receiver.waitFor(1));
    const NvSipPeer tcpPeer = m_Receiver.messages()[0]->getSource();
    (void)udp;

    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 100000 && !stop.load(); ++i) {
                NvSipPeer to = t == 0 ? peerAt(NvSocketImpl::UDP, "127.0.0.1", sink.localPort()) : tcpPeer;
                if (t != 0) to.connection = tcpPeer.connection;
                try {
                    transport().write("OPTIONS sip:x SIP/2.0\r\nContent-Length: 0\r\n\r\n", to);
                    ++written;
                } catch (NvHandle<NvException>&) {
                }
            }
        });
    std::this_thread::sleep_for(50ms);
    transport().close();
    stop = true;
    for (auto& w : writers) w.join();
    EXPECT_GT(written.load(), 0);
    NvSipPeer to = peerAt(NvSocketImpl::UDP, "127.0.0.1", sink.localPort());
    EXPECT_THROW(transport().write("x", to), NvHandle<NvException>);
    EXPECT_TRUE(client->waitClosedByPeer());
}

TEST_F(SocketTransport, CloseWithTheMonitorStopped_ClosesAtOnce) {
    const uint16_t udp = listen(NvSocketImpl::UDP, "127.0.0.1");
    NvMonitorThread::sGetCurrent()->stop();
    transport().close();
    RawSocket again("127.0.0.1", SOCK_DGRAM);
    EXPECT_TRUE(again.bind(udp));
}

}  // namespace
