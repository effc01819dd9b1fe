#include "tests/engine/pollworkerfixture.h"

namespace tw::test {

using namespace std::chrono_literals;

// Two passes over one watch whose first check fails; the second must find
// every item that the first did not report, and report none twice.
// seenAfterFailure is lastIds after the failed check: the ids of the pages
// that came whole before it. Returns why the first check failed.
std::string PollThreadTest::failThenRecover(const std::function<void()>& afterFailure,
                                            const std::string& seenAfterFailure)
{
    std::string reason;
    std::string reasonAfterRecovery = "?";
    std::string lastIdsAfterFailure = "?";
    onEvent = [&](const PolledMessage& m) {
        if (m == failed(0) && ended[0] == 1) {
            reason = latest.reason;
            if (afterFailure) {
                afterFailure();
            }
        } else if (m == begun(0) && ended[0] == 1) {
            lastIdsAfterFailure = table.slot(0).lastIds;
        } else if (m == done(0)) {
            reasonAfterRecovery = latest.reason;
        }
    };
    stopAfterChecks(0, 2);
    run();

    const std::string all = listed("alpha");
    EXPECT_EQ(messages, (Messages{begun(0), failed(0), begun(0), done(0), stopped}));
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(reasonAfterRecovery, "");
    EXPECT_EQ(lastIdsAfterFailure, seenAfterFailure);
    std::string reported;
    for (const std::string& r : reports) {
        reported += (reported.empty() ? "" : ",") + r.substr(2);
    }
    EXPECT_EQ(reported, all) << "every item once, in order";
    // Newest check first, each in page order.
    std::string stored;
    for (auto r = reports.rbegin(); r != reports.rend(); ++r) {
        stored += (stored.empty() ? "" : ",") + r->substr(2);
    }
    EXPECT_EQ(storedIds(db, "alpha"), stored);
    EXPECT_EQ(table.slot(0).lastIds, all);
    return reason;
}

namespace {

TEST_F(PollThreadTest, eachCheckPostsBeginThenDoneInSlotOrderAroundTheSlotWrites)
{
    market.setItems("gamma", TestMarket::makeItems(45, 1000)); // two pages
    setWatches({"alpha", "nothing", "gamma"});
    const Strings expected = {listed("alpha"), "", listed("gamma")};
    const std::vector<FoundItem> expectedItems[] = {marketItems("alpha"), {}, marketItems("gamma")};
    onEvent = [&](const PolledMessage& m) {
        const int slot = m.slot;
        const WatchId id = idOf(table.url(slot));
        if (m == begun(slot)) {
            EXPECT_EQ(latestBegan.watch.id, id) << slot;
            EXPECT_EQ(latestBegan.watch.url, table.url(slot)) << slot;
        } else if (m == done(slot)) {
            // The message carries the watch and its items, each with the
            // title its page gave; lastIds is written after it.
            EXPECT_EQ(latest.watch.id, id) << slot;
            EXPECT_EQ(latest.watch.url, table.url(slot)) << slot;
            EXPECT_EQ(latest.items, expectedItems[slot]) << slot;
            EXPECT_FALSE(latest.endsRun) << "the run keeps watching";
            EXPECT_EQ(table.slot(slot).lastIds, "") << slot;
        }
    };
    stopAfterChecks(2, 1);
    run();

    EXPECT_EQ(messages,
              (Messages{begun(0), done(0), begun(1), done(1), begun(2), done(2), stopped}));
    for (int slot = 0; slot < 3; ++slot) {
        EXPECT_EQ(table.slot(slot).lastIds, expected[slot]) << slot;
    }
    EXPECT_EQ(reports, (Strings{"0:" + expected[0], "2:" + expected[2]}));
    EXPECT_EQ(storedIds(db, "gamma"), expected[2]);
}

// Unless the run keeps watching, the first check that reports items ends it:
// no later watch is asked before the window has shown the alert.
TEST_F(PollThreadTest, checkThatReportsItemsEndsTheRunUnlessItKeepsWatching)
{
    settings.keepWatching = 0;
    setWatches({"nothing", "alpha", "beta"});
    std::vector<bool> endsRun;
    onEvent = [&](const PolledMessage& m) {
        if (m.kind == PolledMessage::Kind::Ended) {
            endsRun.push_back(latest.endsRun);
        }
    };
    stopAfterChecks(2, 1); // should the worker not end the run itself
    run();

    EXPECT_EQ(messages, (Messages{begun(0), done(0), begun(1), done(1), stopped}));
    EXPECT_EQ(endsRun, (std::vector<bool>{false, true}));
    EXPECT_EQ(reports, (Strings{"1:" + listed("alpha")}));
    EXPECT_EQ(table.slot(1).lastIds, listed("alpha"));
    EXPECT_EQ(storedIds(db, "beta"), "") << "beta was never checked";
}

TEST_F(PollThreadTest, unchangedPassAsksTheStoreNothingEvenPastWhatLastIdsHolds)
{
    // 320 ids of 12 digits do not fit the lastIds field.
    market.setItems("alpha", TestMarket::makeItems(8 * TestMarket::kPageSize));
    setWatches({"alpha", "beta"});
    const std::string all = listed("alpha");
    ASSERT_GT(all.size(), WatchTable::kLastIdsMax);
    onEvent = [&](const PolledMessage& m) {
        if (m == done(1) && ended[1] == 1) {
            // From now on any store access fails the check.
            db.setConnStr(CCore::getDbConnStrMdb(dir.file("absent.mdb")));
        } else if (m == begun(0) && ended[0] == 1) {
            EXPECT_EQ(table.slot(0).lastIds, fitIdList(all, WatchTable::kLastIdsMax));
        } else if (m == done(1) && ended[1] == 2) {
            // Before the third check of alpha: the same list imported again
            // keeps what each watch saw last.
            setWatches({"alpha", "beta"});
        } else if (m == done(1) && ended[1] == 3) {
            // Before the fourth: a field that no longer holds what the worker
            // wrote makes the worker go by the field again.
            table.setLastIdsFor(0, table.slot(0).url, "");
        }
    };
    stopAfterChecks(0, 4);
    run();

    EXPECT_EQ(messages,
              (Messages{begun(0), done(0), begun(1), done(1), begun(0), done(0), begun(1), done(1),
                        begun(0), done(0), begun(1), done(1), begun(0), failed(0), stopped}));
    EXPECT_EQ(reports.size(), 2u);
    db.setConnStr(goodDb);
    EXPECT_EQ(storedIds(db, "alpha"), all);
}

TEST_F(PollThreadTest, itemListedBetweenPassesIsReportedOnce)
{
    const std::string first = listed("alpha");
    onEvent = [&](const PolledMessage& m) {
        if (m == done(0) && ended[0] == 1) {
            market.addItem("alpha", {"777", "新的"});
        }
    };
    stopAfterChecks(0, 3);
    run();

    EXPECT_EQ(reports, (Strings{"0:" + first, "0:777"}));
    EXPECT_EQ(storedIds(db, "alpha"), "777," + first);
    EXPECT_EQ(table.slot(0).lastIds, "777," + first);
}

// An id that is not text is neither reported, stored nor opened, and does not
// end the run before the healthy watch after it; the watch's health counts it.
TEST_F(PollThreadTest, idThatIsNoTextIsDroppedAndCountedInTheHealth)
{
    market.setItems("alpha", {{"\xFF\xFE", "二进制"}, {"100", "a"}, {"10 1", "b"}});
    setWatches({"alpha", "beta"});
    stopAfterChecks(1, 1);
    WatchHealth health;
    onEvent = [&](const PolledMessage& m) {
        if (m == done(0)) {
            health = *latest.health;
        }
    };
    run();

    EXPECT_EQ(reports, (Strings{"0:100", "1:" + listed("beta")}));
    EXPECT_EQ(storedIds(db, "alpha"), "100");
    EXPECT_EQ(health.invalidIds, 2u);
    EXPECT_NE(healthText(health, kStart).find("1 个宝贝，2 个无效编号"), std::string::npos)
        << healthText(health, kStart);
}

TEST_F(PollThreadTest, passesFollowTheIntervalAndAStopWhileWaitingIsSeenWithinASecond)
{
    settings.interval = 10;
    std::vector<int> sleepsAtBegin;
    std::chrono::milliseconds stopAt{-1};
    onEvent = [&](const PolledMessage& m) {
        if (m == begun(0)) {
            sleepsAtBegin.push_back(sleeps);
        }
    };
    onSleep = [&](int n) {
        if (n == 13) {
            stopAt = elapsed;
            runFlag.requestStop();
        }
    };
    run();

    // The first pass begins at once, the next after interval - 1 sleeps.
    EXPECT_EQ(sleepsAtBegin, (std::vector<int>{0, 9}));
    EXPECT_EQ(messages.back(), stopped);
    EXPECT_LE(elapsed - stopAt, 1000ms);
}

// A pass begins interval - 1 s after the last ended (a second when all its
// checks failed), but never within a second of the last one's beginning:
// with interval 1 a quick pass would otherwise follow at once, hundreds of
// requests a second against a fast server.
TEST_F(PollThreadTest, passBeginsIntervalMinusOneAfterTheLastEndedButASecondAfterItBeganAtLeast)
{
    const struct
    {
        int interval;
        std::chrono::milliseconds passTakes;
        bool checkFails;
        int jitter;
        std::chrono::milliseconds apart;
    } cases[] = {
        {1, 0ms, false, 0, 1000ms},
        {1, 300ms, false, 0, 1000ms},
        {1, 1500ms, false, 0, 1500ms},
        {1, 300ms, true, 0, 1300ms},
        {0, 0ms, false, 0, 1000ms},
        {-7, 0ms, false, 0, 1000ms},
        {3, 0ms, false, 0, 2000ms},
        {3, 1500ms, false, 0, 3500ms},
        // Jitter shortens the wait after the pass to nothing.
        {2, 0ms, false, 100, 1000ms},
    };
    random = [] { return 0.0; };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "interval " << c.interval << ", pass " << c.passTakes.count()
                     << " ms, fails " << c.checkFails << ", jitter " << c.jitter);
        settings.interval = c.interval;
        settings.jitter = c.jitter;
        market.clearFaults();
        if (c.checkFails) {
            market.setFault("alpha", {.kind = MarketFault::Kind::Status, .status = 500});
        }
        std::vector<std::chrono::milliseconds> began;
        onEvent = [&](const PolledMessage& m) {
            if (m == begun(0)) {
                began.push_back(elapsed);
                elapsed += c.passTakes;
            }
        };
        ended.clear();
        runFlag.clear();
        stopAfterChecks(0, 3);
        run();
        ASSERT_EQ(began.size(), 3u);
        EXPECT_EQ(began[1] - began[0], c.apart);
        EXPECT_EQ(began[2] - began[1], c.apart);
    }
}

