#include "core/apppaths.h"
#include "core/runflag.h"
#include "core/runsettings.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "engine/pollthread.h"
#include "fakepollclock.h"
#include "itemdbfixture.h"
#include "recordingsink.h"
#include "store/itemdb.h"
#include "support/fakehost.h"
#include "support/tempdir.h"
#include "testmarket/testmarket.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// The test marketplace's HTTP library is not built with ThreadSanitizer, so
// the sanitizer cannot see how its connection threads hand data over and
// reports races wholly inside it while a stalled answer waits. Nothing of ours
// is in those reports.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libcpp-httplib.so\n";
}

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::begun;
using test::done;
using test::failed;
using test::MarketFault;
using test::MarketItem;
using test::PolledMessage;
using test::stopped;
using test::TestMarket;

std::string idsOf(const std::vector<MarketItem>& items, std::size_t from = 0,
                  std::size_t count = std::string::npos)
{
    std::string ids;
    for (std::size_t i = from; i < items.size() && i - from < count; ++i) {
        if (!ids.empty()) {
            ids += ',';
        }
        ids += items[i].id;
    }
    return ids;
}

struct Report
{
    int slot;
    std::string ids;
    friend bool operator==(const Report&, const Report&) = default;
};

std::ostream& operator<<(std::ostream& os, const Report& r)
{
    return os << r.slot << ':' << r.ids;
}

class PollThreadTest : public ::testing::Test
{
protected:
    PollThreadTest()
    {
        EXPECT_TRUE(market.start());
        db.setConnStr(test::makeItemDatabase(dir));
        settings.interval = 1;
        session.connectTimeoutMs = 2000;
        // Short enough to keep the stalled case quick, long enough for a
        // sanitizer build on a busy machine.
        session.stallTimeoutMs = 1500;
        session.connectBackoffMs = 10;
        // Runs where the window would handle each message, on the worker thread.
        sink.onMessage = [this](const PolledMessage& m) {
            const bool checkEnded = m == done(int(m.lParam)) || m == failed(int(m.lParam));
            if (checkEnded) {
                ++ended[int(m.lParam)];
            }
            if (onEvent) {
                onEvent(m);
            }
            if (m.msg == WM_POLL_PROGRESS && windowTakes) {
                std::string ids = table.takeNewIds(int(m.lParam));
                if (!ids.empty()) {
                    reports.push_back({int(m.lParam), std::move(ids)});
                }
            }
            if (checkEnded && int(m.lParam) == stopSlot && ended[stopSlot] == stopAfter) {
                runFlag.requestStop();
            }
        };
    }

    void setWatches(const std::vector<std::string>& keys)
    {
        std::vector<Watch> watches;
        for (const std::string& key : keys) {
            watches.push_back({market.searchUrl(key), key});
        }
        table.replaceAll(watches);
    }

    PollThreadParams params()
    {
        return {sink, table, runFlag, settings, paths, db, core, session, openSession, &clock};
    }

    // Runs a worker until it ends by itself: a hook must stop it.
    void run()
    {
        CPollThread worker(params());
        current = &worker;
        ASSERT_TRUE(worker.CreateThread());
        worker.join();
        current = nullptr;
    }

    // The run stops when the check of slot has ended for the n-th time.
    void stopAfterChecks(int slot, int n)
    {
        stopSlot = slot;
        stopAfter = n;
    }

    // The ids stored under key, oldest first.
    std::vector<std::string> storedIds(const std::string& key)
    {
        std::vector<std::string> ids;
        for (const ItemRow& row : db.getLatestItems(key, 100000)) {
            ids.insert(ids.begin(), row.bbid);
        }
        return ids;
    }

    static std::vector<std::string> idVector(const std::vector<MarketItem>& items)
    {
        std::vector<std::string> ids;
        for (const MarketItem& item : items) {
            ids.push_back(item.id);
        }
        return ids;
    }

    test::TempDir dir;
    TestMarket market;
    CCore core{std::make_shared<test::FakeHost>(), dir.path()};
    AppPaths paths = AppPaths::under(dir.path());
    RunSettings settings;
    WatchTable table;
    RunFlag runFlag;
    CItemDb db;
    SessionSettings session;
    SessionFactory openSession;
    test::RecordingSink sink;
    test::FakePollClock clock;

