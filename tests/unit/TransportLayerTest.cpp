// Where the transport layer sends requests and responses, and what it does
// to what it receives, over the test transport.

#include "stack/base/NvException.h"
#include "stack/log/TellarCapture.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transport/NvSipResolver.h"
#include "stack/transport/NvSipTestTransport.h"
#include "stack/transport/NvSipTransportLayer.h"
#include "tests/unit/TransportTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string request(const std::string& uri, const std::string& extra = "", const std::string& via = "UDP 192.0.2.1:5062") {
    return "OPTIONS " + uri + " SIP/2.0\r\nVia: SIP/2.0/" + via + ";branch=z9hG4bK1\r\n"
           "From: <sip:a@example.com>;tag=1\r\nTo: <sip:b@example.com>\r\nCall-ID: c1\r\n"
           "CSeq: 1 OPTIONS\r\n" + extra + "Content-Length: 0\r\n\r\n";
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
    RecordingReceiver inbox;
    NvSipMessageReceiver* previous = nullptr;
};

// ---------------------------------------------------------------- requests

struct RequestCase {
    const char* uri;
    const char* route;     // Route header value, or ""
    const char* expected;  // destination, or the error's text
};

std::ostream& operator<<(std::ostream& out, const RequestCase& c) { return out << c.uri << " Route: " << c.route; }

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

std::ostream& operator<<(std::ostream& out, const ResponseCase& c) {
    return out << c.via << " from " << c.source.toString();
}

class ResponseDestination : public TransportLayer, public ::testing::WithParamInterface<ResponseCase> {};

// The request arrives, gets "received" and "rport" filled in, and the
// response follows its Via.
TEST_P(ResponseDestination, FollowsTheViaOfTheRequest) {
    const ResponseCase& c = GetParam();
    network.inject(request("sip:b@192.0.2.10", "", c.via), c.source);
    ASSERT_EQ(1u, inbox.count());
    const NvHandle<NvSipRequest> received(inbox.messages()[0]);
    NvSipTransportLayer::send(NvHandle<NvSipMessage>(new NvSipResponse(200, received)));
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
        ResponseCase{"UDP 192.0.2.1:5062;rport", peerAt(NvSocketImpl::UDP, "192.0.2.1", 40000),
                     "udp:192.0.2.1:40000 connection 0 from port 0"},
        ResponseCase{"UDP client.example.com:5062", peerAt(NvSocketImpl::UDP, "192.0.2.44", 5062),
                     "udp:192.0.2.44:5062 connection 0 from port 0"},
        ResponseCase{"UDP 192.0.2.45", peerAt(NvSocketImpl::UDP, "192.0.2.45", 40000),
                     "udp:192.0.2.45:5060 connection 0 from port 0"},
        // UDP: from the socket the request came in on (RFC 3581 4).
        ResponseCase{"UDP 192.0.2.1:5062;rport", onOurSocket(peerAt(NvSocketImpl::UDP, "192.0.2.1", 40000), 5070),
                     "udp:192.0.2.1:40000 connection 0 from port 5070"},
        // TCP: the request's connection; should it be gone, the sent-by port,
        // never the ephemeral source port (RFC 3261 18.2.2).
        ResponseCase{"TCP 192.0.2.1:5062;rport", peerAt(NvSocketImpl::TCP, "192.0.2.1", 40000, 7),
                     "tcp:192.0.2.1:5062 connection 7 from port 0"},
        ResponseCase{"TCP client.example.com", peerAt(NvSocketImpl::TCP, "192.0.2.44", 40000, 8),
                     "tcp:192.0.2.44:5060 connection 8 from port 0"}));

// ---------------------------------------------------------------- receiving

TEST_F(TransportLayer, GarbageIsDroppedAndReported) {
    Tellar::LogCapture log("lumbrook.sip.transport", Tellar::WARN);
    EXPECT_FALSE(layer->receiveBytes("\x01\x02garbage", 9, NvSipTestTransport::sDefaultPeer()));
    EXPECT_EQ(0u, inbox.count());
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
    // Sends each of `uris` an OPTIONS from the monitor thread; returns how
    // many messages had gone out when send() returned there (-1: it raised).
    int sendOnMonitor(const std::vector<std::string>& uris) {
        monitor->start();
        std::promise<int> sentThen;
        monitor->post([&] {
            try {
                for (const auto& uri : uris) NvSipTransportLayer::send(parse(request(uri)));
                sentThen.set_value(static_cast<int>(network.sentCount()));
            } catch (NvHandle<NvException>&) {
                sentThen.set_value(-1);
            }
        });
        return sentThen.get_future().get();
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

TEST_F(HostNames, OnTheMonitorThreadAreResolvedElsewhereThenTheMessageGoesOrSendFailedIsTold) {
    EXPECT_EQ(0, sendOnMonitor({"sip:b@proxy.test:5070", "sip:b@nowhere.test"}));
    ASSERT_TRUE(eventually([&] { return network.sentCount() == 1; }));
    EXPECT_EQ("udp:203.0.113.20:5070", network.takeNext().destination.toString());
    ASSERT_TRUE(inbox.waitForFailures(1));
    const auto failed = inbox.failures()[0];
    EXPECT_EQ("sip:b@nowhere.test", NvHandle<NvSipRequest>(failed.first)->getURI()->toString().str());
    EXPECT_NE(std::string::npos, failed.second.find("Cannot resolve host 'nowhere.test'")) << failed.second;
}

TEST_F(HostNames, OnAnApplicationThreadAreResolvedBeforeSendReturns) {
    NvSipTransportLayer::send(parse(request("sip:b@proxy.test")));
    EXPECT_EQ("udp:203.0.113.20:5060", sentTo().toString());
    EXPECT_THROW(NvSipTransportLayer::send(parse(request("sip:b@nowhere.test"))), NvHandle<NvException>);
}

}  // namespace
