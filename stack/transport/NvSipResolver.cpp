#include "stack/transport/NvSipResolver.h"

#include "stack/base/NvException.h"

#include <netdb.h>
#include <sys/socket.h>

#include <utility>

namespace {

NvInetAddress systemLookup(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* results = nullptr;
    const int error = getaddrinfo(host.c_str(), nullptr, &hints, &results);
    if (error != 0 || !results)
        NvException::sThrow("Cannot resolve host '" + host + "': " + gai_strerror(error));
    NvInetAddress found;
    for (addrinfo* r = results; r && !found.isValid(); r = r->ai_next) {
        if (r->ai_family == AF_INET)
            found = NvInetAddress(reinterpret_cast<sockaddr_in*>(r->ai_addr)->sin_addr);
        else if (r->ai_family == AF_INET6)
            found = NvInetAddress(reinterpret_cast<sockaddr_in6*>(r->ai_addr)->sin6_addr);
    }
    freeaddrinfo(results);
    if (!found.isValid()) NvException::sThrow("Host '" + host + "' has no IPv4 or IPv6 address");
    return found;
}

}  // namespace

NvSipResolver::Lookup NvSipResolver::sm_Lookup = systemLookup;

NvInetAddress NvSipResolver::sResolve(const std::string& host) {
    const NvInetAddress literal = NvInetAddress::sParse(host);
    return literal.isValid() ? literal : sm_Lookup(host);
}

NvSipResolver::~NvSipResolver() { stop(); }

void NvSipResolver::resolveLater(const std::string& host, Done done) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Jobs.size() >= kMaxPending)
        NvException::sThrow("Cannot resolve host '" + host + "': " + std::to_string(kMaxPending) +
                            " names are already waiting");
    if (m_bJoining) NvException::sThrow("Cannot resolve host '" + host + "': the transport is closing");
    m_Jobs.push_back(Job{host, std::move(done)});
    if (!m_Worker.joinable()) {
        m_bStopping = false;
        m_Worker = std::thread([this] { run(); });
    }
    m_Wake.notify_one();
}

void NvSipResolver::stop() {
    std::deque<Job> left;
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStopping = true;
        m_bJoining = true;
        worker = std::move(m_Worker);
    }
    m_Wake.notify_one();
    if (worker.joinable()) worker.join();
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bJoining = false;
        left.swap(m_Jobs);
    }
    for (auto& job : left) job.done(NvInetAddress(), "the transport was closed before '" + job.host + "' was resolved");
}

void NvSipResolver::run() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    for (;;) {
        m_Wake.wait(lock, [this] { return m_bStopping || !m_Jobs.empty(); });
        if (m_bStopping) return;
        Job job = std::move(m_Jobs.front());
        m_Jobs.pop_front();
        lock.unlock();
        NvInetAddress address;
        std::string error;
        try {
            address = sResolve(job.host);
        } catch (NvHandle<NvException>& e) {
            error = e->getMessage().str();
        }
        job.done(address, error);
        lock.lock();
    }
}
