#pragma once

#include <cstdint>

#include <QEvent>

namespace tw {

// A worker message as a posted Qt event. Posted events reach the window also
// while a message box or a dialog runs its own loop, so none is lost.
class PollEvent : public QEvent
{
public:
    PollEvent(unsigned msg, std::intptr_t wParam, std::intptr_t lParam)
        : QEvent(eventType()), m_msg(msg), m_wParam(wParam), m_lParam(lParam)
    {}

    static QEvent::Type eventType()
    {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }

    unsigned msg() const { return m_msg; }
    std::intptr_t wParam() const { return m_wParam; }
    std::intptr_t lParam() const { return m_lParam; }

private:
    unsigned m_msg;
    std::intptr_t m_wParam;
    std::intptr_t m_lParam;
};

} // namespace tw
