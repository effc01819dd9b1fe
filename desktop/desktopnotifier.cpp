#include "desktop/desktopnotifier.h"

#include <algorithm>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace tw {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");

// Most servers read the body as simple markup: "<" or "&" in a title must
// show as written.
QString escapeMarkup(const QString& text)
{
    QString out = text;
    out.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    out.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    out.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    return out;
}

} // namespace

DesktopNotifier::DesktopNotifier(QString busAddress, QObject* parent)
    : QObject(parent), m_busAddress(std::move(busAddress))
{}

DesktopNotifier::~DesktopNotifier()
{
    if (!m_connectionName.isEmpty()) {
        QDBusConnection::disconnectFromBus(m_connectionName);
    }
}

void DesktopNotifier::setBusAddress(QString busAddress)
{
    if (busAddress == m_busAddress) {
        return;
    }
    if (!m_connectionName.isEmpty()) {
        QDBusConnection::disconnectFromBus(m_connectionName);
        m_connectionName.clear();
    }
    m_busAddress = std::move(busAddress);
    m_connected = false;
}

bool DesktopNotifier::connectBus()
{
    if (m_connected) {
        return true;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!m_busAddress.isEmpty()) {
        if (m_connectionName.isEmpty()) {
            m_connectionName = QStringLiteral("tidewatch-notifier-%1")
                                   .arg(reinterpret_cast<quintptr>(this), 0, 16);
        }
        bus = QDBusConnection::connectToBus(m_busAddress, m_connectionName);
    }
    if (!bus.isConnected()) {
        return false;
    }
    // Any sender: naming the service would make Qt look up its owner, a
    // call that waits, and the service may come and go.
    bus.connect(QString(), kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(onActionInvoked(uint, QString)));
    bus.connect(QString(), kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                SLOT(onNotificationClosed(uint, uint)));
    m_connected = true;
    return true;
}

bool DesktopNotifier::notify(const QString& summary, const QString& body,
                             std::function<void(bool shown)> outcome)
{
    if (!connectBus()) {
        return false;
    }
    QDBusConnection bus = m_connectionName.isEmpty() ? QDBusConnection::sessionBus()
                                                     : QDBusConnection(m_connectionName);
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // No service means no notification, not a service started for us.
    call.setAutoStartService(false);
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("tidewatch"));
    call << QStringLiteral("Tidewatch") << uint(0) << QStringLiteral("tidewatch") << summary
         << escapeMarkup(body) << QStringList{kDefaultAction, QStringLiteral("打开 Tidewatch")}
         << hints << int(-1);

    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, outcome = std::move(outcome)](QDBusPendingCallWatcher* w) {
                const QDBusPendingReply<uint> reply = *w;
                if (outcome) {
                    outcome(!reply.isError());
                }
                if (reply.isError()) {
                    Q_EMIT notShown(reply.error().message());
                } else {
                    m_ids.insert(reply.value());
                    Q_EMIT shown(reply.value());
                }
                w->deleteLater();
            });
    return true;
}

bool DesktopNotifier::notifyAlert(const QString& key, int newCount, const QStringList& titles,
                                  int notOpened)
{
    return notify(alertSummary(key), alertBody(key, newCount, titles, notOpened));
}

QString DesktopNotifier::alertSummary(const QString& key)
{
    return QStringLiteral("发现更新！") + key;
}

QString DesktopNotifier::alertBody(const QString& key, int newCount, const QStringList& titles,
                                   int notOpened)
{
    QString body = QStringLiteral("搜索“%1”有 %2 件新宝贝").arg(key).arg(newCount);
    const int shown = std::min<int>(kTitlesShown, static_cast<int>(titles.size()));
    for (int n = 0; n < shown; ++n) {
        body += QLatin1Char('\n') + titles[n];
    }
    if (notOpened > 0) {
        body += QStringLiteral("\n另有 %1 件未在浏览器中打开").arg(notOpened);
    }
    return body;
}

void DesktopNotifier::onActionInvoked(uint id, const QString& action)
{
    if (action == kDefaultAction && m_ids.contains(id)) {
        Q_EMIT activated();
    }
}

void DesktopNotifier::onNotificationClosed(uint id, uint)
{
    m_ids.remove(id);
}

} // namespace tw
