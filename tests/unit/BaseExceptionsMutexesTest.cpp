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

// What display(out) writes for an exception: the banner, the object's own
// description as NvObject::display(out, true) gives it, a newline, the message.
std::string expectedDisplay(const char* banner, const NvException& e) {
    NvByteArrayOutputStream base;
    e.NvObject::display(base, true);
    return std::string(banner) + base.toByteArray() + "\n" + e.getMessage().str();
}

std::string displayOf(const NvException& e) {
    NvByteArrayOutputStream out;
    e.display(out);
    return out.toByteArray();
}

// ---------------------------------------------------------------- NvException

TEST(NvExceptionRaise, RaisedAsAHandleWithTheMessage) {
    try {
        NvException::sThrow("Wrong state to send PRACK !");
        FAIL() << "sThrow returned";
    } catch (NvHandle<NvException>& e) {
        ASSERT_FALSE(e.isNil());
        EXPECT_EQ("Wrong state to send PRACK !", e->getMessage());
        const NvException& raised = *e;
        EXPECT_EQ(typeid(NvException), typeid(raised));
    }
}

TEST(NvExceptionRaise, NullMessageIsUnknownException) {
    const char* none = nullptr;
    try {
        NvException::sThrow(none);
    } catch (NvHandle<NvException>& e) {
        ASSERT_FALSE(e.isNil());
        EXPECT_EQ("Unknown Exception", e->getMessage());
    }
}

TEST(NvExceptionRaise, MessageFromAStringKeepsEveryByte) {
    try {
        NvException::sThrow(NvString("a\0b", 3));
    } catch (NvHandle<NvException>& e) {
        EXPECT_EQ(3u, e->getMessage().length());
    }
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
}

TEST(NvExceptionRaise, KeptAliveWhenTheCatchSiteCopiesTheHandle) {
    std::atomic<int> destroyed{0};
    NvHandle<NvException> kept;
    try {
        NvException::sThrow(new CountedException("kept", destroyed));
    } catch (NvHandle<NvException> e) {  // by value, on purpose
        kept = e;
    }
    EXPECT_EQ(0, destroyed.load());
    ASSERT_FALSE(kept.isNil());
    EXPECT_EQ(1, kept->refCount());
    EXPECT_EQ("kept", kept->getMessage());
    kept = nullptr;
    EXPECT_EQ(1, destroyed.load());
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
    try {
        NvException::sThrow("Cannot send BYE in SUCCEEDED state !");
    } catch (NvHandle<NvException>& e) {
        const std::string text = displayOf(*e);
        EXPECT_EQ(expectedDisplay("!! NvException !!\n", *e), text);
        EXPECT_EQ(0u, text.rfind("!! NvException !!\nNvException@", 0)) << text;
        EXPECT_EQ(std::string::npos, text.find('\0'));
    }
}

TEST(NvExceptionDisplay, TwoArgumentDisplayIsTheObjectsOwn) {
    NvHandle<NvException> e(new NvException("m"));
    NvByteArrayOutputStream brief;
    e->display(brief, false);
    EXPECT_EQ("NvException", brief.toByteArray());
}

// -------------------------------------------------------------- NvSystemError

TEST(NvSystemErrorRaise, NamesTheFunctionAndTheErrorText) {
    try {
        NvSystemError::sThrow("open", ENOENT);
    } catch (NvHandle<NvException>& e) {
        NvHandle<NvSystemError> error = e.cast<NvSystemError>();
        ASSERT_FALSE(error.isNil());
        EXPECT_EQ("open", error->getFunction());
        EXPECT_EQ(ENOENT, error->getError());
        const std::string message = e->getMessage().str();
        EXPECT_EQ(0u, message.rfind("open", 0)) << message;
        EXPECT_NE(std::string::npos, message.find(std::strerror(ENOENT))) << message;
    }
}

TEST(NvSystemErrorRaise, ZeroTakesErrno) {
    errno = EACCES;
    try {
        NvSystemError::sThrow("bind", 0);
    } catch (NvHandle<NvException>& e) {
        NvHandle<NvSystemError> error = e.cast<NvSystemError>();
        ASSERT_FALSE(error.isNil());
        EXPECT_EQ(EACCES, error->getError());
        EXPECT_NE(std::string::npos, e->getMessage().str().find(std::strerror(EACCES)));
    }
}

