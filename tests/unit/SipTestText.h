#pragma once
// Helpers for writing SIP text in tests.

#include <string>

// `text` with every "\n" turned into "\r\n", so that messages can be
// written in tests with plain line ends.
inline std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}
