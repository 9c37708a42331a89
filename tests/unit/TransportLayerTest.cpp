// Where the transport layer sends requests and responses, and what it does to what it receives (test transport).

#include "TransportTestSupport.h"
#include "stack/log/TellarCapture.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipResolver.h"
#include "stack/transport/NvSipTestTransport.h"

#include <future>

namespace {

std::string request(const std::string& uri, const std::string& extra = "") {
    return peerMessage("c1", "", "UDP 192.0.2.1:5062", uri, extra);
}

constexpr auto UDP = NvSocketImpl::UDP, TCP = NvSocketImpl::TCP;

// A destination with its connection and our socket's port when it has them.
std::string describe(const NvSipPeer& p) {
    return p.toString() + (p.connection ? " #" + std::to_string(p.connection) : "") +
           (p.localPort ? " from " + std::to_string(p.localPort) : "");
}

// Whether a name was looked up on the monitor thread, which must never wait for one.
std::atomic<bool> lookedUpOnTheMonitor{false};

// Names known without a name server: proxy.test, and nothing else.
NvInetAddress fakeLookup(const std::string& host) {
    if (NvMonitorThread::sGetCurrent()->isMonitorThread()) lookedUpOnTheMonitor = true;
    if (host == "proxy.test") return NvInetAddress::sParse("203.0.113.20");
    NvException::sThrow("Cannot resolve host '" + host + "': unknown");
}

class TransportLayer : public ::testing::Test {
protected:
    void SetUp() override {
        layer->setReceiver(&inbox);
        NvSipResolver::sm_Lookup = fakeLookup;
    }
    void TearDown() override {
        monitor->stop();
        layer->close();  // joins the resolver
        NvSipResolver::sm_Lookup = lookup;
        layer->setReceiver(previous);
    }

    // The destination of the one message sent.
    NvSipPeer sentTo() {
        EXPECT_EQ(1u, network.sentCount());
        return network.takeNext().destination;
    }

