// Where the transport layer sends requests and responses, and what it does to what it receives (test transport).

#include "TransportTestSupport.h"
#include "stack/log/TellarCapture.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipResolver.h"
#include "stack/transport/NvSipTestTransport.h"

#include <future>
#include <thread>

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

// The tests' name server: it knows proxy.test and nothing else. Held, it answers nothing until released, except a
// lookup on a forbidden thread, one that must never look a name up (the monitor's, the test's own): that one is
// answered at once and counted, so that a wrong transport fails the test rather than hangs it.
class FakeNameServer : public Guarded {
public:
    NvInetAddress lookup(const std::string& host) {
        const bool forbidden =
            NvMonitorThread::sGetCurrent()->isMonitorThread() || std::this_thread::get_id() == m_TestThread;
        locked([&] { ++m_Started, m_Forbidden += forbidden; });
        waitUntil([&] { return forbidden || !m_bHeld; }, std::chrono::hours(1), [&] { ++m_Answered; });
        if (host != "proxy.test") NvException::sThrow("Cannot resolve host '" + host + "': unknown");
        return NvInetAddress::sParse("203.0.113.20");
    }
    void hold(bool held) { locked([&] { m_bHeld = held; }); }
    void forget() { locked([&] { m_Started = m_Answered = m_Forbidden = 0; }); }
    // Waits, 2 s at most, until `n` lookups have started.
    bool waitForLookups(size_t n) { return waitUntil([&] { return m_Started >= n; }, 2000ms); }
    std::string counts() {
        return locked([&] {
            return std::to_string(m_Answered) + " answered (" + std::to_string(m_Forbidden) + " on a forbidden thread)";
        });
    }

private:
    const std::thread::id m_TestThread = std::this_thread::get_id();  // made before main runs the tests
    bool m_bHeld = false;
    size_t m_Started = 0, m_Answered = 0, m_Forbidden = 0;
};

FakeNameServer nameServer;

NvInetAddress fakeLookup(const std::string& host) { return nameServer.lookup(host); }

