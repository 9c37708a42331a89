#include "stack/sip/NvSipIdentifiers.h"

#include "stack/base/NvException.h"

#include <openssl/rand.h>

std::string NvSipRandom::sHex(size_t length) {
    static const char digits[] = "0123456789abcdef";
    unsigned char bytes[64];
    std::string text;
    text.reserve(length);
    while (text.size() < length) {
        const size_t need = std::min(sizeof bytes, (length - text.size() + 1) / 2);
        if (RAND_bytes(bytes, static_cast<int>(need)) != 1) NvException::sThrow("No randomness available for SIP identifiers");
        for (size_t i = 0; i < need && text.size() < length; ++i) {
            text += digits[bytes[i] >> 4];
            if (text.size() < length) text += digits[bytes[i] & 0x0f];
        }
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
