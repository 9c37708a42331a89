// The socket transport on loopback, monitor thread running, against ACE's plain socket wrappers (every wait bounded);
// and the stream framer behind its TCP connections.

#include "TransportTestSupport.h"
#include "stack/log/TellarCapture.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipSocketTransport.h"

#include <ace/INET_Addr.h>
#include <ace/SOCK_Acceptor.h>
#include <ace/SOCK_Connector.h>
#include <ace/SOCK_Dgram.h>
#include <ace/SOCK_Stream.h>

#include <cerrno>
#include <cstring>

namespace {

const char* const kTransportLogger = "lumbrook.sip.transport";  // and its child, the socket transport's
const ACE_Time_Value kPeerWait(3);  // longest a peer waits for what should come

std::string tcpRequest(const std::string& callId, const std::string& body = "") {
    return peerMessage(callId, body, "TCP 127.0.0.1:5999");
}

ACE_INET_Addr at(uint16_t port, const char* host = "127.0.0.1") {
    return ACE_INET_Addr(port, host, std::strchr(host, ':') ? AF_INET6 : AF_INET);
}

// An ACE socket closed when it goes.
template <class Socket>
struct Closing : Socket {
    using Socket::Socket;
    ~Closing() { this->close(); }
};
using Datagrams = Closing<ACE_SOCK_Dgram>;
using Stream = Closing<ACE_SOCK_Stream>;
using Listener = Closing<ACE_SOCK_Acceptor>;

uint16_t localPort(const ACE_SOCK& socket) { ACE_INET_Addr a; return socket.get_local_addr(a), a.get_port_number(); }

void sendTo(ACE_SOCK_Dgram& socket, const std::string& bytes, uint16_t port, const char* host = "127.0.0.1") {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), socket.send(bytes.data(), bytes.size(), at(port, host)));
}

void sendAll(ACE_SOCK_Stream& stream, const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), stream.send_n(bytes.data(), bytes.size(), MSG_NOSIGNAL));
}

// "<source port> <bytes>" of one datagram, or "" when none came in time.
std::string receiveDatagram(ACE_SOCK_Dgram& socket) {
    std::string buffer(70000, '\0');
    ACE_INET_Addr from;
    const ssize_t n = socket.recv(&buffer[0], buffer.size(), from, 0, &kPeerWait);
    buffer.resize(static_cast<size_t>(std::max<ssize_t>(n, 0)));
    return n < 0 ? "" : std::to_string(from.get_port_number()) + " " + buffer;
}

// What came on `stream` until `n` bytes arrived, it was closed or a wait ran out.
std::string receiveBytes(ACE_SOCK_Stream& stream, size_t n) {
    std::string buffer(n, '\0');
    size_t got = 0;
    stream.recv_n(&buffer[0], n, &kPeerWait, &got);
    buffer.resize(got);
    return buffer;
}

// Whether the far end closed `stream` (EOF or reset) in time; what came before is skipped.
bool closedByPeer(ACE_SOCK_Stream& stream) {
    char buffer[4096];
    ssize_t n = 1;
    for (int i = 0; i < 10000 && n > 0; ++i) n = stream.recv(buffer, sizeof buffer, &kPeerWait);
    return n == 0 || (n < 0 && errno != ETIME);
}

