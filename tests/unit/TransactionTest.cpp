// Tests of the RFC 3261 transactions and of the transaction manager, written
// as call flows: SIP text is injected through the test transport as if it
// came from the peer at 192.0.2.1:5060, what the stack sends is taken from
// the transport's captures, and time moves only with the test clock. The
// stack's own address is 192.0.2.10:5060; T1, T2 and T4 keep their
// defaults (500, 4000, 5000 ms).

#include "stack/base/NvException.h"
#include "stack/base/NvStream.h"
#include "stack/sip/NvSipParser.h"
#include "stack/timer/NvTestClock.h"
#include "stack/timer/NvTime.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTestTransport.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace transaction_test {

using Sent = NvSipTestTransport::Sent;

std::string firstLine(const std::string& text) { return text.substr(0, text.find("\r\n")); }

// The value of the `index`-th header `name` of a message, "" when absent.
std::string header(const NvHandle<NvSipMessage>& message, const char* name, size_t index = 0) {
    if (!message) return "";
    const auto h = message->mGetHeader(name, index);
    return h ? h->getValue().str() : "";
}

size_t countOf(const NvHandle<NvSipMessage>& message, NvSipHeaderID id) {
    return message ? message->countHeaders(id) : 0;
}

NvHandle<NvSipRequest> parseRequest(const std::string& text) {
    return NvHandle<NvSipRequest>(NvSipParser::sParse(text.data(), text.size()));
}

// ---------------------------------------------------------------- peer texts

// A request from the peer. `via` is its top Via; `toTag` empty for none.
std::string peerRequest(const std::string& method, const std::string& branch, const std::string& toTag = "",
                        const std::string& extra = "", const std::string& cseqMethod = "",
                        const char* transport = "UDP") {
    return method + " sip:bob@192.0.2.10 SIP/2.0\r\n" + "Via: SIP/2.0/" + transport + " 192.0.2.1:5060" +
           (branch.empty() ? std::string() : ";branch=" + branch) + "\r\n" +
           "Max-Forwards: 70\r\n"
           "From: <sip:alice@192.0.2.1>;tag=peer1\r\n"
           "To: <sip:bob@192.0.2.10>" +
           (toTag.empty() ? std::string() : ";tag=" + toTag) + "\r\n" +
           "Call-ID: call-in@192.0.2.1\r\n"
           "CSeq: 1 " +
           (cseqMethod.empty() ? method : cseqMethod) + "\r\n" + extra + "Content-Length: 0\r\n\r\n";
}

// The peer's answer to one of our requests (as captured): its Via, From,
// To, Call-ID and CSeq, a To tag, and `extra` header lines.
std::string peerResponse(const Sent& request, int code, const std::string& toTag = "b1",
                         const std::string& extra = "") {
    const NvHandle<NvSipMessage>& m = request.message;
    std::string text = "SIP/2.0 " + std::to_string(code) + " " + NvSipResponse::sReasonPhrase(code) + "\r\n";
    for (size_t i = 0; !header(m, "Via", i).empty(); ++i) text += "Via: " + header(m, "Via", i) + "\r\n";
    text += "From: " + header(m, "From") + "\r\n";
    text += "To: " + header(m, "To") + (toTag.empty() ? "" : ";tag=" + toTag) + "\r\n";
    text += "Call-ID: " + header(m, "Call-ID") + "\r\n";
    text += "CSeq: " + header(m, "CSeq") + "\r\n";
    return text + extra + "Content-Length: 0\r\n\r\n";
}

// Our outgoing requests, before the transaction completes them.
std::string ourInvite(const std::string& requestUri = "sip:bob@192.0.2.1", const std::string& extra = "") {
    return "INVITE " + requestUri + " SIP/2.0\r\n" +
           "From: \"Alice\" <sip:alice@192.0.2.10>;tag=a1\r\n"
           "To: <sip:bob@example.com>\r\n"
           "Call-ID: call-out@192.0.2.10\r\n"
           "CSeq: 7 INVITE\r\n"
           "Contact: <sip:alice@192.0.2.10>\r\n" +
           extra + "Content-Length: 0\r\n\r\n";
}

std::string ourOptions() {
    return "OPTIONS sip:bob@192.0.2.1 SIP/2.0\r\n"
           "From: <sip:alice@192.0.2.10>;tag=a2\r\n"
           "To: <sip:bob@192.0.2.1>\r\n"
           "Call-ID: options-out@192.0.2.10\r\n"
           "CSeq: 3 OPTIONS\r\n"
           "Content-Length: 0\r\n\r\n";
}

// ---------------------------------------------------------------- recorders

double nowMs() { return NvTime::sGetCurrentTime() / 1000.0; }

// What a client transaction reported, in order ("provisional 180",
// "reliable 183", "final 486", "timeout"), with the time of each.
class ClientRecorder : public NvSipClientTransactionInterface {
public:
    std::vector<std::string> events;
    std::vector<double> eventTimes;
    std::vector<std::string> sent;      // start lines given to sendingMessage
    std::vector<std::string> received;  // start lines given to receivedMessage
    std::vector<std::string> sequence;  // all of the above, in order ("sent ...", "received ...", events)

    void sendingMessage(const NvHandle<NvSipMessage>& message, unsigned*, NvInetAddress*) override {
        sent.push_back(firstLine(message->toString()));
        sequence.push_back("sent " + sent.back());
    }
    void receivedMessage(const NvHandle<NvSipMessage>& message) override {
        received.push_back(firstLine(message->toString()));
        sequence.push_back("received " + received.back());
    }
    void provisionalResponse(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse> r) override {
        record("provisional " + std::to_string(r->getStatusCode()));
    }
    void reliableProvisionalResponse(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse> r) override {
        record("reliable " + std::to_string(r->getStatusCode()));
    }
    void finalResponse(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse> r) override {
        record("final " + std::to_string(r->getStatusCode()));
    }
    void timeOut(NvHandle<NvSipClientTransaction>) override { record("timeout"); }

private:
    void record(std::string event) {
        sequence.push_back(event);
        events.push_back(std::move(event));
        eventTimes.push_back(nowMs());
    }
};

// What a server transaction reported ("request INVITE", "ack", "cancel", "timeout").
class ServerRecorder : public NvSipServerTransactionInterface {
public:
    std::vector<std::string> events;
    std::vector<double> eventTimes;
    std::vector<std::string> sent;
    std::vector<std::string> received;
    NvHandle<NvSipServerTransaction> transaction;        // of the last `request`
    NvHandle<NvSipServerTransaction> cancelTransaction;  // of the last `cancel`
    NvHandle<NvSipCancelMessage> cancelRequest;
    std::function<void(const NvHandle<NvSipServerTransaction>&)> onRequest;

    void sendingMessage(const NvHandle<NvSipMessage>& message, unsigned*, NvInetAddress*) override {
        sent.push_back(firstLine(message->toString()));
    }
    void receivedMessage(const NvHandle<NvSipMessage>& message) override {
        received.push_back(firstLine(message->toString()));
    }
    void request(NvHandle<NvSipServerTransaction> t, NvHandle<NvSipRequest> r) override {
        transaction = t;
        record("request " + r->getMethod().str());
        if (onRequest) onRequest(t);
    }
    void ack(NvHandle<NvSipServerTransaction>, NvHandle<NvSipAckMessage> a) override {
        record(a ? "ack" : "ack (not an NvSipAckMessage)");
    }
    void cancel(NvHandle<NvSipServerTransaction> t, NvHandle<NvSipCancelMessage> c) override {
        cancelTransaction = t;
        cancelRequest = c;
        record("cancel");
    }
    void timeOut(NvHandle<NvSipServerTransaction>) override { record("timeout"); }
    // Drops the transactions it holds (each holds this recorder too).
    void forget() {
        transaction = nullptr;
        cancelTransaction = nullptr;
        cancelRequest = nullptr;
    }

private:
    void record(std::string event) {
        events.push_back(std::move(event));
        eventTimes.push_back(nowMs());
    }
};

// Builds every server transaction on `recorder`, or refuses them all.
class RecordingFactory : public NvTransactionFactoryInterface {
public:
    explicit RecordingFactory(NvHandle<ServerRecorder> recorder) : m_hRecorder(std::move(recorder)) {}
    int calls = 0;
    bool refuse = false;
    NvHandle<NvSipServerTransaction> createServerTransaction(NvHandle<NvSipRequest> request) override {
        ++calls;
        if (refuse) return NvHandle<NvSipServerTransaction>();
        return NvHandle<NvSipServerTransaction>(new NvSipServerTransaction(request, m_hRecorder.get()));
    }

private:
    NvHandle<ServerRecorder> m_hRecorder;
};

