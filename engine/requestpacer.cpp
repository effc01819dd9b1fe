#include "engine/requestpacer.h"

#include <algorithm>

namespace tw {

namespace {

std::chrono::microseconds gap(int rate)
{
    return std::chrono::microseconds(1000000 / rate);
}

} // namespace

RequestPacer::Clock::duration RequestPacer::reserve(const std::string& host, int rate,
                                                    Clock::time_point now)
{
    if (rate <= 0) {
        return Clock::duration::zero();
    }
    std::lock_guard lock(m_mutex);
    Clock::time_point& next = m_next[host];
    const Clock::time_point start = std::max(next, now);
    next = start + gap(rate);
    return start - now;
}

std::optional<RequestPacer::Clock::time_point>
RequestPacer::tryStart(const std::string& host, int rate, Clock::time_point now)
{
    if (rate <= 0) {
        return std::nullopt;
    }
    std::lock_guard lock(m_mutex);
    Clock::time_point& next = m_next[host];
    if (next > now) {
        return next;
    }
    next = now + gap(rate);
    return std::nullopt;
}

} // namespace tw
