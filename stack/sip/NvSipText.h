#pragma once
// Character classes and scanning helpers for SIP text (the grammar's
// token, word, quoted-string and escaping rules). Stateless functions over
// std::string_view; used by the parser and the header classes only.

#include <cstdint>
#include <string>
#include <string_view>

namespace NvSipText {

// Character class bits, one table lookup per character.
enum : uint8_t { kToken = 1, kWord = 2, kLineText = 4 };

struct CharTable {
    uint8_t bits[256];
    constexpr CharTable() : bits() {
        for (int c = 0; c < 256; ++c) {
            const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            bool token = alnum;
            for (const char* p = "-.!%*_+`'~"; *p; ++p) token = token || c == *p;
            bool word = token;
            for (const char* p = "()<>:\\\"/[]?{}"; *p; ++p) word = word || c == *p;
            const bool lineText = c == '\t' || (c >= 0x20 && c != 0x7f);
            bits[c] = static_cast<uint8_t>((token ? kToken : 0) | (word ? kWord : 0) | (lineText ? kLineText : 0));
        }
    }
};
inline constexpr CharTable kCharTable{};

inline bool isTokenChar(char c) { return kCharTable.bits[static_cast<unsigned char>(c)] & kToken; }
// Token characters plus the extra ones a Call-ID may use.
inline bool isWordChar(char c) { return kCharTable.bits[static_cast<unsigned char>(c)] & kWord; }
// Allowed in a header line: anything but control characters (HT excepted).
inline bool isLineTextChar(char c) { return kCharTable.bits[static_cast<unsigned char>(c)] & kLineText; }
// Space or horizontal tab.
inline bool isLws(char c) { return c == ' ' || c == '\t'; }

inline bool isToken(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!isTokenChar(c)) return false;
    return true;
}
bool isWord(std::string_view text);

inline std::string_view trim(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && (isLws(text[begin]) || text[begin] == '\r' || text[begin] == '\n')) ++begin;
    while (end > begin && (isLws(text[end - 1]) || text[end - 1] == '\r' || text[end - 1] == '\n')) --end;
    return text.substr(begin, end - begin);
}
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool startsWithIgnoreCase(std::string_view text, std::string_view prefix);

// Position of the first `c` in `text` that is outside quoted strings and
// angle brackets, or npos. Raises NvSipParseException on an unterminated
// quoted string.
size_t findUnquoted(std::string_view text, char c, size_t from = 0);

// Length of the quoted string at the start of `text` (which must begin with
// a double quote), quotes included. Raises on an unterminated string or a
// control character inside it.
size_t quotedStringLength(std::string_view text);

// Parses unsigned decimal digits into a 32-bit value; raises (naming `what`)
// on anything but 1 to 10 digits that fit.
uint32_t parseUInt32(std::string_view text, const char* what);

// Checks %HH escapes and that every other byte satisfies `allowed`.
bool isEscapedText(std::string_view text, bool (*allowed)(char));

}  // namespace NvSipText