// Records stray messages ("strayResponse 200", "strayAck", "strayCancel",
// "invalid", "malformed") and then does what the default does.
class StrayRecorder : public NvStrayMessageInterface {
public:
    std::vector<std::string> events;
    void strayResponse(NvHandle<NvSipResponse> r) override {
        events.push_back("strayResponse " + std::to_string(r->getStatusCode()));
        NvStrayMessageInterface::strayResponse(r);
    }
    void strayAck(NvHandle<NvSipAckMessage> a) override {
        events.push_back("strayAck");
        NvStrayMessageInterface::strayAck(a);
    }
    void strayCancel(NvHandle<NvSipCancelMessage> c) override {
        events.push_back("strayCancel");
        NvStrayMessageInterface::strayCancel(c);
    }
    void invalidMessage(NvHandle<NvSipMessage> m) override {
        events.push_back("invalid");
        NvStrayMessageInterface::invalidMessage(m);
    }
    void malFormedMessage(NvHandle<NvSipMessage> m) override {
        events.push_back("malformed");
        NvStrayMessageInterface::malFormedMessage(m);
    }
};

using Events = std::vector<std::string>;

// ---------------------------------------------------------------- fixture

class TransactionFlow : public ::testing::Test {
protected:
    struct Timed {
        double atMs;  // since the test started
        Sent sent;
    };

    std::vector<NvHandle<ServerRecorder>> m_Recorders;  // before the first recorder is made
    NvTestClock clock;
    NvSipTestTransport wire;
    NvSipTransactionManager& manager = *NvSipTransactionManager::getInstance();
    NvHandle<StrayRecorder> stray = new StrayRecorder();
    NvHandle<ServerRecorder> server = newServerRecorder();
    NvHandle<RecordingFactory> factory = new RecordingFactory(server);
    double startMs = nowMs();

    void SetUp() override {
        manager.clear();
        NvSipTransportLayer::sGetInstance()->setReceiver(&manager);
        NvSipTransportLayer::sGetInstance()->setSentBy(nullptr, 0);
        manager.setStrayInterface(stray);
        manager.setTransactionFactoryInterface(factory);
    }
    void TearDown() override {
        manager.clear();
        for (const auto& recorder : m_Recorders) recorder->forget();
        manager.setStrayInterface(nullptr);
        manager.setTransactionFactoryInterface(nullptr);
        NvSipServerTransaction::sm_ProceedingTimeoutMs = m_ProceedingTimeoutMs;
    }

    // A recorder whose hold on its transactions ends with the test.
    NvHandle<ServerRecorder> newServerRecorder() {
        m_Recorders.emplace_back(new ServerRecorder());
        return m_Recorders.back();
    }

    double elapsedMs() const { return nowMs() - startMs; }

    void inject(const std::string& text, NvSocketImpl::Transport transport = NvSocketImpl::UDP) {
        NvSipPeer peer = NvSipTestTransport::sDefaultPeer();
        peer.transport = transport;
        wire.inject(text, peer);
    }

    // The next message sent, which must start with `startLine`.
    // Raises (failing the test) when nothing was sent, so that no test goes
    // on with a message that is not there.
    Sent expectSent(const std::string& startLine) {
        if (wire.sentCount() == 0) throw std::runtime_error("nothing was sent; expected " + startLine);
        Sent sent = wire.takeNext();
        EXPECT_EQ(firstLine(sent.bytes).substr(0, startLine.size()), startLine) << sent.bytes;
        return sent;
    }
    // The server transaction of the last request reported; raises when none was.
    NvHandle<NvSipServerTransaction> serverTransaction() const {
        if (!server->transaction) throw std::runtime_error("no request was reported to the server interface");
        return server->transaction;
    }
    void expectNothingSent() {
        EXPECT_EQ(wire.sentCount(), 0u) << "first: " << (wire.sentCount() ? wire.sent().front().bytes : "");
        wire.clear();
    }

    // Moves time on millisecond by millisecond, collecting what is sent and when.
    std::vector<Timed> runFor(uint64_t ms) {
        std::vector<Timed> sent;
        for (uint64_t i = 0; i < ms; ++i) {
            clock.advance(1);
            while (wire.sentCount()) sent.push_back({elapsedMs(), wire.takeNext()});
        }
        return sent;
    }
    static std::vector<double> timesOf(const std::vector<Timed>& sent) {
        std::vector<double> times;
        for (const auto& s : sent) times.push_back(s.atMs);
        return times;
    }
    std::vector<double> sinceStart(const std::vector<double>& times) const {
        std::vector<double> relative;
        for (double t : times) relative.push_back(t - startMs);
        return relative;
    }

    // Sends `text` on a client transaction reporting to `recorder`; returns what went out.
    Sent sendClient(const std::string& text, const NvHandle<ClientRecorder>& recorder,
                    NvHandle<NvSipClientTransaction>& transaction) {
        transaction = new NvSipClientTransaction(parseRequest(text), recorder.get());
        transaction->sendRequest();
        return expectSent(firstLine(text));
    }

private:
    unsigned m_ProceedingTimeoutMs = NvSipServerTransaction::sm_ProceedingTimeoutMs;
};

// ================================================================ client INVITE

class TransactionClientInvite : public TransactionFlow {
protected:
    NvHandle<ClientRecorder> recorder = new ClientRecorder();
    NvHandle<NvSipClientTransaction> transaction;
};

TEST_F(TransactionClientInvite, GetsOurViaAndMaxForwards) {
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    EXPECT_EQ(countOf(invite.message, NvSipHeaderID::Via), 1u);
    const std::string via = header(invite.message, "Via");
    EXPECT_EQ(via.rfind("SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK", 0), 0u) << via;
    EXPECT_NE(via.find("rport"), std::string::npos) << via;
    EXPECT_EQ(header(invite.message, "Max-Forwards"), "70");
    EXPECT_EQ(invite.destination.toString(), "udp:192.0.2.1:5060");
    EXPECT_EQ(recorder->sent, Events{"INVITE sip:bob@192.0.2.1 SIP/2.0"});
    EXPECT_EQ(transaction->getState(), NvSipTransaction::Calling);
    EXPECT_EQ(manager.getTransactionCount(), 1u);
}

TEST_F(TransactionClientInvite, KeepsAViaWithMagicCookieThatTheCallerSet) {
    const Sent invite = sendClient(ourInvite("sip:bob@192.0.2.1",
                                             "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bKmine\r\n"
                                             "Max-Forwards: 12\r\n"),
                                   recorder, transaction);
    EXPECT_EQ(countOf(invite.message, NvSipHeaderID::Via), 1u);
    EXPECT_EQ(header(invite.message, "Via"), "SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bKmine");
    EXPECT_EQ(header(invite.message, "Max-Forwards"), "12");

    inject(peerResponse(invite, 180));
    EXPECT_EQ(recorder->events, Events{"provisional 180"});
}

TEST_F(TransactionClientInvite, PutsOurViaAboveACallersViaWithoutMagicCookie) {
    const Sent invite = sendClient(
        ourInvite("sip:bob@192.0.2.1", "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=old2543\r\n"), recorder, transaction);
    ASSERT_EQ(countOf(invite.message, NvSipHeaderID::Via), 2u);
    EXPECT_EQ(header(invite.message, "Via").find("branch=z9hG4bK") != std::string::npos, true);
    EXPECT_EQ(header(invite.message, "Via", 1), "SIP/2.0/UDP 192.0.2.10:5060;branch=old2543");
}

TEST_F(TransactionClientInvite, SendingTwiceRaises) {
    sendClient(ourInvite(), recorder, transaction);
    EXPECT_THROW(transaction->sendRequest(), NvHandle<NvException>);
    expectNothingSent();
}

TEST_F(TransactionClientInvite, RetransmitsOnTimerADoublingFromT1ThenTimesOutOnTimerB) {
    sendClient(ourInvite(), recorder, transaction);
    const auto sent = runFor(70000);
    EXPECT_EQ(timesOf(sent), (std::vector<double>{500, 1500, 3500, 7500, 15500, 31500}));
    for (const auto& s : sent) EXPECT_EQ(firstLine(s.sent.bytes), "INVITE sip:bob@192.0.2.1 SIP/2.0");
    EXPECT_EQ(recorder->events, Events{"timeout"});
    EXPECT_EQ(sinceStart(recorder->eventTimes), std::vector<double>{32000});
    EXPECT_EQ(transaction->getState(), NvSipTransaction::Terminated);
    EXPECT_EQ(manager.getTransactionCount(), 0u);
    EXPECT_EQ(recorder->sent.size(), 7u);  // the INVITE and its six retransmissions
}

