#include "ui/alerter.h"

#include "core/apppaths.h"
#include "core/runsettings.h"
#include "core/watchlist.h"
#include "core/zuvira.h"
#include "ui/alertoutbox.h"
#include "desktop/desktopnotifier.h"
#include "ui/qtconvert.h"
#include "ui/runcontroller.h"

#include <algorithm>

namespace tw {

Alerter::Alerter(AlertContext context, const RunController& run, QObject* parent)
    : QObject(parent), m_context(context)
{
    m_replay.setSingleShot(true);
    m_replay.setInterval(kReplay);
    connect(&m_replay, &QTimer::timeout, this, &Alerter::replay);
    connect(&m_context.notifier, &DesktopNotifier::activated, this, &Alerter::raiseRequested);
    connect(&run, &RunController::checkEnded, this, [this](const CheckEnded& m) {
        // A muted watch records and counts its finds, and tells nothing.
        if (!m.items.empty() && !m.muted) {
            alert(m.watch.url, m.items, m.openLimit);
        }
    });
}

void Alerter::alert(const std::string& url, const std::vector<FoundItem>& items, int watchOpenLimit)
{
    Q_EMIT alarmStarted();
    m_replay.start();
    m_context.core.playWav(m_context.paths.alertFile);
    QueuedAlert alert;
    alert.url = url;
    alert.sid = watchlist::searchKey(url);
    for (const FoundItem& item : items) {
        alert.items.push_back({item.id, item.title});
    }
    alert.pageLimit = watchOpenLimit >= 0 ? watchOpenLimit : openLimit();
    alert.notifyPending = m_context.settings.notify != 0;
    alert.commandPending = !m_context.settings.onAlert.empty();
    m_context.outbox.post(std::move(alert));
}

int Alerter::openLimit() const
{
    return std::max(0, m_context.settings.openLimit);
}

void Alerter::replay()
{
    m_context.core.playWav(m_context.paths.alertFile);
}

void Alerter::stopAlarm()
{
    m_replay.stop();
    m_context.core.stopWav();
}

} // namespace tw
