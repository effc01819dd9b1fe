#include "ui/markseenflow.h"

#include "core/watchtable.h"
#include "ui/runcontroller.h"
#include "ui/watchlistmodel.h"

namespace tw {

MarkSeenFlow::MarkSeenFlow(RunController& run, WatchListModel& rows, const WatchTable& table,
                           Hooks hooks, QObject* parent)
    : QObject(parent), m_run(run), m_rows(rows), m_table(table), m_hooks(std::move(hooks))
{
    connect(&m_run, &RunController::markingEnded, this,
            [this](const PollMessage& m) { ended(m); });
}

void MarkSeenFlow::markAllSeen(int row)
{
    if (row < 0 || row >= m_table.watchCount()) {
        return;
    }
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
    const SlotCopy copy = m_table.slot(row);
    if (!m_run.markSeen(row, copy.url, copy.sid, *session)) {
        m_hooks.noThread();
        return;
    }
    m_rows.showChecking(row);
}

void MarkSeenFlow::ended(const PollMessage& message)
{
    // The list may have been replaced meanwhile: the result goes to its watch.
    m_rows.showMarked(m_rows.rowOf(message.slot, message.url), message);
}

} // namespace tw