TEST_F(TransactionClientInvite, ProvisionalStopsRetransmissionsAndTimerB) {
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    runFor(700);  // one retransmission, at 500
    inject(peerResponse(invite, 180));
    EXPECT_TRUE(runFor(300000).empty());
    EXPECT_EQ(recorder->events, Events{"provisional 180"});
    EXPECT_EQ(transaction->getState(), NvSipTransaction::Proceeding);
    EXPECT_EQ(recorder->received, Events{"SIP/2.0 180 Ringing"});
}

TEST_F(TransactionClientInvite, ReportsEveryProvisionalResponse) {
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    inject(peerResponse(invite, 100, ""));
    inject(peerResponse(invite, 180));
    inject(peerResponse(invite, 180));
    inject(peerResponse(invite, 183, "b2"));
    EXPECT_EQ(recorder->events, (Events{"provisional 100", "provisional 180", "provisional 180", "provisional 183"}));
}

TEST_F(TransactionClientInvite, TwoHundredEndsTheTransactionAndItsRetransmissionIsStray) {
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    inject(peerResponse(invite, 180));
    inject(peerResponse(invite, 200));
    EXPECT_EQ(recorder->events, (Events{"provisional 180", "final 200"}));
    EXPECT_EQ(transaction->getState(), NvSipTransaction::Terminated);
    EXPECT_EQ(manager.getTransactionCount(), 0u);
    expectNothingSent();  // the ACK of a 2xx is not the transaction's

    inject(peerResponse(invite, 200));               // retransmission
    inject(peerResponse(invite, 200, "otherFork"));  // another fork
    EXPECT_EQ(recorder->events.size(), 2u);
    EXPECT_EQ(stray->events, (Events{"strayResponse 200", "strayResponse 200"}));
    expectNothingSent();
}

TEST_F(TransactionClientInvite, FailureResponseIsAcknowledgedAsRfc3261Says) {
    const Sent invite = sendClient(
        ourInvite("sip:bob@example.com", "Route: <sip:192.0.2.1;lr>\r\nRoute: <sip:proxy2.example.com;lr>\r\n"),
        recorder, transaction);
    inject(peerResponse(invite, 486, "busy1"));
    EXPECT_EQ(recorder->events, Events{"final 486"});

    const Sent ack = expectSent("ACK sip:bob@example.com SIP/2.0");
    EXPECT_EQ(countOf(ack.message, NvSipHeaderID::Via), 1u);
    EXPECT_EQ(header(ack.message, "Via"), header(invite.message, "Via"));
    EXPECT_EQ(header(ack.message, "From"), header(invite.message, "From"));
    EXPECT_EQ(header(ack.message, "To"), "<sip:bob@example.com>;tag=busy1");
    EXPECT_EQ(header(ack.message, "Call-ID"), "call-out@192.0.2.10");
    EXPECT_EQ(header(ack.message, "CSeq"), "7 ACK");
    EXPECT_EQ(header(ack.message, "Route", 0), "<sip:192.0.2.1;lr>");
    EXPECT_EQ(header(ack.message, "Route", 1), "<sip:proxy2.example.com;lr>");
    EXPECT_EQ(header(ack.message, "Max-Forwards"), "70");
    EXPECT_EQ(header(ack.message, "Contact"), "");
    EXPECT_EQ(ack.destination.toString(), invite.destination.toString());
    EXPECT_EQ(recorder->sent.back(), "ACK sip:bob@example.com SIP/2.0");
    EXPECT_EQ(transaction->getState(), NvSipTransaction::Completed);
}

TEST_F(TransactionClientInvite, MessagesAreShownBeforeTheEventTheyCause) {
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    inject(peerResponse(invite, 180));
    inject(peerResponse(invite, 404));
    EXPECT_EQ(recorder->sequence,
              (Events{"sent INVITE sip:bob@192.0.2.1 SIP/2.0", "received SIP/2.0 180 Ringing", "provisional 180",
                      "received SIP/2.0 404 Not Found", "sent ACK sip:bob@192.0.2.1 SIP/2.0", "final 404"}));
}

TEST_F(TransactionClientInvite, RetransmittedFailureIsAbsorbedWithTheAckSentAgainUntilTimerD) {
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    inject(peerResponse(invite, 486, "busy1"));
    expectSent("ACK ");
    runFor(1000);
    inject(peerResponse(invite, 486, "busy1"));
    expectSent("ACK sip:bob@192.0.2.1 SIP/2.0");
    EXPECT_EQ(recorder->events, Events{"final 486"});
    EXPECT_EQ(recorder->received.size(), 2u);

    runFor(30999);  // timer D: 32 s after the 486
    EXPECT_EQ(manager.getTransactionCount(), 1u);
    runFor(1);
    EXPECT_EQ(manager.getTransactionCount(), 0u);
    EXPECT_EQ(transaction->getState(), NvSipTransaction::Terminated);
    inject(peerResponse(invite, 486, "busy1"));
    EXPECT_EQ(stray->events, Events{"strayResponse 486"});
    expectNothingSent();
}

TEST_F(TransactionClientInvite, ReliableProvisionalNeedsRSeqAndRequire100rel) {
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    inject(peerResponse(invite, 183, "b1", "Require: 100rel\r\nRSeq: 1\r\n"));
    inject(peerResponse(invite, 183, "b1", "Require: 100rel\r\nRSeq: 1\r\n"));  // retransmitted until PRACK
    inject(peerResponse(invite, 180, "b1", "Require: 100rel\r\nRSeq: 2\r\n"));
    inject(peerResponse(invite, 180, "b1", "RSeq: 3\r\n"));
    inject(peerResponse(invite, 180, "b1", "Require: 100rel\r\n"));
    inject(peerResponse(invite, 183, "b2", "Require: timer, 100rel\r\nRSeq: 1\r\n"));  // another fork
    EXPECT_EQ(recorder->events,
              (Events{"reliable 183", "reliable 180", "provisional 180", "provisional 180", "reliable 183"}));
    EXPECT_EQ(recorder->received.size(), 6u);
}

TEST_F(TransactionClientInvite, OverTcpIsNotRetransmittedAndTimesOutOnTimerB) {
    const Sent invite = sendClient(ourInvite("sip:bob@192.0.2.1;transport=tcp"), recorder, transaction);
    EXPECT_EQ(invite.destination.transport, NvSocketImpl::TCP);
    EXPECT_EQ(header(invite.message, "Via").rfind("SIP/2.0/TCP 192.0.2.10:5060;", 0), 0u);
    EXPECT_TRUE(runFor(40000).empty());
    EXPECT_EQ(recorder->events, Events{"timeout"});
    EXPECT_EQ(sinceStart(recorder->eventTimes), std::vector<double>{32000});
}

TEST_F(TransactionClientInvite, OverTcpAFailureEndsTheTransactionOnceAcknowledged) {
    const Sent invite = sendClient(ourInvite("sip:bob@192.0.2.1;transport=tcp"), recorder, transaction);
    inject(peerResponse(invite, 603), NvSocketImpl::TCP);
    expectSent("ACK ");
    EXPECT_EQ(recorder->events, Events{"final 603"});
    EXPECT_EQ(transaction->getState(), NvSipTransaction::Terminated);
    EXPECT_EQ(manager.getTransactionCount(), 0u);
}

TEST_F(TransactionClientInvite, GivenDestinationIsKeptForRetransmissionsCancelAndAck) {
    transaction = new NvSipClientTransaction(parseRequest(ourInvite()), recorder.get());
    unsigned port = 5070;
    NvInetAddress address = NvInetAddress::sParse("192.0.2.50");
    transaction->sendRequest(&port, &address);
    const Sent invite = expectSent("INVITE ");
    EXPECT_EQ(invite.destination.toString(), "udp:192.0.2.50:5070");
    const auto retransmissions = runFor(600);
    ASSERT_EQ(retransmissions.size(), 1u);
    EXPECT_EQ(retransmissions[0].sent.destination.toString(), "udp:192.0.2.50:5070");
    inject(peerResponse(invite, 180));
    transaction->cancel();
    EXPECT_EQ(expectSent("CANCEL ").destination.toString(), "udp:192.0.2.50:5070");
    inject(peerResponse(invite, 487));
    EXPECT_EQ(expectSent("ACK ").destination.toString(), "udp:192.0.2.50:5070");
}

