#include "ui/alerter.h"

#include "core/apppaths.h"
#include "core/runsettings.h"
#include "core/text.h"
#include "core/watchlist.h"
#include "core/zuvira.h"
#include "desktop/alertcommand.h"
#include "desktop/desktopnotifier.h"
#include "ui/alertinfo.h"
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
        if (!m.items.empty()) {
            alert(m.watch.url, m.items);
        }
    });
}

void Alerter::alert(const std::string& url, const std::vector<FoundItem>& items)
{
    Q_EMIT alarmStarted();
    m_replay.start();
    m_context.core.playWav(m_context.paths.alertFile);
    const std::size_t opened = std::min(items.size(), static_cast<std::size_t>(openLimit()));
    for (std::size_t n = 0; n < opened; ++n) {
        m_context.core.openUrl("http://" + m_context.settings.itemHost +
                               "/item.htm?id=" + text::percentEncode(items[n].id));
    }
    if (m_context.settings.notify) {
        notify(watchlist::searchKey(url), items);
    }
    runCommand(url, items);
}

void Alerter::notify(const std::string& sid, const std::vector<FoundItem>& items)
{
    const int count = static_cast<int>(items.size());
    QStringList titles;
    for (const FoundItem& item : items) {
        if (titles.size() >= DesktopNotifier::kTitlesShown) {
            break;
        }
        if (!item.title.empty()) {
            titles << qs(item.title);
        }
    }
    m_context.notifier.notifyAlert(qs(text::readableQuery(sid)), count, titles,
                                   std::max(0, count - openLimit()));
}

void Alerter::runCommand(const std::string& url, const std::vector<FoundItem>& items)
{
    // Read at every alert: the setting may change between runs.
    m_context.command.setItemHost(qs(m_context.settings.itemHost));
    m_context.command.setCommand(qs(m_context.settings.onAlert));
    if (m_context.command.isSet()) {
        m_context.command.run(alertInfo(url, items));
    }
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
