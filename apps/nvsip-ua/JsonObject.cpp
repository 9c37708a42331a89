#include "apps/nvsip-ua/JsonObject.h"

#include <cmath>
#include <cstdio>

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
            case '"': quoted += "\\\""; break;
            case '\\': quoted += "\\\\"; break;
            case '\n': quoted += "\\n"; break;
            case '\r': quoted += "\\r"; break;
            case '\t': quoted += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                    quoted += escaped;
                } else
                    quoted += c;
        }
    }
    return quoted + "\"";
}

JsonObject& JsonObject::member(const std::string& key, const std::string& value) {
    if (!m_Members.empty()) m_Members += ", ";
    m_Members += jsonString(key) + ": " + value;
    return *this;
}

JsonObject& JsonObject::add(const std::string& key, long value) { return member(key, std::to_string(value)); }

JsonObject& JsonObject::add(const std::string& key, double value) {
    if (!std::isfinite(value)) return addNull(key);
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return member(key, text);
}

JsonObject& JsonObject::add(const std::string& key, const std::string& value) { return member(key, jsonString(value)); }

JsonObject& JsonObject::add(const std::string& key, const JsonObject& value) { return member(key, value.str()); }

JsonObject& JsonObject::addNull(const std::string& key) { return member(key, "null"); }
