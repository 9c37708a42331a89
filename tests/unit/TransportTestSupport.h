#pragma once
// Shared by the transport tests. RecordingReceiver keeps what the transport
// hands on and what it reports as not sent, and waits (bounded) for them;
// thread-safe, as the monitor thread records while the test waits.

#include "stack/sip/NvSipParser.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class RecordingReceiver : public NvSipMessageReceiver {
public:
    using Failure = std::pair<NvHandle<NvSipMessage>, std::string>;
    static constexpr std::chrono::milliseconds kWait{2000};  // longest wait for what should happen

    void receive(const NvHandle<NvSipMessage>& message) override {
        record([&] { m_Messages.push_back(message); });
    }
    void sendFailed(const NvHandle<NvSipMessage>& message, const std::string& reason) override {
        record([&] { m_Failures.emplace_back(message, reason); });
    }
    bool waitFor(size_t n, std::chrono::milliseconds timeout = kWait) {
        return wait(timeout, [&] { return m_Messages.size() >= n; });
    }
    bool waitForFailures(size_t n, std::chrono::milliseconds timeout = kWait) {
        return wait(timeout, [&] { return m_Failures.size() >= n; });
    }
    std::vector<NvHandle<NvSipMessage>> messages() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Messages;
    }
    std::vector<Failure> failures() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Failures;
    }
    size_t count() { return messages().size(); }

private:
    template <class F>
    void record(F add) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        add();
        m_Changed.notify_all();
    }
    template <class F>
    bool wait(std::chrono::milliseconds timeout, F done) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        return m_Changed.wait_for(lock, timeout, done);
    }

    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::vector<NvHandle<NvSipMessage>> m_Messages;
    std::vector<Failure> m_Failures;
};

inline NvHandle<NvSipMessage> parse(const std::string& text) { return NvSipParser::sParse(text.data(), text.size()); }

inline NvSipPeer peerAt(NvSocketImpl::Transport transport, const char* address, uint16_t port,
                        uint32_t connection = 0) {
    NvSipPeer peer;
    peer.transport = transport;
    peer.address = NvInetAddress::sParse(address);
    peer.port = port;
    peer.connection = connection;
    return peer;
}
