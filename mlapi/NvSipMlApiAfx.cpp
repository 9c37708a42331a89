#include "mlapi/NvSipMlApiAfx.h"

#include <sched.h>

namespace {

void check(int result, const char* function) {
    if (result != 0) NvSystemError::sThrow(function, result);
}

}  // namespace

NvMutex* NvNewCeilingMutex() {
    pthread_mutexattr_t attributes;
    check(pthread_mutexattr_init(&attributes), "pthread_mutexattr_init");
    NvMutex* mutex = nullptr;
    try {
        check(pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_PRIVATE), "pthread_mutexattr_setpshared");
        check(pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_NONE), "pthread_mutexattr_setprotocol");
        check(pthread_mutexattr_setprioceiling(&attributes, sched_get_priority_max(SCHED_RR)),
              "pthread_mutexattr_setprioceiling");
        mutex = new NvMutex(attributes);
    } catch (...) {
        pthread_mutexattr_destroy(&attributes);
        throw;
    }
    if (pthread_mutexattr_destroy(&attributes) != 0) {
        delete mutex;
        NvSystemError::sThrow("pthread_mutexattr_destroy", 0);
    }
    return mutex;
}
