#pragma once
// NvObject: the root of every reference-counted object of the stack and of the
// library built on it.
//
// Ownership: an object is owned by the handles (NvHandle) that point at it; the
// last Release() deletes it. An object that lives inside another (an embedded
// adapter, a stack object) overrides AddRef/Release to do nothing.
// Threads: the count is atomic, so handles may be copied and dropped from any
// thread; the other operations are as thread-safe as the subclass makes them.

#include <atomic>
#include <cstdint>

class NvOutputStream;

class NvObject {
public:
    NvObject() noexcept : m_RefCount(0) {}
    // A copy is a new object: it starts with no owners.
    NvObject(const NvObject&) noexcept : m_RefCount(0) {}
    NvObject& operator=(const NvObject&) noexcept { return *this; }
    virtual ~NvObject();

    // A new object equal to this one, owned by nobody yet. The default raises
    // NvException: classes that can be copied override it.
    virtual NvObject* clone() const;
    // Negative, zero or positive like strcmp. The default orders by identity.
    virtual int compareWith(const NvObject& other) const;
    virtual uint32_t hashCode() const;
    // Writes a short description. With `full` set the object may add detail.
    virtual void display(NvOutputStream& out, bool full) const;

    // Returns the new count.
    virtual long AddRef();
    // Drops one reference and returns the new count; at zero the object is
    // deleted when `destroy` is set.
    virtual long Release(bool destroy = true);

    long refCount() const noexcept { return m_RefCount.load(std::memory_order_relaxed); }

private:
    std::atomic<int32_t> m_RefCount;
};
