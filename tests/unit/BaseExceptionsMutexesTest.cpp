// Tests of the stack's exceptions (NvException, NvSystemError,
// NvAssertionFailure: how they are raised, owned, and worded) and
// of its POSIX mutexes.

#include "stack/base/NvException.h"
#include "stack/base/NvHandle.h"
#include "stack/base/NvMutex.h"
#include "stack/base/NvStream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

namespace base_exceptions_mutexes_test {

using namespace std::string_literals;

// What `action` raises; fails the test when it raises nothing.
NvHandle<NvException> raisedBy(const std::function<void()>& action) {
    try {
        action();
        ADD_FAILURE() << "nothing was raised";
    } catch (NvHandle<NvException>& e) {
        EXPECT_FALSE(e.isNil());
        return e;
    }
    return NvHandle<NvException>();
}

// ---------------------------------------------------------------- raising

TEST(NvExceptionRaise, EachKindIsRaisedAsAHandleWithItsMessage) {
    const char* none = nullptr;
    const auto failed = [](const char* call, int error) { return call + " failed: "s + std::strerror(error); };
    const struct {
        std::function<void()> raise;
        const std::type_info& type;
        std::string message;
    } cases[] = {
        {[] { NvException::sThrow("Wrong state to send PRACK"); }, typeid(NvException), "Wrong state to send PRACK"},
        {[none] { NvException::sThrow(none); }, typeid(NvException), "Unknown Exception"},
        {[] { NvException::sThrow(NvString("a\0b", 3)); }, typeid(NvException), "a\0b"s},
        {[] { NvSystemError::sThrow("open", ENOENT); }, typeid(NvSystemError), failed("open", ENOENT)},
        {[] { NvException::sThrow(new NvSystemError("read", EIO)); }, typeid(NvSystemError), failed("read", EIO)},
        {[] { errno = EACCES; NvSystemError::sThrow("bind", 0); }, typeid(NvSystemError), failed("bind", EACCES)},
        {[] { NvAssertionFailure::sThrow("count > 0", "NvSipDialog.cpp", 123, "Jan  1 2024 10:00:00"); },
         typeid(NvAssertionFailure), "Assertion failed: count > 0 (NvSipDialog.cpp:123, built Jan  1 2024 10:00:00)"},
        {[] { NvAssertionFailure::sThrow(nullptr, nullptr, 0, nullptr); }, typeid(NvAssertionFailure),
         "Assertion failed: ? (?:0)"},
    };
    for (const auto& c : cases) {
        NvHandle<NvException> e = raisedBy(c.raise);
        ASSERT_FALSE(e.isNil()) << c.message;
        const NvException& raised = *e;
        EXPECT_EQ(c.type, typeid(raised)) << c.message;
        EXPECT_EQ(c.message, e->getMessage().str());
        EXPECT_EQ(1, e->refCount()) << "the handle is the only owner";
    }
}

// ------------------------------------------------------------------ mutexes

// tryLock from another thread, so the answer does not depend on how the
// mutex type treats its own owner.
bool tryLockElsewhere(NvMutex& mutex) {
    bool locked = false;
    std::thread([&] {
        locked = mutex.tryLock();
        if (locked) mutex.unlock();
    }).join();
    return locked;
}

TEST(NvMutexLocking, ExcludesOtherThreadsWhileHeld) {
    NvMutex mutex;
    {
        std::unique_lock<NvMutex> lock(mutex);
        EXPECT_FALSE(tryLockElsewhere(mutex));
        lock.unlock();
        EXPECT_TRUE(tryLockElsewhere(mutex));
    }
    long counter = 0;  // deliberately not atomic: the mutex is what protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; ++i) {
                std::lock_guard<NvMutex> guard(mutex);
                ++counter;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(200000, counter);
}

TEST(NvRecursiveMutexLocking, OwnerRelocksAndMustUnlockAsOften) {
    NvRecursiveMutex mutex;
    mutex.lock();
    // tryLock, not lock: a mutex that is not recursive fails here instead of hanging.
    ASSERT_TRUE(mutex.tryLock()) << "the owner may take it again";
    mutex.unlock();
    EXPECT_FALSE(tryLockElsewhere(mutex));  // still held once
    NvHandle<NvSystemError> misuse;
    std::thread([&] { misuse = raisedBy([&] { mutex.unlock(); }).cast<NvSystemError>(); }).join();
    ASSERT_TRUE(misuse) << "unlock by a non-owner raises";
    EXPECT_EQ("pthread_mutex_unlock", misuse->getFunction());
    EXPECT_EQ(EPERM, misuse->getError());
    mutex.unlock();
    EXPECT_TRUE(tryLockElsewhere(mutex));
}

}  // namespace base_exceptions_mutexes_test
