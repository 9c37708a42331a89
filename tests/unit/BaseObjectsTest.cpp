// Tests of the counted objects of the stack: NvObject's reference count,
// NvHandle's ownership and conversions, and NvKeyTable's hold on its values.

#include "stack/base/NvException.h"
#include "stack/base/NvHandle.h"
#include "stack/base/NvKeyTable.h"
#include "stack/base/NvObject.h"
#include "stack/base/NvStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace base_objects_test {

// Counts its destructions in a counter owned by the test.
class Counted : public NvObject {
public:
    explicit Counted(std::atomic<int>& destroyed, int value = 0) : m_pDestroyed(&destroyed), m_Value(value) {}
    ~Counted() override { m_pDestroyed->fetch_add(1); }
    int value() const { return m_Value; }

private:
    std::atomic<int>* m_pDestroyed;
    int m_Value;
};

class CountedChild : public Counted {
    using Counted::Counted;
};
class OtherChild : public Counted {
    using Counted::Counted;
};

// A node of a chain: each holds the next through a handle.
class Node : public Counted {
public:
    using Counted::Counted;
    NvHandle<Node> m_hNext;
};

// Two interfaces over one object, for casts across the hierarchy.
class Left : public virtual NvObject {};
class Right : public virtual NvObject {
public:
    virtual int right() const { return 2; }
};
class Both : public Left, public Right {};

class BaseObjects : public ::testing::Test {
protected:
    NvHandle<Counted> counted(int value = 0) { return NvMake<Counted>(destroyed, value); }
    NvHandle<NvObject> object(int value = 0) { return counted(value); }
    std::atomic<int> destroyed{0};
};

// ------------------------------------------------------------------ NvObject

TEST_F(BaseObjects, LastReleaseDeletesUnlessToldNotToAndACopyStartsUnowned) {
    Counted* object = new Counted(destroyed, 7);
    EXPECT_EQ(1, object->AddRef());
    EXPECT_EQ(2, object->AddRef());
    EXPECT_EQ(1, object->Release());
    EXPECT_EQ(0, object->Release(false));
    EXPECT_EQ(0, destroyed.load());
    {
        NvHandle<Counted> copy(new Counted(*object));
        EXPECT_EQ(1, copy->refCount());
        EXPECT_EQ(7, copy->value());
    }
    EXPECT_EQ(1, destroyed.load()) << "the copy's last release deleted it";
    delete object;
}

