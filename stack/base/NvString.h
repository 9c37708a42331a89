#pragma once
// NvString: an immutable-by-interface text value. Cheap to copy for short
// texts (small-string optimised), safe to pass between threads by value.
// NvStringBuffer: a growing text under construction.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

class NvInputStream;
class NvOutputStream;

class NvString {
public:
    NvString() = default;
    NvString(const char* text) : m_Text(text ? text : "") {}
    NvString(const char* text, size_t length) : m_Text(text ? std::string(text, length) : std::string()) {}
    NvString(std::string text) : m_Text(std::move(text)) {}
    NvString(std::string_view text) : m_Text(text) {}

    const char* c_str() const noexcept { return m_Text.c_str(); }
    size_t length() const noexcept { return m_Text.size(); }
    bool isEmpty() const noexcept { return m_Text.empty(); }
    const std::string& str() const noexcept { return m_Text; }
    std::string_view view() const noexcept { return m_Text; }
    char operator[](size_t i) const { return m_Text[i]; }

    bool equals(std::string_view other) const noexcept { return m_Text == other; }
    bool equalsIgnoreCase(std::string_view other) const noexcept;
    int compare(const NvString& other) const noexcept { return m_Text.compare(other.m_Text); }
    uint32_t hashCode() const noexcept;
    NvString toLower() const;

    friend bool operator==(const NvString& a, const NvString& b) noexcept { return a.m_Text == b.m_Text; }
    friend bool operator!=(const NvString& a, const NvString& b) noexcept { return a.m_Text != b.m_Text; }
    friend bool operator<(const NvString& a, const NvString& b) noexcept { return a.m_Text < b.m_Text; }
    friend bool operator==(const NvString& a, const char* b) noexcept { return a.m_Text == (b ? b : ""); }
    friend bool operator!=(const NvString& a, const char* b) noexcept { return !(a == b); }

private:
    std::string m_Text;
};

// Writes the characters only: no length, no terminator.
NvOutputStream& operator<<(NvOutputStream& out, const NvString& text);

namespace std {
template <>
struct hash<NvString> {
    size_t operator()(const NvString& s) const noexcept { return std::hash<std::string>()(s.str()); }
};
}  // namespace std

class NvStringBuffer {
public:
    explicit NvStringBuffer(size_t capacity = 64) { m_Text.reserve(capacity); }

    NvStringBuffer& append(const char* text) {
        if (text) m_Text.append(text);
        return *this;
    }
    NvStringBuffer& append(std::string_view text) {
        m_Text.append(text);
        return *this;
    }
    NvStringBuffer& append(const NvString& text) {
        m_Text.append(text.str());
        return *this;
    }
    NvStringBuffer& append(char c) {
        m_Text.push_back(c);
        return *this;
    }
    template <class I, typename std::enable_if<std::is_integral<I>::value && !std::is_same<I, char>::value &&
                                                   !std::is_same<I, bool>::value,
                                               int>::type = 0>
    NvStringBuffer& append(I value) {
        m_Text.append(std::to_string(value));
        return *this;
    }

    // Appends the bytes of `in` up to the first byte that is in `delimiters`,
    // or to the end of the stream. The delimiter is left in the stream.
    // Returns the number of bytes appended.
    size_t parse(NvInputStream& in, std::string_view delimiters);

    NvString toString() const { return NvString(m_Text); }
    const char* c_str() const noexcept { return m_Text.c_str(); }
    size_t length() const noexcept { return m_Text.size(); }
    void clear() noexcept { m_Text.clear(); }

private:
    std::string m_Text;
};
