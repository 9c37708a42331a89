// Where the transport layer sends requests and responses, and what it does
// to what it receives, over the test transport.

#include "stack/base/NvException.h"
#include "stack/log/TellarCapture.h"
#include "stack/sip/NvSipParser.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transport/NvSipResolver.h"
#include "stack/transport/NvSipTestTransport.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Keeps what the transport hands on, and what it could not send.
class Inbox : public NvSipMessageReceiver {
public:
    void receive(const NvHandle<NvSipMessage>& message) override { messages.push_back(message); }
    void sendFailed(const NvHandle<NvSipMessage>& message, const std::string& reason) override {
        std::lock_guard<std::mutex> lock(mutex);
        failed.emplace_back(message, reason);
    }
    std::vector<NvHandle<NvSipMessage>> messages;
    std::mutex mutex;
    std::vector<std::pair<NvHandle<NvSipMessage>, std::string>> failed;
};

NvHandle<NvSipMessage> parse(const std::string& text) { return NvSipParser::sParse(text.data(), text.size()); }

std::string request(const std::string& uri, const std::string& extra = "", const std::string& via = "UDP 192.0.2.1:5062") {
    return "OPTIONS " + uri + " SIP/2.0\r\nVia: SIP/2.0/" + via + ";branch=z9hG4bK1\r\n"
           "From: <sip:a@example.com>;tag=1\r\nTo: <sip:b@example.com>\r\nCall-ID: c1\r\n"
           "CSeq: 1 OPTIONS\r\n" + extra + "Content-Length: 0\r\n\r\n";
}

NvSipPeer peer(NvSocketImpl::Transport transport, const char* address, uint16_t port, uint32_t connection = 0) {
    NvSipPeer p;
    p.transport = transport;
    p.address = NvInetAddress::sParse(address);
    p.port = port;
    p.connection = connection;
    return p;
}

// A destination with what the plain form leaves out.
std::string describe(const NvSipPeer& p) {
    return p.toString() + " connection " + std::to_string(p.connection) + " from port " + std::to_string(p.localPort);
}

class TransportLayer : public ::testing::Test {
protected:
    void SetUp() override {
        previous = layer->getReceiver();
        layer->setReceiver(&inbox);
    }
    void TearDown() override { layer->setReceiver(previous); }

    // The destination of the one message sent.
    NvSipPeer sentTo() {
        EXPECT_EQ(1u, network.sentCount());
        return network.takeNext().destination;
    }

    NvSipTransportLayer* layer = NvSipTransportLayer::sGetInstance();
    NvSipTestTransport network;
    Inbox inbox;
    NvSipMessageReceiver* previous = nullptr;
};

// ---------------------------------------------------------------- requests

struct RequestCase {
    const char* uri;
    const char* route;     // Route header value, or ""
    const char* expected;  // destination, or the error's text
};

