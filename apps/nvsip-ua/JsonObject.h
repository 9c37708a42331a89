#pragma once
// JsonObject: writes one JSON object (RFC 8259), members in the order they
// are added; for nvsip-ua's summary, so a few value kinds suffice. Keys and
// strings are escaped: quote, backslash and the control characters; other
// bytes pass as they are (UTF-8 in, UTF-8 out). A number that is not finite
// becomes null, JSON having no such numbers. Used by one thread at a time.

#include <string>

class JsonObject {
public:
    JsonObject& add(const std::string& key, long value);
    // Written with two decimals: milliseconds, for nvsip-ua.
    JsonObject& add(const std::string& key, double value);
    JsonObject& add(const std::string& key, const std::string& value);
    JsonObject& add(const std::string& key, const JsonObject& value);
    JsonObject& addNull(const std::string& key);
    // "{...}", on one line.
    std::string str() const { return "{" + m_Members + "}"; }

private:
    // Appends "key": value (`value` written as JSON already), after a comma but for the first.
    JsonObject& member(const std::string& key, const std::string& value);

    std::string m_Members;
};

// `text` as a JSON string, quotes included.
std::string jsonString(const std::string& text);
