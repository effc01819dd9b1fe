#pragma once

#include <functional>
#include <string>

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

namespace tw {

// Desktop notifications through the freedesktop notification service
// (org.freedesktop.Notifications) on the session bus. Without a bus or a
// service nothing is shown and nothing fails: the bus is reached only at the
// first notification, and every call is asynchronous with a short time-out,
// so the window never waits for it. Lives on the thread that made it.
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    static constexpr int kCallTimeoutMs = 2000;
    static constexpr int kTitlesShown = 3;

    // busAddress: "" for the session bus that DBUS_SESSION_BUS_ADDRESS names;
    // tests hand in a bus of their own.
    explicit DesktopNotifier(QString busAddress = {}, QObject* parent = nullptr);
    ~DesktopNotifier() override;

    // Another bus from the next notification on; tests hand in their own.
    void setBusAddress(QString busAddress);

    // Sends one notification whose click emits activated(). body is plain
    // text. False when no bus could be reached and nothing was sent; else
    // outcome, when given, learns later whether the service showed it.
    bool notify(const QString& summary, const QString& body,
                std::function<void(bool shown)> outcome = {});

    // The alert of one watch: its key, how many items are new, the titles of
    // the first of them and how many were not opened in the browser.
    bool notifyAlert(const QString& key, int newCount, const QStringList& titles, int notOpened);
    static QString alertSummary(const QString& key);
    static QString alertBody(const QString& key, int newCount, const QStringList& titles,
                             int notOpened);

Q_SIGNALS:
    // A notification of ours was clicked.
    void activated();
    // The service's answer to a notify(): its id, or why there is none.
    void shown(uint id);
    void notShown(const QString& reason);

private Q_SLOTS:
    void onActionInvoked(uint id, const QString& action);
    void onNotificationClosed(uint id, uint reason);

private:
    bool connectBus();

    QString m_busAddress;
    QString m_connectionName;
    bool m_connected = false;
    QSet<uint> m_ids;
};

} // namespace tw
