#pragma once

#include <functional>

#include <QCoreApplication>
#include <QDeadlineTimer>

namespace tw::test {

// Tests of Qt pieces without widgets: one QCoreApplication for the process.
inline void ensureCoreApplication()
{
    static int argc = 1;
    static char name[] = "tidewatch_test";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) {
        new QCoreApplication(argc, argv);
    }
}

// Processes this thread's events (replies, signals, timers) until pred holds;
// the limit only ends a test that failed.
inline bool processEventsUntil(const std::function<bool()>& pred, int limitMs = 20000)
{
    QDeadlineTimer deadline(limitMs);
    while (!pred()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

} // namespace tw::test
