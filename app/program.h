#pragma once

#include "core/apppaths.h"
#include "core/hostservices.h"
#include "core/result.h"
#include "core/runsettings.h"
#include "core/watchoptions.h"
#include "engine/pollthread.h"

#include <memory>
#include <optional>
#include <set>
#include <string>

#include <QObject>
#include <QString>

namespace tw {

class AlertCommand;
class AlertOutbox;
class Alerter;
class BlockedNotice;
class CCore;
class CItemDb;
class CWatchDlg;
class DesktopNotifier;
class MarkSeenFlow;
class QuietWatches;
class RunController;
class TrayPresence;
class UnseenItems;
class WatchListModel;
class WatchListRoom;
class WatchRoster;
class WatchTable;

// The program: it owns the core library, the paths, the item database, the
// settings, the watch table and list, the run and the rooms that tell the
// user, and the main window, which only shows them and hands the user's
// actions here. Each room connects itself to the signals it needs; this
// object wires the window to them and carries out what the user asks.
class Program : public QObject
{
    Q_OBJECT

public:
    // host answers the boxes and plays the sound; appDir replaces the
    // executable's directory (tests, a portable copy).
    explicit Program(std::shared_ptr<HostServices> host, std::string appDir = {},
                     QObject* parent = nullptr);
    // Closes down first: the worker and the marking end before anything
    // they read is freed.
    ~Program() override;

    // True after a complete set-up; false when the database is missing, the
    // user was told and the window has ended.
    bool setUp();
    CWatchDlg& window() { return *m_window; }

    // What the user asks, from the window, the tray or a later launch.
    void startStop();
    void importList();
    // One watch at a time, each change saved at once.
    void addWatch();
    void editWatch(int row);
    void setPaused(int row, bool paused);
    void setMuted(int row, bool muted);
    void deleteWatch(int row);
    void moveWatch(int from, int to);
    void clearData();
    void openItemList(int row);
    void markAllSeen(int row);
    void openSearchPage(int row);
    void openHistory();
    // The settings dialog; after "确定" the file is read again, and a new
    // interval or filtkc goes into the window's controls, which close-down saves.
    void openSettings();
    bool isRunning() const;
    // Fails with the reason when the file could not be replaced.
    Result<void> saveWatchList();

    // The session bus of desktop notifications; "" (the default) is the
    // desktop's own. Tests hand in a bus of their own.
    void setNotifyBus(const QString& address);
    // How the next worker opens its session and keeps time (tests).
    void setPollOptions(SessionSettings session, SessionFactory openSession = {},
                        PollClock* clock = nullptr);

    // The state and the rooms, for the tests and the screenshot tool.
    CCore* core() const { return m_core.get(); }
    CItemDb* itemDb() const { return m_itemDb.get(); }
    WatchTable* table() const { return m_table.get(); }
    RunSettings& settings() { return m_settings; }
    WatchListRoom& list() { return *m_list; }
    RunController& runner() { return *m_run; }
    WatchListModel& rows() { return *m_rows; }
    Alerter& alerter() { return *m_alerter; }
    BlockedNotice& notice() { return *m_notice; }
    AlertCommand& alertCommand() { return *m_alertCommand; }
    AlertOutbox& outbox() { return *m_outbox; }
    UnseenItems& unseen() { return *m_unseen; }
    QuietWatches& quiet() { return *m_quiet; }
    // Null unless tray=1 and the desktop has a tray.
    TrayPresence* tray() const { return m_tray; }

Q_SIGNALS:
    // A setting took a new value; rooms that can follow it during a run do.
    void settingChanged(const QString& key);

private:
    void createRooms();
    void connectWindow();
    void createTray();
    // Close-down: stop and await the worker, save the settings and the list.
    void closeDown();
    bool readRunControls(bool warn);
    // Reads the settings a run may change, tells what changed and what is out
    // of range.
    void rereadSettings();
    void tellProblems();
    void prepareStore();
    void saveAfterChange();
    void setFlag(int row, std::optional<bool> WatchOptions::*flag, bool on);
    void warnUser(const std::string& text);
    void showStatus(const QString& text);
    // The session a run or a marking uses, with the request settings read
    // afresh; nullopt, after one box, when they cannot work.
    std::optional<SessionSettings> requestSession();

    std::shared_ptr<HostServices> m_host;
    std::string m_appDir;
    std::unique_ptr<CCore> m_core;
    AppPaths m_paths;
    std::unique_ptr<CItemDb> m_itemDb;
    RunSettings m_settings;
    std::set<std::string> m_problemsTold;
    std::unique_ptr<WatchTable> m_table;
    std::unique_ptr<WatchRoster> m_roster;
    std::unique_ptr<CWatchDlg> m_window;

    // Children of this object, made by createRooms().
    DesktopNotifier* m_notifier = nullptr;
    WatchListRoom* m_list = nullptr;
    UnseenItems* m_unseen = nullptr;
    WatchListModel* m_rows = nullptr;
    AlertCommand* m_alertCommand = nullptr;
    AlertOutbox* m_outbox = nullptr;
    Alerter* m_alerter = nullptr;
    BlockedNotice* m_notice = nullptr;
    MarkSeenFlow* m_markSeen = nullptr;
    QuietWatches* m_quiet = nullptr;
    TrayPresence* m_tray = nullptr;
    std::unique_ptr<RunController> m_run;

    bool m_setUpComplete = false;
    bool m_closedDown = false;
};

} // namespace tw
