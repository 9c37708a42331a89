#pragma once
// Byte streams. NvOutputStream and NvInputStream are the abstract sinks and
// sources used by snapshots, message serialisation and the debug stream; the
// byte-array forms keep everything in memory.
//
// Text written with operator<< carries no length and no terminator; raw
// writes and single bytes are written as they are. Reading past the end with
// readFully() or readByte() raises NvException. A stream object is used by
// one thread at a time (NvErrorStream is the exception: it serialises writes).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class NvOutputStream {
public:
    virtual ~NvOutputStream();
    virtual void write(const void* data, size_t length) = 0;
    void write(uint8_t byte) { write(&byte, 1); }
    virtual void flush() {}

    NvOutputStream& operator<<(std::string_view text) {
        write(text.data(), text.size());
        return *this;
    }
    NvOutputStream& operator<<(const std::string& text) { return *this << std::string_view(text); }
    NvOutputStream& operator<<(const char* text);
    NvOutputStream& operator<<(char c) {
        write(&c, 1);
        return *this;
    }
    NvOutputStream& operator<<(int value) { return *this << static_cast<long long>(value); }
    NvOutputStream& operator<<(unsigned value) { return *this << static_cast<unsigned long long>(value); }
    NvOutputStream& operator<<(long value) { return *this << static_cast<long long>(value); }
    NvOutputStream& operator<<(unsigned long value) { return *this << static_cast<unsigned long long>(value); }
    NvOutputStream& operator<<(long long value);
    NvOutputStream& operator<<(unsigned long long value);
    NvOutputStream& operator<<(double value);
    NvOutputStream& operator<<(NvOutputStream& (*manipulator)(NvOutputStream&)) { return manipulator(*this); }
};

// Ends a line: writes '\n' and flushes.
NvOutputStream& endl(NvOutputStream& out);

class NvByteArrayOutputStream : public NvOutputStream {
public:
    explicit NvByteArrayOutputStream(size_t capacity = 256) { m_Bytes.reserve(capacity); }
    using NvOutputStream::write;
    void write(const void* data, size_t length) override {
        m_Bytes.append(static_cast<const char*>(data), length);
    }
    const std::string& toByteArray() const noexcept { return m_Bytes; }
    const char* data() const noexcept { return m_Bytes.data(); }
    size_t size() const noexcept { return m_Bytes.size(); }
    void reset() noexcept { m_Bytes.clear(); }

private:
    std::string m_Bytes;
};

class NvInputStream {
public:
    virtual ~NvInputStream();
    // Reads up to `length` bytes; returns how many were read (fewer only at the end).
    virtual size_t read(void* buffer, size_t length) = 0;
    // The next byte without consuming it, or -1 at the end.
    virtual int peek() = 0;
    // The next byte, or -1 at the end.
    int read();
    // Reads exactly `length` bytes or raises NvException.
    void readFully(void* buffer, size_t length);
    // Reads one byte or raises NvException.
    uint8_t readByte();
};

class NvByteArrayInputStream : public NvInputStream {
public:
    // Reads from a copy of `bytes`.
    explicit NvByteArrayInputStream(std::string bytes) : m_Bytes(std::move(bytes)) {}
    NvByteArrayInputStream(const void* data, size_t length)
        : m_Bytes(static_cast<const char*>(data), length) {}
    using NvInputStream::read;
    size_t read(void* buffer, size_t length) override;
    int peek() override { return m_Pos < m_Bytes.size() ? static_cast<uint8_t>(m_Bytes[m_Pos]) : -1; }
    size_t available() const noexcept { return m_Bytes.size() - m_Pos; }
    size_t position() const noexcept { return m_Pos; }

private:
    std::string m_Bytes;
    size_t m_Pos = 0;
};
