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
    NvHandle<Counted> counted(int value = 0) { return NvHandle<Counted>(new Counted(destroyed, value)); }
    NvHandle<NvObject> object(int value = 0) { return NvHandle<NvObject>(new Counted(destroyed, value)); }
    // head(1) -> 2 -> 3
    NvHandle<Node> chain() {
        NvHandle<Node> head(new Node(destroyed, 1));
        head->m_hNext = new Node(destroyed, 2);
        head->m_hNext->m_hNext = new Node(destroyed, 3);
        return head;
    }
    std::atomic<int> destroyed{0};
};

// ------------------------------------------------------------------ NvObject

TEST_F(BaseObjects, LastReleaseDeletesOnceAndReleaseWithoutDestroyKeepsTheObject) {
    Counted* object = new Counted(destroyed);
    EXPECT_EQ(0, object->refCount());
    EXPECT_EQ(1, object->AddRef());
    EXPECT_EQ(2, object->AddRef());
    EXPECT_EQ(1, object->Release());
    EXPECT_EQ(0, destroyed.load());
    EXPECT_EQ(0, object->Release());
    EXPECT_EQ(1, destroyed.load());

    object = new Counted(destroyed);
    object->AddRef();
    EXPECT_EQ(0, object->Release(false));
    EXPECT_EQ(1, destroyed.load());
    delete object;
    EXPECT_EQ(2, destroyed.load());
}

TEST_F(BaseObjects, CopyStartsWithNoOwners) {
    NvHandle<Counted> original = counted(7);
    NvHandle<Counted> again = original;
    {
        NvHandle<Counted> copy(new Counted(*original));
        EXPECT_EQ(1, copy->refCount());
        EXPECT_EQ(7, copy->value());
    }
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(2, original->refCount());
}

TEST(NvObjectRefCount, ConcurrentCopiesAndDropsDeleteExactlyOnce) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 20000;
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::atomic<int> destroyed{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        {
            NvHandle<Counted> shared(new Counted(destroyed));
            for (int t = 0; t < kThreads; ++t) {
                // Each thread gets its own handle variable over the shared object.
                threads.emplace_back([mine = shared, &go, &destroyed]() mutable {
                    while (!go.load()) std::this_thread::yield();
                    std::vector<NvHandle<Counted>> held;
                    for (int i = 0; i < kRounds; ++i) {
                        held.push_back(mine);
                        NvHandle<NvObject> up = mine;
                        if (held.size() == 16) held.clear();
                        if (destroyed.load(std::memory_order_relaxed) != 0) ADD_FAILURE() << "deleted while in use";
                    }
                    held.clear();
                    mine = nullptr;  // the last of these drops deletes the object
                });
            }
            EXPECT_EQ(kThreads + 1, shared->refCount());
        }  // the test's own handle goes first: a worker drops the last one
        go.store(true);
        for (auto& t : threads) t.join();
        EXPECT_EQ(1, destroyed.load()) << "attempt " << attempt;
    }
}

TEST_F(BaseObjects, DefaultCloneIsRefusedAndCompareIsAnOrderByIdentity) {
    NvHandle<Counted> a = counted(1), b = counted(1);
    try {
        a->clone();
        FAIL() << "clone() of a class that does not override it must raise";
    } catch (NvHandle<NvException>& e) {
        ASSERT_FALSE(e.isNil());
        EXPECT_NE(std::string::npos, e->getMessage().str().find("clone"));
    }
    EXPECT_EQ(0, a->compareWith(*a));
    EXPECT_NE(0, a->compareWith(*b));
    EXPECT_EQ(-a->compareWith(*b), b->compareWith(*a));
}

TEST_F(BaseObjects, DisplayNamesTheClassAndWithDetailTheCount) {
    NvHandle<Counted> object = counted(), second = object;
    NvByteArrayOutputStream brief, full;
    object->display(brief, false);
    EXPECT_EQ("base_objects_test::Counted", brief.toByteArray());
    object->display(full, true);
    const std::string text = full.toByteArray();
    EXPECT_EQ(0u, text.rfind("base_objects_test::Counted@", 0)) << text;
    EXPECT_NE(std::string::npos, text.find("refs=2")) << text;
    EXPECT_EQ(std::string::npos, text.find('\n')) << text;
}

// ------------------------------------------------------------------ NvHandle

TEST(NvHandleBasics, DefaultAndNullAreNil) {
    NvHandle<Counted> none;
    EXPECT_FALSE(static_cast<bool>(none));
    EXPECT_EQ(nullptr, none.object());
    EXPECT_TRUE(NvHandle<Counted>(nullptr).isNil());
    EXPECT_TRUE(none == NvHandle<Counted>(nullptr));
    EXPECT_TRUE(none == nullptr);
    EXPECT_TRUE(NvHandle<Counted>(none).isNil());
    EXPECT_TRUE(NvHandle<NvObject>(none).isNil());
    EXPECT_TRUE(none.cast<CountedChild>().isNil());
}

