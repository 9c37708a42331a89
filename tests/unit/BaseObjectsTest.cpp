// The base classes: NvObject's count, NvHandle's ownership and casts, NvKeyTable's hold on its values, how the
// exceptions are worded and owned, and the mutexes.

#include "SipTestText.h"
#include "stack/base/NvHandle.h"
#include "stack/base/NvKeyTable.h"
#include "stack/base/NvMutex.h"
#include "stack/base/NvObject.h"

#include <cerrno>
#include <cstring>
#include <typeinfo>

namespace base_objects_test {

// Counts its destructions in a counter owned by the test.
class Counted : public NvObject {
public:
    explicit Counted(std::atomic<int>& destroyed, int value = 0) : m_pDestroyed(&destroyed), m_Value(value) {}
    ~Counted() override { m_pDestroyed->fetch_add(1); }
    int value() const { return m_Value; }
    NvHandle<Counted> m_hNext;  // chains, as dialogs and transactions hold each other

private:
    std::atomic<int>* m_pDestroyed;
    int m_Value;
};
class CountedChild : public Counted {
    using Counted::Counted;
};

// Two interfaces over one object; Right sits at an offset inside Both.
class Left : public virtual NvObject {};
class Right : public virtual NvObject {
public:
    virtual int right() const { return 2; }
};
class Both : public Left, public Right {};

class BaseObjects : public ::testing::Test {
protected:
    NvHandle<Counted> counted(int value = 0) { return NvMake<Counted>(destroyed, value); }
    std::atomic<int> destroyed{0};
};

TEST_F(BaseObjects, CountsCopiesNotMovesAndTheLastReleaseDeletes) {
    Counted* raw = new Counted(destroyed, 7);
    EXPECT_EQ(1, raw->AddRef());
    EXPECT_EQ(2, raw->AddRef());
    EXPECT_EQ(1, raw->Release());
    EXPECT_EQ(0, raw->Release(false));  // not deleted when told not to
    EXPECT_EQ(1, NvHandle<Counted>(new Counted(*raw))->refCount()) << "a copy starts unowned";
    EXPECT_EQ(1, destroyed.load());
    delete raw;

    NvHandle<Counted> none, first = counted(5);
    EXPECT_TRUE(!none && none.object() == nullptr && NvHandle<NvObject>(none).isNil() && none.cast<Counted>().isNil());
    {
        NvHandle<Counted> second(first), third;
        third = second;
        NvHandle<Counted>& alias = third;
        third = alias;
        EXPECT_EQ(3, first->refCount());
        NvHandle<Counted> moved(std::move(third));
        NvHandle<Counted>& same = moved;
        moved = std::move(same);
        EXPECT_TRUE(third.isNil() && moved == first);
        EXPECT_EQ(3, first->refCount());
    }
    first = first.get();  // the same object by pointer: not released on the way
    EXPECT_EQ(1, first->refCount());
    first = new Counted(destroyed, 6);
    EXPECT_EQ(3, destroyed.load());  // the copy, `raw` and now the first handle's
    first = nullptr;
    EXPECT_EQ(4, destroyed.load());

    // Assigning a handle held inside the object being released: `h = h->m_hNext`.
    for (bool move : {false, true}) {
        destroyed = 0;
        NvHandle<Counted> head = counted(1);
        head->m_hNext = counted(2);
        head->m_hNext->m_hNext = counted(3);
        head = move ? std::move(head->m_hNext) : NvHandle<Counted>(head->m_hNext);
        ASSERT_TRUE(head && head->m_hNext);
        EXPECT_EQ(std::vector<int>({2, 1, 1, 3}),
                  std::vector<int>({head->value(), destroyed.load(), int(head->refCount()), head->m_hNext->value()}));
    }
}

TEST(NvObjectRefCount, ConcurrentCopiesAndDropsDeleteExactlyOnce) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::atomic<int> destroyed{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        {
            NvHandle<Counted> shared(new Counted(destroyed));
            for (int t = 0; t < 8; ++t) {
                threads.emplace_back([mine = shared, &go, &destroyed]() mutable {
                    while (!go.load()) std::this_thread::yield();
                    std::vector<NvHandle<NvObject>> held;
                    for (int i = 0; i < 20000; ++i) {
                        held.push_back(mine);
                        if (held.size() == 16) held.clear();
                        if (destroyed.load(std::memory_order_relaxed) != 0) ADD_FAILURE() << "deleted while in use";
                    }
                    held.clear();
                    mine = nullptr;  // the last of these drops deletes the object
                });
            }
            EXPECT_EQ(9, shared->refCount());
        }
        go.store(true);
        for (auto& t : threads) t.join();
        EXPECT_EQ(1, destroyed.load()) << "attempt " << attempt;
    }
}

