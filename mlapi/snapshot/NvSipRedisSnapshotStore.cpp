#include "mlapi/snapshot/NvSipRedisSnapshotStore.h"

#include "stack/log/Tellar.h"
#include "stack/timer/NvMonitorThread.h"

#include <ace/Event_Handler.h>
#include <ace/Reactor.h>
#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <cstdlib>

#include <sys/time.h>

TELLAR_DEFINE_FILE_SCOPE_LOGGER("lumbrook.nv.NvSipSnapshotStore")

namespace {

const char* const kKeyPrefix = "nvsip:call:";

// Frees a blocking reply when it goes out of scope.
struct Reply {
    explicit Reply(void* reply) : p(static_cast<redisReply*>(reply)) {}
    ~Reply() {
        if (p) freeReplyObject(p);
    }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    redisReply* p;
};

std::string textOf(const redisReply* reply) {
    return reply && reply->type == REDIS_REPLY_STRING ? std::string(reply->str, reply->len) : std::string();
}

}  // namespace

// The asynchronous connection's socket on the stack's reactor: its events
// run hiredis's reads and writes on the stack's thread, under the store's mutex.
class NvSipRedisSnapshotStore::Events : public ACE_Event_Handler {
public:
    explicit Events(NvSipRedisSnapshotStore& store)
        : ACE_Event_Handler(&NvMonitorThread::sGetCurrent()->getReactor()), m_Store(store) {}

    void attach(redisAsyncContext* context) {
        m_pContext = context;
        context->ev.data = this;
        context->ev.addRead = [](void* self) { static_cast<Events*>(self)->watch(READ_MASK, true); };
        context->ev.delRead = [](void* self) { static_cast<Events*>(self)->watch(READ_MASK, false); };
        context->ev.addWrite = [](void* self) { static_cast<Events*>(self)->watch(WRITE_MASK, true); };
        context->ev.delWrite = [](void* self) { static_cast<Events*>(self)->watch(WRITE_MASK, false); };
        context->ev.cleanup = [](void* self) { static_cast<Events*>(self)->watch(ALL_EVENTS_MASK, false); };
    }

    ACE_HANDLE get_handle() const override { return m_pContext ? m_pContext->c.fd : ACE_INVALID_HANDLE; }
    int handle_input(ACE_HANDLE) override {
        std::lock_guard<std::mutex> lock(m_Store.m_Mutex);
        if (m_Store.m_pWriter) redisAsyncHandleRead(m_Store.m_pWriter);
        return 0;
    }
    int handle_output(ACE_HANDLE) override {
        std::lock_guard<std::mutex> lock(m_Store.m_Mutex);
        if (m_Store.m_pWriter) redisAsyncHandleWrite(m_Store.m_pWriter);
        return 0;
    }

private:
    void watch(ACE_Reactor_Mask mask, bool on) {
        if (on)
            reactor()->register_handler(this, mask);
        else if (get_handle() != ACE_INVALID_HANDLE)
            reactor()->remove_handler(get_handle(), mask | DONT_CALL);
    }

    NvSipRedisSnapshotStore& m_Store;
    redisAsyncContext* m_pContext = nullptr;
};

NvSipRedisSnapshotStore::NvSipRedisSnapshotStore(std::string host, uint16_t port, std::string owner, unsigned timeoutMs)
    : m_Host(std::move(host)), m_Port(port), m_Owner(std::move(owner)), m_TimeoutMs(timeoutMs) {}

NvSipRedisSnapshotStore::~NvSipRedisSnapshotStore() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_pWriter) redisAsyncFree(m_pWriter);  // its cleanup takes the socket off the reactor
        m_pWriter = nullptr;
    }
    if (m_pReader) redisFree(m_pReader);
}

std::pair<std::string, uint16_t> NvSipRedisSnapshotStore::sParseUrl(const std::string& url) {
    const std::string scheme = "redis://";
    const size_t colon = url.rfind(':');
    if (url.compare(0, scheme.size(), scheme) != 0 || colon == std::string::npos || colon < scheme.size() + 1)
        NvException::sThrow("not a redis://HOST:PORT address: '" + url + "'");
    const std::string host = url.substr(scheme.size(), colon - scheme.size());
    const std::string port = url.substr(colon + 1);
    char* end = nullptr;
    const unsigned long number = std::strtoul(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || number == 0 || number > 65535)
        NvException::sThrow("not a port in '" + url + "': '" + port + "'");
    return {host, static_cast<uint16_t>(number)};
}

std::string NvSipRedisSnapshotStore::sKey(const std::string& callId) { return kKeyPrefix + callId; }

void NvSipRedisSnapshotStore::unreachable(const char* what, const char* error) {
    if (m_bReported) return;
    m_bReported = true;
    TELLAR_WARN(Tellar::fileScopeLogger(), "Snapshot store redis://" << m_Host << ":" << m_Port << " " << what << ": "
                                                                      << (error ? error : "no answer")
                                                                      << "; calls go on without their records");
}

void NvSipRedisSnapshotStore::disconnected() {
    m_pWriter = nullptr;  // hiredis frees it once this returns
    m_NextAttempt = std::chrono::steady_clock::now() + std::chrono::seconds(1);
}

