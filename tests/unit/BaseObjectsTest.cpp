// The base classes: NvObject's count, NvHandle's ownership and casts, NvKeyTable's hold on its values, how the
// exceptions (the call library's too) are worded, owned and displayed, and the mutexes.

#include "SipTestText.h"
#include "mlapi/NvSipMlException.h"
#include "stack/base/NvHandle.h"
#include "stack/base/NvKeyTable.h"
#include "stack/base/NvMutex.h"
#include "stack/base/NvObject.h"

#include <cerrno>
#include <cstring>
#include <typeinfo>

namespace base_objects_test {

// Counts its destructions in a counter owned by the test; chains, as dialogs and transactions hold each other.
struct Counted : NvObject {
    explicit Counted(std::atomic<int>& destroyed, int value = 0, NvHandle<Counted> next = nullptr)
        : m_pDestroyed(&destroyed), m_Value(value), m_hNext(std::move(next)) {}
    ~Counted() override { m_pDestroyed->fetch_add(1); }
    std::atomic<int>* m_pDestroyed;
    int m_Value;
    NvHandle<Counted> m_hNext;
};
struct CountedChild : Counted { using Counted::Counted; };

// Two interfaces over one object; Right sits at an offset inside Both.
struct Left : virtual NvObject {};
struct Right : virtual NvObject { virtual int right() const { return 2; } };
struct Both : Left, Right {};

struct BaseObjects : ::testing::Test { std::atomic<int> destroyed{0}; };

// AddRef and Release give the new count and the last Release deletes (unless told not to); handles count copies,
// not moves, and survive assigning themselves or a handle held inside the object they release. Casts up, down and
// across share the object; a failed one is nil.
TEST_F(BaseObjects, CountsCopiesNotMovesTheLastReleaseDeletesAndCastsShareTheObject) {
    Counted* raw = new Counted(destroyed, 7);
    EXPECT_EQ((std::vector<long>{1, 2, 1, 0}),
              (std::vector<long>{raw->AddRef(), raw->AddRef(), raw->Release(), raw->Release(false)}));
    EXPECT_EQ(1, NvHandle<Counted>(new Counted(*raw))->refCount()) << "a copy starts unowned";
    EXPECT_EQ(1, destroyed.load());
    delete raw;
    NvHandle<Counted> none, first = NvMake<Counted>(destroyed, 5);
    EXPECT_TRUE(!none && none.object() == nullptr && NvHandle<NvObject>(none).isNil() && none.cast<Counted>().isNil());
    {
        NvHandle<Counted> second(first), third, &alias = third;
        third = second;
        third = alias;  // itself
        EXPECT_EQ(3, first->refCount());
        NvHandle<Counted> moved(std::move(third)), &same = moved;
        moved = std::move(same);  // itself
        EXPECT_TRUE(third.isNil() && moved == first && first->refCount() == 3);
    }
    first = first.get();  // the same object by pointer: not released on the way
    EXPECT_EQ(1, first->refCount());
    first = new Counted(destroyed, 6);
    EXPECT_EQ(3, destroyed.load());  // the copy, `raw` and now the first handle's
    for (bool move : {false, true}) {  // assigning a handle held inside the object being released: `h = h->m_hNext`
        destroyed = 0;
        NvHandle<Counted> head = NvMake<Counted>(destroyed, 1, new Counted(destroyed, 2, new Counted(destroyed, 3)));
        head = move ? std::move(head->m_hNext) : NvHandle<Counted>(head->m_hNext);
        ASSERT_TRUE(head && head->m_hNext);
        EXPECT_EQ(std::vector<int>({2, 1, 1, 3}),
                  std::vector<int>({head->m_Value, destroyed.load(), int(head->refCount()), head->m_hNext->m_Value}));
    }
    NvHandle<CountedChild> child(new CountedChild(destroyed, 3));
    NvHandle<NvObject> root = child;
    EXPECT_TRUE(NvHandle<CountedChild>(root) == child && child->refCount() == 3);
    NvHandle<Counted> other = NvMake<Counted>(destroyed);
    EXPECT_TRUE(NvHandle<CountedChild>(other).isNil() && other->refCount() == 1);
    NvHandle<Left> left(new Both());
    NvHandle<Right> right(left);
    ASSERT_TRUE(right && right->right() == 2 && right.object() == static_cast<NvObject*>(right.get()));
    EXPECT_TRUE(NvHandle<Right>(NvHandle<Left>(new Left())).isNil());
    left = nullptr;  // only Right keeps it: its release must delete a Both (checked by the sanitizer build)
    EXPECT_EQ(1, right->refCount());
}

// Handles copied and dropped on many threads at once: the object lives while any is held and is deleted once.
TEST(NvObjectRefCount, ConcurrentCopiesAndDropsDeleteExactlyOnce) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::atomic<int> destroyed{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        NvHandle<Counted> shared(new Counted(destroyed));
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([mine = shared, &go, &destroyed]() mutable {
                while (!go.load()) std::this_thread::yield();
                std::vector<NvHandle<NvObject>> held;
                for (int i = 0; i < 20000; ++i) {
                    held.push_back(mine);
                    if (held.size() == 16) held.clear();
                    if (destroyed.load(std::memory_order_relaxed) != 0) ADD_FAILURE() << "deleted while in use";
                }
                mine = nullptr;  // the last of these drops deletes the object
            });
        EXPECT_EQ(9, shared->refCount());
        shared = nullptr;
        go.store(true);
        for (auto& t : threads) t.join();
        EXPECT_EQ(1, destroyed.load()) << "attempt " << attempt;
    }
}

