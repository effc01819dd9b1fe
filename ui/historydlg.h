#pragma once

#include <string>
#include <utility>
#include <vector>

#include <QDate>
#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QTableView;

namespace tw {

class CCore;
class CItemDb;
class FindChart;
class FindTableModel;
struct RunSettings;

// The record of finds of every watch, newest first, narrowed by watch and by
// text, above it the finds of the last 30 days per day; a double click opens
// an item's page on the mall host, "导出 CSV" writes what the list shows.
class CHistoryDlg : public QDialog
{
    Q_OBJECT

public:
    static constexpr int kChartDays = 30;

    // watches: {url, sid} of each watch, in list order, for the watch filter.
    CHistoryDlg(CCore& core, CItemDb& db, const RunSettings& settings,
                std::vector<std::pair<std::string, std::string>> watches,
                QWidget* parent = nullptr);
    ~CHistoryDlg() override;

    // The last day of the chart; today's date when not set. Before set-up.
    void setToday(const QDate& today) { m_today = today; }

    // Reads the record once. A database that cannot be read gives a warning
    // with the reason and an empty list.
    void OnInitDialog();
    void OnFindListDblClk(int row);
    void OnExport();

private:
    void applyFilter();

    CCore& m_core;
    CItemDb& m_db;
    const RunSettings& m_settings;
    std::vector<std::pair<std::string, std::string>> m_watches;
    QDate m_today;
    FindTableModel* m_model = nullptr;
    FindChart* m_chart = nullptr;
    QComboBox* m_watchFilter = nullptr;
    QLineEdit* m_textFilter = nullptr;
    QTableView* m_findList = nullptr;
    QLabel* m_status = nullptr;
};

} // namespace tw