TEST_F(BaseObjects, CopyAddsAReferenceAndDropReleasesIt) {
    NvHandle<Counted> first = counted();
    EXPECT_EQ(1, first->refCount());
    {
        NvHandle<Counted> second(first);
        EXPECT_TRUE(first == second);
        NvHandle<Counted> third;
        third = second;
        EXPECT_EQ(3, first->refCount());
    }
    EXPECT_EQ(1, first->refCount());
    first = nullptr;
    EXPECT_EQ(1, destroyed.load());

    NvHandle<Counted> made = NvMake<Counted>(destroyed, 5);
    EXPECT_EQ(1, made->refCount());
    EXPECT_EQ(5, made->value());
}

TEST_F(BaseObjects, AssigningARawPointerTakesAReference) {
    NvHandle<Counted> handle;
    handle = new Counted(destroyed, 1);
    EXPECT_EQ(1, handle->refCount());
    handle = handle.get();  // the same object again: must not be released on the way
    EXPECT_EQ(1, handle->refCount());
    EXPECT_EQ(0, destroyed.load());
    handle = new Counted(destroyed, 2);
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(2, handle->value());
}

TEST_F(BaseObjects, SelfAssignmentKeepsTheObject) {
    NvHandle<Counted> handle = counted();
    NvHandle<Counted>& alias = handle;
    handle = alias;
    EXPECT_EQ(1, handle->refCount());
    handle = std::move(alias);
    ASSERT_FALSE(handle.isNil());
    EXPECT_EQ(1, handle->refCount());

    NvHandle<Counted> other = handle;
    handle = other;
    EXPECT_EQ(2, handle->refCount());
    handle = std::move(other);
    EXPECT_TRUE(other.isNil());
    EXPECT_EQ(1, handle->refCount());
    EXPECT_EQ(0, destroyed.load());
}

