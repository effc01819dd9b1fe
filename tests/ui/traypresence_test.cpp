#include "desktop/alertcommand.h"
#include "desktop/autostart.h"
#include "desktop/desktopnotifier.h"
#include "desktop/trayicon.h"
#include "tests/support/roomfixture.h"
#include "ui/alertoutbox.h"
#include "ui/quietwatches.h"
#include "ui/traypresence.h"
#include "ui/unseenitems.h"

#include <cstdlib>

#include <QAction>
#include <QDir>
#include <QMenu>

namespace tw::test {
namespace {

class TrayPresenceTest : public RoomTest
{
protected:
    TrayPresenceTest() { setenv("XDG_CONFIG_HOME", config.path().c_str(), 1); }

    TempDir config;
    DesktopNotifier notifier;
    AlertCommand command;
    UnseenItems unseen{run, [] { return true; }};
    AlertOutbox outbox{{core, db, settings, notifier, command}};
    QuietWatches quiet{QuietContext{db, settings, outbox}, run};
};

// Copies in several folders may sit in the tray at once: the tooltip tells
// them apart, and the tick shows the login entry as it is when the menu
// opens, whoever changed it since.
TEST_F(TrayPresenceTest, theTooltipNamesTheFolderAndTheMenuReadsTheLoginEntryAsItOpens)
{
    const QString folder = QString::fromStdString(dir.path());
    TrayPresence tray(QIcon(), run, unseen, quiet, folder);
    EXPECT_TRUE(tray.icon().toolTip().endsWith(QLatin1Char('\n') + QDir::cleanPath(folder)))
        << tray.icon().toolTip().toStdString();

    QMenu* menu = tray.icon().menu();
    QAction* autostart = nullptr;
    for (QAction* a : menu->actions()) {
        if (a->text() == QStringLiteral("开机时启动")) {
            autostart = a;
        }
    }
    ASSERT_NE(autostart, nullptr);
    EXPECT_FALSE(autostart->isChecked());

    ASSERT_TRUE(Autostart(folder).setEnabled(true));
    menu->popup(QPoint());
    EXPECT_TRUE(autostart->isChecked());
    menu->hide();

    ASSERT_TRUE(Autostart(folder).setEnabled(false));
    menu->popup(QPoint());
    EXPECT_FALSE(autostart->isChecked());
    menu->hide();
}

} // namespace
} // namespace tw::test
