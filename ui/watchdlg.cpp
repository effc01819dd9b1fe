#include "ui/watchdlg.h"

#include "core/text.h"
#include "core/watchlist.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "desktop/alertcommand.h"
#include "desktop/desktopnotifier.h"
#include "desktop/trayicon.h"
#include "engine/sessioncheck.h"
#include "store/itemdb.h"
#include "ui/itemlistdlg.h"
#include "ui/alerter.h"
#include "ui/alertinfo.h"
#include "ui/blockednotice.h"
#include "ui/markseenflow.h"
#include "ui/qtconvert.h"
#include "ui/traypresence.h"
#include "ui/watchlistmodel.h"

#include <iostream>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableView>

// Resources of a static library must be registered by name, outside any namespace.
static void initUiResources()
{
    Q_INIT_RESOURCE(ui);
}

namespace tw {


CWatchDlg::CWatchDlg(std::shared_ptr<HostServices> host, std::string appDir, QWidget* parent)
    : QDialog(parent), m_host(std::move(host)), m_appDir(std::move(appDir))
{
    initUiResources();
    m_appIcon = QIcon(QStringLiteral(":/tidewatch/tidewatch.png"));
    createControls();
    m_notifier = new DesktopNotifier(QString(), this);
}

CWatchDlg::~CWatchDlg()
{
    OnDestroy();
}

bool CWatchDlg::OnInitDialog()
{
    setWindowIcon(m_appIcon);

    m_core = std::make_unique<CCore>(m_host, m_appDir);
    m_core->autoFileConfig();
    m_paths = AppPaths::under(m_core->getAppPath());
    m_paths.dbFile = CCore::getPathShort(m_paths.appPath + "sys.mdb");

    if (!CCore::isFileExist(m_paths.dbFile)) {
        warnUser("数据库文件无法访问！程序退出。");
        done(1);
        return false;
    }

    m_paths.dbConnStr = CCore::getDbConnStrMdb(m_paths.dbFile);
    m_itemDb = std::make_unique<CItemDb>();
    m_itemDb->setConnStr(m_paths.dbConnStr);
    try {
        m_itemDb->ensureItemIndex();
    } catch (const DbError&) {
        // A read-only or odd database still works, only slower; the first
        // operation that really fails reports its reason.
    }

    m_settings.readFrom(*m_core);
    prepareStore();
    m_interval->setText(qs(CCore::getStrInt(m_settings.interval)));
    m_filterStock->setChecked(m_settings.filtkc != 0);
    // From here on the controls hold the stored values, so close-down may
    // save them back.
    m_setUpComplete = true;

    m_table = std::make_unique<WatchTable>();
    createRooms();
    m_watchListView->setShowGrid(true);
    m_watchListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_watchListView->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_watchListView->setColumnWidth(WatchListModel::UrlColumn, 450);
    m_watchListView->setColumnWidth(WatchListModel::StatusColumn, 220);
    loadWatchList();

    QPointer<CWatchDlg> self(this);
    m_host->checkSound(m_paths.alertFile, [self](const std::string& problem) {
        if (self && !self->m_destroyed) {
            self->showStatus(qs(problem));
        }
    });
    createTray();
    return true;
}

void CWatchDlg::createTray()
{
    if (!m_settings.tray) {
        return;
    }
    if (!TrayIcon::isAvailable()) {
        showStatus(QStringLiteral("提示：桌面没有系统托盘，tray=1 不起作用"));
        return;
    }
    m_tray = new TrayPresence(m_appIcon, *m_run, qs(m_paths.appPath), this);
    connect(m_tray, &TrayPresence::showRequested, this, [this] { bringToFront(); });
    connect(m_tray, &TrayPresence::startStopRequested, this, [this] { OnStartStop(); });
    // Ends the program as a signal does: an open box or dialog goes first,
    // then the close-down, the window being hidden or not.
    connect(m_tray, &TrayPresence::quitRequested, this, [this] {
        while (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            if (box == this) {
                break;
            }
            box->reject();
        }
        closeBySignal();
    });
    connect(m_tray, &TrayPresence::problem, this, [this](const QString& t) { showStatus(t); });
}

void CWatchDlg::showAtStart(bool minimized)
{
    if (!minimized) {
        show();
    } else if (!m_tray) {
        showMinimized();
    }
}

void CWatchDlg::createRooms()
{
    m_rows = new WatchListModel(*m_table, this);
    m_watchListView->setModel(m_rows);

    m_alerter = new Alerter({*m_core, *m_itemDb, m_settings, m_paths, *m_notifier}, this);
    connect(m_alerter, &Alerter::alarmStarted, this, [this] { m_stopAlarm->setEnabled(true); });
    connect(m_alerter, &Alerter::replayDue, this, [this] { OnTimer(ALARM_TIMER); });
    connect(m_alerter, &Alerter::raiseRequested, this, [this] { bringToFront(); });

    m_notice = new BlockedNotice(*m_table, m_settings, *m_notifier, this);
    connect(m_notice, &BlockedNotice::noteChanged, this,
            [this](const QString& text, const QString& tip) {
                m_noticeLabel->setText(text);
                m_noticeLabel->setToolTip(tip);
                m_noticeLabel->setVisible(!text.isEmpty());
            });

    m_run = std::make_unique<RunController>(
        RunContext{*m_table, m_settings, m_paths, *m_itemDb, *m_core});
    connect(m_run.get(), &RunController::stateChanged, this,
            [this](RunController::State state) { onRunState(state); });
    connect(m_run.get(), &RunController::checkBegan, this,
            [this](const PollMessage& m) { m_rows->showChecking(m_rows->rowOf(m.slot, m.url)); });
    connect(m_run.get(), &RunController::checkEnded, this,
            [this](const PollMessage& m) { onCheckEnded(m); });
    connect(m_run.get(), &RunController::runEnded, this, [this] {
        showStatus(QStringLiteral("停止。"));
        m_start->setText(QStringLiteral("执行"));
    });
    m_markSeen = new MarkSeenFlow(
        *m_run, *m_rows, *m_table,
        {[this] { return requestSession(); }, [this](const std::string& text) { warnUser(text); },
         [this] { m_host->warning(this, "Cannot Start New Thread"); }},
        this);

    m_alertCommand = new AlertCommand(this);
    connect(m_alertCommand, &AlertCommand::failed, this,
            [this](const QString& text) { showStatus(text); });
}

void CWatchDlg::prepareStore()
{
    if (!m_settings.dedupe) {
        return;
    }
    try {
        m_itemDb->ensureBbidIndex();
    } catch (const DbError& e) {
        // Without the index dedupe still works, only each look-up is slower.
        std::cerr << "tidewatch: no index on bbid: " << e.what() << '\n';
    }
}

void CWatchDlg::loadWatchList()
{
    if (!m_table || !CCore::isFileExist(m_paths.itemsFile)) {
        return;
    }
    // An unreadable list file has no failure path of its own: the table and
    // the list stay as they are.
    const Result<WatchLines> parsed = watchlist::readListFile(m_paths.itemsFile);
    if (!parsed) {
        return;
    }
    m_table->replaceAll(parsed.value().watches);
    showTable();
    warnLeftOut(parsed.value().leftOut);
}

void CWatchDlg::showTable()
{
    m_rows->reload();
    m_notice->listChanged();
}

Result<void> CWatchDlg::saveWatchList()
{
    if (!m_table) {
        return {};
    }
    const int count = m_table->watchCount();
    if (count == 0) {
        return {};
    }
    std::vector<std::string> urls;
    urls.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        urls.push_back(m_table->url(i));
    }
    return watchlist::save(m_paths.itemsFile, urls);
}