redisAsyncContext* NvSipRedisSnapshotStore::writer() {
    if (m_pWriter || std::chrono::steady_clock::now() < m_NextAttempt) return m_pWriter;
    m_NextAttempt = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    redisAsyncContext* context = redisAsyncConnect(m_Host.c_str(), m_Port);
    if (!context || context->err) {
        unreachable("cannot be reached", context ? context->errstr : nullptr);
        if (context) redisAsyncFree(context);
        return nullptr;
    }
    if (!m_pEvents) m_pEvents = std::make_unique<Events>(*this);
    m_pEvents->attach(context);
    context->data = this;
    redisAsyncSetConnectCallback(context, [](const redisAsyncContext* c, int status) {
        auto* store = static_cast<NvSipRedisSnapshotStore*>(c->data);
        if (status == REDIS_OK) {
            store->m_bReported = false;
            return;
        }
        store->unreachable("cannot be reached", c->errstr);
        store->disconnected();
    });
    redisAsyncSetDisconnectCallback(context, [](const redisAsyncContext* c, int status) {
        auto* store = static_cast<NvSipRedisSnapshotStore*>(c->data);
        if (status != REDIS_OK) store->unreachable("lost", c->errstr);
        store->disconnected();
    });
    m_pWriter = context;
    return m_pWriter;
}

namespace {

void checkReply(redisAsyncContext* context, void* reply, void*) {
    const auto* answer = static_cast<redisReply*>(reply);
    if (answer && answer->type == REDIS_REPLY_ERROR)
        TELLAR_WARN(Tellar::fileScopeLogger(), "Snapshot store refused a write: " << answer->str);
    (void)context;
}

}  // namespace

void NvSipRedisSnapshotStore::save(const std::string& callId, const std::string& snapshot, uint32_t lifetimeSeconds) {
    const std::string key = sKey(callId);
    std::lock_guard<std::mutex> lock(m_Mutex);
    redisAsyncContext* context = writer();
    if (!context) return;
    redisAsyncCommand(context, checkReply, nullptr, "HSET %b snapshot %b owner %b", key.data(), key.size(),
                      snapshot.data(), snapshot.size(), m_Owner.data(), m_Owner.size());
    redisAsyncCommand(context, checkReply, nullptr, "EXPIRE %b %u", key.data(), key.size(), lifetimeSeconds);
    redisAsyncHandleWrite(context);  // what the socket takes now leaves now; the reactor sends the rest
}

void NvSipRedisSnapshotStore::remove(const std::string& callId) {
    const std::string key = sKey(callId);
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (redisAsyncContext* context = writer()) {
        redisAsyncCommand(context, checkReply, nullptr, "DEL %b", key.data(), key.size());
        redisAsyncHandleWrite(context);
    }
}

redisContext* NvSipRedisSnapshotStore::reader() {
    if (m_pReader || std::chrono::steady_clock::now() < m_NextRead) return m_pReader;
    m_NextRead = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    const timeval timeout{static_cast<time_t>(m_TimeoutMs / 1000), static_cast<suseconds_t>(m_TimeoutMs % 1000 * 1000)};
    m_pReader = redisConnectWithTimeout(m_Host.c_str(), m_Port, timeout);
    if (m_pReader && !m_pReader->err && redisSetTimeout(m_pReader, timeout) == REDIS_OK) return m_pReader;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        unreachable("cannot be read", m_pReader ? m_pReader->errstr : nullptr);
    }
    if (m_pReader) redisFree(m_pReader);
    m_pReader = nullptr;
    return nullptr;
}

std::string NvSipRedisSnapshotStore::load(const std::string& callId) {
    const std::string key = sKey(callId);
    std::lock_guard<std::mutex> lock(m_ReadMutex);
    redisContext* context = reader();
    if (!context) return {};
    Reply reply(redisCommand(context, "HGET %b snapshot", key.data(), key.size()));
    if (!reply.p) {  // the connection broke or timed out: a new one next time
        redisFree(m_pReader);
        m_pReader = nullptr;
    }
    return textOf(reply.p);
}

std::vector<std::pair<std::string, std::string>> NvSipRedisSnapshotStore::loadAll() {
    std::vector<std::pair<std::string, std::string>> records;
    std::lock_guard<std::mutex> lock(m_ReadMutex);
    redisContext* context = reader();
    std::string cursor = "0";
    while (context) {
        Reply page(redisCommand(context, "SCAN %s MATCH %s* COUNT 500", cursor.c_str(), kKeyPrefix));
        if (!page.p || page.p->type != REDIS_REPLY_ARRAY || page.p->elements != 2) break;
        cursor = textOf(page.p->element[0]);
        const redisReply* keys = page.p->element[1];
        for (size_t i = 0; i < keys->elements; ++i) {
            const std::string key = textOf(keys->element[i]);
            Reply fields(redisCommand(context, "HMGET %b snapshot owner", key.data(), key.size()));
            if (!fields.p || fields.p->type != REDIS_REPLY_ARRAY || fields.p->elements != 2) continue;
            if (textOf(fields.p->element[1]) == m_Owner)
                records.emplace_back(key.substr(std::string(kKeyPrefix).size()), textOf(fields.p->element[0]));
        }
        if (cursor == "0") break;
    }
    return records;
}
