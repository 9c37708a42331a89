#pragma once
// NvErrorStream: the stack's debug stream. One default instance per process
// (sGetDefault); it writes to standard error unless a target stream is set.
//
// Writers test the level first: by convention a debug line is written only
// when getLevel() is above 4. The level is atomic; each write() is serialised
// by the stream's own mutex, so lines written piecewise from two threads may
// interleave but never tear a single write.

#include "stack/base/NvStream.h"

#include <atomic>
#include <mutex>

class NvErrorStream : public NvOutputStream {
public:
    static NvErrorStream& sGetDefault();

    int getLevel() const noexcept { return m_Level.load(std::memory_order_relaxed); }
    void setLevel(int level) noexcept { m_Level.store(level, std::memory_order_relaxed); }

    // Sends output to `target` instead of standard error; nullptr restores
    // standard error. The caller keeps `target` alive while it is set.
    void setTarget(NvOutputStream* target);

    using NvOutputStream::write;
    void write(const void* data, size_t length) override;
    void flush() override;

private:
    NvErrorStream() = default;
    std::atomic<int> m_Level{0};
    std::mutex m_Mutex;
    NvOutputStream* m_pTarget = nullptr;
};