void CWatchDlg::OnImport()
{
    if (!m_table || m_closing) {
        return;
    }
    const std::string path = m_core->fileTxtOpen(this);
    if (path.empty()) {
        return;
    }
    const Result<WatchLines> read = watchlist::readImportFile(path);
    if (!read) {
        warnUser("导入文件无法读取：" + read.error());
        return;
    }
    const WatchLines& parsed = read.value();
    // An import without a usable line keeps the old list: table, rows, ids
    // and file stay as they are.
    if (parsed.watches.empty()) {
        warnLeftOut(parsed.leftOut);
        return;
    }
    // One step under the table's lock: a running worker sees the old list or
    // the new one, never a mixture, and a watch that stays keeps what its
    // checks left in its slot. The rows show the table, whatever happens to
    // the file, and are not read back from it: a reload would zero the table
    // again, losing what a check filed in between. Results still on their
    // way carry their watch's URL and find its new row.
    m_table->replaceAll(parsed.watches);
    showTable();
    if (const Result<void> saved = saveWatchList(); !saved) {
        warnUser("监控列表保存失败：" + saved.error());
    }
    warnLeftOut(parsed.leftOut);
}

void CWatchDlg::warnLeftOut(const LeftOut& leftOut)
{
    if (const std::string text = watchlist::leftOutText(leftOut); !text.empty()) {
        warnUser(text);
    }
}

