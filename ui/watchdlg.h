#pragma once

#include "ui/runcontroller.h"

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

class WatchListModel;
class WatchListRoom;

// The main window, a view: it shows the rows, the buttons, the note and the
// status line, and turns what the user does into requests that its owner
// (the program, app/program.h) carries out. It holds no state of the
// program's own and reads nothing the worker writes.
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
    static constexpr int IDC_HISTORY = 1012;
    static constexpr int IDC_SETTINGS = 1013;
    static constexpr int IDC_ADD = 1014;

    explicit CWatchDlg(QWidget* parent = nullptr);
    ~CWatchDlg() override;

    // The window's part of the set-up, once the owner has made the rooms:
    // the rows it shows and the stored run controls.
    bool OnInitDialog(WatchListModel& rows, const WatchListRoom& list, int interval, bool filtkc);

    // The user's actions, each handed to the owner; none once the program is
    // closing.
    void OnImport();
    void OnAdd();
    void OnStartStop();
    void OnStopAlarm();
    void OnWatchListDblClk(int row);
    void OnClearData();
    void OnMarkAllSeen(int row);
    void OnHistory();
    void OnSettings();
    // Close-down, once: when the dialog ends or is destroyed.
    void OnDestroy();
    // The right-click menu of a row, built afresh; the caller shows and
    // deletes it. Null for a row that is no watch.
    QMenu* rowMenu(int row);

    // What the owner shows.
    QString intervalText() const;
    bool filterStock() const;
    void focusInterval();
    void showInterval(int interval);
    void showFilterStock(bool on);
    void showRunState(RunController::State state);
    void showRunEnded();
    void showStatus(const QString& text);
    void showNote(const QString& text, const QString& toolTip);
    void enableStopAlarm();
    // With a tray the close box only hides the window; "退出" ends it.
    void setHidesToTray(bool hides) { m_hidesToTray = hides; }
    // Shown, active and not minimized: the user sees it.
    bool inView() const;

    // A signal asks the program to end: from now on no box, dialog or run is
    // begun; the window closes when it is shown (set-up may still be running).
    void closeBySignal();
    bool closing() const { return m_closing; }
    // After set-up: shown, or with minimized hidden in the tray (minimized
    // where there is none).
    void showAtStart(bool minimized);
    void bringToFront();

Q_SIGNALS:
    void importRequested();
    void addRequested();
    void editRequested(int row);
    void pauseRequested(int row, bool paused);
    void muteRequested(int row, bool muted);
    void deleteRequested(int row);
    void moveRequested(int from, int to);
    void startStopRequested();
    void stopAlarmRequested();
    void itemListRequested(int row);
    void clearDataRequested();
    void markAllSeenRequested(int row);
    void searchPageRequested(int row);
    void historyRequested();
    void settingsRequested();
    // Shown or activated: what waited has been seen.
    void windowSeen();
    // The dialog ends: the owner closes down.
    void closingDown();

public Q_SLOTS:
    void done(int result) override;

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void createControls();

    QIcon m_appIcon;
    QPushButton* m_start = nullptr;
    QLineEdit* m_interval = nullptr;
    QTableView* m_watchListView = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_import = nullptr;
    QPushButton* m_add = nullptr;
    QPushButton* m_history = nullptr;
    QPushButton* m_settings = nullptr;
    QPushButton* m_stopAlarm = nullptr;
    QCheckBox* m_filterStock = nullptr;
    QPushButton* m_clearData = nullptr;
    QLabel* m_noticeLabel = nullptr;

    const WatchListRoom* m_list = nullptr;
    bool m_hidesToTray = false;
    bool m_destroyed = false;
    bool m_closing = false;
};

} // namespace tw
