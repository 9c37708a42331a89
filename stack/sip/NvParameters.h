#pragma once
// NvParameters: an ordered list of ";name=value" parameters, as carried by
// URIs and by header values. Names compare case-insensitively; values are
// kept as written (a quoted value keeps its escapes, without the quotes), so
// that what was parsed is written back unchanged. Not synchronised.

#include "stack/base/NvString.h"

#include <string>
#include <string_view>
#include <vector>

class NvOutputStream;

class NvParameters {
public:
    struct Parameter {
        std::string name;
        std::string value;
        bool hasValue = false;
        bool quoted = false;
    };

    bool isPresent(std::string_view name) const { return find(name) != nullptr; }
    // The value, or an empty string when absent or valueless.
    NvString getValue(std::string_view name) const;
    // The same without a copy: valid until the parameters change.
    std::string_view getValueView(std::string_view name) const;
    // Sets or adds a parameter; a value that is not a token is written quoted,
    // its quotes and backslashes escaped (getValue() then gives the escaped
    // form, as it does for a received value).
    void setValue(std::string_view name, std::string_view value);
    // Sets or adds a parameter, written quoted or not as the caller says; a
    // quoted `value` must already be escaped. Both raise NvException on a
    // control character, which no parameter can carry.
    void setValue(std::string_view name, std::string_view value, bool quoted);
    // Sets or adds a parameter that has no value (";lr").
    void setFlag(std::string_view name);
    bool remove(std::string_view name);
    void clear() { m_List.clear(); }
    bool isEmpty() const { return m_List.empty(); }
    const std::vector<Parameter>& list() const { return m_List; }

    // Parses ";a=b;c" (leading ';' required for each; whitespace around ';'
    // and '=' is allowed in header parameters). `isValueChar` checks unquoted
    // values; quoted values are accepted when `allowQuoted` is set.
    void parse(std::string_view text, bool (*isNameChar)(char), bool (*isValueChar)(char), bool allowQuoted,
               const char* context);

    void appendTo(std::string& out) const;

private:
    const Parameter* find(std::string_view name) const;
    Parameter* find(std::string_view name);
    std::vector<Parameter> m_List;
};
