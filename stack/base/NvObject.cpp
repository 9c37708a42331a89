#include "stack/base/NvObject.h"

#include "stack/base/NvException.h"
#include "stack/base/NvStream.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <typeinfo>

NvObject::~NvObject() = default;

NvObject* NvObject::clone() const {
    NvException::sThrow("NvObject::clone: this class cannot be copied");
}

int NvObject::compareWith(const NvObject& other) const {
    std::less<const NvObject*> before;
    if (before(this, &other)) return -1;
    return before(&other, this) ? 1 : 0;
}

uint32_t NvObject::hashCode() const {
    const auto address = reinterpret_cast<uintptr_t>(this);
    return static_cast<uint32_t>(address ^ (static_cast<uint64_t>(address) >> 32));
}

void NvObject::display(NvOutputStream& out, bool full) const {
    const char* mangled = typeid(*this).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    out << (status == 0 && name ? name.get() : mangled);
    if (full) {
        char address[32];
        std::snprintf(address, sizeof address, "@%p", static_cast<const void*>(this));
        out << address << " refs=" << refCount();
    }
}

long NvObject::AddRef() {
    return m_RefCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

long NvObject::Release(bool destroy) {
    const long count = m_RefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count == 0 && destroy) delete this;
    return count;
}
