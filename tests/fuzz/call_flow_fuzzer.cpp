// libFuzzer target for the call layer: each input is a short program that
// plays a peer and an application against the call manager, through the
// test transport and the test clock.
//
// The input is read three bytes at a time (operation, two arguments):
//  - the peer sends an INVITE (one of two Call-IDs, with or without 100rel,
//    Session-Expires, an offer) or a request in one of its calls (ACK,
//    PRACK, CANCEL, BYE, re-INVITE, UPDATE, INFO, OPTIONS, NOTIFY, REFER)
//    with a CSeq, To tag, branch and Contact picked by the arguments (the
//    right ones, or wrong ones);
//  - the peer answers one of the last requests we sent (1xx with and without
//    tag and RSeq, 2xx, 3xx-6xx, 401/407, 422, 491) with the To tag of one of
//    two branches;
//  - the application answers, hangs up, re-INVITEs, UPDATEs, places a call,
//    answers the last request it was handed, or PRACKs;
//  - time moves on.
// Then the application hangs up every call, the peer answers every request
// we send with 200, and the clock runs out. It aborts (a finding) when
//  - a request the peer sent (but ACK) never got a response;
//  - a dialog stays in the manager's table or alive, a transaction stays
//    in the stack, or a call's record in the snapshot store, once the
//    clock ran out.
// The sanitizers and the leak checker find the rest.

#include "mlapi/NvSipCallManager.h"
#include "mlapi/NvSipDialog.h"
#include "mlapi/NvSipIncomingCall.h"
#include "mlapi/NvSipOutgoingCall.h"
#include "mlapi/snapshot/NvSipSnapshotStore.h"
#include "stack/base/NvStream.h"
#include "stack/log/TellarAlloc.h"
#include "stack/timer/NvTestClock.h"
#include "stack/sip/NvSipParser.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTransportBackend.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

const char* const kOffer = "v=0\r\no=peer 1 1 IN IP4 192.0.2.1\r\ns=-\r\nc=IN IP4 192.0.2.1\r\nt=0 0\r\n";
constexpr uint64_t kLongestWaitMs = 64 * 500 + 10000;  // 64*T1, and the application's 10 s to answer

// Runs `operation`; the library's NvException (a refused operation) is an answer, not a finding.
template <class Operation>
void tryTo(Operation operation) {
    try {
        operation();
    } catch (const NvHandle<NvException>&) {
    }
}

// With NVSIP_FUZZ_TRACE set, every message in and out is written to stderr (to read a finding).
const bool kTrace = std::getenv("NVSIP_FUZZ_TRACE") != nullptr;
void trace(const char* direction, const std::string& text) {
    if (kTrace) std::fprintf(stderr, "%s %s\n", direction, text.c_str());
}

NvHandle<NvSipMessage> parsed(const std::string& text) {
    NvByteArrayInputStream in(text);
    return NvSipMessage::sConstructFrom(in);
}

// The wire between the peer and the stack. Like the stack's test transport
// it captures what is sent, but it parses each distinct text once: most of
// what a program sends are retransmissions, and parsing them again was half
// of an execution's time.
class Wire : public NvSipTransportBackend {
public:
    struct Sent {
        std::string bytes;
        NvHandle<NvSipMessage> message;  // nil when the bytes do not parse
    };

    Wire() { NvSipTransportLayer::sGetInstance()->installBackend(this); }
    ~Wire() override { NvSipTransportLayer::sGetInstance()->installBackend(nullptr); }

    void inject(std::string_view bytes) {
        NvSipPeer peer;
        peer.transport = NvSocketImpl::UDP;
        peer.address = m_Peer;
        peer.port = 5060;
        NvSipTransportLayer::sGetInstance()->receiveBytes(bytes.data(), bytes.size(), peer);
    }
    std::vector<Sent> takeSent() { return std::exchange(m_Sent, {}); }
    void clear() {
        m_Sent.clear();
        m_Parsed.clear();
    }

