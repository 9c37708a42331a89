#pragma once
// NvSipSnapshotDirectory: the snapshot store of a single node, a folder
// with a file a call, named after its Call-ID (spelt in hex: a Call-ID may
// hold any character). A record is written to a temporary file first and
// renamed, so that a crash leaves the old record or the new one, never half
// of one. Lifetimes are not kept: a record stays until removed.
//
// Threads: any; the file system serialises what two threads do to one file.

#include "mlapi/snapshot/NvSipSnapshotStore.h"

class NVSIPMLAPI_EXPORT NvSipSnapshotDirectory : public NvSipSnapshotStore {
public:
    // Creates `folder` when it does not exist; raises NvException when it
    // cannot be created.
    explicit NvSipSnapshotDirectory(std::string folder);

    // A record that cannot be written is reported at WARN and the call goes on.
    void save(const std::string& callId, const std::string& snapshot, uint32_t lifetimeSeconds) override;
    void remove(const std::string& callId) override;
    std::string load(const std::string& callId) override;
    std::vector<std::pair<std::string, std::string>> loadAll() override;

private:
    std::string pathOf(const std::string& callId) const;

    const std::string m_Folder;
};
