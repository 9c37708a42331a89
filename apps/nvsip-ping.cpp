// nvsip-ping: sends OPTIONS to a SIP URI through client transactions and
// prints each response with its round-trip time; or, with --respond,
// answers OPTIONS with 200.
//
//   nvsip-ping [--bind ADDR:PORT] [--count N] [--interval MS] [--tcp] sip:URI
//   nvsip-ping --respond --bind ADDR:PORT [--count N]
//
// Pinging exits 0 when every OPTIONS got a final response, 1 otherwise,
// after a summary line. Responding runs until N requests were answered (or
// forever without --count). Usage errors exit 2.

#include "apps/common/CommandLine.h"
#include "stack/base/NvException.h"
#include "stack/sip/NvSipIdentifiers.h"
#include "stack/timer/NvMonitorThread.h"
#include "stack/timer/NvTime.h"
#include "stack/transaction/NvSipTransactionManager.h"
#include "stack/transport/NvSipTransportLayer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

struct Options {
    bool respond = false;
    bool tcp = false;
    std::string bindHost = "0.0.0.0";
    uint16_t bindPort = 0;
    long count = -1;  // -1: default (4 pings, or answer forever)
    unsigned interval = 1000;
    std::string target;
};

[[noreturn]] void usage(const char* problem) {
    if (problem) std::cerr << "nvsip-ping: " << problem << "\n";
    std::cerr << "usage: nvsip-ping [--bind ADDR:PORT] [--count N] [--interval MS] [--tcp] sip:URI\n"
                 "       nvsip-ping --respond --bind ADDR:PORT [--count N]\n";
    std::exit(2);
}

Options parseArguments(int argc, char** argv) try {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) usage(("missing value after " + arg).c_str());
            return argv[++i];
        };
        if (arg == "--respond") options.respond = true;
        else if (arg == "--tcp") options.tcp = true;
        else if (arg == "--bind") {
            const BindAddress bind = parseBindAddress(value());
            options.bindHost = bind.host;
            options.bindPort = bind.port;
        } else if (arg == "--count") options.count = parseNumber(value(), "--count");
        else if (arg == "--interval") options.interval = static_cast<unsigned>(parseNumber(value(), "--interval"));
        else if (arg == "--help" || arg == "-h") usage(nullptr);
        else if (!arg.empty() && arg[0] == '-') usage(("unknown option " + arg).c_str());
        else if (options.target.empty()) options.target = arg;
        else usage("more than one target");
    }
    if (options.respond && options.bindPort == 0) usage("--respond needs --bind ADDR:PORT");
    if (!options.respond && options.target.empty()) usage("no target URI");
    return options;
} catch (const std::invalid_argument& e) {
    usage(e.what());
}

// ------------------------------------------------------------------ responder

class Responder : public NvSipServerTransactionInterface {
public:
    explicit Responder(long limit) : m_Limit(limit) {}

    void request(NvHandle<NvSipServerTransaction> transaction, NvHandle<NvSipRequest> request) override {
        transaction->sendResponse(request->getMethod() == NvSipOptionsMessage::sMethodName ? 200u : 501u);
        if (++m_Answered == m_Limit) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Done.notify_all();
        }
    }

    void waitUntilDone() {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Done.wait(lock, [this] { return m_Limit >= 0 && m_Answered.load() >= m_Limit; });
    }

    long answered() const { return m_Answered.load(); }

private:
    const long m_Limit;
    std::atomic<long> m_Answered{0};
    std::mutex m_Mutex;
    std::condition_variable m_Done;
};

class ResponderFactory : public NvTransactionFactoryInterface {
public:
    explicit ResponderFactory(NvHandle<Responder> responder) : m_hResponder(std::move(responder)) {}
    NvHandle<NvSipServerTransaction> createServerTransaction(NvHandle<NvSipRequest> request) override {
        return NvHandle<NvSipServerTransaction>(new NvSipServerTransaction(request, m_hResponder.get()));
    }

private:
    NvHandle<Responder> m_hResponder;
};

int respond(const Options& options) {
    NvHandle<Responder> responder(new Responder(options.count));
    NvSipTransactionManager::getInstance()->setTransactionFactoryInterface(
        NvHandle<NvTransactionFactoryInterface>(new ResponderFactory(responder)));
    NvSipTransportLayer* transport = NvSipTransportLayer::sGetInstance();
    const uint16_t port = transport->listen(NvSocketImpl::UDP, options.bindHost.c_str(), options.bindPort);
    transport->listen(NvSocketImpl::TCP, options.bindHost.c_str(), port);
    NvMonitorThread::sGetCurrent()->start();
    std::cout << "nvsip-ping: answering OPTIONS on " << options.bindHost << ":" << port << " (UDP and TCP)" << std::endl;
    responder->waitUntilDone();
    NvMonitorThread::sGetCurrent()->stop();
    transport->close();
    std::cout << "nvsip-ping: answered " << responder->answered() << " requests" << std::endl;
    return 0;
}

// ------------------------------------------------------------------ pinger

// Waits for the outcome of one OPTIONS transaction.
class Ping : public NvSipClientTransactionInterface {
public:
    void finalResponse(NvHandle<NvSipClientTransaction>, NvHandle<NvSipResponse> response) override {
        finish(response, false);
    }
    void timeOut(NvHandle<NvSipClientTransaction>) override { finish(nullptr, true); }