// ================================================================ client CANCEL

class TransactionClientCancel : public TransactionClientInvite {};

TEST_F(TransactionClientCancel, WaitsForTheFirstProvisionalThenGoesAsRfc3261Says) {
    const Sent invite = sendClient(
        ourInvite("sip:bob@example.com", "Route: <sip:192.0.2.1;lr>\r\nRoute: <sip:proxy2.example.com;lr>\r\n"),
        recorder, transaction);
    transaction->cancel();
    expectNothingSent();

    inject(peerResponse(invite, 180, "b1"));
    const Sent cancel = expectSent("CANCEL sip:bob@example.com SIP/2.0");
    EXPECT_EQ(countOf(cancel.message, NvSipHeaderID::Via), 1u);
    EXPECT_EQ(header(cancel.message, "Via"), header(invite.message, "Via"));
    EXPECT_EQ(header(cancel.message, "From"), header(invite.message, "From"));
    EXPECT_EQ(header(cancel.message, "To"), "<sip:bob@example.com>");  // no tag of ours or the peer's
    EXPECT_EQ(header(cancel.message, "Call-ID"), "call-out@192.0.2.10");
    EXPECT_EQ(header(cancel.message, "CSeq"), "7 CANCEL");
    EXPECT_EQ(header(cancel.message, "Route", 0), "<sip:192.0.2.1;lr>");
    EXPECT_EQ(header(cancel.message, "Route", 1), "<sip:proxy2.example.com;lr>");
    EXPECT_EQ(header(cancel.message, "Max-Forwards"), "70");
    EXPECT_EQ(header(cancel.message, "Contact"), "");
    EXPECT_EQ(cancel.destination.toString(), invite.destination.toString());
    EXPECT_EQ(manager.getTransactionCount(), 2u);  // the INVITE and the CANCEL

    inject(peerResponse(cancel, 200, "b1"));  // the CANCEL's own answer goes nowhere
    EXPECT_EQ(recorder->events, Events{"provisional 180"});
    inject(peerResponse(invite, 487, "b1"));
    expectSent("ACK sip:bob@example.com SIP/2.0");
    EXPECT_EQ(recorder->events, (Events{"provisional 180", "final 487"}));
    // The CANCEL and its answer are shown to the INVITE's interface as messages.
    EXPECT_EQ(recorder->sent, (Events{"INVITE sip:bob@example.com SIP/2.0", "CANCEL sip:bob@example.com SIP/2.0",
                                      "ACK sip:bob@example.com SIP/2.0"}));
    EXPECT_EQ(recorder->received, (Events{"SIP/2.0 180 Ringing", "SIP/2.0 200 OK", "SIP/2.0 487 Request Terminated"}));
}

TEST_F(TransactionClientCancel, InProceedingGoesAtOnceAndOnlyOnce) {
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    inject(peerResponse(invite, 100, ""));
    transaction->cancel();
    expectSent("CANCEL sip:bob@192.0.2.1 SIP/2.0");
    transaction->cancel();
    expectNothingSent();
}

TEST_F(TransactionClientCancel, GivenCancelKeepsItsOwnHeadersButIdentifiesTheInvite) {
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    inject(peerResponse(invite, 180, "b1"));
    // As a dialog might build it: the early dialog's target and tag, its own CSeq.
    NvHandle<NvSipCancelMessage> given(parseRequest(
        "CANCEL sip:bob@192.0.2.99 SIP/2.0\r\n"
        "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bKwrong\r\n"
        "Max-Forwards: 30\r\n"
        "Route: <sip:192.0.2.98;lr>\r\n"
        "From: \"Alice\" <sip:alice@192.0.2.10>;tag=a1\r\n"
        "To: <sip:bob@example.com>;tag=b1\r\n"
        "Call-ID: call-out@192.0.2.10\r\n"
        "CSeq: 99 CANCEL\r\n"
        "Reason: SIP;cause=600;text=\"Busy Everywhere\"\r\n"
        "Content-Length: 0\r\n\r\n"));
    ASSERT_TRUE(given);
    const std::string givenText = given->toString();
    transaction->cancel(given);
    const Sent cancel = expectSent("CANCEL sip:bob@192.0.2.1 SIP/2.0");
    EXPECT_EQ(countOf(cancel.message, NvSipHeaderID::Via), 1u);
    EXPECT_EQ(header(cancel.message, "Via"), header(invite.message, "Via"));
    EXPECT_EQ(header(cancel.message, "To"), "<sip:bob@example.com>");
    EXPECT_EQ(header(cancel.message, "CSeq"), "7 CANCEL");
    EXPECT_EQ(countOf(cancel.message, NvSipHeaderID::Route), 0u);
    EXPECT_EQ(header(cancel.message, "Max-Forwards"), "30");
    EXPECT_EQ(header(cancel.message, "Reason"), "SIP;cause=600;text=\"Busy Everywhere\"");
    EXPECT_EQ(cancel.destination.toString(), "udp:192.0.2.1:5060");
    EXPECT_EQ(given->toString(), givenText);
}

TEST_F(TransactionClientCancel, AfterTheFinalResponseSendsNothing) {
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    inject(peerResponse(invite, 486));
    expectSent("ACK ");
    transaction->cancel();
    expectNothingSent();
}

TEST_F(TransactionClientCancel, PendingCancelIsDroppedWhenTheFinalResponseComesFirst) {
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    transaction->cancel();
    inject(peerResponse(invite, 200));
    expectNothingSent();
    EXPECT_EQ(recorder->events, Events{"final 200"});
}

TEST_F(TransactionClientCancel, OfANonInviteRaises) {
    sendClient(ourOptions(), recorder, transaction);
    EXPECT_THROW(transaction->cancel(), NvHandle<NvException>);
    expectNothingSent();
}

TEST_F(TransactionClientCancel, InviteWithoutFinalResponseIsAbandonedAfter64T1) {
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    runFor(1000);  // timer A: 500
    inject(peerResponse(invite, 180));
    wire.clear();
    transaction->cancel();
    const Sent cancel = expectSent("CANCEL ");
    inject(peerResponse(cancel, 200));
    runFor(31999);
    EXPECT_EQ(recorder->events, Events{"provisional 180"});
    runFor(100000);
    EXPECT_EQ(recorder->events, (Events{"provisional 180", "timeout"}));
    EXPECT_EQ(sinceStart(recorder->eventTimes).back(), 33000);
    EXPECT_EQ(manager.getTransactionCount(), 0u);
}

// ================================================================ client non-INVITE

class TransactionClientNonInvite : public TransactionClientInvite {};

TEST_F(TransactionClientNonInvite, RetransmitsOnTimerEDoublingUpToT2ThenTimesOutOnTimerF) {
    sendClient(ourOptions(), recorder, transaction);
    EXPECT_EQ(transaction->getState(), NvSipTransaction::Trying);
    const auto sent = runFor(70000);
    EXPECT_EQ(timesOf(sent), (std::vector<double>{500, 1500, 3500, 7500, 11500, 15500, 19500, 23500, 27500, 31500}));
    EXPECT_EQ(recorder->events, Events{"timeout"});
    EXPECT_EQ(sinceStart(recorder->eventTimes), std::vector<double>{32000});
    EXPECT_EQ(manager.getTransactionCount(), 0u);
}

TEST_F(TransactionClientNonInvite, AfterAProvisionalRetransmitsEveryT2) {
    const Sent options = sendClient(ourOptions(), recorder, transaction);
    runFor(600);
    inject(peerResponse(options, 100, ""));
    EXPECT_EQ(transaction->getState(), NvSipTransaction::Proceeding);
    const auto sent = runFor(13000);
    EXPECT_EQ(timesOf(sent), (std::vector<double>{1500, 5500, 9500, 13500}));
    EXPECT_EQ(recorder->events, Events{"provisional 100"});
}