class SocketTransport : public ::testing::Test {
protected:
    void SetUp() override {
        NvMonitorThread::sGetCurrent()->start();
        layer().setReceiver(&m_Receiver);
    }
    void TearDown() override {
        m_Transport.close();
        layer().close();
        NvMonitorThread::sGetCurrent()->stop();
        // Received messages go back to the transaction manager, as in any running stack.
        layer().setReceiver(NvSipTransactionManager::sGetInstance());
        NvSipSocketTransport::sm_IdleTimeoutMs = m_Idle;
        NvSipSocketLimits::sm_MaxDatagramBytes = m_DatagramLimit;
        NvSipTransportLayer::sm_SocketBufferBytes = m_BufferBytes;
    }
    static NvSipTransportLayer& layer() { return *NvSipTransportLayer::sGetInstance(); }
    uint16_t listen(NvSocketImpl::Transport kind, const char* host = "127.0.0.1", uint16_t port = 0) {
        return m_Transport.listen(kind, NvInetAddress::sParse(host), port);
    }
    // Writes the bytes of `message` (nil: nothing to report should they fail); the peer as the transport completed it.
    NvSipPeer write(const std::string& bytes, NvSipPeer to, const NvHandle<NvSipMessage>& message = nullptr) {
        m_Transport.write(message, bytes, to);
        return to;
    }
    std::unique_ptr<Stream> connectTo(uint16_t port) {
        auto stream = std::make_unique<Stream>();
        EXPECT_EQ(0, ACE_SOCK_Connector().connect(*stream, at(port))) << std::strerror(errno);
        return stream;
    }
    // A TCP client that sent one request; its source as the transport saw it.
    NvSipPeer clientSaidHello(ACE_SOCK_Stream& client) {
        const size_t before = m_Receiver.messages().size();
        sendAll(client, tcpRequest("hello"));
        EXPECT_TRUE(m_Receiver.waitFor(before + 1));
        return m_Receiver.messages().size() > before ? m_Receiver.messages().back()->getSource() : NvSipPeer();
    }
    NvSipPeer sourceOf(size_t i) { return m_Receiver.messages().at(i)->getSource(); }

    const unsigned int m_Idle = NvSipSocketTransport::sm_IdleTimeoutMs;  // settings tests change, put back
    const size_t m_DatagramLimit = NvSipSocketLimits::sm_MaxDatagramBytes;
    const int m_BufferBytes = NvSipTransportLayer::sm_SocketBufferBytes;
    RecordingReceiver m_Receiver;
    NvSipSocketTransport m_Transport{layer()};
};

TEST_F(SocketTransport, ListenTakesFreePortsIPv4AndIPv6Share_CloseWhileThreadsWriteGivesThemBackLaterWritesFail) {
    const uint16_t udp = listen(NvSocketImpl::UDP, "0.0.0.0"), tcp = listen(NvSocketImpl::TCP, "0.0.0.0");
    Lines points;
    for (const auto& p : m_Transport.getListenPoints())
        points.push_back(NvSipPeer{p.transport, p.address, p.port, 0, NvInetAddress(), 0}.toString());
    EXPECT_EQ((Lines{"udp:0.0.0.0:" + std::to_string(udp), "tcp:0.0.0.0:" + std::to_string(tcp)}), points);
    EXPECT_EQ("bind failed: Address already in use", raised([&] { listen(NvSocketImpl::UDP, "127.0.0.1", udp); }));
    Datagrams v6;
    if (v6.open(at(0, "::1")) == 0) {  // else no IPv6 loopback here
        EXPECT_EQ(udp, listen(NvSocketImpl::UDP, "::", udp));
        EXPECT_EQ(tcp, listen(NvSocketImpl::TCP, "::", tcp));
        sendTo(v6, peerMessage("wild-v6", "", "UDP [::1]:5999"), udp, "::1");
        ASSERT_TRUE(m_Receiver.waitFor(1));
        EXPECT_EQ("udp:[::1]:" + std::to_string(localPort(v6)), write("reply-v6", sourceOf(0)).toString());
        EXPECT_EQ(std::to_string(udp) + " reply-v6", receiveDatagram(v6));
    }

    Datagrams sink(at(0));
    auto client = connectTo(tcp);
    const NvSipPeer udpPeer = peerAt(NvSocketImpl::UDP, "127.0.0.1", localPort(sink));
    const NvSipPeer tcpPeer = clientSaidHello(*client);
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::vector<std::thread> writers;
    for (const NvSipPeer& to : {udpPeer, tcpPeer, tcpPeer})
        writers.emplace_back([&, to] {
            for (int i = 0; i < 100000 && !stop; ++i)
                if (raised([&] { write(tcpRequest("w"), to); }).empty()) ++written;
        });
    std::this_thread::sleep_for(50ms);
    m_Transport.close();
    stop = true;
    for (auto& w : writers) w.join();
    EXPECT_GT(written.load(), 0);
    EXPECT_TRUE(m_Transport.getListenPoints().empty());
    EXPECT_NE(ACE_INVALID_HANDLE, Datagrams(at(udp)).get_handle());
    EXPECT_NE(0, ACE_SOCK_Connector().connect(*std::make_unique<Stream>(), at(tcp)));
    EXPECT_NE("", raised([&] { write("x", udpPeer); }));
    EXPECT_TRUE(closedByPeer(*client));
}

