#include "stack/sip/NvSipIdentifiers.h"

#include "stack/base/NvException.h"

#include <openssl/rand.h>

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
    std::string id = NvSipRandom::sHex(24);
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
