// The transactions and the transaction manager as call flows: the peer (192.0.2.1:5060) talks through the test
// transport to the stack (192.0.2.10:5060); time moves only with the test clock (T1, T2, T4 default).

#include "SipTestText.h"
#include "stack/base/NvStream.h"
#include "stack/sip/NvURI.h"
#include "stack/timer/NvTestClock.h"
#include "stack/timer/NvTime.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTestTransport.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <set>
#include <stdexcept>

namespace transaction_test {

using Events = Lines;
using Times = std::vector<double>;
using Sent = NvSipTestTransport::Sent;

// The value of the `index`-th header `name` of a message, "" when absent.
std::string header(const NvHandle<NvSipMessage>& message, const char* name, size_t index = 0) {
    const auto h = message ? message->mGetHeader(name, index) : NvHandle<NvSipHeader>();
    return h ? h->getValue().str() : "";
}

std::string toTagOf(const NvHandle<NvSipMessage>& message) {
    const std::string to = header(message, "To");
    const size_t at = to.find("tag=");
    return at == std::string::npos ? "" : to.substr(at + 4);
}

// The header lines of a message as sent, ordered by name (headers of one name keep their order).
Events headerLines(const Sent& sent) {
    Events lines;
    for (size_t at = sent.bytes.find("\r\n") + 2, end; (end = sent.bytes.find("\r\n", at)) > at; at = end + 2)
        lines.push_back(sent.bytes.substr(at, end - at));
    std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
        return a.substr(0, a.find(':')) < b.substr(0, b.find(':'));
    });
    return lines;
}

NvHandle<NvSipRequest> parseRequest(const std::string& text) { return NvHandle<NvSipRequest>(parse(text)); }

// A request from the peer. `toTag` empty for none; `sentBy` its top Via's.
std::string peerRequest(const std::string& method, const std::string& branch, const std::string& toTag = "",
                        const std::string& cseqMethod = "", const char* transport = "UDP",
                        const std::string& sentBy = "192.0.2.1:5060") {
    return method + " sip:bob@192.0.2.10 SIP/2.0\r\nVia: SIP/2.0/" + transport + " " + sentBy +
           (branch.empty() ? "" : ";branch=" + branch) + "\r\nMax-Forwards: 70\r\nFrom: <sip:alice@192.0.2.1>;tag=p1" +
           "\r\nTo: <sip:bob@192.0.2.10>" + (toTag.empty() ? "" : ";tag=" + toTag) + "\r\nCall-ID: call-in@192.0.2.1" +
           "\r\nCSeq: 1 " + (cseqMethod.empty() ? method : cseqMethod) + "\r\nContent-Length: 0\r\n\r\n";
}

// The peer's answer to one of our requests (as captured): its Via, From, To, Call-ID, CSeq, a To tag, `extra`.
std::string peerResponse(const Sent& request, int code, const std::string& toTag = "b1",
                         const std::string& extra = "") {
    const NvHandle<NvSipMessage>& m = request.message;
    std::string text = "SIP/2.0 " + std::to_string(code) + " " + NvSipResponse::sReasonPhrase(code) + "\r\n";
    for (const std::string name : {"Via", "From", "To", "Call-ID", "CSeq"})
        for (size_t i = 0; !header(m, name.c_str(), i).empty(); ++i)
            text += name + ": " + header(m, name.c_str(), i) + (name == "To" && !toTag.empty() ? ";tag=" + toTag : "") +
                    "\r\n";
    return text + extra + "Content-Length: 0\r\n\r\n";
}

// A response to us that matches no transaction, its Via naming `sentBy`.
std::string strayResponse(const std::string& sentBy) {
    return "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP " + sentBy + ";branch=z9hG4bKgone\r\n" +
           "From: <sip:alice@192.0.2.10>;tag=a1\r\nTo: <sip:bob@192.0.2.1>;tag=b1\r\nCall-ID: x@192.0.2.10\r\n" +
           "CSeq: 1 INVITE\r\nContent-Length: 0\r\n\r\n";
}

// Our outgoing requests, before the transaction completes them.
std::string ourRequest(const std::string& method = "INVITE", const std::string& requestUri = "sip:bob@192.0.2.1",
                       const std::string& extra = "") {
    return method + " " + requestUri + " SIP/2.0\r\nFrom: \"Alice\" <sip:alice@192.0.2.10>;tag=a1\r\n" +
           "To: <sip:bob@example.com>\r\nCall-ID: call-out@192.0.2.10\r\nCSeq: 7 " + method +
           "\r\nContact: <sip:alice@192.0.2.10>\r\n" + extra + "Content-Length: 0\r\n\r\n";
}

double nowMs() { return NvTime::sGetCurrentTime() / 1000.0; }

// Hooks and logs both recorders share: start lines given to sendingMessage and receivedMessage, everything in
// order in `sequence`, and `onSending` called with each message shown.
template <class Base>
class Recorder : public Base {
public:
    Events events, sent, received, sequence;
    Times eventTimes;
    std::function<void(const NvHandle<NvSipMessage>&, unsigned, const NvInetAddress&)> onSending;

    void sendingMessage(const NvHandle<NvSipMessage>& message, unsigned* port, NvInetAddress* address) override {
        sent.push_back(firstLine(message->toString()));
        sequence.push_back("sent " + sent.back());
        if (onSending) onSending(message, *port, *address);
    }
    void receivedMessage(const NvHandle<NvSipMessage>& message) override {
        received.push_back(firstLine(message->toString()));
        sequence.push_back("received " + received.back());
    }

protected:
    void record(std::string event) {
        sequence.push_back(event);
        events.push_back(std::move(event));
        eventTimes.push_back(nowMs());
    }
    void record(const char* what, const NvHandle<NvSipResponse>& r) {
        record(what + (" " + std::to_string(r->getStatusCode())));
    }
};

// Client events: "provisional 180", "reliable 183", "final 486", "timeout".
// transportError keeps its default, which reports timeOut.
using ClientHandle = NvHandle<NvSipClientTransaction>;
class ClientRecorder : public Recorder<NvSipClientTransactionInterface> {
public:
    void provisionalResponse(ClientHandle, NvHandle<NvSipResponse> r) override { record("provisional", r); }
    void reliableProvisionalResponse(ClientHandle, NvHandle<NvSipResponse> r) override { record("reliable", r); }
    void finalResponse(ClientHandle, NvHandle<NvSipResponse> r) override { record("final", r); }
    void timeOut(ClientHandle) override { record("timeout"); }
};