    void write(const NvHandle<NvSipMessage>&, const std::string& bytes, NvSipPeer&) override {
        auto parsed = m_Parsed.find(bytes);
        if (parsed == m_Parsed.end()) {
            NvHandle<NvSipMessage> message;
            try {
                message = NvSipParser::sParse(bytes.data(), bytes.size());
            } catch (const NvHandle<NvException>&) {
            }
            parsed = m_Parsed.emplace(bytes, message).first;
        }
        m_Sent.push_back({bytes, parsed->second});
    }
    std::vector<NvSipListenPoint> getListenPoints() const override {
        return {{NvSocketImpl::UDP, m_Local, 5060}, {NvSocketImpl::TCP, m_Local, 5060}};
    }

private:
    const NvInetAddress m_Local = NvInetAddress::sParse("192.0.2.10");
    const NvInetAddress m_Peer = NvInetAddress::sParse("192.0.2.1");
    std::vector<Sent> m_Sent;
    std::unordered_map<std::string, NvHandle<NvSipMessage>> m_Parsed;  // by text, until the run settles
};

// The snapshot store, in memory: the call manager keeps each confirmed
// incoming call there until it ends.
struct Records : NvSipSnapshotStore {
    std::map<std::string, std::string> kept;
    void save(const std::string& callId, const std::string& bytes, uint32_t) override { kept[callId] = bytes; }
    void remove(const std::string& callId) override { kept.erase(callId); }
    std::string load(const std::string& callId) override { return kept.count(callId) ? kept[callId] : ""; }
    std::vector<std::pair<std::string, std::string>> loadAll() override { return {kept.begin(), kept.end()}; }
};

// The calls the application holds, and what it does when told.
struct Application : NvSipIncomingCallinterface {
    std::vector<NvHandle<NvSipIncomingCall>> incoming;
    std::vector<NvHandle<NvSipOutgoingCall>> outgoing;
    NvHandle<NvSipServerTransaction> handedOver;  // the last request left to the application
    bool ackOnSuccess = true;

    void inviteRequest(Call, NvHandle<NvSipInviteMessage>) override {}
    void unknownRequest(Call, NvHandle<NvSipServerTransaction> t, NvHandle<NvSipRequest>) override { handedOver = t; }
    void referRequest(Call, NvHandle<NvSipServerTransaction> t, NvHandle<NvSipReferMessage>) override {
        handedOver = t;
    }
    void notifyRequest(Call, NvHandle<NvSipServerTransaction> t, NvHandle<NvSipNotifyMessage>) override {
        handedOver = t;
    }
};

// Takes up to four calls at a time.
struct NewCalls : NvSipNewCallinterface {
    Application* application = nullptr;
    NvHandle<NvSipIncomingCall> newCall(NvHandle<NvSipInviteMessage> invite) override {
        if (application->incoming.size() >= 4) return nullptr;
        NvHandle<NvSipIncomingCall> call = new NvSipIncomingCall(invite, application);
        application->incoming.push_back(call);
        return call;
    }
};

struct Outgoing : NvSipOutgoingCallinterface {
    Application* application = nullptr;
    void succeeded(Call, Dialog dialog, NvHandle<NvSipResponse> response) override {
        if (application->ackOnSuccess) tryTo([&] { dialog->ack(response); });
    }
};

// The peer's side of one of its calls.
struct PeerCall {
    std::string callId;
    std::string ourTag;  // from our last response with a To tag
    uint32_t cseq = 1;
    uint32_t lastRSeq = 0;
    std::string inviteBranch;
};

class Run {
public:
    Run() {
        outgoing->application = application.get();
        newCalls->application = application.get();
        NvSipTransportLayer::sGetInstance()->setReceiver(&transactions);
        manager->registerWithStack();
        manager->setSnapshotStore(records, application.get());
    }

    void play(const uint8_t* bytes, size_t size) {
        for (size_t at = 0; at + 3 <= size; at += 3) step(bytes[at], bytes[at + 1], bytes[at + 2]);
        settle();
    }

private:
    void step(uint8_t operation, uint8_t a, uint8_t b) {
        switch (operation % 10) {
            case 0: peerInvite(a, b); break;
            case 1: case 2: peerRequest(a, b); break;
            case 3: case 4: peerAnswers(a, b); break;
            case 5: applicationAnswers(a, b); break;
            case 6: applicationActs(a, b); break;
            case 7: placeCall(a); break;
            case 8: clock.advance(static_cast<uint64_t>(a) * (b % 8 == 0 ? 250 : 20)); break;
            case 9: application->ackOnSuccess = (a & 1) != 0; break;
        }
        collectSent();
    }