    // Everything below is used on the worker thread while it runs, and by the
    // test only after join().
    CPollThread* current = nullptr;
    std::function<void(const PolledMessage&)> onEvent;
    bool windowTakes = true;
    std::vector<Report> reports;
    // Checks ended per slot, counted before onEvent sees the message.
    std::map<int, int> ended;
    int stopSlot = -1;
    int stopAfter = 0;
};

TEST_F(PollThreadTest, eachCheckPostsBeginThenDoneInSlotOrderAroundTheSlotWrites)
{
    market.setItems("alpha", TestMarket::makeItems(3, 100));
    market.setItems("gamma", TestMarket::makeItems(45, 1000)); // two pages
    setWatches({"alpha", "beta", "gamma"});
    const std::vector<std::string> expected = {idsOf(market.items("alpha")), "",
                                               idsOf(market.items("gamma"))};
    onEvent = [&](const PolledMessage& m) {
        const int slot = int(m.lParam);
        if (m == done(slot)) {
            // newIds is written before the message, lastIds only after it.
            EXPECT_EQ(table.newIds(slot), expected[slot]) << slot;
            EXPECT_EQ(table.lastIds(slot), "") << slot;
        }
    };
    stopAfterChecks(2, 1);
    run();

    EXPECT_EQ(sink.messages(), (std::vector<PolledMessage>{begun(0), done(0), begun(1), done(1),
                                                           begun(2), done(2), stopped()}));
    for (int slot = 0; slot < 3; ++slot) {
        EXPECT_EQ(table.lastIds(slot), expected[slot]) << slot;
    }
    EXPECT_EQ(reports, (std::vector<Report>{{0, expected[0]}, {2, expected[2]}}));
    EXPECT_EQ(storedIds("gamma"), idVector(market.items("gamma")));
}

TEST_F(PollThreadTest, secondPassOverUnchangedPagesReportsNothingAndAsksTheStoreNothing)
{
    market.setItems("alpha", TestMarket::makeItems(5, 100));
    market.setItems("beta", TestMarket::makeItems(3, 200));
    setWatches({"alpha", "beta"});
    const std::string goodDb = db.connStr();
    onEvent = [&](const PolledMessage& m) {
        if (m == done(1) && ended[1] == 1) {
            // From now on any store access fails the check.
            db.setConnStr(CCore::getDbConnStrMdb(dir.file("absent.mdb")));
        }
    };
    stopAfterChecks(1, 2);
    run();

    EXPECT_EQ(sink.messages(),
              (std::vector<PolledMessage>{begun(0), done(0), begun(1), done(1), begun(0), done(0),
                                          begun(1), done(1), stopped()}));
    EXPECT_EQ(reports.size(), 2u);
    db.setConnStr(goodDb);
    EXPECT_EQ(storedIds("alpha").size(), 5u);
}

TEST_F(PollThreadTest, eightFullPagesCostNoStoreAccessOnAnUnchangedPass)
{
    // 320 ids of 12 digits do not fit the lastIds field.
    market.setItems("alpha", TestMarket::makeItems(8 * TestMarket::kPageSize));
    setWatches({"alpha"});
    const std::string all = idsOf(market.items("alpha"));
    ASSERT_GT(all.size(), WatchTable::kLastIdsMax);
    const std::string goodDb = db.connStr();
    onEvent = [&](const PolledMessage& m) {
        if (m == done(0) && ended[0] == 1) {
            EXPECT_EQ(table.lastIds(0), "") << "not yet written";
            db.setConnStr(CCore::getDbConnStrMdb(dir.file("absent.mdb")));
        } else if (m == begun(0) && ended[0] == 1) {
            EXPECT_EQ(table.lastIds(0), fitIdList(all, WatchTable::kLastIdsMax));
        } else if (m == begun(0) && ended[0] == 2) {
            // The window reloads the list: the field no longer holds what the
            // worker wrote, so the worker must go by the field again.
            table.replaceAll({{market.searchUrl("alpha"), "alpha"}});
        }
    };
    stopAfterChecks(0, 3);
    run();

    EXPECT_EQ(sink.messages(), (std::vector<PolledMessage>{begun(0), done(0), begun(0), done(0),
                                                           begun(0), failed(0), stopped()}));
    db.setConnStr(goodDb);
    EXPECT_EQ(storedIds("alpha").size(), 320u);
}