// Server events: "request INVITE", "ack", "cancel", "timeout", "transportError".
using ServerHandle = NvHandle<NvSipServerTransaction>;
class ServerRecorder : public Recorder<NvSipServerTransactionInterface> {
public:
    ServerHandle transaction;  // of the last `request`
    std::function<void(const ServerHandle&)> onCancel;

    void request(ServerHandle t, NvHandle<NvSipRequest> r) override {
        transaction = t;
        record("request " + r->getMethod().str());
    }
    void ack(ServerHandle, NvHandle<NvSipAckMessage> a) override { record(a ? "ack" : "ack (not an ACK)"); }
    void cancel(ServerHandle t, NvHandle<NvSipCancelMessage> c) override {
        record(c ? "cancel" : "cancel (not a CANCEL)");
        if (onCancel) onCancel(t);
    }
    void timeOut(ServerHandle) override { record("timeout"); }
    void transportError(ServerHandle, const std::string&) override { record("transportError"); }
};

// Builds every server transaction on `recorder`, or refuses them, or marks them handled, as `outcome` says.
class RecordingFactory : public NvTransactionFactoryInterface {
public:
    enum Outcome { Create, Refuse, Handled } outcome = Create;
    int calls = 0;
    NvHandle<ServerRecorder> recorder;
    explicit RecordingFactory(NvHandle<ServerRecorder> r) : recorder(std::move(r)) {}
    ServerHandle createServerTransaction(NvHandle<NvSipRequest> request) override {
        ++calls;
        if (outcome == Create) return ServerHandle(new NvSipServerTransaction(request, recorder.get()));
        if (outcome == Handled) sMarkHandled(request);
        return ServerHandle();
    }
};

// Records stray messages ("strayResponse 200", "strayAck", "strayCancel", "invalid", "malformed") and then does
// what the default does.
class StrayRecorder : public NvStrayMessageInterface {
    using Base = NvStrayMessageInterface;
    template <class M>
    M note(M message, const std::string& event) {
        events.push_back(event);
        return message;
    }

public:
    Events events;
    void strayResponse(NvHandle<NvSipResponse> r) override {
        Base::strayResponse(note(r, "strayResponse " + std::to_string(r->getStatusCode())));
    }
    void strayAck(NvHandle<NvSipAckMessage> a) override { Base::strayAck(note(a, "strayAck")); }
    void strayCancel(NvHandle<NvSipCancelMessage> c) override { Base::strayCancel(note(c, "strayCancel")); }
    void invalidMessage(NvHandle<NvSipMessage> m) override { Base::invalidMessage(note(m, "invalid")); }
    void malFormedMessage(NvHandle<NvSipMessage> m) override { Base::malFormedMessage(note(m, "malformed")); }
};

class TransactionFlow : public ::testing::Test {
protected:
    NvTestClock clock{0};  // times are since the test started
    NvSipTestTransport wire;
    NvSipTransactionManager& manager = *NvSipTransactionManager::getInstance();
    NvHandle<StrayRecorder> stray = new StrayRecorder();
    NvHandle<ServerRecorder> server = new ServerRecorder();
    NvHandle<RecordingFactory> factory = new RecordingFactory(server);
    NvHandle<ClientRecorder> recorder = new ClientRecorder();
    ClientHandle transaction;            // of sendClient
    std::string peerBranch = "z9hG4bKin1";  // of injectFromPeer

    void SetUp() override {
        manager.clear();
        NvSipTransportLayer::sGetInstance()->setReceiver(&manager);
        NvSipTransportLayer::sGetInstance()->setSentBy(nullptr, 0);
        manager.setStrayInterface(stray);
        manager.setTransactionFactoryInterface(factory);
    }
    void TearDown() override {
        manager.clear();
        server->transaction = nullptr;  // it holds the recorder too
        server->onCancel = nullptr;
        manager.setStrayInterface(nullptr);
        manager.setTransactionFactoryInterface(nullptr);
        NvSipServerTransaction::sm_ProceedingTimeoutMs = m_ProceedingTimeoutMs;
    }

    void inject(const std::string& text, NvSocketImpl::Transport transport = NvSocketImpl::UDP) {
        NvSipPeer peer = NvSipTestTransport::sDefaultPeer();
        peer.transport = transport;
        wire.inject(text, peer);
    }
    // The next message sent, which must start with `startLine`; raises (failing the test) when nothing was sent.
    Sent expectSent(const std::string& startLine) {
        if (wire.sentCount() == 0) throw std::runtime_error("nothing was sent; expected " + startLine);
        Sent sent = wire.takeNext();
        EXPECT_EQ(firstLine(sent.bytes).substr(0, startLine.size()), startLine) << sent.bytes;
        return sent;
    }
    void expectNothingSent() {
        EXPECT_EQ(wire.sentCount(), 0u) << "first: " << (wire.sentCount() ? wire.sent().front().bytes : "");
        wire.clear();
    }
    // The server transaction of the last request reported; raises when none was.
    ServerHandle serverTransaction() const {
        if (!server->transaction) throw std::runtime_error("no request was reported to the server interface");
        return server->transaction;
    }
    // The peer's INVITE (or its ACK of our last response) over `transport`.
    void injectFromPeer(const char* method, const char* transport = "UDP") {
        const std::string tag =
            *method == 'A' ? toTagOf(NvHandle<NvSipMessage>(serverTransaction()->getLastResponse())) : "";
        inject(peerRequest(method, peerBranch, tag, "", transport),
               std::string(transport) == "TCP" ? NvSocketImpl::TCP : NvSocketImpl::UDP);
    }
    // An INVITE from the peer, its 100 Trying taken; returns its transaction.
    ServerHandle incomingInvite(const char* transport = "UDP") {
        injectFromPeer("INVITE", transport);
        expectSent("SIP/2.0 100 Trying");
        return serverTransaction();
    }

    // Moves time on millisecond by millisecond; returns when each message went, and keeps them in `sent`.
    Times runFor(uint64_t ms, std::vector<Sent>* sent = nullptr) {
        Times times;
        for (uint64_t i = 0; i < ms; ++i) {
            clock.advance(1);
            while (wire.sentCount()) {
                times.push_back(nowMs());
                Sent s = wire.takeNext();
                if (sent) sent->push_back(std::move(s));
            }
        }
        return times;
    }