    // ------------------------------------------------------------ the peer
    std::string request(const std::string& method, PeerCall& call, const std::string& toTag,
                        const std::string& branch, uint32_t cseq, const std::string& extra, bool body) {
        std::string text = method + " sip:bob@192.0.2.10 SIP/2.0\r\nVia: SIP/2.0/UDP 192.0.2.1:5060;branch=" + branch +
                           "\r\nMax-Forwards: 70\r\nFrom: <sip:alice@192.0.2.1>;tag=p" + call.callId +
                           "\r\nTo: <sip:bob@192.0.2.10>" + (toTag.empty() ? "" : ";tag=" + toTag) +
                           "\r\nCall-ID: " + call.callId + "\r\nCSeq: " + std::to_string(cseq) + " " + method +
                           "\r\nContact: <sip:alice@192.0.2.1>\r\n" + extra;
        if (!body) return text + "Content-Length: 0\r\n\r\n";
        return text + "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(std::string(kOffer).size()) +
               "\r\n\r\n" + kOffer;
    }
    void send(const std::string& text, const std::string& method, const std::string& branch) {
        // A retransmission of a request already answered gets the same
        // answer again, or nothing after a 2xx to an INVITE (RFC 6026).
        if (method != "ACK" && !m_Answered.count(branch + " " + method)) m_Unanswered.insert(branch + " " + method);
        inject(text);
    }
    void inject(const std::string& text) {
        trace("<<<", text);
        wire.inject(text);
    }
    void peerInvite(uint8_t a, uint8_t b) {
        PeerCall& call = m_Peer[a & 1];
        if ((a & 2) == 0 || call.callId.empty()) {
            call = PeerCall();
            call.callId = "cf" + std::to_string(++m_Calls);
            call.inviteBranch = "z9hG4bK-i" + std::to_string(m_Calls);
        }
        std::string extra;
        if (b & 1) extra += "Supported: 100rel\r\n";
        if (b & 2) extra += "Require: 100rel\r\n";
        if (b & 4) extra += "Supported: timer\r\nSession-Expires: " + std::to_string(b & 8 ? 90 : 1800) + "\r\n";
        if (b & 16) extra += "Require: frobnication\r\n";
        send(request("INVITE", call, "", call.inviteBranch, 1, extra, (b & 32) != 0), "INVITE", call.inviteBranch);
    }
    void peerRequest(uint8_t a, uint8_t b) {
        static const char* const methods[] = {"ACK", "PRACK", "CANCEL", "BYE",    "INVITE",
                                              "UPDATE", "INFO", "OPTIONS", "NOTIFY", "REFER"};
        PeerCall& call = m_Peer[a & 1];
        if (call.callId.empty()) return;
        const std::string method = methods[(a >> 1) % 10];
        const bool ackOrCancel = method == "ACK" || method == "CANCEL";
        std::string branch = ackOrCancel && (b & 1) ? call.inviteBranch : "z9hG4bK-r" + std::to_string(++m_Requests);
        uint32_t cseq = ackOrCancel ? (b & 2 ? 1 : call.cseq) : (b & 2 ? call.cseq : ++call.cseq);
        if (b & 4) cseq += 7;
        const std::string toTag = b & 8 ? "wrong" : (method == "CANCEL" ? "" : call.ourTag);
        std::string extra;
        if (method == "PRACK") extra += "RAck: " + std::to_string(call.lastRSeq + (b & 16 ? 1 : 0)) + " 1 INVITE\r\n";
        if (method == "REFER") extra += "Refer-To: <sip:carol@192.0.2.3>\r\n";
        if (method == "NOTIFY") extra += "Event: refer\r\nSubscription-State: active\r\n";
        if (method == "INFO") extra += "Info-Package: dtmf\r\n";
        if ((method == "INVITE" || method == "UPDATE") && (b & 32)) extra += "Session-Expires: 120\r\n";
        const bool body = (method == "INVITE" || method == "UPDATE" || method == "PRACK") && (b & 64);
        send(request(method, call, toTag, branch, cseq, extra, body), method, branch);
    }
    // The peer's response to one of the last requests we sent.
    void peerAnswers(uint8_t a, uint8_t b) {
        static const int statuses[] = {100, 180, 183, 200, 200, 302, 401, 407, 422, 481, 486, 487, 491, 500, 408, 603};
        if (m_OurRequests.empty()) return;
        const NvHandle<NvSipRequest>& request = m_OurRequests[a % m_OurRequests.size()];
        const int status = statuses[b % 16];
        NvHandle<NvSipResponse> response = new NvSipResponse(status, request);
        if (response->getToHeader()->getTag().isEmpty() && (status > 100 || (b & 16)))
            response->getToHeader()->setTag(b & 32 ? "fork2" : "fork1");
        std::string text = response->toString();
        std::string extra = "Contact: <sip:" + std::string(b & 32 ? "carol" : "alice") + "@192.0.2.1>\r\n";
        if ((status == 180 || status == 183) && (b & 64))
            extra += "Require: 100rel\r\nRSeq: " + std::to_string(++m_RSeq) + "\r\n";
        if (status == 200 && (a & 128)) extra += "Session-Expires: 90;refresher=uac\r\nRequire: timer\r\n";
        if (status == 401) extra += "WWW-Authenticate: Digest realm=\"x\", nonce=\"1\"\r\n";
        if (status == 407) extra += "Proxy-Authenticate: Digest realm=\"x\", nonce=\"1\"\r\n";
        if (status == 422) extra += "Min-SE: 120\r\n";
        if (b & 128) extra += "Record-Route: <sip:192.0.2.30;lr>\r\n";
        inject(text.insert(text.find("\r\n") + 2, extra));
    }