// The second's wait is one of the worker's sleeps: a stop during it ends the
// run before another pass.
TEST_F(PollThreadTest, stopDuringTheWaitForTheNextPassEndsTheRunAtOnce)
{
    onSleep = [&](int) { runFlag.requestStop(); };
    run();
    EXPECT_EQ(messages, (Messages{begun(0), done(0), stopped}));
    EXPECT_EQ(sleeps, 1);
    EXPECT_EQ(elapsed, 1000ms);
}

// An empty list only sleeps, also with interval 1; a changed count takes
// effect at the next slot.
TEST_F(PollThreadTest, watchCountIsReadAfreshBeforeEachSlot)
{
    setWatches({"alpha", "beta", "gamma"});
    table.setWatchCount(0);
    onSleep = [&](int n) {
        if (n == 5) {
            EXPECT_EQ(market.requestCount(), 0u);
            table.setWatchCount(1);
        }
    };
    onEvent = [&](const PolledMessage& m) {
        if (m == done(0) && ended[0] == 1) {
            table.setWatchCount(3);
        } else if (m == done(1)) {
            table.setWatchCount(1);
        }
    };
    stopAfterChecks(0, 2);
    run();

    EXPECT_EQ(messages,
              (Messages{begun(0), done(0), begun(1), done(1), begun(0), done(0), stopped}));
    // Five passes over nothing, and the second before the last pass.
    EXPECT_EQ(sleeps, 6);
}