class RequestDestination : public TransportLayer, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(RequestDestination, GoesToTheTopRouteElseTheRequestUri) {
    const RequestCase& c = GetParam();
    const std::string route = *c.route ? std::string("Route: ") + c.route + "\r\n" : "";
    try {
        NvSipTransportLayer::send(parse(request(c.uri, route)));
        EXPECT_EQ(c.expected, sentTo().toString());
    } catch (NvHandle<NvException>& e) {
        EXPECT_NE(std::string::npos, e->getMessage().str().find(c.expected)) << e->getMessage().str();
        EXPECT_EQ(0u, network.sentCount());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RequestDestination,
    ::testing::Values(
        RequestCase{"sip:b@198.51.100.7", "", "udp:198.51.100.7:5060"},
        RequestCase{"sip:b@198.51.100.7:5080;transport=TCP", "", "tcp:198.51.100.7:5080"},
        RequestCase{"sip:b@[2001:db8::1]", "", "udp:[2001:db8::1]:5060"},
        RequestCase{"sip:b@198.51.100.7;maddr=203.0.113.8", "", "udp:203.0.113.8:5060"},
        RequestCase{"sip:b@198.51.100.7", "<sip:203.0.113.5:5070;lr>, <sip:203.0.113.6;lr>", "udp:203.0.113.5:5070"},
        RequestCase{"sip:b@198.51.100.7", "<sip:203.0.113.5;transport=tcp;lr>", "tcp:203.0.113.5:5060"},
        RequestCase{"sips:b@198.51.100.7", "", "sips requires TLS, which this stack does not support"},
        RequestCase{"sip:b@198.51.100.7", "<sips:203.0.113.5;lr>", "sips requires TLS"},
        RequestCase{"sips:b@198.51.100.7", "<sip:203.0.113.5;lr>", "sips requires TLS"},
        RequestCase{"sip:b@198.51.100.7;transport=sctp", "", "unsupported transport 'sctp'"},
        RequestCase{"tel:+15551234", "", "not a SIP URI"}));

// ---------------------------------------------------------------- responses

struct ResponseCase {
    const char* via;  // sent-protocol and sent-by, parameters
    NvSipPeer source;
    const char* expected;
};

class ResponseDestination : public TransportLayer, public ::testing::WithParamInterface<ResponseCase> {};

// The request arrives, gets its received/rport, and the response follows the Via.
TEST_P(ResponseDestination, FollowsTheViaOfTheRequest) {
    const ResponseCase& c = GetParam();
    network.inject(request("sip:b@192.0.2.10", "", c.via), c.source);
    ASSERT_EQ(1u, inbox.messages.size());
    NvSipTransportLayer::send(NvHandle<NvSipMessage>(new NvSipResponse(200, inbox.messages[0].cast<NvSipRequest>())));
    EXPECT_EQ(c.expected, describe(sentTo()));
}

NvSipPeer onOurSocket(NvSipPeer source, uint16_t localPort) {
    source.localAddress = NvInetAddress::sParse("192.0.2.10");
    source.localPort = localPort;
    return source;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResponseDestination,
    ::testing::Values(
        // UDP: rport, else the sent-by port; received, else the sent-by host.
        ResponseCase{"UDP 192.0.2.1:5062;rport", peer(NvSocketImpl::UDP, "192.0.2.1", 40000),
                     "udp:192.0.2.1:40000 connection 0 from port 0"},
        ResponseCase{"UDP client.example.com:5062", peer(NvSocketImpl::UDP, "192.0.2.44", 5062),
                     "udp:192.0.2.44:5062 connection 0 from port 0"},
        ResponseCase{"UDP 192.0.2.45", peer(NvSocketImpl::UDP, "192.0.2.45", 40000),
                     "udp:192.0.2.45:5060 connection 0 from port 0"},
        // UDP: from the socket the request came in on (RFC 3581 4).
        ResponseCase{"UDP 192.0.2.1:5062;rport", onOurSocket(peer(NvSocketImpl::UDP, "192.0.2.1", 40000), 5070),
                     "udp:192.0.2.1:40000 connection 0 from port 5070"},
        // TCP: the request's connection; should it be gone, the sent-by port,
        // never the ephemeral source port (RFC 3261 18.2.2).
        ResponseCase{"TCP 192.0.2.1:5062;rport", peer(NvSocketImpl::TCP, "192.0.2.1", 40000, 7),
                     "tcp:192.0.2.1:5062 connection 7 from port 0"},
        ResponseCase{"TCP client.example.com", peer(NvSocketImpl::TCP, "192.0.2.44", 40000, 8),
                     "tcp:192.0.2.44:5060 connection 8 from port 0"}));

// ---------------------------------------------------------------- receiving

TEST_F(TransportLayer, ReceivedRequestGetsReceivedAndRportAndItsSource) {
    network.inject(request("sip:b@192.0.2.10", "", "UDP 192.0.2.1:5062;rport"),
                   peer(NvSocketImpl::UDP, "192.0.2.1", 40000));
    ASSERT_EQ(1u, inbox.messages.size());
    const auto via = inbox.messages[0]->getTopVia();
    EXPECT_EQ("192.0.2.1", via->getParameters()->getValue("received").str());
    EXPECT_EQ("40000", via->getParameters()->getValue("rport").str());
    EXPECT_TRUE(inbox.messages[0]->isReceived());
    EXPECT_EQ(40000, inbox.messages[0]->getSource().port);
}

TEST_F(TransportLayer, GarbageIsDroppedAndReported) {
    Tellar::LogCapture log("lumbrook.sip.transport", Tellar::WARN);
    EXPECT_FALSE(layer->receiveBytes("\x01\x02garbage", 9, NvSipTestTransport::sDefaultPeer()));
    EXPECT_TRUE(inbox.messages.empty());
    EXPECT_EQ(1u, log.count(Tellar::WARN, "Dropped 9 bytes from udp:192.0.2.1:5060")) << log.dump();
}

// ---------------------------------------------------------------- sending

TEST_F(TransportLayer, AddViaHeaderPutsOurViaOnTopWithBranchAndRport) {
    auto message = parse(request("sip:b@198.51.100.7")).cast<NvSipRequest>();
    layer->addViaHeader(message);
    const auto via = message->getTopVia();
    EXPECT_EQ("192.0.2.10", via->getHost().str());
    EXPECT_EQ(5060, via->getPort());
    EXPECT_TRUE(via->hasRFC3261Branch());
    EXPECT_TRUE(via->getParameters()->isPresent("rport"));
    EXPECT_EQ(2u, message->countHeaders(NvSipHeaderID::Via));
}

TEST_F(TransportLayer, OverrideAndOutParametersOfSend) {
    unsigned port = 7000;
    NvInetAddress address = NvInetAddress::sParse("203.0.113.9");
    NvSipTransportLayer::send(parse(request("sip:b@198.51.100.7")), &port, &address);
    EXPECT_EQ("udp:203.0.113.9:7000", network.takeNext().destination.toString());
    port = 0;
    address = NvInetAddress();
    NvSipTransportLayer::send(parse(request("sip:b@198.51.100.7")), &port, &address);
    EXPECT_EQ(5060u, port);
    EXPECT_EQ("198.51.100.7", address.toString().str());
}

TEST_F(TransportLayer, LargeUdpRequestSwitchesToTcpAndSaysSoInItsVia) {
    auto message = parse(request("sip:b@198.51.100.7")).cast<NvSipRequest>();
    layer->addViaHeader(message);
    std::string body(NvSipTransportLayer::sm_UdpMaxBytes - 400, 'x');  // the message just fits
    message->setBody(body.data(), "text/plain", static_cast<unsigned>(body.size()));
    NvSipTransportLayer::send(NvHandle<NvSipMessage>(message));
    EXPECT_EQ(NvSocketImpl::UDP, network.takeNext().destination.transport);
    body.append(400, 'y');  // now it does not
    message->setBody(body.data(), "text/plain", static_cast<unsigned>(body.size()));
    NvSipTransportLayer::send(NvHandle<NvSipMessage>(message));
    const auto sent = network.takeNext();
    EXPECT_EQ(NvSocketImpl::TCP, sent.destination.transport);
    EXPECT_EQ("TCP", sent.message->getTopVia()->getTransport().str());
}

// ---------------------------------------------------------------- host names

// Names known without a name server: proxy.test, and nothing else.
NvInetAddress fakeLookup(const std::string& host) {
    if (host == "proxy.test") return NvInetAddress::sParse("203.0.113.20");
    NvException::sThrow("Cannot resolve host '" + host + "': unknown");
}

class HostNames : public TransportLayer {
protected:
    void SetUp() override {
        TransportLayer::SetUp();
        saved = NvSipResolver::sm_Lookup;
        NvSipResolver::sm_Lookup = fakeLookup;
    }
    void TearDown() override {
        monitor->stop();
        layer->close();  // joins the resolver
        NvSipResolver::sm_Lookup = saved;
        TransportLayer::TearDown();
    }
    // Sends `uri` an OPTIONS from the monitor thread; returns how many
    // messages had gone out when send() returned there.
    size_t sendOnMonitor(const std::string& uri) {
        monitor->start();
        std::promise<size_t> sentThen;
        monitor->post([&] {
            NvSipTransportLayer::send(parse(request(uri)));
            sentThen.set_value(network.sentCount());
        });
        auto result = sentThen.get_future();
        EXPECT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(5)));
        return result.get();
    }
    // Waits (bounded) until `done` holds.
    template <class F>
    static bool eventually(F done) {
        for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return done();
    }

    NvMonitorThread* monitor = NvMonitorThread::sGetCurrent();
    NvSipResolver::Lookup saved = nullptr;
};

