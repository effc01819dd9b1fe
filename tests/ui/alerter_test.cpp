#include "desktop/alertcommand.h"
#include "desktop/desktopnotifier.h"
#include "tests/support/fakenotificationservice.h"
#include "tests/support/roomfixture.h"
#include "tests/support/testbus.h"
#include "ui/alerter.h"
#include "ui/alertoutbox.h"

#include <filesystem>
#include <map>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace tw::test {
namespace {

using namespace std::chrono_literals;

std::string page(const std::string& id)
{
    return "http://127.0.0.1:8/item.htm?id=" + id;
}

// The alarm, the pages, the notification and the alert command over a real
// run; no window.
class AlerterTest : public RoomTest
{
protected:
    DesktopNotifier notifier;
    AlertCommand command;
    AlertOutbox outbox{{core, db, settings, notifier, command}};
    Alerter alerter{{core, settings, paths, notifier, outbox}, run};

    bool pagesHandedOver()
    {
        return processEventsUntil([this] { return outbox.pagesWaiting() == 0; });
    }
};

// Each watch's alert opens its first openlimit pages in the order the
// marketplace lists them, the id kept whole in the query value, and tells the
// notification and the alert command the titles its own pages gave, also
// when another watch's check ran before the alert was handled.
TEST_F(AlerterTest, opensThePagesUpToOpenLimitAndTellsEachWatchsOwnTitles)
{
    TestBus bus;
    FakeNotificationService service(bus.address());
    ASSERT_TRUE(service.registered());
    notifier.setBusAddress(bus.address());
    settings.notify = 1;
    const std::string script = dir.file("push");
    writeFile(script, "#!/bin/sh\ncat >> \"$1\"\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    settings.onAlert = script + " " + dir.file("alerts.json");

    market.setItems("lamp", {{"7#x", "红色 台灯"}, {"8/../evil?y=1", "蓝色 台灯"}});
    market.setItems("bike",
                    TestMarket::makeItems(8 * TestMarket::kPageSize, 910000000001LL, "山地车"));
    watch({"lamp", "bike"});
    ASSERT_TRUE(startRun());
    // Nothing is handed on before the pass is over: the first watch's alert
    // comes after the second watch's check replaced what the worker keeps of
    // its last page.
    ASSERT_TRUE(clock.waitAsleep());
    ASSERT_TRUE(passEnded());

    std::vector<std::string> pages{page("7%23x"), page("8%2F..%2Fevil%3Fy%3D1")};
    for (long long id = 910000000001LL; id <= 910000000030LL; ++id) {
        pages.push_back(page(std::to_string(id)));
    }
    ASSERT_TRUE(pagesHandedOver());
    EXPECT_EQ(host->urls(), pages);
    EXPECT_EQ(host->sounds(), std::vector<std::string>(2, paths.alertFile));

    ASSERT_TRUE(processEventsUntil([&] { return service.received().size() == 2; }));
    EXPECT_EQ(service.received()[0].summary, "发现更新！lamp");
    EXPECT_EQ(service.received()[0].body, "搜索“lamp”有 2 件新宝贝\n红色 台灯\n蓝色 台灯");
    EXPECT_EQ(service.received()[1].body,
              "搜索“bike”有 320 件新宝贝\n山地车 910000000001\n山地车 910000000002\n"
              "山地车 910000000003\n另有 290 件未在浏览器中打开");

    ASSERT_TRUE(
        processEventsUntil([&] { return command.running() == 0 && command.waiting() == 0; }));
    // The commands run side by side: each writes its alert when it gets to it.
    std::map<QString, QJsonObject> alerts;
    for (const QByteArray& line :
         QByteArray::fromStdString(readFile(dir.file("alerts.json"))).trimmed().split('\n')) {
        const QJsonObject alert = QJsonDocument::fromJson(line).object();
        alerts[alert.value("key").toString()] = alert;
    }
    ASSERT_EQ(alerts.size(), 2u);
    const QJsonObject lamp = alerts["lamp"];
    EXPECT_EQ(lamp.value("url").toString().toStdString(), market.searchUrl("lamp"));
    EXPECT_EQ(lamp.value("count").toInt(), 2);
    const QJsonArray lampItems = lamp.value("items").toArray();
    ASSERT_EQ(lampItems.size(), 2);
    EXPECT_EQ(lampItems[0].toObject().value("id").toString(), "7#x");
    EXPECT_EQ(lampItems[0].toObject().value("title").toString(), "红色 台灯");
    EXPECT_EQ(lampItems[1].toObject().value("title").toString(), "蓝色 台灯");
    const QJsonObject bike = alerts["bike"];
    EXPECT_EQ(bike.value("count").toInt(), 320);
    EXPECT_EQ(bike.value("items").toArray()[319].toObject().value("title").toString(),
              "山地车 910000000320");
}

// A quiet first check raises no alert. An alert sounds the alarm and once
// more after the replay delay, unless the alarm is stopped first; openlimit=0
// opens no page but still sounds.
TEST_F(AlerterTest, theAlarmSoundsOnceMoreAfterTheReplayDelayUnlessStopped)
{
    settings.baseline = 1;
    market.setItems("lamp", TestMarket::makeItems(2, 100));
    watch({"lamp"});
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(passEnded());
    EXPECT_TRUE(host->sounds().empty());
    EXPECT_TRUE(host->urls().empty());
    EXPECT_FALSE(alerter.alarmPending());

    alerter.setReplayDelay(20ms);
    market.addItem("lamp", {"901", "新的"});
    ASSERT_TRUE(nextPass());
    ASSERT_TRUE(pagesHandedOver());
    EXPECT_EQ(host->urls(), std::vector<std::string>{page("901")});
    ASSERT_TRUE(processEventsUntil([&] { return host->sounds().size() == 2; }));
    EXPECT_EQ(host->sounds(), std::vector<std::string>(2, paths.alertFile));
    EXPECT_FALSE(alerter.alarmPending()) << "replayed once";

    alerter.setReplayDelay(Alerter::kReplay);
    settings.openLimit = 0;
    market.addItem("lamp", {"902", "又一个"});
    ASSERT_TRUE(nextPass());
    EXPECT_EQ(host->sounds().size(), 3u);
    ASSERT_TRUE(pagesHandedOver());
    EXPECT_EQ(host->urls().size(), 1u);
    ASSERT_TRUE(alerter.alarmPending());
    alerter.stopAlarm();
    EXPECT_FALSE(alerter.alarmPending());
    EXPECT_EQ(host->stops(), 1);
}

} // namespace
} // namespace tw::test