// A stop while the pages come lets the download finish but claims nothing:
// no item is stored or reported until the next run looks again.
TEST_F(PollThreadTest, stopDuringACheckClaimsNothingAndLosesNoItem)
{
    setWatches({"alpha", "beta"});
    onEvent = [&](const PolledMessage& m) {
        if (m == begun(0)) {
            runFlag.requestStop();
        }
    };
    run();

    EXPECT_EQ(messages, (Messages{begun(0), cutShort(0), stopped}));
    EXPECT_GE(market.requestCount(), 1u) << "the pages of the check were still fetched";
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(storedIds(db, "alpha"), "");
    // The walk never got to the items, so they are not taken as seen and the
    // next run reports every one of them.
    EXPECT_EQ(table.slot(0).lastIds, "");
    onEvent = nullptr;
    runFlag.clear();
    stopAfterChecks(1, 1);
    run();
    EXPECT_EQ(reports, (Strings{"0:" + listed("alpha"), "1:" + listed("beta")}));
}

// The results of a watch that left the list during its check name that watch:
// the watch now in its slot gets none of them.
TEST_F(PollThreadTest, listImportedDuringACheckGetsNoneOfTheOldWatchsResults)
{
    // Holds the first page back so that the import surely lands mid-check.
    market.setFault("alpha", {.kind = MarketFault::Kind::Stall, .stallMs = 500, .times = 1});
    stopAfterChecks(0, 1);
    CPollThread worker(params());
    ASSERT_TRUE(worker.CreateThread());
    ASSERT_TRUE(market.waitForRequests(1, 30s));
    setWatches({"beta"});
    worker.join();

    EXPECT_EQ(messages, (Messages{begun(0), done(0), stopped}));
    EXPECT_EQ(latest.watch.url, market.searchUrl("alpha"));
    EXPECT_EQ(latest.watch.id, idOf(market.searchUrl("alpha")));
    EXPECT_EQ(roster.idAt(0), idOf(market.searchUrl("beta")));
    EXPECT_EQ(reports, (Strings{"0:" + listed("alpha")}));
    EXPECT_EQ(table.slot(0).lastIds, "");
    EXPECT_EQ(storedIds(db, "alpha"), listed("alpha")) << "filed under its own key";
    EXPECT_EQ(storedIds(db, "beta"), "");
}

