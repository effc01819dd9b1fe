#pragma once

#include "core/apppaths.h"
#include "core/hostservices.h"
#include "core/result.h"
#include "core/runsettings.h"
#include "engine/pollthread.h"
#include "ui/runcontroller.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <QDialog>
#include <QIcon>

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableView;

namespace tw {

class AlertCommand;
class Alerter;
class BlockedNotice;
struct LeftOut;
class CCore;
class CItemDb;
class DesktopNotifier;
class MarkSeenFlow;
class WatchListModel;
class WatchTable;
struct PollMessage;
class TrayPresence;

// The main window: the watch list, run control and alerts. It owns the
// shared state and wires the rooms that do the work: the run (RunController),
// the rows (WatchListModel), the alert (Alerter) and the blocked-watch notice
// (BlockedNotice).
class CWatchDlg : public QDialog
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

    // The session bus of desktop notifications; "" (the default) is the
    // desktop's own. Tests hand in a bus of their own.
    void setNotifyBus(const QString& address);
    // How the next worker opens its session and keeps time (tests).
    void setPollOptions(SessionSettings session, SessionFactory openSession = {},
                        PollClock* clock = nullptr);

    // The rooms and the state, for the tests and the screenshot tool; the
    // controls themselves are found by object name ("IDC_START").
    RunController& runner() { return *m_run; }
    WatchListModel& rows() { return *m_rows; }
    Alerter& alerter() { return *m_alerter; }
    BlockedNotice& notice() { return *m_notice; }
    AlertCommand& alertCommand() { return *m_alertCommand; }
    // Null unless tray=1 and the desktop has a tray.
    TrayPresence* tray() const { return m_tray; }
    bool isRunning() const { return m_run->isRunning(); }
    CCore* core() const { return m_core.get(); }
    CItemDb* itemDb() const { return m_itemDb.get(); }
    WatchTable* table() const { return m_table.get(); }
    RunSettings& settings() { return m_settings; }

    // A signal asks the program to end: from now on no box, dialog or run is
    // begun; the window closes when it is shown (set-up may still be running).
    void closeBySignal();
    bool closing() const { return m_closing; }
    // After set-up: shown, or with minimized hidden in the tray (minimized
    // where there is none).
    void showAtStart(bool minimized);
    void bringToFront();

public Q_SLOTS:
    void done(int result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;
    // With a tray the close box only hides the window; "退出" ends it.
    void closeEvent(QCloseEvent* e) override;

private:
    void createControls();
    void createRooms();
    void onRunState(RunController::State state);
    void onCheckEnded(const PollMessage& message);
    void warnLeftOut(const LeftOut& leftOut);
    // Row i shows slot i: the rows are rebuilt from the table, statuses cleared.
    void showTable();
    // Boxes the user must answer; none once a signal asked the program to end.
    void warnUser(const std::string& text);
    void prepareStore();
    void createTray();
    void showStatus(const QString& text);
    // The session a run or a marking uses, with the request settings read
    // afresh; nullopt, after one box, when they cannot work.
    std::optional<SessionSettings> requestSession();

    std::shared_ptr<HostServices> m_host;
    std::string m_appDir;
    QIcon m_appIcon;

    QPushButton* m_start = nullptr;
    QLineEdit* m_interval = nullptr;
    QTableView* m_watchListView = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_import = nullptr;
    QPushButton* m_stopAlarm = nullptr;
    QCheckBox* m_filterStock = nullptr;
    QPushButton* m_clearData = nullptr;
    QLabel* m_noticeLabel = nullptr;

    std::unique_ptr<CCore> m_core;
    AppPaths m_paths;
    std::unique_ptr<CItemDb> m_itemDb;
    RunSettings m_settings;
    std::unique_ptr<WatchTable> m_table;

    DesktopNotifier* m_notifier = nullptr;
    WatchListModel* m_rows = nullptr;
    Alerter* m_alerter = nullptr;
    BlockedNotice* m_notice = nullptr;
    MarkSeenFlow* m_markSeen = nullptr;
    AlertCommand* m_alertCommand = nullptr;
    TrayPresence* m_tray = nullptr;
    // Declared last: destroyed first, so the worker is joined before
    // anything it reads goes away.
    std::unique_ptr<RunController> m_run;

    bool m_setUpComplete = false;
    bool m_destroyed = false;
    bool m_closing = false;
};

} // namespace tw
