#include "stack/base/NvString.h"

#include "stack/base/NvStream.h"

#include <cctype>

namespace {
char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
}  // namespace

bool NvString::equalsIgnoreCase(std::string_view other) const noexcept {
    if (other.size() != m_Text.size()) return false;
    for (size_t i = 0; i < other.size(); ++i)
        if (lower(other[i]) != lower(m_Text[i])) return false;
    return true;
}

uint32_t NvString::hashCode() const noexcept {
    // FNV-1a: stable across runs and platforms, unlike std::hash.
    uint32_t hash = 2166136261u;
    for (unsigned char c : m_Text) hash = (hash ^ c) * 16777619u;
    return hash;
}

NvString NvString::toLower() const {
    std::string lowered(m_Text);
    for (char& c : lowered) c = lower(c);
    return NvString(std::move(lowered));
}

NvOutputStream& operator<<(NvOutputStream& out, const NvString& text) {
    out.write(text.c_str(), text.length());
    return out;
}

size_t NvStringBuffer::parse(NvInputStream& in, std::string_view delimiters) {
    size_t count = 0;
    for (int c = in.peek(); c >= 0 && delimiters.find(static_cast<char>(c)) == std::string_view::npos; c = in.peek()) {
        m_Text.push_back(static_cast<char>(in.read()));
        ++count;
    }
    return count;
}