    // `t` has ended, left the manager and released its interface.
    template <class T>
    void expectEnded(const T& t) {
        EXPECT_EQ(t.getState(), NvSipTransaction::Terminated);
        EXPECT_EQ(manager.getTransactionCount(), 0u);
        EXPECT_FALSE(t.getInterface());
    }
    // Answers the last request reported with `code`; returns the response as sent.
    Sent answer(unsigned code) {
        serverTransaction()->sendResponse(code);
        return expectSent("SIP/2.0 " + std::to_string(code));
    }
    // Sends `text` on `transaction`, reporting to `recorder`, to its Request-URI or to `address`:`port`.
    Sent sendClient(const std::string& text, const char* address = nullptr, unsigned port = 0) {
        transaction = new NvSipClientTransaction(parseRequest(text), recorder.get());
        NvInetAddress given = NvInetAddress::sParse(address ? address : "0.0.0.0");
        transaction->sendRequest(address ? &port : nullptr, address ? &given : nullptr);
        return expectSent(firstLine(text));
    }

private:
    unsigned m_ProceedingTimeoutMs = NvSipServerTransaction::sm_ProceedingTimeoutMs;
};

const auto byName = [](const auto& info) { return std::string(std::get<0>(info.param)); };

using TransactionClient = TransactionFlow;

TEST_F(TransactionClient, GetsOurViaAndMaxForwardsUnlessTheCallerSetThem) {
    const Sent invite = sendClient(ourRequest());
    const std::string via = header(invite.message, "Via");
    EXPECT_EQ(via.rfind("SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK", 0), 0u) << via;
    EXPECT_NE(via.find("rport"), std::string::npos) << via;
    EXPECT_EQ(header(invite.message, "Via", 1) + header(invite.message, "Max-Forwards"), "70");
    EXPECT_THROW(transaction->sendRequest(), NvHandle<NvException>);  // sent already
    expectNothingSent();

    const std::string mine = "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bKmine\r\nMax-Forwards: 12\r\n";
    const Sent own = sendClient(ourRequest("OPTIONS", "sip:bob@192.0.2.1", mine));
    EXPECT_EQ(header(own.message, "Via", 1) + header(own.message, "Max-Forwards"), "12");
    inject(peerResponse(own, 200));  // matched on the caller's branch
    EXPECT_EQ(recorder->events, Events{"final 200"});
}

// Retransmissions (timers A and E) and the time-out (B and F) 64*T1 after sending, by request and transport; a
// provisional at 600 ms stops an INVITE's retransmissions and timer B, and makes a non-INVITE's every T2.
// name, our request, whether a provisional comes, when it went again (ms after sending)
using RetransmissionCase = std::tuple<const char*, std::string, bool, Times>;

class TransactionClientTimers : public TransactionFlow, public ::testing::WithParamInterface<RetransmissionCase> {};

TEST_P(TransactionClientTimers, RetransmitsThenTimesOutAfter64T1) {
    const auto& [name, ours, provisional, retransmissions] = GetParam();
    const Sent request = sendClient(ours);
    Times times = runFor(600);
    if (provisional) inject(peerResponse(request, 100, ""));
    for (double t : runFor(70000)) times.push_back(t);
    EXPECT_EQ(times, retransmissions);
    EXPECT_EQ(recorder->events.back(), provisional && ours[0] == 'I' ? "provisional 100" : "timeout");
    if (recorder->events.back() == "timeout") {
        EXPECT_EQ(recorder->eventTimes.back(), 32000);
        expectEnded(*transaction);
    }
}

INSTANTIATE_TEST_SUITE_P(
    ByRequest, TransactionClientTimers,
    ::testing::Values(
        RetransmissionCase{"InviteOnTimerADoublingFromT1", ourRequest(), false, {500, 1500, 3500, 7500, 15500, 31500}},
        RetransmissionCase{"OptionsOnTimerEDoublingUpToT2", ourRequest("OPTIONS"), false,
                           {500, 1500, 3500, 7500, 11500, 15500, 19500, 23500, 27500, 31500}},
        RetransmissionCase{"InviteOverTcpNever", ourRequest("INVITE", "sip:bob@192.0.2.1;transport=tcp"), false, {}},
        RetransmissionCase{"InviteAfterAProvisionalNever", ourRequest(), true, {500}},
        RetransmissionCase{"OptionsAfterAProvisionalEveryT2", ourRequest("OPTIONS"), true,
                           {500, 1500, 5500, 9500, 13500, 17500, 21500, 25500, 29500}}),
    byName);

// A final response: reported once, acknowledged (INVITE 300-699), its retransmissions absorbed (the ACK going
// again) until timer D or K, or the transaction ends at once (an INVITE's 2xx; D and K are 0 over TCP).
// name, our request, the response's code, its transport, whether it is acknowledged, how long it is absorbed (ms)
using FinalCase = std::tuple<const char*, std::string, int, NvSocketImpl::Transport, bool, int>;

class TransactionClientFinal : public TransactionFlow, public ::testing::WithParamInterface<FinalCase> {};

TEST_P(TransactionClientFinal, IsReportedOnceThenAbsorbedUntilItsTimer) {
    const auto& [name, ours, code, transport, acknowledged, absorbMs] = GetParam();
    const Sent request = sendClient(ours);
    std::string forged = peerResponse(request, code);  // our branch, another sent-by: not ours
    inject(forged.replace(forged.find("192.0.2.10:5060"), 15, "198.51.100.7:5060"), transport);
    for (int copy = 0; copy < (absorbMs ? 2 : 1); ++copy) {
        inject(peerResponse(request, code), transport);
        if (acknowledged) expectSent("ACK ");
        expectNothingSent();
    }
    EXPECT_EQ(recorder->events, Events{"final " + std::to_string(code)});
    if (absorbMs) {
        EXPECT_EQ(transaction->getState(), NvSipTransaction::Completed);
        EXPECT_TRUE(runFor(absorbMs - 1).empty());
        EXPECT_EQ(manager.getTransactionCount(), 1u);
        EXPECT_TRUE(transaction->getInterface());
        runFor(1);
    }
    expectEnded(*transaction);
    inject(peerResponse(request, code), transport);  // now a stray, as one from another fork
    inject(peerResponse(request, code, "otherFork"), transport);
    const std::string late = "strayResponse " + std::to_string(code);
    EXPECT_EQ(stray->events, (Events{"invalid", late, late}));
    EXPECT_EQ(recorder->events.size(), 1u);
    expectNothingSent();
}

INSTANTIATE_TEST_SUITE_P(
    ByResponse, TransactionClientFinal,
    ::testing::Values(
        FinalCase{"Invite2xxEndsAtOnce", ourRequest(), 200, NvSocketImpl::UDP, false, 0},
        FinalCase{"InviteFailureUntilTimerD", ourRequest(), 486, NvSocketImpl::UDP, true, 32000},
        FinalCase{"InviteFailureOverTcp", ourRequest("INVITE", "sip:bob@192.0.2.1;transport=tcp"), 603,
                  NvSocketImpl::TCP, true, 0},
        FinalCase{"OptionsUntilTimerK", ourRequest("OPTIONS"), 200, NvSocketImpl::UDP, false, 5000},
        FinalCase{"OptionsOverTcp", ourRequest("OPTIONS", "sip:bob@192.0.2.1;transport=tcp"), 404, NvSocketImpl::TCP,
                  false, 0}),
    byName);