TEST_F(PollThreadTest, failedSessionPostsOneDoneAndTouchesNoSlot)
{
    openSession = [](const SessionSettings&) { return std::unique_ptr<HttpSession>(); };
    table.setLastIds(0, "1");
    run();

    EXPECT_EQ(messages, (Messages{sessionFailed}));
    EXPECT_EQ(market.requestCount(), 0u);
    EXPECT_EQ(table.slot(0).lastIds, "1");
    EXPECT_EQ(table.slot(0).newIds, "");
}

TEST_F(PollThreadTest, httpErrorOnALaterPageFailsTheCheckButReportsTheEarlierPages)
{
    market.setItems("alpha", TestMarket::makeItems(45, 100));
    market.setFault("alpha",
                    {.kind = MarketFault::Kind::Status, .status = 500, .offset = 40, .times = 1});
    const std::string reason = failThenRecover({}, listed("alpha", 40));
    EXPECT_NE(reason.find("500"), std::string::npos) << reason;
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0], "0:" + listed("alpha", 40));
}

// Page 2 fails at every check: each check still reports and stores what page 1
// brings and takes page 1's ids as seen, and once page 2 comes back the items
// that only it listed are reported: none lost, none twice.
TEST_F(PollThreadTest, pageThatAlwaysFailsStillAdvancesLastIdsOverThePagesThatCame)
{
    market.setItems("alpha", TestMarket::makeItems(45, 100));
    market.setFault("alpha", {.kind = MarketFault::Kind::Status, .status = 500, .offset = 40});
    const std::string firstPage = listed("alpha", 40);
    Strings lastIdsAtBegin;
    Strings reasons;
    onEvent = [&](const PolledMessage& m) {
        if (m == begun(0)) {
            lastIdsAtBegin.push_back(table.slot(0).lastIds);
        } else if (m == failed(0)) {
            reasons.push_back(latest.reason);
            if (ended[0] == 1) {
                market.addItem("alpha", {"777", "新的"});
            } else {
                market.clearFaults();
            }
        }
    };
    stopAfterChecks(0, 3);
    run();

    EXPECT_EQ(messages,
              (Messages{begun(0), failed(0), begun(0), failed(0), begun(0), done(0), stopped}));
    EXPECT_EQ(lastIdsAtBegin, (Strings{"", firstPage, listed("alpha", 40)}));
    ASSERT_EQ(reasons.size(), 2u);
    for (const std::string& reason : reasons) {
        EXPECT_NE(reason.find("HTTP 500"), std::string::npos) << reason;
    }
    const std::string all = listed("alpha");
    // 777 pushed the last item of page 1 onto page 2, which was never walked.
    EXPECT_EQ(reports,
              (Strings{"0:" + firstPage, "0:777", "0:" + all.substr(4 + firstPage.size() + 1)}));
    EXPECT_EQ(table.slot(0).lastIds, all);
}

