#pragma once
// NvMutex (plain) and NvRecursiveMutex: POSIX mutexes. Both satisfy the
// standard BasicLockable requirements, so std::lock_guard and
// std::unique_lock work with them. Failing pthread calls raise NvSystemError
// naming the call.

#include <pthread.h>

class NvMutex {
public:
    NvMutex();
    // A mutex with the caller's attributes (the caller keeps ownership of them).
    explicit NvMutex(const pthread_mutexattr_t& attributes);
    ~NvMutex();
    NvMutex(const NvMutex&) = delete;
    NvMutex& operator=(const NvMutex&) = delete;

    void lock();
    void unlock();
    bool tryLock();

protected:
    pthread_mutex_t m_Mutex;
};

class NvRecursiveMutex : public NvMutex {
public:
    NvRecursiveMutex();
};