TEST_F(PollThreadTest, itemListedBetweenPassesIsReportedOnce)
{
    market.setItems("alpha", TestMarket::makeItems(5, 100));
    setWatches({"alpha"});
    const std::string first = idsOf(market.items("alpha"));
    onEvent = [&](const PolledMessage& m) {
        if (m == done(0) && ended[0] == 1) {
            market.addItem("alpha", {"777", "新的"});
        }
    };
    stopAfterChecks(0, 3);
    run();

    EXPECT_EQ(reports, (std::vector<Report>{{0, first}, {0, "777"}}));
    EXPECT_EQ(storedIds("alpha").size(), 6u);
    EXPECT_EQ(table.lastIds(0), "777," + first);
}

TEST_F(PollThreadTest, passesFollowTheIntervalAndAStopWhileWaitingIsSeenWithinASecond)
{
    settings.interval = 10;
    market.setItems("alpha", TestMarket::makeItems(1, 100));
    setWatches({"alpha"});
    std::vector<int> sleepsAtEnd;
    int sleepsAtSecondBegin = -1;
    std::chrono::milliseconds stopAt{-1};
    std::chrono::milliseconds doneAt{-1};
    onEvent = [&](const PolledMessage& m) {
        if (m == done(0)) {
            sleepsAtEnd.push_back(clock.sleeps());
        } else if (m == begun(0) && sleepsAtEnd.size() == 1) {
            sleepsAtSecondBegin = clock.sleeps();
        } else if (m == stopped()) {
            doneAt = clock.now();
        }
    };
    clock.onSleep = [&](int n) {
        if (sleepsAtEnd.size() == 2 && n == sleepsAtEnd[1] + 4) {
            stopAt = clock.now();
            runFlag.requestStop();
        }
    };
    run();

    ASSERT_EQ(sleepsAtEnd.size(), 2u);
    EXPECT_EQ(sleepsAtEnd[0], 0) << "the first pass begins at once";
    EXPECT_EQ(sleepsAtSecondBegin - sleepsAtEnd[0], 9) << "interval - 1 sleeps between passes";
    ASSERT_GE(stopAt.count(), 0);
    EXPECT_LE(doneAt - stopAt, 1000ms);
    EXPECT_EQ(sink.messages().back(), stopped());
}

TEST_F(PollThreadTest, intervalBelowOneIsTakenAsOne)
{
    market.setItems("alpha", TestMarket::makeItems(1, 100));
    setWatches({"alpha"});
    for (const int interval : {0, -7}) {
        settings.interval = interval;
        ended.clear();
        runFlag.clear();
        stopAfterChecks(0, 3);
        run();
        EXPECT_EQ(ended[0], 3) << interval;
    }
    EXPECT_EQ(clock.sleeps(), 0) << "passes follow one another without a pause";
}

TEST_F(PollThreadTest, emptyWatchListOnlySleepsUntilStopped)
{
    clock.onSleep = [&](int n) {
        if (n == 5) {
            runFlag.requestStop();
        }
    };
    run();

    EXPECT_EQ(sink.messages(), std::vector<PolledMessage>{stopped()});
    EXPECT_EQ(clock.sleeps(), 5) << "with interval 1 an empty pass still waits";
    EXPECT_EQ(market.requestCount(), 0u);
}

TEST_F(PollThreadTest, watchCountChangedDuringAPassTakesEffectAtTheNextSlot)
{
    setWatches({"alpha", "beta", "gamma"});
    table.setWatchCount(1);
    onEvent = [&](const PolledMessage& m) {
        if (m == done(0) && ended[0] == 1) {
            table.setWatchCount(3);
        } else if (m == done(1)) {
            table.setWatchCount(1);
        }
    };
    stopAfterChecks(0, 2);
    run();

    EXPECT_EQ(sink.messages(), (std::vector<PolledMessage>{begun(0), done(0), begun(1), done(1),
                                                           begun(0), done(0), stopped()}));
}

