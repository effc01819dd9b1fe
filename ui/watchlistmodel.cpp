#include "ui/watchlistmodel.h"

#include "core/text.h"
#include "core/watchoptions.h"
#include "core/watchlistroom.h"
#include "core/zuvira.h"
#include "ui/qtconvert.h"
#include "ui/quietwatches.h"
#include "ui/runcontroller.h"
#include "ui/unseenitems.h"

namespace tw {

WatchListModel::WatchListModel(const WatchListRoom& list, const RunController& run,
                               const UnseenItems& unseen, QObject* parent)
    : QAbstractTableModel(parent), m_list(list), m_unseen(unseen),
      m_now([] { return std::chrono::system_clock::now(); })
{
    // Active hours begin and end without a message.
    m_hoursTimer.setInterval(30 * 1000);
    connect(&m_hoursTimer, &QTimer::timeout, this, [this] { refreshStates(); });
    m_hoursTimer.start();
    connect(&unseen, &UnseenItems::watchCountChanged, this,
            [this](const std::string& url) { urlChanged(url); });
    connect(&list, &WatchListRoom::listReset, this, [this] { reset(); });
    connect(&list, &WatchListRoom::watchInserted, this, [this](int row) {
        beginInsertRows({}, row, row);
        m_rows.insert(m_rows.begin() + row, rowFor(row));
        endInsertRows();
    });
    connect(&list, &WatchListRoom::watchRemoved, this, [this](int row) {
        beginRemoveRows({}, row, row);
        m_rows.erase(m_rows.begin() + row);
        endRemoveRows();
    });
    connect(&list, &WatchListRoom::watchChanged, this, [this](int row) {
        Row& r = m_rows[static_cast<std::size_t>(row)];
        const Row fresh = rowFor(row);
        if (fresh.id != r.id) {
            // Another search: what the old one said no longer holds.
            r = fresh;
        } else {
            r.url = fresh.url;
            r.shownName = fresh.shownName;
            r.name = fresh.name;
            r.paused = fresh.paused;
            r.hours = fresh.hours;
        }
        rowChanged(row);
    });
    connect(&list, &WatchListRoom::watchMoved, this, [this](int from, int to) {
        beginMoveRows({}, from, from, {}, to > from ? to + 1 : to);
        Row moving = std::move(m_rows[static_cast<std::size_t>(from)]);
        m_rows.erase(m_rows.begin() + from);
        m_rows.insert(m_rows.begin() + to, std::move(moving));
        endMoveRows();
    });
    connect(&run, &RunController::checkBegan, this,
            [this](const CheckBegan& m) { showChecking(rowOf(m.watch)); });
    connect(&run, &RunController::checkEnded, this,
            [this](const CheckEnded& m) { showResult(m); });
    connect(&run, &RunController::markingEnded, this,
            [this](const MarkingEnded& m) { showMarked(m); });
}

void WatchListModel::showQuiet(const QuietWatches& quiet)
{
    m_quiet = &quiet;
    connect(&quiet, &QuietWatches::quietChanged, this,
            [this](const std::string& url) { urlChanged(url); });
}

void WatchListModel::setClock(std::function<WallTime()> now)
{
    m_now = std::move(now);
    refreshStates();
}

void WatchListModel::refreshStates()
{
    if (!m_rows.empty()) {
        Q_EMIT dataChanged(index(0, StatusColumn),
                           index(static_cast<int>(m_rows.size()) - 1, StatusColumn));
    }
}

void WatchListModel::rowChanged(int row)
{
    Q_EMIT dataChanged(index(row, UrlColumn), index(row, StatusColumn));
}

void WatchListModel::urlChanged(const std::string& url)
{
    for (std::size_t row = 0; row < m_rows.size(); ++row) {
        if (m_rows[row].url == url) {
            rowChanged(static_cast<int>(row));
        }
    }
}

WatchListModel::Row WatchListModel::rowFor(int listRow) const
{
    const WatchEntry& w = *m_list.at(listRow);
    Row row;
    row.id = w.id;
    row.url = w.url;
    row.name = w.options.name.value_or(std::string());
    // Shown decoded; the list and its file keep the URL as written.
    row.shownName = qs(WatchListRoom::shownName(w));
    row.paused = w.options.paused.value_or(false);
    row.hours = w.options.hours;
    return row;
}

void WatchListModel::reset()
{
    // Each row shows its URL, statuses cleared; what is kept per watch (the
    // last time it found items) stays with its URL.
    beginResetModel();
    m_rows.clear();
    for (int row = 0; row < m_list.count(); ++row) {
        m_rows.push_back(rowFor(row));
    }
    endResetModel();
}

int WatchListModel::rowOf(const WatchRef& watch) const
{
    if (watch.id != 0) {
        for (std::size_t row = 0; row < m_rows.size(); ++row) {
            if (m_rows[row].id == watch.id) {
                return static_cast<int>(row);
            }
        }
        return -1;
    }
    // A watch the list never named: found by its URL, where it was first.
    if (isRow(watch.slot) && m_rows[static_cast<std::size_t>(watch.slot)].url == watch.url) {
        return watch.slot;
    }
    for (std::size_t row = 0; row < m_rows.size(); ++row) {
        if (m_rows[row].url == watch.url) {
            return static_cast<int>(row);
        }
    }
    return -1;
}

QString WatchListModel::statusText(CheckOutcome outcome)
{
    switch (outcome) {
    case CheckOutcome::Failed:
        return QStringLiteral("检测失败");
    case CheckOutcome::Baseline:
        return QStringLiteral("已建立基线");
    case CheckOutcome::Stopped:
        return QStringLiteral("已中断");
    case CheckOutcome::Done:
        break;
    }
    return QStringLiteral("无更新");
}

void WatchListModel::showChecking(int row)
{
    if (isRow(row)) {
        m_rows[static_cast<std::size_t>(row)].checking = true;
        rowChanged(row);
    }
}

void WatchListModel::showResult(const CheckEnded& message)
{
    if (!message.items.empty()) {
        m_lastFound[message.watch.url] = message.at;
    }
    if (message.health && message.health->pausedUntilWall && message.health->pausedUntil) {
        m_restingUntil[message.watch.url] = *message.health->pausedUntilWall;
    } else if (message.health) {
        m_restingUntil.erase(message.watch.url);
    }
    const int row = rowOf(message.watch);
    if (!isRow(row)) {
        return;
    }
    m_rows[static_cast<std::size_t>(row)].checking = false;
    // A stopped check claims nothing: what the row said before stays in the tooltip.
    if (message.outcome == CheckOutcome::Stopped && message.items.empty()) {
        setRow(row, statusText(CheckOutcome::Stopped), m_rows[static_cast<std::size_t>(row)].lines);
        return;
    }
    QString status = statusText(message.outcome);
    std::string health;
    bool failed = false;
    if (message.health) {
        WatchHealth record = *message.health;
        record.lastNewItem = lastFound(message.watch.url);
        health = healthText(record, message.at);
        if (message.outcome == CheckOutcome::Failed) {
            status = qs(failedRowText(record, message.at));
        }
    }
    // Items found outweigh a failure after them: they were stored and are
    // reported, and the row counts them while they are unseen.
    if (message.items.empty() && message.outcome == CheckOutcome::Failed) {
        failed = true;
    } else if (!message.items.empty()) {
        status = statusText(CheckOutcome::Done);
    }
    std::string lines;
    for (const std::string* part : {&message.reason, static_cast<const std::string*>(&health)}) {
        if (!part->empty()) {
            lines += "\n" + *part;
        }
    }
    setRow(row, status, std::move(lines), failed);
}

void WatchListModel::showMarked(const MarkingEnded& message)
{
    const int row = rowOf(message.watch);
    if (isRow(row)) {
        m_rows[static_cast<std::size_t>(row)].checking = false;
        setRow(row, statusText(message.stored ? CheckOutcome::Baseline : CheckOutcome::Failed),
               message.stored || message.reason.empty() ? std::string() : "\n" + message.reason,
               !message.stored);
    }
}

std::optional<WallTime> WatchListModel::lastFound(const std::string& url) const
{
    const auto it = m_lastFound.find(url);
    return it == m_lastFound.end() ? std::nullopt : std::optional<WallTime>(it->second);
}

std::optional<WallTime> WatchListModel::restingUntil(const std::string& url) const
{
    const auto it = m_restingUntil.find(url);
    if (it == m_restingUntil.end() || it->second <= m_now()) {
        return std::nullopt;
    }
    return it->second;
}

void WatchListModel::setRow(int row, QString status, std::string lines, bool failed)
{
    Row& r = m_rows[static_cast<std::size_t>(row)];
    r.status = std::move(status);
    r.lines = std::move(lines);
    r.failed = failed;
    rowChanged(row);
}

QString WatchListModel::status(int row) const
{
    if (!isRow(row)) {
        return {};
    }
    const Row& r = m_rows[static_cast<std::size_t>(row)];
    if (r.checking) {
        return QStringLiteral("执行中");
    }
    if (const int unseen = m_unseen.forWatch(r.url); unseen > 0) {
        return QStringLiteral("发现更新！(%1)").arg(unseen);
    }
    if (r.failed) {
        return r.status;
    }
    if (m_quiet && m_quiet->isQuiet(r.url)) {
        return QStringLiteral("可能已失效");
    }
    if (r.paused) {
        return QStringLiteral("已暂停");
    }
    if (r.hours && !r.hours->contains(watchoptions::localMinuteOfDay(m_now()))) {
        return QStringLiteral("时段外");
    }
    return r.status;
}

QString WatchListModel::toolTip(int row) const
{
    if (!isRow(row)) {
        return {};
    }
    const Row& r = m_rows[static_cast<std::size_t>(row)];
    std::string tip = (r.name.empty() ? std::string() : r.name + "\n") +
                      text::readableUrl(r.url) + r.lines;
    if (m_quiet && m_quiet->isQuiet(r.url)) {
        tip += "\n" + m_quiet->toolTipLine(r.url);
    }
    if (const int n = m_unseen.forWatch(r.url); n > 0) {
        tip += "\n" + CCore::getStrInt(n) + " 件新宝贝未查看（双击查看宝贝列表）";
    }
    return qs(tip);
}

int WatchListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int WatchListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant WatchListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || !isRow(index.row())) {
        return {};
    }
    if (role == Qt::ToolTipRole) {
        return toolTip(index.row());
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    return index.column() == UrlColumn ? m_rows[static_cast<std::size_t>(index.row())].shownName
                                       : status(index.row());
}

QVariant WatchListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    return section == UrlColumn ? QStringLiteral("网址") : QStringLiteral("执行状态");
}

} // namespace tw