TEST_F(HostNames, OnTheMonitorThreadAreResolvedElsewhereAndTheMessageFollows) {
    EXPECT_EQ(0u, sendOnMonitor("sip:b@proxy.test:5070"));
    ASSERT_TRUE(eventually([&] { return network.sentCount() == 1; }));
    EXPECT_EQ("udp:203.0.113.20:5070", network.takeNext().destination.toString());
}

TEST_F(HostNames, ThatDoNotResolveOnTheMonitorThreadAreReportedThroughSendFailed) {
    EXPECT_EQ(0u, sendOnMonitor("sip:b@nowhere.test"));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(inbox.mutex);
        return !inbox.failed.empty();
    }));
    EXPECT_EQ("c1", inbox.failed[0].first->getCallID().str());
    EXPECT_NE(std::string::npos, inbox.failed[0].second.find("Cannot resolve host 'nowhere.test'")) << inbox.failed[0].second;
    EXPECT_EQ(0u, network.sentCount());
}

TEST_F(HostNames, OnAnApplicationThreadAreResolvedBeforeSendReturns) {
    NvSipTransportLayer::send(parse(request("sip:b@proxy.test")));
    EXPECT_EQ("udp:203.0.113.20:5060", sentTo().toString());
    EXPECT_THROW(NvSipTransportLayer::send(parse(request("sip:b@nowhere.test"))), NvHandle<NvException>);
}

}  // namespace
