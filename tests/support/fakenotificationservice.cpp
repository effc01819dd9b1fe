#include "tests/support/fakenotificationservice.h"

#include <QDBusMessage>

namespace tw::test {

namespace {

const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

} // namespace

FakeNotificationService::FakeNotificationService(const QString& busAddress)
    : m_name(QStringLiteral("fake-notification-service")),
      m_bus(QDBusConnection::connectToBus(busAddress, m_name))
{
    m_registered = m_bus.isConnected() && m_bus.registerService(kInterface) &&
                   m_bus.registerObject(kPath, this, QDBusConnection::ExportAllSlots);
}

FakeNotificationService::~FakeNotificationService()
{
    m_bus.unregisterObject(kPath);
    QDBusConnection::disconnectFromBus(m_name);
}

uint FakeNotificationService::Notify(const QString& appName, uint, const QString&,
                                     const QString& summary, const QString& body,
                                     const QStringList& actions, const QVariantMap&, int)
{
    m_received.push_back({appName, summary, body, actions, ++m_nextId});
    return m_nextId;
}

QStringList FakeNotificationService::GetCapabilities()
{
    return {QStringLiteral("actions"), QStringLiteral("body")};
}

void FakeNotificationService::click(uint id, const QString& action)
{
    QDBusMessage signal =
        QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("ActionInvoked"));
    signal << id << action;
    m_bus.send(signal);
}

} // namespace tw::test