TEST_F(TransactionClientNonInvite, FinalResponseAbsorbsRetransmissionsUntilTimerK) {
    const Sent options = sendClient(ourOptions(), recorder, transaction);
    inject(peerResponse(options, 200));
    inject(peerResponse(options, 200));
    EXPECT_EQ(recorder->events, Events{"final 200"});
    EXPECT_EQ(recorder->received.size(), 2u);
    EXPECT_EQ(transaction->getState(), NvSipTransaction::Completed);
    expectNothingSent();

    EXPECT_TRUE(runFor(4999).empty());
    EXPECT_EQ(manager.getTransactionCount(), 1u);
    runFor(1);  // timer K: T4
    EXPECT_EQ(manager.getTransactionCount(), 0u);
    inject(peerResponse(options, 200));
    EXPECT_EQ(stray->events, Events{"strayResponse 200"});
}

TEST_F(TransactionClientNonInvite, OverTcpEndsAtTheFinalResponse) {
    NvHandle<NvSipRequest> request = parseRequest(
        "OPTIONS sip:bob@192.0.2.1;transport=tcp SIP/2.0\r\n"
        "From: <sip:alice@192.0.2.10>;tag=a2\r\nTo: <sip:bob@192.0.2.1>\r\n"
        "Call-ID: tcp-options@192.0.2.10\r\nCSeq: 3 OPTIONS\r\nContent-Length: 0\r\n\r\n");
    transaction = new NvSipClientTransaction(request, recorder.get());
    transaction->sendRequest();
    const Sent options = expectSent("OPTIONS ");
    EXPECT_TRUE(runFor(10000).empty());
    inject(peerResponse(options, 200), NvSocketImpl::TCP);
    EXPECT_EQ(recorder->events, Events{"final 200"});
    EXPECT_EQ(manager.getTransactionCount(), 0u);
}

// ================================================================ server INVITE

class TransactionServerInvite : public TransactionFlow {};

TEST_F(TransactionServerInvite, Sends100TryingAtOnceAndReportsTheRequestOnce) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    const Sent trying = expectSent("SIP/2.0 100 Trying");
    EXPECT_EQ(header(trying.message, "To"), "<sip:bob@192.0.2.10>");
    EXPECT_EQ(header(trying.message, "CSeq"), "1 INVITE");
    EXPECT_EQ(trying.destination.toString(), "udp:192.0.2.1:5060");
    EXPECT_EQ(server->events, Events{"request INVITE"});
    EXPECT_EQ(server->received, Events{"INVITE sip:bob@192.0.2.10 SIP/2.0"});
    EXPECT_EQ(server->sent, Events{"SIP/2.0 100 Trying"});

    inject(peerRequest("INVITE", "z9hG4bKin1"));  // retransmission
    expectSent("SIP/2.0 100 Trying");
    EXPECT_EQ(server->events, Events{"request INVITE"});
    EXPECT_EQ(factory->calls, 1);
    EXPECT_EQ(server->received.size(), 2u);
}

TEST_F(TransactionServerInvite, NoTryingWhenTheOwnerAnsweredFirst) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 100");
    // A transaction that answered before the request was handed over sends no 100.
    NvHandle<NvSipServerTransaction> early(
        new NvSipServerTransaction(parseRequest(peerRequest("INVITE", "z9hG4bKin2")), server.get()));
    early->sendResponse(180);
    expectSent("SIP/2.0 180 Ringing");
    early->receiveRequest(early->getInitialRequest());
    expectNothingSent();
    EXPECT_EQ(server->events, (Events{"request INVITE", "request INVITE"}));
}

TEST_F(TransactionServerInvite, RetransmittedInviteGetsTheLastProvisionalAgain) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 100");
    serverTransaction()->sendResponse(180);
    const Sent ringing = expectSent("SIP/2.0 180 Ringing");
    const std::string to = header(ringing.message, "To");
    EXPECT_NE(to.find(";tag="), std::string::npos) << to;
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    const Sent again = expectSent("SIP/2.0 180 Ringing");
    EXPECT_EQ(header(again.message, "To"), to);
    serverTransaction()->sendResponse(183);
    EXPECT_EQ(header(expectSent("SIP/2.0 183").message, "To"), to);  // one tag for the transaction
}

TEST_F(TransactionServerInvite, TwoHundredEndsTheTransactionAndLaterRetransmissionsAreDropped) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 100");
    serverTransaction()->sendResponse(200);
    expectSent("SIP/2.0 200 OK");
    EXPECT_EQ(serverTransaction()->getState(), NvSipTransaction::Terminated);
    EXPECT_EQ(manager.getTransactionCount(), 0u);
    EXPECT_THROW(serverTransaction()->sendResponse(486), NvHandle<NvException>);

    runFor(1000);
    inject(peerRequest("INVITE", "z9hG4bKin1"));  // crossed our 2xx: dropped, not a new request
    expectNothingSent();
    EXPECT_EQ(factory->calls, 1);
    inject(peerRequest("ACK", "z9hG4bKack1", "t1"));  // the ACK of a 2xx is the dialog's
    EXPECT_EQ(stray->events, Events{"strayAck"});
    EXPECT_EQ(server->events, Events{"request INVITE"});

    runFor(31000);  // 64*T1 after the 2xx the branch is forgotten
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    EXPECT_EQ(factory->calls, 2);
}

TEST_F(TransactionServerInvite, FailureIsRetransmittedOnTimerGUntilTheAck) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 100");
    serverTransaction()->sendResponse(486);
    const Sent busy = expectSent("SIP/2.0 486 Busy Here");
    const auto sent = runFor(12000);
    EXPECT_EQ(timesOf(sent), (std::vector<double>{500, 1500, 3500, 7500, 11500}));
    for (const auto& s : sent) EXPECT_EQ(s.sent.bytes, busy.bytes);

    const std::string tag = header(busy.message, "To").substr(header(busy.message, "To").find("tag=") + 4);
    inject(peerRequest("ACK", "z9hG4bKin1", tag));
    EXPECT_EQ(server->events, (Events{"request INVITE", "ack"}));
    EXPECT_EQ(serverTransaction()->getState(), NvSipTransaction::Confirmed);
    inject(peerRequest("ACK", "z9hG4bKin1", tag));  // retransmitted ACK: absorbed
    EXPECT_EQ(server->events.size(), 2u);
    EXPECT_TRUE(runFor(4999).empty());
    EXPECT_EQ(manager.getTransactionCount(), 1u);
    runFor(1);  // timer I: T4
    EXPECT_EQ(manager.getTransactionCount(), 0u);
    EXPECT_TRUE(stray->events.empty());
}

TEST_F(TransactionServerInvite, RetransmittedInviteAfterTheFailureGetsItAgain) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 100");
    serverTransaction()->sendResponse(404);
    expectSent("SIP/2.0 404");
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 404 Not Found");
    EXPECT_EQ(server->events, Events{"request INVITE"});
}

TEST_F(TransactionServerInvite, WithoutAckTimesOutOnTimerH) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 100");
    serverTransaction()->sendResponse(486);
    expectSent("SIP/2.0 486");
    const auto sent = runFor(100000);
    EXPECT_EQ(timesOf(sent).back(), 31500);
    EXPECT_EQ(server->events, (Events{"request INVITE", "timeout"}));
    EXPECT_EQ(sinceStart(server->eventTimes).back(), 32000);
    EXPECT_EQ(manager.getTransactionCount(), 0u);
}

TEST_F(TransactionServerInvite, ProceedingTimeOutIsReportedAndLateResponsesRefused) {
    NvSipServerTransaction::sm_ProceedingTimeoutMs = 10000;
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 100");
    serverTransaction()->sendResponse(180);
    expectSent("SIP/2.0 180");
    runFor(9999);
    EXPECT_EQ(server->events, Events{"request INVITE"});
    runFor(1);
    EXPECT_EQ(server->events, (Events{"request INVITE", "timeout"}));

    const auto transaction = serverTransaction();
    EXPECT_THROW(transaction->sendResponse(183), NvHandle<NvException>);
    EXPECT_THROW(transaction->sendResponse(408), NvHandle<NvException>);
    expectNothingSent();
    transaction->setOnTimeoutSendFinalResponse(true);
    transaction->sendResponse(408);
    expectSent("SIP/2.0 408 Request Timeout");
    EXPECT_THROW(transaction->sendResponse(500), NvHandle<NvException>);
    EXPECT_TRUE(runFor(5000).empty());  // sent once: no timer G
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 408");  // still absorbed meanwhile
    runFor(27000);              // 64*T1 after the time-out it is gone
    EXPECT_EQ(manager.getTransactionCount(), 0u);
    EXPECT_EQ(server->events.size(), 2u);
}

