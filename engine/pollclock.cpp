#include "engine/pollclock.h"

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

} // namespace tw
