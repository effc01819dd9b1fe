#include "ui/alerter.h"

#include "core/apppaths.h"
#include "core/runsettings.h"
#include "core/text.h"
#include "core/zuvira.h"
#include "desktop/desktopnotifier.h"
#include "store/dberror.h"
#include "store/itemdb.h"
#include "ui/qtconvert.h"

#include <algorithm>

namespace tw {

Alerter::Alerter(AlertContext context, QObject* parent) : QObject(parent), m_context(context)
{
    m_replay.setSingleShot(true);
    m_replay.setInterval(kReplay);
    connect(&m_replay, &QTimer::timeout, this, &Alerter::replayDue);
    connect(&m_context.notifier, &DesktopNotifier::activated, this, &Alerter::raiseRequested);
}

void Alerter::alert(const std::string& sid, const std::string& idList)
{
    Q_EMIT alarmStarted();
    m_replay.start();
    m_context.core.playWav(m_context.paths.alertFile);
    for (int n = 0; n < openLimit(); ++n) {
        const std::string id = CCore::getFg(idList, ',', n);
        if (id.empty()) {
            break;
        }
        m_context.core.openUrl("http://" + m_context.settings.itemHost +
                               "/item.htm?id=" + text::percentEncode(id));
    }
    if (m_context.settings.notify) {
        notify(sid, idList);
    }
}

void Alerter::notify(const std::string& sid, const std::string& idList)
{
    const std::vector<std::string_view> ids = text::splitFields(idList, ',');
    const int count = static_cast<int>(ids.size());
    QStringList titles;
    try {
        for (std::size_t n = 0; n < ids.size() && titles.size() < DesktopNotifier::kTitlesShown;
             ++n) {
            const std::string title = m_context.db.itemTitle(sid, std::string(ids[n]));
            if (!title.empty()) {
                titles << qs(title);
            }
        }
    } catch (const DbError&) {
        // The notification goes out without the titles it could not read.
    }
    m_context.notifier.notifyAlert(qs(text::readableQuery(sid)), count, titles,
                                   std::max(0, count - openLimit()));
}

int Alerter::openLimit() const
{
    return std::max(0, m_context.settings.openLimit);
}

void Alerter::replay()
{
    m_replay.stop();
    m_context.core.playWav(m_context.paths.alertFile);
}

void Alerter::stopAlarm()
{
    m_replay.stop();
    m_context.core.stopWav();
}

} // namespace tw
