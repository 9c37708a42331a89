#pragma once
// NvKeyTable: a hash table from NvString keys to counted object handles. The
// table holds one reference to each value it lists. Not synchronised: the
// owner guards it.

#include "stack/base/NvHandle.h"
#include "stack/base/NvString.h"

#include <unordered_map>
#include <vector>

class NvKeyTable {
public:
    // Lists `value` under `key`; returns what was listed there before (nil if nothing).
    NvHandle<NvObject> put(const NvString& key, const NvHandle<NvObject>& value);
    NvHandle<NvObject> get(const NvString& key) const;
    // Removes the entry; returns its value (nil if there was none).
    NvHandle<NvObject> remove(const NvString& key);
    bool containsKey(const NvString& key) const { return m_Table.count(key) != 0; }
    void clear() { m_Table.clear(); }
    size_t size() const noexcept { return m_Table.size(); }
    bool isEmpty() const noexcept { return m_Table.empty(); }
    // The values, in the table's iteration order (a value listed under two keys appears twice).
    std::vector<NvHandle<NvObject>> elements() const;
    std::vector<NvString> keys() const;

private:
    std::unordered_map<NvString, NvHandle<NvObject>> m_Table;
};
