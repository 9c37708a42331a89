// The socket transport on loopback with the monitor thread running: UDP and TCP over IPv4 and IPv6, streams
// framed, connections opened without blocking and reused both ways, bad input dropped with a log line (the peers
// are ACE's plain socket wrappers; every wait is bounded); and the stream framer behind the TCP connections.

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

const char* const kSocketLogger = "lumbrook.sip.transport.socket";
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

uint16_t localPort(const ACE_SOCK& socket) {
    ACE_INET_Addr address;
    socket.get_local_addr(address);
    return address.get_port_number();
}

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
        m_pTransport.reset();
        layer().close();
        NvMonitorThread::sGetCurrent()->stop();
        // Received messages go back to the transaction manager, as in any running stack.
        layer().setReceiver(NvSipTransactionManager::sGetInstance());
        NvSipSocketTransport::sm_IdleTimeoutMs = m_Idle;
        NvSipSocketLimits::sm_MaxDatagramBytes = m_DatagramLimit;
        NvSipTransportLayer::sm_SocketBufferBytes = m_BufferBytes;
    }
    static NvSipTransportLayer& layer() { return *NvSipTransportLayer::sGetInstance(); }
    NvSipSocketTransport& transport() {
        if (!m_pTransport) m_pTransport.reset(new NvSipSocketTransport(layer()));
        return *m_pTransport;
    }
    uint16_t listen(NvSocketImpl::Transport kind, const char* host = "127.0.0.1", uint16_t port = 0) {
        return transport().listen(kind, NvInetAddress::sParse(host), port);
    }
    // Writes bytes of no message (nothing to report should they fail); returns the peer as the transport completed it.
    NvSipPeer write(const std::string& bytes, NvSipPeer to) {
        transport().write(NvHandle<NvSipMessage>(), bytes, to);
        return to;
    }
    std::unique_ptr<Stream> connectTo(uint16_t port, const char* host = "127.0.0.1") {
        auto stream = std::make_unique<Stream>();
        EXPECT_EQ(0, ACE_SOCK_Connector().connect(*stream, at(port, host))) << std::strerror(errno);
        return stream;
    }
    // A TCP client that sent one request; its source as the transport saw it.
    NvSipPeer clientSaidHello(ACE_SOCK_Stream& client) {
        sendAll(client, tcpRequest("hello"));
        EXPECT_TRUE(m_Receiver.waitFor(1));
        return m_Receiver.messages().empty() ? NvSipPeer() : m_Receiver.messages()[0]->getSource();
    }

    const unsigned int m_Idle = NvSipSocketTransport::sm_IdleTimeoutMs;  // settings tests change, put back
    const size_t m_DatagramLimit = NvSipSocketLimits::sm_MaxDatagramBytes;
    const int m_BufferBytes = NvSipTransportLayer::sm_SocketBufferBytes;
    RecordingReceiver m_Receiver;
    std::unique_ptr<NvSipSocketTransport> m_pTransport;
};

TEST_F(SocketTransport, ListenTakesFreePorts_CloseWhileThreadsWriteGivesThemBackAndLaterWritesFail) {
    const uint16_t udp = listen(NvSocketImpl::UDP), tcp = listen(NvSocketImpl::TCP);
    Lines points;
    for (const auto& p : transport().getListenPoints())
        points.push_back(NvSocketImpl::sName(p.transport) + (" " + p.address.toString().str()) + ":" +
                         std::to_string(p.port));
    EXPECT_EQ((Lines{"UDP 127.0.0.1:" + std::to_string(udp), "TCP 127.0.0.1:" + std::to_string(tcp)}), points);
    EXPECT_EQ("bind failed: Address already in use", raised([&] { listen(NvSocketImpl::UDP, "127.0.0.1", udp); }));

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
    transport().close();
    stop = true;
    for (auto& w : writers) w.join();
    EXPECT_GT(written.load(), 0);
    EXPECT_TRUE(transport().getListenPoints().empty());
    EXPECT_NE(ACE_INVALID_HANDLE, Datagrams(at(udp)).get_handle());
    EXPECT_NE(0, ACE_SOCK_Connector().connect(*std::make_unique<Stream>(), at(tcp)));
    EXPECT_NE("", raised([&] { write("x", udpPeer); }));
    EXPECT_TRUE(closedByPeer(*client));
}

