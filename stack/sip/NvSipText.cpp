#include "stack/sip/NvSipText.h"

#include "stack/sip/NvSipParseException.h"

#include <array>

const char* const NvSipParseException::sDebugToken = "NvSipParseException";

void NvSipParseException::sThrow(const NvString& message) {
    NvException::sThrow(new NvSipParseException(message));
}

namespace NvSipText {
namespace {

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace

bool isWord(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!isWordChar(c)) return false;
    return true;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

size_t quotedStringLength(std::string_view text) {
    for (size_t i = 1; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"') return i + 1;
        if (c == '\\') {
            if (++i >= text.size()) break;
            if (static_cast<unsigned char>(text[i]) > 0x7f) continue;
            if (text[i] == '\r' || text[i] == '\n')
                NvSipParseException::sThrow("Bad quoted string: escaped line break");
        } else if (c < 0x20 && c != '\t') {
            NvSipParseException::sThrow("Bad quoted string: control character inside quotes");
        }
    }
    NvSipParseException::sThrow(std::string("Unterminated quoted string: ") + std::string(text.substr(0, 40)));
}

size_t findUnquoted(std::string_view text, char c, size_t from) {
    int angle = 0;
    for (size_t i = from; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch == '"') {
            i += quotedStringLength(text.substr(i)) - 1;
        } else if (ch == '<') {
            ++angle;
        } else if (ch == '>') {
            if (angle > 0) --angle;
        } else if (ch == c && angle == 0) {
            return i;
        }
    }
    return std::string_view::npos;
}

uint32_t parseUInt32(std::string_view text, const char* what) {
    if (text.empty() || text.size() > 10)
        NvSipParseException::sThrow(std::string("Bad ") + what + ": '" + std::string(text.substr(0, 20)) + "' is not a 32-bit number");
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            NvSipParseException::sThrow(std::string("Bad ") + what + ": '" + std::string(text) + "' is not a number");
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > 0xffffffffull)
        NvSipParseException::sThrow(std::string("Bad ") + what + ": " + std::string(text) + " is larger than 2^32-1");
    return static_cast<uint32_t>(value);
}

bool isEscapedText(std::string_view text, bool (*allowed)(char)) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size() || !isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
            i += 2;
        } else if (!allowed(text[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace NvSipText
