// Where the transport layer sends requests and responses, and what it does
// to what it receives, over the test transport.

#include "stack/base/NvException.h"
#include "stack/log/TellarCapture.h"
#include "stack/sip/NvSipParser.h"
#include "stack/transport/NvSipTestTransport.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Keeps what the transport hands on.
class Inbox : public NvSipMessageReceiver {
public:
    void receive(const NvHandle<NvSipMessage>& message) override { messages.push_back(message); }
    std::vector<NvHandle<NvSipMessage>> messages;
};

NvHandle<NvSipMessage> parse(const std::string& text) { return NvSipParser::sParse(text.data(), text.size()); }

std::string request(const std::string& uri, const std::string& extra = "") {
    return "OPTIONS " + uri + " SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 192.0.2.1:5062;branch=z9hG4bK1\r\n"
           "From: <sip:a@example.com>;tag=1\r\nTo: <sip:b@example.com>\r\nCall-ID: c1\r\n"
           "CSeq: 1 OPTIONS\r\n" + extra + "Content-Length: 0\r\n\r\n";
}

class TransportLayer : public ::testing::Test {
protected:
    void SetUp() override {
        previous = layer->getReceiver();
        layer->setReceiver(&inbox);
    }
    void TearDown() override { layer->setReceiver(previous); }

    NvSipPeer destinationOf(const std::string& text) { return layer->resolveDestination(*parse(text)); }

    NvSipTransportLayer* layer = NvSipTransportLayer::sGetInstance();
    NvSipTestTransport network;
    Inbox inbox;
    NvSipMessageReceiver* previous = nullptr;
};

TEST_F(TransportLayer, RequestGoesToTheRequestUriWithDefaultPortAndUdp) {
    const NvSipPeer peer = destinationOf(request("sip:b@198.51.100.7"));
    EXPECT_EQ("udp:198.51.100.7:5060", peer.toString());
}

TEST_F(TransportLayer, RequestUriPortTransportAndSipsAreHonoured) {
    EXPECT_EQ("tcp:198.51.100.7:5080", destinationOf(request("sip:b@198.51.100.7:5080;transport=TCP")).toString());
    EXPECT_EQ("tcp:198.51.100.7:5061", destinationOf(request("sips:b@198.51.100.7")).toString());
    EXPECT_EQ("udp:[2001:db8::1]:5060", destinationOf(request("sip:b@[2001:db8::1]")).toString());
}

TEST_F(TransportLayer, TopRouteWinsOverTheRequestUri) {
    const std::string text = request("sip:b@198.51.100.7", "Route: <sip:203.0.113.5:5070;lr>, <sip:203.0.113.6;lr>\r\n");
    EXPECT_EQ("udp:203.0.113.5:5070", destinationOf(text).toString());
}

TEST_F(TransportLayer, UnsupportedTransportOrSchemeIsAClearError) {
    EXPECT_THROW(destinationOf(request("sip:b@198.51.100.7;transport=sctp")), NvHandle<NvException>);
    EXPECT_THROW(destinationOf(request("tel:+15551234")), NvHandle<NvException>);
}

TEST_F(TransportLayer, ResponseFollowsReceivedAndRport) {
    network.inject(request("sip:b@192.0.2.10", ""), NvSipTestTransport::sDefaultPeer());
    std::string text = "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP client.example.com:5062;branch=z9hG4bK1;received=192.0.2.44;rport=6000\r\n"
                       "From: <sip:a@example.com>;tag=1\r\nTo: <sip:b@example.com>;tag=2\r\nCall-ID: c1\r\n"
                       "CSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ("udp:192.0.2.44:6000", destinationOf(text).toString());
    // Without them, the sent-by host and port.
    text = "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 192.0.2.45:5070;branch=z9hG4bK1\r\n"
           "From: <sip:a@example.com>;tag=1\r\nTo: <sip:b@example.com>;tag=2\r\nCall-ID: c1\r\n"
           "CSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ("udp:192.0.2.45:5070", destinationOf(text).toString());
}

TEST_F(TransportLayer, ReceivedRequestGetsReceivedAndRportAndItsSource) {
    NvSipPeer source = NvSipTestTransport::sDefaultPeer();
    source.port = 40000;
    std::string text = request("sip:b@192.0.2.10");
    text.replace(text.find("5062;"), 5, "5062;rport;");
    network.inject(text, source);
    ASSERT_EQ(1u, inbox.messages.size());
    const auto via = inbox.messages[0]->getTopVia();
    EXPECT_EQ("192.0.2.1", via->getParameters()->getValue("received").str());
    EXPECT_EQ("40000", via->getParameters()->getValue("rport").str());
    EXPECT_TRUE(inbox.messages[0]->isReceived());
    EXPECT_EQ(40000, inbox.messages[0]->getSource().port);
}

TEST_F(TransportLayer, ResponseToAReceivedRequestGoesBackWithoutNeedingTheViaHost) {
    NvSipPeer source = NvSipTestTransport::sDefaultPeer();
    source.address = NvInetAddress::sParse("192.0.2.99");
    network.inject(request("sip:b@192.0.2.10"), source);
    ASSERT_EQ(1u, inbox.messages.size());
    NvHandle<NvSipResponse> response(new NvSipResponse(200, inbox.messages[0].cast<NvSipRequest>()));
    NvSipTransportLayer::send(NvHandle<NvSipMessage>(response));
    ASSERT_EQ(1u, network.sentCount());
    EXPECT_EQ("udp:192.0.2.99:5062", network.takeNext().destination.toString());
}

TEST_F(TransportLayer, GarbageIsDroppedAndReported) {
    Tellar::LogCapture log("lumbrook.sip.transport", Tellar::WARN);
    EXPECT_FALSE(layer->receiveBytes("\x01\x02garbage", 9, NvSipTestTransport::sDefaultPeer()));
    EXPECT_TRUE(inbox.messages.empty());
    EXPECT_EQ(1u, log.count(Tellar::WARN, "Dropped 9 bytes from udp:192.0.2.1:5060")) << log.dump();
}

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
    const std::string body(NvSipTransportLayer::sm_UdpMaxBytes, 'x');
    message->setBody(body.data(), "text/plain", static_cast<unsigned>(body.size()));
    NvSipTransportLayer::send(NvHandle<NvSipMessage>(message));
    const auto sent = network.takeNext();
    EXPECT_EQ(NvSocketImpl::TCP, sent.destination.transport);
    EXPECT_EQ("TCP", sent.message->getTopVia()->getTransport().str());
}

}  // namespace