    // ------------------------------------------------------------ the application
    NvHandle<NvSipIncomingCall> incomingCall(uint8_t a) {
        if (application->incoming.empty()) return nullptr;
        return application->incoming[a % application->incoming.size()];
    }
    void applicationAnswers(uint8_t a, uint8_t b) {
        static const unsigned statuses[] = {180, 183, 200, 200, 486, 603, 302, 500};
        const NvHandle<NvSipIncomingCall> call = incomingCall(a);
        if (call.isNil()) return;
        const unsigned status = statuses[b % 8];
        const bool body = (b & 8) != 0;
        const unsigned length = body ? static_cast<unsigned>(std::string(kOffer).size()) : 0;
        tryTo([&] {
            if ((b & 16) && status < 200)
                call->sendReliableProvisionalResponse(status, kOffer, "application/sdp", length);
            else
                call->answer(status, body ? kOffer : nullptr, body ? "application/sdp" : nullptr, length);
        });
    }
    void applicationActs(uint8_t a, uint8_t b) {
        NvHandle<NvSipCall> call;
        if ((a & 1) && !application->outgoing.empty())
            call = application->outgoing[(a >> 1) % application->outgoing.size()];
        else
            call = incomingCall(a >> 1);
        if (call.isNil()) return;
        const bool body = (b & 8) != 0;
        const unsigned length = body ? static_cast<unsigned>(std::string(kOffer).size()) : 0;
        const char* type = body ? "application/sdp" : nullptr;
        tryTo([&] {
            switch (b % 6) {
                case 0: call->hangup(); break;
                case 1: call->reinvite(body ? kOffer : nullptr, type, length, nullptr); break;
                case 2: call->update(body ? kOffer : nullptr, type, length); break;
                case 3:
                    if (!application->handedOver.isNil())
                        std::exchange(application->handedOver, nullptr)->trySendResponse(b & 16 ? 200 : 403);
                    break;
                case 4:
                    if (NvHandle<NvSipOutgoingCall> out = NvHandle<NvSipOutgoingCall>(call))
                        out->prack(body ? kOffer : nullptr, type, length);
                    break;
                case 5: call->respondToReinvite(b & 16 ? 200 : 488, nullptr, nullptr, 0); break;
            }
        });
    }
    void placeCall(uint8_t a) {
        if (application->outgoing.size() >= 2) return;
        const std::string text = "INVITE sip:alice@192.0.2.1 SIP/2.0\r\nFrom: <sip:bob@192.0.2.10>\r\n"
                                 "To: <sip:alice@192.0.2.1>\r\nCall-ID: out" + std::to_string(++m_Calls) +
                                 "\r\nCSeq: 1 INVITE\r\n" + (a & 1 ? "Supported: 100rel\r\n" : "") +
                                 "Content-Length: 0\r\n\r\n";
        tryTo([&] {
            application->outgoing.push_back(
                new NvSipOutgoingCall(NvHandle<NvSipInviteMessage>(parsed(text)), outgoing.get(), nullptr));
        });
    }

