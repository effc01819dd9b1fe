#include "ui/watchlistmodel.h"

#include "core/text.h"
#include "core/watchlistroom.h"
#include "core/zuvira.h"
#include "ui/qtconvert.h"
#include "ui/quietwatches.h"
#include "ui/runcontroller.h"
#include "ui/unseenitems.h"

namespace tw {

WatchListModel::WatchListModel(const WatchListRoom& list, const RunController& run,
                               const UnseenItems& unseen, QObject* parent)
    : QAbstractTableModel(parent), m_list(list), m_unseen(unseen)
{
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
            r.words = fresh.words;
        }
        Q_EMIT dataChanged(index(row, UrlColumn), index(row, StatusColumn));
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
    connect(&quiet, &QuietWatches::quietChanged, this, [this](const std::string& url) {
        for (std::size_t row = 0; row < m_rows.size(); ++row) {
            if (m_rows[row].url == url) {
                const int r = static_cast<int>(row);
                Q_EMIT dataChanged(index(r, UrlColumn), index(r, StatusColumn));
            }
        }
    });
}

WatchListModel::Row WatchListModel::rowFor(int listRow) const
{
    const WatchEntry& w = *m_list.at(listRow);
    // Shown decoded; the list and its file keep the URL as written.
    return {w.id, w.url, qs(text::readableQuery(CCore::getFg(w.url, '?', 1))), {}, {}};
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
        setRow(row, QStringLiteral("执行中"), m_rows[static_cast<std::size_t>(row)].lines);
    }
}

void WatchListModel::showResult(const CheckEnded& message)
{
    if (!message.items.empty()) {
        m_lastFound[message.watch.url] = message.at;
    }
    const int row = rowOf(message.watch);
    if (!isRow(row)) {
        return;
    }
    // A stopped check claims nothing: what the row said before stays in the tooltip.
    if (message.outcome == CheckOutcome::Stopped && message.items.empty()) {
        setRow(row, statusText(CheckOutcome::Stopped), m_rows[static_cast<std::size_t>(row)].lines);
        return;
    }
    QString status = statusText(message.outcome);
    std::string health;
    if (message.health) {
        WatchHealth record = *message.health;
        record.lastNewItem = lastFound(message.watch.url);
        health = healthText(record, message.at);
        if (message.outcome == CheckOutcome::Failed) {
            status = qs(failedRowText(record, message.at));
        }
    }
    // Items found outweigh a failure after them: they were stored and are reported.
    if (!message.items.empty()) {
        status = QStringLiteral("发现更新！");
    }
    std::string lines;
    for (const std::string* part : {&message.reason, static_cast<const std::string*>(&health)}) {
        if (!part->empty()) {
            lines += "\n" + *part;
        }
    }
    setRow(row, status, std::move(lines));
}

void WatchListModel::showMarked(const MarkingEnded& message)
{
    const int row = rowOf(message.watch);
    if (isRow(row)) {
        setRow(row, statusText(message.stored ? CheckOutcome::Baseline : CheckOutcome::Failed),
               message.stored || message.reason.empty() ? std::string() : "\n" + message.reason);
    }
}

std::optional<WallTime> WatchListModel::lastFound(const std::string& url) const
{
    const auto it = m_lastFound.find(url);
    return it == m_lastFound.end() ? std::nullopt : std::optional<WallTime>(it->second);
}

void WatchListModel::setRow(int row, QString status, std::string lines)
{
    Row& r = m_rows[static_cast<std::size_t>(row)];
    r.status = std::move(status);
    r.lines = std::move(lines);
    Q_EMIT dataChanged(index(row, UrlColumn), index(row, StatusColumn));
}

QString WatchListModel::status(int row) const
{
    if (!isRow(row)) {
        return {};
    }
    const Row& r = m_rows[static_cast<std::size_t>(row)];
    // A check under way, news and a failure say more than a quiet watch.
    if (m_quiet && m_quiet->isQuiet(r.url) &&
        (r.status.isEmpty() || r.status == statusText(CheckOutcome::Done) ||
         r.status == statusText(CheckOutcome::Baseline))) {
        return QStringLiteral("可能已失效");
    }
    return r.status;
}

QString WatchListModel::toolTip(int row) const
{
    if (!isRow(row)) {
        return {};
    }
    const Row& r = m_rows[static_cast<std::size_t>(row)];
    std::string tip = text::readableUrl(r.url) + r.lines;
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
    return index.column() == UrlColumn ? m_rows[static_cast<std::size_t>(index.row())].words
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