// Over the layer's own sockets: a burst arrives in order (past several wake-ups), an oversized datagram is dropped
// with a log line, a keep-alive is no message. What is written while received datagrams are handled leaves with them
// in one batch, in the order written, even beyond one batch's size, from the socket its request came in on (not the
// first one); a datagram that cannot go (a broadcast, refused at once) is reported as not sent and the others still
// leave. The same write from another thread raises at once, as does one to a family without a socket.
TEST_F(SocketTransport, Udp_ABurstArrivesInOrderAnswersLeaveInOrderFromTheRequestsSocketAFailedOneIsReported) {
    struct Answering : RecordingReceiver {  // answers each request; the one called "refused" to a broadcast address
        void receive(const NvHandle<NvSipMessage>& message) override {
            RecordingReceiver::receive(message);
            const NvHandle<NvSipMessage> answer(new NvSipResponse(200, NvHandle<NvSipRequest>(message)));
            unsigned port = 5060;
            NvInetAddress broadcast = NvInetAddress::sParse("255.255.255.255");
            if (message->getCallID() == "refused") return NvSipTransportLayer::send(answer, &port, &broadcast);
            NvSipTransportLayer::send(answer);  // by its Via's rport
        }
    } answering;
    NvSipSocketLimits::sm_MaxDatagramBytes = 1000;
    Tellar::LogCapture log(kTransportLogger, Tellar::WARN);
    layer().setReceiver(&answering);
    layer().listen(NvSocketImpl::UDP, "127.0.0.1", 0);
    const uint16_t port = layer().listen(NvSocketImpl::UDP, "127.0.0.1", 0);
    Datagrams peer(at(0));
    const std::string big = peerMessage("too-big", std::string(1500, 'x'));
    sendTo(peer, big, port);
    sendTo(peer, "\r\n\r\n", port);
    Lines sent, answered;
    for (int i = 0; i < 150; ++i) {  // batches of at most 64 datagrams each way
        sent.push_back(i == 70 ? "refused" : "burst-" + std::to_string(i));
        sendTo(peer, peerMessage(sent.back()), port);
    }
    ASSERT_TRUE(answering.waitFor(sent.size())) << answering.callIds().size() << " of " << sent.size();
    EXPECT_EQ(sent, answering.callIds());
    ASSERT_TRUE(answering.waitForFailures(1));
    for (size_t i = 0; i + 1 < sent.size(); ++i) {
        const std::string datagram = receiveDatagram(peer);  // "<port> <bytes>"
        answered.push_back(parse(datagram.substr(datagram.find(' ') + 1))->getCallID().str());
        EXPECT_EQ(std::to_string(port), datagram.substr(0, datagram.find(' '))) << answered.back();
    }
    sent.erase(sent.begin() + 70);
    EXPECT_EQ(sent, answered);
    const auto failures = answering.failures();
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ("refused: sendmmsg: Permission denied", failures[0].first->getCallID().str() + ": " + failures[0].second);
    EXPECT_EQ(2u, log.size()) << log.dump();
    EXPECT_EQ(1u, log.count(Tellar::WARN, "Could not send 200 response: sendmmsg: Permission denied"));
    EXPECT_EQ(1u, log.count(Tellar::WARN, "Dropped a datagram of " + std::to_string(big.size()) + " bytes from udp:" +
                                              "127.0.0.1:" + std::to_string(localPort(peer)) +
                                              ": larger than the limit of 1000 bytes"));
    EXPECT_NE("", raised([&] { answering.receive(parse(peerMessage("refused"))); }));
    const auto toIPv6 = parse(peerMessage("v6", "", "UDP [::1]", "sip:b@[::1]"));  // no socket of that family
    EXPECT_NE("", raised([&] { NvSipTransportLayer::send(toIPv6); }));
    layer().setReceiver(&m_Receiver);
}

