#include "ui/watchdlg.h"

#include "desktop/desktopnotifier.h"
#include "core/text.h"
#include "core/watchlist.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "engine/sessioncheck.h"
#include "engine/watchhealth.h"
#include "store/itemdb.h"
#include "ui/dialogunits.h"
#include "ui/itemlistdlg.h"
#include "ui/pollevent.h"
#include "ui/qtconvert.h"
#include "ui/rowtips.h"

#include <iostream>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTableWidget>

// Resources of a static library must be registered by name, outside any namespace.
static void initUiResources()
{
    Q_INIT_RESOURCE(ui);
}

namespace tw {

namespace {

template <typename W>
W* place(QWidget* parent, const DialogUnits& du, int id, const char* name, int x, int y, int w,
         int h)
{
    auto* widget = new W(parent);
    if (name) {
        widget->setObjectName(QLatin1String(name));
    }
    widget->setProperty("controlId", id);
    widget->setGeometry(du.rect(x, y, w, h));
    return widget;
}

} // namespace

CWatchDlg::CWatchDlg(std::shared_ptr<HostServices> host, std::string appDir, QWidget* parent)
    : QDialog(parent), m_host(std::move(host)), m_appDir(std::move(appDir))
{
    initUiResources();
    m_appIcon = QIcon(QStringLiteral(":/tidewatch/tidewatch.png"));
    createControls();

    m_alarmTimer.setSingleShot(true);
    m_alarmTimer.setInterval(kAlarmReplay);
    connect(&m_alarmTimer, &QTimer::timeout, this, [this] { OnTimer(ALARM_TIMER); });
}

CWatchDlg::~CWatchDlg()
{
    OnDestroy();
}

void CWatchDlg::createControls()
{
    setObjectName(QStringLiteral("IDD_WATCH"));
    setProperty("controlId", IDD);
    setWindowTitle(QStringLiteral("Tidewatch"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(DialogUnits::templateFont());
    const DialogUnits du(font());
    setFixedSize(du.x(495), du.y(272));

    // Template order, which is also the tab order.
    m_start = place<QPushButton>(this, du, IDC_START, "IDC_START", 438, 251, 50, 14);
    m_start->setText(QStringLiteral("开始"));

    m_interval = place<QLineEdit>(this, du, IDC_INTERVAL, "IDC_INTERVAL", 51, 7, 39, 14);
    m_interval->setAlignment(Qt::AlignCenter);
    // Typing takes digits only; a stored negative number is still shown as is.
    m_interval->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_interval));

    m_watchListView =
        place<QTableWidget>(this, du, IDC_WATCH_LIST, "IDC_WATCH_LIST", 7, 42, 481, 188);
    m_watchListView->setSelectionMode(QAbstractItemView::SingleSelection);
    m_watchListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_watchListView->verticalHeader()->hide();
    // Rows as compact as a report list's, not the item view's roomy default.
    m_watchListView->verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 6);
    m_watchListView->setWordWrap(false);

    m_status = place<QLabel>(this, du, IDC_STATUS, "IDC_STATUS", 7, 257, 178, 8);
    m_status->setText(QStringLiteral("就绪"));
    m_status->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    auto* intervalLabel = place<QLabel>(this, du, -1, "IDC_STATIC_INTERVAL", 7, 9, 41, 8);
    intervalLabel->setText(QStringLiteral("检测间隔："));
    auto* secondsLabel = place<QLabel>(this, du, -1, "IDC_STATIC_SECONDS", 98, 9, 9, 8);
    secondsLabel->setText(QStringLiteral("秒"));

    m_import = place<QPushButton>(this, du, IDC_IMPORT, "IDC_IMPORT", 438, 26, 50, 14);
    m_import->setText(QStringLiteral("导入"));

    m_stopAlarm = place<QPushButton>(this, du, IDC_STOP_ALARM, "IDC_STOP_ALARM", 295, 251, 50, 14);
    m_stopAlarm->setText(QStringLiteral("停止报警"));
    m_stopAlarm->setEnabled(false);
    m_stopAlarm->hide();

    m_filterStock =
        place<QCheckBox>(this, du, IDC_FILTER_STOCK, "IDC_FILTER_STOCK", 158, 7, 48, 10);
    m_filterStock->setText(QStringLiteral("过滤库存"));
    m_filterStock->hide();