TEST_F(TransactionClient, ReliableProvisionalNeedsRSeqAndRequire100relAndIsReportedOncePerRSeq) {
    const Sent invite = sendClient(ourRequest());
    inject(peerResponse(invite, 183, "b1", "Require: 100rel\r\nRSeq: 1\r\n"));
    inject(peerResponse(invite, 183, "b1", "Require: 100rel\r\nRSeq: 1\r\n"));  // retransmitted until PRACK
    inject(peerResponse(invite, 180, "b1", "Require: 100rel\r\nRSeq: 2\r\n"));
    inject(peerResponse(invite, 180, "b1", "RSeq: 3\r\n"));
    inject(peerResponse(invite, 180, "b1", "Require: 100rel\r\n"));
    inject(peerResponse(invite, 183, "b2", "Require: timer, 100rel\r\nRSeq: 1\r\n"));  // another fork
    EXPECT_EQ(recorder->events,
              (Events{"reliable 183", "reliable 180", "provisional 180", "provisional 180", "reliable 183"}));
}

// Each message is shown to the INVITE's interface, at its destination, before it leaves (nothing has left yet)
// and before the event it causes; the CANCEL and its answer too. A CANCEL still pending when the final response
// comes is dropped; a non-INVITE cannot be cancelled.
TEST_F(TransactionClient, CancelWaitsForTheFirstProvisionalAndItAndTheAckCopyTheInvitesIdentityAndRoutes) {
    Events shown;
    recorder->onSending = [&](const NvHandle<NvSipMessage>& m, unsigned port, const NvInetAddress& address) {
        shown.push_back(firstLine(m->toString()).substr(0, 3) + " to " + address.toString().str() + ":" +
                        std::to_string(port) + " after " + std::to_string(wire.sentCount()));
    };
    const Sent invite = sendClient(
        ourRequest("INVITE", "sip:bob@example.com", "Route: <sip:192.0.2.1;lr>\r\nRoute: <sip:p2.example.com;lr>\r\n"));
    transaction->cancel();
    expectNothingSent();
    inject(peerResponse(invite, 180, "b1"));
    const Sent cancel = expectSent("CANCEL sip:bob@example.com SIP/2.0");
    EXPECT_EQ(manager.getTransactionCount(), 2u);  // the INVITE and the CANCEL
    transaction->cancel();                         // once only
    inject(peerResponse(cancel, 200, "b1"));       // the CANCEL's own answer goes nowhere
    inject(peerResponse(invite, 487, "busy1"));
    const Sent ack = expectSent("ACK sip:bob@example.com SIP/2.0");
    expectNothingSent();
    for (const auto& [sent, method, to] :
         {std::make_tuple(cancel, "CANCEL", ""), std::make_tuple(ack, "ACK", ";tag=busy1")}) {
        EXPECT_EQ(headerLines(sent), (Events{std::string("CSeq: 7 ") + method, "Call-ID: call-out@192.0.2.10",
                                             "Content-Length: 0", "From: \"Alice\" <sip:alice@192.0.2.10>;tag=a1",
                                             "Max-Forwards: 70", "Route: <sip:192.0.2.1;lr>",
                                             "Route: <sip:p2.example.com;lr>",
                                             std::string("To: <sip:bob@example.com>") + to,
                                             "Via: " + header(invite.message, "Via")}));
        EXPECT_EQ(sent.destination.toString(), invite.destination.toString());
    }
    EXPECT_EQ(shown, (Events{"INV to 192.0.2.1:5060 after 0", "CAN to 192.0.2.1:5060 after 0",
                             "ACK to 192.0.2.1:5060 after 0"}));
    EXPECT_EQ(recorder->sequence,
              (Events{"sent INVITE sip:bob@example.com SIP/2.0", "received SIP/2.0 180 Ringing",
                      "sent CANCEL sip:bob@example.com SIP/2.0", "provisional 180", "received SIP/2.0 200 OK",
                      "received SIP/2.0 487 Request Terminated", "sent ACK sip:bob@example.com SIP/2.0", "final 487"}));

    const Sent second = sendClient(ourRequest());
    transaction->cancel();
    inject(peerResponse(second, 486));
    expectSent("ACK ");
    transaction->cancel();
    sendClient(ourRequest("OPTIONS"));
    EXPECT_THROW(transaction->cancel(), NvHandle<NvException>);
    expectNothingSent();
}

using TransactionServer = TransactionFlow;

TEST_F(TransactionServer, InviteGets100TryingAtOnceThenTheLastResponseAgainAndOneTagNoProvisionalAfterTheFinal) {
    injectFromPeer("INVITE");
    const Sent trying = expectSent("SIP/2.0 100 Trying");
    EXPECT_EQ(toTagOf(trying.message) + trying.destination.toString(), "udp:192.0.2.1:5060");  // no tag
    injectFromPeer("INVITE");  // retransmission
    expectSent("SIP/2.0 100 Trying");
    const std::string tag = toTagOf(answer(180).message);
    injectFromPeer("INVITE");
    EXPECT_EQ(toTagOf(expectSent("SIP/2.0 180 Ringing").message), tag);
    const ServerHandle invite = serverTransaction();
    NvHandle<NvSipResponse> reliable(new NvSipResponse(183, invite->getInitialRequest()));
    reliable->addHeader(NvHandle<NvSipHeader>(new NvSipRSeqHeader(1)));
    invite->sendReliableResponse(reliable);  // gets Require: 100rel
    const Sent first = expectSent("SIP/2.0 183");
    EXPECT_EQ(header(first.message, "Require") + header(first.message, "RSeq"), "100rel1");
    invite->sendReliableResponse(reliable);  // the caller's retransmission: one Require still
    EXPECT_EQ(expectSent("SIP/2.0 183").bytes, first.bytes);
    EXPECT_THROW(invite->sendReliableResponse(new NvSipResponse(200, invite->getInitialRequest())),
                 NvHandle<NvException>);
    // The INVITE comes again; while its 183 is on its way out, another thread answers 486: the 183 stays.
    server->onSending = [&](const NvHandle<NvSipMessage>& m, unsigned, const NvInetAddress&) {
        if (NvHandle<NvSipResponse>(m)->getStatusCode() != 183) return;
        server->onSending = nullptr;
        EXPECT_TRUE(invite->trySendResponse(486));
    };
    injectFromPeer("INVITE");
    expectSent("SIP/2.0 486");
    // trySendResponse says what can no longer go (the hang-up's 487 after the final response); misuse raises.
    EXPECT_FALSE(invite->canSendFinalResponse() || invite->trySendResponse(487) || invite->trySendResponse(183));
    EXPECT_THROW(invite->sendResponse(487), NvHandle<NvException>);
    EXPECT_THROW(invite->trySendResponse(700), NvHandle<NvException>);
    expectNothingSent();
    EXPECT_FALSE(tag.empty());
    EXPECT_EQ(server->events, Events{"request INVITE"});
    EXPECT_EQ(server->received.size(), 4u);
    EXPECT_EQ(server->sent, (Events{"SIP/2.0 100 Trying", "SIP/2.0 100 Trying", "SIP/2.0 180 Ringing",
                                    "SIP/2.0 180 Ringing", "SIP/2.0 183 Session Progress",
                                    "SIP/2.0 183 Session Progress", "SIP/2.0 183 Session Progress",
                                    "SIP/2.0 486 Busy Here"}));
}