TEST_F(PollThreadTest, stopDuringACheckLetsItFinishAndLosesNoItem)
{
    market.setItems("alpha", TestMarket::makeItems(3, 100));
    market.setItems("beta", TestMarket::makeItems(2, 200));
    setWatches({"alpha", "beta"});
    onEvent = [&](const PolledMessage& m) {
        if (m == begun(0)) {
            runFlag.requestStop();
        }
    };
    run();

    EXPECT_EQ(sink.messages(), (std::vector<PolledMessage>{begun(0), done(0), stopped()}));
    EXPECT_GE(market.requestCount(), 1u) << "the pages of the check were still fetched";
    // The walk never got to the items, so they are not taken as seen...
    EXPECT_EQ(table.lastIds(0), "");

    // ...and the next run reports every one of them.
    onEvent = nullptr;
    runFlag.clear();
    stopAfterChecks(1, 1);
    run();
    EXPECT_EQ(reports, (std::vector<Report>{{0, idsOf(market.items("alpha"))},
                                            {1, idsOf(market.items("beta"))}}));
}

TEST_F(PollThreadTest, newIdsTheWindowHasNotTakenAreKept)
{
    windowTakes = false;
    market.setItems("alpha", TestMarket::makeItems(2, 100));
    setWatches({"alpha"});
    table.setNewIds(0, "55");
    stopAfterChecks(0, 2);
    run();

    EXPECT_EQ(table.newIds(0), "55," + idsOf(market.items("alpha")));
}

TEST_F(PollThreadTest, listImportedDuringACheckGetsNoneOfTheOldWatchsResults)
{
    market.setItems("alpha", TestMarket::makeItems(3, 100));
    market.setItems("beta", TestMarket::makeItems(2, 200));
    // Holds the first page back so that the import surely lands mid-check.
    market.setFault("alpha", {.kind = MarketFault::Kind::Stall, .stallMs = 500, .times = 1});
    setWatches({"alpha"});
    stopAfterChecks(0, 1);
    CPollThread worker(params());
    ASSERT_TRUE(worker.CreateThread());
    ASSERT_TRUE(market.waitForRequests(1, 30s));
    table.replaceAll({{market.searchUrl("beta"), "beta"}});
    worker.join();

    EXPECT_EQ(sink.messages(), (std::vector<PolledMessage>{begun(0), done(0), stopped()}));
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(table.lastIds(0), "");
    EXPECT_EQ(storedIds("alpha"), idVector(market.items("alpha"))) << "filed under its own key";
    EXPECT_TRUE(storedIds("beta").empty());
}

TEST_F(PollThreadTest, failedSessionPostsOneDoneAndTouchesNoSlot)
{
    openSession = [](const SessionSettings&) { return std::unique_ptr<HttpSession>(); };
    market.setItems("alpha", TestMarket::makeItems(2, 100));
    setWatches({"alpha"});
    table.setLastIds(0, "1");
    run();

    EXPECT_EQ(sink.messages(), (std::vector<PolledMessage>{{WM_POLL_DONE, 0, -1}}));
    EXPECT_EQ(market.requestCount(), 0u);
    EXPECT_EQ(table.lastIds(0), "1");
    EXPECT_EQ(table.newIds(0), "");
}

// Two passes over one watch whose first check fails; the second must find
// every item that the first did not report, and report none twice.
class FailedCheckTest : public PollThreadTest
{
protected:
    void runTwoPasses(const std::function<void()>& afterFailure = {})
    {
        onEvent = [&](const PolledMessage& m) {
            if (m == failed(0) && ended[0] == 1) {
                reason = current->failureReason(0);
                if (afterFailure) {
                    afterFailure();
                }
            }
            if (m == begun(0) && ended[0] == 1) {
                lastIdsAfterFailure = table.lastIds(0);
            }
            if (m == done(0)) {
                reasonAfterRecovery = current->failureReason(0);
            }
        };
        stopAfterChecks(0, 2);
        run();

        const std::vector<PolledMessage> messages = sink.messages();
        EXPECT_EQ(messages,
                  (std::vector<PolledMessage>{begun(0), failed(0), begun(0), done(0), stopped()}));
        EXPECT_FALSE(reason.empty());
        EXPECT_EQ(reasonAfterRecovery, "");
        EXPECT_EQ(lastIdsAfterFailure, "") << "a failed check leaves lastIds";
        std::string reported;
        for (const Report& r : reports) {
            reported += (reported.empty() ? "" : ",") + r.ids;
        }
        EXPECT_EQ(reported, idsOf(market.items("alpha"))) << "every item once, in order";
        EXPECT_EQ(storedIds("alpha"), idVector(market.items("alpha")));
        EXPECT_EQ(table.lastIds(0), idsOf(market.items("alpha")));
    }

