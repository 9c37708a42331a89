#pragma once
// NvSipTransportBackend: what NvSipTransportLayer writes to. The layer works
// out where a message goes; a backend puts the bytes on the wire and says
// where it listens. Two implement it: NvSipSocketTransport (the sockets,
// the layer's own) and NvSipTestTransport (captures, for tests), which
// installs itself with NvSipTransportLayer::installBackend.
//
// Threads: write() from any thread, the monitor thread included, and it must
// not block there; the listen-point queries from any thread.

#include "stack/base/NvHandle.h"
#include "stack/net/NvSocketImpl.h"
#include "stack/sip/NvSipMessage.h"

#include <cstdint>
#include <string>
#include <vector>

struct NvSipListenPoint {
    NvSocketImpl::Transport transport;
    NvInetAddress address;
    uint16_t port;
};

class NvSipTransportBackend {
public:
    virtual ~NvSipTransportBackend();

    // Writes `bytes` (the serialized `message`) to `peer`; `peer.connection`
    // is set to the stream connection used. Raises NvException for what it
    // can tell at once; a failure found later (a connection that could not
    // be opened, or broke before the bytes went out) is reported with
    // NvSipTransportLayer::reportSendFailed.
    virtual void write(const NvHandle<NvSipMessage>& message, const std::string& bytes, NvSipPeer& peer) = 0;

    virtual std::vector<NvSipListenPoint> getListenPoints() const = 0;
    bool isListening(NvSocketImpl::Transport transport) const;
};
