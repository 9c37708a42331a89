#pragma once
// NvSipFinishedTransactions: what the transaction manager remembers of
// transactions that have ended while messages of theirs may still come
// again, so that a retransmission is not taken for something new:
//   - an INVITE answered with a 2xx: its retransmissions are dropped for
//     64*T1 (RFC 6026);
//   - a non-INVITE we answered over UDP: its retransmissions get the final
//     response again until timer J runs out (RFC 3261 17.2.2);
//   - a non-INVITE of ours answered over UDP: retransmissions of the final
//     response are dropped until timer K runs out (RFC 3261 17.1.2.2).
// Those transactions end at once and hand this table their key (and a
// server's response bytes and destination): a lingering transaction
// object, its timer, mutexes and kept messages cost about twice as much,
// for each of the tens of thousands of requests a busy server answers
// every 32 s.
// Each entry is one block: its key and the response's bytes in one string,
// plus the end of its time and the destination. A table's entries all wait
// as long (the manager keeps one table for 64*T1 and one for T4), so they
// end in the order they were made: the oldest are forgotten from the front
// of a queue whenever the table is used; until the next use an idle table
// keeps its last entries.
// A table holds at most its maxEntries (kMaxEntries, 262,144, unless made
// with fewer): beyond, the oldest entry is forgotten early, so that a
// flood of short requests or calls cannot grow it without bound. At
// about 0.5 KB an entry (a key and a 200's bytes) that is some 130 MB;
// at the 30,000 entries a second of this stack's capacity (two a call:
// its INVITE's and its BYE's) an entry then lives about 9 s instead of
// 64*T1, still past the retransmissions that matter (RFC 3261 17: T1 to
// T2 apart, and they stop once our answer gets through).
//
// Not synchronised: the transaction manager calls it under its table mutex.

#include "stack/net/NvInetAddress.h"

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

class NvSipMessage;

class NvSipFinishedTransactions {
public:
    // What a retransmission of a finished transaction's request gets.
    struct Answer {
        std::string_view response;  // the final response's bytes; empty: dropped silently
        uint16_t port = 0;          // the destination it went to (0 / invalid: the transport's rules)
        NvInetAddress address;
    };

    static constexpr size_t kMaxEntries = 262144;
    explicit NvSipFinishedTransactions(size_t maxEntries = kMaxEntries) : m_MaxEntries(maxEntries) {}

    // Remembers `key` for `durationMs` from now (NvTime's clock), with
    // `response` serialized as its answer (nil: none). A key remembered
    // again replaces the earlier entry. Every entry must be given the same
    // duration (the table forgets from the front of its queue).
    void remember(std::string_view key, uint32_t durationMs, const NvSipMessage* response, uint16_t port,
                  const NvInetAddress& address);
    // The answer for `key` if it is still remembered.
    bool find(std::string_view key, Answer& answer);
    void clear();

private:
    // Forgets the entries whose time has ended by `now`.
    void forgetEnded(double now);
    // Forgets the front entry (there is one).
    void forgetOldest();

    struct Entry {
        double until;
        std::string bytes;  // the key, then the response
        uint32_t keyLength;
        uint16_t port;
        NvInetAddress address;
        std::string_view key() const { return std::string_view(bytes).substr(0, keyLength); }
    };
    const size_t m_MaxEntries;
    // Oldest first; its elements stay in place, so that the index views their keys.
    std::deque<Entry> m_Order;
    std::unordered_map<std::string_view, const Entry*> m_ByKey;
};
