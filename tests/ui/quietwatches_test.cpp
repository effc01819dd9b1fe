#include "desktop/alertcommand.h"
#include "desktop/desktopnotifier.h"
#include "tests/support/roomfixture.h"
#include "ui/alertoutbox.h"
#include "ui/quietwatches.h"
#include "ui/unseenitems.h"
#include "ui/watchlistmodel.h"

#include <filesystem>

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>

namespace tw::test {
namespace {

using namespace std::chrono_literals;

// The quiet-watch warning over a real run and store, with the worker's clock
// in the test's hand; the row shows what the user sees.
class QuietWatchesTest : public RoomTest
{
protected:
    QuietWatchesTest()
    {
        settings.quietFactor = 5;
        settings.quietMinutes = 30;
        const std::string script = dir.file("push");
        writeFile(script, "#!/bin/sh\ncat >> \"$1\"\n");
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
        settings.onAlert = script + " " + dir.file("alerts.json");
        rows.showQuiet(*quiet);
    }
    // Passes `step` apart, each checking the watch once.
    void passes(int n, std::chrono::milliseconds step)
    {
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(nextPass(step));
        }
    }
    QString row() const { return rows.index(0, WatchListModel::StatusColumn).data().toString(); }
    std::string commands() const { return readFile(dir.file("alerts.json")); }
    bool commandsDone() const
    {
        return processEventsUntil([this] { return command.running() == 0; });
    }

    DesktopNotifier notifier;
    AlertCommand command;
    UnseenItems unseen{run, [] { return true; }};
    WatchListModel rows{list, run, unseen};
    AlertOutbox outbox{{core, db, settings, notifier, command}};
    std::unique_ptr<QuietWatches> quiet =
        std::make_unique<QuietWatches>(QuietContext{db, settings, outbox}, run);
};

// A watch that found something every three minutes is told as quiet once it
// has been checked for five times that and for quietminutes without a find:
// not before, once per episode, also across a restart. Checks that fail and
// hours without checks (the program closed) do not count; the next find ends
// the episode.
TEST_F(QuietWatchesTest, aWatchThatStoppedFindingIsToldOnceAfterTheMultipleAndTheFloor)
{
    const std::string url = market.searchUrl("a");
    market.setItems("a", TestMarket::makeItems(1, 100));
    watch({"a"});
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(passEnded());
    for (int n = 1; n <= 5; ++n) {
        market.addItem("a", {std::to_string(100 + n), "lamp"});
        ASSERT_TRUE(nextPass(3min));
    }
    // Looked at: the row no longer counts them.
    unseen.watchSeen(url);
    QSignalSpy told(quiet.get(), &QuietWatches::quietTold);

    market.setFault("a", {MarketFault::Kind::Status, 500});
    passes(24, 5min);
    EXPECT_EQ(row(), "检测失败");
    market.clearFaults();
    ASSERT_TRUE(nextPass(10h)); // as if the program had been closed
    passes(5, 5min);
    EXPECT_EQ(row(), "无更新") << "25 minutes checked: under the floor of 30";
    EXPECT_TRUE(told.isEmpty());

    passes(2, 5min);
    EXPECT_EQ(row(), "可能已失效");
    const QString tip = rows.index(0, WatchListModel::StatusColumn).data(Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains(QStringLiteral("平时约每 3 分钟发现一次，已检测 35 分钟没有发现新宝贝")))
        << tip.toStdString();
    passes(3, 5min);
    ASSERT_EQ(told.size(), 1);
    ASSERT_TRUE(commandsDone());
    const QJsonObject alert =
        QJsonDocument::fromJson(QByteArray::fromStdString(commands())).object();
    EXPECT_EQ(alert.value("event").toString(), "quiet");
    EXPECT_EQ(alert.value("url").toString(), QString::fromStdString(url));
    EXPECT_EQ(alert.value("words").toString(), "a");
    EXPECT_EQ(alert.value("count").toInt(-1), 0);
    EXPECT_TRUE(alert.value("items").isArray());
    // Three minutes and the worker's sleeps between passes.
    EXPECT_NEAR(alert.value("usual_gap_s").toInteger(), 3 * 60, 10);
    EXPECT_NEAR(alert.value("quiet_s").toInteger(), 30 * 60, 30);

    // A restart remembers the episode and does not tell it again.
    ASSERT_TRUE(stopRun());
    quiet = std::make_unique<QuietWatches>(QuietContext{db, settings, outbox}, run);
    quiet->load();
    rows.showQuiet(*quiet);
    QSignalSpy toldAgain(quiet.get(), &QuietWatches::quietTold);
    EXPECT_TRUE(quiet->isQuiet(url));
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(passEnded());
    passes(2, 5min);
    EXPECT_EQ(row(), "可能已失效");
    EXPECT_TRUE(toldAgain.isEmpty());

    market.addItem("a", {"200", "lamp"});
    ASSERT_TRUE(nextPass(5min));
    EXPECT_FALSE(quiet->isQuiet(url));
    EXPECT_EQ(row(), "发现更新！(1)");
    ASSERT_TRUE(commandsDone());
    const std::string sent = commands();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), '\n'), 1) << sent;
}

// Time a watch rested by the user's choice is not time it was watched, and
// a watch with an hour of its own between checks is watched all along.
TEST_F(QuietWatchesTest, pausedTimeIsNotWatchedTimeAndAWatchsOwnIntervalKeepsItsSpan)
{
    const std::string url = market.searchUrl("a");
    const std::string slow = market.searchUrl("b");
    quiet = std::make_unique<QuietWatches>(
        QuietContext{db, settings, outbox,
                     [&](const std::string& u) {
                         return u == slow ? std::optional(3600) : std::nullopt;
                     }},
        run);
    rows.showQuiet(*quiet);
    // Every wake of the worker's sleep is a pass.
    settings.interval = 1;
    market.setItems("a", TestMarket::makeItems(1, 100));
    market.setItems("b", TestMarket::makeItems(1, 200));
    watch({"a", "b"});
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(passEnded());
    for (int n = 1; n <= 4; ++n) {
        market.addItem("a", {std::to_string(100 + n), "lamp"});
        market.addItem("b", {std::to_string(200 + n), "lamp"});
        ASSERT_TRUE(nextPass(1min));
    }
    // Quiet time begins with the first check after the last find.
    passes(1, 1min);
    quiet->resting(url);
    passes(1, 5min);
    passes(1, 1h);
    quiet->save();
    const auto records = db.quietRecords(20);
    EXPECT_EQ(records.at(url).checked.size(), 3u) << "two breaks: the pause and the hour";
    ASSERT_EQ(records.at(slow).checked.size(), 1u);
    const StoredSpan& span = records.at(slow).checked.front();
    // Each wait is the test's step and the worker's one-second sleep.
    EXPECT_EQ(span.end - span.begin, 5min + 1h + 2s);
}

} // namespace
} // namespace tw::test