    // Returns the response (nil after a time-out).
    NvHandle<NvSipResponse> wait() {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Changed.wait(lock, [this] { return m_bDone; });
        return m_hResponse;
    }

private:
    void finish(NvHandle<NvSipResponse> response, bool) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_hResponse = std::move(response);
        m_bDone = true;
        m_Changed.notify_all();
    }
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_bDone = false;
    NvHandle<NvSipResponse> m_hResponse;
};

// Each OPTIONS is a call of its own (new Call-ID), as peers that keep
// per-call state expect.
NvHandle<NvSipRequest> buildOptions(const Options& options, const NvHandle<NvURI>& target, const NvString& tag,
                                    uint32_t cseq) {
    NvHandle<NvSipRequest> request(new NvSipOptionsMessage());
    request->setURI(NvHandle<NvURI>(static_cast<NvURI*>(target->clone())));
    NvSipTransportLayer* transport = NvSipTransportLayer::sGetInstance();
    const NvSocketImpl::Transport kind = options.tcp ? NvSocketImpl::TCP : NvSocketImpl::UDP;
    NvHandle<NvSipURL> self(new NvSipURL());
    self->setUser("nvsip-ping");
    self->setHost(transport->getSentByHost(kind).view());
    self->setPort(transport->getSentByPort(kind));
    NvHandle<NvSipFromHeader> from(new NvSipFromHeader(NvHandle<NvSipNameAddress>(new NvSipNameAddress("", self))));
    from->setTag(tag.view());
    request->addHeader(NvHandle<NvSipHeader>(from));
    request->addHeader(NvHandle<NvSipHeader>(new NvSipToHeader(
        NvHandle<NvSipNameAddress>(new NvSipNameAddress("", NvHandle<NvURI>(static_cast<NvURI*>(target->clone())))))));
    request->addHeader(NvHandle<NvSipHeader>(
        new NvSipCallIDHeader(NvSipCallid::reGenerate(transport->getSentByHost(kind).c_str()).view())));
    request->addHeader(NvHandle<NvSipHeader>(new NvSipCSeqHeader(cseq, NvSipOptionsMessage::sMethodName)));
    request->addHeader(NvHandle<NvSipHeader>(new NvSipContactHeader(
        NvHandle<NvSipNameAddress>(new NvSipNameAddress("", NvHandle<NvURI>(static_cast<NvURI*>(self->clone())))))));
    request->addHeader(NvHandle<NvSipHeader>(new NvSipGenericHeader("Accept", "application/sdp")));
    request->addHeader(NvHandle<NvSipHeader>(new NvSipContentLengthHeader(0)));
    return request;
}

int ping(const Options& options) {
    NvHandle<NvURI> target;
    try {
        target = NvURI::sParse(options.target);
    } catch (NvHandle<NvException>& e) {
        usage(e->getMessage().c_str());
    }
    const auto url = target.cast<NvSipURL>();
    if (!url) usage("the target must be a sip: or sips: URI");
    if (options.tcp) url->setParameter("transport", "tcp");

    NvSipTransportLayer* transport = NvSipTransportLayer::sGetInstance();
    transport->listen(options.tcp ? NvSocketImpl::TCP : NvSocketImpl::UDP, options.bindHost.c_str(), options.bindPort);
    NvMonitorThread::sGetCurrent()->start();

    const long count = options.count < 0 ? 4 : options.count;
    const NvString tag = NvSipTag::reGenerate("ping");
    long answered = 0;
    double minMs = 1e300, maxMs = 0, sumMs = 0;
    for (long i = 1; i <= count; ++i) {
        NvHandle<Ping> outcome(new Ping());
        NvHandle<NvSipClientTransaction> transaction(
            new NvSipClientTransaction(buildOptions(options, target, tag, static_cast<uint32_t>(i)), outcome.get()));
        const double start = NvTime::sGetCurrentTime();
        unsigned port = 0;
        NvInetAddress address;
        try {
            transaction->sendRequest(&port, &address);
        } catch (NvHandle<NvException>& e) {
            std::cout << "OPTIONS " << i << ": not sent: " << e->getMessage().str() << std::endl;
            continue;
        }
        const NvHandle<NvSipResponse> response = outcome->wait();
        const double ms = (NvTime::sGetCurrentTime() - start) / 1000.0;
        if (response) {
            ++answered;
            minMs = std::min(minMs, ms);
            maxMs = std::max(maxMs, ms);
            sumMs += ms;
            std::printf("OPTIONS %ld: %d %s from %s:%u, %.3f ms\n", i, response->getStatusCode(),
                        response->getReasonPhrase().c_str(), address.toString().c_str(), port, ms);
        } else {
            std::printf("OPTIONS %ld: no final response from %s:%u (timed out after %.0f ms)\n", i,
                        address.toString().c_str(), port, ms);
        }
        std::fflush(stdout);
        if (i < count) std::this_thread::sleep_for(std::chrono::milliseconds(options.interval));
    }
    NvMonitorThread::sGetCurrent()->stop();
    transport->close();
    if (answered)
        std::printf("%ld sent, %ld answered, %ld without answer; rtt min/avg/max %.3f/%.3f/%.3f ms\n", count, answered,
                    count - answered, minMs, sumMs / static_cast<double>(answered), maxMs);
    else
        std::printf("%ld sent, 0 answered, %ld without answer\n", count, count);
    return answered == count ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseArguments(argc, argv);
    try {
        return options.respond ? respond(options) : ping(options);
    } catch (NvHandle<NvException>& e) {
        std::cerr << "nvsip-ping: " << e->getMessage().str() << std::endl;
        return 1;
    }
}
