#pragma once
// NvSipResolver: turns host names into addresses for the transport layer.
// Owned by NvSipTransportLayer.
//
// sResolve() answers at once for an address literal and asks the system
// resolver (sm_Lookup) otherwise, on the calling thread; the stack calls it
// on the worker only. The transport layer hands every host name to
// resolveLater(), whichever thread sends, so that no thread waits for a
// name server inside send(): the sender may hold a dialog's lock that the
// monitor thread needs. The worker starts on first use, queues at most
// kMaxPending names (beyond that resolveLater raises, and so does send()),
// and is joined by stop(), which fails whatever is still waiting.
//
// Threads: any. m_Mutex guards the queue and the worker's state; `done`
// runs on the worker thread (or in stop()) with no lock held.

#include "stack/net/NvInetAddress.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class NvSipResolver {
public:
    // `address` is valid on success; otherwise `error` says why.
    using Done = std::function<void(const NvInetAddress& address, const std::string& error)>;
    using Lookup = NvInetAddress (*)(const std::string& host);

    static constexpr size_t kMaxPending = 256;
    // Resolves a name (not a literal); raises NvException when it cannot.
    // getaddrinfo by default; tests put in a lookup that needs no network.
    static Lookup sm_Lookup;

    static NvInetAddress sResolve(const std::string& host);

    NvSipResolver() = default;
    ~NvSipResolver();
    NvSipResolver(const NvSipResolver&) = delete;
    NvSipResolver& operator=(const NvSipResolver&) = delete;

    // Resolves `host` on the worker and calls `done` there. Raises
    // NvException when kMaxPending names are already waiting.
    void resolveLater(const std::string& host, Done done);
    // Joins the worker; names still waiting get "the transport was closed".
    void stop();

private:
    struct Job {
        std::string host;
        Done done;
    };
    void run();

    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    std::deque<Job> m_Jobs;
    std::thread m_Worker;
    bool m_bStopping = false;
    bool m_bJoining = false;  // stop() is waiting for the worker: nothing new is taken
};