TEST_F(TransactionServerInvite, ReliableProvisionalGetsRequire100rel) {
    inject(peerRequest("INVITE", "z9hG4bKin1", "", "Supported: 100rel\r\n"));
    expectSent("SIP/2.0 100");
    const auto transaction = serverTransaction();
    NvHandle<NvSipResponse> response(new NvSipResponse(183, transaction->getInitialRequest()));
    response->addHeader(NvHandle<NvSipHeader>(new NvSipRSeqHeader(1)));
    transaction->sendReliableResponse(response);
    const Sent first = expectSent("SIP/2.0 183");
    EXPECT_EQ(header(first.message, "Require"), "100rel");
    EXPECT_EQ(header(first.message, "RSeq"), "1");
    transaction->sendReliableResponse(response);  // the caller's retransmission
    const Sent again = expectSent("SIP/2.0 183");
    EXPECT_EQ(countOf(again.message, NvSipHeaderID::Require), 1u);

    EXPECT_THROW(transaction->sendReliableResponse(
                     NvHandle<NvSipResponse>(new NvSipResponse(200, transaction->getInitialRequest()))),
                 NvHandle<NvException>);
    EXPECT_EQ(transaction->getState(), NvSipTransaction::Proceeding);
}

TEST_F(TransactionServerInvite, EventsGoToTheReplacingInterface) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 100");
    NvHandle<ServerRecorder> replacement = newServerRecorder();
    serverTransaction()->setInterface(replacement.get());
    EXPECT_EQ(serverTransaction()->getInterface(), NvHandle<NvSipServerTransactionInterface>(replacement));
    serverTransaction()->sendResponse(486);
    expectSent("SIP/2.0 486");
    const std::string to = header(serverTransaction()->getLastResponse(), "To");
    inject(peerRequest("ACK", "z9hG4bKin1", to.substr(to.find("tag=") + 4)));
    EXPECT_EQ(server->events, Events{"request INVITE"});
    EXPECT_EQ(replacement->events, Events{"ack"});
    EXPECT_EQ(replacement->sent, Events{"SIP/2.0 486 Busy Here"});
}

TEST_F(TransactionServerInvite, OverTcpFailureIsNotRetransmittedAndTheAckEndsIt) {
    inject(peerRequest("INVITE", "z9hG4bKin1", "", "", "", "TCP"), NvSocketImpl::TCP);
    const Sent trying = expectSent("SIP/2.0 100");
    EXPECT_EQ(trying.destination.transport, NvSocketImpl::TCP);
    serverTransaction()->sendResponse(486);
    expectSent("SIP/2.0 486");
    EXPECT_TRUE(runFor(20000).empty());
    const std::string to = header(serverTransaction()->getLastResponse(), "To");
    inject(peerRequest("ACK", "z9hG4bKin1", to.substr(to.find("tag=") + 4), "", "", "TCP"), NvSocketImpl::TCP);
    EXPECT_EQ(server->events, (Events{"request INVITE", "ack"}));
    EXPECT_EQ(manager.getTransactionCount(), 0u);  // timer I is 0
}

TEST_F(TransactionServerInvite, Rfc2543BranchIsMatchedOnTheRequestsIdentity) {
    inject(peerRequest("INVITE", ""));
    expectSent("SIP/2.0 100");
    inject(peerRequest("INVITE", ""));
    expectSent("SIP/2.0 100");
    EXPECT_EQ(factory->calls, 1);
    serverTransaction()->sendResponse(486);
    const std::string to = header(expectSent("SIP/2.0 486").message, "To");
    const std::string tag = to.substr(to.find("tag=") + 4);

    inject(peerRequest("ACK", "", "someoneElse"));  // not our response's tag
    EXPECT_EQ(stray->events, Events{"strayAck"});
    inject(peerRequest("ACK", "", tag));
    EXPECT_EQ(server->events, (Events{"request INVITE", "ack"}));
    expectNothingSent();
}

// ================================================================ server CANCEL

class TransactionServerCancel : public TransactionFlow {};

TEST_F(TransactionServerCancel, GetsItsOwnTransactionAndIsReportedToTheInvite) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 100");
    const auto invite = serverTransaction();
    inject(peerRequest("CANCEL", "z9hG4bKin1"));
    expectNothingSent();  // the INVITE's owner answers it
    EXPECT_EQ(server->events, (Events{"request INVITE", "cancel"}));
    ASSERT_TRUE(server->cancelTransaction);
    EXPECT_NE(server->cancelTransaction, invite);
    EXPECT_EQ(server->cancelTransaction->getInitialRequest()->getMethod(), "CANCEL");
    ASSERT_TRUE(server->cancelRequest);
    EXPECT_EQ(server->cancelRequest->getMethod(), "CANCEL");
    EXPECT_EQ(factory->calls, 1);  // the CANCEL was not offered to the factory
    EXPECT_EQ(manager.getTransactionCount(), 2u);

    server->cancelTransaction->sendResponse(200);
    const Sent ok = expectSent("SIP/2.0 200 OK");
    EXPECT_EQ(header(ok.message, "CSeq"), "1 CANCEL");
    invite->sendResponse(487);
    expectSent("SIP/2.0 487 Request Terminated");

    inject(peerRequest("CANCEL", "z9hG4bKin1"));  // retransmission: absorbed by the CANCEL's transaction
    expectSent("SIP/2.0 200 OK");
    EXPECT_EQ(server->events.size(), 2u);
    EXPECT_EQ(server->received, (Events{"INVITE sip:bob@192.0.2.10 SIP/2.0", "CANCEL sip:bob@192.0.2.10 SIP/2.0",
                                        "CANCEL sip:bob@192.0.2.10 SIP/2.0"}));
}

TEST_F(TransactionServerCancel, AfterAFailureResponseIsAnswered200AndNotReported) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 100");
    serverTransaction()->sendResponse(486);
    expectSent("SIP/2.0 486");
    inject(peerRequest("CANCEL", "z9hG4bKin1"));
    const Sent ok = expectSent("SIP/2.0 200 OK");
    EXPECT_EQ(header(ok.message, "CSeq"), "1 CANCEL");
    EXPECT_EQ(server->events, Events{"request INVITE"});
    EXPECT_TRUE(stray->events.empty());
}

TEST_F(TransactionServerCancel, AfterA2xxIsStrayAndAnswered481ByDefault) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 100");
    serverTransaction()->sendResponse(200);
    expectSent("SIP/2.0 200");
    inject(peerRequest("CANCEL", "z9hG4bKin1"));
    EXPECT_EQ(stray->events, Events{"strayCancel"});
    const Sent refused = expectSent("SIP/2.0 481 Call/Transaction Does Not Exist");
    EXPECT_EQ(header(refused.message, "CSeq"), "1 CANCEL");
    EXPECT_EQ(server->events, Events{"request INVITE"});
}

TEST_F(TransactionServerCancel, MatchingNoInviteIsStray) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 100");
    inject(peerRequest("CANCEL", "z9hG4bKother"));
    EXPECT_EQ(stray->events, Events{"strayCancel"});
    expectSent("SIP/2.0 481");
    EXPECT_EQ(server->events, Events{"request INVITE"});
}

// ================================================================ server non-INVITE

class TransactionServerNonInvite : public TransactionFlow {};

TEST_F(TransactionServerNonInvite, FinalResponseIsSentAgainForRetransmissionsUntilTimerJ) {
    inject(peerRequest("OPTIONS", "z9hG4bKopt1"));
    expectNothingSent();  // no 100 for a non-INVITE
    EXPECT_EQ(server->events, Events{"request OPTIONS"});
    inject(peerRequest("OPTIONS", "z9hG4bKopt1"));
    expectNothingSent();  // nothing to send yet
    serverTransaction()->sendResponse(200);
    const Sent ok = expectSent("SIP/2.0 200 OK");
    inject(peerRequest("OPTIONS", "z9hG4bKopt1"));
    EXPECT_EQ(expectSent("SIP/2.0 200 OK").bytes, ok.bytes);
    EXPECT_EQ(server->events, Events{"request OPTIONS"});
    EXPECT_TRUE(runFor(31999).empty());  // a non-INVITE final response is not retransmitted on its own
    EXPECT_EQ(manager.getTransactionCount(), 1u);
    runFor(1);  // timer J: 64*T1
    EXPECT_EQ(manager.getTransactionCount(), 0u);
    inject(peerRequest("OPTIONS", "z9hG4bKopt1"));
    EXPECT_EQ(factory->calls, 2);
}

