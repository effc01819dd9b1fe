#include "engine/watchhealthbook.h"

#include <algorithm>

namespace tw {

WatchHealth WatchHealthBook::get(const std::string& url) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_records.find(url);
    return it == m_records.end() ? WatchHealth{} : it->second;
}

void WatchHealthBook::update(const std::string& url,
                             const std::function<void(WatchHealth&)>& change)
{
    std::lock_guard lock(m_mutex);
    WatchHealth& record = m_records[url];
    record.url = url;
    change(record);
}

bool WatchHealthBook::isPaused(const std::string& url, SteadyTime now) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_records.find(url);
    return it != m_records.end() && it->second.isPaused(now);
}

bool WatchHealthBook::takeBlockedNotice(const std::string& url)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_records.find(url);
    if (it == m_records.end() || !it->second.blockedNoticeDue) {
        return false;
    }
    it->second.blockedNoticeDue = false;
    return true;
}

void WatchHealthBook::keepOnly(std::vector<std::string> urls)
{
    std::sort(urls.begin(), urls.end());
    std::lock_guard lock(m_mutex);
    std::erase_if(m_records, [&](const auto& record) {
        return !std::binary_search(urls.begin(), urls.end(), record.first);
    });
}

} // namespace tw
