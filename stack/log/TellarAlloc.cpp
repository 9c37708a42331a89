#include "stack/log/TellarAlloc.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace Tellar {

namespace detail {

struct TagCounter {
    std::atomic<const char*> tag{nullptr};  // set once; the text is never freed
    std::atomic<long> live{0};
    std::atomic<unsigned long> total{0};
};

}  // namespace detail

namespace {

using detail::TagCounter;

constexpr std::size_t kTableSize = 256;  // a power of two
const char* const kNoTag = "(no tag)";
const char* const kOverflowTag = "(other)";

// Constant-initialised: usable from any static constructor or destructor.
TagCounter s_Table[kTableSize];
TagCounter s_Overflow;

// The block header sits in front of the object, padded so that the object
// keeps the alignment of operator new.
struct alignas(std::max_align_t) BlockHeader {
    TagCounter* counter;
};
constexpr std::size_t kHeaderSize = sizeof(BlockHeader);

std::size_t hashOf(const char* text) noexcept {
    std::size_t h = 2166136261u;  // FNV-1a
    for (; *text; ++text) h = (h ^ static_cast<unsigned char>(*text)) * 16777619u;
    return h;
}

// The entry for `tag`, or null when it is not in the table. With `create`,
// claims a free entry for it (the table never shrinks, so a probe that meets
// a free entry knows the tag is absent).
TagCounter* lookUp(const char* tag, bool create) noexcept {
    const std::size_t start = hashOf(tag);
    char* copy = nullptr;
    for (std::size_t i = 0; i < kTableSize; ++i) {
        TagCounter& entry = s_Table[(start + i) & (kTableSize - 1)];
        const char* existing = entry.tag.load(std::memory_order_acquire);
        if (!existing) {
            if (!create) return nullptr;
            if (!copy) {
                copy = static_cast<char*>(std::malloc(std::strlen(tag) + 1));
                if (!copy) return &s_Overflow;
                std::strcpy(copy, tag);
            }
            if (entry.tag.compare_exchange_strong(existing, copy, std::memory_order_acq_rel)) return &entry;
            // Another thread took this entry meanwhile: `existing` is its tag.
        }
        if (existing == tag || std::strcmp(existing, tag) == 0) {
            std::free(copy);
            return &entry;
        }
    }
    std::free(copy);
    return create ? &s_Overflow : nullptr;
}

const TagCounter* find(const char* tag) noexcept {
    if (!tag || !*tag) tag = kNoTag;
    if (std::strcmp(tag, kOverflowTag) == 0) return &s_Overflow;
    return lookUp(tag, false);
}

}  // namespace

namespace detail {

TagCounter* tagCounter(const char* tag) noexcept {
    return lookUp(tag && *tag ? tag : kNoTag, true);
}

void* taggedAllocate(std::size_t size, TagCounter* counter) {
    void* raw = ::operator new(size + kHeaderSize);
    static_cast<BlockHeader*>(raw)->counter = counter;
    if (counter) {
        counter->live.fetch_add(1, std::memory_order_relaxed);
        counter->total.fetch_add(1, std::memory_order_relaxed);
    }
    return static_cast<char*>(raw) + kHeaderSize;
}

void taggedDeallocate(void* block) noexcept {
    if (!block) return;
    void* raw = static_cast<char*>(block) - kHeaderSize;
    TagCounter* counter = static_cast<BlockHeader*>(raw)->counter;
    if (counter) counter->live.fetch_sub(1, std::memory_order_relaxed);
    ::operator delete(raw);
}

}  // namespace detail

long liveAllocations(const char* tag) noexcept {
    const TagCounter* counter = find(tag);
    return counter ? counter->live.load(std::memory_order_relaxed) : 0;
}

unsigned long totalAllocations(const char* tag) noexcept {
    const TagCounter* counter = find(tag);
    return counter ? counter->total.load(std::memory_order_relaxed) : 0;
}

std::vector<AllocationCount> allocationCounts() {
    std::vector<AllocationCount> counts;
    for (const TagCounter& entry : s_Table) {
        const char* tag = entry.tag.load(std::memory_order_acquire);
        if (tag) counts.push_back({tag, entry.live.load(std::memory_order_relaxed), entry.total.load(std::memory_order_relaxed)});
    }
    if (s_Overflow.total.load(std::memory_order_relaxed) != 0) {
        counts.push_back({kOverflowTag, s_Overflow.live.load(std::memory_order_relaxed),
                          s_Overflow.total.load(std::memory_order_relaxed)});
    }
    return counts;
}

}  // namespace Tellar
