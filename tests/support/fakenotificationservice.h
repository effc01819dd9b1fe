#pragma once

#include <vector>

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace tw::test {

// A stand-in for the desktop's notification service, registered under its
// well-known name on a test bus. It records every Notify call and can send
// ActionInvoked as if a notification had been clicked.
class FakeNotificationService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Received
    {
        QString appName;
        QString summary;
        QString body;
        QStringList actions;
        uint id = 0;
    };

    // False from registered() when the bus or the name could not be had.
    explicit FakeNotificationService(const QString& busAddress);
    ~FakeNotificationService() override;

    bool registered() const { return m_registered; }
    const std::vector<Received>& received() const { return m_received; }
    void click(uint id, const QString& action = QStringLiteral("default"));

public Q_SLOTS:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int expireTimeout);
    QStringList GetCapabilities();

private:
    QString m_name;
    QDBusConnection m_bus;
    bool m_registered = false;
    std::vector<Received> m_received;
    uint m_nextId = 41;
};

} // namespace tw::test
