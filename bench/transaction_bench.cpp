// Transaction layer figures.
//
// BM_OptionsOverLoopbackUdp: complete non-INVITE (OPTIONS) transactions per
// second over real UDP sockets on 127.0.0.1. One process plays both sides:
// the client transaction sends to the stack's own socket, the server
// transaction created for it answers 200, and the 200 completes the client
// transaction. `state.range(0)` transactions are kept in flight.
//
// BM_AnsweredRequestMemory: heap bytes per answered non-INVITE request while
// its retransmissions are answered for timer J, all included (what the
// transaction manager keeps once the transaction has ended: key, response
// bytes, destination, index), measured with mallinfo2 over 20,000 OPTIONS
// driven through the test transport; beside it, what the request and
// response would take kept parsed.

#include "stack/sip/NvSipIdentifiers.h"
#include "stack/sip/NvSipParser.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/timer/NvTestClock.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTestTransport.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

class AnswerOptions : public NvSipServerTransactionInterface {
public:
    void request(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest>) override {
        transaction->sendResponse(200u);
    }
};

class AnswerFactory : public NvTransactionFactoryInterface {
public:
    NvHandle<NvSipServerTransaction> createServerTransaction(NvHandle<NvSipRequest> request) override {
        return NvHandle<NvSipServerTransaction>(new NvSipServerTransaction(request, m_hAnswer.get()));
    }

private:
    NvHandle<AnswerOptions> m_hAnswer{new AnswerOptions()};
};

// Counts completed client transactions and lets the driver wait for room.
class Completion : public NvSipClientTransactionInterface {
public:
    void finalResponse(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse> response) override {
        if (response->getStatusCode() != 200) m_Failed++;
        done();
    }
    void timeOut(NvHandle<NvSipClientTransaction>) override {
        m_Failed++;
        done();
    }
    void started() {
        std::unique_lock<std::mutex> lock(m_Mutex);
        ++m_InFlight;
    }
    // Waits until fewer than `limit` are in flight (bounded by 5 s).
    bool waitBelow(long limit) {
        std::unique_lock<std::mutex> lock(m_Mutex);
        return m_Room.wait_for(lock, std::chrono::seconds(5), [&] { return m_InFlight < limit; });
    }
    long failed() const { return m_Failed.load(); }

private:
    void done() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        --m_InFlight;
        m_Room.notify_all();
    }
    std::mutex m_Mutex;
    std::condition_variable m_Room;
    long m_InFlight = 0;
    std::atomic<long> m_Failed{0};
};

NvHandle<NvSipRequest> options(const std::string& target, uint32_t cseq) {
    const std::string text = "OPTIONS " + target + " SIP/2.0\r\n" +
                             "From: <sip:bench@127.0.0.1>;tag=" + NvSipTag::reGenerate("b").str() + "\r\n" +
                             "To: <" + target + ">\r\n" + "Call-ID: " + NvSipCallid::reGenerate("bench").str() +
                             "\r\n" + "CSeq: " + std::to_string(cseq) + " OPTIONS\r\n" +
                             "Content-Length: 0\r\n\r\n";
    return NvSipParser::sParse(text.data(), text.size()).cast<NvSipRequest>();
}

void BM_OptionsOverLoopbackUdp(benchmark::State& state) {
    NvSipTransportLayer* transport = NvSipTransportLayer::sGetInstance();
    const uint16_t port = transport->listen(NvSocketImpl::UDP, "127.0.0.1", 0);
    NvSipTransactionManager::getInstance()->setTransactionFactoryInterface(
        NvHandle<NvTransactionFactoryInterface>(new AnswerFactory()));
    NvMonitorThread::sGetCurrent()->start();
    const std::string target = "sip:bench@127.0.0.1:" + std::to_string(port);
    NvHandle<Completion> completion(new Completion());
    uint32_t cseq = 0;
    for (auto _ : state) {
        if (!completion->waitBelow(state.range(0))) {
            state.SkipWithError("no room: transactions stopped completing");
            break;
        }
        completion->started();
        NvHandle<NvSipClientTransaction> transaction(new NvSipClientTransaction(options(target, ++cseq), completion.get()));
        transaction->sendRequest();
    }
    completion->waitBelow(1);
    NvMonitorThread::sGetCurrent()->stop();
    transport->close();
    state.counters["failed"] = static_cast<double>(completion->failed());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OptionsOverLoopbackUdp)->Arg(100)->UseRealTime()->MinTime(3.0);

size_t heapInUse() { return mallinfo2().uordblks; }

void BM_AnsweredRequestMemory(benchmark::State& state) {
    constexpr int kTransactions = 20000;
    // Those the loopback benchmark left lingering on the real clock would be counted too.
    NvSipTransactionManager::getInstance()->clear();
    for (auto _ : state) {
        NvTestClock clock;
        NvSipTestTransport network;
        NvSipTransactionManager::getInstance()->setTransactionFactoryInterface(
            NvHandle<NvTransactionFactoryInterface>(new AnswerFactory()));
        std::vector<std::string> requests;
        for (int i = 0; i < kTransactions; ++i) {
            requests.push_back("OPTIONS sip:bench@192.0.2.10 SIP/2.0\r\n"
                               "Via: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bK" + std::to_string(i) + "x\r\n"
                               "From: <sip:peer@192.0.2.1>;tag=f" + std::to_string(i) + "\r\n"
                               "To: <sip:bench@192.0.2.10>\r\n"
                               "Call-ID: c" + std::to_string(i) + "@192.0.2.1\r\n"
                               "CSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n");
        }
        // What the messages would cost kept parsed: each request parsed and its 200 built.
        size_t before = heapInUse();
        {
            std::vector<NvHandle<NvSipMessage>> messages;
            for (const auto& text : requests) {
                auto request = NvSipParser::sParse(text.data(), text.size()).cast<NvSipRequest>();
                messages.emplace_back(new NvSipResponse(200, request));
                messages.push_back(NvHandle<NvSipMessage>(request));
            }
            state.counters["message_bytes_per_transaction"] =
                static_cast<double>(heapInUse() - before) / kTransactions;
        }
        // The same traffic answered through transactions, remembered for timer J.
        before = heapInUse();
        for (const auto& text : requests) network.inject(text);
        network.clear();  // the captured copies of the 200s are the test's, not the stack's
        const size_t live = NvSipTransactionManager::getInstance()->getTransactionCount();
        const double total = static_cast<double>(heapInUse() - before) / kTransactions;
        state.counters["transactions_left"] = static_cast<double>(live);
        state.counters["heap_bytes_per_answered_request"] = total;
        clock.advance(64 * 500 + 1000);  // timer J's time ends for them all
    }
}
BENCHMARK(BM_AnsweredRequestMemory)->Iterations(1);

}  // namespace