TEST_F(SocketTransport, TcpStream_PingsPiecesAndThreadsWritesArriveWholeAnswersGoBackOnItTheQueueIsBounded) {
    NvSipTransportLayer::sm_SocketBufferBytes = 4096;  // small kernel buffers: the queue must do the work
    auto client = connectTo(listen(NvSocketImpl::TCP));
    sendAll(*client, "\r\n\r\n");  // a ping, answered by a pong
    EXPECT_EQ("\r\n", receiveBytes(*client, 2));
    const std::string first = tcpRequest("pieces", std::string(2000, 'b'));
    sendAll(*client, first.substr(0, first.size() - 700));  // cut in the body
    EXPECT_FALSE(m_Receiver.waitFor(1, 150ms));
    sendAll(*client, first.substr(first.size() - 700) + "\r\n" + tcpRequest("many-1", "a") +
                         tcpRequest("many-2", std::string(40, 'e')));
    ASSERT_TRUE(m_Receiver.waitFor(3));
    EXPECT_EQ((Lines{"pieces", "many-1", "many-2"}), m_Receiver.callIds());
    const NvSipPeer source = sourceOf(0);
    EXPECT_EQ("tcp:127.0.0.1:" + std::to_string(localPort(*client)), source.toString());
    EXPECT_EQ(source.connection, sourceOf(2).connection);
    // Answers go back on it, by connection id (below) or by address and port alone (the client does not listen).
    const std::string response = sipResponse("pieces");
    EXPECT_EQ(source.connection, write(response, peerAt(NvSocketImpl::TCP, "127.0.0.1", source.port)).connection);
    EXPECT_EQ(response, receiveBytes(*client, response.size()));

    // Written before the peer reads, well past what the kernels hold and short of the queue's bound.
    Lines expected;
    size_t total = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        expected.insert(expected.end(), 2, tcpRequest("thread-" + std::to_string(t), std::string(60000 + t, 'a' + t)));
        total += 2 * expected.back().size();
        threads.emplace_back([&, text = expected.back()] {
            for (int i = 0; i < 2; ++i) EXPECT_EQ("", raised([&] { write(text, source); }));
        });
    }
    for (auto& thread : threads) thread.join();
    Lines arrived = feed({receiveBytes(*client, total)}).messages;
    std::sort(arrived.begin(), arrived.end());
    EXPECT_TRUE(expected == arrived) << arrived.size() << " of " << expected.size() << " arrived whole";
    // A reader that stops reading: writes are refused once the queue is full, not buffered without end.
    std::string refusal;
    for (int i = 0; i < 200 && refusal.empty(); ++i) refusal = raised([&] { write(expected[0], source); });
    EXPECT_TRUE(mentions(refusal, "still waiting for the peer"));
}

TEST_F(SocketTransport, TcpWriteToANewPeer_ConnectsWithoutBlockingReadsWhatComesBackReportsRefusalAndTimeOut) {
    Listener server(at(0));
    const std::string request = tcpRequest("outbound");
    const NvSipPeer to = write(request, peerAt(NvSocketImpl::TCP, "127.0.0.1", localPort(server)), parse(request));
    const NvSipPeer again = write(request, peerAt(NvSocketImpl::TCP, "127.0.0.1", to.port), parse(request));
    EXPECT_EQ(to.connection, again.connection);  // queued behind the first while it connects
    Stream accepted;
    ACE_Time_Value wait = kPeerWait;
    ASSERT_EQ(0, server.accept(accepted, nullptr, &wait));
    EXPECT_EQ(request + request, receiveBytes(accepted, 2 * request.size()));

    // The answer comes back on that connection and is read.
    sendAll(accepted, sipResponse("outbound"));
    ASSERT_TRUE(m_Receiver.waitFor(1));
    EXPECT_EQ(to.connection, sourceOf(0).connection);

    // The peer closes it once it has everything: nothing is reported as not sent (the failures below are others).
    // A connection refused or not answered in time is reported through sendFailed, not raised.
    accepted.close();
    Listener silent(at(0), 0, PF_UNSPEC, 0);
    auto filler = connectTo(localPort(silent));  // fills the accept queue: later SYNs go unanswered
    const NvHandle<NvSipMessage> message = parse(tcpRequest("connect"));
    for (const uint16_t port : {localPort(Listener(at(0))), localPort(silent)})  // closed at once: refused
        write(message->toString(), peerAt(NvSocketImpl::TCP, "127.0.0.1", port), message);
    ASSERT_TRUE(m_Receiver.waitForFailures(2, 5000ms));
    EXPECT_EQ(message.get(), m_Receiver.failures()[0].first.get());
    EXPECT_TRUE(mentions(m_Receiver.failures()[0].second, "connect: Connection refused (connection "));
    EXPECT_TRUE(mentions(m_Receiver.failures()[1].second, "connect: timed out after 2000 ms"));
}

