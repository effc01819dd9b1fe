#include "ui/traypresence.h"

#include "desktop/autostart.h"
#include "desktop/trayicon.h"
#include "ui/quietwatches.h"
#include "ui/unseenitems.h"

#include <QDateTime>
#include <QMenu>

namespace tw {

TrayPresence::TrayPresence(const QIcon& appIcon, const RunController& run,
                           const UnseenItems& unseen, const QuietWatches& quiet,
                           QString programFolder, QObject* parent)
    : QObject(parent), m_icon(new TrayIcon(appIcon, this)),
      m_programFolder(std::move(programFolder))
{
    m_icon->setFolder(m_programFolder);
    m_icon->setAutostart(Autostart(m_programFolder).isEnabled());
    // Another copy, or the user, may have changed the entry since.
    connect(m_icon->menu(), &QMenu::aboutToShow, this,
            [this] { m_icon->setAutostart(Autostart(m_programFolder).isEnabled()); });
    connect(m_icon, &TrayIcon::showRequested, this, &TrayPresence::showRequested);
    connect(m_icon, &TrayIcon::historyRequested, this, &TrayPresence::historyRequested);
    connect(m_icon, &TrayIcon::settingsRequested, this, &TrayPresence::settingsRequested);
    connect(m_icon, &TrayIcon::startStopRequested, this, &TrayPresence::startStopRequested);
    connect(m_icon, &TrayIcon::quitRequested, this, &TrayPresence::quitRequested);
    connect(m_icon, &TrayIcon::autostartToggled, this, [this](bool on) {
        const Autostart entry(m_programFolder);
        QString error;
        if (!entry.setEnabled(on, &error)) {
            Q_EMIT problem(QStringLiteral("提示：") + error);
        }
        m_icon->setAutostart(entry.isEnabled());
    });
    connect(&run, &RunController::stateChanged, this, [this, &run](RunController::State s) {
        // Stop is asked once; closing and marking take no Start.
        m_icon->setRunning(run.isRunning(),
                           s == RunController::State::Idle || s == RunController::State::Running);
    });
    connect(&run, &RunController::checkEnded, this,
            [this] { m_icon->setLastPass(QDateTime::currentDateTime()); });
    connect(&unseen, &UnseenItems::sinceShownChanged, this,
            [this](int count) { m_icon->setWaiting(count); });
    connect(&quiet, &QuietWatches::quietTold, this,
            [this](const QString& text) { m_icon->showMessage(QStringLiteral("可能已失效"), text); });
    m_icon->show();
}

} // namespace tw
