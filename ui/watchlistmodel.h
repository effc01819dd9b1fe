#pragma once

#include "core/watchroster.h"
#include "engine/pollmessages.h"
#include "engine/watchhealth.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <QAbstractTableModel>
#include <QString>
#include <QTimer>

namespace tw {

class QuietWatches;
class RunController;
class UnseenItems;
class WatchListRoom;

// The watch list as the window shows it: a row per watch of the list, with
// its name (else its query decoded for reading) and its state. It keeps its
// own copy of what each row shows, updated from the list's and the run's
// messages, so painting reads nothing shared. A row's tooltip (the name, the
// readable URL, the reason of a failure and the health) is made when it is
// shown.
//
// The state a row shows, weightiest first: "执行中" while checked; "发现更新！(N)"
// while N found items are unseen; the last check's failure; "可能已失效";
// "已暂停" or "时段外"; else the last check's result.
class WatchListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { UrlColumn, StatusColumn, ColumnCount };

    WatchListModel(const WatchListRoom& list, const RunController& run, const UnseenItems& unseen,
                   QObject* parent = nullptr);

    // Rows of quiet watches say so ("可能已失效") where nothing weightier is shown.
    void showQuiet(const QuietWatches& quiet);
    // The time of day that active hours are read against (tests hold it);
    // rows are looked at again every half minute.
    void setClock(std::function<WallTime()> now);
    void refreshStates();

    // The row of the watch a message is about; -1 when it left the list.
    int rowOf(const WatchRef& watch) const;

    void showChecking(int row);
    void showResult(const CheckEnded& message);
    void showMarked(const MarkingEnded& message);

    QString status(int row) const;
    QString toolTip(int row) const;
    // When the watch with url last found items; nullopt before the first time.
    std::optional<WallTime> lastFound(const std::string& url) const;
    // Until when the watch with url rests after a refusal, as its last check
    // said; nullopt when it does not.
    std::optional<WallTime> restingUntil(const std::string& url) const;

    static QString statusText(CheckOutcome outcome);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Row
    {
        WatchId id = 0;
        std::string url;
        QString shownName;
        // The name given to the watch, "" for none: the tooltip adds it.
        std::string name;
        bool paused = false;
        std::optional<ActiveHours> hours;
        bool checking = false;
        // The last check's result, and whether it failed.
        QString status;
        bool failed = false;
        // Lines under the URL in the tooltip, UTF-8; "" for none.
        std::string lines;
    };
    bool isRow(int row) const { return row >= 0 && row < static_cast<int>(m_rows.size()); }
    Row rowFor(int listRow) const;
    void reset();
    void setRow(int row, QString status, std::string lines, bool failed = false);
    void rowChanged(int row);
    void urlChanged(const std::string& url);

    const WatchListRoom& m_list;
    const UnseenItems& m_unseen;
    const QuietWatches* m_quiet = nullptr;
    std::vector<Row> m_rows;
    // For the program's lifetime, also across runs and imports.
    std::map<std::string, WallTime> m_lastFound;
    std::map<std::string, WallTime> m_restingUntil;
    std::function<WallTime()> m_now;
    QTimer m_hoursTimer;
};

} // namespace tw
