#include "desktop/trayicon.h"
#include "tests/support/fakestatusnotifierwatcher.h"
#include "tests/support/testbus.h"
#include "tests/support/testdisplay.h"

#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QMenu>
#include <QPixmap>

extern "C" const char* __tsan_default_suppressions()
{
    return "race:libQt6Core.so\nrace:libQt6DBus.so\nrace:libdbus-1.so\n";
}

namespace tw {
namespace {

bool waitUntil(const std::function<bool()>& pred, int limitMs = 10000)
{
    QDeadlineTimer deadline(limitMs);
    while (!pred()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

QAction* action(QMenu* menu, const QString& text)
{
    for (QAction* a : menu->actions()) {
        if (a->text() == text) {
            return a;
        }
    }
    return nullptr;
}

// The desktop's tray is a host registered with the StatusNotifierWatcher on
// the session bus; Qt asks it whether a host is there, registers the icon
// with it and answers the host's Activate.
TEST(TrayIcon, registersWithTheDesktopsTrayFollowsTheRunAndAnswersClicksAndItsMenu)
{
    // The offscreen platform has no tray at all: the icon needs a display.
    test::TestDisplay display;
    if (display.name().isEmpty()) {
        GTEST_SKIP() << "Xvfb did not start";
    }
    test::TestBus bus;
    ASSERT_FALSE(bus.address().isEmpty());
    setenv("DISPLAY", display.name().toUtf8().constData(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().toUtf8().constData(), 1);
    int argc = 1;
    char name[] = "trayicon_test";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    test::FakeStatusNotifierWatcher watcher(bus.address());
    ASSERT_TRUE(watcher.registered());
    ASSERT_TRUE(TrayIcon::isAvailable());

    QPixmap plain(32, 32);
    plain.fill(Qt::darkCyan);
    TrayIcon tray{QIcon(plain)};
    int shows = 0;
    int toggles = 0;
    int quits = 0;
    std::vector<bool> autostart;
    QObject::connect(&tray, &TrayIcon::showRequested, [&] { ++shows; });
    QObject::connect(&tray, &TrayIcon::startStopRequested, [&] { ++toggles; });
    QObject::connect(&tray, &TrayIcon::quitRequested, [&] { ++quits; });
    QObject::connect(&tray, &TrayIcon::autostartToggled, [&](bool on) { autostart.push_back(on); });
    tray.show();
    ASSERT_TRUE(waitUntil([&] { return !watcher.items().isEmpty(); }));

    // A click in the tray arrives as the host's Activate call.
    QDBusMessage click = QDBusMessage::createMethodCall(
        watcher.items().front(), QStringLiteral("/StatusNotifierItem"),
        QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Activate"));
    click << 0 << 0;
    QDBusConnection host = QDBusConnection::connectToBus(bus.address(), QStringLiteral("host"));
    host.send(click);
    EXPECT_TRUE(waitUntil([&] { return shows == 1; }));

    EXPECT_EQ(tray.toolTip(), QStringLiteral("Tidewatch：监控未执行，尚未检测"));
    const qint64 plainKey = tray.icon().cacheKey();
    tray.setRunning(true);
    tray.setLastPass(QDateTime(QDate(2026, 12, 7), QTime(14, 2, 31)));
    tray.setWaiting(3);
    EXPECT_EQ(tray.toolTip(),
              QStringLiteral("Tidewatch：监控执行中，上次检测 14:02，3 件新宝贝未查看"));
    EXPECT_NE(tray.icon().cacheKey(), plainKey) << "waiting items change the icon";
    tray.setWaiting(0);
    EXPECT_EQ(tray.icon().cacheKey(), plainKey);

    QMenu* menu = tray.menu();
    ASSERT_EQ(action(menu, QStringLiteral("开始")), nullptr);
    QAction* stop = action(menu, QStringLiteral("停止"));
    ASSERT_NE(stop, nullptr);
    tray.setRunning(true, false);
    EXPECT_FALSE(stop->isEnabled()) << "no second stop while stopping";
    tray.setRunning(false);
    EXPECT_EQ(stop->text(), QStringLiteral("开始"));
    EXPECT_TRUE(stop->isEnabled());
    stop->trigger();
    action(menu, QStringLiteral("显示窗口"))->trigger();
    tray.setAutostart(true);
    QAction* autostartItem = action(menu, QStringLiteral("开机时启动"));
    ASSERT_TRUE(autostartItem->isCheckable());
    EXPECT_TRUE(autostartItem->isChecked());
    autostartItem->trigger();
    action(menu, QStringLiteral("退出"))->trigger();
    EXPECT_EQ(toggles, 1);
    EXPECT_EQ(shows, 2);
    EXPECT_EQ(autostart, std::vector<bool>{false}) << "only the user's click is told";
    EXPECT_EQ(quits, 1);
    QDBusConnection::disconnectFromBus(QStringLiteral("host"));
}

} // namespace
} // namespace tw
