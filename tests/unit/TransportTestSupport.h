#pragma once
// Shared by the transport tests: SIP texts as a peer sends them, framing, peers, and RecordingReceiver, which keeps
// what the transport hands on or reports as not sent and waits (bounded) for it; thread-safe (see Guarded).

#include "SipTestText.h"
#include "stack/transport/NvSipSocketFraming.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <condition_variable>
#include <mutex>
#include <string_view>

namespace stack_test {

// A MESSAGE from a peer; `via` is its top Via's sent-protocol and sent-by, with parameters.
inline std::string peerMessage(const std::string& callId, const std::string& body = "",
                               const std::string& via = "UDP 127.0.0.1:5999;rport",
                               const std::string& uri = "sip:bob@127.0.0.1", const std::string& extra = "") {
    return "MESSAGE " + uri + " SIP/2.0\r\nVia: SIP/2.0/" + via + ";branch=z9hG4bK-" + callId +
           "\r\nMax-Forwards: 70\r\nFrom: <sip:alice@127.0.0.1>;tag=a1\r\nTo: <sip:bob@127.0.0.1>\r\nCall-ID: " +
           callId + "\r\nCSeq: 1 MESSAGE\r\n" + extra + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

// The 200 answering peerMessage(callId) (with the request's headers, as a stateless echo would).
inline std::string sipResponse(const std::string& callId) {
    const std::string request = peerMessage(callId, "", "TCP 127.0.0.1:5999");
    return "SIP/2.0 200 OK" + request.substr(request.find("\r\n"));
}

// What the transport's framer gave for a stream fed piece by piece, taking all it had ready after each piece.
struct Outcome {
    Lines messages;
    int pings = 0;
    std::string garbage;
    size_t pending = 0;  // after the last piece
};

inline Outcome feed(const Lines& pieces) {
    NvSipStreamFramer framer;
    Outcome outcome;
    std::string_view message;
    std::string reason;
    for (const auto& piece : pieces) {
        framer.append(piece.data(), piece.size());
        for (int i = 0; i < 1000; ++i) {
            const auto result = framer.next(message, reason);
            if (result == NvSipStreamFramer::Result::Ping) ++outcome.pings;
            if (result == NvSipStreamFramer::Result::Message) outcome.messages.emplace_back(message);
            if (result == NvSipStreamFramer::Result::Garbage) outcome.garbage = reason;
            if (result == NvSipStreamFramer::Result::NeedMore || !outcome.garbage.empty()) break;
        }
    }
    outcome.pending = framer.pending();
    return outcome;
}

inline NvSipPeer peerAt(NvSocketImpl::Transport kind, const char* address, uint16_t port, uint32_t connection = 0) {
    return NvSipPeer{kind, NvInetAddress::sParse(address), port, connection, NvInetAddress(), 0};
}

// State shared between threads: changed under its lock, which wakes whoever waits for it.
class Guarded {
public:
    // Runs `f` under the lock, and wakes the waiters to look again.
    template <class F>
    auto locked(F f) -> decltype(f()) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Changed.notify_all();
        return f();
    }
    // Waits, `timeout` at most, until `done()` (checked under the lock); then runs `then` under it.
    template <class Done, class Then = void (*)()>
    bool waitUntil(Done done, std::chrono::milliseconds timeout, Then then = [] {}) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        const bool ok = m_Changed.wait_for(lock, timeout, done);
        return then(), ok;
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
};

class RecordingReceiver : public NvSipMessageReceiver, public Guarded {
public:
    using Failure = std::pair<NvHandle<NvSipMessage>, std::string>;

    void receive(const NvHandle<NvSipMessage>& message) override { locked([&] { m_Messages.push_back(message); }); }
    void sendFailed(const NvHandle<NvSipMessage>& message, const std::string& reason) override {
        locked([&] { m_Failures.emplace_back(message, reason); });
    }
    // Waits, 2 s at most by default, until `n` messages (failures) are there.
    bool waitFor(size_t n, std::chrono::milliseconds timeout = 2000ms) {
        return waitUntil([&] { return m_Messages.size() >= n; }, timeout);
    }
    bool waitForFailures(size_t n, std::chrono::milliseconds timeout = 2000ms) {
        return waitUntil([&] { return m_Failures.size() >= n; }, timeout);
    }
    std::vector<NvHandle<NvSipMessage>> messages() { return locked([&] { return m_Messages; }); }
    std::vector<Failure> failures() { return locked([&] { return m_Failures; }); }
    Lines callIds() {
        Lines ids;
        for (const auto& message : messages()) ids.push_back(message->getCallID().str());
        return ids;
    }

private:
    std::vector<NvHandle<NvSipMessage>> m_Messages;
    std::vector<Failure> m_Failures;
};

}  // namespace stack_test
