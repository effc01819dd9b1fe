#include "pollclock.h"

namespace tw {

void SteadyPollClock::sleepFor(std::chrono::milliseconds d)
{
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, d, [this] { return m_interrupted; });
}

void SteadyPollClock::interrupt()
{
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = true;
    }
    m_wake.notify_all();
}

std::chrono::milliseconds SteadyPollClock::now() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

} // namespace tw
