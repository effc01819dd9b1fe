#pragma once

#include "engine/pollmessages.h"
#include "engine/watchhealth.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <QAbstractTableModel>
#include <QString>

namespace tw {

class WatchTable;

// The watch list as the window shows it: row i is slot i of the table, with
// its query decoded for reading and what its last check said. A row's
// tooltip (the readable URL, the reason of a failure and the health) is made
// when it is shown, from the few lines that differ per row.
class WatchListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { UrlColumn, StatusColumn, ColumnCount };

    explicit WatchListModel(const WatchTable& table, QObject* parent = nullptr);

    // The rows were replaced: each shows its URL, statuses cleared. What is
    // kept per watch (the last time it found items) stays with its URL.
    void reload();
    // The row that holds url now, preferring hint; -1 when it left the list.
    int rowOf(int hint, const std::string& url) const;

    void showChecking(int row);
    // What a check's or a marking's end says about the watch in row.
    void showResult(int row, const PollMessage& message);
    void showMarked(int row, const PollMessage& message);

    QString status(int row) const;
    QString toolTip(int row) const;
    // When the watch with url last found items; nullopt before the first time.
    std::optional<WallTime> lastFound(const std::string& url) const;
    // Items the watch with url found since its item list was last opened.
    int unseen(const std::string& url) const;
    void seen(const std::string& url) { m_unseen.erase(url); }

    static QString statusText(std::intptr_t progress);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Row
    {
        QString status;
        // Lines under the URL in the tooltip, UTF-8; "" for none.
        std::string lines;
    };
    bool isRow(int row) const { return row >= 0 && row < static_cast<int>(m_rows.size()); }
    void setRow(int row, QString status, std::string lines);

    const WatchTable& m_table;
    std::vector<Row> m_rows;
    // For the program's lifetime, also across runs and imports.
    std::map<std::string, WallTime> m_lastFound;
    std::map<std::string, int> m_unseen;
};

} // namespace tw
