#pragma once
// NvSipLateAnswers: the 2xx that reaches one of our INVITEs after its call
// has ended (every dialog of the call gone), which RFC 3261 13.2.2.4 still
// wants ACKed, and hung up since nobody keeps it: a fork of a proxy that
// answers after we hung up the branch that answered first, or after the
// INVITE failed on another branch (a proxy passes on every 2xx, 16.7).
//
// When an outgoing call's last dialog ends, the call manager remembers its
// INVITE (Call-ID and our tag) for 64*T1, the time the INVITE's answers may
// keep coming (13.2.2.4). A 2xx to a remembered INVITE, that no dialog
// takes, is ACKed and hung up with a BYE built from the 2xx alone: To tag,
// Contact as Request-URI, route set from Record-Route, CSeq the INVITE's
// for the ACK and one more for the BYE. The application is not told, and
// the BYE's answer is not awaited by anyone (one challenged is not sent
// again: the peer's own session ends it then). A 2xx to an INVITE we do not
// remember goes on to the stray interface: we never ACK or BYE on behalf of
// an INVITE that is not ours.
//
// Memory: one entry of 16 bytes, plus its place in a hash set (about 56
// bytes in all), per ended outgoing call over the last 64*T1; at most
// sm_MaxRemembered entries, about 3.5 MB. When more calls end within 64*T1
// (above some 2,000 a second) the oldest go early: a late 2xx to one of
// those is left to the peer, which hangs up a 2xx never ACKed (RFC 3261
// 13.3.1.4). An INVITE is known by
// a 64-bit FNV-1a hash of its Call-ID and our tag (a few lines: the hash
// needs no strength, only spread).
//
// Owner: the call manager, as a member. Threads: any (the calls' ends and
// the stack's stray responses); m_Mutex guards the entries and is never
// held while sending.

#include "stack/sip/NvSipMessage.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_set>

class NvSipLateAnswers {
public:
    static constexpr std::size_t sm_MaxRemembered = 1u << 16;

    // Remembers the INVITE of Call-ID `callId` and our tag `localTag` for 64*T1 from now.
    void remember(const NvString& callId, const NvString& localTag);
    // When `response` is a 2xx to a remembered INVITE: ACKs it, hangs it up
    // with BYE and answers true; false otherwise (nothing sent).
    bool hangUp(const NvHandle<NvSipResponse>& response);
    // ACKs the 2xx `response` to an INVITE of ours that has ended, and hangs
    // it up with a BYE, as above; whether remembered or not.
    static void sAckAndHangUp(const NvHandle<NvSipResponse>& response);
    // The INVITEs remembered now (expired ones included until the next call).
    std::size_t size() const;

private:
    struct Entry {
        uint64_t key;
        double expiresAtUs;
    };
    static uint64_t sKeyOf(const NvString& callId, const NvString& localTag);
    bool isRemembered(uint64_t key);
    void forgetExpired(double nowUs);  // under m_Mutex

    mutable std::mutex m_Mutex;
    std::deque<Entry> m_Order;                 // oldest first: they all live 64*T1
    std::unordered_multiset<uint64_t> m_Keys;  // the same keys, for lookup
};
