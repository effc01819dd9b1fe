#pragma once

#include "engine/pollmessages.h"

#include <utility>

#include <QEvent>

namespace tw {

// A task's message as a posted Qt event. Posted events reach their receiver
// also while a message box or a dialog runs its own loop, so none is lost.
class PollEvent : public QEvent
{
public:
    explicit PollEvent(PollMessage message) : QEvent(eventType()), m_message(std::move(message)) {}

    static QEvent::Type eventType()
    {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }

    const PollMessage& message() const { return m_message; }

private:
    PollMessage m_message;
};

} // namespace tw