    m_clearData = place<QPushButton>(this, du, IDC_CLEAR_DATA, "IDC_CLEAR_DATA", 223, 7, 50, 14);
    m_clearData->setText(QStringLiteral("清空数据"));
    m_clearData->hide();

    // Between the list and the buttons; shown only once there is something to tell.
    m_notice = place<QLabel>(this, du, IDC_NOTICE, "IDC_NOTICE", 7, 234, 481, 10);
    m_notice->setStyleSheet(QStringLiteral("color: #b00000;"));
    m_notice->hide();

    QWidget::setTabOrder(m_start, m_interval);
    QWidget::setTabOrder(m_interval, m_watchListView);
    QWidget::setTabOrder(m_watchListView, m_import);
    QWidget::setTabOrder(m_import, m_stopAlarm);
    QWidget::setTabOrder(m_stopAlarm, m_filterStock);
    QWidget::setTabOrder(m_filterStock, m_clearData);

    for (QPushButton* button : {m_start, m_import, m_stopAlarm, m_clearData}) {
        // Enter must never press a button: it does nothing in this window.
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    connect(m_import, &QPushButton::clicked, this, [this] { OnImport(); });
    connect(m_start, &QPushButton::clicked, this, [this] { OnStartStop(); });
    connect(m_watchListView, &QTableWidget::doubleClicked, this,
            [this](const QModelIndex& index) { OnWatchListDblClk(index.row()); });
    connect(m_stopAlarm, &QPushButton::clicked, this, [this] { OnStopAlarm(); });
    connect(m_clearData, &QPushButton::clicked, this, [this] { OnClearData(); });
    m_watchListView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_watchListView, &QTableWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) {
                QMenu* menu = rowMenu(m_watchListView->indexAt(pos).row());
                if (menu) {
                    menu->setAttribute(Qt::WA_DeleteOnClose);
                    menu->popup(m_watchListView->viewport()->mapToGlobal(pos));
                }
            });

    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>()) {
        child->installEventFilter(this);
    }
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

    m_watchListView->setShowGrid(true);
    m_watchListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_watchListView->setColumnCount(2);
    m_watchListView->setHorizontalHeaderLabels(
        {QStringLiteral("网址"), QStringLiteral("执行状态")});
    m_watchListView->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_watchListView->setColumnWidth(0, 450);
    m_watchListView->setColumnWidth(1, 220);

    m_table = std::make_unique<WatchTable>();
    m_rowTips = std::make_unique<RowTips>(*m_table);
    loadWatchList();

    m_isRunning = false;
    m_runFlag.clear();

    QPointer<CWatchDlg> self(this);
    m_host->checkSound(m_paths.alertFile, [self](const std::string& problem) {
        if (self && !self->m_destroyed) {
            self->m_status->setText(qs(problem));
            self->m_status->setToolTip(qs(problem));
        }
    });
    return true;
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
    m_watchListView->setRowCount(0);
    const int n = m_table->watchCount();
    m_watchListView->setRowCount(n);
    m_rowTips->reset(n);
    for (int i = 0; i < n; ++i) {
        const std::string url = m_table->url(i);
        // Shown decoded; the table and the file keep the URL as written.
        m_watchListView->setItem(
            i, 0, m_rowTips->cell(qs(text::readableQuery(CCore::getFg(url, '?', 1)))));
    }
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
    // again, losing what a check filed in between.
    m_table->replaceAll(parsed.watches);
    showTable();
    // Reports that were waiting in a slot when the list was replaced may now
    // sit in another row, whose message has already come or never will.
    for (int row = 0; row < m_table->watchCount(); ++row) {
        const std::string pending = m_table->takeNewIds(row);
        if (!pending.empty()) {
            setRowStatus(row, QStringLiteral("发现更新！"));
            raiseAlert(pending, row);
        }
    }

    if (const Result<void> saved = saveWatchList(); !saved) {
        warnUser("监控列表保存失败：" + saved.error());
    }
    warnLeftOut(parsed.leftOut);
}

void CWatchDlg::warnLeftOut(int leftOut)
{
    if (leftOut <= 0) {
        return;
    }
    warnUser("有 " + CCore::getStrInt(leftOut) +
             " 行网址未载入：列表最多 1000 行，网址或搜索词过长的行无法使用。");
}