TEST(NvSystemErrorRaise, NullFunctionStillGivesAMessage) {
    NvHandle<NvSystemError> error(new NvSystemError(nullptr, EINVAL));
    EXPECT_TRUE(error->getFunction().isEmpty());
    EXPECT_NE(std::string::npos, error->getMessage().str().find(std::strerror(EINVAL)));
}

TEST(NvSystemErrorRaise, DisplayUsesTheExceptionFormat) {
    NvHandle<NvException> e(new NvSystemError("pthread_mutex_lock", EDEADLK));
    EXPECT_EQ(expectedDisplay("!! NvException !!\n", *e), displayOf(*e));
}

// --------------------------------------------------------- NvAssertionFailure

TEST(NvAssertionFailureRaise, TextNamesTheConditionAndWhere) {
    try {
        NvAssertionFailure::sThrow("count > 0", "NvSipDialog.cpp", 123, "Jan  1 2024 10:00:00");
    } catch (NvHandle<NvException>& e) {
        NvHandle<NvAssertionFailure> failure = e.cast<NvAssertionFailure>();
        ASSERT_FALSE(failure.isNil());
        EXPECT_EQ("count > 0", failure->getCondition());
        EXPECT_EQ("Assertion failed: count > 0 (NvSipDialog.cpp:123, built Jan  1 2024 10:00:00)", e->getMessage());
    }
}

TEST(NvAssertionFailureRaise, MissingPartsAreMarked) {
    NvHandle<NvAssertionFailure> failure(new NvAssertionFailure(nullptr, nullptr, 0, nullptr));
    EXPECT_EQ("Assertion failed: ? (?:0)", failure->getMessage());
    EXPECT_TRUE(failure->getCondition().isEmpty());
}

TEST(NvExceptionFamily, SubclassesAreNotEachOther) {
    NvHandle<NvException> system(new NvSystemError("read", EIO));
    EXPECT_TRUE(system.cast<NvAssertionFailure>().isNil());
    NvHandle<NvException> plain(new NvException("x"));
    EXPECT_TRUE(plain.cast<NvSystemError>().isNil());
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
    EXPECT_TRUE(tryLockElsewhere(mutex));
    mutex.lock();
    EXPECT_FALSE(tryLockElsewhere(mutex));
    mutex.unlock();
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

TEST(NvMutexLocking, WorksWithUniqueLock) {
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
    mutex.unlock();
    EXPECT_TRUE(tryLockElsewhere(mutex));
}

TEST(NvRecursiveMutexLocking, UnlockByANonOwnerRaises) {
    NvRecursiveMutex mutex;
    mutex.lock();
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
}

TEST(NvMutexErrors, UnlockingAMutexNotHeldRaisesSystemError) {
    ErrorCheckingMutex mutex;
    try {
        mutex.unlock();
        FAIL() << "unlock of a mutex not held must raise";
    } catch (NvHandle<NvException>& e) {
        NvHandle<NvSystemError> error = e.cast<NvSystemError>();
        ASSERT_FALSE(error.isNil());
        EXPECT_EQ("pthread_mutex_unlock", error->getFunction());
        EXPECT_EQ(EPERM, error->getError());
        EXPECT_NE(std::string::npos, e->getMessage().str().find("pthread_mutex_unlock")) << e->getMessage().str();
        EXPECT_NE(std::string::npos, e->getMessage().str().find(std::strerror(EPERM))) << e->getMessage().str();
    }
}

TEST(NvMutexErrors, RelockByTheOwnerRaisesInsteadOfHanging) {
    ErrorCheckingMutex mutex;
    mutex.lock();
    try {
        mutex.lock();
        FAIL() << "relock of an error-checking mutex must raise";
    } catch (NvHandle<NvException>& e) {
        NvHandle<NvSystemError> error = e.cast<NvSystemError>();
        ASSERT_FALSE(error.isNil());
        EXPECT_EQ("pthread_mutex_lock", error->getFunction());
        EXPECT_EQ(EDEADLK, error->getError());
    }
    EXPECT_FALSE(tryLockElsewhere(mutex));  // the failed relock left it held once
    mutex.unlock();
    EXPECT_TRUE(tryLockElsewhere(mutex));
}

TEST(NvMutexErrors, TryLockByTheOwnerIsBusyNotAnError) {
    ErrorCheckingMutex mutex;
    mutex.lock();
    EXPECT_FALSE(mutex.tryLock());
    mutex.unlock();
}

}  // namespace base_exceptions_mutexes_test
