#include "desktop/desktopnotifier.h"
#include "tests/support/fakenotificationservice.h"
#include "tests/support/roomfixture.h"
#include "tests/support/testbus.h"
#include "ui/blockednotice.h"

#include <QSignalSpy>

namespace tw::test {
namespace {

using namespace std::chrono_literals;

QString noteOf(const QString& rows, const QString& queries)
{
    return "第 " + rows + " 行疑似被拦截（" + queries +
           "）：请检查 cookiefile 等设置，或稍后再试。";
}

// The notice over a real run; the note as the window would show it.
class BlockedNoticeTest : public RoomTest
{
protected:
    BlockedNoticeTest()
    {
        for (const char* key : {"a", "b", "c", "d"}) {
            market.setItems(key, TestMarket::makeItems(2));
        }
        QObject::connect(&notice, &BlockedNotice::noteChanged,
                         [this](const QString&, const QString& tip) { noteTip = tip; });
    }

    DesktopNotifier notifier;
    BlockedNotice notice{list, run, settings, notifier};
    QString noteTip;
};

// Watches sent to a login page: the third such check in a row names them in
// the note. The note follows them through an import, forgets the one that
// left and goes when the last one works again.
TEST_F(BlockedNoticeTest, namesEachBlockedWatchWhereverItMovesUntilItWorks)
{
    market.setFault("a", {MarketFault::Kind::Login});
    market.setFault("c", {MarketFault::Kind::Login});
    watch({"a", "b", "c"});
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(passEnded());
    ASSERT_TRUE(nextPass());
    EXPECT_EQ(notice.note(), "");
    ASSERT_TRUE(nextPass());
    EXPECT_EQ(notice.note(), noteOf("1、3", "cat=1&q=a&sort=new；cat=1&q=c&sort=new"));
    EXPECT_EQ(noteTip.count(QStringLiteral("被重定向到其他网站 localhost")), 2)
        << noteTip.toStdString();

    importKeys({"c", "d"});
    EXPECT_EQ(notice.note(), noteOf("1", "cat=1&q=c&sort=new"));

    // The watch rests after the third blocked answer; the clock goes past it.
    market.clearFaults();
    ASSERT_TRUE(nextPass(1h));
    EXPECT_EQ(notice.note(), "");
    EXPECT_EQ(noteTip, "");
}

// With notify=1 the desktop tells it where it has a notification service;
// without one the note in the window does.
TEST_F(BlockedNoticeTest, isToldByTheDesktopWhereItCanElseByTheNote)
{
    TestBus bus;
    notifier.setBusAddress(bus.address());
    settings.notify = 1;
    watch({"a"});
    const std::string url = market.searchUrl("a");
    notice.report(url, "HTTP 403");
    ASSERT_TRUE(processEventsUntil([&] { return !notice.note().isEmpty(); }))
        << "a bus without the service";
    EXPECT_EQ(notice.note(), noteOf("1", "cat=1&q=a&sort=new"));
    EXPECT_EQ(noteTip, "HTTP 403");

    notice.cleared(url);
    EXPECT_EQ(notice.note(), "");
    FakeNotificationService service(bus.address());
    ASSERT_TRUE(service.registered());
    QSignalSpy shown(&notifier, &DesktopNotifier::shown);
    notice.report(url, "HTTP 403");
    ASSERT_TRUE(processEventsUntil([&] { return shown.size() == 1; }));
    ASSERT_EQ(service.received().size(), 1u);
    EXPECT_EQ(service.received()[0].summary, "疑似被拦截");
    EXPECT_TRUE(
        service.received()[0].body.startsWith(QStringLiteral("第 1 行疑似被拦截（cat=1&amp;q=a")))
        << service.received()[0].body.toStdString();
    EXPECT_EQ(notice.note(), "");
}

} // namespace
} // namespace tw::test