    // ------------------------------------------------------------ the wire
    // Takes what we sent: responses answer the peer's requests (and tell it
    // our tags and RSeqs), requests are kept for the peer to answer.
    void collectSent() {
        for (const Wire::Sent& sent : wire.takeSent()) {
            trace(">>>", sent.bytes);
            const NvHandle<NvSipMessage>& message = sent.message;
            if (message.isNil()) continue;
            if (!message->isRequest()) {
                const NvHandle<NvSipResponse> response(message);
                const std::string key =
                    response->getTopVia()->getBranch().str() + " " + response->getCSeqHeader()->getMethod().str();
                if (response->getStatusCode() >= 200) {
                    m_Unanswered.erase(key);
                    m_Answered.insert(key);
                }
                for (PeerCall& call : m_Peer) {
                    if (call.callId != response->getCallID().str()) continue;
                    if (!response->getToHeader()->getTag().isEmpty())
                        call.ourTag = response->getToHeader()->getTag().str();
                    if (const NvHandle<NvSipRSeqHeader> rseq = response->getHeader<NvSipRSeqHeader>())
                        call.lastRSeq = rseq->getNumber();
                }
                continue;
            }
            const NvHandle<NvSipRequest> request(message);
            if (request->getMethod() == "ACK") continue;
            m_OurRequests.push_back(request);
            if (m_OurRequests.size() > 8) m_OurRequests.pop_front();
        }
    }

    // ------------------------------------------------------------ the end
    void settle() {
        for (const auto& call : application->incoming) tryTo([&] { call->hangup(); });
        for (const auto& call : application->outgoing) tryTo([&] { call->hangup(); });
        application->handedOver = nullptr;
        collectSent();
        // Half a second at a time while retransmissions cross, then in long steps.
        for (int step = 0; step < 20; ++step) {
            answerEverything();
            clock.advance(step < 10 ? 500 : kLongestWaitMs / 4);
            collectSent();
        }
        if (!m_Unanswered.empty()) fail("a request of the peer was never answered: " + *m_Unanswered.begin());
        if (!records->kept.empty()) fail("the record of an ended call stayed in the snapshot store: " + records->kept.begin()->first);
        application->incoming.clear();
        application->outgoing.clear();
        if (manager->getDialogCount() != 0 || transactions.getTransactionCount() != 0 ||
            Tellar::liveAllocations("NvSipDialog") != 0)
            fail("after the clock ran out: " + std::to_string(manager->getDialogCount()) + " dialogs listed, " +
                 std::to_string(transactions.getTransactionCount()) + " transactions, " +
                 std::to_string(Tellar::liveAllocations("NvSipDialog")) + " dialogs alive");
        // What the stack still remembers of answered requests would only
        // be forgotten on its next use: forget it now, so that a run frees
        // what it allocated and the fuzzer's leak check stays quiet.
        transactions.clear();
        m_Peer[0] = m_Peer[1] = PeerCall();
        m_Answered.clear();
        m_OurRequests.clear();
        wire.clear();
    }
    // The peer answers every request we sent with 200.
    void answerEverything() {
        for (const NvHandle<NvSipRequest>& request : std::exchange(m_OurRequests, {})) {
            NvHandle<NvSipResponse> response = new NvSipResponse(200, request);
            if (response->getToHeader()->getTag().isEmpty()) response->getToHeader()->setTag("fork1");
            std::string text = response->toString();
            inject(text.insert(text.find("\r\n") + 2, "Contact: <sip:alice@192.0.2.1>\r\n"));
            collectSent();
        }
    }
    [[noreturn]] static void fail(const std::string& what) {
        std::fprintf(stderr, "call_flow_fuzzer: %s\n", what.c_str());
        std::abort();
    }

    NvTestClock clock;
    Wire wire;
    NvSipTransactionManager& transactions = *NvSipTransactionManager::getInstance();
    NvHandle<Application> application = new Application;
    NvHandle<Outgoing> outgoing = new Outgoing;
    NvHandle<NewCalls> newCalls = new NewCalls;
    NvHandle<NvSipCallManager> manager = new NvSipCallManager(newCalls.get(), new NvSipCallStrayInterface);
    NvHandle<Records> records = new Records;
    PeerCall m_Peer[2];
    std::deque<NvHandle<NvSipRequest>> m_OurRequests;  // the last requests we sent, for the peer to answer
    std::set<std::string> m_Unanswered;  // "branch method" of the peer's requests without a final response yet
    std::set<std::string> m_Answered;    // and of those with one
    uint32_t m_Calls = 0, m_Requests = 0, m_RSeq = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    NvSipCall::setLocalHostPort("192.0.2.10", 5060, NvSocketImpl::UDP, "bob");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static Run* run = new Run;  // kept to the end, as an application's stack and manager
    run->play(bytes, size);
    return 0;
}
