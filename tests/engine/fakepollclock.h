#pragma once

#include "engine/pollclock.h"

#include <functional>
#include <mutex>

namespace tw::test {

// A clock whose sleeps pass at once and advance its time by what was asked,
// so a test can run many one-second ticks in no real time.
class FakePollClock : public PollClock
{
public:
    // Called on the sleeping thread after each sleep with the number of sleeps
    // so far; set it before the worker starts.
    std::function<void(int)> onSleep;

    void sleepFor(std::chrono::milliseconds d) override
    {
        int n = 0;
        {
            std::lock_guard lock(m_mutex);
            m_now += d;
            n = ++m_sleeps;
        }
        if (onSleep) {
            onSleep(n);
        }
    }
    // Nothing to wake: no sleep ever waits.
    void interrupt() override {}
    std::chrono::milliseconds now() const override
    {
        std::lock_guard lock(m_mutex);
        return m_now;
    }
    int sleeps() const
    {
        std::lock_guard lock(m_mutex);
        return m_sleeps;
    }

private:
    mutable std::mutex m_mutex;
    std::chrono::milliseconds m_now{0};
    int m_sleeps = 0;
};

} // namespace tw::test
