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
public:
    using Counted::Counted;
};

class OtherChild : public Counted {
public:
    using Counted::Counted;
};

// A node of a chain: each holds the next through a handle.
class Node : public Counted {
public:
    using Counted::Counted;
    NvHandle<Node> m_hNext;
};

// Two interfaces over one object, for casts across the hierarchy.
class Left : public virtual NvObject {
public:
    virtual int left() const { return 1; }
};
class Right : public virtual NvObject {
public:
    virtual int right() const { return 2; }
};
class Both : public Left, public Right {};

// ------------------------------------------------------------------ NvObject

TEST(NvObjectRefCount, LastReleaseDeletesOnce) {
    std::atomic<int> destroyed{0};
    Counted* object = new Counted(destroyed);
    EXPECT_EQ(0, object->refCount());
    EXPECT_EQ(1, object->AddRef());
    EXPECT_EQ(2, object->AddRef());
    EXPECT_EQ(1, object->Release());
    EXPECT_EQ(0, destroyed.load());
    EXPECT_EQ(0, object->Release());
    EXPECT_EQ(1, destroyed.load());
}

TEST(NvObjectRefCount, ReleaseWithoutDestroyKeepsTheObject) {
    std::atomic<int> destroyed{0};
    Counted* object = new Counted(destroyed);
    object->AddRef();
    EXPECT_EQ(0, object->Release(false));
    EXPECT_EQ(0, destroyed.load());
    delete object;
    EXPECT_EQ(1, destroyed.load());
}

