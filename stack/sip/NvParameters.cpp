#include "stack/sip/NvParameters.h"

#include "stack/base/NvException.h"
#include "stack/sip/NvSipParseException.h"
#include "stack/sip/NvSipText.h"

#include <algorithm>

using namespace NvSipText;

const NvParameters::Parameter* NvParameters::find(std::string_view name) const {
    for (const Parameter& p : m_List)
        if (equalsIgnoreCase(p.name, name)) return &p;
    return nullptr;
}

NvParameters::Parameter* NvParameters::find(std::string_view name) {
    for (Parameter& p : m_List)
        if (equalsIgnoreCase(p.name, name)) return &p;
    return nullptr;
}

NvString NvParameters::getValue(std::string_view name) const { return NvString(getValueView(name)); }

std::string_view NvParameters::getValueView(std::string_view name) const {
    const Parameter* p = find(name);
    return p ? std::string_view(p->value) : std::string_view();
}

void NvParameters::setValue(std::string_view name, std::string_view value) {
    bool plain = !value.empty();
    for (char c : value)
        if (!isTokenChar(c) && c != ':' && c != '[' && c != ']') plain = false;
    if (plain) {
        setValue(name, value, false);
        return;
    }
    // Kept the way a received quoted value is: with its quotes and
    // backslashes escaped.
    std::string escaped;
    escaped.reserve(value.size() + 4);
    for (char c : value) {
        if (c == '"' || c == '\\') escaped += '\\';
        escaped += c;
    }
    setValue(name, escaped, true);
}

void NvParameters::setValue(std::string_view name, std::string_view value, bool quoted) {
    for (char c : value)
        if (!isLineTextChar(c))
            NvException::sThrow("Parameter '" + std::string(name) +
                                "' cannot be written: its value has a control character");
    Parameter* p = find(name);
    if (!p) {
        m_List.push_back(Parameter{std::string(name), {}, false, false});
        p = &m_List.back();
    }
    p->value.assign(value);
    p->hasValue = true;
    p->quoted = quoted;
}

void NvParameters::setFlag(std::string_view name) {
    Parameter* p = find(name);
    if (!p) {
        m_List.push_back(Parameter{std::string(name), {}, false, false});
        return;
    }
    p->value.clear();
    p->hasValue = false;
    p->quoted = false;
}

bool NvParameters::remove(std::string_view name) {
    for (auto it = m_List.begin(); it != m_List.end(); ++it) {
        if (equalsIgnoreCase(it->name, name)) {
            m_List.erase(it);
            return true;
        }
    }
    return false;
}

namespace {
[[noreturn]] void bad(const char* context, const std::string& why, std::string_view text) {
    NvSipParseException::sThrow(std::string("Bad ") + context + ": " + why + " in '" +
                                std::string(text.substr(0, 80)) + "'");
}
size_t skipLws(std::string_view text, size_t i) {
    while (i < text.size() && isLws(text[i])) ++i;
    return i;
}
}  // namespace

void NvParameters::parse(std::string_view text, bool (*isNameChar)(char), bool (*isValueChar)(char),
                         bool allowQuoted, const char* context) {
    m_List.reserve(m_List.size() + static_cast<size_t>(std::count(text.begin(), text.end(), ';')));  // at most
    size_t i = skipLws(text, 0);
    while (i < text.size()) {
        if (text[i] != ';') bad(context, "expected ';' before a parameter", text);
        i = skipLws(text, i + 1);
        const size_t nameStart = i;
        while (i < text.size() && isNameChar(text[i])) ++i;
        if (i == nameStart) bad(context, "empty parameter name", text);
        Parameter p;
        p.name.assign(text.substr(nameStart, i - nameStart));
        i = skipLws(text, i);
        if (i < text.size() && text[i] == '=') {
            i = skipLws(text, i + 1);
            p.hasValue = true;
            if (i < text.size() && text[i] == '"') {
                if (!allowQuoted) bad(context, "quoted value not allowed", text);
                const size_t length = quotedStringLength(text.substr(i));
                p.value.assign(text.substr(i + 1, length - 2));
                p.quoted = true;
                i += length;
            } else {
                const size_t valueStart = i;
                while (i < text.size() && isValueChar(text[i])) ++i;
                if (i == valueStart) bad(context, "parameter '" + p.name + "' has an empty value", text);
                p.value.assign(text.substr(valueStart, i - valueStart));
            }
            i = skipLws(text, i);
        }
        m_List.push_back(std::move(p));
    }
}

void NvParameters::appendTo(std::string& out) const {
    for (const Parameter& p : m_List) {
        out += ';';
        out += p.name;
        if (!p.hasValue) continue;
        out += '=';
        if (p.quoted) out += '"';
        out += p.value;
        if (p.quoted) out += '"';
    }
}
