#include "stack/base/NvMutex.h"

#include "stack/base/NvException.h"

#include <cerrno>

namespace {
void check(int result, const char* function) {
    if (result != 0) NvSystemError::sThrow(function, result);
}
}  // namespace

NvMutex::NvMutex() {
    check(pthread_mutex_init(&m_Mutex, nullptr), "pthread_mutex_init");
}

NvMutex::NvMutex(const pthread_mutexattr_t& attributes) {
    check(pthread_mutex_init(&m_Mutex, &attributes), "pthread_mutex_init");
}

NvMutex::~NvMutex() {
    pthread_mutex_destroy(&m_Mutex);
}

void NvMutex::lock() {
    check(pthread_mutex_lock(&m_Mutex), "pthread_mutex_lock");
}

void NvMutex::unlock() {
    check(pthread_mutex_unlock(&m_Mutex), "pthread_mutex_unlock");
}

bool NvMutex::tryLock() {
    const int result = pthread_mutex_trylock(&m_Mutex);
    if (result == EBUSY) return false;
    check(result, "pthread_mutex_trylock");
    return true;
}

namespace {
// Attributes of a recursive mutex, built once.
struct RecursiveAttributes {
    pthread_mutexattr_t value;
    RecursiveAttributes() {
        check(pthread_mutexattr_init(&value), "pthread_mutexattr_init");
        check(pthread_mutexattr_settype(&value, PTHREAD_MUTEX_RECURSIVE), "pthread_mutexattr_settype");
    }
};
const pthread_mutexattr_t& recursiveAttributes() {
    static const RecursiveAttributes attributes;
    return attributes.value;
}
}  // namespace

NvRecursiveMutex::NvRecursiveMutex() : NvMutex(recursiveAttributes()) {}
