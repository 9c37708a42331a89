// The transactions and the transaction manager as call flows: the peer (192.0.2.1:5060) talks through the test
// transport to the stack (192.0.2.10:5060); time moves only with the test clock (T1, T2, T4 default).

#include "SipTestText.h"
#include "stack/base/NvStream.h"
#include "stack/timer/NvTestClock.h"
#include "stack/timer/NvTime.h"
#include "stack/transaction/NvSipFinishedTransactions.h"
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

std::string toTagOf(const NvHandle<NvSipMessage>& message) { return message->getToHeader()->getTag().str(); }

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
std::string peerResponse(const Sent& request, int code, const std::string& tag = "b1", const std::string& extra = "") {
    const NvHandle<NvSipMessage>& m = request.message;
    std::string text = "SIP/2.0 " + std::to_string(code) + " " + NvSipResponse::sReasonPhrase(code) + "\r\n";
    for (const std::string name : {"Via", "From", "To", "Call-ID", "CSeq"})
        for (size_t i = 0; !header(m, name.c_str(), i).empty(); ++i)
            text += name + ": " + header(m, name.c_str(), i) + (name == "To" && !tag.empty() ? ";tag=" + tag : "") +
                    "\r\n";
    return text + extra + "Content-Length: 0\r\n\r\n";
}

// Our outgoing requests, before the transaction completes them.
std::string ourRequest(const std::string& method = "INVITE", const std::string& requestUri = "sip:bob@192.0.2.1",
                       const std::string& extra = "") {
    return method + " " + requestUri + " SIP/2.0\r\nFrom: \"Alice\" <sip:alice@192.0.2.10>;tag=a1\r\n" +
           "To: <sip:bob@example.com>\r\nCall-ID: call-out@192.0.2.10\r\nCSeq: 7 " + method +
           "\r\nContact: <sip:alice@192.0.2.10>\r\n" + extra + "Content-Length: 0\r\n\r\n";
}

// A response to us that matches no transaction, its Via naming `sentBy`.
std::string strayResponse(const std::string& sentBy) {
    const std::string ours = ourRequest();  // its headers after the Via
    return "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP " + sentBy + ";branch=z9hG4bKgone" + ours.substr(ours.find("\r\n"));
}

double nowMs() { return NvTime::sGetCurrentTime() / 1000.0; }
std::string codeOf(const NvHandle<NvSipResponse>& r) { return std::to_string(r->getStatusCode()); }

// Start lines shown to sendingMessage and receivedMessage, events with their times, all in order in `sequence`.
template <class Base>
class Recorder : public Base {
public:
    Events events, sent, received, sequence;
    Times eventTimes;
    std::function<void(const NvHandle<NvSipMessage>&, unsigned, const NvInetAddress&)> onSending;

    void sendingMessage(const NvHandle<NvSipMessage>& message, unsigned* port, NvInetAddress* address) override {
        sequence.push_back("sent " + sent.emplace_back(firstLine(message->toString())));
        if (onSending) onSending(message, *port, *address);
    }
    void receivedMessage(const NvHandle<NvSipMessage>& message) override {
        sequence.push_back("received " + received.emplace_back(firstLine(message->toString())));
    }
    void record(const std::string& e) { sequence.push_back(events.emplace_back(e)); eventTimes.push_back(nowMs()); }
};