TEST_F(TransactionServerNonInvite, UnansweredRequestTimesOutThenLeaves) {
    NvSipServerTransaction::sm_ProceedingTimeoutMs = 10000;
    inject(peerRequest("OPTIONS", "z9hG4bKopt1"));
    runFor(10000);
    EXPECT_EQ(server->events, (Events{"request OPTIONS", "timeout"}));
    EXPECT_EQ(sinceStart(server->eventTimes).back(), 10000);
    EXPECT_THROW(serverTransaction()->sendResponse(200), NvHandle<NvException>);
    inject(peerRequest("OPTIONS", "z9hG4bKopt1"));  // still absorbed
    EXPECT_EQ(factory->calls, 1);
    runFor(32000);
    EXPECT_EQ(manager.getTransactionCount(), 0u);
    EXPECT_EQ(server->events.size(), 2u);
    expectNothingSent();
}

TEST_F(TransactionServerNonInvite, ProvisionalThenFinal) {
    inject(peerRequest("OPTIONS", "z9hG4bKopt1"));
    serverTransaction()->sendResponse(100);
    expectSent("SIP/2.0 100");
    EXPECT_EQ(serverTransaction()->getState(), NvSipTransaction::Proceeding);
    inject(peerRequest("OPTIONS", "z9hG4bKopt1"));
    expectSent("SIP/2.0 100");
    serverTransaction()->sendResponse(200);
    expectSent("SIP/2.0 200");
    EXPECT_THROW(serverTransaction()->sendResponse(200), NvHandle<NvException>);
}

TEST_F(TransactionServerNonInvite, SameBranchFromAnotherSentByIsAnotherTransaction) {
    inject(peerRequest("OPTIONS", "z9hG4bKopt1"));
    std::string other = peerRequest("OPTIONS", "z9hG4bKopt1");
    other.replace(other.find("192.0.2.1:5060"), 14, "192.0.2.77:5060");
    inject(other);
    EXPECT_EQ(factory->calls, 2);
    EXPECT_EQ(server->events, (Events{"request OPTIONS", "request OPTIONS"}));
}

// ================================================================ manager and strays

class TransactionStrayMessages : public TransactionFlow {};