bool CWatchDlg::readRunControls(bool warn)
{
    const IntervalInput interval = parseInterval(m_interval->text().toStdString());
    m_settings.interval = interval.value;
    m_settings.filtkc = m_filterStock->isChecked() ? 1 : 0;
    if (warn && !interval.error.empty()) {
        warnUser(interval.error);
        m_interval->setFocus();
        return false;
    }
    return true;
}

void CWatchDlg::setPollOptions(SessionSettings session, SessionFactory openSession,
                               PollClock* clock)
{
    m_run->setPollOptions(std::move(session), std::move(openSession), clock);
}

void CWatchDlg::setNotifyBus(const QString& address)
{
    m_notifier->setBusAddress(address);
}

void CWatchDlg::OnStartStop()
{
    if (!m_run || m_closing) {
        return;
    }
    if (m_run->isRunning()) {
        m_run->stop();
        return;
    }
    // The marking writes the worker's scratch files; Start is off meanwhile.
    if (m_run->state() != RunController::State::Idle || !readRunControls(true)) {
        return;
    }
    const std::optional<SessionSettings> session = requestSession();
    if (!session) {
        return;
    }
    prepareStore();
    if (!m_run->start(*session)) {
        m_host->warning(this, "Cannot Start New Thread");
    }
}

void CWatchDlg::onRunState(RunController::State state)
{
    switch (state) {
    case RunController::State::Running:
        m_start->setText(QStringLiteral("停止"));
        m_start->setEnabled(true);
        showStatus(QStringLiteral("执行中"));
        break;
    case RunController::State::Stopping:
    case RunController::State::Marking:
        m_start->setEnabled(false);
        break;
    case RunController::State::Idle:
        m_start->setEnabled(true);
        break;
    case RunController::State::Closing:
        break;
    }
}

void CWatchDlg::onCheckEnded(const PollMessage& message)
{
    const int row = m_rows->rowOf(message.slot, message.url);
    m_rows->showResult(row, message);
    if (m_tray) {
        m_tray->checkEnded(message, isVisible() && !isMinimized() && isActiveWindow());
    }
    if (!message.newIds.empty()) {
        m_alerter->alert(watchlist::searchKey(message.url), message.newIds);
        m_alertCommand->setItemHost(qs(m_settings.itemHost));
        m_alertCommand->setCommand(qs(m_settings.onAlert));
        if (m_alertCommand->isSet()) {
            m_alertCommand->run(alertInfo(message.url, message.newIds, *m_itemDb));
        }
        if (!m_settings.keepWatching) {
            // The alert ends the run; the check under way may finish first.
            m_run->stop(false);
        }
    }
    if (message.blockedNotice) {
        m_notice->report(message.url, message.reason);
    } else if (message.progress == PROGRESS_DONE || message.progress == PROGRESS_BASELINE) {
        m_notice->cleared(message.url);
    }
}

