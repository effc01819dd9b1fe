#pragma once

#include "engine/httpsession.h"

#include <functional>
#include <optional>
#include <string>

#include <QObject>

namespace tw {

class RunController;
class WatchListModel;
class WatchListRoom;

// "全部标记为已见" from a row's menu: refused while a run or another marking
// is under way, started with the run's request settings. The row shows the
// check under way; its end reaches the row through the run.
class MarkSeenFlow : public QObject
{
    Q_OBJECT

public:
    struct Hooks
    {
        // The request settings read afresh; nullopt after the user was told why not.
        std::function<std::optional<SessionSettings>()> session;
        // A box the user must answer.
        std::function<void(const std::string&)> warn;
        // The framework's own box for a thread that could not start.
        std::function<void()> noThread;
    };

    MarkSeenFlow(RunController& run, WatchListModel& rows, const WatchListRoom& list, Hooks hooks,
                 QObject* parent = nullptr);

    void markAllSeen(int row);

private:
    RunController& m_run;
    WatchListModel& m_rows;
    const WatchListRoom& m_list;
    Hooks m_hooks;
};

} // namespace tw
