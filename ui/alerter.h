#pragma once

#include <chrono>
#include <string>

#include <QObject>
#include <QTimer>

namespace tw {

class CCore;
class CItemDb;
class DesktopNotifier;
struct AppPaths;
struct RunSettings;

// What an alert uses; the window owns it all.
struct AlertContext
{
    CCore& core;
    CItemDb& db;
    const RunSettings& settings;
    const AppPaths& paths;
    DesktopNotifier& notifier;
};

// Telling the user about new items: the alarm and its replay, the pages of
// the first openlimit items in the browser, the desktop notification (which
// counts every item), and a click on it that asks for the window.
class Alerter : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kReplay{4000};

    explicit Alerter(AlertContext context, QObject* parent = nullptr);

    // The items idList found for the watch with search key sid.
    void alert(const std::string& sid, const std::string& idList);
    // The second sound, when replayDue() came.
    void replay();
    void stopAlarm();
    bool alarmPending() const { return m_replay.isActive(); }
    void setReplayDelay(std::chrono::milliseconds delay) { m_replay.setInterval(delay); }

Q_SIGNALS:
    void alarmStarted();
    void replayDue();
    // The user clicked an alert's notification.
    void raiseRequested();

private:
    int openLimit() const;
    void notify(const std::string& sid, const std::string& idList);

    AlertContext m_context;
    QTimer m_replay;
};

} // namespace tw
