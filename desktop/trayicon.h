#pragma once

#include <QDateTime>
#include <QIcon>
#include <QObject>
#include <QString>

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace tw {

// The icon in the desktop's tray: what the run is doing and how many new
// items wait to be seen, and a menu to show the window, the record of finds
// or the settings, start or stop, turn autostart on or off, and quit. Only
// where the desktop has a tray.
class TrayIcon : public QObject
{
    Q_OBJECT

public:
    // appIcon: the icon shown; a variant with a badge stands for waiting items.
    explicit TrayIcon(QIcon appIcon, QObject* parent = nullptr);
    ~TrayIcon() override;

    // A tray on the desktop (StatusNotifierItem host or XEmbed tray).
    static bool isAvailable();

    void show();
    void hide();
    bool isVisible() const;

    // active: a run is going on; canToggle: start or stop may be asked now
    // (not while stopping or closing).
    void setRunning(bool active, bool canToggle = true);
    void setLastPass(const QDateTime& when);
    // New items found since the window was last shown.
    void setWaiting(int newItems);
    void setAutostart(bool on);
    // The program folder, named in the tooltip: copies in several folders
    // may sit in the tray at once.
    void setFolder(const QString& folder);
    // A message from the icon, for what must reach the user even with the
    // window hidden (a watch gone quiet).
    void showMessage(const QString& title, const QString& text);

    QString toolTip() const;
    const QIcon& icon() const;
    QMenu* menu() const { return m_menu; }
    static QIcon withBadge(const QIcon& icon);

Q_SIGNALS:
    void showRequested();
    void historyRequested();
    void settingsRequested();
    void startStopRequested();
    void quitRequested();
    void autostartToggled(bool on);

private:
    void update();

    QIcon m_icon;
    QIcon m_badged;
    QMenu* m_menu = nullptr;
    QAction* m_showAction = nullptr;
    QAction* m_runAction = nullptr;
    QAction* m_autostartAction = nullptr;
    QSystemTrayIcon* m_tray = nullptr;
    bool m_active = false;
    QDateTime m_lastPass;
    int m_waiting = 0;
    QString m_folder;
};

} // namespace tw