    NvSipTransportLayer* layer = NvSipTransportLayer::sGetInstance();
    NvMonitorThread* monitor = NvMonitorThread::sGetCurrent();
    NvSipTestTransport network;
    RecordingReceiver inbox;
    NvSipMessageReceiver* const previous = layer->getReceiver();
    const NvSipResolver::Lookup lookup = NvSipResolver::sm_Lookup;
};

TEST_F(TransportLayer, RequestsGoToTheTopRouteElseTheRequestUri) {
    const char* const cases[][3] = {
        // Request-URI, Route header value or "", destination or part of the error's text
        {"sip:b@198.51.100.7", "", "udp:198.51.100.7:5060"},
        {"sip:b@198.51.100.7:5080;transport=TCP", "", "tcp:198.51.100.7:5080"},
        {"sip:b@[2001:db8::1]", "", "udp:[2001:db8::1]:5060"},
        {"sip:b@198.51.100.7;maddr=203.0.113.8", "", "udp:203.0.113.8:5060"},
        {"sip:b@198.51.100.7", "<sip:203.0.113.5;transport=tcp;lr>", "tcp:203.0.113.5:5060"},
        {"sip:b@198.51.100.7", "<sips:203.0.113.5;lr>", "sips requires TLS, which this stack does not support"},
        {"sips:b@198.51.100.7", "<sip:203.0.113.5;lr>", "sips requires TLS"},
        {"sip:b@198.51.100.7;transport=sctp", "", "unsupported transport 'sctp'"},
        {"tel:+15551234", "", "not a SIP URI"}};
    for (const auto& [uri, route, expected] : cases) {
        const std::string text = request(uri, *route ? std::string("Route: ") + route + "\r\n" : "");
        const std::string error = raised([&] { NvSipTransportLayer::send(parse(text)); });
        EXPECT_TRUE(mentions(error.empty() ? sentTo().toString() : error, expected)) << uri << " " << route;
    }
}

TEST_F(TransportLayer, ResponsesFollowTheViaOfTheRequestGarbageIsDroppedAndLogged) {
    Tellar::LogCapture log("lumbrook.sip.transport", Tellar::WARN);
    EXPECT_FALSE(layer->receiveBytes("\x01\x02garbage", 9, NvSipTestTransport::sDefaultPeer()));
    EXPECT_EQ(1u, log.count(Tellar::WARN, "Dropped 9 bytes from udp:192.0.2.1:5060")) << log.dump();
    const NvSipPeer onOurSocket{UDP, NvInetAddress::sParse("192.0.2.1"), 40000, 0, NvInetAddress::sParse("192.0.2.10"),
                                5070};
    const std::tuple<const char*, NvSipPeer, const char*> cases[] = {
        // UDP: rport, else the sent-by port; received, else the sent-by host; from the request's socket.
        {"UDP client.example.com:5062", peerAt(UDP, "192.0.2.44", 5062), "udp:192.0.2.44:5062"},
        {"UDP 192.0.2.45", peerAt(UDP, "192.0.2.45", 40000), "udp:192.0.2.45:5060"},
        {"UDP 192.0.2.1:5062;rport", onOurSocket, "udp:192.0.2.1:40000 from 5070"},
        // TCP: the request's connection; should it be gone, the sent-by port, never the ephemeral source port.
        {"TCP 192.0.2.1:5062;rport", peerAt(TCP, "192.0.2.1", 40000, 7), "tcp:192.0.2.1:5062 #7"}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [via, source, expected] = cases[i];
        network.inject(peerMessage("c1", "", via, "sip:b@192.0.2.10"), source);
        NvSipTransportLayer::send(new NvSipResponse(200, NvHandle<NvSipRequest>(inbox.messages().at(i))));
        EXPECT_EQ(expected, describe(sentTo())) << via;
    }
}

TEST_F(TransportLayer, OurViaGoesOnTopSendTellsWhereItWentALargeUdpRequestGoesOverTcpSayingSo) {
    auto message = parse(request("sip:b@198.51.100.7")).cast<NvSipRequest>();
    layer->addViaHeader(message);  // ours (see TransactionClient), on top of the peer's
    EXPECT_TRUE(mentions(message->toString(), ";rport\r\nVia: SIP/2.0/UDP 192.0.2.1:5062;branch=z9hG4bK-c1\r\n"));

    for (const size_t larger : {0, 400}) {  // the message just fits, then it does not
        const std::string body(NvSipTransportLayer::sm_UdpMaxBytes - 400 + larger, 'x');
        message->setBody(body.data(), "text/plain", static_cast<unsigned>(body.size()));
        unsigned port = 0;
        NvInetAddress address;
        NvSipTransportLayer::send(NvHandle<NvSipMessage>(message), &port, &address);
        const auto sent = network.takeNext();
        EXPECT_EQ(sent.destination.toString() + " " + sent.message->getTopVia()->getTransport().str(),
                  larger ? "tcp:198.51.100.7:5060 TCP" : "udp:198.51.100.7:5060 UDP");
        EXPECT_EQ("198.51.100.7:5060", address.toString().str() + ":" + std::to_string(port));
    }
}

// On the monitor thread, where send() itself or a transaction's first send must not wait for a name server.
TEST_F(TransportLayer, HostNamesAreResolvedBeforeSendReturnsElseOffTheMonitorThreadThenSentOrReportedAsFailed) {
    monitor->start();
    std::promise<std::string> whenSendReturned;
    monitor->post([&] {
        const std::string error = raised([&] {
            NvSipTransportLayer::send(parse(request("sip:b@proxy.test:5070")));
            NvSipTransportLayer::send(parse(request("sip:b@nowhere.test")));
        });
        whenSendReturned.set_value(error + std::to_string(network.sentCount()) + " sent");
    });
    EXPECT_EQ("0 sent", whenSendReturned.get_future().get());
    ASSERT_TRUE(inbox.waitForFailures(1));  // names are resolved in turn: the first has gone by now
    EXPECT_EQ("udp:203.0.113.20:5070", sentTo().toString());
    EXPECT_EQ("sip:b@nowhere.test", NvHandle<NvSipRequest>(inbox.failures()[0].first)->getURI()->toString().str());
    EXPECT_EQ(0u, inbox.failures()[0].second.find("Cannot resolve host 'nowhere.test'"));

    // On an application thread: before send() returns.
    NvSipTransportLayer::send(parse(request("sip:b@proxy.test")));
    EXPECT_EQ("udp:203.0.113.20:5060", sentTo().toString());
    EXPECT_NE("", raised([] { NvSipTransportLayer::send(parse(request("sip:b@nowhere.test"))); }));
}

TEST_F(TransportLayer, ATransactionStartedOnTheMonitorThreadLeavesItsHostNameToTheResolver) {
    lookedUpOnTheMonitor = false;
    monitor->start();
    std::promise<void> started;
    monitor->post([&] {
        NvHandle<NvSipClientTransaction>(
            new NvSipClientTransaction(NvHandle<NvSipRequest>(parse(request("sip:b@proxy.test"))), nullptr))
            ->sendRequest();
        started.set_value();
    });
    started.get_future().get();
    for (int i = 0; i < 500 && network.sentCount() == 0; ++i) std::this_thread::sleep_for(10ms);
    monitor->stop();
    NvSipTransactionManager::getInstance()->clear();
    EXPECT_EQ("udp:203.0.113.20:5060", network.sent().at(0).destination.toString());
    EXPECT_FALSE(lookedUpOnTheMonitor);
}

}  // namespace
