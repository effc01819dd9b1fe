#include "engine/watchhealthbook.h"

namespace tw {

WatchHealth WatchHealthBook::get(int slot) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_records.find(slot);
    return it == m_records.end() ? WatchHealth{} : it->second;
}

void WatchHealthBook::update(int slot, const std::string& url,
                             const std::function<void(WatchHealth&)>& change)
{
    std::lock_guard lock(m_mutex);
    WatchHealth& record = m_records[slot];
    if (record.url != url) {
        record = WatchHealth{};
        record.url = url;
    }
    change(record);
}

bool WatchHealthBook::isPaused(int slot, const std::string& url, WallTime now) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_records.find(slot);
    return it != m_records.end() && it->second.url == url && it->second.isPaused(now);
}

bool WatchHealthBook::takeBlockedNotice(int slot)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_records.find(slot);
    if (it == m_records.end() || !it->second.blockedNoticeDue) {
        return false;
    }
    it->second.blockedNoticeDue = false;
    return true;
}

} // namespace tw