TEST_F(TransactionServer, ThreadsRespondingAtOnceShareOneTag) {
    for (int round = 0; round < 1000; ++round) {
        const ServerHandle invite(new NvSipServerTransaction(
            parseRequest(peerRequest("INVITE", "z9hG4bKrace" + std::to_string(round))), nullptr));
        std::atomic<bool> go{false};
        auto respond = [&](unsigned code) {
            while (!go) std::this_thread::yield();
            invite->sendResponse(code);
        };
        std::thread first(respond, 180u), second(respond, 183u);
        go = true;
        first.join();
        second.join();
        ASSERT_EQ(toTagOf(wire.takeNext().message), toTagOf(wire.takeNext().message)) << "round " << round;
        manager.clear();
    }
}

// After a 2xx the INVITE has ended: its retransmissions are dropped for 64*T1, its ACK and a CANCEL are strays.
// A CANCEL after a failure response changes nothing and only gets its 200.
TEST_F(TransactionServer, TwoHundredEndsTheInviteAndLaterRetransmissionsAreDroppedCancelsNotReported) {
    const auto invite = incomingInvite();
    answer(200);
    expectEnded(*invite);
    EXPECT_FALSE(invite->trySendResponse(487));
    inject(peerRequest("INVITE", "z9hG4bKin1"));  // crossed our 2xx: dropped, not a new request
    expectNothingSent();
    inject(peerRequest("ACK", "z9hG4bKack1", "t1"));
    inject(peerRequest("CANCEL", "z9hG4bKin1"));
    expectSent("SIP/2.0 481");
    EXPECT_EQ(stray->events, (Events{"strayAck", "strayCancel"}));
    EXPECT_EQ(factory->calls, 1);
    runFor(31999);
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    EXPECT_EQ(factory->calls, 1);
    runFor(1);  // 64*T1 after the 2xx the branch is forgotten
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    EXPECT_EQ(factory->calls, 2);
    expectSent("SIP/2.0 100");
    peerBranch = "z9hG4bKin2";
    incomingInvite();
    answer(486);
    inject(peerRequest("CANCEL", "z9hG4bKin2"));
    EXPECT_EQ(header(expectSent("SIP/2.0 200 OK").message, "CSeq"), "1 CANCEL");
    EXPECT_EQ(server->events, (Events{"request INVITE", "request INVITE", "request INVITE"}));
    EXPECT_EQ(stray->events.size(), 2u);
}

// A final response goes again for each retransmitted request. An INVITE's 300-699 also goes on timer G over UDP
// until the ACK, reported once and then absorbed for timer I (0 over TCP); without the ACK, timer H ends it; a
// non-INVITE's is kept for timer J. Then the branch is new again. Without a branch of the magic-cookie kind,
// the request and its ACK are matched on their identity and tags.
// name, method, transport, branch, when it went again in the 12 s after the response, when it ends after that (after
// the ACK for an INVITE), the events ("ack", or "timeout" (timer H) when none is sent)
using ServerFinalCase = std::tuple<const char*, const char*, const char*, const char*, Times, int, Events>;

class TransactionServerFinal : public TransactionFlow, public ::testing::WithParamInterface<ServerFinalCase> {};

TEST_P(TransactionServerFinal, GoesAgainUntilItsTimerEndsTheTransaction) {
    const auto& [name, method, transport, branch, retransmissions, endsMs, events] = GetParam();
    const bool invite = std::string(method) == "INVITE";
    peerBranch = branch;
    injectFromPeer(method, transport);
    if (invite) expectSent("SIP/2.0 100 Trying");  // none for a non-INVITE
    const Sent final = answer(invite ? 486 : 200);
    std::vector<Sent> again;
    EXPECT_EQ(runFor(12000, &again), retransmissions);
    injectFromPeer(method, transport);
    again.push_back(expectSent(firstLine(final.bytes)));
    for (const auto& s : again) EXPECT_EQ(s.bytes, final.bytes);
    const bool ack = events.size() > 1 && events[1] == "ack";
    if (ack) injectFromPeer("ACK", transport);
    if (ack && endsMs) injectFromPeer("ACK", transport);  // a retransmitted ACK: absorbed
    if (endsMs) {
        EXPECT_EQ(runFor(endsMs - 1).size(), events.back() == "timeout" ? 5u : 0u);  // G goes on until H
        EXPECT_EQ(manager.getTransactionCount(), 1u);
        runFor(1);
    }
    expectEnded(*serverTransaction());
    EXPECT_EQ(server->events, events);
    EXPECT_TRUE(stray->events.empty());
    injectFromPeer(method, transport);
    EXPECT_EQ(factory->calls, 2);
}

INSTANTIATE_TEST_SUITE_P(
    ByRequest, TransactionServerFinal,
    ::testing::Values(
        ServerFinalCase{"InviteOnTimerGThenI", "INVITE", "UDP", "z9hG4bKin1", {500, 1500, 3500, 7500, 11500}, 5000,
                        {"request INVITE", "ack"}},
        ServerFinalCase{"InviteWithoutAckUntilTimerH", "INVITE", "UDP", "z9hG4bKin1", {500, 1500, 3500, 7500, 11500},
                        20000, {"request INVITE", "timeout"}},
        ServerFinalCase{"InviteOverTcp", "INVITE", "TCP", "z9hG4bKin1", {}, 0, {"request INVITE", "ack"}},
        ServerFinalCase{"OptionsUntilTimerJ", "OPTIONS", "UDP", "z9hG4bKin1", {}, 20000, {"request OPTIONS"}},
        ServerFinalCase{"LegacyInviteMatchedOnItsIdentity", "INVITE", "UDP", "", {500, 1500, 3500, 7500, 11500},
                        5000, {"request INVITE", "ack"}}),
    byName);