bool CWatchDlg::readRunControls(bool warn)
{
    bool ok = false;
    const int interval = m_interval->text().trimmed().toInt(&ok);
    m_settings.interval = ok ? interval : 0;
    m_settings.filtkc = m_filterStock->isChecked() ? 1 : 0;
    if (warn && m_settings.interval < 1) {
        warnUser("间隔时间不能小于1秒！");
        m_interval->setFocus();
        return false;
    }
    return true;
}

void CWatchDlg::setPollOptions(SessionSettings session, SessionFactory openSession,
                               PollClock* clock)
{
    m_sessionSettings = session;
    m_openSession = std::move(openSession);
    m_pollClock = clock;
}

void CWatchDlg::OnStartStop()
{
    if (!m_table || (m_closing && !m_isRunning)) {
        return;
    }
    if (m_isRunning) {
        m_start->setEnabled(false);
        m_runFlag.requestStop();
        return;
    }
    if (!readRunControls(true)) {
        return;
    }
    // The marking writes the worker's scratch files; Start is off meanwhile.
    if (m_markSeen) {
        return;
    }
    m_runFlag.clear();
    // The previous worker posted its last message; its thread is ending.
    if (m_worker) {
        m_worker->join();
        m_worker.reset();
    }
    const std::optional<SessionSettings> session = requestSession();
    if (!session) {
        return;
    }
    prepareStore();

    PollThreadParams params{*this, *m_table, m_runFlag, m_settings, m_paths, *m_itemDb, *m_core};
    params.session = *session;
    params.openSession = m_openSession;
    params.clock = m_pollClock;
    m_worker = std::make_unique<CPollThread>(std::move(params));
    if (!m_worker->CreateThread()) {
        m_worker.reset();
        m_host->warning(this, "Cannot Start New Thread");
        return;
    }
    m_start->setText(QStringLiteral("停止"));
    m_status->setText(QStringLiteral("执行中"));
    m_isRunning = true;
}

std::optional<SessionSettings> CWatchDlg::requestSession()
{
    m_settings.readRunOptions(*m_core);
    SessionSettings session = tw::requestSession(m_sessionSettings, m_settings, m_paths.appPath);
    if (const std::string problem = sessionSettingsProblem(session); !problem.empty()) {
        warnUser(problem);
        return std::nullopt;
    }
    return session;
}

void CWatchDlg::stopWorker()
{
    if (!m_worker) {
        return;
    }
    // abort() also breaks a stalled download, so the close never waits for
    // the network's time-outs.
    m_runFlag.requestStop();
    m_worker->abort();
    m_worker->join();
    m_worker.reset();
}

void CWatchDlg::warnUser(const std::string& text)
{
    if (!m_closing) {
        m_core->msgboxWarning(this, text);
    }
}

