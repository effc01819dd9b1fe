#include "app/program.h"

#include "core/settings.h"
#include "core/watchlistroom.h"
#include "core/watchlist.h"
#include "core/watchroster.h"
#include "core/watchtable.h"
#include "core/text.h"
#include "core/zuvira.h"
#include "desktop/alertcommand.h"
#include "desktop/desktopnotifier.h"
#include "desktop/trayicon.h"
#include "engine/sessioncheck.h"
#include "store/dberror.h"
#include "store/itemdb.h"
#include "ui/alerter.h"
#include "ui/alertoutbox.h"
#include "ui/blockednotice.h"
#include "ui/historydlg.h"
#include "ui/itemlistdlg.h"
#include "ui/markseenflow.h"
#include "ui/qtconvert.h"
#include "ui/quietwatches.h"
#include "ui/runcontroller.h"
#include "ui/settingsdlg.h"
#include "ui/traypresence.h"
#include "ui/unseenitems.h"
#include "ui/watchdlg.h"
#include "ui/watcheditdlg.h"
#include "ui/watchtrial.h"
#include "ui/watchlistmodel.h"

#include <iostream>

#include <QApplication>
#include <QPointer>

namespace tw {

Program::Program(std::shared_ptr<HostServices> host, std::string appDir, QObject* parent)
    : QObject(parent), m_host(std::move(host)), m_appDir(std::move(appDir)),
      m_window(std::make_unique<CWatchDlg>())
{
    m_notifier = new DesktopNotifier(QString(), this);
    connect(m_window.get(), &CWatchDlg::closingDown, this, [this] { closeDown(); });
}

Program::~Program()
{
    closeDown();
    // The window goes first: it shows the rooms' rows.
    m_window.reset();
    delete m_tray;
    delete m_markSeen;
    delete m_quiet;
    delete m_notice;
    delete m_alerter;
    delete m_outbox;
    delete m_alertCommand;
    delete m_rows;
    delete m_unseen;
    delete m_list;
    m_run.reset();
}

bool Program::setUp()
{
    m_core = std::make_unique<CCore>(m_host, m_appDir);
    m_core->autoFileConfig();
    m_paths = AppPaths::under(m_core->getAppPath());
    m_paths.dbFile = CCore::getPathShort(m_paths.appPath + "sys.mdb");

    if (!CCore::isFileExist(m_paths.dbFile)) {
        warnUser("数据库文件无法访问！程序退出。");
        m_window->done(1);
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
    m_table = std::make_unique<WatchTable>();
    m_roster = std::make_unique<WatchRoster>(*m_table);
    createRooms();
    m_window->OnInitDialog(*m_rows, *m_list, m_settings.interval, m_settings.filtkc != 0);
    // From here on the controls hold the stored values, so close-down may
    // save them back.
    m_setUpComplete = true;
    connectWindow();
    tellProblems();

    if (CCore::isFileExist(m_paths.itemsFile)) {
        if (const std::string leftOut = m_list->load(); !leftOut.empty()) {
            warnUser(leftOut);
        }
    }
    QPointer<Program> self(this);
    m_host->checkSound(m_paths.alertFile, [self](const std::string& problem) {
        if (self && !self->m_closedDown) {
            self->showStatus(qs(problem));
        }
    });
    createTray();
    // Before any run: what a close or a kill left untold is told now.
    m_outbox->resume();
    return true;
}

void Program::createRooms()
{
    m_list = new WatchListRoom(*m_roster, m_paths.itemsFile, this);
    m_run = std::make_unique<RunController>(
        RunContext{*m_roster, m_settings, m_paths, *m_itemDb, *m_core});
    m_unseen = new UnseenItems(*m_run, [this] { return m_window->inView(); }, this);
    m_rows = new WatchListModel(*m_list, *m_run, *m_unseen, this);
    m_alertCommand = new AlertCommand(this);
    m_outbox = new AlertOutbox({*m_core, *m_itemDb, m_settings, *m_notifier, *m_alertCommand}, this);
    m_alerter = new Alerter({*m_core, m_settings, m_paths, *m_notifier, *m_outbox}, *m_run, this);
    m_notice = new BlockedNotice(*m_list, *m_run, m_settings, *m_notifier, this);
    const auto ownInterval = [this](const std::string& url) -> std::optional<int> {
        const WatchEntry* w = m_list->at(m_list->rowOfUrl(url));
        return w ? w->options.interval : std::nullopt;
    };
    m_quiet = new QuietWatches({*m_itemDb, m_settings, *m_outbox, ownInterval}, *m_run, this);
    m_quiet->load();
    m_rows->showQuiet(*m_quiet);
    m_markSeen = new MarkSeenFlow(
        *m_run, *m_rows, *m_list,
        {[this] { return requestSession(); }, [this](const std::string& text) { warnUser(text); },
         [this] { m_host->warning(m_window.get(), "Cannot Start New Thread"); }},
        this);
}

void Program::connectWindow()
{
    CWatchDlg* w = m_window.get();
    connect(w, &CWatchDlg::importRequested, this, &Program::importList);
    connect(w, &CWatchDlg::addRequested, this, &Program::addWatch);
    connect(w, &CWatchDlg::editRequested, this, &Program::editWatch);
    connect(w, &CWatchDlg::pauseRequested, this, &Program::setPaused);
    connect(w, &CWatchDlg::muteRequested, this, &Program::setMuted);
    connect(w, &CWatchDlg::deleteRequested, this, &Program::deleteWatch);
    connect(w, &CWatchDlg::moveRequested, this, &Program::moveWatch);
    connect(w, &CWatchDlg::startStopRequested, this, &Program::startStop);
    connect(w, &CWatchDlg::stopAlarmRequested, m_alerter, &Alerter::stopAlarm);
    connect(w, &CWatchDlg::itemListRequested, this, &Program::openItemList);
    connect(w, &CWatchDlg::clearDataRequested, this, &Program::clearData);
    connect(w, &CWatchDlg::markAllSeenRequested, this, &Program::markAllSeen);
    connect(w, &CWatchDlg::searchPageRequested, this, &Program::openSearchPage);
    connect(w, &CWatchDlg::historyRequested, this, &Program::openHistory);
    connect(w, &CWatchDlg::settingsRequested, this, &Program::openSettings);
    connect(w, &CWatchDlg::windowSeen, m_unseen, &UnseenItems::windowSeen);

    connect(m_run.get(), &RunController::stateChanged, w, &CWatchDlg::showRunState);
    connect(m_run.get(), &RunController::runEnded, w, [w] { w->showRunEnded(); });
    connect(m_alerter, &Alerter::alarmStarted, w, &CWatchDlg::enableStopAlarm);
    connect(m_alerter, &Alerter::raiseRequested, w, &CWatchDlg::bringToFront);
    connect(m_notice, &BlockedNotice::noteChanged, w, &CWatchDlg::showNote);
    connect(m_alertCommand, &AlertCommand::failed, w, &CWatchDlg::showStatus);
    connect(m_quiet, &QuietWatches::quietTold, w, &CWatchDlg::showStatus);
    connect(m_outbox, &AlertOutbox::dropped, w, &CWatchDlg::showStatus);
}

void Program::createTray()
{
    if (!m_settings.tray) {
        return;
    }
    if (!TrayIcon::isAvailable()) {
        showStatus(QStringLiteral("提示：桌面没有系统托盘，tray=1 不起作用"));
        return;
    }
    CWatchDlg* w = m_window.get();
    m_tray = new TrayPresence(w->windowIcon(), *m_run, *m_unseen, *m_quiet, qs(m_paths.appPath),
                              this);
    w->setHidesToTray(true);
    connect(m_tray, &TrayPresence::showRequested, w, &CWatchDlg::bringToFront);
    connect(m_tray, &TrayPresence::startStopRequested, this, &Program::startStop);
    connect(m_tray, &TrayPresence::historyRequested, this, [this] {
        m_window->bringToFront();
        openHistory();
    });
    connect(m_tray, &TrayPresence::settingsRequested, this, [this] {
        m_window->bringToFront();
        openSettings();
    });
    // Ends the program as a signal does: an open box or dialog goes first,
    // then the close-down, the window being hidden or not.
    connect(m_tray, &TrayPresence::quitRequested, w, [w] {
        while (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            if (box == w) {
                break;
            }
            box->reject();
        }
        w->closeBySignal();
    });
    connect(m_tray, &TrayPresence::problem, w, &CWatchDlg::showStatus);
}

void Program::prepareStore()
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

Result<void> Program::saveWatchList()
{
    return m_list ? m_list->save() : Result<void>{};
}

void Program::importList()
{
    if (!m_list || m_window->closing()) {
        return;
    }
    const std::string path = m_core->fileTxtOpen(m_window.get());
    if (path.empty()) {
        return;
    }
    const WatchListRoom::ImportResult result = m_list->import(path);
    if (!result.readError.empty()) {
        warnUser("导入文件无法读取：" + result.readError);
        return;
    }
    if (!result.saveError.empty()) {
        warnUser("监控列表保存失败：" + result.saveError);
    }
    // Lines left out or merged need a box; a clean import is told in the
    // status line.
    if (!result.notes.empty() || !result.replaced) {
        warnUser(result.report);
    } else {
        showStatus(qs(result.report));
    }
}

void Program::saveAfterChange()
{
    if (const Result<void> saved = m_list->save(); !saved) {
        warnUser("监控列表保存失败：" + saved.error());
    }
}

void Program::addWatch()
{
    if (!m_list || m_window->closing()) {
        return;
    }
    CWatchEditDlg dlg(CWatchEditDlg::Mode::Add, {}, {},
                      {[this](const std::string& url) { return m_list->refusal(url); }, {}, {}},
                      m_window.get());
    if (dlg.exec() != QDialog::Accepted) {
        return;
    }
    // The list may have changed while the dialog was open (an import from
    // the tray): asked again.
    const std::optional<Watch> watch = watchlist::parseOne(dlg.url());
    if (const std::string refused = m_list->refusal(dlg.url()); !refused.empty() || !watch) {
        warnUser(refused);
        return;
    }
    if (m_list->add(*watch)) {
        m_list->setOptions(m_list->count() - 1, dlg.options());
        saveAfterChange();
    }
}

void Program::editWatch(int row)
{
    const WatchEntry* entry = m_list ? m_list->at(row) : nullptr;
    if (!entry || m_window->closing()) {
        return;
    }
    const WatchId id = entry->id;
    const std::string url = entry->url;
    const auto refusal = [this, id](const std::string& typed) {
        return m_list->refusal(typed, m_list->rowOf(id));
    };
    WatchTrial trial(*m_itemDb, *m_core, *m_run);
    const auto startTrial = [this, id, url, &trial](const std::string& typed,
                                                   const WatchOptions& options) {
        TrialRequest request;
        const std::optional<Watch> typedWatch = watchlist::parseOne(typed);
        request.url = typed;
        request.sid = typedWatch ? typedWatch->sid : watchlist::searchKey(typed);
        request.options = options;
        const std::optional<SessionSettings> session = requestSession();
        request.settings = m_settings;
        // Another URL is another search: nothing of the old one's last check counts.
        if (const int now = m_list->rowOf(id); now >= 0 && typed == url) {
            request.lastIds = m_roster->at(now).slot.lastIds;
        }
        request.restingUntil = m_rows->restingUntil(typed);
        TrialResult refused;
        refused.failed = true;
        if (!session) {
            refused.error = "网络设置有误，无法检测";
        } else {
            request.session = *session;
            if (trial.start(std::move(request))) {
                return;
            }
            refused.error = "Cannot Start New Thread";
        }
        Q_EMIT trial.finished(refused);
    };
    CWatchEditDlg dlg(CWatchEditDlg::Mode::Edit, entry->url, entry->options,
                      {refusal, startTrial, [&trial] { trial.cancel(); }}, m_window.get());
    connect(&trial, &WatchTrial::finished, &dlg, &CWatchEditDlg::showTrial);
    if (dlg.exec() != QDialog::Accepted) {
        return;
    }
    row = m_list->rowOf(id);
    if (row < 0) {
        return;
    }
    if (dlg.urlChanged()) {
        const std::optional<Watch> watch = watchlist::parseOne(dlg.url());
        if (const std::string refused = refusal(dlg.url()); !refused.empty() || !watch) {
            warnUser(refused);
            return;
        }
        m_list->replace(row, *watch);
    }
    m_list->setOptions(row, dlg.options());
    saveAfterChange();
}

void Program::setFlag(int row, std::optional<bool> WatchOptions::*flag, bool on)
{
    const WatchEntry* entry = m_list ? m_list->at(row) : nullptr;
    if (!entry) {
        return;
    }
    WatchOptions options = entry->options;
    // Off is the global value: the file keeps no line for it.
    options.*flag = on ? std::optional<bool>(true) : std::nullopt;
    m_list->setOptions(row, options);
    saveAfterChange();
}

void Program::setPaused(int row, bool paused)
{
    if (const WatchEntry* entry = m_list ? m_list->at(row) : nullptr; entry && paused) {
        // Time paused is no time watched: the quiet warning must not count it.
        m_quiet->resting(entry->url);
    }
    setFlag(row, &WatchOptions::paused, paused);
}

void Program::setMuted(int row, bool muted)
{
    setFlag(row, &WatchOptions::muted, muted);
}

void Program::deleteWatch(int row)
{
    const WatchEntry* entry = m_list ? m_list->at(row) : nullptr;
    if (!entry || m_window->closing()) {
        return;
    }
    const WatchId id = entry->id;
    const std::string question = "确认删除监控“" + WatchListRoom::shownName(*entry) + "”？";
    if (m_core->msgboxConfirm(m_window.get(), question) != IDYES) {
        return;
    }
    // The box may have let other events change the list.
    if (const int now = m_list->rowOf(id); now >= 0) {
        m_list->remove(now);
        saveAfterChange();
    }
}

void Program::moveWatch(int from, int to)
{
    if (m_list && m_list->move(from, to)) {
        saveAfterChange();
    }
}

bool Program::readRunControls(bool warn)
{
    const IntervalInput interval = parseInterval(m_window->intervalText().toStdString());
    if (m_settings.interval != interval.value) {
        m_settings.interval = interval.value;
        Q_EMIT settingChanged(QStringLiteral("interval"));
    }
    m_settings.filtkc = m_window->filterStock() ? 1 : 0;
    if (warn && !interval.error.empty()) {
        warnUser(interval.error);
        m_window->focusInterval();
        return false;
    }
    return true;
}

void Program::setPollOptions(SessionSettings session, SessionFactory openSession,
                             PollClock* clock)
{
    m_run->setPollOptions(std::move(session), std::move(openSession), clock);
}

void Program::setNotifyBus(const QString& address)
{
    m_notifier->setBusAddress(address);
}

bool Program::isRunning() const
{
    return m_run && m_run->isRunning();
}

void Program::startStop()
{
    if (!m_run || m_window->closing()) {
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
        m_host->warning(m_window.get(), "Cannot Start New Thread");
    }
}

void Program::rereadSettings()
{
    const RunSettings before = m_settings;
    m_settings.readRunOptions(*m_core);
    for (const SettingDef& def : kSettings) {
        const bool changed = def.number ? before.*def.number != m_settings.*def.number
                                        : before.*def.text != m_settings.*def.text;
        if (changed) {
            Q_EMIT settingChanged(qs(std::string(def.key)));
        }
    }
    tellProblems();
}

void Program::tellProblems()
{
    for (const std::string& problem : m_settings.problems) {
        if (m_problemsTold.insert(problem).second) {
            showStatus(qs(problem));
        }
    }
}

std::optional<SessionSettings> Program::requestSession()
{
    rereadSettings();
    SessionSettings session =
        tw::requestSession(m_run->pollOptions(), m_settings, m_paths.appPath);
    if (const std::string problem = sessionSettingsProblem(session); !problem.empty()) {
        warnUser(problem);
        return std::nullopt;
    }
    return session;
}

void Program::openItemList(int row)
{
    const WatchEntry* watch = m_list ? m_list->at(row) : nullptr;
    if (!watch || !m_itemDb || m_window->closing()) {
        return;
    }
    m_unseen->watchSeen(watch->url);
    CItemListDlg dlg(*m_core, *m_itemDb, m_settings, m_window.get());
    dlg.sid = watch->sid;
    dlg.OnInitDialog();
    dlg.exec();
}

void Program::openHistory()
{
    if (!m_itemDb || m_window->closing()) {
        return;
    }
    std::vector<HistoryWatch> watches;
    for (const WatchEntry& w : m_list->watches()) {
        watches.push_back({w.url, w.sid, w.options.name.value_or("")});
    }
    CHistoryDlg dlg(*m_core, *m_itemDb, m_settings, std::move(watches), m_window.get());
    dlg.OnInitDialog();
    dlg.exec();
}

void Program::openSettings()
{
    if (!m_setUpComplete || m_window->closing()) {
        return;
    }
    // The file as it is now, edits by hand included, but the interval and
    // filtkc as the window holds them: close-down saves those.
    readRunControls(false);
    RunSettings shown;
    shown.readFrom(*m_core);
    shown.interval = m_settings.interval;
    shown.filtkc = m_settings.filtkc;
    CSettingsDlg dlg(*m_core, shown, {QStringLiteral("interval"), QStringLiteral("filtkc")},
                     m_window.get());
    dlg.exec();
    const QStringList& keys = dlg.writtenKeys();
    if (keys.isEmpty()) {
        return;
    }
    if (keys.contains(QStringLiteral("interval"))) {
        m_window->showInterval(m_core->getConfigInt("interval"));
    }
    if (keys.contains(QStringLiteral("filtkc"))) {
        m_window->showFilterStock(m_core->getConfigB("filtkc") != 0);
    }
    readRunControls(false);
    rereadSettings();
}

void Program::markAllSeen(int row)
{
    if (m_markSeen && !m_window->closing()) {
        if (const WatchEntry* watch = m_list->at(row)) {
            // The user has acknowledged what the row counted.
            m_unseen->watchSeen(watch->url);
        }
        m_markSeen->markAllSeen(row);
    }
}

void Program::openSearchPage(int row)
{
    const WatchEntry* watch = m_list ? m_list->at(row) : nullptr;
    if (!watch) {
        return;
    }
    // A list file edited by hand may hold anything: the desktop's opener
    // gets web addresses only.
    if (text::isWebAddress(watch->url)) {
        m_core->openUrl(watch->url);
    } else {
        warnUser("只能在浏览器中打开 http 或 https 网址：" + watch->url);
    }
}

void Program::clearData()
{
    if (!m_itemDb || m_window->closing() ||
        m_core->msgboxConfirm(m_window.get(), "确认清空已有数据?") != IDYES) {
        return;
    }
    try {
        m_itemDb->deleteAllItems();
    } catch (const DbError& e) {
        warnUser(std::string("清空数据失败：") + e.what());
    }
}

void Program::warnUser(const std::string& text)
{
    if (!m_window->closing()) {
        m_core->msgboxWarning(m_window.get(), text);
    }
}

void Program::showStatus(const QString& text)
{
    m_window->showStatus(text);
}

void Program::closeDown()
{
    if (m_closedDown) {
        return;
    }
    m_closedDown = true;
    if (m_run) {
        m_run->closeDown();
    }
    if (m_alerter) {
        m_alerter->stopAlarm();
    }
    if (m_quiet) {
        m_quiet->save();
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

} // namespace tw
