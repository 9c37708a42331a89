#include "mlapi/NvSipMlApiAfx.h"

#include <sched.h>

namespace {

void check(int result, const char* function) {
    if (result != 0) NvSystemError::sThrow(function, result);
}

// The attributes, made once in place (an attributes object must not be
// copied) and kept for the life of the process: a call makes a mutex, and
// asking the system for SCHED_RR's highest priority each time costs a
// system call.
struct CeilingAttributes {
    pthread_mutexattr_t value;

    CeilingAttributes() {
        check(pthread_mutexattr_init(&value), "pthread_mutexattr_init");
        try {
            check(pthread_mutexattr_setpshared(&value, PTHREAD_PROCESS_PRIVATE), "pthread_mutexattr_setpshared");
            check(pthread_mutexattr_setprotocol(&value, PTHREAD_PRIO_NONE), "pthread_mutexattr_setprotocol");
            check(pthread_mutexattr_setprioceiling(&value, sched_get_priority_max(SCHED_RR)),
                  "pthread_mutexattr_setprioceiling");
        } catch (...) {
            pthread_mutexattr_destroy(&value);
            throw;
        }
    }
};

}  // namespace

NvMutex* NvNewCeilingMutex() {
    static const CeilingAttributes attributes;  // made again by the next call if it raised
    return new NvMutex(attributes.value);
}