TEST_F(PollThreadTest, unreachableServerFailsTheCheck)
{
    int closedPort = 0;
    {
        TestMarket gone;
        ASSERT_TRUE(gone.start());
        closedPort = gone.port();
    }
    table.setWatch(0,
                   {"http://127.0.0.1:" + std::to_string(closedPort) + "/search?q=alpha", "alpha"});
    failThenRecover([&] { table.setWatch(0, {market.searchUrl("alpha"), "alpha"}); });
}

TEST_F(PollThreadTest, stalledResponseFailsTheCheck)
{
    market.setFault("alpha", {.kind = MarketFault::Kind::Stall, .stallMs = 0, .times = 1});
    failThenRecover();
}

TEST_F(PollThreadTest, lockedDatabaseFailsTheCheck)
{
    db.setBusyTimeout(50ms);
    auto lock = std::make_unique<test::RawDb>(dir.file("sys.mdb"));
    lock->exec("BEGIN EXCLUSIVE");
    failThenRecover([&] { lock.reset(); });
}

TEST_F(PollThreadTest, abortDuringAStalledDownloadOrASleepEndsTheWorker)
{
    market.setFault("alpha", {.kind = MarketFault::Kind::Stall, .stallMs = 0});
    // Far beyond the test's time limit: only abort() can end this download.
    session.stallTimeoutMs = 3600 * 1000;
    PollThreadParams realTime = params();
    realTime.clock = nullptr;

    CPollThread worker(realTime);
    ASSERT_TRUE(worker.CreateThread());
    ASSERT_TRUE(market.waitForRequests(1, 30s));
    worker.abort();
    worker.join();
    EXPECT_EQ(messages, (Messages{begun(0), cutShort(0), stopped}));
    EXPECT_EQ(latest.reason, "") << "a cut check claims nothing, not even a failure";

    // An hour between passes: only the destructor's abort() ends the wait,
    // also when it comes before the worker has begun to sleep.
    realTime.settings.interval = 3600;
    table.setWatchCount(0);
    {
        CPollThread idle(realTime);
        ASSERT_TRUE(idle.CreateThread());
    }
    EXPECT_EQ(messages.back(), stopped);
}

TEST(SteadyPollClock, interruptEndsASleepAndEveryLaterOne)
{
    SteadyPollClock clock;
    std::thread sleeper([&] { clock.sleepFor(std::chrono::hours(1)); });
    clock.interrupt();
    sleeper.join();
    clock.sleepFor(std::chrono::hours(1));
}


} // namespace
} // namespace tw::test
