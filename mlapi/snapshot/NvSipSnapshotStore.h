#pragma once
// NvSipSnapshotStore: where confirmed incoming calls are kept, one record a
// call under its Call-ID, so that a later run of the same node or another
// node of a cluster can take them over (NvSipCallManager::setSnapshotStore).
// A record holds the bytes NvSipIncomingCall::serialize writes.
//
// Two implementations: NvSipSnapshotDirectory (a file a call, for one node
// that restarts) and NvSipRedisSnapshotStore (a Redis server shared by the
// nodes of a cluster).
//
// Threads: save and remove run on the stack's thread and must not wait on
// the network; load and loadAll may wait (a take-over, a start), bounded
// by the implementation's own time-out. A store that cannot be reached
// reports it on its logger and answers loads with nothing: calls go on
// without their records.

#include "mlapi/NvSipMlApiAfx.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class NVSIPMLAPI_EXPORT NvSipSnapshotStore : public NvObject {
public:
    // Keeps `snapshot` under `callId` (replacing the record kept before),
    // for at least `lifetimeSeconds`; records this node as its owner.
    virtual void save(const std::string& callId, const std::string& snapshot, uint32_t lifetimeSeconds) = 0;
    virtual void remove(const std::string& callId) = 0;
    // The record kept under `callId`; empty when there is none.
    virtual std::string load(const std::string& callId) = 0;
    // Every record kept: (Call-ID, snapshot).
    virtual std::vector<std::pair<std::string, std::string>> loadAll() = 0;
};
