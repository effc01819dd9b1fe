#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>

namespace tw::test {

// A stand-in for the desktop's tray host registry, registered under its
// well-known name on a test bus. Qt reads IsStatusNotifierHostRegistered
// through introspection, so the property is exported; every icon that
// registers is recorded by its bus name. Qt asks for the host with a call
// that waits, so the stand-in answers from a thread of its own.
class FakeStatusNotifierWatcher : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)

public:
    explicit FakeStatusNotifierWatcher(const QString& busAddress);
    ~FakeStatusNotifierWatcher() override;

    bool registered() const { return m_registered; }
    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const;

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service);
    void RegisterStatusNotifierHost(const QString& service);

private:
    QString m_name;
    QDBusConnection m_bus;
    bool m_registered = false;
    QThread m_thread;
    mutable QMutex m_mutex;
    QStringList m_items;
};

} // namespace tw::test
