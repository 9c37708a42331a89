#include "stack/base/NvStream.h"

#include "stack/base/NvException.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

NvOutputStream::~NvOutputStream() = default;

NvOutputStream& NvOutputStream::operator<<(const char* text) {
    if (text) write(text, std::strlen(text));
    return *this;
}

NvOutputStream& NvOutputStream::operator<<(long long value) {
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%lld", value);
    write(digits, static_cast<size_t>(n));
    return *this;
}

NvOutputStream& NvOutputStream::operator<<(unsigned long long value) {
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%llu", value);
    write(digits, static_cast<size_t>(n));
    return *this;
}

NvOutputStream& NvOutputStream::operator<<(double value) {
    char digits[32];
    const int n = std::snprintf(digits, sizeof digits, "%.17g", value);
    write(digits, static_cast<size_t>(n));
    return *this;
}

NvOutputStream& endl(NvOutputStream& out) {
    out << '\n';
    out.flush();
    return out;
}

NvInputStream::~NvInputStream() = default;

int NvInputStream::read() {
    uint8_t byte;
    return read(&byte, 1) == 1 ? byte : -1;
}

void NvInputStream::readFully(void* buffer, size_t length) {
    const size_t got = read(buffer, length);
    if (got != length) {
        char text[96];
        std::snprintf(text, sizeof text, "Unexpected end of stream: needed %zu bytes, got %zu", length, got);
        NvException::sThrow(text);
    }
}

uint8_t NvInputStream::readByte() {
    uint8_t byte;
    readFully(&byte, 1);
    return byte;
}

size_t NvByteArrayInputStream::read(void* buffer, size_t length) {
    const size_t n = std::min(length, available());
    if (n) std::memcpy(buffer, m_Bytes.data() + m_Pos, n);
    m_Pos += n;
    return n;
}
