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
    // A new Call-ID: random hex, then "@" and `host` when `host` is not empty.
    static NvString reGenerate(const char* host);
};

class NvSipTag {
public:
    // A new tag: `prefix` (may be null) followed by random hex.
    static NvString reGenerate(const char* prefix);
};