TEST_F(SocketTransport, IPv4AndIPv6_ShareAWildcardPortAndIPv6PeersAreSeenAndAnswered) {
    Datagrams v6;
    if (v6.open(at(0, "::1")) != 0) GTEST_SKIP() << "no IPv6 loopback";
    const uint16_t udp = listen(NvSocketImpl::UDP, "0.0.0.0");
    EXPECT_EQ(udp, listen(NvSocketImpl::UDP, "::", udp));
    const uint16_t tcp = listen(NvSocketImpl::TCP, "0.0.0.0");
    EXPECT_EQ(tcp, listen(NvSocketImpl::TCP, "::", tcp));

    sendTo(v6, peerMessage("wild-v6", "", "UDP [::1]:5999"), udp, "::1");
    ASSERT_TRUE(m_Receiver.waitFor(1));
    EXPECT_EQ("udp:[::1]:" + std::to_string(localPort(v6)),
              write("reply-v6", m_Receiver.messages()[0]->getSource()).toString());
    EXPECT_EQ(std::to_string(udp) + " reply-v6", receiveDatagram(v6));

    auto stream = connectTo(tcp, "::1");
    sendAll(*stream, peerMessage("v6-tcp", "", "TCP [::1]:5999"));
    ASSERT_TRUE(m_Receiver.waitFor(2));
    EXPECT_EQ("tcp:[::1]:" + std::to_string(localPort(*stream)), m_Receiver.messages()[1]->getSource().toString());
}

TEST_F(SocketTransport, LayerSend_ResponsesLeaveFromTheirRequestsSocketRequestsGoOverUdpOrTcp) {
    const uint16_t first = layer().listen(NvSocketImpl::UDP, "127.0.0.1", 0);
    const uint16_t second = layer().listen(NvSocketImpl::UDP, "127.0.0.1", 0);
    Datagrams peer(at(0));
    size_t received = 0;
    for (const uint16_t port : {second, first}) {
        sendTo(peer, peerMessage("on-" + std::to_string(port)), port);
        ASSERT_TRUE(m_Receiver.waitFor(++received));
        const NvHandle<NvSipRequest> request(m_Receiver.messages().back());
        NvSipTransportLayer::send(NvHandle<NvSipMessage>(new NvSipResponse(200, request)));
        EXPECT_EQ(0u, receiveDatagram(peer).find(std::to_string(port) + " SIP/2.0 200"));
    }

    // Requests to ourselves, over UDP and over TCP.
    const uint16_t tcp = layer().listen(NvSocketImpl::TCP, "127.0.0.1", 0);
    for (const auto& [kind, port] : {std::pair<std::string, uint16_t>{"UDP", first}, {"TCP", tcp}}) {
        const std::string uri = "sip:self@127.0.0.1:" + std::to_string(port) + ";transport=" + kind;
        NvSipTransportLayer::send(parse(peerMessage("self-" + kind, "", kind + " 127.0.0.1:5999", uri)));
        ASSERT_TRUE(m_Receiver.waitFor(++received)) << kind;
        EXPECT_EQ(kind, NvSocketImpl::sName(m_Receiver.messages().back()->getSource().transport));
    }
    // No socket of that family: an error at once.
    EXPECT_NE("", raised([&] { NvSipTransportLayer::send(parse(peerMessage("v6", "", "UDP [::1]", "sip:b@[::1]"))); }));
}

