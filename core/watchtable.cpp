#include "core/watchtable.h"

#include <cstring>

namespace tw {

namespace {

template <std::size_t N> void store(char (&field)[N], std::string_view text)
{
    const std::size_t n = text.size() < N ? text.size() : N - 1;
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, N - n);
}

template <std::size_t N> std::string load(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

} // namespace

std::string fitIdList(std::string_view ids, std::size_t capacity)
{
    if (ids.size() <= capacity) {
        return std::string(ids);
    }
    // The comma right after the last whole id that fits ends the kept list.
    const std::size_t comma = ids.rfind(',', capacity);
    return comma == std::string_view::npos ? std::string() : std::string(ids.substr(0, comma));
}

WatchTable::WatchTable() : m_slots(std::make_unique<WatchSlot[]>(kSlots)) {}

bool WatchTable::fits(const Watch& watch)
{
    return watch.url.size() <= kUrlMax && watch.sid.size() <= kSidMax;
}

int WatchTable::watchCount() const
{
    std::lock_guard lock(m_mutex);
    return m_watchCount;
}

void WatchTable::setWatchCount(int count)
{
    std::lock_guard lock(m_mutex);
    m_watchCount = count < 0 ? 0 : (count > kSlots ? kSlots : count);
}

void WatchTable::clear()
{
    std::lock_guard lock(m_mutex);
    std::memset(static_cast<void*>(m_slots.get()), 0, sizeof(WatchSlot) * kSlots);
    m_watchCount = 0;
}

int WatchTable::replaceAll(const std::vector<Watch>& watches)
{
    std::lock_guard lock(m_mutex);
    std::memset(static_cast<void*>(m_slots.get()), 0, sizeof(WatchSlot) * kSlots);
    int n = 0;
    for (const Watch& w : watches) {
        if (n == kSlots) {
            break;
        }
        if (!fits(w)) {
            continue;
        }
        store(m_slots[n].url, w.url);
        store(m_slots[n].sid, w.sid);
        ++n;
    }
    m_watchCount = n;
    return n;
}

bool WatchTable::setWatch(int i, const Watch& watch)
{
    if (!inRange(i) || !fits(watch)) {
        return false;
    }
    std::lock_guard lock(m_mutex);
    store(m_slots[i].sid, watch.sid);
    store(m_slots[i].url, watch.url);
    return true;
}

SlotCopy WatchTable::slot(int i) const
{
    if (!inRange(i)) {
        return {};
    }
    std::lock_guard lock(m_mutex);
    const WatchSlot& s = m_slots[i];
    return {load(s.url), load(s.sid), load(s.lastIds), load(s.newIds)};
}

template <std::size_t N> std::string WatchTable::field(int i, char (WatchSlot::*member)[N]) const
{
    if (!inRange(i)) {
        return {};
    }
    std::lock_guard lock(m_mutex);
    return load(m_slots[i].*member);
}

std::string WatchTable::url(int i) const
{
    return field(i, &WatchSlot::url);
}

std::string WatchTable::sid(int i) const
{
    return field(i, &WatchSlot::sid);
}

void WatchTable::setLastIds(int i, std::string_view ids)
{
    if (!inRange(i)) {
        return;
    }
    const std::string fitted = fitIdList(ids, kLastIdsMax);
    std::lock_guard lock(m_mutex);
    store(m_slots[i].lastIds, fitted);
}

void WatchTable::setNewIds(int i, std::string_view ids)
{
    if (!inRange(i)) {
        return;
    }
    const std::string fitted = fitIdList(ids, kNewIdsMax);
    std::lock_guard lock(m_mutex);
    store(m_slots[i].newIds, fitted);
}

bool WatchTable::appendNewIdsFor(int i, std::string_view url, std::string_view ids)
{
    if (!inRange(i)) {
        return false;
    }
    std::lock_guard lock(m_mutex);
    if (load(m_slots[i].url) != url) {
        return false;
    }
    if (ids.empty()) {
        return true;
    }
    std::string all = load(m_slots[i].newIds);
    if (!all.empty()) {
        all += ',';
    }
    all += ids;
    store(m_slots[i].newIds, fitIdList(all, kNewIdsMax));
    return true;
}

bool WatchTable::setLastIdsFor(int i, std::string_view url, std::string_view ids)
{
    if (!inRange(i)) {
        return false;
    }
    const std::string fitted = fitIdList(ids, kLastIdsMax);
    std::lock_guard lock(m_mutex);
    if (load(m_slots[i].url) != url) {
        return false;
    }
    store(m_slots[i].lastIds, fitted);
    return true;
}

std::string WatchTable::takeNewIds(int i)
{
    if (!inRange(i)) {
        return {};
    }
    std::lock_guard lock(m_mutex);
    std::string ids = load(m_slots[i].newIds);
    if (!ids.empty()) {
        m_slots[i].newIds[0] = '\0';
    }
    return ids;
}

} // namespace tw
