#include "stack/transaction/NvSipFinishedTransactions.h"

#include "stack/sip/NvSipMessage.h"
#include "stack/timer/NvTime.h"

void NvSipFinishedTransactions::remember(std::string_view key, uint32_t durationMs, const NvSipMessage* response,
                                         uint16_t port, const NvInetAddress& address) {
    const double now = NvTime::sGetCurrentTime();
    forgetEnded(now);
    if (!m_Order.empty() && m_Order.size() >= m_MaxEntries) forgetOldest();  // before its time
    std::string bytes;
    bytes.reserve(key.size() + (response ? 512 : 0));
    bytes.append(key);
    if (response) response->serialize(bytes);
    bytes.shrink_to_fit();
    m_Order.push_back(
        Entry{now + durationMs * 1000.0, std::move(bytes), static_cast<uint32_t>(key.size()), port, address});
    const Entry& entry = m_Order.back();
    m_ByKey.insert_or_assign(entry.key(), &entry);
}

bool NvSipFinishedTransactions::find(std::string_view key, Answer& answer) {
    forgetEnded(NvTime::sGetCurrentTime());
    const auto found = m_ByKey.find(key);
    if (found == m_ByKey.end()) return false;
    const Entry& entry = *found->second;
    answer.response = std::string_view(entry.bytes).substr(entry.keyLength);
    answer.port = entry.port;
    answer.address = entry.address;
    return true;
}

void NvSipFinishedTransactions::forgetEnded(double now) {
    while (!m_Order.empty() && m_Order.front().until <= now) forgetOldest();
}

void NvSipFinishedTransactions::forgetOldest() {
    const auto found = m_ByKey.find(m_Order.front().key());
    // A key remembered again points at its newer entry, which stays.
    if (found != m_ByKey.end() && found->second == &m_Order.front()) m_ByKey.erase(found);
    m_Order.pop_front();
}

void NvSipFinishedTransactions::clear() {
    m_ByKey.clear();
    m_Order.clear();
}
