#pragma once

#include <string>
#include <unordered_map>
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
struct FindRecord;
struct RunSettings;

// A watch of the list as the history window shows it.
struct HistoryWatch
{
    std::string url;
    std::string sid;
    // The name the user gave it; "" for none.
    std::string name;
};

// The record of finds of every watch, newest first, narrowed by watch and by
// text, above it the finds of the last 30 days per day; a double click opens
// an item's page on the mall host, "导出 CSV" writes what the list shows.
class CHistoryDlg : public QDialog
{
    Q_OBJECT

public:
    static constexpr int kChartDays = 30;

    // watches: each watch, in list order, for the watch filter; a named
    // watch's finds show its name instead of their search words.
    CHistoryDlg(CCore& core, CItemDb& db, const RunSettings& settings,
                std::vector<HistoryWatch> watches, QWidget* parent = nullptr);
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
    std::string watchName(const FindRecord& find) const;

    CCore& m_core;
    CItemDb& m_db;
    const RunSettings& m_settings;
    std::vector<HistoryWatch> m_watches;
    // Names by the search identity of their watch's URL.
    std::unordered_map<std::string, std::string> m_names;
    QDate m_today;
    FindTableModel* m_model = nullptr;
    FindChart* m_chart = nullptr;
    QComboBox* m_watchFilter = nullptr;
    QLineEdit* m_textFilter = nullptr;
    QTableView* m_findList = nullptr;
    QLabel* m_status = nullptr;
};

} // namespace tw
