#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

// One watch, laid out byte for byte as the fixed fields require. Every field
// holds a NUL-terminated string, so a field keeps one byte less than its size.
struct WatchSlot
{
    char url[1024];
    char sid[101];
    char lastIds[4024];
    char newIds[1024];
};
static_assert(sizeof(WatchSlot) == 6173, "a slot is 6173 bytes");
static_assert(offsetof(WatchSlot, sid) == 1024);
static_assert(offsetof(WatchSlot, lastIds) == 1125);
static_assert(offsetof(WatchSlot, newIds) == 5149);

// A copy of one slot's fields, taken under the table's lock.
struct SlotCopy
{
    std::string url;
    std::string sid;
    std::string lastIds;
    std::string newIds;
};

// A watch as the list file and the import hand it to the table.
struct Watch
{
    std::string url;
    std::string sid;
};

// Cuts an id list to at most capacity bytes, only after a whole id, so that a
// short list never ends on a partial id.
std::string fitIdList(std::string_view ids, std::size_t capacity);

// The 1000 zero-filled slots that the window fills and the worker reads and
// writes, with watchCount. One lock guards every access, so no reader sees a
// half-written slot; a write never goes past its field.
class WatchTable
{
public:
    static constexpr int kSlots = 1000;
    static constexpr std::size_t kUrlMax = sizeof(WatchSlot::url) - 1;
    static constexpr std::size_t kSidMax = sizeof(WatchSlot::sid) - 1;
    static constexpr std::size_t kLastIdsMax = sizeof(WatchSlot::lastIds) - 1;
    static constexpr std::size_t kNewIdsMax = sizeof(WatchSlot::newIds) - 1;

    WatchTable();
    WatchTable(const WatchTable&) = delete;
    WatchTable& operator=(const WatchTable&) = delete;

    // True when url and sid fit their fields; a watch that does not fit is
    // refused whole rather than stored cut.
    static bool fits(const Watch& watch);

    int watchCount() const;
    void setWatchCount(int count);

    // Zeroes all slots and sets watchCount to 0.
    void clear();
    // Stores the watches that fit from slot 0 on and sets watchCount, all
    // under one lock: the worker sees the old table or the new one. A url
    // that was in the old list keeps, in its first new slot, the lastIds of
    // its check and the newIds the window has not taken yet, so a list
    // replaced during a run loses no report; everything else starts zeroed.
    // Returns the number stored.
    int replaceAll(const std::vector<Watch>& watches);
    // False (nothing written) when i is out of range or the watch does not fit.
    bool setWatch(int i, const Watch& watch);

    // Out of range reads give "".
    SlotCopy slot(int i) const;
    std::string url(int i) const;
    std::string sid(int i) const;

    // Id lists too long for their field are kept up to the last whole id.
    void setLastIds(int i, std::string_view ids);
    void setNewIds(int i, std::string_view ids);
    // The slot that holds url now: i, or the first slot it moved to when the
    // list was replaced; -1 when url left the list.
    int slotOf(int i, std::string_view url) const;
    // The worker's write at the end of a check of the watch with url, which
    // was in slot i when the check began: it goes to slotOf(i, url), or
    // nowhere. The slot written, or -1.
    int setLastIdsFor(int i, std::string_view url, std::string_view ids);

    // A copy of slot i byte for byte; a zero slot for out of range.
    WatchSlot rawSlot(int i) const;

private:
    static bool inRange(int i) { return i >= 0 && i < kSlots; }
    // One field of slot i, copied under the lock; "" when i is out of range.
    template <std::size_t N> std::string field(int i, char (WatchSlot::*member)[N]) const;
    // The slot that holds url now, preferring i; -1 when none does. Call
    // with the lock held.
    int slotHolding(int i, std::string_view url) const;
    // Marks slot i as possibly holding text; under the lock.
    void touch(int i);
    // Zeroes the slots that may hold text; under the lock.
    void zeroTouched();

    struct FreeSlots
    {
        void operator()(WatchSlot* slots) const;
    };

    mutable std::mutex m_mutex;
    std::unique_ptr<WatchSlot[], FreeSlots> m_slots;
    int m_watchCount = 0;
    // Slots from here on have never been written since the last zeroing, so
    // they are still all zero bytes and need no zeroing again.
    int m_touched = 0;
};

} // namespace tw