class TransportLayer : public ::testing::Test {
protected:
    void SetUp() override {
        NvSipTransactionManager::getInstance();  // made first, as it takes the layer's messages when made
        layer->setReceiver(&inbox);
        NvSipResolver::sm_Lookup = fakeLookup;
        nameServer.forget();
    }
    void TearDown() override {
        nameServer.hold(false);  // lets a held lookup finish, so that close() can join the resolver
        monitor->stop();
        layer->close();
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

// Requests go to a loose top Route, else to the Request-URI; responses follow the Via of their request; garbage
// received is dropped with a log line.
TEST_F(TransportLayer, RequestsGoToALooseTopRouteElseTheRequestUriResponsesFollowTheViaGarbageIsDroppedAndLogged) {
    const char* const cases[][3] = {
        // Request-URI, Route header value or "", destination or part of the error's text
        {"sip:b@198.51.100.7", "", "udp:198.51.100.7:5060"},
        {"sip:b@198.51.100.7:5080;transport=TCP", "", "tcp:198.51.100.7:5080"},
        {"sip:b@[2001:db8::1]", "", "udp:[2001:db8::1]:5060"},
        {"sip:b@198.51.100.7;maddr=203.0.113.8", "", "udp:203.0.113.8:5060"},
        {"sip:b@198.51.100.7", "<sip:203.0.113.5;transport=tcp;lr>", "tcp:203.0.113.5:5060"},
        {"sip:203.0.113.9;transport=tcp", "<sip:b@198.51.100.7>", "tcp:203.0.113.9:5060"},  // strict-routed
        {"sip:b@198.51.100.7", "<sips:203.0.113.5;lr>", "sips requires TLS, which this stack does not support"},
        {"sips:b@198.51.100.7", "<sip:203.0.113.5;lr>", "sips requires TLS"},
        {"sip:b@198.51.100.7;transport=sctp", "", "unsupported transport 'sctp'"},
        {"tel:+15551234", "", "not a SIP URI"}};
    for (const auto& [uri, route, expected] : cases) {
        const std::string text = request(uri, *route ? std::string("Route: ") + route + "\r\n" : "");
        const std::string error = raised([&] { NvSipTransportLayer::send(parse(text)); });
        EXPECT_TRUE(mentions(error.empty() ? sentTo().toString() : error, expected)) << uri << " " << route;
    }
    Tellar::LogCapture log("lumbrook.sip.transport", Tellar::WARN);
    EXPECT_FALSE(layer->receiveBytes("\x01\x02garbage", 9, NvSipTestTransport::sDefaultPeer()));
    EXPECT_EQ(1u, log.count(Tellar::WARN, "Dropped 9 bytes from udp:192.0.2.1:5060")) << log.dump();
    const NvSipPeer onOurSocket{UDP, NvInetAddress::sParse("192.0.2.1"), 40000, 0, NvInetAddress::sParse("192.0.2.10"),
                                5070};
    const std::tuple<const char*, NvSipPeer, const char*> responses[] = {
        // UDP: rport, else the sent-by port; received, else the sent-by host; from the request's socket.
        {"UDP client.example.com:5062", peerAt(UDP, "192.0.2.44", 5062), "udp:192.0.2.44:5062"},
        {"UDP 192.0.2.45", peerAt(UDP, "192.0.2.45", 40000), "udp:192.0.2.45:5060"},
        {"UDP 192.0.2.1:5062;rport", onOurSocket, "udp:192.0.2.1:40000 from 5070"},
        // TCP: the request's connection; should it be gone, the sent-by port, never the ephemeral source port.
        {"TCP 192.0.2.1:5062;rport", peerAt(TCP, "192.0.2.1", 40000, 7), "tcp:192.0.2.1:5062 #7"}};
    for (size_t i = 0; i < std::size(responses); ++i) {
        const auto& [via, source, expected] = responses[i];
        network.inject(peerMessage("c1", "", via, "sip:b@192.0.2.10"), source);
        NvSipTransportLayer::send(new NvSipResponse(200, NvHandle<NvSipRequest>(inbox.messages().at(i))));
        EXPECT_EQ(expected, describe(sentTo())) << via;
    }
}

// Our Via goes on top (see TransactionClient for its sent-by), which is found again whenever the listen points in use
// change; send() tells where a request went; a large UDP request goes over TCP, saying so in its Via.
TEST_F(TransportLayer, OurViaGoesOnTopItsSentByFollowsTheListenPointsSendTellsWhereALargeUdpRequestGoesOverTcp) {
    auto message = parse(request("sip:b@198.51.100.7")).cast<NvSipRequest>();
    layer->addViaHeader(message);  // on top of the peer's
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
    const auto sentBy = [this] {
        return layer->getSentByHost(UDP).str() + ":" + std::to_string(layer->getSentByPort(UDP));
    };
    {
        NvSipTestTransport other("198.51.100.99", 5099);
        EXPECT_EQ("198.51.100.99:5099", sentBy());
    }
    NvSipTestTransport again("203.0.113.7", 5070);
    EXPECT_EQ("203.0.113.7:5070", sentBy());
}

// The thread sending may hold a dialog's lock that the monitor thread needs: on no thread does send() wait for a name
// server, nor does a transaction started on the monitor thread. The name server answers nothing until both threads'
// send() returned.
TEST_F(TransportLayer, SendAndTransactionsReturnBeforeAHostNameIsLookedUpOffTheMonitorAndTheCallerThenItIsSentOrFails) {
    monitor->start();
    nameServer.hold(true);
    // What each send() said (where to, or pending) and how many names were answered and messages sent by then.
    const auto sendBoth = [&](const std::string& first, const std::string& second) {
        std::string outcome;
        for (const auto& uri : {first, second}) {
            unsigned port = 0;
            NvInetAddress address;
            outcome += raised([&] { NvSipTransportLayer::send(parse(request(uri)), &port, &address); });
            outcome += "to " + (address.isValid() ? address.toString().str() : "(pending)") + ":" +
                       std::to_string(port) + ", " + nameServer.counts() + ", " + std::to_string(network.sentCount()) +
                       " sent; ";
        }
        return outcome;
    };
    std::promise<std::string> fromTheMonitor;
    monitor->post([&] {
        const std::string outcome = sendBoth("sip:b@proxy.test:5070", "sip:b@nowhere.test");
        NvHandle<NvSipClientTransaction>(new NvSipClientTransaction(
            NvHandle<NvSipRequest>(parse(request("sip:b@proxy.test:5071"))), nullptr))->sendRequest();
        fromTheMonitor.set_value(outcome);
    });
    EXPECT_EQ("to (pending):5070, 0 answered (0 on a forbidden thread), 0 sent; "
              "to (pending):5060, 0 answered (0 on a forbidden thread), 0 sent; ",
              fromTheMonitor.get_future().get());
    EXPECT_EQ("to (pending):5060, 0 answered (0 on a forbidden thread), 0 sent; "
              "to (pending):5080, 0 answered (0 on a forbidden thread), 0 sent; ",
              sendBoth("sip:b@proxy.test", "sip:b@nowhere.test:5080"));
    const NvSipPeer shown = layer->resolveDestination(*parse(request("sip:b@proxy.test:5090")));
    EXPECT_TRUE(!shown.address.isValid() && shown.port == 5090);

    nameServer.hold(false);
    ASSERT_TRUE(inbox.waitForFailures(2));  // names are resolved in turn: the messages before them have gone by now
    EXPECT_EQ("5 answered (0 on a forbidden thread)", nameServer.counts());
    std::string sent;
    for (const auto& s : network.sent()) sent += s.destination.toString() + " ";
    EXPECT_EQ("udp:203.0.113.20:5070 udp:203.0.113.20:5071 udp:203.0.113.20:5060 ", sent);
    NvSipTransactionManager::getInstance()->clear();
    const auto failures = inbox.failures();
    for (size_t i = 0; i < 2; ++i)
        EXPECT_EQ(i ? "sip:b@nowhere.test:5080 Cannot resolve host 'nowhere.test': unknown"
                    : "sip:b@nowhere.test Cannot resolve host 'nowhere.test': unknown",
                  NvHandle<NvSipRequest>(failures[i].first)->getURI()->toString().str() + " " + failures[i].second);
}

// A bounded queue of names: past it, send() raises at once rather than waits.
TEST_F(TransportLayer, SendRaisesWhenTooManyNamesAreWaitingForTheNameServer) {
    Tellar::LogCapture log("lumbrook.sip.transport", Tellar::WARN);
    nameServer.hold(true);
    ASSERT_EQ("", raised([] { NvSipTransportLayer::send(parse(request("sip:b@nowhere.test"))); }));
    ASSERT_TRUE(nameServer.waitForLookups(1));  // the worker holds that one: kMaxPending more fit in the queue
    for (size_t i = 0; i < NvSipResolver::kMaxPending; ++i)
        ASSERT_EQ("", raised([] { NvSipTransportLayer::send(parse(request("sip:b@nowhere.test"))); })) << i;
    EXPECT_EQ("Cannot resolve host 'queued.test': " + std::to_string(NvSipResolver::kMaxPending) +
                  " names are already waiting",
              raised([] { NvSipTransportLayer::send(parse(request("sip:b@queued.test"))); }));
    nameServer.hold(false);
    EXPECT_TRUE(inbox.waitForFailures(NvSipResolver::kMaxPending + 1));
    EXPECT_EQ(NvSipResolver::kMaxPending + 1,
              log.count(Tellar::WARN, "Could not send MESSAGE: Cannot resolve host 'nowhere.test': unknown"));
    EXPECT_EQ(0u, network.sentCount());
}

}  // namespace