// Client events: "provisional 180", "reliable 183", "final 486", "timeout" (transportError's default too).
using ClientHandle = NvHandle<NvSipClientTransaction>;
using Response = NvHandle<NvSipResponse>;
class ClientRecorder : public Recorder<NvSipClientTransactionInterface> {
public:
    void provisionalResponse(ClientHandle, Response r) override { record("provisional " + codeOf(r)); }
    void reliableProvisionalResponse(ClientHandle, Response r) override { record("reliable " + codeOf(r)); }
    void finalResponse(ClientHandle, Response r) override { record("final " + codeOf(r)); }
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

// Records stray messages ("strayResponse 200", "strayAck", "strayCancel", "invalid", "malformed"); the defaults
// that answer (a CANCEL's 481, a malformed request's 400) still do.
class StrayRecorder : public NvStrayMessageInterface {
public:
    Events events;
    void strayResponse(NvHandle<NvSipResponse> r) override { events.push_back("strayResponse " + codeOf(r)); }
    void strayAck(NvHandle<NvSipAckMessage>) override { note("strayAck"); }
    void strayCancel(NvHandle<NvSipCancelMessage> c) override { note("strayCancel"); Base::strayCancel(c); }
    void invalidMessage(NvHandle<NvSipMessage>) override { note("invalid"); }
    void malFormedMessage(NvHandle<NvSipMessage> m) override { note("malformed"); Base::malFormedMessage(m); }
    void note(const char* event) { events.push_back(event); }
    using Base = NvStrayMessageInterface;
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
    ClientHandle transaction;               // of sendClient
    std::string peerBranch = "z9hG4bKin1";  // of injectFromPeer
    const unsigned proceedingTimeoutMs = NvSipServerTransaction::sm_ProceedingTimeoutMs,
                   clientProceedingTimeoutMs = NvSipClientTransaction::sm_ProceedingTimeoutMs;

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
        NvSipServerTransaction::sm_ProceedingTimeoutMs = proceedingTimeoutMs;
        NvSipClientTransaction::sm_ProceedingTimeoutMs = clientProceedingTimeoutMs;
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
    // What injecting `text` made the stack send (which must start with `startLine`).
    Sent replyTo(const std::string& text, const std::string& startLine) { return inject(text), expectSent(startLine); }
    void expectNothingSent() {
        EXPECT_EQ(wire.sentCount(), 0u) << "first: " << (wire.sentCount() ? wire.sent().front().bytes : "");
        wire.clear();
    }
    ServerHandle serverTransaction() const {  // of the last request reported
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
    ServerHandle incomingInvite() {
        injectFromPeer("INVITE");
        expectSent("SIP/2.0 100 Trying");
        return serverTransaction();
    }
    // Moves time on millisecond by millisecond; returns when each message went, and keeps them in `sent`.
    Times runFor(uint64_t ms, std::vector<Sent>* sent = nullptr) {
        Times times;
        for (uint64_t i = 0; i < ms; ++i)
            for (clock.advance(1); wire.sentCount(); times.push_back(nowMs()))
                if (Sent s = wire.takeNext(); sent) sent->push_back(std::move(s));
        return times;
    }
    // `t` has ended, left the manager and released its interface.
    template <class T>
    void expectEnded(const T& t) {
        EXPECT_EQ(std::make_tuple(t.getState(), manager.getTransactionCount(), bool(t.getInterface())),
                  std::make_tuple(NvSipTransaction::Terminated, size_t(0), false));
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
    // Rebuilds `t` from its snapshot, the manager having forgotten it as in a new process.
    template <class T, class Interface>
    NvHandle<T> rebuilt(const T& t, Interface* interface) {
        NvByteArrayOutputStream out;
        t.serialize(out);
        manager.clear();
        NvByteArrayInputStream in(out.toByteArray());
        NvHandle<T> copy = T::sCreateFrom(in, interface);
        EXPECT_EQ(std::make_tuple(in.available(), copy->getKey(), copy->getState()),
                  std::make_tuple(size_t(0), t.getKey(), t.getState()));
        return copy;
    }
};

const auto byName = [](const auto& info) { return std::string(std::get<0>(info.param)); };

using TransactionClient = TransactionFlow;

// Our Via (with rport) and Max-Forwards go unless the caller set them; a request is sent once. A CANCEL pending
// when the final response comes is dropped; one sent ends the INVITE 64*T1 on; a non-INVITE cannot be cancelled.
// A provisional with RSeq and Require: 100rel is reliable, reported once per RSeq of each To tag.
TEST_F(TransactionClient, GetsOurViaUnlessTheCallerSetOneReportsReliableProvisionalsOnceCancelsOnlyWhileProceeding) {
    const Sent first = sendClient(ourRequest());
    const std::string via = header(first.message, "Via");
    EXPECT_TRUE(via.rfind("SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK", 0) == 0 && mentions(via, "rport")) << via;
    EXPECT_EQ(header(first.message, "Via", 1) + header(first.message, "Max-Forwards"), "70");
    EXPECT_THROW(transaction->sendRequest(), NvHandle<NvException>);  // sent already
    transaction->cancel();
    replyTo(peerResponse(first, 486), "ACK ");
    transaction->cancel();
    expectNothingSent();
    const std::string mine = "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bKmine\r\nMax-Forwards: 12\r\n";
    const Sent invite = sendClient(ourRequest("INVITE", "sip:bob@192.0.2.1", mine));
    EXPECT_EQ(header(invite.message, "Via", 1) + header(invite.message, "Max-Forwards"), "12");
    inject(peerResponse(invite, 183, "b1", "Require: 100rel\r\nRSeq: 1\r\n"));  // matched on the caller's branch
    inject(peerResponse(invite, 183, "b1", "Require: 100rel\r\nRSeq: 1\r\n"));  // retransmitted until PRACK
    inject(peerResponse(invite, 180, "b1", "Require: 100rel\r\nRSeq: 2\r\n"));
    inject(peerResponse(invite, 180, "b1", "RSeq: 3\r\n"));
    inject(peerResponse(invite, 180, "b1", "Require: 100rel\r\n"));
    inject(peerResponse(invite, 183, "b2", "Require: timer, 100rel\r\nRSeq: 1\r\n"));  // another fork
    transaction->cancel();
    expectSent("CANCEL ");
    runFor(32000);
    EXPECT_EQ(recorder->events, (Events{"final 486", "reliable 183", "reliable 180", "provisional 180",
                                        "provisional 180", "reliable 183", "timeout"}));
    EXPECT_EQ(recorder->eventTimes.back(), 32000);
    sendClient(ourRequest("OPTIONS"));
    EXPECT_THROW(transaction->cancel(), NvHandle<NvException>);
}

// An INVITE left ringing cancels itself once the proceeding time-out has passed since the last provisional, then
// times out 64*T1 later when even the CANCEL brings no final response.
TEST_F(TransactionClient, RingingWithoutEndCancelsItselfThenTimesOut) {
    NvSipClientTransaction::sm_ProceedingTimeoutMs = 10000;
    const Sent invite = sendClient(ourRequest());
    inject(peerResponse(invite, 180));
    EXPECT_TRUE(runFor(6000).empty());
    inject(peerResponse(invite, 180));  // the wait starts again
    EXPECT_TRUE(runFor(9999).empty());
    std::vector<Sent> cancel;
    EXPECT_EQ(runFor(1, &cancel).size(), 1u);
    EXPECT_EQ(firstLine(cancel.at(0).bytes).rfind("CANCEL ", 0), 0u);
    runFor(32000);
    EXPECT_EQ(recorder->events, (Events{"provisional 180", "provisional 180", "timeout"}));
    EXPECT_EQ(recorder->eventTimes.back(), 6000 + 10000 + 32000);
}

// Timers A and E retransmit (not over TCP) until a provisional (an INVITE's stop, a non-INVITE's go every T2), B and F
// end it at 64*T1. A final response (not one from another sent-by) is reported once, acknowledged (INVITE 300-699),
// absorbed (the ACK going again) until D or K (0 over TCP; an INVITE's 2xx ends it), then a stray; also once rebuilt.
// name, request, provisional at 600 ms, when the request went again (ms), final code (0: none), D or K (ms)
using ClientCase = std::tuple<const char*, std::string, bool, Times, int, int>;
const std::string kTcp = "sip:bob@192.0.2.1;transport=tcp";
const ClientCase kClientCases[] = {
    {"InviteOnTimerADoublingFromT1", ourRequest(), false, {500, 1500, 3500, 7500, 15500, 31500}, 0, 0},
    {"OptionsOnTimerEDoublingUpToT2", ourRequest("OPTIONS"), false,
     {500, 1500, 3500, 7500, 11500, 15500, 19500, 23500, 27500, 31500}, 0, 0},
    {"OptionsAfterAProvisionalEveryT2", ourRequest("OPTIONS"), true,
     {500, 1500, 5500, 9500, 13500, 17500, 21500, 25500, 29500}, 0, 0},
    {"InviteOverTcpNever", ourRequest("INVITE", kTcp), false, {}, 0, 0},
    {"InviteAfterAProvisionalNeverThenFailureUntilTimerD", ourRequest(), true, {500}, 486, 32000},
    {"Invite2xxEndsAtOnce", ourRequest(), false, {500}, 200, 0},
    {"InviteFailureOverTcp", ourRequest("INVITE", kTcp), false, {}, 603, 0},
    {"OptionsUntilTimerK", ourRequest("OPTIONS"), false, {500}, 200, 5000},
    {"OptionsOverTcp", ourRequest("OPTIONS", kTcp), false, {}, 404, 0}};

class TransactionClientTimers : public TransactionFlow, public ::testing::WithParamInterface<ClientCase> {};

TEST_P(TransactionClientTimers, RetransmitsUntilAResponseThenAbsorbsTheFinalOneUntilItsTimer) {
    const auto& [name, ours, provisional, retransmissions, code, absorbMs] = GetParam();
    const auto transport = ours.find("tcp") == std::string::npos ? NvSocketImpl::UDP : NvSocketImpl::TCP;
    const Sent request = sendClient(ours);
    transaction = rebuilt(*transaction, recorder.get());  // its timers start again
    Times times = runFor(600);
    if (provisional) inject(peerResponse(request, 100, ""));
    if (provisional || !code)
        for (double t : runFor(70000)) times.push_back(t);
    EXPECT_EQ(times, retransmissions);
    if (!code) {
        EXPECT_EQ(recorder->events.back(), "timeout");
        EXPECT_EQ(recorder->eventTimes.back(), 32000);
        return expectEnded(*transaction);
    }
    std::string forged = peerResponse(request, code);
    inject(forged.replace(forged.find("192.0.2.10:5060"), 15, "198.51.100.7:5060"), transport);
    for (int copy = 0; copy < (absorbMs ? 2 : 1); ++copy) {
        inject(peerResponse(request, code), transport);
        if (ours[0] == 'I' && code >= 300) expectSent("ACK ");
        expectNothingSent();
        // A non-INVITE has ended with its final response, the manager absorbing in its stead.
        if (absorbMs && !copy && ours[0] == 'I') transaction = rebuilt(*transaction, recorder.get());
    }
    if (absorbMs) {
        EXPECT_TRUE(runFor(absorbMs - 1).empty());
        EXPECT_EQ(bool(transaction->getInterface()), ours[0] == 'I');
        inject(peerResponse(request, code), transport);
        if (ours[0] == 'I') expectSent("ACK ");
        EXPECT_EQ(stray->events, Events{"invalid"});
        runFor(1);
    }
    expectEnded(*transaction);
    inject(peerResponse(request, code, "otherFork"), transport);
    EXPECT_EQ(stray->events, (Events{"invalid", "strayResponse " + std::to_string(code)}));
    EXPECT_EQ(recorder->events.back(), "final " + std::to_string(code));
    EXPECT_EQ(recorder->events.size(), provisional ? 2u : 1u);
    expectNothingSent();
}

INSTANTIATE_TEST_SUITE_P(ByRequest, TransactionClientTimers, ::testing::ValuesIn(kClientCases), byName);

// A CANCEL (ours, or a dialog's keeping its other headers) waits for the first provisional; it and the ACK copy the
// INVITE's identity, top Via and routes, and go where it went, also once rebuilt. Each message is shown to the
// INVITE's interface, at its destination, before it leaves and before the event it causes.
TEST_F(TransactionClient, CancelWaitsForTheFirstProvisionalAndItAndTheAckCopyTheInvitesIdentityAndRoutes) {
    Events shown;
    recorder->onSending = [&](const NvHandle<NvSipMessage>& m, unsigned port, const NvInetAddress& address) {
        shown.push_back(firstLine(m->toString()).substr(0, 3) + " to " + address.toString().str() + ":" +
                        std::to_string(port) + " after " + std::to_string(wire.sentCount()));
    };
    const std::string routes = "Route: <sip:192.0.2.1;lr>\r\nRoute: <sip:p2.example.com;lr>\r\n";
    const Sent invite = sendClient(ourRequest("INVITE", "sip:bob@example.com", routes), "192.0.2.50", 5070);
    transaction->cancel(NvHandle<NvSipCancelMessage>(parseRequest(
        "CANCEL sip:x@192.0.2.99 SIP/2.0\r\nVia: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bKno\r\nMax-Forwards: 30\r\n"
        "Route: <sip:192.0.2.98;lr>\r\nFrom: <sip:carol@192.0.2.10>;tag=c1\r\nTo: <sip:bob@example.com>;tag=b1\r\n"
        "Call-ID: other@192.0.2.10\r\nCSeq: 99 CANCEL\r\nReason: SIP;cause=600\r\nContent-Length: 0\r\n\r\n")));
    transaction = rebuilt(*transaction, recorder.get());
    expectNothingSent();
    const Sent cancel = replyTo(peerResponse(invite, 180, "b1"), "CANCEL sip:bob@example.com SIP/2.0");
    inject(peerResponse(cancel, 200, "b1"));  // the CANCEL's own answer goes nowhere
    transaction = rebuilt(*transaction, recorder.get());
    transaction->cancel();  // once only
    const Sent ack = replyTo(peerResponse(invite, 487, "busy1"), "ACK sip:bob@example.com SIP/2.0");
    transaction = rebuilt(*transaction, recorder.get());
    EXPECT_EQ(replyTo(peerResponse(invite, 487, "busy1"), "ACK ").bytes, ack.bytes);  // absorbed, the ACK going again
    expectNothingSent();
    const std::string via = "Via: " + header(invite.message, "Via");
    EXPECT_EQ(headerLines(cancel), (Events{"CSeq: 7 CANCEL", "Call-ID: call-out@192.0.2.10", "Content-Length: 0",
                                           "From: \"Alice\" <sip:alice@192.0.2.10>;tag=a1", "Max-Forwards: 30",
                                           "Reason: SIP;cause=600", "Route: <sip:192.0.2.1;lr>",
                                           "Route: <sip:p2.example.com;lr>", "To: <sip:bob@example.com>", via}));
    EXPECT_EQ(headerLines(ack), (Events{"CSeq: 7 ACK", "Call-ID: call-out@192.0.2.10", "Content-Length: 0",
                                        "From: \"Alice\" <sip:alice@192.0.2.10>;tag=a1", "Max-Forwards: 70",
                                        "Route: <sip:192.0.2.1;lr>", "Route: <sip:p2.example.com;lr>",
                                        "To: <sip:bob@example.com>;tag=busy1", via}));
    EXPECT_EQ(shown, (Events{"INV to 192.0.2.50:5070 after 0", "CAN to 192.0.2.50:5070 after 0",
                             "ACK to 192.0.2.50:5070 after 0", "ACK to 192.0.2.50:5070 after 0"}));
    EXPECT_EQ(recorder->sequence,
              (Events{"sent INVITE sip:bob@example.com SIP/2.0", "received SIP/2.0 180 Ringing",
                      "sent CANCEL sip:bob@example.com SIP/2.0", "provisional 180", "received SIP/2.0 200 OK",
                      "received SIP/2.0 487 Request Terminated", "sent ACK sip:bob@example.com SIP/2.0", "final 487",
                      "received SIP/2.0 487 Request Terminated", "sent ACK sip:bob@example.com SIP/2.0"}));
}

using TransactionServer = TransactionFlow;

// An INVITE gets 100 Trying at once and each retransmission the last response again, with one To tag, also once
// rebuilt; a reliable provisional gets one Require: 100rel; no provisional leaves after the final response, not even
// one racing it on another thread. A CANCEL after the final response only gets its 200.
TEST_F(TransactionServer, InviteGets100TryingAtOnceThenTheLastResponseAgainAndOneTagNoProvisionalAfterTheFinal) {
    injectFromPeer("INVITE");
    const Sent trying = expectSent("SIP/2.0 100 Trying");
    EXPECT_EQ(toTagOf(trying.message) + trying.destination.toString(), "udp:192.0.2.1:5060");  // no tag
    injectFromPeer("INVITE");
    expectSent("SIP/2.0 100 Trying");
    const std::string tag = toTagOf(answer(180).message);
    const ServerHandle invite = rebuilt(*serverTransaction(), server.get());  // goes on as before
    injectFromPeer("INVITE");
    EXPECT_EQ(toTagOf(expectSent("SIP/2.0 180 Ringing").message), tag);
    NvHandle<NvSipResponse> reliable(new NvSipResponse(183, invite->getInitialRequest()));
    reliable->addHeader(NvHandle<NvSipHeader>(new NvSipRSeqHeader(1)));
    invite->sendReliableResponse(reliable);
    const Sent first = expectSent("SIP/2.0 183");
    EXPECT_EQ(header(first.message, "Require") + header(first.message, "RSeq"), "100rel1");
    invite->sendReliableResponse(reliable);  // the caller's retransmission: one Require still
    EXPECT_EQ(expectSent("SIP/2.0 183").bytes, first.bytes);
    server->onSending = [&](const NvHandle<NvSipMessage>& m, unsigned, const NvInetAddress&) {
        if (NvHandle<NvSipResponse>(m)->getStatusCode() != 183) return;
        server->onSending = nullptr;
        EXPECT_TRUE(invite->trySendResponse(486));
    };
    injectFromPeer("INVITE");  // its 183 on its way out when the 486 goes
    EXPECT_EQ(toTagOf(expectSent("SIP/2.0 486").message), tag);
    EXPECT_FALSE(invite->canSendFinalResponse() || invite->trySendResponse(487) || invite->trySendResponse(183));
    EXPECT_THROW(invite->sendResponse(487), NvHandle<NvException>);
    EXPECT_EQ(header(replyTo(peerRequest("CANCEL", "z9hG4bKin1"), "SIP/2.0 200 OK").message, "CSeq"), "1 CANCEL");
    expectNothingSent();
    EXPECT_EQ(server->events, Events{"request INVITE"});
    EXPECT_EQ(server->sent.size(), 9u);  // the 183 three times, and the CANCEL's 200
}

TEST_F(TransactionServer, ThreadsRespondingAtOnceShareOneTag) {
    for (int round = 0; round < 1000; ++round) {
        const ServerHandle invite(new NvSipServerTransaction(
            parseRequest(peerRequest("INVITE", "z9hG4bKrace" + std::to_string(round))), nullptr));
        std::atomic<bool> go{false};
        auto respond = [&](unsigned code) { while (!go) std::this_thread::yield(); invite->sendResponse(code); };
        std::thread first(respond, 180u), second(respond, 183u);
        go = true;
        first.join(), second.join();
        ASSERT_EQ(toTagOf(wire.takeNext().message), toTagOf(wire.takeNext().message)) << "round " << round;
        manager.clear();
    }
}

// After a 2xx the INVITE has ended: its retransmissions are dropped for 64*T1, a CANCEL is a stray.
TEST_F(TransactionServer, TwoHundredEndsTheInviteAndLaterRetransmissionsAreDroppedCancelsNotReported) {
    const auto invite = incomingInvite();
    answer(200);
    expectEnded(*invite);
    inject(peerRequest("INVITE", "z9hG4bKin1"));  // crossed our 2xx: dropped, not a new request
    expectNothingSent();
    replyTo(peerRequest("CANCEL", "z9hG4bKin1"), "SIP/2.0 481");  // a stray
    for (const uint64_t ms : {31999, 1}) {  // 64*T1 after the 2xx the branch is forgotten
        runFor(ms);
        inject(peerRequest("INVITE", "z9hG4bKin1"));
        EXPECT_EQ(factory->calls, ms == 1 ? 2 : 1);
    }
    expectSent("SIP/2.0 100");
}

// An INVITE's 300-699 goes again for each retransmitted request, and on timer G over UDP until the ACK (reported
// once, then absorbed for timer I, 0 over TCP) or timer H. Then the branch is new again. Without a magic-cookie
// branch, request and ACK are matched on identity and tags.
// name, transport, branch, when it went again in 12 s, when it ends after that (or after the ACK), events
using ServerFinalCase = std::tuple<const char*, const char*, const char*, Times, int, Events>;
const Times kTimerG = {500, 1500, 3500, 7500, 11500};  // from T1 doubling up to T2
const ServerFinalCase kServerFinalCases[] = {
    {"InviteOnTimerGThenI", "UDP", "z9hG4bKin1", kTimerG, 5000, {"request INVITE", "ack"}},
    {"InviteWithoutAckUntilTimerH", "UDP", "z9hG4bKin1", kTimerG, 20000, {"request INVITE", "timeout"}},
    {"InviteOverTcp", "TCP", "z9hG4bKin1", {}, 0, {"request INVITE", "ack"}},
    {"LegacyInviteMatchedOnItsIdentity", "UDP", "", kTimerG, 5000, {"request INVITE", "ack"}}};

class TransactionServerFinal : public TransactionFlow, public ::testing::WithParamInterface<ServerFinalCase> {};

TEST_P(TransactionServerFinal, GoesAgainUntilItsTimerEndsTheTransaction) {
    const auto& [name, transport, branch, retransmissions, endsMs, events] = GetParam();
    peerBranch = branch;
    injectFromPeer("INVITE", transport);
    expectSent("SIP/2.0 100 Trying");
    const Sent final = answer(486);
    const ServerHandle copy = rebuilt(*serverTransaction(), static_cast<ServerRecorder*>(nullptr));
    copy->setInterface(server.get());  // its timers start again; its events come here
    std::vector<Sent> again;
    EXPECT_EQ(runFor(12000, &again), retransmissions);
    injectFromPeer("INVITE", transport);
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
    expectEnded(*copy);
    EXPECT_EQ(server->events, events);
    EXPECT_TRUE(stray->events.empty());
    injectFromPeer("INVITE", transport);
    EXPECT_EQ(factory->calls, 2);
}

INSTANTIATE_TEST_SUITE_P(ByRequest, TransactionServerFinal, ::testing::ValuesIn(kServerFinalCases), byName);

// A table of finished transactions holds at most its maxEntries: beyond, the oldest is forgotten before its time.
TEST(FinishedTransactions, HoldAtMostTheirMaxEntries_TheOldestForgottenFirst) {
    NvTestClock clock;
    NvSipFinishedTransactions table(2);
    NvSipFinishedTransactions::Answer answer;
    for (const char* key : {"a", "b", "c"}) table.remember(key, 32000, nullptr, 0, NvInetAddress());
    EXPECT_TRUE(!table.find("a", answer) && table.find("b", answer) && table.find("c", answer));
}

// A non-INVITE ends when its final response has left over UDP, and lets its interface go; the manager sends that
// response again for each retransmitted request until timer J runs out, when the branch is new again. Over TCP
// there is nothing to answer again.
TEST_F(TransactionFlow, NonInviteEndsWithItsFinalResponseWhichTheManagerSendsAgainForTimerJ) {
    for (const char* transport : {"UDP", "TCP"}) {
        SCOPED_TRACE(transport);
        peerBranch = std::string("z9hG4bK") + transport;
        const int calls = factory->calls;
        injectFromPeer("OPTIONS", transport);
        const Sent final = answer(200);
        expectEnded(*serverTransaction());
        for (const uint64_t ms : {12000, 64 * 500 - 12000 - 1, 1}) {  // timer J ends at 64*T1 over UDP
            runFor(ms);
            injectFromPeer("OPTIONS", transport);
            if (ms == 1 || *transport == 'T') break;  // a new request
            EXPECT_EQ(expectSent("SIP/2.0 200").bytes, final.bytes);
        }
        EXPECT_EQ(factory->calls, calls + 2);
        serverTransaction()->sendResponse(200);
        wire.clear();
    }
    EXPECT_EQ(server->events, (Events{"request OPTIONS", "request OPTIONS", "request OPTIONS", "request OPTIONS"}));
}


// After the proceeding time-out only a final response asked for may go; it absorbs retransmissions 64*T1 on.
TEST_F(TransactionServer, ProceedingTimeOutRefusesLateResponsesUnlessAskedToSendTheFinalOne) {
    NvSipServerTransaction::sm_ProceedingTimeoutMs = 10000;
    const auto invite = incomingInvite();
    answer(180);
    runFor(10000);
    EXPECT_EQ(server->events, (Events{"request INVITE", "timeout"}));
    EXPECT_EQ(server->eventTimes.back(), 10000);
    EXPECT_FALSE(invite->canSendFinalResponse() || invite->trySendResponse(408));
    expectNothingSent();
    invite->setOnTimeoutSendFinalResponse(true);
    EXPECT_FALSE(invite->trySendResponse(183));
    answer(408);
    replyTo(peerRequest("INVITE", "z9hG4bKin1"), "SIP/2.0 408");
    EXPECT_TRUE(runFor(31999).empty());  // sent once: no timer G
    EXPECT_EQ(manager.getTransactionCount(), 1u);
    runFor(1);
    expectEnded(*invite);
}

// Whatever the interface answers itself when told `cancel`, the CANCEL gets one 200 and the INVITE one 487; the
// CANCEL (not offered to the factory) and its answers are shown to the INVITE's interface.
TEST_F(TransactionServer, CancelGets200AndTheInvite487OnceWhoeverAnswers) {
    for (int answers = 0; answers < 4; ++answers) {  // bit 0: the interface answers the CANCEL, bit 1: the INVITE
        SCOPED_TRACE(answers);
        peerBranch = "z9hG4bKin" + std::to_string(answers);
        server->events = server->received = server->sent = {};
        const auto invite = incomingInvite();
        server->onCancel = [&](const ServerHandle& cancel) {
            if (answers & 1) cancel->sendResponse(200);
            if (answers & 2) invite->sendResponse(487);
        };
        inject(peerRequest("CANCEL", peerBranch));
        std::multiset<std::string> sent;
        for (const Sent& s : wire.sent()) sent.insert(firstLine(s.bytes) + " / " + header(s.message, "CSeq"));
        wire.clear();
        EXPECT_EQ(sent, (std::multiset<std::string>{"SIP/2.0 200 OK / 1 CANCEL",
                                                    "SIP/2.0 487 Request Terminated / 1 INVITE"}));
        replyTo(peerRequest("CANCEL", peerBranch), "SIP/2.0 200 OK");  // retransmission: its 200 again, unshown
        injectFromPeer("ACK");
        EXPECT_EQ(server->events, (Events{"request INVITE", "cancel", "ack"}));
        EXPECT_EQ(server->received, (Events{"INVITE sip:bob@192.0.2.10 SIP/2.0", "CANCEL sip:bob@192.0.2.10 SIP/2.0",
                                            "ACK sip:bob@192.0.2.10 SIP/2.0"}));
        EXPECT_EQ(server->sent.size(), 3u);  // 100, 200 and 487
    }
    EXPECT_EQ(factory->calls, 4);
}

// A message the transport refuses, at once (send raises) or later (sendFailed), ends the transaction it belongs
// to (an ACK's, or a CANCEL's answer's: the INVITE's), which reports it once (the client's as timeOut); a
// non-INVITE's final response failing later ends it unreported, its interface being let go once it was sent.
TEST_F(TransactionFlow, RefusedSendsEndTheirTransactionWhichReportsItOnce) {
    const auto ended = [&](const auto& t, const NvHandle<NvSipMessage>& late) {
        if (late) manager.sendFailed(late, "connection refused");
        EXPECT_TRUE(t->getState() == NvSipTransaction::Terminated && !t->getInterface());
        t->transportFailed("refused again");
        wire.clear();
    };
    transaction = new NvSipClientTransaction(parseRequest(ourRequest("INVITE", "sip:bob@192.0.2.1;transport=sctp")),
                                             recorder.get());
    EXPECT_THROW(transaction->sendRequest(), NvHandle<NvException>);  // reporting nothing
    ended(transaction, nullptr);
    ended(transaction, replyTo(peerResponse(sendClient(ourRequest()), 486), "ACK ").message);
    NvHandle<NvSipResponse> response(new NvSipResponse(486, incomingInvite()->getInitialRequest()));
    response->removeHeader(NvSipHeaderID::Via);  // nowhere to go
    EXPECT_FALSE(serverTransaction()->trySendResponse(response));
    ended(serverTransaction(), nullptr);
    peerBranch = "z9hG4bKin2";
    incomingInvite();
    ended(serverTransaction(), replyTo(peerRequest("CANCEL", peerBranch), "SIP/2.0 200").message);
    inject(peerRequest("OPTIONS", ""));  // legacy: matched as the transaction's last response
    answer(200);
    ended(serverTransaction(), NvHandle<NvSipMessage>(serverTransaction()->getLastResponse()));
    EXPECT_TRUE(runFor(40000).empty());  // the CANCEL's own transaction runs out meanwhile
    EXPECT_EQ(manager.getTransactionCount(), 0u);
    EXPECT_EQ(recorder->events, (Events{"final 486", "timeout"}));
    EXPECT_EQ(server->events, (Events{"request INVITE", "transportError", "request INVITE", "cancel", "transportError",
                                      "request OPTIONS"}));
}

// A new request goes to the factory once, matched on a sent-by rule that also tells our responses (hosts without
// case or IPv6 brackets, the transport's default port); others go to the stray handler, which answers a CANCEL and
// a malformed request. A new INVITE gets: a transaction; nothing after sMarkHandled (offered again when it comes
// again); with plain nil, or no factory, 480 on the manager's own transaction, which absorbs the rest (no timer G).
TEST_F(TransactionServer, NewRequestsGoToTheFactoryOnceOthersToTheStrayHandler) {
    const std::tuple<const char*, const char*, const char*, bool> requests[] = {
        // transport, the first request's sent-by, the retransmission's, whether it matched
        {"UDP", "192.0.2.1:5060", "192.0.2.1", true}, {"UDP", "192.0.2.1", "192.0.2.1:5062", false},
        {"TCP", "Host.Example.COM", "host.example.com:5060", true}, {"TLS", "192.0.2.1", "192.0.2.1:5061", true},
        {"TLS", "192.0.2.1", "192.0.2.1:5060", false}, {"UDP", "[2001:DB8::1]:5060", "[2001:db8::1]", true}};
    for (const auto& [transport, first, second, same] : requests) {
        const int calls = factory->calls;
        const std::string branch = "z9hG4bKopt" + std::to_string(calls);
        inject(peerRequest("OPTIONS", branch, "", "", transport, first));
        inject(peerRequest("OPTIONS", branch, "", "", transport, second));
        EXPECT_EQ(factory->calls - calls, same ? 1 : 2) << transport << " " << first << " / " << second;
    }
    const auto withoutCallId = [](std::string text) {
        return text.erase(text.find("Call-ID:"), text.find("CSeq:") - text.find("Call-ID:"));
    };
    const std::tuple<std::string, const char*, const char*> strays[] = {
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
    for (const auto& [message, event, answer] : strays) {
        inject(message);
        EXPECT_EQ(stray->events, Events{event}) << message;
        if (*answer) expectSent(answer);
        expectNothingSent();
        stray->events.clear();
    }
    EXPECT_EQ(factory->calls, 8);  // for the requests matched on their sent-by only
    using F = RecordingFactory;
    const std::tuple<F::Outcome, const char*, int> invites[] = {
        // the factory's outcome (the last case has no factory), the answer ("" for none), calls with the retransmission
        {F::Create, "SIP/2.0 100", 1}, {F::Handled, "", 2}, {F::Refuse, "SIP/2.0 480 Temporarily Unavailable", 1},
        {F::Refuse, "SIP/2.0 480", 0}};
    for (const auto& [outcome, answer, calls] : invites) {
        SCOPED_TRACE(std::to_string(outcome) + answer);
        const int before = factory->calls;
        manager.clear();
        factory->outcome = outcome;
        if (!calls) manager.setTransactionFactoryInterface(nullptr);
        std::string tag;
        for (int copy = 0; copy < 2; ++copy) {  // the INVITE and its retransmission
            inject(peerRequest("INVITE", "z9hG4bKin" + std::to_string(before)));
            if (*answer) tag = toTagOf(expectSent(answer).message);
            expectNothingSent();
        }
        EXPECT_EQ(manager.getTransactionCount(), *answer ? 1u : 0u);
        EXPECT_EQ(factory->calls - before, calls);
        if (!tag.empty()) {  // the 480
            inject(peerRequest("ACK", "z9hG4bKin" + std::to_string(before), tag));
            EXPECT_TRUE(runFor(40000).empty());
            EXPECT_EQ(manager.getTransactionCount(), 0u);
        }
    }
    EXPECT_EQ(server->events.size(), 9u);  // the OPTIONS, then one INVITE
    EXPECT_TRUE(stray->events.empty());
}

}  // namespace transaction_test