// Assigning a handle that lives inside the object the target is about to
// release: walking a chain with `h = h->m_hNext` is the everyday case.
TEST_F(BaseObjects, AssignmentFromInsideTheReleasedObject) {
    for (bool move : {false, true}) {
        destroyed = 0;
        NvHandle<Node> head = chain();
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

TEST_F(BaseObjects, MoveTransfersWithoutCountingAndReleasesWhatTheTargetHeld) {
    NvHandle<Counted> source = counted(1);
    Counted* raw = source.get();
    NvHandle<Counted> target(std::move(source));
    EXPECT_EQ(nullptr, source.object());
    EXPECT_EQ(raw, target.get());
    EXPECT_EQ(1, target->refCount());

    source = counted(2);  // a moved-from handle is reusable
    target = std::move(source);
    EXPECT_EQ(1, destroyed.load());
    EXPECT_TRUE(source.isNil());
    EXPECT_EQ(2, target->value());
    EXPECT_EQ(1, target->refCount());
}

TEST_F(BaseObjects, UpAndDownCastsShareTheObject) {
    NvHandle<CountedChild> child(new CountedChild(destroyed, 3));
    NvHandle<Counted> base = child;
    NvHandle<NvObject> root = child;
    EXPECT_EQ(static_cast<Counted*>(child.get()), base.get());
    EXPECT_EQ(3, child->refCount());
    NvHandle<CountedChild> down(root);
    ASSERT_FALSE(down.isNil());
    EXPECT_EQ(3, down->value());
    EXPECT_FALSE(root.cast<Counted>().isNil());
    base = nullptr;
    root = down = nullptr;
    EXPECT_EQ(1, child->refCount());
    EXPECT_EQ(0, destroyed.load());
}

TEST_F(BaseObjects, DownCastToTheWrongTypeIsNilAndTakesNoReference) {
    NvHandle<Counted> base(new OtherChild(destroyed));
    EXPECT_TRUE(NvHandle<CountedChild>(base).isNil());
    EXPECT_TRUE(base.cast<CountedChild>().isNil());
    EXPECT_TRUE(base.cast<Node>().isNil());
    EXPECT_EQ(1, base->refCount());
}

TEST(NvHandleConversion, CrossCastBetweenInterfacesOfOneObject) {
    NvHandle<Left> left(new Both());
    NvHandle<Right> right(left);
    ASSERT_FALSE(right.isNil());
    EXPECT_EQ(2, right->right());
    EXPECT_EQ(static_cast<Right*>(static_cast<Both*>(left.get())), right.get());
    // Right is a base at an offset: object() must still be the NvObject of it.
    EXPECT_EQ(static_cast<NvObject*>(right.get()), right.object());
    EXPECT_EQ(2, left->refCount());

    NvHandle<Left> plainLeft(new Left());
    EXPECT_TRUE(NvHandle<Right>(plainLeft).isNil());
    EXPECT_TRUE(plainLeft.cast<Right>().isNil());
    EXPECT_EQ(1, plainLeft->refCount());

    // Only the Right handle keeps the object: its release must delete a Both
    // (a wrong delete here is caught by the sanitizer build).
    left = nullptr;
    EXPECT_EQ(1, right->refCount());
}

// ------------------------------------------------------------------ NvKeyTable

TEST_F(BaseObjects, KeyTablePutReplacesAndReturnsTheOldValue) {
    NvKeyTable table;
    NvHandle<NvObject> first = object(1), second = object(2);
    EXPECT_TRUE(table.put("k", first).isNil());
    NvHandle<NvObject> previous = table.put("k", second);
    EXPECT_TRUE(previous == first);
    EXPECT_TRUE(table.get("k") == second);
    EXPECT_EQ(1u, table.size());
    previous = nullptr;
    EXPECT_EQ(1, first->refCount()) << "the old value is no longer held by the table";

    // Putting the same value back keeps it alive.
    previous = table.put("k", table.get("k"));
    EXPECT_TRUE(previous == second);
    previous = nullptr;
    EXPECT_EQ(2, second->refCount());
    EXPECT_EQ(0, destroyed.load());
}

TEST_F(BaseObjects, KeyTableKeysAreCaseSensitiveAndExact) {
    NvKeyTable table;
    EXPECT_TRUE(table.get("missing").isNil());
    EXPECT_FALSE(table.containsKey("missing"));
    EXPECT_TRUE(table.isEmpty());
    table.put("call-1,a,b", object());
    for (const NvString& key : {NvString("CALL-1,a,b"), NvString("call-1,a,b "), NvString("call-1,a,b\0", 11)})
        EXPECT_TRUE(table.get(key).isNil()) << key.length();
    EXPECT_FALSE(table.get("call-1,a,b").isNil());
}

TEST_F(BaseObjects, KeyTableRemoveReturnsTheValueAndForgetsTheKey) {
    NvKeyTable table;
    table.put("a", object(1));
    table.put("b", object(2));
    NvHandle<Counted> removed(table.remove("a"));
    ASSERT_FALSE(removed.isNil());
    EXPECT_EQ(1, removed->value());
    EXPECT_EQ(1, removed->refCount());
    EXPECT_FALSE(table.containsKey("a"));
    EXPECT_TRUE(table.remove("a").isNil());
    EXPECT_EQ(1u, table.size());
    removed = nullptr;
    EXPECT_EQ(1, destroyed.load());

    // Nil values are kept and listed like any other.
    EXPECT_TRUE(table.put("nothing", NvHandle<NvObject>()).isNil());
    EXPECT_TRUE(table.containsKey("nothing"));
    EXPECT_EQ(2u, table.elements().size());
    EXPECT_TRUE(table.remove("nothing").isNil());
    EXPECT_FALSE(table.containsKey("nothing"));
}

TEST_F(BaseObjects, KeyTableHoldsAReferenceUntilClearedOrDestroyed) {
    NvHandle<NvObject> kept = object();
    {
        NvKeyTable table;
        table.put("kept", kept);
        for (int i = 0; i < 10; ++i) table.put(NvString(std::to_string(i)), object());
        table.put("last", object());
        EXPECT_EQ(0, destroyed.load());
        EXPECT_EQ(12u, table.size());
        table.clear();
        EXPECT_TRUE(table.isEmpty());
        EXPECT_EQ(11, destroyed.load());
        EXPECT_EQ(1, kept->refCount());
        table.put("kept", kept);
    }
    EXPECT_EQ(1, kept->refCount()) << "the table's destruction released it";
}

TEST_F(BaseObjects, KeyTableElementsListAValueUnderTwoKeysTwice) {
    NvKeyTable table;
    NvHandle<NvObject> shared = object(1), single = object(2);
    table.put("old-key", shared);
    table.put("new-key", shared);
    table.put("other", single);
    EXPECT_EQ(3, shared->refCount());

    const std::vector<NvHandle<NvObject>> values = table.elements();
    ASSERT_EQ(3u, values.size());
    EXPECT_EQ(2, std::count(values.begin(), values.end(), shared));
    EXPECT_EQ(1, std::count(values.begin(), values.end(), single));
    EXPECT_EQ(5, shared->refCount());  // ours, two in the table, two in the list

    std::vector<NvString> keys = table.keys();
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ((std::vector<NvString>{"new-key", "old-key", "other"}), keys);
}

}  // namespace base_objects_test