TEST_F(TransactionServer, ProceedingTimeOutRefusesLateResponsesUnlessAskedToSendTheFinalOne) {
    NvSipServerTransaction::sm_ProceedingTimeoutMs = 10000;
    const auto invite = incomingInvite();
    answer(180);
    runFor(10000);
    EXPECT_EQ(server->events, (Events{"request INVITE", "timeout"}));
    EXPECT_EQ(server->eventTimes.back(), 10000);
    EXPECT_FALSE(invite->canSendFinalResponse());
    EXPECT_THROW(invite->sendResponse(183), NvHandle<NvException>);
    EXPECT_FALSE(invite->trySendResponse(408));
    expectNothingSent();
    invite->setOnTimeoutSendFinalResponse(true);
    EXPECT_TRUE(invite->canSendFinalResponse());
    EXPECT_FALSE(invite->trySendResponse(183));  // only the final response may still go
    answer(408);
    EXPECT_TRUE(runFor(5000).empty());  // sent once: no timer G
    inject(peerRequest("INVITE", "z9hG4bKin1"));
    expectSent("SIP/2.0 408");  // still absorbed meanwhile
    runFor(26999);              // 64*T1 after the time-out it is gone
    EXPECT_EQ(manager.getTransactionCount(), 1u);
    runFor(1);
    expectEnded(*invite);
}

// Whatever the interface answers itself when told `cancel`, the CANCEL gets one 200 and the INVITE one 487.
using CancelCase = std::tuple<const char*, bool, bool>;  // name, whether the interface answers the CANCEL, the INVITE

class TransactionServerCancel : public TransactionFlow, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(TransactionServerCancel, CancelGets200AndTheInvite487Once) {
    const auto invite = incomingInvite();
    server->onCancel = [&](const ServerHandle& cancel) {
        if (std::get<1>(GetParam())) cancel->sendResponse(200);
        if (std::get<2>(GetParam())) invite->sendResponse(487);
    };
    inject(peerRequest("CANCEL", "z9hG4bKin1"));
    EXPECT_EQ(server->events, (Events{"request INVITE", "cancel"}));
    EXPECT_EQ(factory->calls, 1);  // the CANCEL was not offered to the factory
    std::multiset<std::string> answers;
    for (const Sent& s : wire.sent()) answers.insert(firstLine(s.bytes) + " / " + header(s.message, "CSeq"));
    wire.clear();
    EXPECT_EQ(answers, (std::multiset<std::string>{"SIP/2.0 200 OK / 1 CANCEL",
                                                   "SIP/2.0 487 Request Terminated / 1 INVITE"}));
    inject(peerRequest("CANCEL", "z9hG4bKin1"));  // retransmission: absorbed by the CANCEL's transaction
    expectSent("SIP/2.0 200 OK");
    injectFromPeer("ACK");
    EXPECT_EQ(server->events, (Events{"request INVITE", "cancel", "ack"}));
    // The CANCEL and its answer are shown to the INVITE's interface as messages.
    EXPECT_EQ(server->received, (Events{"INVITE sip:bob@192.0.2.10 SIP/2.0", "CANCEL sip:bob@192.0.2.10 SIP/2.0",
                                        "CANCEL sip:bob@192.0.2.10 SIP/2.0", "ACK sip:bob@192.0.2.10 SIP/2.0"}));
    EXPECT_EQ(server->sent.size(), 4u);  // 100, 200, 487 and the 200 again
}

INSTANTIATE_TEST_SUITE_P(ByWhoAnswers, TransactionServerCancel,
                         ::testing::Values(CancelCase{"StackAnswersBoth", false, false},
                                           CancelCase{"InterfaceAnswersBoth", true, true},
                                           CancelCase{"InterfaceAnswersTheCancel", true, false},
                                           CancelCase{"InterfaceAnswersTheInvite", false, true}),
                         byName);

// A new INVITE gets: a transaction (100 Trying); nothing after sMarkHandled (no transaction kept: a
// retransmission is offered again); with plain nil, or with no factory, 480 on the manager's own transaction,
// which absorbs the retransmission and the ACK (no timer G).
// name, the factory's outcome, whether there is a factory, the answer ("" for none), calls after the retransmission
using FactoryCase = std::tuple<const char*, RecordingFactory::Outcome, bool, const char*, int>;

class TransactionFactory : public TransactionFlow, public ::testing::WithParamInterface<FactoryCase> {};

TEST_P(TransactionFactory, DecidesWhatANewRequestGets) {
    const auto& [name, outcome, hasFactory, answer, calls] = GetParam();
    factory->outcome = outcome;
    if (!hasFactory) manager.setTransactionFactoryInterface(nullptr);
    std::string tag;
    for (int copy = 0; copy < 2; ++copy) {  // the INVITE and its retransmission
        inject(peerRequest("INVITE", "z9hG4bKin1"));
        if (*answer) tag = toTagOf(expectSent(answer).message);
        expectNothingSent();
    }
    EXPECT_EQ(manager.getTransactionCount(), *answer ? 1u : 0u);
    EXPECT_EQ(factory->calls, calls);
    EXPECT_EQ(server->events.size(), outcome == RecordingFactory::Create ? 1u : 0u);
    if (!tag.empty()) {  // the 480
        inject(peerRequest("ACK", "z9hG4bKin1", tag));
        EXPECT_TRUE(runFor(40000).empty());
        EXPECT_EQ(manager.getTransactionCount(), 0u);
    }
    EXPECT_TRUE(stray->events.empty());
}

INSTANTIATE_TEST_SUITE_P(
    ByOutcome, TransactionFactory,
    ::testing::Values(FactoryCase{"Transaction", RecordingFactory::Create, true, "SIP/2.0 100", 1},
                      FactoryCase{"MarkedHandled", RecordingFactory::Handled, true, "", 2},
                      FactoryCase{"Refused", RecordingFactory::Refuse, true, "SIP/2.0 480 Temporarily Unavailable", 1},
                      FactoryCase{"NoFactory", RecordingFactory::Refuse, false, "SIP/2.0 480", 0}),
    byName);

// A message the transport refuses, at once (send raises) or later (sendFailed), ends the transaction it belongs
// to (an ACK's, or a CANCEL's answer's: the INVITE's), which reports it once (ClientRecorder keeps
// transportError's default: timeOut).
enum class Refused { Request, Ack, Response, LateAck, LateResponse, LateCancelAnswer, Late2543 };
using RefusedCase = std::tuple<const char*, Refused, Events, Events>;  // name, what is refused, client, server events