TEST_F(SocketTransport, UdpBurst_EveryMessageDeliveredInOrderOversizedAndKeepAlivesNot) {
    NvSipSocketLimits::sm_MaxDatagramBytes = 1000;
    Tellar::LogCapture log(kSocketLogger, Tellar::WARN);
    const uint16_t port = listen(NvSocketImpl::UDP);
    Datagrams peer(at(0));
    const std::string big = peerMessage("too-big", std::string(1500, 'x'));
    sendTo(peer, big, port);
    sendTo(peer, "\r\n\r\n", port);
    Lines sent;
    for (int i = 0; i < 300; ++i) {  // several wake-ups' worth
        sent.push_back("burst-" + std::to_string(i));
        sendTo(peer, peerMessage(sent.back()), port);
    }
    ASSERT_TRUE(m_Receiver.waitFor(sent.size())) << m_Receiver.callIds().size() << " of " << sent.size();
    EXPECT_EQ(sent, m_Receiver.callIds());
    ASSERT_EQ(1u, log.size()) << log.dump();
    EXPECT_EQ(1u, log.count(Tellar::WARN, "Dropped a datagram of " + std::to_string(big.size()) +
                                              " bytes from udp:127.0.0.1:" + std::to_string(localPort(peer)) +
                                              ": larger than the limit of 1000 bytes"))
        << log.dump();
}

TEST_F(SocketTransport, TcpStream_PingAnsweredMessagesInPiecesOrInOneWriteArriveWholeAnswersGoBackOnIt) {
    auto client = connectTo(listen(NvSocketImpl::TCP));
    sendAll(*client, "\r\n\r\n");  // a ping, answered by a pong
    EXPECT_EQ("\r\n", receiveBytes(*client, 2));
    const std::string first = tcpRequest("pieces", std::string(2000, 'b'));
    const size_t cut1 = first.find("Call-ID") + 3, cut2 = first.size() - 700;  // in the headers, in the body
    sendAll(*client, first.substr(0, cut1));
    EXPECT_FALSE(m_Receiver.waitFor(1, 150ms));
    sendAll(*client, first.substr(cut1, cut2 - cut1));
    EXPECT_FALSE(m_Receiver.waitFor(1, 150ms));
    sendAll(*client,
            first.substr(cut2) + "\r\n" + tcpRequest("many-1", "a") + tcpRequest("many-2", std::string(40, 'e')));
    ASSERT_TRUE(m_Receiver.waitFor(3));
    EXPECT_EQ((Lines{"pieces", "many-1", "many-2"}), m_Receiver.callIds());
    const auto messages = m_Receiver.messages();
    EXPECT_EQ(std::string(2000, 'b'), messages[0]->getBody());
    EXPECT_EQ(std::string(40, 'e'), messages[2]->getBody());
    const NvSipPeer source = messages[0]->getSource();
    EXPECT_EQ("tcp:127.0.0.1:" + std::to_string(localPort(*client)), source.toString());
    EXPECT_EQ(source.connection, messages[2]->getSource().connection);

    // Answers go back on it, by connection id or by address and port alone
    // (the client does not listen: a new connection could not even be opened).
    const std::string response = sipResponse("pieces");
    for (const NvSipPeer& to : {source, peerAt(NvSocketImpl::TCP, "127.0.0.1", localPort(*client))}) {
        EXPECT_EQ(source.connection, write(response, to).connection);
        EXPECT_EQ(response, receiveBytes(*client, response.size()));
    }
}

TEST_F(SocketTransport, TcpWriteToANewPeer_ConnectsWithoutBlockingReadsWhatComesBackReportsRefusalAndTimeOut) {
    Listener server(at(0));
    const std::string request = tcpRequest("outbound");
    NvSipPeer to = peerAt(NvSocketImpl::TCP, "127.0.0.1", localPort(server)), again = to;
    transport().write(parse(request), request, to);
    transport().write(parse(request), request, again);  // queued behind the first while it connects
    EXPECT_EQ(to.connection, again.connection);
    Stream accepted;
    ACE_Time_Value wait = kPeerWait;
    ASSERT_EQ(0, server.accept(accepted, nullptr, &wait));
    EXPECT_EQ(request + request, receiveBytes(accepted, 2 * request.size()));

    // The answer comes back on that connection and is read.
    sendAll(accepted, sipResponse("outbound"));
    ASSERT_TRUE(m_Receiver.waitFor(1));
    EXPECT_EQ(to.connection, m_Receiver.messages()[0]->getSource().connection);
    EXPECT_EQ(to.port, m_Receiver.messages()[0]->getSource().port);

    // The peer closes it once it has everything: nothing is reported as not sent.
    accepted.close();
    EXPECT_FALSE(m_Receiver.waitForFailures(1, 300ms));

    // A connection refused or not answered in time is reported through sendFailed, not raised.
    Listener silent(at(0), 0, PF_UNSPEC, 0);
    auto filler = connectTo(localPort(silent));  // fills the accept queue: later SYNs go unanswered
    const NvHandle<NvSipMessage> message = parse(tcpRequest("connect"));
    for (const uint16_t port : {localPort(Listener(at(0))), localPort(silent)}) {  // closed at once: refused
        NvSipPeer to = peerAt(NvSocketImpl::TCP, "127.0.0.1", port);
        EXPECT_EQ("", raised([&] { transport().write(message, message->toString(), to); }));
    }
    ASSERT_TRUE(m_Receiver.waitForFailures(2, 5000ms));
    const auto failures = m_Receiver.failures();
    EXPECT_EQ(message.get(), failures[0].first.get());
    EXPECT_EQ(0u, failures[0].second.find("connect: Connection refused (connection ")) << failures[0].second;
    EXPECT_EQ(0u, failures[1].second.find("connect: timed out after 2000 ms")) << failures[1].second;
}

