#pragma once

#include "engine/watchhealth.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace tw {

// The worker's health records, one per watch, kept by its url: a watch that
// an import moves to another row keeps its record, pause and blocked notice.
// The worker writes, the window reads copies; any thread.
class WatchHealthBook
{
public:
    // A copy of url's record; an empty record (url "") when there is none.
    WatchHealth get(const std::string& url) const;
    // Runs change on url's record under the lock, making it when missing.
    void update(const std::string& url, const std::function<void(WatchHealth&)>& change);
    // Whether the watch url must not be asked before its pause ends.
    bool isPaused(const std::string& url, SteadyTime now) const;
    // True once per blocked episode, when the notice is due; clears it.
    bool takeBlockedNotice(const std::string& url);
    // Drops the records of every watch not in urls: a watch that left the
    // list takes its pause and notice with it.
    void keepOnly(std::vector<std::string> urls);

private:
    mutable std::mutex m_mutex;
    std::map<std::string, WatchHealth, std::less<>> m_records;
};

} // namespace tw
