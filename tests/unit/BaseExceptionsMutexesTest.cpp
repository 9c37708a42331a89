// Tests of the stack's exceptions (NvException, NvSystemError,
// NvAssertionFailure: how they are raised, owned, worded and displayed) and
// of its POSIX mutexes.

#include "stack/base/NvException.h"
#include "stack/base/NvHandle.h"
#include "stack/base/NvMutex.h"
#include "stack/base/NvStream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

namespace base_exceptions_mutexes_test {

// An exception that counts its destructions, to see who owns a raised one.
class CountedException : public NvException {
public:
    CountedException(const char* message, std::atomic<int>& destroyed)
        : NvException(message), m_pDestroyed(&destroyed) {}
    ~CountedException() override { m_pDestroyed->fetch_add(1); }

private:
    std::atomic<int>* m_pDestroyed;
};

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

// The system error `action` raises, checked for its function and error number.
void expectSystemError(const std::function<void()>& action, const char* function, int error) {
    NvHandle<NvSystemError> e = raisedBy(action).cast<NvSystemError>();
    ASSERT_FALSE(e.isNil());
    EXPECT_EQ(function, e->getFunction().str());
    EXPECT_EQ(error, e->getError());
    const std::string message = e->getMessage().str();
    EXPECT_EQ(0u, message.rfind(function, 0)) << message;
    EXPECT_NE(std::string::npos, message.find(std::strerror(error))) << message;
}

// What display(out) writes for an exception: the banner, the object's own
// description as NvObject::display(out, true) gives it, a newline, the message.
void expectDisplay(const NvException& e) {
    NvByteArrayOutputStream base, out;
    e.NvObject::display(base, true);
    e.display(out);
    const std::string text = out.toByteArray();
    EXPECT_EQ("!! NvException !!\n" + base.toByteArray() + "\n" + e.getMessage().str(), text);
    EXPECT_EQ(std::string::npos, text.find('\0'));
}

// ---------------------------------------------------------------- NvException

TEST(NvExceptionRaise, RaisedAsAHandleWithTheMessage) {
    NvHandle<NvException> e = raisedBy([] { NvException::sThrow("Wrong state to send PRACK !"); });
    EXPECT_EQ("Wrong state to send PRACK !", e->getMessage());
    const NvException& raised = *e;
    EXPECT_EQ(typeid(NvException), typeid(raised));

    const char* none = nullptr;
    EXPECT_EQ("Unknown Exception", raisedBy([none] { NvException::sThrow(none); })->getMessage());
    EXPECT_EQ(3u, raisedBy([] { NvException::sThrow(NvString("a\0b", 3)); })->getMessage().length());
}

TEST(NvExceptionRaise, TheHandleOwnsTheExceptionAndItDiesOnce) {
    std::atomic<int> destroyed{0};
    try {
        NvException::sThrow(new CountedException("owned", destroyed));
    } catch (NvHandle<NvException>& e) {
        EXPECT_EQ(1, e->refCount());
        EXPECT_EQ(0, destroyed.load());
    }
    EXPECT_EQ(1, destroyed.load());

    // Kept alive when the catch site copies the handle.
    NvHandle<NvException> kept;
    try {
        NvException::sThrow(new CountedException("kept", destroyed));
    } catch (NvHandle<NvException> e) {  // by value, on purpose
        kept = e;
    }
    EXPECT_EQ(1, destroyed.load());
    ASSERT_FALSE(kept.isNil());
    EXPECT_EQ(1, kept->refCount());
    EXPECT_EQ("kept", kept->getMessage());
    kept = nullptr;
    EXPECT_EQ(2, destroyed.load());
}

TEST(NvExceptionRaise, RethrowKeepsTheSameObject) {
    std::atomic<int> destroyed{0};
    const NvException* first = nullptr;
    try {
        try {
            NvException::sThrow(new CountedException("again", destroyed));
        } catch (NvHandle<NvException>& e) {
            first = e.get();
            throw;
        }
    } catch (NvHandle<NvException>& e) {
        EXPECT_EQ(first, e.get());
    }
    EXPECT_EQ(1, destroyed.load());
}

TEST(NvExceptionDisplay, BannerBaseDisplayNewlineMessage) {
    NvHandle<NvException> e = raisedBy([] { NvException::sThrow("Cannot send BYE in SUCCEEDED state !"); });
    expectDisplay(*e);
    NvByteArrayOutputStream full, brief;
    e->display(full);
    EXPECT_EQ(0u, full.toByteArray().rfind("!! NvException !!\nNvException@", 0)) << full.toByteArray();
    e->display(brief, false);  // the two-argument display is the object's own
    EXPECT_EQ("NvException", brief.toByteArray());
    expectDisplay(NvSystemError("pthread_mutex_lock", EDEADLK));
}

// -------------------------------------------------------------- NvSystemError

TEST(NvSystemErrorRaise, NamesTheFunctionAndTheErrorText) {
    expectSystemError([] { NvSystemError::sThrow("open", ENOENT); }, "open", ENOENT);
    errno = EACCES;  // zero takes errno
    expectSystemError([] { NvSystemError::sThrow("bind", 0); }, "bind", EACCES);

    NvSystemError nameless(nullptr, EINVAL);
    EXPECT_TRUE(nameless.getFunction().isEmpty());
    EXPECT_NE(std::string::npos, nameless.getMessage().str().find(std::strerror(EINVAL)));
}

// --------------------------------------------------------- NvAssertionFailure

TEST(NvAssertionFailureRaise, TextNamesTheConditionAndWhere) {
    NvHandle<NvAssertionFailure> failure =
        raisedBy([] { NvAssertionFailure::sThrow("count > 0", "NvSipDialog.cpp", 123, "Jan  1 2024 10:00:00"); })
            .cast<NvAssertionFailure>();
    ASSERT_FALSE(failure.isNil());
    EXPECT_EQ("count > 0", failure->getCondition());
    EXPECT_EQ("Assertion failed: count > 0 (NvSipDialog.cpp:123, built Jan  1 2024 10:00:00)", failure->getMessage());

    NvAssertionFailure missing(nullptr, nullptr, 0, nullptr);
    EXPECT_EQ("Assertion failed: ? (?:0)", missing.getMessage());
    EXPECT_TRUE(missing.getCondition().isEmpty());
}

TEST(NvExceptionFamily, SubclassesAreNotEachOther) {
    NvHandle<NvException> system(new NvSystemError("read", EIO));
    EXPECT_TRUE(system.cast<NvAssertionFailure>().isNil());
    EXPECT_TRUE(NvHandle<NvException>(new NvException("x")).cast<NvSystemError>().isNil());
    EXPECT_FALSE(NvHandle<NvObject>(system).cast<NvException>().isNil());
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

// A mutex that reports misuse instead of hanging or ignoring it.
class ErrorCheckingMutex : public NvMutex {
public:
    ErrorCheckingMutex() : NvMutex(attributes()) {}

private:
    static const pthread_mutexattr_t& attributes() {
        static const pthread_mutexattr_t value = [] {
            pthread_mutexattr_t a;
            pthread_mutexattr_init(&a);
            pthread_mutexattr_settype(&a, PTHREAD_MUTEX_ERRORCHECK);
            return a;
        }();
        return value;
    }
};

TEST(NvMutexLocking, TryLockFailsWhileHeldAndSucceedsAfter) {
    NvMutex mutex;
    {
        std::unique_lock<NvMutex> lock(mutex);
        EXPECT_FALSE(tryLockElsewhere(mutex));
        lock.unlock();
        EXPECT_TRUE(tryLockElsewhere(mutex));
        lock.lock();
        EXPECT_FALSE(tryLockElsewhere(mutex));
    }
    EXPECT_TRUE(tryLockElsewhere(mutex));
    EXPECT_TRUE(mutex.tryLock());
    mutex.unlock();
}

TEST(NvMutexLocking, ExcludesOtherThreads) {
    NvMutex mutex;
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
    mutex.lock();
    EXPECT_TRUE(mutex.tryLock());  // the owner may take it again
    EXPECT_FALSE(tryLockElsewhere(mutex));
    mutex.unlock();
    mutex.unlock();
    EXPECT_FALSE(tryLockElsewhere(mutex));  // still held once
    // Unlock by a non-owner raises.
    bool raised = false;
    std::thread([&] {
        try {
            mutex.unlock();
        } catch (NvHandle<NvException>& e) {
            raised = !e.cast<NvSystemError>().isNil();
        }
    }).join();
    EXPECT_TRUE(raised);
    mutex.unlock();
    EXPECT_TRUE(tryLockElsewhere(mutex));
}

TEST(NvMutexErrors, MisuseRaisesSystemErrorInsteadOfHanging) {
    ErrorCheckingMutex mutex;
    expectSystemError([&] { mutex.unlock(); }, "pthread_mutex_unlock", EPERM);
    mutex.lock();
    expectSystemError([&] { mutex.lock(); }, "pthread_mutex_lock", EDEADLK);
    EXPECT_FALSE(mutex.tryLock()) << "tryLock by the owner is busy, not an error";
    EXPECT_FALSE(tryLockElsewhere(mutex));  // the failed relock left it held once
    mutex.unlock();
    EXPECT_TRUE(tryLockElsewhere(mutex));
}

}  // namespace base_exceptions_mutexes_test