TEST_F(SocketTransport, TcpGarbageOrAPeerLeavingMidMessage_ClosesTheConnectionWithALogLine) {
    Tellar::LogCapture log(kSocketLogger, Tellar::WARN);
    const uint16_t port = listen(NvSocketImpl::TCP);
    auto garbage = connectTo(port);
    sendAll(*garbage, "GARBAGE GARBAGE\r\n\r\n");
    EXPECT_TRUE(closedByPeer(*garbage));
    auto cut = connectTo(port);
    const std::string m = tcpRequest("cut", std::string(100, 'z'));
    const uint16_t cutPort = localPort(*cut);
    sendAll(*cut, m.substr(0, m.size() - 40));
    cut.reset();
    ASSERT_TRUE(log.waitForRecords(2, 3000ms)) << log.dump();
    EXPECT_NE(std::string::npos, log.records()[0].text.find("(tcp:127.0.0.1:" + std::to_string(localPort(*garbage)) +
                                                            "): cannot frame its bytes: "));
    EXPECT_NE(std::string::npos, log.records()[1].text.find("closed by the peer in the middle of a message; dropped " +
                                                            std::to_string(m.size() - 40)));

    // The listener still serves others (and the monitor thread is done with the one that left).
    auto good = connectTo(port);
    clientSaidHello(*good);
    EXPECT_EQ(Lines{"hello"}, m_Receiver.callIds());
    // That connection is gone: a message to its peer needs a new one, which is refused.
    NvSipPeer to = peerAt(NvSocketImpl::TCP, "127.0.0.1", cutPort);
    transport().write(parse(m), m, to);
    EXPECT_TRUE(m_Receiver.waitForFailures(1));
    transport().close();  // nothing more is logged while the capture goes away
}