void CWatchDlg::closeBySignal()
{
    m_closing = true;
    if (isVisible()) {
        close();
    }
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
    stopWorker();
    if (m_markSeen) {
        m_markSeen->abort();
        m_markSeen.reset();
    }
    m_alarmTimer.stop();

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

void CWatchDlg::setRowStatus(int row, const QString& text)
{
    if (row < 0 || row >= m_watchListView->rowCount()) {
        return;
    }
    m_watchListView->setItem(row, 1, m_rowTips->cell(text));
}

QString CWatchDlg::statusText(std::intptr_t progress)
{
    switch (progress) {
    case PROGRESS_BEGIN:
        return QStringLiteral("执行中");
    case PROGRESS_FAILED:
        return QStringLiteral("检测失败");
    case PROGRESS_BASELINE:
        return QStringLiteral("已建立基线");
    default:
        return QStringLiteral("无更新");
    }
}

void CWatchDlg::postMessage(unsigned msg, std::intptr_t wParam, std::intptr_t lParam)
{
    QCoreApplication::postEvent(this, new PollEvent(msg, wParam, lParam));
}

bool CWatchDlg::event(QEvent* e)
{
    if (e->type() == PollEvent::eventType()) {
        const auto* pe = static_cast<PollEvent*>(e);
        if (!m_destroyed && m_table) {
            if (pe->msg() == WM_POLL_PROGRESS) {
                handleProgress(pe->wParam(), pe->lParam());
            } else if (pe->msg() == WM_POLL_DONE) {
                handleDone(pe->lParam());
            } else if (pe->msg() == WM_MARK_SEEN_DONE) {
                handleMarkSeenDone(pe->wParam(), pe->lParam());
            }
        }
        return true;
    }
    return QDialog::event(e);
}

void CWatchDlg::handleProgress(std::intptr_t wParam, std::intptr_t lParam)
{
    if (lParam < 0 || lParam >= WatchTable::kSlots) {
        return;
    }
    const int row = static_cast<int>(lParam);
    QString status = statusText(wParam);
    // Read and emptied in one step under the table's lock, so a worker
    // write in between is never lost.
    const std::string newIds = m_table->takeNewIds(row);
    if (!newIds.empty()) {
        status = QStringLiteral("发现更新！");
        raiseAlert(newIds, row);
    }
    std::string reason;
    std::string health;
    if (m_worker) {
        reason = m_worker->failureReason(row);
        const WatchHealth record = m_worker->health(row);
        if (record.url == m_table->url(row)) {
            health = healthText(record, m_worker->wallNow());
            if (wParam == PROGRESS_FAILED && newIds.empty()) {
                status = qs(failedRowText(record, m_worker->wallNow()));
            }
        }
    }
    setRowStatus(row, status);
    setRowToolTip(row, reason, health);
    if (wParam == PROGRESS_FAILED && m_worker && m_worker->takeBlockedNotice(row)) {
        noticeBlocked(row, reason);
    }
}

void CWatchDlg::setRowToolTip(int row, const std::string& reason, const std::string& health)
{
    if (row < 0 || row >= m_watchListView->rowCount()) {
        return;
    }
    m_rowTips->set(row, reason, health);
}

void CWatchDlg::noticeBlocked(int row, const std::string& reason)
{
    const std::string query = text::readableQuery(CCore::getFg(m_table->url(row), '?', 1));
    const QString note = qs("第 " + CCore::getStrInt(row + 1) + " 行疑似被拦截（" + query +
                            "）：请检查 cookiefile 等设置，或稍后再试。");
    // The desktop's notification where it has one; the note in the window
    // when it has none or the service turns the notification down.
    m_pendingNote = {note, qs(reason)};
    if (!m_settings.notify || !notifier().notify(QStringLiteral("疑似被拦截"), note)) {
        showPendingNote();
    }
}

void CWatchDlg::showPendingNote()
{
    if (m_pendingNote.first.isEmpty()) {
        return;
    }
    m_notice->setText(m_pendingNote.first);
    m_notice->setToolTip(m_pendingNote.second);
    m_notice->show();
    m_pendingNote = {};
}

DesktopNotifier& CWatchDlg::notifier()
{
    if (!m_notifier) {
        m_notifier = new DesktopNotifier(m_notifyBus, this);
        connect(m_notifier, &DesktopNotifier::activated, this, [this] { bringToFront(); });
        connect(m_notifier, &DesktopNotifier::shown, this, [this] { m_pendingNote = {}; });
        connect(m_notifier, &DesktopNotifier::notShown, this, [this] { showPendingNote(); });
    }
    return *m_notifier;
}

void CWatchDlg::handleDone(std::intptr_t)
{
    // Nothing follows WM_POLL_DONE from the worker: its thread is ending.
    if (m_worker) {
        m_worker->join();
        m_worker.reset();
    }
    m_isRunning = false;
    m_runFlag.clear();
    m_status->setText(QStringLiteral("停止。"));
    m_start->setText(QStringLiteral("执行"));
    m_start->setEnabled(true);
}

bool CWatchDlg::eventFilter(QObject* watched, QEvent* e)
{
    if (e->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(e)->key();
        if (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter) {
            return true;
        }
    }
    return QDialog::eventFilter(watched, e);
}

void CWatchDlg::setAlarmReplayDelay(std::chrono::milliseconds delay)
{
    m_alarmTimer.setInterval(delay);
}

void CWatchDlg::raiseAlert(const std::string& idList, int row)
{
    m_stopAlarm->setEnabled(true);
    m_alarmTimer.start();
    m_core->playWav(m_paths.alertFile);
    for (int n = 0; n < 30; ++n) {
        const std::string id = CCore::getFg(idList, ',', n);
        if (id.empty()) {
            break;
        }
        m_core->openUrl("http://" + m_settings.itemHost +
                        "/item.htm?id=" + text::percentEncode(id));
    }
    if (m_settings.notify && row >= 0) {
        notifyAlert(idList, row);
    }
    if (m_isRunning) {
        m_start->setEnabled(false);
        m_runFlag.requestStop();
    }
}

void CWatchDlg::notifyAlert(const std::string& idList, int row)
{
    const std::string sid = m_table->sid(row);
    const std::vector<std::string_view> ids = text::splitFields(idList, ',');
    const int count = static_cast<int>(ids.size());
    QStringList titles;
    try {
        for (std::size_t n = 0; n < ids.size() && titles.size() < DesktopNotifier::kTitlesShown;
             ++n) {
            const std::string title = m_itemDb->itemTitle(sid, std::string(ids[n]));
            if (!title.empty()) {
                titles << qs(title);
            }
        }
    } catch (const DbError&) {
        // The notification goes out without the titles it could not read.
    }
    notifier().notifyAlert(qs(text::readableQuery(sid)), count, titles,
                           count > 30 ? count - 30 : 0);
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
        m_alarmTimer.stop();
        m_core->playWav(m_paths.alertFile);
    }
}

