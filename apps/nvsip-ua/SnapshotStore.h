#pragma once
// SnapshotStore: keeps a snapshot of each confirmed call in a folder, so
// that a user agent killed mid-call can take its calls back when started
// again on the same address. One file per call, named after its Call-ID;
// written to a temporary file first and renamed, so that a crash leaves the
// old snapshot or the new one, never half of one. The file goes when the
// call ends.
//
// Threads: save and remove run on the stack's thread (call events);
// restore runs once, before the stack's thread starts.

#include "mlapi/NvSipIncomingCall.h"

#include <functional>
#include <string>
#include <vector>

class SnapshotStore {
public:
    // Creates `folder` when it does not exist.
    explicit SnapshotStore(std::string folder);

    // Writes `call`'s snapshot; false (with the reason in `error`) when it
    // could not be written.
    bool save(const NvHandle<NvSipIncomingCall>& call, std::string& error) const;
    void remove(const NvHandle<NvSipIncomingCall>& call) const;
    // Rebuilds every call in the folder with `callInterface`; a file that
    // cannot be read is reported through `problem` and removed.
    std::vector<NvHandle<NvSipIncomingCall>> restore(NvSipIncomingCallinterface* callInterface,
                                                     const std::function<void(const std::string&)>& problem) const;

private:
    std::string pathOf(const NvString& callId) const;

    const std::string m_Folder;
};
