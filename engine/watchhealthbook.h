#pragma once

#include "engine/watchhealth.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace tw {

// The worker's health records, one per slot, for the watch (url) the slot
// held at its last check. The worker writes, the window reads copies; any
// thread.
class WatchHealthBook
{
public:
    // A copy of slot's record; an empty record (url "") when there is none.
    WatchHealth get(int slot) const;
    // Runs change on slot's record for url under the lock; a record kept for
    // another url is replaced by a fresh one first.
    void update(int slot, const std::string& url, const std::function<void(WatchHealth&)>& change);
    // Whether the watch url in slot must not be asked before its pause ends.
    bool isPaused(int slot, const std::string& url, WallTime now) const;
    // True once per blocked episode, when the notice is due; clears it.
    bool takeBlockedNotice(int slot);

private:
    mutable std::mutex m_mutex;
    std::map<int, WatchHealth> m_records;
};

} // namespace tw
