#include "core/watchtable.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

namespace tw {

namespace {

// Every byte after a field's string is zero. Only the bytes of the old
// string past the new one need zeroing, so a field's pages that never held
// text are never touched.
template <std::size_t N> void store(char (&field)[N], std::string_view text)
{
    const std::size_t n = text.size() < N ? text.size() : N - 1;
    const std::size_t old = strnlen(field, N);
    if (n > 0) {
        std::memcpy(field, text.data(), n);
    }
    if (old > n) {
        std::memset(field + n, 0, old - n);
    }
}

template <std::size_t N> std::string_view view(const char (&field)[N])
{
    return std::string_view(field, strnlen(field, N));
}

template <std::size_t N> std::string load(const char (&field)[N])
{
    return std::string(view(field));
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

void WatchTable::FreeSlots::operator()(WatchSlot* slots) const
{
    std::free(slots);
}

// calloc takes a block this size fresh from the system, already zero, so its
// pages cost nothing until a slot is written.
WatchTable::WatchTable() : m_slots(static_cast<WatchSlot*>(std::calloc(kSlots, sizeof(WatchSlot))))
{
    if (!m_slots) {
        throw std::bad_alloc();
    }
}

void WatchTable::touch(int i)
{
    if (i >= m_touched) {
        m_touched = i + 1;
    }
}

void WatchTable::zeroTouched()
{
    std::memset(static_cast<void*>(m_slots.get()), 0,
                sizeof(WatchSlot) * static_cast<std::size_t>(m_touched));
    m_touched = 0;
}

bool WatchTable::fits(const Watch& watch)
{
    // A zero byte would end the field early: the slot would poll another
    // address than the line names, under a key taken from the whole line.
    return watch.url.size() <= kUrlMax && watch.sid.size() <= kSidMax &&
           watch.url.find('\0') == std::string::npos;
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
    zeroTouched();
    m_watchCount = 0;
}

int WatchTable::replaceAll(const std::vector<Watch>& watches)
{
    struct Carried
    {
        std::string lastIds;
        std::string newIds;
    };
    std::lock_guard lock(m_mutex);
    std::unordered_map<std::string, Carried> carried;
    for (int i = 0; i < m_watchCount; ++i) {
        const WatchSlot& s = m_slots[i];
        auto [it, first] = carried.try_emplace(load(s.url));
        if (first) {
            it->second.lastIds = load(s.lastIds);
        }
        // A url listed twice has one report: only one slot stores an item.
        const std::string pending = load(s.newIds);
        if (!pending.empty()) {
            std::string& all = it->second.newIds;
            all += all.empty() ? pending : "," + pending;
        }
    }

    zeroTouched();
    int n = 0;
    for (const Watch& w : watches) {
        if (n == kSlots) {
            break;
        }
        if (!fits(w)) {
            continue;
        }
        touch(n);
        WatchSlot& s = m_slots[n];
        store(s.url, w.url);
        store(s.sid, w.sid);
        // Only the first slot of a url takes its past, or a report would
        // alert twice.
        if (const auto it = carried.find(w.url); it != carried.end()) {
            store(s.lastIds, it->second.lastIds);
            store(s.newIds, fitIdList(it->second.newIds, kNewIdsMax));
            carried.erase(it);
        }
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
    touch(i);
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
    touch(i);
    store(m_slots[i].lastIds, fitted);
}

void WatchTable::setNewIds(int i, std::string_view ids)
{
    if (!inRange(i)) {
        return;
    }
    const std::string fitted = fitIdList(ids, kNewIdsMax);
    std::lock_guard lock(m_mutex);
    touch(i);
    store(m_slots[i].newIds, fitted);
}

int WatchTable::slotHolding(int i, std::string_view url) const
{
    if (inRange(i) && view(m_slots[i].url) == url) {
        return i;
    }
    for (int k = 0; k < m_watchCount; ++k) {
        if (view(m_slots[k].url) == url) {
            return k;
        }
    }
    return -1;
}

int WatchTable::slotOf(int i, std::string_view url) const
{
    std::lock_guard lock(m_mutex);
    return slotHolding(i, url);
}

int WatchTable::setLastIdsFor(int i, std::string_view url, std::string_view ids)
{
    const std::string fitted = fitIdList(ids, kLastIdsMax);
    std::lock_guard lock(m_mutex);
    const int at = slotHolding(i, url);
    if (at >= 0) {
        touch(at);
        store(m_slots[at].lastIds, fitted);
    }
    return at;
}

WatchSlot WatchTable::rawSlot(int i) const
{
    WatchSlot copy{};
    if (inRange(i)) {
        std::lock_guard lock(m_mutex);
        std::memcpy(static_cast<void*>(&copy), &m_slots[i], sizeof(WatchSlot));
    }
    return copy;
}

} // namespace tw
