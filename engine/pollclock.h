#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tw {

// The worker's sleeping, behind a seam so that tests can run many passes
// without waiting real seconds.
class PollClock
{
public:
    virtual ~PollClock() = default;

    // Waits d, or less once interrupt() has been called.
    virtual void sleepFor(std::chrono::milliseconds d) = 0;
    // Ends the current sleep and makes every later one return at once; may be
    // called from any thread.
    virtual void interrupt() = 0;
    // The time of day, for what the user is shown and for reading a stated
    // Retry-After date; tests set it.
    virtual std::chrono::system_clock::time_point wallNow() const
    {
        return std::chrono::system_clock::now();
    }
    // What pauses are measured on, so that a clock set back does not lengthen
    // them; tests advance it with their sleeps.
    virtual std::chrono::steady_clock::time_point steadyNow() const
    {
        return std::chrono::steady_clock::now();
    }
};

// Real time: sleeps on a condition variable so that close-down need not wait
// out the rest of a second.
class SteadyPollClock : public PollClock
{
public:
    void sleepFor(std::chrono::milliseconds d) override;
    void interrupt() override;

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_interrupted = false;
};

} // namespace tw
