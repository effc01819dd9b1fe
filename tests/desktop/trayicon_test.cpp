#include "desktop/trayicon.h"

#include <gtest/gtest.h>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPixmap>
#include <QStringList>

namespace tw {
namespace {

QAction* action(QMenu* menu, const QString& text)
{
    for (QAction* a : menu->actions()) {
        if (a->text() == text) {
            return a;
        }
    }
    return nullptr;
}

// The desktop's side (registration with the tray's host, a click) is tested
// with the real program in tests/app; here the icon's texts and menu.
TEST(TrayIcon, tooltipIconAndMenuFollowTheRunAndTellOnlyTheUsersChoices)
{
    int argc = 1;
    char name[] = "trayicon_test";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QPixmap plain(32, 32);
    plain.fill(Qt::darkCyan);
    TrayIcon tray{QIcon(plain)};
    int shows = 0;
    int histories = 0;
    int settings = 0;
    int toggles = 0;
    int quits = 0;
    std::vector<bool> autostart;
    QObject::connect(&tray, &TrayIcon::showRequested, [&] { ++shows; });
    QObject::connect(&tray, &TrayIcon::historyRequested, [&] { ++histories; });
    QObject::connect(&tray, &TrayIcon::settingsRequested, [&] { ++settings; });
    QObject::connect(&tray, &TrayIcon::startStopRequested, [&] { ++toggles; });
    QObject::connect(&tray, &TrayIcon::quitRequested, [&] { ++quits; });
    QObject::connect(&tray, &TrayIcon::autostartToggled, [&](bool on) { autostart.push_back(on); });

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
    QStringList texts;
    for (const QAction* a : menu->actions()) {
        texts << a->text();
    }
    EXPECT_EQ(texts, (QStringList{QStringLiteral("显示窗口"), QStringLiteral("发现记录"),
                                  QStringLiteral("设置…"), QStringLiteral("停止"),
                                  QStringLiteral("开机时启动"), QString(), QStringLiteral("退出")}));
    QAction* run = action(menu, QStringLiteral("停止"));
    ASSERT_NE(run, nullptr);
    tray.setRunning(true, false);
    EXPECT_FALSE(run->isEnabled()) << "no second stop while stopping";
    tray.setRunning(false);
    EXPECT_EQ(run->text(), QStringLiteral("开始"));
    EXPECT_TRUE(run->isEnabled());
    run->trigger();
    action(menu, QStringLiteral("显示窗口"))->trigger();
    action(menu, QStringLiteral("发现记录"))->trigger();
    action(menu, QStringLiteral("设置…"))->trigger();
    tray.setAutostart(true);
    QAction* autostartItem = action(menu, QStringLiteral("开机时启动"));
    EXPECT_TRUE(autostartItem->isChecked());
    autostartItem->trigger();
    action(menu, QStringLiteral("退出"))->trigger();
    EXPECT_EQ(toggles, 1);
    EXPECT_EQ(shows, 1);
    EXPECT_EQ(histories, 1);
    EXPECT_EQ(settings, 1);
    EXPECT_EQ(autostart, std::vector<bool>{false}) << "only the user's click is told";
    EXPECT_EQ(quits, 1);
}

} // namespace
} // namespace tw
