#include "ui/markseenflow.h"

#include "core/watchlistroom.h"
#include "ui/runcontroller.h"
#include "ui/watchlistmodel.h"

namespace tw {

MarkSeenFlow::MarkSeenFlow(RunController& run, WatchListModel& rows, const WatchListRoom& list,
                           Hooks hooks, QObject* parent)
    : QObject(parent), m_run(run), m_rows(rows), m_list(list), m_hooks(std::move(hooks))
{}

void MarkSeenFlow::markAllSeen(int row)
{
    if (!m_list.at(row)) {
        return;
    }
    // A copy: the boxes below run their own loops, in which the list may change.
    const WatchEntry watch = *m_list.at(row);
    if (m_run.isRunning()) {
        m_hooks.warn("监控正在执行，无法标记为已见，请先停止。");
        return;
    }
    if (m_run.state() == RunController::State::Marking) {
        m_hooks.warn("正在标记另一个监控，请稍候。");
        return;
    }
    if (m_run.state() != RunController::State::Idle) {
        return;
    }
    // Behind the same login wall as a run: the same cookies, User-Agent and proxy.
    const std::optional<SessionSettings> session = m_hooks.session();
    if (!session) {
        return;
    }
    if (!m_run.markSeen({watch.id, row, watch.url}, watch.sid, *session)) {
        m_hooks.noThread();
        return;
    }
    m_rows.showChecking(row);
}

} // namespace tw
