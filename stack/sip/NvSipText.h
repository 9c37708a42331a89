#pragma once
// Character classes and scanning helpers for SIP text (the grammar's
// token, word, quoted-string and escaping rules). Stateless functions over
// std::string_view; used by the parser and the header classes only.

#include <cstdint>
#include <string>
#include <string_view>

namespace NvSipText {

bool isTokenChar(char c);
bool isWordChar(char c);   // token characters plus the extra ones a Call-ID may use
bool isLws(char c);        // space or horizontal tab
bool isToken(std::string_view text);
bool isWord(std::string_view text);

std::string_view trim(std::string_view text);
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
