#pragma once

#include "engine/pollmessages.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <vector>

namespace tw::test {

struct PolledMessage
{
    unsigned msg = 0;
    std::intptr_t wParam = 0;
    std::intptr_t lParam = 0;
    friend bool operator==(const PolledMessage&, const PolledMessage&) = default;
};

inline std::ostream& operator<<(std::ostream& os, const PolledMessage& m)
{
    const char* name = m.msg == WM_POLL_PROGRESS ? "PROGRESS"
                       : m.msg == WM_POLL_DONE   ? "DONE"
                                                 : "?";
    return os << name << '(' << m.wParam << ',' << m.lParam << ')';
}

inline PolledMessage begun(int slot)
{
    return {WM_POLL_PROGRESS, PROGRESS_BEGIN, slot};
}
inline PolledMessage done(int slot)
{
    return {WM_POLL_PROGRESS, PROGRESS_DONE, slot};
}
inline PolledMessage failed(int slot)
{
    return {WM_POLL_PROGRESS, PROGRESS_FAILED, slot};
}
inline PolledMessage stopped()
{
    return {WM_POLL_DONE, 0, 0};
}

// Records what the worker posts. onMessage runs on the worker thread, right
// where the window would receive the message; set it before the worker starts.
class RecordingSink : public PollSink
{
public:
    std::function<void(const PolledMessage&)> onMessage;

    void postMessage(unsigned msg, std::intptr_t wParam, std::intptr_t lParam) override
    {
        const PolledMessage m{msg, wParam, lParam};
        {
            std::lock_guard lock(m_mutex);
            m_messages.push_back(m);
        }
        if (onMessage) {
            onMessage(m);
        }
    }

    std::vector<PolledMessage> messages() const
    {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<PolledMessage> m_messages;
};

} // namespace tw::test
