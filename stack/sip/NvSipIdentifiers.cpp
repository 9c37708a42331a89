#include "stack/sip/NvSipIdentifiers.h"

#include "stack/base/NvException.h"
#include "stack/timer/NvTime.h"

#include <openssl/rand.h>

#include <cinttypes>
#include <cstdio>

namespace {

// Random bytes from OpenSSL's generator, drawn 512 at a time per thread: an
// identifier costs no call into the generator (and its locks) of its own.
class RandomPool {
public:
    unsigned char next() {
        if (m_Used == sizeof m_Bytes) {
            if (RAND_bytes(m_Bytes, sizeof m_Bytes) != 1)
                NvException::sThrow("No randomness available for SIP identifiers");
            m_Used = 0;
        }
        const unsigned char byte = m_Bytes[m_Used];
        m_Bytes[m_Used++] = 0;  // nothing drawn stays readable
        return byte;
    }

private:
    unsigned char m_Bytes[512];
    size_t m_Used = sizeof m_Bytes;
};

}  // namespace

std::string NvSipRandom::sHex(size_t length) {
    static const char digits[] = "0123456789abcdef";
    thread_local RandomPool pool;
    std::string text;
    text.reserve(length);
    while (text.size() < length) {
        const unsigned char byte = pool.next();
        text += digits[byte >> 4];
        if (text.size() < length) text += digits[byte & 0x0f];
    }
    return text;
}

NvString NvSipCallid::reGenerate(const char* host) {
    const auto ms = static_cast<uint64_t>(NvTime::sGetCurrentTime() / 1000.0);
    char time[13];
    std::snprintf(time, sizeof time, "%012" PRIx64, static_cast<uint64_t>(ms & 0xffffffffffffU));
    std::string id = time + NvSipRandom::sHex(20);
    if (host && *host) {
        id += '@';
        id += host;
    }
    return NvString(std::move(id));
}

NvString NvSipTag::reGenerate(const char* prefix) {
    std::string tag(prefix ? prefix : "");
    tag += NvSipRandom::sHex(16);
    return NvString(std::move(tag));
}
