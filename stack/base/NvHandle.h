#pragma once
// NvHandle<T>: counted handle over an NvObject. A handle may be nil. Copying a
// handle adds a reference; dropping it releases one.
//
// Handles convert between related types: up the hierarchy implicitly, down or
// across by dynamic cast (a failed cast gives a nil handle). A handle itself is
// not synchronised: share the object, not one handle variable, between threads.

#include "stack/base/NvObject.h"

#include <cstddef>
#include <type_traits>
#include <utility>

class NvHandleBase {
public:
    bool isNil() const noexcept { return m_pObject == nullptr; }
    explicit operator bool() const noexcept { return m_pObject != nullptr; }
    NvObject* object() const noexcept { return m_pObject; }

protected:
    NvHandleBase() noexcept = default;
    NvObject* m_pObject = nullptr;
};

template <class T>
class NvHandle : public NvHandleBase {
public:
    NvHandle() noexcept = default;
    NvHandle(std::nullptr_t) noexcept {}
    NvHandle(T* p) { reset(p); }
    NvHandle(const NvHandle& other) { reset(other.m_pTyped); }
    NvHandle(NvHandle&& other) noexcept { steal(other); }

    // Up-cast: implicit.
    template <class U, typename std::enable_if<std::is_convertible<U*, T*>::value, int>::type = 0>
    NvHandle(const NvHandle<U>& other) { reset(other.get()); }
    // Down- or cross-cast: explicit, nil when the object is not a T.
    template <class U, typename std::enable_if<!std::is_convertible<U*, T*>::value, int>::type = 0>
    explicit NvHandle(const NvHandle<U>& other) { reset(dynamic_cast<T*>(other.get())); }

    ~NvHandle() {
        static_assert(std::is_base_of<NvObject, T>::value, "NvHandle holds NvObjects only");
        release();
    }

    NvHandle& operator=(const NvHandle& other) {
        if (this != &other) {
            T* p = other.m_pTyped;
            if (p) p->AddRef();
            release();
            assign(p);
        }
        return *this;
    }
    NvHandle& operator=(NvHandle&& other) noexcept {
        if (this != &other) {
            // Take the new object before releasing the old one: `other` may
            // live inside the object this handle is about to release.
            T* p = other.m_pTyped;
            other.assign(nullptr);
            T* old = m_pTyped;
            assign(p);
            if (old) old->Release();
        }
        return *this;
    }
    NvHandle& operator=(T* p) { return *this = NvHandle(p); }
    NvHandle& operator=(std::nullptr_t) {
        release();
        return *this;
    }

    T* get() const noexcept { return m_pTyped; }
    T* operator->() const noexcept { return m_pTyped; }
    T& operator*() const noexcept { return *m_pTyped; }

    // Handle of another type over the same object, nil when it is not one.
    template <class U>
    NvHandle<U> cast() const { return NvHandle<U>(dynamic_cast<U*>(m_pTyped)); }

    friend bool operator==(const NvHandle& a, const NvHandle& b) noexcept { return a.m_pTyped == b.m_pTyped; }
    friend bool operator!=(const NvHandle& a, const NvHandle& b) noexcept { return a.m_pTyped != b.m_pTyped; }

private:
    void assign(T* p) noexcept {
        m_pTyped = p;
        m_pObject = p;
    }
    void reset(T* p) {
        if (p) p->AddRef();
        assign(p);
    }
    void steal(NvHandle& other) noexcept {
        assign(other.m_pTyped);
        other.assign(nullptr);
    }
    void release() {
        T* p = m_pTyped;
        assign(nullptr);
        if (p) p->Release();
    }

    T* m_pTyped = nullptr;
};

// Allocates a T and returns the first handle on it.
template <class T, class... Args>
NvHandle<T> NvMake(Args&&... args) {
    return NvHandle<T>(new T(std::forward<Args>(args)...));
}
