#pragma once

#include "engine/pollmessages.h"

#include <chrono>
#include <string>
#include <vector>

#include <QObject>
#include <QTimer>

namespace tw {

class AlertOutbox;
class CCore;
class DesktopNotifier;
class RunController;
struct AppPaths;
struct RunSettings;

// What an alert uses; the owner keeps it all alive longer than the alerter.
struct AlertContext
{
    CCore& core;
    const RunSettings& settings;
    const AppPaths& paths;
    DesktopNotifier& notifier;
    AlertOutbox& outbox;
};

// Telling the user about new items: the alarm and its replay, then the alert
// handed to the outbox, which queues it durably and serves the pages of the
// first openlimit items, the desktop notification (which counts every item)
// and the alert command; and a click on the notification that asks for the
// window. It hears every check's end from the run itself; the titles it
// tells come from the check's message.
class Alerter : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kReplay{4000};

    Alerter(AlertContext context, const RunController& run, QObject* parent = nullptr);

    // The items a check of the watch with url reported; watchOpenLimit is
    // the watch's own openlimit, -1 for the global one.
    void alert(const std::string& url, const std::vector<FoundItem>& items, int watchOpenLimit = -1);
    void stopAlarm();
    bool alarmPending() const { return m_replay.isActive(); }
    void setReplayDelay(std::chrono::milliseconds delay) { m_replay.setInterval(delay); }

Q_SIGNALS:
    void alarmStarted();
    // The user clicked an alert's notification.
    void raiseRequested();

private:
    int openLimit() const;
    void replay();

    AlertContext m_context;
    QTimer m_replay;
};

} // namespace tw
