#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace tw {

// Keeps the requests to one host at most `rate` a second, whoever makes
// them: the worker's pass fetcher and a trial check running beside it take
// their starts from the same pacer. Thread-safe; the caller gives the time,
// so that tests need not wait. A rate of 0 or less sets no limit and takes
// nothing.
class RequestPacer
{
public:
    using Clock = std::chrono::steady_clock;

    // Takes host's next start for a request that waits for it: how long after
    // now that is (zero: at once).
    Clock::duration reserve(const std::string& host, int rate, Clock::time_point now);
    // Takes host's start when it has come (nullopt); else says when it comes
    // and takes nothing, for a caller with other work meanwhile.
    std::optional<Clock::time_point> tryStart(const std::string& host, int rate,
                                              Clock::time_point now);

private:
    std::mutex m_mutex;
    // The earliest start of the next request, per host.
    std::map<std::string, Clock::time_point> m_next;
};

} // namespace tw