TEST_F(SocketTransport, TcpGarbageAPeerLeavingMidMessageOrIdleness_CloseTheConnectionTheFirstTwoWithALogLine) {
    NvSipSocketTransport::sm_IdleTimeoutMs = 300;
    Tellar::LogCapture log(kTransportLogger, Tellar::WARN);  // closing an idle one is logged below that
    const uint16_t port = listen(NvSocketImpl::TCP);
    auto garbage = connectTo(port);
    sendAll(*garbage, "GARBAGE GARBAGE\r\n\r\n");
    EXPECT_TRUE(closedByPeer(*garbage));
    auto cut = connectTo(port);
    const std::string m = "\r\n" + tcpRequest("cut", std::string(100, 'z'));  // the keep-alive is not dropped
    sendAll(*cut, m.substr(0, m.size() - 40));
    cut.reset();
    ASSERT_TRUE(log.waitForRecords(2, 3000ms)) << log.dump();
    const std::string garbageSource = "(tcp:127.0.0.1:" + std::to_string(localPort(*garbage)) + "): ";
    EXPECT_TRUE(mentions(log.records()[0].text, garbageSource + "cannot frame its bytes: "));
    EXPECT_TRUE(mentions(log.records()[1].text, "middle of a message; dropped " + std::to_string(m.size() - 42)));

    // The listener still serves others: one left idle is closed, one kept busy with keep-alives is not.
    auto idle = connectTo(port);
    clientSaidHello(*idle);
    auto busy = connectTo(port);
    for (int i = 0; i < 6; ++i, std::this_thread::sleep_for(100ms)) sendAll(*busy, "\r\n");
    EXPECT_TRUE(closedByPeer(*idle));
    sendAll(*busy, tcpRequest("still-open"));
    EXPECT_TRUE(m_Receiver.waitFor(2));
    m_Transport.close();  // nothing more is logged while the capture goes away
}

TEST(SocketFramer, MessagesAndPings_ComeOutWholeHoweverTheBytesArriveGarbageIsRefusedAtOnce) {
    // Fed byte by byte, each message comes out once, at its last byte; what can still become a start line waits.
    const std::string request = peerMessage("a", "first"), response = sipResponse("r");
    Lines bytes;
    for (char c : request + response) bytes.emplace_back(1, c);
    EXPECT_EQ((Lines{request, response}), feed(bytes).messages);
    bytes.pop_back();
    EXPECT_EQ(Lines{request}, feed(bytes).messages);
    EXPECT_EQ("", feed({"sip/2."}).garbage);
    // A double CRLF is a ping, however it is split.
    for (const auto& pieces : std::vector<Lines>{{"\r\n\r\n"}, {"\r\n", "\r\n"}, {"\r", "\n\r", "\n"}})
        EXPECT_EQ(1, feed(pieces).pings) << pieces.size() << " pieces";
    EXPECT_EQ(0u, feed({"\r\n"}).pending);  // keep-alives are not pending
    // Refused at once, for its reason: start lines (the parser's check, once whole), their bytes (a TLS hello),
    // what the parser's framing refuses.
    const std::pair<std::string, const char*> cases[] = {
        {"GARBAGE GARBAGE\r\n\r\n", "Not a SIP request or status line: "},
        {"SIP/3", "Not a SIP request or status line"}, {"SIP/3.0 200 OK\r\n", "Unsupported SIP version"},
        {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), "Control character"},
        {"MESSAGE sip:x SIP/2.0\r\nContent-Length: 100000\r\n\r\n", "exceeds the limit"}};
    for (const auto& [text, reason] : cases) EXPECT_TRUE(mentions(feed({text}).garbage, reason)) << text;
}

}  // namespace
