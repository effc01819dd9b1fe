#include "ui/alertoutbox.h"

#include "core/runsettings.h"
#include "core/text.h"
#include "core/zuvira.h"
#include "desktop/alertcommand.h"
#include "desktop/desktopnotifier.h"
#include "store/dberror.h"
#include "store/itemdb.h"
#include "ui/qtconvert.h"
#include "ui/quietwatches.h"

#include <algorithm>
#include <iostream>

namespace tw {

namespace {

AlertInfo commandInput(const QueuedAlert& alert)
{
    AlertInfo info;
    info.event = qs(alert.event);
    info.key = qs(alert.sid);
    info.words = qs(text::readableQuery(alert.sid));
    info.watchUrl = qs(alert.url);
    for (const QueuedAlert::Item& item : alert.items) {
        info.items.push_back({qs(item.id), qs(item.title)});
    }
    info.count = static_cast<int>(info.items.size());
    info.catchup = alert.catchup;
    info.dropped = alert.dropped;
    info.usualGapS = alert.usualGapS;
    info.quietS = alert.quietS;
    return info;
}

} // namespace

AlertOutbox::AlertOutbox(OutboxContext context, QObject* parent)
    : QObject(parent), m_context(context), m_queue(context.db)
{
    m_pacer.setInterval(kTick);
    connect(&m_pacer, &QTimer::timeout, this, &AlertOutbox::openSomePages);
}

void AlertOutbox::post(QueuedAlert alert)
{
    try {
        alert = m_queue.enqueue(std::move(alert));
    } catch (const DbError& e) {
        // The user is told all the same, only not again after a kill.
        std::cerr << "tidewatch: an alert was not queued: " << e.what() << '\n';
        alert.id = 0;
    }
    if (alert.dropped > 0) {
        Q_EMIT dropped(QStringLiteral("提示：提醒队列已满，丢弃了最早的 %1 条提醒").arg(alert.dropped));
    }
    serve(alert);
}

void AlertOutbox::resume()
{
    std::vector<QueuedAlert> left;
    std::vector<UntoldFinds> untold;
    try {
        left = m_queue.pending();
        untold = m_queue.untold();
    } catch (const DbError& e) {
        std::cerr << "tidewatch: the alert queue was not read: " << e.what() << '\n';
        return;
    }
    for (const QueuedAlert& alert : left) {
        serve(alert);
    }
    for (UntoldFinds& finds : untold) {
        QueuedAlert alert;
        alert.url = std::move(finds.url);
        alert.sid = std::move(finds.sid);
        alert.catchup = true;
        alert.items = std::move(finds.items);
        alert.pageLimit = std::max(0, m_context.settings.openLimit);
        alert.notifyPending = m_context.settings.notify != 0;
        alert.commandPending = !m_context.settings.onAlert.empty();
        post(std::move(alert));
    }
}

void AlertOutbox::serve(const QueuedAlert& alert)
{
    if (alert.notifyPending) {
        notify(alert);
    }
    if (alert.pagesLeft() > 0) {
        Pages pages{alert.id, {}, alert.pagesOpened};
        for (const QueuedAlert::Item& item : alert.items) {
            pages.ids.push_back(item.id);
        }
        pages.ids.resize(static_cast<std::size_t>(alert.pagesOpened + alert.pagesLeft()));
        m_pages.push_back(std::move(pages));
        if (!m_pacer.isActive()) {
            m_pacer.start();
        }
    }
    if (alert.commandPending) {
        // Read at every alert: the setting may change between runs.
        m_context.command.setItemHost(qs(m_context.settings.itemHost));
        m_context.command.setCommand(qs(m_context.settings.onAlert));
        const long long id = alert.id;
        const bool started = m_context.command.run(commandInput(alert), [this, id] {
            if (id != 0) {
                try {
                    m_queue.commandEnded(id);
                } catch (const DbError& e) {
                    std::cerr << "tidewatch: a finished alert command stays queued: " << e.what()
                              << '\n';
                }
            }
        });
        if (!started && id != 0) {
            // No command is set any more: nothing will run it.
            try {
                m_queue.commandEnded(id);
            } catch (const DbError&) {
            }
        }
    }
}

void AlertOutbox::notify(const QueuedAlert& alert)
{
    const QString words = qs(text::readableQuery(alert.sid));
    if (alert.event == "quiet") {
        const std::optional<std::chrono::seconds> usualGap =
            alert.usualGapS > 0 ? std::optional(std::chrono::seconds(alert.usualGapS)) : std::nullopt;
        m_context.notifier.notify(QStringLiteral("可能已失效"),
                                  qs(quietText(text::readableQuery(alert.sid), usualGap,
                                               std::chrono::seconds(alert.quietS))));
    } else {
        QStringList titles;
        for (const QueuedAlert::Item& item : alert.items) {
            if (titles.size() >= DesktopNotifier::kTitlesShown) {
                break;
            }
            if (!item.title.empty()) {
                titles << qs(item.title);
            }
        }
        const int count = static_cast<int>(alert.items.size());
        const int notOpened = std::max(0, count - alert.pageLimit);
        if (alert.catchup) {
            QString body = QStringLiteral("上次退出前未提醒的 %1 件新宝贝").arg(count);
            for (const QString& title : titles) {
                body += QLatin1Char('\n') + title;
            }
            m_context.notifier.notify(DesktopNotifier::alertSummary(words), body);
        } else {
            m_context.notifier.notifyAlert(words, count, titles, notOpened);
        }
    }
    if (alert.id != 0) {
        try {
            m_queue.notified(alert.id);
        } catch (const DbError&) {
            // Sent; at worst sent once more after a restart.
        }
    }
}

void AlertOutbox::openSomePages()
{
    for (int n = 0; n < kPagesPerTick && !m_pages.empty(); ++n) {
        Pages& pages = m_pages.front();
        m_context.core.openUrl(pageUrl(pages.ids[static_cast<std::size_t>(pages.opened)]));
        ++pages.opened;
        const bool last = pages.opened == static_cast<int>(pages.ids.size());
        // Struck off at every tick, so a kill opens at most a tick's pages again.
        if (pages.alert != 0 && (last || n + 1 == kPagesPerTick)) {
            try {
                m_queue.setPagesOpened(pages.alert, pages.opened);
            } catch (const DbError&) {
                // Opened; at worst opened once more after a restart.
            }
        }
        if (last) {
            m_pages.pop_front();
        }
    }
    if (m_pages.empty()) {
        m_pacer.stop();
    }
}

int AlertOutbox::pagesWaiting() const
{
    int waiting = 0;
    for (const Pages& pages : m_pages) {
        waiting += static_cast<int>(pages.ids.size()) - pages.opened;
    }
    return waiting;
}

std::string AlertOutbox::pageUrl(const std::string& id) const
{
    return "http://" + m_context.settings.itemHost + "/item.htm?id=" + text::percentEncode(id);
}

} // namespace tw
