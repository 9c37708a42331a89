#pragma once
// Tagged allocation: heap allocation that keeps, per type tag, a count of the
// live objects, so that leak tests can ask "how many NvSipDialog are alive?".
//
// How it works. A class that wants counting derives from TaggedAllocation,
// which gives it class-level operator new and delete. Every block carries a
// small header in front of the object naming its tag's counter (or none), so
// whatever deletes the object - plain delete, NvObject::Release, an exception
// leaving the constructor - counts it back down without knowing the tag:
//     class NvSipDialog : public NvObject, public Tellar::TaggedAllocation, ...
//     NvHandle<NvSipDialog> h(Tellar::NoSizeMemAllocator::create<NvSipDialog>("NvSipDialog", ...));
//     ...                                   // the last Release() deletes it
//     Tellar::liveAllocations("NvSipDialog");   // 0 again
// Objects of such a class made with plain new are not counted (no tag) and
// are deleted the same way. Raw blocks: allocate(size, tag) / deallocate(p).
//
// Threads: allocation and release may happen on any thread. Tags live in a
// fixed table of 256 entries, filled lock-free on first use of each tag (a
// tag text is copied once and kept for the life of the process); counters are
// atomics. Past 256 distinct tags, further tags share the entry "(other)".
//
// Limits: the header assumes alignof(T) <= alignof(std::max_align_t);
// create() checks it. Arrays (new[]) are not counted.

#include <cstddef>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace Tellar {

namespace detail {
struct TagCounter;
// The counter of `tag` (created on first use). Never null: a null or empty tag
// gives the entry "(no tag)".
TagCounter* tagCounter(const char* tag) noexcept;
// Allocates `size` bytes plus the header; `counter` may be null (not counted).
void* taggedAllocate(std::size_t size, TagCounter* counter);
void taggedDeallocate(void* block) noexcept;
struct TagArgument {
    TagCounter* counter;
};
}  // namespace detail

// Mix-in base: objects of derived classes are counted under the tag they were
// created with (see create()). Adds no data and no virtual function.
class TaggedAllocation {
public:
    static void* operator new(std::size_t size) { return detail::taggedAllocate(size, nullptr); }
    static void* operator new(std::size_t size, detail::TagArgument tag) {
        return detail::taggedAllocate(size, tag.counter);
    }
    static void* operator new(std::size_t, void* where) noexcept { return where; }
    static void operator delete(void* block) noexcept { detail::taggedDeallocate(block); }
    // Called only when a constructor throws inside the matching new.
    static void operator delete(void* block, detail::TagArgument) noexcept { detail::taggedDeallocate(block); }
    static void operator delete(void*, void*) noexcept {}

protected:
    TaggedAllocation() = default;
    ~TaggedAllocation() = default;
};

// The allocators named by the stack's callers. They share one implementation
// and one table of tags.
class NoSizeMemAllocator {
public:
    // Constructs a T counted under `tag`. T must derive from TaggedAllocation;
    // the object is released by whatever normally deletes it.
    template <class T, class... Args>
    static T* create(const char* tag, Args&&... args) {
        static_assert(std::is_base_of<TaggedAllocation, T>::value,
                      "Tellar allocators count classes derived from Tellar::TaggedAllocation; use plain new otherwise");
        static_assert(alignof(T) <= alignof(std::max_align_t), "over-aligned types are not supported");
        return new (detail::TagArgument{detail::tagCounter(tag)}) T(std::forward<Args>(args)...);
    }

    // Raw memory counted under `tag`; give it back with deallocate(), which
    // needs neither size nor tag.
    static void* allocate(std::size_t size, const char* tag) {
        return detail::taggedAllocate(size, detail::tagCounter(tag));
    }
    static void deallocate(void* block) noexcept { detail::taggedDeallocate(block); }
};

using DefaultStaticMemAllocator = NoSizeMemAllocator;

// Objects (or raw blocks) of `tag` allocated and not yet released.
long liveAllocations(const char* tag) noexcept;
// Objects (or raw blocks) of `tag` allocated since the process started.
unsigned long totalAllocations(const char* tag) noexcept;

struct AllocationCount {
    std::string tag;
    long live;
    unsigned long total;
};
// Every tag seen so far with its counts, in no particular order.
std::vector<AllocationCount> allocationCounts();

}  // namespace Tellar