TEST_F(BaseObjects, CastsUpDownAndAcrossShareTheObjectAndAFailedOneIsNil) {
    NvHandle<CountedChild> child(new CountedChild(destroyed, 3));
    NvHandle<NvObject> root = child;
    NvHandle<CountedChild> down(root);
    ASSERT_TRUE(down);
    EXPECT_EQ(3, down->value());
    EXPECT_EQ(3, child->refCount());
    NvHandle<Counted> other = counted();
    EXPECT_TRUE(NvHandle<CountedChild>(other).isNil());
    EXPECT_EQ(1, other->refCount());

    NvHandle<Left> left(new Both());
    NvHandle<Right> right(left);
    ASSERT_TRUE(right);
    EXPECT_EQ(2, right->right());
    EXPECT_EQ(static_cast<NvObject*>(right.get()), right.object());
    EXPECT_TRUE(NvHandle<Right>(NvHandle<Left>(new Left())).isNil());
    left = nullptr;  // only Right keeps it: its release must delete a Both (checked by the sanitizer build)
    EXPECT_EQ(1, right->refCount());
}

TEST_F(BaseObjects, KeyTableHoldsOneReferencePerKeyAndPutReturnsTheReplacedValue) {
    NvHandle<NvObject> first = counted(1), second = counted(2);
    {
        NvKeyTable table;
        EXPECT_TRUE(table.put("k", first).isNil());
        EXPECT_TRUE(table.put("k", second) == first);
        EXPECT_EQ(1, first->refCount()) << "the replaced value is no longer held";
        for (const NvString& key : {NvString("K"), NvString("k "), NvString("k\0", 2)})
            EXPECT_TRUE(table.get(key).isNil()) << key.length();
        table.put("again", second);
        table.put("nil", nullptr);  // nil values are listed like any other
        for (int i = 0; i < 3; ++i) table.put(NvString(std::to_string(i)), counted());
        {
            const std::vector<NvHandle<NvObject>> values = table.elements();
            EXPECT_EQ(2, std::count(values.begin(), values.end(), second));
            EXPECT_EQ(5, second->refCount());  // ours, two in the table, two in the list
        }
        EXPECT_EQ(6u, table.keys().size());
        EXPECT_TRUE(table.remove("k") == second && table.remove("k").isNil() && !table.containsKey("k"));
        table.clear();
        EXPECT_TRUE(table.isEmpty());
        EXPECT_EQ(3, destroyed.load());
        table.put("last", second);
    }
    EXPECT_EQ(1, second->refCount()) << "the table's destruction released its reference";
}

TEST(NvExceptionRaise, EachKindIsRaisedAsTheOnlyHandleWithItsWording) {
    const char* none = nullptr;
    const std::tuple<std::function<void()>, const std::type_info&, std::string> cases[] = {
        {[none] { NvException::sThrow(none); }, typeid(NvException), "Unknown Exception"},
        {[] { NvException::sThrow(NvString("a\0b", 3)); }, typeid(NvException), "a\0b"s},
        {[] { errno = EACCES; NvSystemError::sThrow("bind", 0); }, typeid(NvSystemError),
         "bind failed: "s + std::strerror(EACCES)},
        {[] { NvAssertionFailure::sThrow("count > 0", "NvSipDialog.cpp", 123, "Jan  1 2024 10:00:00"); },
         typeid(NvAssertionFailure), "Assertion failed: count > 0 (NvSipDialog.cpp:123, built Jan  1 2024 10:00:00)"},
        {[] { NvAssertionFailure::sThrow(nullptr, nullptr, 0, nullptr); }, typeid(NvAssertionFailure),
         "Assertion failed: ? (?:0)"},
    };
    for (const auto& [raise, type, message] : cases) {
        const NvHandle<NvException> e = caught(raise);
        ASSERT_TRUE(e) << message;
        const NvException& raised = *e;
        EXPECT_EQ(type, typeid(raised)) << message;
        EXPECT_EQ(message, e->getMessage().str());
        EXPECT_EQ(1, e->refCount()) << message;
    }
}

// tryLock from another thread, so the answer does not depend on how the mutex treats its owner.
bool tryLockElsewhere(NvMutex& mutex) {
    bool locked = false;
    std::thread([&] {
        if ((locked = mutex.tryLock())) mutex.unlock();
    }).join();
    return locked;
}

TEST(NvMutexLocking, PlainExcludesOthersRecursiveLetsItsOwnerRelockAndRefusesOthersUnlock) {
    NvMutex plain;
    plain.lock();
    EXPECT_FALSE(tryLockElsewhere(plain));
    plain.unlock();
    EXPECT_TRUE(tryLockElsewhere(plain));

    NvRecursiveMutex mutex;
    mutex.lock();
    ASSERT_TRUE(mutex.tryLock()) << "the owner may take it again";  // tryLock: a plain mutex fails, not hangs
    mutex.unlock();
    EXPECT_FALSE(tryLockElsewhere(mutex));  // still held once
    NvHandle<NvSystemError> misuse;
    std::thread([&] { misuse = caught([&] { mutex.unlock(); }).cast<NvSystemError>(); }).join();
    ASSERT_TRUE(misuse) << "unlock by a non-owner raises";
    EXPECT_EQ("pthread_mutex_unlock " + std::to_string(EPERM),
              misuse->getFunction().str() + " " + std::to_string(misuse->getError()));
    mutex.unlock();
    EXPECT_TRUE(tryLockElsewhere(mutex));
}

}  // namespace base_objects_test