TEST(NvObjectRefCount, CopyStartsWithNoOwners) {
    std::atomic<int> destroyed{0};
    NvHandle<Counted> original(new Counted(destroyed, 7));
    NvHandle<Counted> again = original;
    ASSERT_EQ(2, original->refCount());
    {
        NvHandle<Counted> copy(new Counted(*original));
        EXPECT_EQ(1, copy->refCount());
        EXPECT_EQ(7, copy->value());
        EXPECT_NE(original.get(), copy.get());
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

TEST(NvObjectDefaults, CloneIsRefusedWithAnException) {
    std::atomic<int> destroyed{0};
    NvHandle<Counted> object(new Counted(destroyed));
    try {
        object->clone();
        FAIL() << "clone() of a class that does not override it must raise";
    } catch (NvHandle<NvException>& e) {
        ASSERT_FALSE(e.isNil());
        EXPECT_NE(std::string::npos, e->getMessage().str().find("clone"));
    }
}

TEST(NvObjectDefaults, CompareWithIsAConsistentOrderByIdentity) {
    std::atomic<int> destroyed{0};
    NvHandle<Counted> a(new Counted(destroyed, 1));
    NvHandle<Counted> b(new Counted(destroyed, 1));
    EXPECT_EQ(0, a->compareWith(*a));
    EXPECT_NE(0, a->compareWith(*b));
    EXPECT_EQ(-a->compareWith(*b), b->compareWith(*a));
}

TEST(NvObjectDefaults, DisplayNamesTheClassAndWithDetailTheCount) {
    std::atomic<int> destroyed{0};
    NvHandle<Counted> object(new Counted(destroyed));
    NvByteArrayOutputStream brief;
    object->display(brief, false);
    EXPECT_EQ("base_objects_test::Counted", brief.toByteArray());

    NvHandle<Counted> second = object;
    NvByteArrayOutputStream full;
    object->display(full, true);
    const std::string text = full.toByteArray();
    EXPECT_EQ(0u, text.rfind("base_objects_test::Counted@", 0)) << text;
    EXPECT_NE(std::string::npos, text.find("refs=2")) << text;
    EXPECT_EQ(std::string::npos, text.find('\n')) << text;
}

// ------------------------------------------------------------------ NvHandle

TEST(NvHandleBasics, DefaultAndNullAreNil) {
    NvHandle<Counted> none;
    NvHandle<Counted> null(nullptr);
    EXPECT_TRUE(none.isNil());
    EXPECT_FALSE(static_cast<bool>(none));
    EXPECT_EQ(nullptr, none.get());
    EXPECT_EQ(nullptr, none.object());
    EXPECT_TRUE(null.isNil());
    EXPECT_TRUE(none == null);
    EXPECT_TRUE(none == nullptr);

    NvHandle<Counted> copy = none;
    EXPECT_TRUE(copy.isNil());
    NvHandle<NvObject> up = none;
    EXPECT_TRUE(up.isNil());
    EXPECT_TRUE(none.cast<CountedChild>().isNil());
}

TEST(NvHandleBasics, CopyAddsAReferenceAndDropReleasesIt) {
    std::atomic<int> destroyed{0};
    NvHandle<Counted> first(new Counted(destroyed));
    EXPECT_EQ(1, first->refCount());
    {
        NvHandle<Counted> second(first);
        EXPECT_EQ(2, first->refCount());
        EXPECT_TRUE(first == second);
        NvHandle<Counted> third;
        third = second;
        EXPECT_EQ(3, first->refCount());
    }
    EXPECT_EQ(1, first->refCount());
    EXPECT_EQ(0, destroyed.load());
    first = nullptr;
    EXPECT_TRUE(first.isNil());
    EXPECT_EQ(1, destroyed.load());
}

TEST(NvHandleBasics, ObjectGivesTheSameObjectAsGet) {
    NvHandle<Both> both(new Both());
    NvHandle<Right> right = both;
    // Right is a base at an offset: object() must still be the NvObject of it.
    EXPECT_EQ(static_cast<NvObject*>(both.get()), right.object());
    EXPECT_EQ(static_cast<NvObject*>(right.get()), right.object());
}

TEST(NvHandleBasics, AssigningARawPointerTakesAReference) {
    std::atomic<int> destroyed{0};
    NvHandle<Counted> handle;
    handle = new Counted(destroyed, 1);
    EXPECT_EQ(1, handle->refCount());
    Counted* raw = handle.get();
    handle = raw;  // the same object again: must not be released on the way
    EXPECT_EQ(1, handle->refCount());
    EXPECT_EQ(0, destroyed.load());
    handle = new Counted(destroyed, 2);
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(2, handle->value());
}

TEST(NvHandleBasics, MakeReturnsTheOnlyOwner) {
    std::atomic<int> destroyed{0};
    {
        NvHandle<Counted> made = NvMake<Counted>(destroyed, 5);
        EXPECT_EQ(1, made->refCount());
        EXPECT_EQ(5, made->value());
    }
    EXPECT_EQ(1, destroyed.load());
}

TEST(NvHandleSelfAssignment, CopyToItselfKeepsTheObject) {
    std::atomic<int> destroyed{0};
    NvHandle<Counted> handle(new Counted(destroyed));
    NvHandle<Counted>& alias = handle;
    handle = alias;
    ASSERT_FALSE(handle.isNil());
    EXPECT_EQ(1, handle->refCount());
    EXPECT_EQ(0, destroyed.load());
}

TEST(NvHandleSelfAssignment, MoveToItselfKeepsTheObject) {
    std::atomic<int> destroyed{0};
    NvHandle<Counted> handle(new Counted(destroyed));
    NvHandle<Counted>& alias = handle;
    handle = std::move(alias);
    ASSERT_FALSE(handle.isNil());
    EXPECT_EQ(1, handle->refCount());
    EXPECT_EQ(0, destroyed.load());
}

TEST(NvHandleSelfAssignment, CopyOfAnotherHandleToTheSameObject) {
    std::atomic<int> destroyed{0};
    NvHandle<Counted> a(new Counted(destroyed));
    NvHandle<Counted> b = a;
    a = b;
    EXPECT_EQ(2, a->refCount());
    a = std::move(b);
    EXPECT_TRUE(b.isNil());
    EXPECT_EQ(1, a->refCount());
    EXPECT_EQ(0, destroyed.load());
}

// Assigning a handle that lives inside the object the target is about to
// release: walking a chain with `h = h->m_hNext` is the everyday case.
TEST(NvHandleSelfAssignment, CopyFromInsideTheReleasedObject) {
    std::atomic<int> destroyed{0};
    NvHandle<Node> head(new Node(destroyed, 1));
    head->m_hNext = new Node(destroyed, 2);
    head->m_hNext->m_hNext = new Node(destroyed, 3);
    head = head->m_hNext;
    ASSERT_FALSE(head.isNil());
    EXPECT_EQ(2, head->value());
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(1, head->refCount());
}

TEST(NvHandleSelfAssignment, MoveFromInsideTheReleasedObject) {
    std::atomic<int> destroyed{0};
    NvHandle<Node> head(new Node(destroyed, 1));
    head->m_hNext = new Node(destroyed, 2);
    head->m_hNext->m_hNext = new Node(destroyed, 3);
    head = std::move(head->m_hNext);
    ASSERT_FALSE(head.isNil());
    EXPECT_EQ(2, head->value());
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(1, head->refCount());
    ASSERT_FALSE(head->m_hNext.isNil());
    EXPECT_EQ(3, head->m_hNext->value());
}

TEST(NvHandleMove, MoveConstructionTransfersWithoutCounting) {
    std::atomic<int> destroyed{0};
    NvHandle<Counted> source(new Counted(destroyed));
    Counted* raw = source.get();
    NvHandle<Counted> target(std::move(source));
    EXPECT_TRUE(source.isNil());
    EXPECT_EQ(nullptr, source.object());
    EXPECT_EQ(raw, target.get());
    EXPECT_EQ(1, target->refCount());
}

TEST(NvHandleMove, MoveAssignmentReleasesWhatTheTargetHeld) {
    std::atomic<int> destroyed{0};
    NvHandle<Counted> target(new Counted(destroyed, 1));
    NvHandle<Counted> source(new Counted(destroyed, 2));
    target = std::move(source);
    EXPECT_EQ(1, destroyed.load());
    EXPECT_TRUE(source.isNil());
    EXPECT_EQ(2, target->value());
    EXPECT_EQ(1, target->refCount());
}

TEST(NvHandleMove, MovedFromHandleIsReusable) {
    std::atomic<int> destroyed{0};
    NvHandle<Counted> source(new Counted(destroyed, 1));
    NvHandle<Counted> target = std::move(source);
    source = new Counted(destroyed, 2);
    EXPECT_EQ(1, source->refCount());
    EXPECT_EQ(2, source->value());
    EXPECT_EQ(1, target->value());
}

TEST(NvHandleConversion, UpCastIsImplicitAndShared) {
    std::atomic<int> destroyed{0};
    NvHandle<CountedChild> child(new CountedChild(destroyed, 3));
    NvHandle<Counted> base = child;
    NvHandle<NvObject> root = child;
    EXPECT_EQ(static_cast<Counted*>(child.get()), base.get());
    EXPECT_EQ(3, child->refCount());
    base = nullptr;
    root = nullptr;
    EXPECT_EQ(1, child->refCount());
    EXPECT_EQ(0, destroyed.load());
}

TEST(NvHandleConversion, DownCastFindsTheDynamicType) {
    std::atomic<int> destroyed{0};
    NvHandle<NvObject> root(new CountedChild(destroyed, 4));
    NvHandle<CountedChild> child(root);
    ASSERT_FALSE(child.isNil());
    EXPECT_EQ(4, child->value());
    EXPECT_EQ(2, root->refCount());
    NvHandle<Counted> viaCast = root.cast<Counted>();
    ASSERT_FALSE(viaCast.isNil());
    EXPECT_EQ(3, root->refCount());
}

TEST(NvHandleConversion, DownCastToTheWrongTypeIsNilAndTakesNoReference) {
    std::atomic<int> destroyed{0};
    NvHandle<Counted> base(new OtherChild(destroyed));
    NvHandle<CountedChild> wrong(base);
    EXPECT_TRUE(wrong.isNil());
    EXPECT_TRUE(base.cast<CountedChild>().isNil());
    EXPECT_TRUE(base.cast<Node>().isNil());
    EXPECT_EQ(1, base->refCount());
    base = nullptr;
    EXPECT_EQ(1, destroyed.load());
}

TEST(NvHandleConversion, CrossCastBetweenInterfacesOfOneObject) {
    NvHandle<Left> left(new Both());
    NvHandle<Right> right(left);
    ASSERT_FALSE(right.isNil());
    EXPECT_EQ(2, right->right());
    EXPECT_EQ(static_cast<Right*>(static_cast<Both*>(left.get())), right.get());
    EXPECT_EQ(2, left->refCount());

    NvHandle<Left> plainLeft(new Left());
    EXPECT_TRUE(NvHandle<Right>(plainLeft).isNil());
    EXPECT_TRUE(plainLeft.cast<Right>().isNil());
    EXPECT_EQ(1, plainLeft->refCount());
}

TEST(NvHandleConversion, ReleaseThroughABaseAtAnOffsetDeletesTheWholeObject) {
    // Only the Right handle keeps the object: its release must delete a Both.
    NvHandle<Right> right;
    {
        NvHandle<Both> both(new Both());
        right = both;
    }
    EXPECT_EQ(1, right->refCount());
    right = nullptr;  // a wrong delete here is caught by the sanitizer build
}

// ------------------------------------------------------------------ NvKeyTable

TEST(NvKeyTableContents, PutReplacesAndReturnsTheOldValue) {
    std::atomic<int> destroyed{0};
    NvKeyTable table;
    NvHandle<NvObject> first(new Counted(destroyed, 1));
    NvHandle<NvObject> second(new Counted(destroyed, 2));
    EXPECT_TRUE(table.put("k", first).isNil());
    NvHandle<NvObject> previous = table.put("k", second);
    EXPECT_TRUE(previous == first);
    EXPECT_TRUE(table.get("k") == second);
    EXPECT_EQ(1u, table.size());
    // The old value is no longer held by the table.
    EXPECT_EQ(2, first->refCount());  // `first` and `previous`
    previous = nullptr;
    EXPECT_EQ(1, first->refCount());
}

TEST(NvKeyTableContents, GetOfAMissingKeyIsNil) {
    NvKeyTable table;
    EXPECT_TRUE(table.get("missing").isNil());
    EXPECT_FALSE(table.containsKey("missing"));
    EXPECT_TRUE(table.isEmpty());
}

TEST(NvKeyTableContents, KeysAreCaseSensitiveAndExact) {
    std::atomic<int> destroyed{0};
    NvKeyTable table;
    table.put("call-1,a,b", NvHandle<NvObject>(new Counted(destroyed)));
    EXPECT_TRUE(table.get("CALL-1,a,b").isNil());
    EXPECT_TRUE(table.get("call-1,a,b ").isNil());
    EXPECT_TRUE(table.get(NvString("call-1,a,b\0", 11)).isNil());
    EXPECT_FALSE(table.get("call-1,a,b").isNil());
}

TEST(NvKeyTableContents, RemoveReturnsTheValueAndForgetsTheKey) {
    std::atomic<int> destroyed{0};
    NvKeyTable table;
    table.put("a", NvHandle<NvObject>(new Counted(destroyed, 1)));
    table.put("b", NvHandle<NvObject>(new Counted(destroyed, 2)));
    NvHandle<Counted> removed(table.remove("a"));
    ASSERT_FALSE(removed.isNil());
    EXPECT_EQ(1, removed->value());
    EXPECT_EQ(1, removed->refCount());
    EXPECT_FALSE(table.containsKey("a"));
    EXPECT_TRUE(table.remove("a").isNil());
    EXPECT_EQ(1u, table.size());
    removed = nullptr;
    EXPECT_EQ(1, destroyed.load());
}

TEST(NvKeyTableContents, TableHoldsAReference) {
    std::atomic<int> destroyed{0};
    {
        NvKeyTable table;
        table.put("a", NvHandle<NvObject>(new Counted(destroyed)));
        EXPECT_EQ(0, destroyed.load());
        EXPECT_EQ(1, table.get("a")->refCount() - 1);  // the table's, plus the temporary from get
    }
    EXPECT_EQ(1, destroyed.load());  // the table's destruction released it
}

TEST(NvKeyTableContents, ClearReleasesEveryValue) {
    std::atomic<int> destroyed{0};
    NvKeyTable table;
    NvHandle<NvObject> kept(new Counted(destroyed));
    table.put("kept", kept);
    for (int i = 0; i < 10; ++i) table.put(NvString(std::to_string(i)), NvHandle<NvObject>(new Counted(destroyed)));
    EXPECT_EQ(11u, table.size());
    table.clear();
    EXPECT_TRUE(table.isEmpty());
    EXPECT_EQ(10, destroyed.load());
    EXPECT_EQ(1, kept->refCount());
}

TEST(NvKeyTableContents, ElementsListAValueUnderTwoKeysTwice) {
    std::atomic<int> destroyed{0};
    NvKeyTable table;
    NvHandle<NvObject> shared(new Counted(destroyed, 1));
    NvHandle<NvObject> single(new Counted(destroyed, 2));
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
    ASSERT_EQ(3u, keys.size());
    EXPECT_EQ("new-key", keys[0]);
    EXPECT_EQ("old-key", keys[1]);
    EXPECT_EQ("other", keys[2]);
}

TEST(NvKeyTableContents, PuttingTheSameValueBackKeepsItAlive) {
    std::atomic<int> destroyed{0};
    NvKeyTable table;
    table.put("a", NvHandle<NvObject>(new Counted(destroyed)));
    NvHandle<NvObject> previous = table.put("a", table.get("a"));
    EXPECT_EQ(0, destroyed.load());
    EXPECT_TRUE(previous == table.get("a"));
    previous = nullptr;
    EXPECT_EQ(1, table.get("a")->refCount() - 1);
}

TEST(NvKeyTableContents, NilValuesAreListed) {
    NvKeyTable table;
    EXPECT_TRUE(table.put("nothing", NvHandle<NvObject>()).isNil());
    EXPECT_TRUE(table.containsKey("nothing"));
    EXPECT_EQ(1u, table.elements().size());
    EXPECT_TRUE(table.remove("nothing").isNil());
    EXPECT_FALSE(table.containsKey("nothing"));
}

}  // namespace base_objects_test
