#include "tests/support/fakestatusnotifierwatcher.h"

#include <QDBusMessage>

namespace tw::test {

namespace {

const QString kService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kPath = QStringLiteral("/StatusNotifierWatcher");

} // namespace

FakeStatusNotifierWatcher::FakeStatusNotifierWatcher(const QString& busAddress)
    : m_name(QStringLiteral("fake-status-notifier-watcher")),
      m_bus(QDBusConnection::connectToBus(busAddress, m_name))
{
    m_thread.start();
    moveToThread(&m_thread);
    m_registered =
        m_bus.isConnected() && m_bus.registerService(kService) &&
        m_bus.registerObject(
            kPath, this, QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties);
}

FakeStatusNotifierWatcher::~FakeStatusNotifierWatcher()
{
    m_bus.unregisterObject(kPath);
    QDBusConnection::disconnectFromBus(m_name);
    m_thread.quit();
    m_thread.wait();
}

QStringList FakeStatusNotifierWatcher::items() const
{
    QMutexLocker lock(&m_mutex);
    return m_items;
}

void FakeStatusNotifierWatcher::RegisterStatusNotifierItem(const QString& service)
{
    // An item may name itself by its path only; the caller is then the service.
    QString name = service;
    if (name.startsWith(QLatin1Char('/')) && calledFromDBus()) {
        name = message().service();
    }
    QMutexLocker lock(&m_mutex);
    m_items.append(name);
}

void FakeStatusNotifierWatcher::RegisterStatusNotifierHost(const QString&) {}

} // namespace tw::test