class TransactionRefusedSend : public TransactionFlow, public ::testing::WithParamInterface<RefusedCase> {
protected:
    // Runs the flow up to the refused send; a late one is reported as the transport would.
    void runTo(Refused send) {
        NvHandle<NvSipMessage> late;
        switch (send) {
            case Refused::Request:  // raises, reporting nothing
                transaction = new NvSipClientTransaction(
                    parseRequest(ourRequest("INVITE", "sip:bob@192.0.2.1;transport=sctp")), recorder.get());
                EXPECT_THROW(transaction->sendRequest(), NvHandle<NvException>);
                break;
            case Refused::Ack: {
                const Sent invite = sendClient(ourRequest());
                transaction->getInitialRequest()->setURI(NvURI::sParse("sip:bob@192.0.2.1;transport=sctp"));
                inject(peerResponse(invite, 486));
                break;
            }
            case Refused::Response: {
                NvHandle<NvSipResponse> response(new NvSipResponse(486, incomingInvite()->getInitialRequest()));
                response->removeHeader(NvSipHeaderID::Via);  // nowhere to go
                EXPECT_FALSE(serverTransaction()->trySendResponse(response));
                break;
            }
            case Refused::LateAck:
                inject(peerResponse(sendClient(ourRequest()), 486));
                late = expectSent("ACK ").message;
                break;
            case Refused::LateResponse:
                incomingInvite();
                late = answer(486).message;
                break;
            case Refused::LateCancelAnswer:
                incomingInvite();
                inject(peerRequest("CANCEL", "z9hG4bKin1"));
                late = expectSent("SIP/2.0 200").message;
                break;
            case Refused::Late2543:  // matched as the transaction's last response
                inject(peerRequest("OPTIONS", ""));
                answer(200);
                late = NvHandle<NvSipMessage>(serverTransaction()->getLastResponse());
                break;
        }
        wire.clear();
        if (late) manager.sendFailed(late, "connection refused");
    }
};

TEST_P(TransactionRefusedSend, EndsTheTransactionAndIsReportedOnce) {
    const auto& [name, send, clientEvents, serverEvents] = GetParam();
    runTo(send);
    const NvHandle<NvSipTransaction> ended =
        transaction ? NvHandle<NvSipTransaction>(transaction) : NvHandle<NvSipTransaction>(serverTransaction());
    EXPECT_EQ(ended->getState(), NvSipTransaction::Terminated);
    EXPECT_FALSE(transaction ? bool(transaction->getInterface()) : bool(serverTransaction()->getInterface()));
    ended->transportFailed("refused again");  // not reported again
    EXPECT_TRUE(runFor(40000).empty());  // the CANCEL's own transaction runs out meanwhile
    EXPECT_EQ(manager.getTransactionCount(), 0u);
    EXPECT_EQ(recorder->events, clientEvents);
    EXPECT_EQ(server->events, serverEvents);
}

INSTANTIATE_TEST_SUITE_P(
    BySend, TransactionRefusedSend,
    ::testing::Values(
        RefusedCase{"Request", Refused::Request, {}, {}},
        RefusedCase{"Ack", Refused::Ack, {"final 486", "timeout"}, {}},
        RefusedCase{"Response", Refused::Response, {}, {"request INVITE", "transportError"}},
        RefusedCase{"LateAck", Refused::LateAck, {"final 486", "timeout"}, {}},
        RefusedCase{"LateResponse", Refused::LateResponse, {}, {"request INVITE", "transportError"}},
        RefusedCase{"LateCancelAnswer", Refused::LateCancelAnswer, {}, {"request INVITE", "cancel", "transportError"}},
        RefusedCase{"LateLegacyResponse", Refused::Late2543, {}, {"request OPTIONS", "transportError"}}),
    byName);

// One sent-by rule for matching requests and for telling our responses: hosts without case or IPv6 brackets,
// an absent port is the transport's default (5061 for TLS, else 5060).
TEST_F(TransactionServer, RequestsAreMatchedOnTheirSentBy) {
    const std::tuple<const char*, const char*, const char*, bool> cases[] = {
        // transport, the first request's sent-by, the retransmission's, whether it matched
        {"UDP", "192.0.2.1:5060", "192.0.2.1", true},
        {"UDP", "192.0.2.1", "192.0.2.1:5062", false},
        {"TCP", "Host.Example.COM", "host.example.com:5060", true},
        {"TLS", "192.0.2.1", "192.0.2.1:5061", true},
        {"TLS", "192.0.2.1", "192.0.2.1:5060", false},
        {"UDP", "[2001:DB8::1]:5060", "[2001:db8::1]", true}};
    for (const auto& [transport, first, second, same] : cases) {
        const int calls = factory->calls;
        const std::string branch = "z9hG4bKopt" + std::to_string(calls);
        inject(peerRequest("OPTIONS", branch, "", "", transport, first));
        inject(peerRequest("OPTIONS", branch, "", "", transport, second));
        EXPECT_EQ(factory->calls - calls, same ? 1 : 2) << transport << " " << first << " / " << second;
    }
}

// Messages no transaction takes go to the stray handler, whose default answers a CANCEL and a malformed request.
using TransactionStray = TransactionFlow;

TEST_F(TransactionStray, GoesToTheStrayHandler) {
    const auto withoutCallId = [](std::string text) {
        return text.erase(text.find("Call-ID:"), text.find("CSeq:") - text.find("Call-ID:"));
    };
    const std::tuple<std::string, const char*, const char*> cases[] = {
        // message, event, answer or ""
        {strayResponse("192.0.2.10:5060"), "strayResponse 200", ""},
        {strayResponse("192.0.2.10"), "strayResponse 200", ""},  // our host, no port
        {strayResponse("198.51.100.7:5060"), "invalid", ""},
        {peerRequest("ACK", "z9hG4bKnothing", "t1"), "strayAck", ""},
        {peerRequest("CANCEL", "z9hG4bKnothing"), "strayCancel", "SIP/2.0 481 Call/Transaction Does Not Exist"},
        {withoutCallId(peerRequest("OPTIONS", "z9hG4bKbad")), "malformed", "SIP/2.0 400 Bad Request"},
        {peerRequest("OPTIONS", "z9hG4bKbad", "", "INVITE"), "malformed", "SIP/2.0 400"},  // CSeq method differs
        {peerRequest("ACK", "z9hG4bKbad", "t1", "INVITE"), "malformed", ""},
        {withoutCallId(strayResponse("192.0.2.10:5060")), "malformed", ""}};
    for (const auto& [message, event, answer] : cases) {
        inject(message);
        EXPECT_EQ(stray->events, Events{event}) << message;
        if (*answer) expectSent(answer);
        expectNothingSent();
        stray->events.clear();
    }
    EXPECT_EQ(factory->calls, 0);
}