std::optional<SessionSettings> CWatchDlg::requestSession()
{
    m_settings.readRunOptions(*m_core);
    SessionSettings session =
        tw::requestSession(m_run->pollOptions(), m_settings, m_paths.appPath);
    if (const std::string problem = sessionSettingsProblem(session); !problem.empty()) {
        warnUser(problem);
        return std::nullopt;
    }
    return session;
}

void CWatchDlg::warnUser(const std::string& text)
{
    if (!m_closing) {
        m_core->msgboxWarning(this, text);
    }
}

void CWatchDlg::showStatus(const QString& text)
{
    m_status->setText(text);
    m_status->setToolTip(text);
}

void CWatchDlg::closeBySignal()
{
    m_closing = true;
    if (isVisible()) {
        close();
    } else if (m_tray) {
        // Hidden in the tray, where a close event does not reach the dialog.
        reject();
    }
}

void CWatchDlg::closeEvent(QCloseEvent* e)
{
    if (m_tray && !m_closing) {
        e->ignore();
        hide();
        return;
    }
    QDialog::closeEvent(e);
}

void CWatchDlg::done(int result)
{
    OnDestroy();
    QDialog::done(result);
}

void CWatchDlg::OnDestroy()
{
    if (m_destroyed) {
        return;
    }
    m_destroyed = true;
    if (m_run) {
        m_run->closeDown();
    }
    if (m_alerter) {
        m_alerter->stopAlarm();
    }

    // A set-up that ended at the database check never filled the controls:
    // their empty values must not replace the stored ones.
    if (m_setUpComplete) {
        readRunControls(false);
        for (const Result<void>& saved : {m_core->saveConfigInt("interval", m_settings.interval),
                                          m_core->saveConfigB("filtkc", m_settings.filtkc)}) {
            if (!saved) {
                std::cerr << "tidewatch: a setting was not saved: " << saved.error() << '\n';
            }
        }
    }
    if (const Result<void> saved = saveWatchList(); !saved) {
        // No box at close-down: it could hold a signalled exit forever.
        std::cerr << "tidewatch: the watch list was not saved: " << saved.error() << '\n';
    }
}

bool CWatchDlg::eventFilter(QObject* watched, QEvent* e)
{
    if (watched == this && m_tray &&
        (e->type() == QEvent::Show || e->type() == QEvent::WindowActivate)) {
        m_tray->windowSeen();
    }
    if (e->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(e)->key();
        if (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter) {
            return true;
        }
    }
    return QDialog::eventFilter(watched, e);
}

void CWatchDlg::bringToFront()
{
    if (isMinimized()) {
        showNormal();
    }
    show();
    raise();
    activateWindow();
}

void CWatchDlg::OnTimer(int id)
{
    if (id == ALARM_TIMER) {
        m_alerter->replay();
    }
}

void CWatchDlg::OnStopAlarm()
{
    m_stopAlarm->setEnabled(false);
    m_alerter->stopAlarm();
}

void CWatchDlg::OnWatchListDblClk(int row)
{
    if (row < 0 || !m_table || !m_itemDb || m_closing) {
        return;
    }
    m_rows->seen(m_table->url(row));
    CItemListDlg dlg(*m_core, *m_itemDb, m_settings, this);
    dlg.sid = m_table->sid(row);
    dlg.OnInitDialog();
    dlg.exec();
}

void CWatchDlg::OnMarkAllSeen(int row)
{
    if (m_markSeen && !m_closing) {
        m_markSeen->markAllSeen(row);
    }
}

void CWatchDlg::OnClearData()
{
    if (!m_itemDb || m_closing || m_core->msgboxConfirm(this, "确认清空已有数据?") != IDYES) {
        return;
    }
    try {
        m_itemDb->deleteAllItems();
    } catch (const DbError& e) {
        warnUser(std::string("清空数据失败：") + e.what());
    }
}

} // namespace tw
