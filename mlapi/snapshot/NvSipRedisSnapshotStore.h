#pragma once
// NvSipRedisSnapshotStore: the snapshot store shared by the nodes of a
// cluster, on a Redis server. A call's record is the hash
// "nvsip:call:<Call-ID>" with the fields "snapshot" (the bytes) and "owner"
// (the node that wrote it last); it expires after the lifetime given with
// each write, so that the record of a call whose every node died goes too.
//
// Writes never wait on the network: save and remove queue their command on
// an asynchronous connection (hiredis) with a non-blocking socket, write
// what the socket takes at once, and leave the rest and the replies to the
// stack's reactor, on the stack's thread; replies are only checked for
// errors. Reads
// (load, loadAll) use a second, blocking connection with a time-out of
// `timeoutMs`, on the caller's thread: a take-over waits for it once.
//
// A server that cannot be reached, or a connection that breaks, is logged
// at WARN (once until it comes back); writes meanwhile are dropped and the
// calls go on, reads find nothing. The next write (read) a second after a
// failed attempt tries to connect again, so that a server that is down
// costs the stack's thread one read time-out a second at most.
//
// Threads: any; m_Mutex guards the asynchronous connection (its commands,
// and its socket events on the stack's thread), m_ReadMutex the blocking one.

#include "mlapi/snapshot/NvSipSnapshotStore.h"

#include <chrono>
#include <memory>
#include <mutex>

struct redisAsyncContext;
struct redisContext;

class NVSIPMLAPI_EXPORT NvSipRedisSnapshotStore : public NvSipSnapshotStore {
public:
    // `owner` names this node in the records it writes (its address, say);
    // loadAll returns the records it owns. Connects at the first use.
    NvSipRedisSnapshotStore(std::string host, uint16_t port, std::string owner, unsigned timeoutMs = 200);
    ~NvSipRedisSnapshotStore() override;

    void save(const std::string& callId, const std::string& snapshot, uint32_t lifetimeSeconds) override;
    void remove(const std::string& callId) override;
    std::string load(const std::string& callId) override;
    // The records whose owner is this node (a node started again).
    std::vector<std::pair<std::string, std::string>> loadAll() override;

    // "redis://HOST:PORT" -> host and port; raises NvException for anything else.
    static std::pair<std::string, uint16_t> sParseUrl(const std::string& url);

    class Events;  // the reactor's side of the asynchronous connection

private:
    // The asynchronous connection, connected when there is none (at most
    // once a second); null when the server cannot be reached. m_Mutex held.
    redisAsyncContext* writer();
    redisContext* reader();  // m_ReadMutex held
    void unreachable(const char* what, const char* error);
    void disconnected();
    static std::string sKey(const std::string& callId);

    const std::string m_Host;
    const uint16_t m_Port;
    const std::string m_Owner;
    const unsigned m_TimeoutMs;
    std::mutex m_Mutex;
    redisAsyncContext* m_pWriter = nullptr;
    std::unique_ptr<Events> m_pEvents;
    std::chrono::steady_clock::time_point m_NextAttempt{};
    bool m_bReported = false;  // unreachable, logged once until connected again
    std::mutex m_ReadMutex;
    redisContext* m_pReader = nullptr;
    std::chrono::steady_clock::time_point m_NextRead{};  // no new connection before
};
