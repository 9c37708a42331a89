#include "stack/base/NvErrorStream.h"

#include <cstdio>

NvErrorStream& NvErrorStream::sGetDefault() {
    static NvErrorStream* const instance = new NvErrorStream();  // never destroyed: usable from exit handlers
    return *instance;
}

void NvErrorStream::setTarget(NvOutputStream* target) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_pTarget = target;
}

void NvErrorStream::write(const void* data, size_t length) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_pTarget)
        m_pTarget->write(data, length);
    else
        std::fwrite(data, 1, length, stderr);
}

void NvErrorStream::flush() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_pTarget)
        m_pTarget->flush();
    else
        std::fflush(stderr);
}
