#pragma once

#include "core/watchoptions.h"
#include "core/watchtable.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace tw {

// A watch's identity for the program's lifetime, given by the watch list
// when the watch enters it and kept through moves and imports that keep its
// URL; two rows with the same URL have two ids. 0: none.
using WatchId = std::uint64_t;

// The table the worker reads, with the id and options of each slot's watch
// beside it.
// The table keeps its fixed layout; the ids live here, and one lock taken
// around the table's own makes a slot and its id change and read together,
// so a check always names the watch it really checked.
class WatchRoster
{
public:
    explicit WatchRoster(WatchTable& table) : m_table(table) {}
    WatchRoster(const WatchRoster&) = delete;
    WatchRoster& operator=(const WatchRoster&) = delete;

    WatchTable& table() { return m_table; }
    const WatchTable& table() const { return m_table; }

    // WatchTable::replaceAll, with ids[i] the id of watches[i] and options[i]
    // its options; a watch that does not fit the table is left out with
    // them. Returns the number stored.
    int replaceAll(const std::vector<Watch>& watches, const std::vector<WatchId>& ids,
                   const std::vector<WatchOptions>& options);
    // Every watch on the global settings.
    int replaceAll(const std::vector<Watch>& watches, const std::vector<WatchId>& ids)
    {
        return replaceAll(watches, ids, {});
    }

    struct Entry
    {
        WatchId id = 0;
        SlotCopy slot;
        WatchOptions options;
    };
    // Slot i, its watch's id and options, in one step; id 0 past the list.
    Entry at(int i) const;
    WatchId idAt(int i) const;

private:
    WatchTable& m_table;
    mutable std::mutex m_mutex;
    std::vector<WatchId> m_ids;
    std::vector<WatchOptions> m_options;
};

} // namespace tw