void CWatchDlg::OnStopAlarm()
{
    m_stopAlarm->setEnabled(false);
    m_alarmTimer.stop();
    m_core->stopWav();
}

void CWatchDlg::OnWatchListDblClk(int row)
{
    if (row < 0 || !m_table || !m_itemDb || m_closing) {
        return;
    }
    CItemListDlg dlg(*m_core, *m_itemDb, m_settings, this);
    dlg.sid = m_table->sid(row);
    dlg.OnInitDialog();
    dlg.exec();
}

QMenu* CWatchDlg::rowMenu(int row)
{
    if (!m_table || row < 0 || row >= m_table->watchCount()) {
        return nullptr;
    }
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("IDM_WATCH_ROW"));
    connect(menu->addAction(QStringLiteral("在浏览器中打开搜索页")), &QAction::triggered, this,
            [this, row] { m_core->openUrl(m_table->url(row)); });
    connect(menu->addAction(QStringLiteral("查看宝贝列表")), &QAction::triggered, this,
            [this, row] { OnWatchListDblClk(row); });
    connect(menu->addAction(QStringLiteral("全部标记为已见")), &QAction::triggered, this,
            [this, row] { OnMarkAllSeen(row); });
    connect(menu->addAction(QStringLiteral("复制网址")), &QAction::triggered, this,
            [this, row] { QGuiApplication::clipboard()->setText(qs(m_table->url(row))); });
    return menu;
}

void CWatchDlg::OnMarkAllSeen(int row)
{
    if (!m_table || !m_itemDb || m_closing || row < 0 || row >= m_table->watchCount()) {
        return;
    }
    if (m_isRunning) {
        warnUser("监控正在执行，无法标记为已见，请先停止。");
        return;
    }
    if (m_markSeen) {
        warnUser("正在标记另一个监控，请稍候。");
        return;
    }
    // Behind the same login wall as a run: the same cookies, User-Agent and proxy.
    const std::optional<SessionSettings> session = requestSession();
    if (!session) {
        return;
    }
    const SlotCopy copy = m_table->slot(row);
    MarkSeenParams params{*this, *m_itemDb, *m_core, row, copy.url, copy.sid};
    params.pageFile = m_paths.pageFile;
    params.titlesFile = m_paths.titlesFile;
    params.ignoreWords = m_settings.ignoreWords;
    params.session = *session;
    params.openSession = m_openSession;
    m_markSeen = std::make_unique<CMarkSeenTask>(std::move(params));
    if (!m_markSeen->start()) {
        m_markSeen.reset();
        m_host->warning(this, "Cannot Start New Thread");
        return;
    }
    m_start->setEnabled(false);
    setRowStatus(row, statusText(PROGRESS_BEGIN));
}

void CWatchDlg::handleMarkSeenDone(std::intptr_t wParam, std::intptr_t lParam)
{
    if (!m_markSeen) {
        return;
    }
    m_markSeen->join();
    const std::string error = m_markSeen->error();
    m_markSeen.reset();
    m_start->setEnabled(true);
    const int row = static_cast<int>(lParam);
    setRowStatus(row, statusText(wParam ? PROGRESS_BASELINE : PROGRESS_FAILED));
    setRowToolTip(row, wParam ? std::string() : error, {});
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
