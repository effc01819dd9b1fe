#include "ui/watchlistmodel.h"

#include "core/text.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "ui/qtconvert.h"

namespace tw {

WatchListModel::WatchListModel(const WatchTable& table, QObject* parent)
    : QAbstractTableModel(parent), m_table(table)
{}

void WatchListModel::reload()
{
    beginResetModel();
    m_rows.assign(static_cast<std::size_t>(m_table.watchCount()), Row{});
    endResetModel();
}

int WatchListModel::rowOf(int hint, const std::string& url) const
{
    const int row = m_table.slotOf(hint, url);
    return isRow(row) ? row : -1;
}

QString WatchListModel::statusText(std::intptr_t progress)
{
    switch (progress) {
    case PROGRESS_BEGIN:
        return QStringLiteral("执行中");
    case PROGRESS_FAILED:
        return QStringLiteral("检测失败");
    case PROGRESS_BASELINE:
        return QStringLiteral("已建立基线");
    case PROGRESS_STOPPED:
        return QStringLiteral("已中断");
    default:
        return QStringLiteral("无更新");
    }
}

void WatchListModel::showChecking(int row)
{
    if (isRow(row)) {
        setRow(row, statusText(PROGRESS_BEGIN), m_rows[static_cast<std::size_t>(row)].lines);
    }
}

void WatchListModel::showResult(int row, const PollMessage& message)
{
    if (!message.newIds.empty()) {
        m_lastFound[message.url] = message.at;
        m_unseen[message.url] += static_cast<int>(text::splitFields(message.newIds, ',').size());
    }
    if (!isRow(row)) {
        return;
    }
    // A stopped check claims nothing: what the row said before stays in the tooltip.
    if (message.progress == PROGRESS_STOPPED && message.newIds.empty()) {
        setRow(row, statusText(PROGRESS_STOPPED), m_rows[static_cast<std::size_t>(row)].lines);
        return;
    }
    QString status = statusText(message.progress);
    std::string health;
    if (message.health) {
        WatchHealth record = *message.health;
        record.lastNewItem = lastFound(message.url);
        health = healthText(record, message.at);
        if (message.progress == PROGRESS_FAILED) {
            status = qs(failedRowText(record, message.at));
        }
    }
    // Items found outweigh a failure after them: they were stored and are reported.
    if (!message.newIds.empty()) {
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

void WatchListModel::showMarked(int row, const PollMessage& message)
{
    if (isRow(row)) {
        const bool stored = message.progress != 0;
        setRow(row, statusText(stored ? PROGRESS_BASELINE : PROGRESS_FAILED),
               stored || message.reason.empty() ? std::string() : "\n" + message.reason);
    }
}

int WatchListModel::unseen(const std::string& url) const
{
    const auto it = m_unseen.find(url);
    return it == m_unseen.end() ? 0 : it->second;
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
    return isRow(row) ? m_rows[static_cast<std::size_t>(row)].status : QString();
}

QString WatchListModel::toolTip(int row) const
{
    if (!isRow(row)) {
        return {};
    }
    const std::string url = m_table.url(row);
    std::string tip = text::readableUrl(url) + m_rows[static_cast<std::size_t>(row)].lines;
    if (const int n = unseen(url); n > 0) {
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
    if (index.column() == UrlColumn) {
        // Shown decoded; the table and the file keep the URL as written.
        return qs(text::readableQuery(CCore::getFg(m_table.url(index.row()), '?', 1)));
    }
    return status(index.row());
}

QVariant WatchListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    return section == UrlColumn ? QStringLiteral("网址") : QStringLiteral("执行状态");
}

} // namespace tw