    std::string reason = "";
    std::string reasonAfterRecovery = "?";
    std::string lastIdsAfterFailure = "?";
};

TEST_F(FailedCheckTest, httpErrorOnALaterPageStillReportsTheEarlierPages)
{
    market.setItems("alpha", TestMarket::makeItems(45, 100));
    setWatches({"alpha"});
    market.setFault("alpha",
                    {.kind = MarketFault::Kind::Status, .status = 500, .offset = 40, .times = 1});
    runTwoPasses();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].ids, idsOf(market.items("alpha"), 0, 40));
    EXPECT_NE(reason.find("500"), std::string::npos) << reason;
}

TEST_F(FailedCheckTest, unreachableServer)
{
    int closedPort = 0;
    {
        TestMarket gone;
        ASSERT_TRUE(gone.start());
        closedPort = gone.port();
    }
    market.setItems("alpha", TestMarket::makeItems(3, 100));
    table.replaceAll(
        {{"http://127.0.0.1:" + std::to_string(closedPort) + "/search?q=alpha", "alpha"}});
    runTwoPasses([&] { table.setWatch(0, {market.searchUrl("alpha"), "alpha"}); });
}

TEST_F(FailedCheckTest, stalledResponse)
{
    market.setItems("alpha", TestMarket::makeItems(3, 100));
    setWatches({"alpha"});
    market.setFault("alpha", {.kind = MarketFault::Kind::Stall, .stallMs = 0, .times = 1});
    runTwoPasses();
}

TEST_F(FailedCheckTest, lockedDatabase)
{
    market.setItems("alpha", TestMarket::makeItems(3, 100));
    setWatches({"alpha"});
    db.setBusyTimeout(50ms);
    auto lock = std::make_unique<test::DbLock>(dir.file("sys.mdb"));
    runTwoPasses([&] { lock.reset(); });
}

TEST_F(PollThreadTest, abortDuringAStalledDownloadOrASleepEndsTheWorker)
{
    market.setItems("alpha", TestMarket::makeItems(3, 100));
    market.setFault("alpha", {.kind = MarketFault::Kind::Stall, .stallMs = 0});
    setWatches({"alpha"});
    // Far beyond the test's time limit: only abort() can end this download.
    session.stallTimeoutMs = 3600 * 1000;
    PollThreadParams realTime = params();
    realTime.clock = nullptr;

    CPollThread worker(realTime);
    ASSERT_TRUE(worker.CreateThread());
    EXPECT_FALSE(worker.CreateThread()) << "one run per object";
    ASSERT_TRUE(market.waitForRequests(1, 30s));
    worker.abort();
    worker.join();
    EXPECT_EQ(sink.messages(), (std::vector<PolledMessage>{begun(0), failed(0), stopped()}));
    EXPECT_NE(worker.failureReason(0).find("abort"), std::string::npos) << worker.failureReason(0);

    // An hour between passes: only the destructor's abort() ends the wait.
    settings.interval = 3600;
    table.setWatchCount(0);
    {
        CPollThread idle(realTime);
        ASSERT_TRUE(idle.CreateThread());
    }
    EXPECT_EQ(sink.messages().back(), stopped());
}

TEST(SteadyPollClock, interruptEndsASleepAndEveryLaterOne)
{
    SteadyPollClock clock;
    std::thread sleeper([&] { clock.sleepFor(std::chrono::hours(1)); });
    clock.interrupt();
    sleeper.join();
    clock.sleepFor(std::chrono::hours(1));
    SUCCEED();
}

} // namespace
} // namespace tw