// A key table holds one reference per key (exact keys: case, spaces and zero bytes count), put gives back the
// value it replaced, nil values are listed like any other, and clearing or destroying the table releases them.
TEST_F(BaseObjects, KeyTableHoldsOneReferencePerKeyAndPutReturnsTheReplacedValue) {
    NvHandle<NvObject> first = NvMake<Counted>(destroyed), second = NvMake<Counted>(destroyed);
    {
        NvKeyTable table;
        EXPECT_TRUE(table.put("k", first).isNil() && table.put("k", second) == first);
        EXPECT_EQ(1, first->refCount()) << "the replaced value is no longer held";
        for (const NvString& key : {NvString("K"), NvString("k "), NvString("k\0", 2)})
            EXPECT_TRUE(table.get(key).isNil()) << key.length();
        table.put("again", second);
        table.put("nil", nullptr);
        for (int i = 0; i < 3; ++i) table.put(NvString(std::to_string(i)), NvMake<Counted>(destroyed));
        const std::vector<NvHandle<NvObject>> values = table.elements();
        EXPECT_TRUE(std::count(values.begin(), values.end(), second) == 2 && second->refCount() == 5)
            << "ours, two in the table, two in the list";
        EXPECT_EQ(6u, table.keys().size());
        EXPECT_TRUE(table.remove("k") == second && table.remove("k").isNil() && !table.containsKey("k"));
        table.clear();
        EXPECT_TRUE(table.isEmpty() && destroyed == 0) << "the list still holds the values";
        table.put("last", second);
    }
    EXPECT_TRUE(second->refCount() == 1 && destroyed == 3) << "the table's destruction released its references";
}

// Each kind of exception is raised as the only handle on it, with its wording; NvSipMlException is caught where the
// stack's exceptions are.
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
        {[none] { NvSipMlException::sThrow(none, "NvSipCallManager", "f()"); }, typeid(NvSipMlException),
         "Unknown Exception"},
        {[] { NvSipMlException::sThrow("### Can't find dialog ###", "NvSipCallManager", "f()"); },
         typeid(NvSipMlException), "### Can't find dialog ###"},
    };
    for (const auto& [raise, type, message] : cases) {
        const NvHandle<NvException> e = caught(raise);
        ASSERT_TRUE(e) << message;
        const NvException& raised = *e;
        EXPECT_TRUE(typeid(raised) == type && e->refCount() == 1) << message;
        EXPECT_EQ(message, e->getMessage().str());
    }
    // The call library's own is displayed in its own form, through the base class (display is virtual).
    const NvHandle<NvException> ml = caught(std::get<0>(cases[std::size(cases) - 1]));
    NvByteArrayOutputStream base, out;
    ml->NvObject::display(base, true);
    ml->display(out);
    EXPECT_EQ("!! NvSipMlException !!\n" + base.toByteArray() + "\n### Can't find dialog ###", out.toByteArray());
}

// A plain mutex excludes other threads; a recursive one lets its owner lock it again and refuses (raises on)
// another thread's unlock.
TEST(NvMutexLocking, PlainExcludesOthersRecursiveLetsItsOwnerRelockAndRefusesOthersUnlock) {
    const auto tryLockElsewhere = [](NvMutex& mutex) {  // so that how the mutex treats its owner does not matter
        bool locked = false;
        std::thread([&] { if ((locked = mutex.tryLock())) mutex.unlock(); }).join();
        return locked;
    };
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
    EXPECT_TRUE(misuse && misuse->getFunction() == "pthread_mutex_unlock" && misuse->getError() == EPERM)
        << "unlock by a non-owner raises";
    mutex.unlock();
    EXPECT_TRUE(tryLockElsewhere(mutex));
}

}  // namespace base_objects_test