TEST_F(SocketTransport, IdleTcpConnection_ClosedWhileABusyOneStaysOpen) {
    NvSipSocketTransport::sm_IdleTimeoutMs = 300;
    Tellar::LogCapture quiet(kSocketLogger, Tellar::INFO);  // the closing is logged, not printed
    const uint16_t port = listen(NvSocketImpl::TCP);
    auto idle = connectTo(port);
    clientSaidHello(*idle);
    auto busy = connectTo(port);
    for (int i = 0; i < 6; ++i) {
        sendAll(*busy, "\r\n");
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(closedByPeer(*idle));
    sendAll(*busy, tcpRequest("still-open"));
    EXPECT_TRUE(m_Receiver.waitFor(2));
    transport().close();
}

TEST_F(SocketTransport, TcpWritesFromManyThreadsToASlowReader_ArriveWholeAndTheQueueIsBounded) {
    NvSipTransportLayer::sm_SocketBufferBytes = 4096;  // small kernel buffers: the queue must do the work
    auto client = connectTo(listen(NvSocketImpl::TCP));
    const NvSipPeer source = clientSaidHello(*client);

    // Written before the peer reads, well past what the kernels hold and short
    // of the queue's bound: every message arrives whole.
    Lines texts, expected;
    for (int t = 0; t < 4; ++t)
        texts.push_back(tcpRequest("thread-" + std::to_string(t), std::string(60000 + t, 'a' + t)));
    std::vector<std::thread> threads;
    for (const std::string& text : texts) {
        expected.insert(expected.end(), 2, text);
        threads.emplace_back([&] {
            for (int i = 0; i < 2; ++i) EXPECT_EQ("", raised([&] { write(text, source); }));
        });
    }
    for (auto& thread : threads) thread.join();
    size_t total = 0;
    for (const auto& text : expected) total += text.size();
    Lines arrived = feed({receiveBytes(*client, total)}).messages;
    std::sort(arrived.begin(), arrived.end());
    EXPECT_TRUE(expected == arrived) << arrived.size() << " of " << expected.size() << " arrived whole";

    // A reader that stops reading: writes are refused once the queue is full, not buffered without end.
    std::string refusal;
    for (int i = 0; i < 200 && refusal.empty(); ++i) refusal = raised([&] { write(texts[0], source); });
    EXPECT_NE(std::string::npos, refusal.find("still waiting for the peer")) << refusal;
}

TEST(SocketFramer, MessagesKeepAlivesAndPings_ComeOutWholeInOrderHoweverTheBytesArriveGarbageIsRefusedAtOnce) {
    const std::string a = peerMessage("a", "first"), b = peerMessage("b"), c = peerMessage("c", std::string(3000, 'x'));
    const std::string response = sipResponse("r");
    Outcome outcome = feed({"\r\n", a + "\r\n" + b + "\r\n\r\n" + c + response});
    EXPECT_EQ((Lines{a, b, c, response}), outcome.messages);
    EXPECT_EQ(1, outcome.pings);  // single CRLFs are keep-alives, the double one a ping

    // Fed byte by byte, a message comes out once, at its last byte.
    Lines bytes;
    for (char c : a) bytes.emplace_back(1, c);
    outcome = feed(bytes);
    EXPECT_EQ(Lines{a}, outcome.messages);
    EXPECT_EQ(0u, outcome.messagesBeforeLast);

    EXPECT_EQ(0u, feed({"\r\n"}).pending);  // keep-alives are not pending

    // A double CRLF is a ping, however it is split.
    for (const auto& pieces : std::vector<Lines>{{"\r\n\r\n"}, {"\r\n", "\r\n"}, {"\r", "\n\r", "\n"}})
        EXPECT_EQ(1, feed(pieces).pings) << pieces.size() << " pieces";
    // What can still become a start line waits.
    for (const std::string start : {"I", "INVITE", "INVITE sip:bob@x", "S", "SIP/", "sip/2.", "SIP/2.0 1"})
        EXPECT_EQ("", feed({start}).garbage) << start;
    // What cannot is refused at once, for its reason.
    const char* const notSip = "Not a SIP request or status line";
    const std::pair<std::string, const char*> cases[] = {
        {"GARBAGE GARBAGE\r\n\r\n", "Not a SIP request or status line: "},
        {"HTTP/1.1 200 OK\r\n", notSip},
        {"GET /index.html HTTP/1.1\r\n", notSip},
        {"INVITE sip:x SIP/2.0 extra\r\n", notSip},
        {" INVITE sip:x SIP/2.0\r\n", notSip},
        {"SIP/2.0 2000 OK\r\n", notSip},
        {"SIP/3.0 200 OK\r\n", "Unsupported SIP version"},
        {"SIP/3", notSip},
        {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), "Control character"},  // a TLS hello
        {"MESSAGE sip:x SIP/2.0\r\nContent-Length: 100000\r\n\r\n", "exceeds the limit"},
        {"MESSAGE sip:x SIP/2.0\r\nSubject: " + std::string(NvSipParser::kMaxLineBytes + 9, 'x'), "Line longer than"}};
    for (const auto& [bytes, reason] : cases) {
        const Outcome outcome = feed({bytes});
        EXPECT_TRUE(outcome.messages.empty()) << bytes;
        EXPECT_TRUE(mentions(outcome.garbage, reason)) << bytes;
    }
}

}  // namespace
