#pragma once

#include <string>
#include <vector>

#include <QString>
#include <QTableWidgetItem>

namespace tw {

class WatchTable;

// The tooltips of the watch list's rows: the decoded URL, then what the
// row's last check or marking said. Each is made when it is shown, from the
// few words that differ from row to row; a finished text in both cells of
// every row was, with 1000 watches, a large part of what the window held.
class RowTips
{
public:
    explicit RowTips(const WatchTable& table) : m_table(table) {}

    // The rows were rebuilt: each shows its URL alone.
    void reset(int rows);
    // Lines under row's URL; empty ones are left out.
    void set(int row, const std::string& reason, const std::string& health);
    QString text(int row) const;

    // A cell of the list that shows text and the tooltip of its row.
    QTableWidgetItem* cell(const QString& text) const;

private:
    const WatchTable& m_table;
    std::vector<std::string> m_lines;
};

} // namespace tw