class TransactionSnapshot : public TransactionFlow {
protected:
    // Rebuilds `t` from its snapshot, the manager having forgotten it as in a new process.
    template <class T, class Interface>
    NvHandle<T> rebuilt(const T& t, Interface* interface) {
        NvByteArrayOutputStream out;
        t.serialize(out);
        manager.clear();
        NvByteArrayInputStream in(out.toByteArray());
        NvHandle<T> copy = T::sCreateFrom(in, interface);
        EXPECT_EQ(in.available(), 0u);
        EXPECT_EQ(copy->getKey(), t.getKey());
        EXPECT_EQ(copy->getState(), t.getState());
        return copy;
    }
};

TEST_F(TransactionSnapshot, RebuiltServerTransactionsAnswerAbsorbRetransmissionsAndTakeTheAck) {
    incomingInvite();
    const std::string tag = toTagOf(answer(180).message);
    NvHandle<ServerRecorder> user = new ServerRecorder();
    auto copy = rebuilt(*serverTransaction(), user.get());
    EXPECT_EQ(copy->getInterface(), NvHandle<NvSipServerTransactionInterface>(user));
    injectFromPeer("INVITE");
    expectSent("SIP/2.0 180");
    copy->sendResponse(486);
    const Sent busy = expectSent("SIP/2.0 486");
    EXPECT_EQ(toTagOf(busy.message), tag);
    copy = rebuilt(*copy, user.get());
    EXPECT_EQ(manager.getTransactionCount(), 1u);
    injectFromPeer("INVITE");
    EXPECT_EQ(expectSent("SIP/2.0 486").bytes, busy.bytes);
    EXPECT_EQ(runFor(600), Times{500});  // timer G runs again
    NvHandle<ServerRecorder> replacement = new ServerRecorder();
    copy->setInterface(replacement.get());
    inject(peerRequest("ACK", "z9hG4bKin1", tag));
    EXPECT_EQ(replacement->events, Events{"ack"});
    EXPECT_TRUE(user->events.empty());  // the request was reported before
    EXPECT_EQ(server->events, Events{"request INVITE"});
    EXPECT_EQ(factory->calls, 1);
}

// Sent to a given place, each message of a rebuilt client transaction (retransmission, CANCEL, ACK) goes there.
TEST_F(TransactionSnapshot, RebuiltClientTransactionsKeepTheirDestinationTimersAndCancel) {
    const Sent invite = sendClient(ourRequest(), "192.0.2.50", 5070);
    NvHandle<ClientRecorder> user = new ClientRecorder();
    auto copy = rebuilt(*transaction, user.get());
    std::vector<Sent> sent{invite};
    EXPECT_EQ(runFor(600, &sent), Times{500});  // timer A runs again
    inject(peerResponse(invite, 180));
    // A CANCEL built by a dialog keeps its own headers but identifies the INVITE.
    copy->cancel(NvHandle<NvSipCancelMessage>(parseRequest(
        "CANCEL sip:bob@192.0.2.99 SIP/2.0\r\nVia: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bKwrong\r\n"
        "Max-Forwards: 30\r\nRoute: <sip:192.0.2.98;lr>\r\nFrom: \"Alice\" <sip:alice@192.0.2.10>;tag=a1\r\n"
        "To: <sip:bob@example.com>;tag=b1\r\nCall-ID: call-out@192.0.2.10\r\nCSeq: 99 CANCEL\r\n"
        "Reason: SIP;cause=600;text=\"Busy Everywhere\"\r\nContent-Length: 0\r\n\r\n")));
    sent.push_back(expectSent("CANCEL sip:bob@192.0.2.1 SIP/2.0"));
    EXPECT_EQ(headerLines(sent.back()),
              (Events{"CSeq: 7 CANCEL", "Call-ID: call-out@192.0.2.10", "Content-Length: 0",
                      "From: \"Alice\" <sip:alice@192.0.2.10>;tag=a1", "Max-Forwards: 30",
                      "Reason: SIP;cause=600;text=\"Busy Everywhere\"", "To: <sip:bob@example.com>",
                      "Via: " + header(invite.message, "Via")}));
    copy = rebuilt(*copy, user.get());  // cancelled: not again, and abandoned 64*T1 on
    copy->cancel();
    expectNothingSent();
    runFor(32000);
    EXPECT_EQ(user->events, (Events{"provisional 180", "timeout"}));
    EXPECT_EQ(user->eventTimes.back(), 600 + 32000);  // 64*T1 after the CANCEL
    EXPECT_TRUE(recorder->events.empty());

    const Sent second = sendClient(ourRequest(), "192.0.2.50", 5070);
    inject(peerResponse(second, 486));
    const Sent ack = expectSent("ACK ");
    copy = rebuilt(*transaction, user.get());
    ASSERT_TRUE(copy->getLastResponse());
    EXPECT_EQ(copy->getLastResponse()->getStatusCode(), 486);
    inject(peerResponse(second, 486));  // absorbed until timer D, the ACK going again
    sent.push_back(expectSent("ACK "));
    EXPECT_EQ(sent.back().bytes, ack.bytes);
    EXPECT_TRUE(runFor(32000).empty());
    EXPECT_EQ(manager.getTransactionCount(), 0u);
    EXPECT_TRUE(stray->events.empty());
    for (const Sent& s : sent) EXPECT_EQ(s.destination.toString(), "udp:192.0.2.50:5070") << s.bytes;
}

TEST_F(TransactionSnapshot, TruncatedOrOtherKindOfSnapshotRaisesNvException) {
    incomingInvite();
    answer(486);
    sendClient(ourRequest());
    transaction->cancel();
    NvByteArrayOutputStream out[2];  // server, client
    serverTransaction()->serialize(out[0]);
    transaction->serialize(out[1]);
    for (int kind = 0; kind < 2; ++kind) {
        const std::string full = out[kind].toByteArray(), other = out[1 - kind].toByteArray();
        for (size_t length = 0; length <= full.size(); ++length) {
            NvByteArrayInputStream in(length < full.size() ? full.substr(0, length) : other);
            EXPECT_THROW(kind == 0 ? (void)NvSipServerTransaction::sCreateFrom(in, nullptr)
                                   : (void)NvSipClientTransaction::sCreateFrom(in, nullptr),
                         NvHandle<NvException>)
                << "kind " << kind << ", length " << length;
            manager.clear();
        }
    }
}

}  // namespace transaction_test