TEST(NvObjectRefCount, ConcurrentCopiesAndDropsDeleteExactlyOnce) {
    constexpr int kThreads = 8;
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::atomic<int> destroyed{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        {
            NvHandle<Counted> shared(new Counted(destroyed));
            for (int t = 0; t < kThreads; ++t) {
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
            EXPECT_EQ(kThreads + 1, shared->refCount());
        }
        go.store(true);
        for (auto& t : threads) t.join();
        EXPECT_EQ(1, destroyed.load()) << "attempt " << attempt;
    }
}

// ------------------------------------------------------------------ NvHandle

TEST_F(BaseObjects, CopiesCountMovesDoNotAndDropsReleaseDownToNil) {
    NvHandle<Counted> none;
    EXPECT_TRUE(!none && none.object() == nullptr && none == nullptr);
    EXPECT_TRUE(NvHandle<NvObject>(none).isNil() && none.cast<CountedChild>().isNil());
    NvHandle<Counted> first = counted(5);
    {
        NvHandle<Counted> second(first), third;
        third = second;
        EXPECT_TRUE(third == first);
        EXPECT_EQ(3, first->refCount());
        NvHandle<Counted>& alias = third;
        third = alias;  // self-assignment keeps the count
        EXPECT_EQ(3, first->refCount());
        NvHandle<Counted> moved(std::move(third));
        EXPECT_TRUE(third.isNil() && moved == first);
        NvHandle<Counted>& same = moved;
        moved = std::move(same);  // self-move keeps the object
        EXPECT_EQ(3, first->refCount());
    }
    EXPECT_EQ(1, first->refCount());
    first = first.get();  // the same object by pointer: not released on the way
    EXPECT_EQ(1, first->refCount());
    EXPECT_EQ(0, destroyed.load());
    first = new Counted(destroyed, 6);
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(6, first->value());
    first = nullptr;
    EXPECT_EQ(2, destroyed.load());
    EXPECT_TRUE(first == none);
}

// Assigning a handle that lives inside the object the target is about to
// release: walking a chain with `h = h->m_hNext` is the everyday case.
TEST_F(BaseObjects, AssignmentFromInsideTheReleasedObject) {
    for (bool move : {false, true}) {
        destroyed = 0;
        NvHandle<Node> head(new Node(destroyed, 1));
        head->m_hNext = new Node(destroyed, 2);
        head->m_hNext->m_hNext = new Node(destroyed, 3);
        if (move) {
            head = std::move(head->m_hNext);
        } else {
            head = head->m_hNext;
        }
        ASSERT_FALSE(head.isNil());
        EXPECT_EQ(2, head->value());
        EXPECT_EQ(1, destroyed.load());
        EXPECT_EQ(1, head->refCount());
        ASSERT_FALSE(head->m_hNext.isNil());
        EXPECT_EQ(3, head->m_hNext->value());
    }
}

TEST_F(BaseObjects, CastsUpDownAndAcrossShareTheObjectAndAFailedOneIsNil) {
    NvHandle<CountedChild> child(new CountedChild(destroyed, 3));
    NvHandle<Counted> base = child;
    NvHandle<NvObject> root = child;
    EXPECT_EQ(static_cast<Counted*>(child.get()), base.get());
    NvHandle<CountedChild> down(root);
    ASSERT_FALSE(down.isNil());
    EXPECT_EQ(3, down->value());
    EXPECT_EQ(4, child->refCount());

    NvHandle<Counted> other(new OtherChild(destroyed));
    EXPECT_TRUE(NvHandle<CountedChild>(other).isNil());
    EXPECT_TRUE(other.cast<CountedChild>().isNil());
    EXPECT_EQ(1, other->refCount());
    EXPECT_EQ(0, destroyed.load());

    // Across two interfaces of one object; Right is a base at an offset, so
    // object() must still be the NvObject of it.
    NvHandle<Left> left(new Both());
    NvHandle<Right> right(left);
    ASSERT_FALSE(right.isNil());
    EXPECT_EQ(2, right->right());
    EXPECT_EQ(static_cast<NvObject*>(right.get()), right.object());
    EXPECT_TRUE(NvHandle<Right>(NvHandle<Left>(new Left())).isNil());
    // Only the Right handle keeps the object: its release must delete a Both
    // (a wrong delete here is caught by the sanitizer build).
    left = nullptr;
    EXPECT_EQ(1, right->refCount());
}

// ------------------------------------------------------------------ NvKeyTable

TEST_F(BaseObjects, KeyTableHoldsOneReferencePerKeyAndPutReturnsTheReplacedValue) {
    NvHandle<NvObject> first = object(1), second = object(2);
    {
        NvKeyTable table;
        EXPECT_TRUE(table.put("k", first).isNil());
        EXPECT_TRUE(table.put("k", second) == first);
        EXPECT_EQ(1, first->refCount()) << "the replaced value is no longer held";
        EXPECT_TRUE(table.put("k", table.get("k")) == second);
        for (const NvString& key : {NvString("K"), NvString("k "), NvString("k\0", 2)})
            EXPECT_TRUE(table.get(key).isNil()) << key.length();
        table.put("again", second);
        table.put("nil", nullptr);  // nil values are listed like any other
        for (int i = 0; i < 3; ++i) table.put(NvString(std::to_string(i)), object());
        {
            const std::vector<NvHandle<NvObject>> values = table.elements();
            EXPECT_EQ(2, std::count(values.begin(), values.end(), second));
            EXPECT_EQ(5, second->refCount());  // ours, two in the table, two in the list
        }
        EXPECT_EQ(6u, table.keys().size());

        EXPECT_TRUE(table.remove("k") == second);
        EXPECT_TRUE(table.remove("k").isNil());
        EXPECT_FALSE(table.containsKey("k"));
        table.clear();
        EXPECT_TRUE(table.isEmpty());
        EXPECT_EQ(3, destroyed.load());
        table.put("last", second);
    }
    EXPECT_EQ(1, second->refCount()) << "the table's destruction released its reference";
}

}  // namespace base_objects_test
