#pragma once

#include "ui/runcontroller.h"

#include <QIcon>
#include <QObject>
#include <QString>

namespace tw {

class QuietWatches;
class TrayIcon;
class UnseenItems;

// The program in the desktop's tray (tray=1): the icon follows the run, the
// last check and the items found while the window was out of view, and its
// menu turns the login entry on and off. What it asks of the window leaves
// as signals.
class TrayPresence : public QObject
{
    Q_OBJECT

public:
    // programFolder: the folder the login entry starts the program from.
    TrayPresence(const QIcon& appIcon, const RunController& run, const UnseenItems& unseen,
                 const QuietWatches& quiet, QString programFolder, QObject* parent = nullptr);

    TrayIcon& icon() { return *m_icon; }

Q_SIGNALS:
    void showRequested();
    void historyRequested();
    void settingsRequested();
    void startStopRequested();
    void quitRequested();
    // Why the login entry could not be changed, for the status line.
    void problem(const QString& text);

private:
    TrayIcon* m_icon = nullptr;
    QString m_programFolder;
};

} // namespace tw
