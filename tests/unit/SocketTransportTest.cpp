// Tests of the socket transport on real loopback sockets, with the monitor
// thread running: UDP and TCP over IPv4 and IPv6, messages framed on streams,
// connections opened without blocking and reused in both directions, and bad
// input dropped with a log line. The peers are plain POSIX sockets; every
// wait is bounded.

#include "stack/base/NvException.h"
#include "stack/log/TellarCapture.h"
#include "stack/sip/NvSipParser.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipSocketFraming.h"
#include "stack/transport/NvSipSocketTransport.h"
#include "stack/transport/NvSipTransportLayer.h"
#include "tests/unit/TransportTestSupport.h"

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
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kWait = RecordingReceiver::kWait;
const char* const kSocketLogger = "lumbrook.sip.transport.socket";

std::string sipRequest(const std::string& method, const std::string& callId, const std::string& body = "",
                       const char* transport = "UDP", const char* host = "127.0.0.1") {
    return method + " sip:bob@" + host + " SIP/2.0\r\nVia: SIP/2.0/" + transport + " " + host +
           ":5999;branch=z9hG4bK-" + callId + ";rport\r\nMax-Forwards: 70\r\nFrom: <sip:alice@127.0.0.1>;tag=a1\r\n"
           "To: <sip:bob@127.0.0.1>\r\nCall-ID: " + callId + "\r\nCSeq: 1 " + method + "\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string sipResponse(const std::string& callId) {
    return "SIP/2.0 200 OK\r\nVia: SIP/2.0/TCP 127.0.0.1:5999;branch=z9hG4bK-" + callId +
           "\r\nFrom: <sip:alice@127.0.0.1>;tag=a1\r\nTo: <sip:bob@127.0.0.1>;tag=b1\r\nCall-ID: " + callId +
           "\r\nCSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n";
}

// ---------------------------------------------------------------- raw peers

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