TEST_F(TransactionStrayMessages, ResponseWithOurSentByAndNoTransactionIsStray) {
    inject(
        "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bKgone\r\n"
        "From: <sip:alice@192.0.2.10>;tag=a1\r\nTo: <sip:bob@192.0.2.1>;tag=b1\r\n"
        "Call-ID: x@192.0.2.10\r\nCSeq: 1 INVITE\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(stray->events, Events{"strayResponse 200"});
    expectNothingSent();
}

TEST_F(TransactionStrayMessages, ResponseWhoseViaIsNotOursIsInvalid) {
    inject(
        "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 198.51.100.7:5060;branch=z9hG4bKgone\r\n"
        "From: <sip:alice@192.0.2.10>;tag=a1\r\nTo: <sip:bob@192.0.2.1>;tag=b1\r\n"
        "Call-ID: x@192.0.2.10\r\nCSeq: 1 INVITE\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(stray->events, Events{"invalid"});
    expectNothingSent();
}

TEST_F(TransactionStrayMessages, ResponseWithOurBranchButAnotherSentByIsInvalid) {
    NvHandle<ClientRecorder> recorder = new ClientRecorder();
    NvHandle<NvSipClientTransaction> transaction;
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    std::string forged = peerResponse(invite, 200);
    forged.replace(forged.find("192.0.2.10:5060"), 15, "198.51.100.7:5060");
    inject(forged);
    EXPECT_EQ(stray->events, Events{"invalid"});
    EXPECT_TRUE(recorder->events.empty());
    EXPECT_EQ(transaction->getState(), NvSipTransaction::Calling);
}

TEST_F(TransactionStrayMessages, AckMatchingNothingIsStray) {
    inject(peerRequest("ACK", "z9hG4bKnothing", "t1"));
    EXPECT_EQ(stray->events, Events{"strayAck"});
    EXPECT_EQ(factory->calls, 0);
    expectNothingSent();
}

TEST_F(TransactionStrayMessages, MalformedRequestIsAnswered400) {
    std::string request = peerRequest("OPTIONS", "z9hG4bKbad");
    request.erase(request.find("Call-ID:"), request.find("CSeq:") - request.find("Call-ID:"));
    inject(request);
    EXPECT_EQ(stray->events, Events{"malformed"});
    expectSent("SIP/2.0 400 Bad Request");
    EXPECT_EQ(factory->calls, 0);
}

TEST_F(TransactionStrayMessages, RequestWhoseCSeqMethodDiffersIsMalformed) {
    inject(peerRequest("OPTIONS", "z9hG4bKbad", "", "", "INVITE"));
    EXPECT_EQ(stray->events, Events{"malformed"});
    expectSent("SIP/2.0 400");
}

TEST_F(TransactionStrayMessages, MalformedAckIsNotAnswered) {
    inject(peerRequest("ACK", "z9hG4bKbad", "t1", "", "INVITE"));
    EXPECT_EQ(stray->events, Events{"malformed"});
    expectNothingSent();
}

TEST_F(TransactionStrayMessages, MalformedResponseIsDroppedSilently) {
    inject(
        "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bKx\r\n"
        "From: <sip:alice@192.0.2.10>;tag=a1\r\nTo: <sip:bob@192.0.2.1>;tag=b1\r\n"
        "CSeq: 1 INVITE\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(stray->events, Events{"malformed"});
    expectNothingSent();
}

TEST_F(TransactionStrayMessages, DefaultInterfaceAnswersStrayCancel481AndIgnoresTheRest) {
    manager.setStrayInterface(nullptr);
    EXPECT_TRUE(manager.getStrayInterface());
    inject(peerRequest("CANCEL", "z9hG4bKnothing"));
    const Sent refused = expectSent("SIP/2.0 481");
    EXPECT_EQ(header(refused.message, "Via"), "SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKnothing");
    inject(peerRequest("ACK", "z9hG4bKnothing", "t1"));
    inject(
        "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 198.51.100.7:5060;branch=z9hG4bKgone\r\n"
        "From: <sip:alice@192.0.2.10>;tag=a1\r\nTo: <sip:bob@192.0.2.1>;tag=b1\r\n"
        "Call-ID: x@192.0.2.10\r\nCSeq: 1 INVITE\r\nContent-Length: 0\r\n\r\n");
    expectNothingSent();
}

TEST_F(TransactionStrayMessages, RequestRefusedByTheFactoryIsAnswered480) {
    factory->refuse = true;
    inject(peerRequest("OPTIONS", "z9hG4bKopt1"));
    const Sent refused = expectSent("SIP/2.0 480 Temporarily Unavailable");
    EXPECT_NE(header(refused.message, "To").find(";tag="), std::string::npos);
    inject(peerRequest("OPTIONS", "z9hG4bKopt1"));  // the manager's transaction absorbs it
    EXPECT_EQ(expectSent("SIP/2.0 480").bytes, refused.bytes);
    EXPECT_EQ(factory->calls, 1);
    EXPECT_TRUE(server->events.empty());
}

TEST_F(TransactionStrayMessages, InviteWithNoFactoryIsAnswered480AndItsAckAbsorbed) {
    manager.setTransactionFactoryInterface(nullptr);
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    const Sent refused = expectSent("SIP/2.0 480");
    expectNothingSent();  // no 100 Trying before it
    const std::string to = header(refused.message, "To");
    inject(peerRequest("ACK", "z9hG4bKin1", to.substr(to.find("tag=") + 4)));
    EXPECT_TRUE(stray->events.empty());
    EXPECT_TRUE(runFor(40000).empty());  // acknowledged: no timer G
    EXPECT_EQ(manager.getTransactionCount(), 0u);
}

// ================================================================ snapshots

class TransactionSnapshot : public TransactionFlow {
protected:
    static std::string snapshotOf(const NvSipTransaction& transaction) {
        NvByteArrayOutputStream out;
        transaction.serialize(out);
        return out.toByteArray();
    }
};

TEST_F(TransactionSnapshot, RebuiltServerTransactionAbsorbsRetransmissionsAndTakesTheAck) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 100");
    serverTransaction()->sendResponse(486);
    const Sent busy = expectSent("SIP/2.0 486");
    const std::string snapshot = snapshotOf(*serverTransaction());
    manager.clear();  // as if in a new process

    NvHandle<ServerRecorder> rebuiltRecorder = newServerRecorder();
    NvByteArrayInputStream in(snapshot);
    const auto rebuilt = NvSipServerTransaction::sCreateFrom(in, rebuiltRecorder.get());
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(in.available(), 0u);
    EXPECT_EQ(rebuilt->getState(), NvSipTransaction::Completed);
    EXPECT_TRUE(rebuilt->isInvite());
    EXPECT_EQ(rebuilt->getKey(), serverTransaction()->getKey());
    EXPECT_EQ(rebuilt->getInterface(), NvHandle<NvSipServerTransactionInterface>(rebuiltRecorder));
    EXPECT_EQ(manager.getTransactionCount(), 1u);

    inject(peerRequest("INVITE", "z9hG4bKin1"));
    EXPECT_EQ(expectSent("SIP/2.0 486").bytes, busy.bytes);
    EXPECT_EQ(factory->calls, 1);
    EXPECT_EQ(timesOf(runFor(600)), std::vector<double>{500});  // timer G runs again
    const std::string to = header(busy.message, "To");
    inject(peerRequest("ACK", "z9hG4bKin1", to.substr(to.find("tag=") + 4)));
    EXPECT_EQ(rebuiltRecorder->events, Events{"ack"});
    EXPECT_EQ(server->events, Events{"request INVITE"});
}

TEST_F(TransactionSnapshot, RebuiltProceedingServerTransactionCanStillAnswer) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 100");
    serverTransaction()->sendResponse(180);
    expectSent("SIP/2.0 180");
    NvByteArrayInputStream in(snapshotOf(*serverTransaction()));
    manager.clear();
    NvHandle<ServerRecorder> rebuiltRecorder = newServerRecorder();
    const auto rebuilt = NvSipServerTransaction::sCreateFrom(in, rebuiltRecorder.get());
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 180");
    EXPECT_TRUE(rebuiltRecorder->events.empty());  // the request was reported before
    inject(peerRequest("CANCEL", "z9hG4bKin1"));
    EXPECT_EQ(rebuiltRecorder->events, Events{"cancel"});
    rebuilt->sendResponse(487);
    expectSent("SIP/2.0 487");
}

TEST_F(TransactionSnapshot, RebuiltClientTransactionMatchesResponses) {
    NvHandle<ClientRecorder> recorder = new ClientRecorder();
    NvHandle<NvSipClientTransaction> transaction;
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    const std::string snapshot = snapshotOf(*transaction);
    manager.clear();

    NvHandle<ClientRecorder> rebuiltRecorder = new ClientRecorder();
    NvByteArrayInputStream in(snapshot);
    const auto rebuilt = NvSipClientTransaction::sCreateFrom(in, rebuiltRecorder.get());
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(rebuilt->getState(), NvSipTransaction::Calling);
    EXPECT_EQ(rebuilt->getKey(), transaction->getKey());
    EXPECT_EQ(timesOf(runFor(600)), std::vector<double>{500});  // timer A runs again
    inject(peerResponse(invite, 180));
    EXPECT_EQ(rebuiltRecorder->events, Events{"provisional 180"});
    rebuilt->cancel();
    const Sent cancel = expectSent("CANCEL sip:bob@192.0.2.1 SIP/2.0");
    EXPECT_EQ(header(cancel.message, "Via"), header(invite.message, "Via"));
    EXPECT_EQ(cancel.destination.toString(), "udp:192.0.2.1:5060");
    inject(peerResponse(invite, 487));
    expectSent("ACK ");
    EXPECT_EQ(rebuiltRecorder->events, (Events{"provisional 180", "final 487"}));
    EXPECT_TRUE(recorder->events.empty());
}

TEST_F(TransactionSnapshot, RebuiltCancelledClientTransactionStillGivesUpAfter64T1) {
    NvHandle<ClientRecorder> recorder = new ClientRecorder();
    NvHandle<NvSipClientTransaction> transaction;
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    inject(peerResponse(invite, 180));
    transaction->cancel();
    const Sent cancel = expectSent("CANCEL ");
    inject(peerResponse(cancel, 200));
    NvByteArrayInputStream in(snapshotOf(*transaction));
    manager.clear();
    NvHandle<ClientRecorder> rebuiltRecorder = new ClientRecorder();
    const auto rebuilt = NvSipClientTransaction::sCreateFrom(in, rebuiltRecorder.get());
    EXPECT_EQ(rebuilt->getState(), NvSipTransaction::Proceeding);
    rebuilt->cancel();  // already sent: not again
    expectNothingSent();
    runFor(32000);
    EXPECT_EQ(rebuiltRecorder->events, Events{"timeout"});
    EXPECT_EQ(manager.getTransactionCount(), 0u);
}

TEST_F(TransactionSnapshot, RebuiltCompletedClientTransactionAcknowledgesRetransmissions) {
    NvHandle<ClientRecorder> recorder = new ClientRecorder();
    NvHandle<NvSipClientTransaction> transaction;
    const Sent invite = sendClient(ourInvite(), recorder, transaction);
    inject(peerResponse(invite, 486));
    const Sent ack = expectSent("ACK ");
    NvByteArrayInputStream in(snapshotOf(*transaction));
    manager.clear();
    const auto rebuilt = NvSipClientTransaction::sCreateFrom(in, nullptr);
    ASSERT_TRUE(rebuilt->getLastResponse());
    EXPECT_EQ(rebuilt->getLastResponse()->getStatusCode(), 486);
    inject(peerResponse(invite, 486));
    EXPECT_EQ(expectSent("ACK ").bytes, ack.bytes);
    EXPECT_TRUE(stray->events.empty());
}

TEST_F(TransactionSnapshot, CorruptOrTruncatedSnapshotRaisesNvException) {
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    serverTransaction()->sendResponse(486);
    NvHandle<ClientRecorder> recorder = new ClientRecorder();
    NvHandle<NvSipClientTransaction> client;
    wire.clear();
    sendClient(ourInvite(), recorder, client);
    client->cancel();
    wire.clear();
    const std::string snapshots[] = {snapshotOf(*serverTransaction()), snapshotOf(*client)};
    manager.clear();

    auto rebuild = [](const std::string& bytes, bool isServer) {
        NvByteArrayInputStream in(bytes);
        if (isServer)
            NvSipServerTransaction::sCreateFrom(in, nullptr);
        else
            NvSipClientTransaction::sCreateFrom(in, nullptr);
    };
    for (int kind = 0; kind < 2; ++kind) {
        const std::string& full = snapshots[kind];
        for (size_t length = 0; length < full.size(); ++length)
            EXPECT_THROW(rebuild(full.substr(0, length), kind == 0), NvHandle<NvException>) << "length " << length;
        for (size_t i = 0; i < full.size(); ++i) {
            for (uint8_t flip : {0x01, 0x80, 0xff}) {
                std::string bytes = full;
                bytes[i] = static_cast<char>(bytes[i] ^ flip);
                try {
                    rebuild(bytes, kind == 0);
                } catch (NvHandle<NvException>&) {
                } catch (...) {
                    ADD_FAILURE() << "byte " << i << " ^ " << int(flip) << " raised something else";
                }
                manager.clear();
            }
        }
        EXPECT_THROW(rebuild(snapshots[1 - kind], kind == 0), NvHandle<NvException>);  // the other kind
    }
}

// ================================================================ footprint

class TransactionFootprint : public TransactionFlow {};

TEST_F(TransactionFootprint, LiveTransactionStaysUnder2KBBesideItsMessages) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "heap statistics are the sanitizer's";
#else
    constexpr int kCount = 2000;
    std::vector<NvHandle<NvSipRequest> > requests;
    for (int i = 0; i < kCount; ++i) {
        NvHandle<NvSipRequest> request = parseRequest(peerRequest("INVITE", "z9hG4bKmem" + std::to_string(i)));
        request->setSource(NvSipTestTransport::sDefaultPeer());
        requests.push_back(request);
    }
    std::vector<NvHandle<NvSipServerTransaction> > transactions;
    transactions.reserve(kCount);
    const size_t before = mallinfo2().uordblks;
    for (const auto& request : requests) transactions.emplace_back(new NvSipServerTransaction(request, server.get()));
    const size_t after = mallinfo2().uordblks;
    EXPECT_EQ(manager.getTransactionCount(), size_t(kCount));
    const size_t perTransaction = (after - before) / kCount;
    EXPECT_LT(perTransaction, 2048u);
    RecordProperty("bytesPerTransaction", static_cast<int>(perTransaction));
    std::printf("[          ] %zu bytes per live server transaction\n", perTransaction);
#endif
}

}  // namespace transaction_test
