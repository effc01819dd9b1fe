#pragma once

#include "core/apppaths.h"
#include "core/hostservices.h"
#include "core/result.h"
#include "core/runflag.h"
#include "core/runsettings.h"
#include "engine/markseentask.h"
#include "engine/pollmessages.h"
#include "engine/pollthread.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <QDialog>
#include <QIcon>
#include <QTimer>

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableWidget;

namespace tw {

class CCore;
class CItemDb;
class DesktopNotifier;
class RowTips;
class WatchTable;

// The main window: the watch list, run control and alerts.
class CWatchDlg : public QDialog, public PollSink
{
    Q_OBJECT

public:
    static constexpr int IDD = 102;
    static constexpr int IDC_WATCH_LIST = 1000;
    static constexpr int IDC_STATUS = 1001;
    static constexpr int IDC_INTERVAL = 1002;
    static constexpr int IDC_START = 1005;
    static constexpr int IDC_IMPORT = 1006;
    static constexpr int IDC_STOP_ALARM = 1007;
    static constexpr int IDC_FILTER_STOCK = 1009;
    static constexpr int IDC_CLEAR_DATA = 1010;
    static constexpr int IDC_NOTICE = 1011;
    static constexpr int ALARM_TIMER = 2;
    static constexpr std::chrono::milliseconds kAlarmReplay{4000};

    // host answers the boxes and plays the sound; appDir replaces the
    // executable's directory (tests, a portable copy).
    explicit CWatchDlg(std::shared_ptr<HostServices> host, std::string appDir = {},
                       QWidget* parent = nullptr);
    ~CWatchDlg() override;

    // True after a complete set-up; false when the database is missing, the
    // user was told and the dialog has ended.
    bool OnInitDialog();

    void loadWatchList();
    // Fails with the reason when the file could not be replaced; the old
    // file is then left as it was. An empty table writes nothing.
    Result<void> saveWatchList();
    void OnImport();

    bool readRunControls(bool warn);
    void OnStartStop();
    // Close-down: stop and await the worker, save the settings and the list.
    // Runs once, when the dialog ends or is destroyed.
    void OnDestroy();

    // row: the watch that found the items, for the desktop notification.
    void raiseAlert(const std::string& idList, int row = -1);
    void OnTimer(int id);
    void OnStopAlarm();
    void OnWatchListDblClk(int row);
    void OnClearData();
    // The right-click menu of a row, built afresh; the caller shows and
    // deletes it. Null for a row that is no watch.
    QMenu* rowMenu(int row);
    // Stores what the watch lists now without reporting it; refused with a
    // box while a run or another marking is under way.
    void OnMarkAllSeen(int row);
    bool markingSeen() const { return m_markSeen != nullptr; }
    // The session bus address of desktop notifications; "" (the default) is
    // the desktop's own. Tests hand in a bus of their own.
    void setNotifyBus(QString address) { m_notifyBus = std::move(address); }
    // Tells the user, once per episode, that a watch looks blocked: a desktop
    // notification (with notify=1), else a note in the window; never a modal
    // box and never the alarm.
    void noticeBlocked(int row, const std::string& reason);

    // Worker messages arrive here from any thread as posted events.
    void postMessage(unsigned msg, std::intptr_t wParam, std::intptr_t lParam) override;

    bool isRunning() const { return m_isRunning; }
    // How the next worker opens its session and keeps time; tests shorten
    // the time-outs or fail the session on purpose.
    void setPollOptions(SessionSettings session, SessionFactory openSession = {},
                        PollClock* clock = nullptr);
    void setAlarmReplayDelay(std::chrono::milliseconds delay);

    // State that is no control, for the tests and the screenshot tool; the
    // controls themselves are found by object name ("IDC_START").
    bool alarmPending() const { return m_alarmTimer.isActive(); }
    bool workerAlive() const { return m_worker != nullptr; }
    CCore* core() const { return m_core.get(); }
    CItemDb* itemDb() const { return m_itemDb.get(); }
    WatchTable* table() const { return m_table.get(); }
    RunSettings& settings() { return m_settings; }
    const RunFlag& runFlag() const { return m_runFlag; }

    static QString statusText(std::intptr_t progress);

    // A signal asks the program to end: from now on no box, dialog or run is
    // begun; the window closes when it is shown (set-up may still be running).
    void closeBySignal();
    bool closing() const { return m_closing; }

public Q_SLOTS:
    void done(int result) override;

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void createControls();
    void handleProgress(std::intptr_t wParam, std::intptr_t lParam);
    void handleDone(std::intptr_t lParam);
    void setRowStatus(int row, const QString& text);
    // The URL as a person reads it, then the failure reason and the health.
    void setRowToolTip(int row, const std::string& reason, const std::string& health);
    void warnLeftOut(int leftOut);
    // Row i shows slot i: the rows are rebuilt from the table, statuses cleared.
    void showTable();
    // Boxes the user must answer; none once a signal asked the program to end.
    void warnUser(const std::string& text);
    void stopWorker();
    void handleMarkSeenDone(std::intptr_t wParam, std::intptr_t lParam);
    void notifyAlert(const std::string& idList, int row);
    void prepareStore();
    void bringToFront();
    DesktopNotifier& notifier();
    // The session a run or a marking uses, with the request settings read
    // afresh; nullopt, after one box, when they cannot work.
    std::optional<SessionSettings> requestSession();
    void showPendingNote();

    std::shared_ptr<HostServices> m_host;
    std::string m_appDir;

    bool m_isRunning = false;
    RunFlag m_runFlag;
    QIcon m_appIcon;

    QPushButton* m_start = nullptr;
    QLineEdit* m_interval = nullptr;
    QTableWidget* m_watchListView = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_import = nullptr;
    QPushButton* m_stopAlarm = nullptr;
    QCheckBox* m_filterStock = nullptr;
    QPushButton* m_clearData = nullptr;
    QLabel* m_notice = nullptr;
    QTimer m_alarmTimer;

    std::unique_ptr<CCore> m_core;
    AppPaths m_paths;
    std::unique_ptr<CItemDb> m_itemDb;
    RunSettings m_settings;
    std::unique_ptr<WatchTable> m_table;
    std::unique_ptr<RowTips> m_rowTips;

    SessionSettings m_sessionSettings;
    SessionFactory m_openSession;
    PollClock* m_pollClock = nullptr;
    QString m_notifyBus;
    DesktopNotifier* m_notifier = nullptr;
    // A blocked watch's note and its reason, shown in the window when no
    // desktop notification carries it.
    std::pair<QString, QString> m_pendingNote;
    std::unique_ptr<CMarkSeenTask> m_markSeen;
    // Declared last: destroyed first, so the worker is joined before
    // anything it reads goes away.
    std::unique_ptr<CPollThread> m_worker;

    bool m_setUpComplete = false;
    bool m_destroyed = false;
    bool m_closing = false;
};

} // namespace tw