Address makeAddress(const char* host, uint16_t port) {
    Address a;
    const bool v6 = std::strchr(host, ':') != nullptr;
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
    auto* sin = reinterpret_cast<sockaddr_in*>(&a.storage);
    a.storage.ss_family = v6 ? AF_INET6 : AF_INET;
    (v6 ? sin6->sin6_port : sin->sin_port) = htons(port);
    inet_pton(a.storage.ss_family, host, v6 ? static_cast<void*>(&sin6->sin6_addr) : &sin->sin_addr);
    a.length = v6 ? sizeof *sin6 : sizeof *sin;
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
    RawSocket(const char* host, int type, int fd) : m_Host(host), m_Fd(fd) { (void)type; }
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
        int one = 1;
        ::setsockopt(m_Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return ::connect(m_Fd, a.get(), a.length) == 0;
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
    }
    // One datagram, or "" when none came in time; `fromPort` gets its source port.
    std::string receiveDatagram(uint16_t* fromPort = nullptr) {
        if (!readable(kWait)) return "";
        std::string buffer(70000, '\0');
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(m_Fd, &buffer[0], buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return "";
        if (fromPort) *fromPort = portOf(from);
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }
    // Reads a stream until `n` bytes arrived, the peer closed or time ran out.
    std::string receiveBytes(size_t n, std::chrono::milliseconds timeout = kWait) {
        std::string received;
        const auto deadline = Clock::now() + timeout;
        char buffer[65536];
        while (received.size() < n && readable(deadline)) {
            const ssize_t got = ::recv(m_Fd, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            received.append(buffer, static_cast<size_t>(got));
        }
        return received;
    }
    // Whether the stream's peer closed it (EOF or reset) in time; bytes before the end are skipped.
    bool waitClosedByPeer(std::chrono::milliseconds timeout = kWait) {
        const auto deadline = Clock::now() + timeout;
        char buffer[4096];
        for (int i = 0; i < 100000 && readable(deadline); ++i)
            if (::recv(m_Fd, buffer, sizeof buffer, 0) <= 0) return true;
        return false;
    }
    // Accepts one connection in time; null when none came.
    std::unique_ptr<RawSocket> accept(std::chrono::milliseconds timeout = kWait) {
        if (!readable(timeout)) return nullptr;
        return std::make_unique<RawSocket>(m_Host.c_str(), SOCK_STREAM, ::accept4(m_Fd, nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    bool readable(Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{m_Fd, POLLIN, 0};
        return left > 0 && ::poll(&p, 1, static_cast<int>(left)) > 0;
    }
    bool readable(std::chrono::milliseconds timeout) { return readable(Clock::now() + timeout); }

    std::string m_Host;
    int m_Fd = -1;
};

bool ipv6LoopbackAvailable() {
    RawSocket probe("::1", SOCK_DGRAM);
    return probe.bind();
}

// Splits a stream of messages with the transport's own framer.
std::vector<std::string> frame(const std::string& bytes) {
    NvSipStreamFramer framer;
    framer.append(bytes.data(), bytes.size());
    std::vector<std::string> messages;
    std::string_view message;
    std::string reason;
    while (framer.next(message, reason) == NvSipStreamFramer::Result::Message) messages.emplace_back(message);
    return messages;
}

// ---------------------------------------------------------------- fixture

class SocketTransport : public ::testing::Test {
protected:
    void SetUp() override {
        NvMonitorThread::sGetCurrent()->start();
        layer().setReceiver(&m_Receiver);
    }
    void TearDown() override {
        m_pTransport.reset();
        layer().close();
        NvMonitorThread::sGetCurrent()->stop();
        // Received messages go back to the transaction manager, as in any running stack.
        layer().setReceiver(NvSipTransactionManager::sGetInstance());
    }
    // Puts a setting back when the test ends.
    template <class T>
    struct Restored {
        explicit Restored(T& setting) : m_Setting(setting), m_Saved(setting) {}
        ~Restored() { m_Setting = m_Saved; }
        T& m_Setting;
        const T m_Saved;
    };

    static NvSipTransportLayer& layer() { return *NvSipTransportLayer::sGetInstance(); }
    NvSipSocketTransport& transport() {
        if (!m_pTransport) m_pTransport.reset(new NvSipSocketTransport(layer()));
        return *m_pTransport;
    }
    uint16_t listen(NvSocketImpl::Transport kind, const char* host, uint16_t port = 0) {
        return transport().listen(kind, NvInetAddress::sParse(host), port);
    }
    // Writes bytes that belong to no message (nothing to report should they fail).
    void write(const std::string& bytes, NvSipPeer& to) { transport().write(NvHandle<NvSipMessage>(), bytes, to); }
    // A raw TCP client connected to our listener.
    std::unique_ptr<RawSocket> connectTo(uint16_t port, const char* host = "127.0.0.1") {
        auto raw = std::make_unique<RawSocket>(host, SOCK_STREAM);
        EXPECT_TRUE(raw->connect(port)) << std::strerror(errno);
        return raw;
    }
    // A TCP client that sent one request; its source as the transport saw it.
    NvSipPeer clientSaidHello(RawSocket& client) {
        client.sendAll(sipRequest("OPTIONS", "hello", "", "TCP"));
        EXPECT_TRUE(m_Receiver.waitFor(1));
        return m_Receiver.messages().empty() ? NvSipPeer() : m_Receiver.messages()[0]->getSource();
    }
    // Whether a WARN record contains `text`, waiting for it (bounded).
    static bool warned(const Tellar::LogCapture& log, const std::string& text) {
        for (int i = 0; i < 100; ++i) {
            for (const auto& r : log.records())
                if (r.level == Tellar::WARN && r.text.find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    Restored<unsigned int> m_Idle{NvSipSocketTransport::sm_IdleTimeoutMs};
    Restored<size_t> m_DatagramLimit{NvSipSocketLimits::sm_MaxDatagramBytes};
    Restored<int> m_BufferBytes{NvSipTransportLayer::sm_SocketBufferBytes};
    RecordingReceiver m_Receiver;
    std::unique_ptr<NvSipSocketTransport> m_pTransport;
};

// ---------------------------------------------------------------- listening

TEST_F(SocketTransport, ListenOnPortZero_TakesAPortAndCloseGivesItBack) {
    const uint16_t udp = listen(NvSocketImpl::UDP, "127.0.0.1");
    const uint16_t tcp = listen(NvSocketImpl::TCP, "127.0.0.1");
    const auto points = transport().getListenPoints();
    ASSERT_EQ(2u, points.size());
    EXPECT_EQ(NvSocketImpl::UDP, points[0].transport);
    EXPECT_EQ(udp, points[0].port);
    EXPECT_EQ("127.0.0.1", points[0].address.toString().str());
    EXPECT_EQ(NvSocketImpl::TCP, points[1].transport);
    EXPECT_EQ(tcp, points[1].port);
    RawSocket udpClash("127.0.0.1", SOCK_DGRAM), tcpClient("127.0.0.1", SOCK_STREAM);
    EXPECT_FALSE(udpClash.bind(udp));
    EXPECT_TRUE(tcpClient.connect(tcp));
    try {  // a port in use: a system error naming bind
        listen(NvSocketImpl::UDP, "127.0.0.1", udp);
        ADD_FAILURE() << "nothing raised";
    } catch (NvHandle<NvException>& e) {
        const NvHandle<NvSystemError> error(e);
        ASSERT_TRUE(error) << e->getMessage().str();
        EXPECT_EQ("bind", error->getFunction().str());
        EXPECT_EQ(EADDRINUSE, error->getError());
    }

    NvMonitorThread::sGetCurrent()->stop();  // close() does not need it
    transport().close();
    EXPECT_TRUE(transport().getListenPoints().empty());
    RawSocket udpAfter("127.0.0.1", SOCK_DGRAM), tcpAfter("127.0.0.1", SOCK_STREAM);
    EXPECT_TRUE(udpAfter.bind(udp));
    EXPECT_FALSE(tcpAfter.connect(tcp));
    EXPECT_TRUE(tcpClient.waitClosedByPeer());  // the accepted connection went too
}

TEST_F(SocketTransport, IPv4AndIPv6_ShareAWildcardPortAndAnswerBothWays) {
    if (!ipv6LoopbackAvailable()) GTEST_SKIP() << "no IPv6 loopback";
    const uint16_t udp = listen(NvSocketImpl::UDP, "0.0.0.0");
    EXPECT_EQ(udp, listen(NvSocketImpl::UDP, "::", udp));
    const uint16_t tcp = listen(NvSocketImpl::TCP, "0.0.0.0");
    EXPECT_EQ(tcp, listen(NvSocketImpl::TCP, "::", tcp));
    EXPECT_EQ(4u, transport().getListenPoints().size());

    RawSocket v4("127.0.0.1", SOCK_DGRAM), v6("::1", SOCK_DGRAM);
    ASSERT_TRUE(v6.bind());
    v4.sendTo(sipRequest("OPTIONS", "wild-v4"), udp);
    ASSERT_TRUE(m_Receiver.waitFor(1));
    v6.sendTo(sipRequest("OPTIONS", "wild-v6", "", "UDP", "[::1]"), udp);
    ASSERT_TRUE(m_Receiver.waitFor(2));
    NvSipPeer back = m_Receiver.messages()[1]->getSource();
    EXPECT_EQ("udp:[::1]:" + std::to_string(v6.localPort()), back.toString());
    write("reply-v6", back);
    uint16_t from = 0;
    EXPECT_EQ("reply-v6", v6.receiveDatagram(&from));
    EXPECT_EQ(udp, from);

    auto stream = connectTo(tcp, "::1");
    stream->sendAll(sipRequest("OPTIONS", "v6-tcp", "", "TCP", "[::1]"));
    ASSERT_TRUE(m_Receiver.waitFor(3));
    NvSipPeer source = m_Receiver.messages()[2]->getSource();
    EXPECT_EQ("tcp:[::1]:" + std::to_string(stream->localPort()), source.toString());
    write("reply-v6", source);
    EXPECT_EQ("reply-v6", stream->receiveBytes(8));
}

// ---------------------------------------------------------------- UDP

TEST_F(SocketTransport, LayerSend_ResponsesLeaveFromTheirRequestsSocketRequestsGoOverUdpOrTcp) {
    const uint16_t first = layer().listen(NvSocketImpl::UDP, "127.0.0.1", 0);
    const uint16_t second = layer().listen(NvSocketImpl::UDP, "127.0.0.1", 0);
    RawSocket peer("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(peer.bind());
    size_t received = 0;
    for (const uint16_t port : {second, first}) {
        peer.sendTo(sipRequest("OPTIONS", "on-" + std::to_string(port)), port);
        ASSERT_TRUE(m_Receiver.waitFor(++received));
        const NvHandle<NvSipRequest> request(m_Receiver.messages().back());
        NvSipTransportLayer::send(NvHandle<NvSipMessage>(new NvSipResponse(200, request)));
        EXPECT_EQ(port, request->getSource().localPort);
        uint16_t from = 0;
        EXPECT_EQ(0u, peer.receiveDatagram(&from).find("SIP/2.0 200"));
        EXPECT_EQ(port, from);
    }

    // Requests to ourselves, over UDP and over TCP.
    const uint16_t tcp = layer().listen(NvSocketImpl::TCP, "127.0.0.1", 0);
    for (const auto& [kind, port] : {std::pair<std::string, uint16_t>{"udp", first}, {"tcp", tcp}}) {
        const NvHandle<NvSipRequest> request(parse(
            "OPTIONS sip:self@127.0.0.1:" + std::to_string(port) + ";transport=" + kind +
            " SIP/2.0\r\nMax-Forwards: 70\r\nFrom: <sip:alice@127.0.0.1>;tag=a1\r\nTo: <sip:self@127.0.0.1>\r\n"
            "Call-ID: layer-" + kind + "\r\nCSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n"));
        layer().addViaHeader(request);
        NvSipTransportLayer::send(NvHandle<NvSipMessage>(request));
        ASSERT_TRUE(m_Receiver.waitFor(++received)) << kind;
        const NvSipPeer source = m_Receiver.messages().back()->getSource();
        EXPECT_EQ(kind == "tcp" ? NvSocketImpl::TCP : NvSocketImpl::UDP, source.transport) << kind;
        EXPECT_EQ(kind == "tcp", source.connection != 0) << kind;
    }
    // No socket of that family: an error at once.
    EXPECT_THROW(NvSipTransportLayer::send(parse(sipRequest("OPTIONS", "v6", "", "UDP", "[::1]"))),
                 NvHandle<NvException>);
}

TEST_F(SocketTransport, UdpBurst_EveryMessageDeliveredInOrderOversizedAndKeepAlivesNot) {
    NvSipSocketLimits::sm_MaxDatagramBytes = 1000;
    Tellar::LogCapture log(kSocketLogger, Tellar::DEBUG);
    const uint16_t port = listen(NvSocketImpl::UDP, "127.0.0.1");
    RawSocket peer("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(peer.bind());
    const std::string big = sipRequest("MESSAGE", "too-big", std::string(1500, 'x'));
    peer.sendTo(big, port);
    peer.sendTo("\r\n\r\n", port);
    constexpr size_t kCount = 300;  // several wake-ups' worth
    for (size_t i = 0; i < kCount; ++i) peer.sendTo(sipRequest("OPTIONS", "burst-" + std::to_string(i)), port);
    ASSERT_TRUE(m_Receiver.waitFor(kCount)) << m_Receiver.count() << " of " << kCount;
    const auto messages = m_Receiver.messages();
    for (size_t i = 0; i < kCount; ++i) EXPECT_EQ("burst-" + std::to_string(i), messages[i]->getCallID().str());
    EXPECT_EQ(1u, log.count(Tellar::WARN)) << log.dump();
    EXPECT_EQ(1u, log.count(Tellar::WARN, "Dropped a datagram of " + std::to_string(big.size()) +
                                              " bytes from udp:127.0.0.1:" + std::to_string(peer.localPort()) +
                                              ": larger than the limit of 1000 bytes"))
        << log.dump();
}

// ---------------------------------------------------------------- TCP

TEST_F(SocketTransport, TcpStream_PingAnsweredMessagesInPiecesAndInOneWriteArriveWholeInOrder) {
    const uint16_t port = listen(NvSocketImpl::TCP, "127.0.0.1");
    auto client = connectTo(port);
    client->sendAll("\r\n\r\n");  // a ping (RFC 5626 4.4.1)
    EXPECT_EQ("\r\n", client->receiveBytes(2));
    const std::string first = sipRequest("MESSAGE", "pieces", std::string(2000, 'b'), "TCP");
    const size_t cut1 = first.find("Call-ID") + 3, cut2 = first.size() - 700;  // in the headers, in the body
    client->sendAll(first.substr(0, cut1));
    EXPECT_FALSE(m_Receiver.waitFor(1, 150ms));
    client->sendAll(first.substr(cut1, cut2 - cut1));
    EXPECT_FALSE(m_Receiver.waitFor(1, 150ms));
    std::string rest = first.substr(cut2);
    for (int i = 1; i <= 4; ++i)
        rest += "\r\n" + sipRequest("MESSAGE", "many-" + std::to_string(i), std::string(10 * i, 'a' + i), "TCP");
    client->sendAll(rest);
    ASSERT_TRUE(m_Receiver.waitFor(5)) << m_Receiver.count();
    const auto messages = m_Receiver.messages();
    EXPECT_EQ(std::string(2000, 'b'), messages[0]->getBody());
    const NvSipPeer& source = messages[0]->getSource();
    EXPECT_EQ("tcp:127.0.0.1:" + std::to_string(client->localPort()), source.toString());
    EXPECT_NE(0u, source.connection);
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ("many-" + std::to_string(i), messages[i]->getCallID().str());
        EXPECT_EQ(std::string(10 * i, 'a' + i), messages[i]->getBody());
        EXPECT_EQ(source.connection, messages[i]->getSource().connection);
    }
}

TEST_F(SocketTransport, TcpResponse_GoesBackOnTheRequestsConnection) {
    auto client = connectTo(listen(NvSocketImpl::TCP, "127.0.0.1"));
    const NvSipPeer source = clientSaidHello(*client);
    const std::string response = sipResponse("hello");
    // By connection id, and by address and port alone: the same connection
    // (the client does not listen, so a new one could not even be opened).
    for (NvSipPeer to : {source, peerAt(NvSocketImpl::TCP, "127.0.0.1", client->localPort())}) {
        write(response, to);
        EXPECT_EQ(source.connection, to.connection);
        EXPECT_EQ(response, client->receiveBytes(response.size()));
    }
}

TEST_F(SocketTransport, TcpWriteToANewPeer_ConnectsWithoutBlockingAndReadsWhatComesBack) {
    RawSocket server("127.0.0.1", SOCK_STREAM);
    ASSERT_TRUE(server.bind());
    ASSERT_EQ(0, ::listen(server.fd(), 4));
    const std::string request = sipRequest("OPTIONS", "outbound", "", "TCP");
    NvSipPeer to = peerAt(NvSocketImpl::TCP, "127.0.0.1", server.localPort());
    NvSipPeer again = to;
    transport().write(parse(request), request, to);
    transport().write(parse(request), request, again);  // queued behind the first while it connects
    ASSERT_NE(0u, to.connection);
    EXPECT_EQ(to.connection, again.connection);
    const auto accepted = server.accept();
    ASSERT_TRUE(accepted);
    EXPECT_EQ(request + request, accepted->receiveBytes(2 * request.size()));
    EXPECT_FALSE(server.accept(200ms));

    // The answer comes back on that connection and is read.
    accepted->sendAll(sipResponse("outbound"));
    ASSERT_TRUE(m_Receiver.waitFor(1));
    EXPECT_EQ(to.connection, m_Receiver.messages()[0]->getSource().connection);
    EXPECT_EQ(server.localPort(), m_Receiver.messages()[0]->getSource().port);

    // The peer closes it once it has everything: nothing is reported as not sent.
    accepted->closeNow();
    EXPECT_FALSE(m_Receiver.waitForFailures(1, 300ms));
}

TEST_F(SocketTransport, TcpConnectRefused_ReportedThroughSendFailedNotRaised) {
    RawSocket reserved("127.0.0.1", SOCK_STREAM);
    ASSERT_TRUE(reserved.bind());  // bound, not listening: connections are refused
    NvSipPeer to = peerAt(NvSocketImpl::TCP, "127.0.0.1", reserved.localPort());
    const std::string request = sipRequest("OPTIONS", "refused", "", "TCP");
    const NvHandle<NvSipMessage> message = parse(request);
    EXPECT_NO_THROW(transport().write(message, request, to));
    ASSERT_TRUE(m_Receiver.waitForFailures(1));
    const auto failures = m_Receiver.failures();
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(message.get(), failures[0].first.get());
    EXPECT_NE(std::string::npos, failures[0].second.find("connect: Connection refused")) << failures[0].second;
}

TEST_F(SocketTransport, TcpConnectNotAnsweredInTime_ReportedThroughSendFailed) {
    RawSocket server("127.0.0.1", SOCK_STREAM), filler("127.0.0.1", SOCK_STREAM);
    ASSERT_TRUE(server.bind());
    ASSERT_EQ(0, ::listen(server.fd(), 0));
    ASSERT_TRUE(filler.connect(server.localPort()));  // fills the accept queue: later SYNs go unanswered
    const std::string request = sipRequest("OPTIONS", "unanswered", "", "TCP");
    NvSipPeer to = peerAt(NvSocketImpl::TCP, "127.0.0.1", server.localPort());
    transport().write(parse(request), request, to);
    ASSERT_TRUE(m_Receiver.waitForFailures(1, 5000ms));
    EXPECT_NE(std::string::npos, m_Receiver.failures()[0].second.find("connect: timed out after 2000 ms"))
        << m_Receiver.failures()[0].second;
}

TEST_F(SocketTransport, TcpGarbageOrAPeerLeavingMidMessage_ClosesTheConnectionWithALogLine) {
    Tellar::LogCapture log(kSocketLogger, Tellar::DEBUG);
    const uint16_t port = listen(NvSocketImpl::TCP, "127.0.0.1");
    auto client = connectTo(port);
    client->sendAll("GARBAGE GARBAGE\r\n\r\n");
    EXPECT_TRUE(client->waitClosedByPeer());
    EXPECT_TRUE(warned(log, "(tcp:127.0.0.1:" + std::to_string(client->localPort()) + "): cannot frame its bytes: "))
        << log.dump();

    // Binary bytes and a message past the size limit go the same way.
    auto binary = connectTo(port);
    binary->sendAll(std::string("\x16\x03\x01\x00\x05hello", 10));
    EXPECT_TRUE(binary->waitClosedByPeer());
    auto huge = connectTo(port);
    std::string tooLong = sipRequest("MESSAGE", "huge", "", "TCP");
    huge->sendAll(tooLong.replace(tooLong.find("Content-Length: 0"), 17, "Content-Length: 70000"));
    EXPECT_TRUE(huge->waitClosedByPeer());

    // A peer that leaves in the middle of a message: the part is dropped.
    auto cut = connectTo(port);
    const std::string m = sipRequest("MESSAGE", "cut", std::string(100, 'z'), "TCP");
    const uint16_t cutPort = cut->localPort();
    cut->sendAll(m.substr(0, m.size() - 40));
    cut->closeNow();
    EXPECT_TRUE(warned(log, "closed by the peer in the middle of a message; dropped " + std::to_string(m.size() - 40)))
        << log.dump();
    EXPECT_EQ(4u, log.count(Tellar::WARN, "Closing connection ")) << log.dump();
    EXPECT_EQ(0u, m_Receiver.count());

    // That connection is gone: a message to its peer needs a new one, which is refused.
    NvSipPeer to = peerAt(NvSocketImpl::TCP, "127.0.0.1", cutPort);
    transport().write(parse(m), m, to);
    EXPECT_TRUE(m_Receiver.waitForFailures(1));

    // The listener still serves others.
    auto good = connectTo(port);
    clientSaidHello(*good);
    transport().close();  // nothing more is logged while the capture goes away
}

TEST_F(SocketTransport, IdleTcpConnection_ClosedWhileABusyOneStaysOpen) {
    NvSipSocketTransport::sm_IdleTimeoutMs = 300;
    Tellar::LogCapture log(kSocketLogger, Tellar::DEBUG);
    const uint16_t port = listen(NvSocketImpl::TCP, "127.0.0.1");
    auto idle = connectTo(port);
    clientSaidHello(*idle);
    auto busy = connectTo(port);
    for (int i = 0; i < 6; ++i) {
        busy->sendAll("\r\n");
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(idle->waitClosedByPeer(3000ms));
    EXPECT_EQ(1u, log.count(Tellar::INFO, "Closing connection ")) << log.dump();
    busy->sendAll(sipRequest("OPTIONS", "still-open", "", "TCP"));
    EXPECT_TRUE(m_Receiver.waitFor(2));
    transport().close();
}

TEST_F(SocketTransport, TcpWritesFromManyThreadsToASlowReader_ArriveWholeAndTheQueueIsBounded) {
    NvSipTransportLayer::sm_SocketBufferBytes = 4096;  // small kernel buffers: the queue must do the work
    auto client = connectTo(listen(NvSocketImpl::TCP, "127.0.0.1"));
    const NvSipPeer source = clientSaidHello(*client);

    // Written before the peer reads, well past what the kernels hold and short
    // of the queue's bound: every message arrives whole.
    constexpr int kThreads = 4, kEach = 2;
    std::vector<std::string> texts(kThreads);
    size_t total = 0;
    for (int t = 0; t < kThreads; ++t) {
        texts[t] = sipRequest("MESSAGE", "thread-" + std::to_string(t), std::string(60000 + t, 'a' + t), "TCP");
        total += kEach * texts[t].size();
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                NvSipPeer to = source;
                try {
                    write(texts[t], to);
                } catch (NvHandle<NvException>&) {
                    ++failures;
                }
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    const auto messages = frame(client->receiveBytes(total, 5000ms));
    ASSERT_EQ(static_cast<size_t>(kThreads * kEach), messages.size());
    for (const auto& m : messages) EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), m));

    // A reader that stops reading: writes are refused once the queue is full, not buffered without end.
    std::string refusal;
    for (int i = 0; i < 200 && refusal.empty(); ++i) {
        NvSipPeer to = source;
        try {
            write(texts[0], to);
        } catch (NvHandle<NvException>& e) {
            refusal = e->getMessage().str();
        }
    }
    EXPECT_NE(std::string::npos, refusal.find("still waiting for the peer")) << refusal;
}

// ---------------------------------------------------------------- closing

TEST_F(SocketTransport, CloseWhileOtherThreadsWrite_NoCrashAndLaterWritesFail) {
    listen(NvSocketImpl::UDP, "127.0.0.1");
    RawSocket sink("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(sink.bind());
    auto client = connectTo(listen(NvSocketImpl::TCP, "127.0.0.1"));
    const NvSipPeer tcpPeer = clientSaidHello(*client);
    const NvSipPeer udpPeer = peerAt(NvSocketImpl::UDP, "127.0.0.1", sink.localPort());

    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < 100000 && !stop.load(); ++i) {
                NvSipPeer to = t == 0 ? udpPeer : tcpPeer;
                try {
                    write("OPTIONS sip:x SIP/2.0\r\nContent-Length: 0\r\n\r\n", to);
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
    NvSipPeer to = udpPeer;
    EXPECT_THROW(write("x", to), NvHandle<NvException>);
    EXPECT_TRUE(client->waitClosedByPeer());
}

}  // namespace
