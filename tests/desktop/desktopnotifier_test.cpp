#include "desktop/desktopnotifier.h"
#include "tests/support/eventloop.h"
#include "tests/support/fakenotificationservice.h"
#include "tests/support/testbus.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

#include <QCoreApplication>
#include <QDeadlineTimer>

// Qt is not built with ThreadSanitizer, so the sanitizer cannot see how Qt
// D-Bus and libdbus hand messages between their own thread and this one, and
// reports the hand-over inside them as a race.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libQt6Core.so\nrace:libQt6DBus.so\nrace:libdbus-1.so\n";
}

namespace tw {
namespace {

using test::FakeNotificationService;
using test::TestBus;

// The replies and signals arrive as events of this thread.
const auto waitUntil = [](const std::function<bool()>& pred) {
    return test::processEventsUntil(pred);
};

class DesktopNotifierTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        test::ensureCoreApplication();
    }
};

TEST_F(DesktopNotifierTest, alertCarriesTheKeyTheCountThreeTitlesAndWhatWasNotOpened)
{
    TestBus bus;
    ASSERT_FALSE(bus.address().isEmpty());
    FakeNotificationService service(bus.address());
    ASSERT_TRUE(service.registered());
    DesktopNotifier notifier(bus.address());

    struct Case
    {
        int newCount;
        QStringList titles;
        int notOpened;
        QString body;
    };
    const Case cases[] = {
        {2,
         {"红色 <毛衣>", "蓝 & 白"},
         0,
         "搜索“毛衣”有 2 件新宝贝\n红色 &lt;毛衣&gt;\n蓝 &amp; 白"},
        {35,
         {"一", "二", "三", "四"},
         5,
         "搜索“毛衣”有 35 件新宝贝\n一\n二\n三\n另有 5 件未在浏览器中打开"},
    };
    for (const Case& c : cases) {
        const std::size_t before = service.received().size();
        ASSERT_TRUE(
            notifier.notifyAlert(QStringLiteral("毛衣"), c.newCount, c.titles, c.notOpened));
        ASSERT_TRUE(waitUntil([&] { return service.received().size() > before; }));
        const FakeNotificationService::Received& got = service.received().back();
        EXPECT_EQ(got.appName, QStringLiteral("Tidewatch"));
        EXPECT_EQ(got.summary, QStringLiteral("发现更新！毛衣"));
        EXPECT_EQ(got.body, c.body);
        EXPECT_TRUE(got.actions.contains(QStringLiteral("default")));
    }
}

TEST_F(DesktopNotifierTest, clickOnOurNotificationCallsBackAndOnAnotherDoesNot)
{
    TestBus bus;
    FakeNotificationService service(bus.address());
    ASSERT_TRUE(service.registered());
    DesktopNotifier notifier(bus.address());
    std::vector<uint> shown;
    QObject::connect(&notifier, &DesktopNotifier::shown, [&](uint id) { shown.push_back(id); });
    int activations = 0;
    QObject::connect(&notifier, &DesktopNotifier::activated, [&] { ++activations; });

    ASSERT_TRUE(notifier.notify(QStringLiteral("标题"), QStringLiteral("正文")));
    ASSERT_TRUE(waitUntil([&] { return shown.size() == 1; }));
    const uint id = shown[0];

    service.click(id + 100);
    service.click(id, QStringLiteral("other"));
    service.click(id);
    ASSERT_TRUE(waitUntil([&] { return activations > 0; }));
    // The signals arrive in order: the two before the real click did nothing.
    QCoreApplication::processEvents();
    EXPECT_EQ(activations, 1);
}

TEST_F(DesktopNotifierTest, withoutABusOrAServiceNothingIsShownAndNothingFails)
{
    // No service on the bus: the call fails at once, quietly.
    TestBus bus;
    DesktopNotifier lonely(bus.address());
    int notShown = 0;
    QObject::connect(&lonely, &DesktopNotifier::notShown, [&] { ++notShown; });
    EXPECT_TRUE(lonely.notify(QStringLiteral("s"), QStringLiteral("b")));
    EXPECT_TRUE(waitUntil([&] { return notShown == 1; }));

    // No bus at all: nothing is sent.
    const QString nowhere =
        QStringLiteral("unix:path=") + QString::fromStdString("/nonexistent/tidewatch-bus");
    setenv("DBUS_SESSION_BUS_ADDRESS", nowhere.toUtf8().constData(), 1);
    DesktopNotifier sessionNotifier;
    EXPECT_FALSE(sessionNotifier.notify(QStringLiteral("s"), QStringLiteral("b")));
    EXPECT_FALSE(sessionNotifier.notifyAlert(QStringLiteral("k"), 1, {}, 0));
    DesktopNotifier named(nowhere);
    EXPECT_FALSE(named.notify(QStringLiteral("s"), QStringLiteral("b")));
}

} // namespace
} // namespace tw
