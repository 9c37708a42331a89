#include "stack/base/NvKeyTable.h"

NvHandle<NvObject> NvKeyTable::put(const NvString& key, const NvHandle<NvObject>& value) {
    NvHandle<NvObject>& slot = m_Table[key];
    NvHandle<NvObject> previous = std::move(slot);
    slot = value;
    return previous;
}

NvHandle<NvObject> NvKeyTable::get(const NvString& key) const {
    const auto found = m_Table.find(key);
    return found == m_Table.end() ? NvHandle<NvObject>() : found->second;
}

NvHandle<NvObject> NvKeyTable::remove(const NvString& key) {
    const auto found = m_Table.find(key);
    if (found == m_Table.end()) return NvHandle<NvObject>();
    NvHandle<NvObject> value = std::move(found->second);
    m_Table.erase(found);
    return value;
}

std::vector<NvHandle<NvObject>> NvKeyTable::elements() const {
    std::vector<NvHandle<NvObject>> values;
    values.reserve(m_Table.size());
    for (const auto& entry : m_Table) values.push_back(entry.second);
    return values;
}

std::vector<NvString> NvKeyTable::keys() const {
    std::vector<NvString> names;
    names.reserve(m_Table.size());
    for (const auto& entry : m_Table) names.push_back(entry.first);
    return names;
}
