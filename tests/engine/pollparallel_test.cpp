// Watches checked several at once must give exactly what one at a time gives.
#include "tests/engine/pollworkerfixture.h"

#include <atomic>
#include <random>
#include <regex>

namespace tw::test {

namespace {

// Requests being answered at the same time, and the most there were.
struct InFlight
{
    std::atomic<int> now{0};
    std::atomic<int> most{0};
};

// A fixed slowness for each page of each key, so that with several watches
// in flight their answers come back in another order than they were asked.
int delayMs(const std::string& key, int offset)
{
    std::seed_seq seed(key.begin(), key.end());
    std::mt19937 random(seed);
    random.discard(static_cast<unsigned long long>(offset));
    return 5 + static_cast<int>(random() % 20);
}

} // namespace

class ParallelPollTest : public PollThreadTest
{
protected:
    // Three passes over watches of every kind; between passes new items are
    // listed. Returns everything the window and the store saw, as text.
    std::string runScenario(int parallel, int pagestop)
    {
        TempDir appDir;
        paths = AppPaths::under(appDir.path());
        db.setConnStr(makeItemDatabase(appDir.file("sys.mdb")));
        settings.parallel = parallel;
        settings.pagestop = pagestop;
        market.clearFaults();
        market.setItems("one", TestMarket::makeItems(3, 100));
        market.setItems("four", TestMarket::makeItems(130, 1000));
        market.setItems("none", {});
        market.setItems("twice", TestMarket::makeItems(45, 2000));
        market.setItems("busy", TestMarket::makeItems(5, 3000));
        market.setItems("wall", TestMarket::makeItems(5, 4000));
        // A later page fails once; the marketplace asks to wait once; a
        // login wall once.
        market.setFault(
            "twice", {.kind = MarketFault::Kind::Status, .status = 500, .offset = 40, .times = 1});
        market.setFault(
            "busy",
            {.kind = MarketFault::Kind::Status, .status = 429, .times = 1, .retryAfter = "2"});
        market.setFault("wall", {.kind = MarketFault::Kind::Login, .times = 1});
        table.clear();
        std::vector<Watch> watches;
        for (const std::string key : {"one", "four", "none", "twice", "busy", "wall"}) {
            watches.push_back({market.searchUrl(key), key});
        }
        // Under the key of another watch: what one stores, the other knows.
        // Right after it, so that its first page comes before the other's
        // last: whether it stops there must wait for the other's results.
        watches.insert(watches.begin() + 2, {market.searchUrl("four") + "&page=1", "four"});
        watches.push_back({market.searchUrl("one") + "&x=1", "one"});
        replaceWatches(watches);
        const int last = static_cast<int>(watches.size()) - 1;

        runFlag.clear();
        messages.clear();
        reports.clear();
        ended.clear();
        std::string log;
        onEvent = [&](const PolledMessage& m) {
            if (m.kind != PolledMessage::Kind::Ended) {
                return;
            }
            const WatchHealth h = latest.health.value_or(WatchHealth{});
            std::string items;
            for (const FoundItem& item : latest.items) {
                items += item.id + " " + item.title + ",";
            }
            log += std::to_string(m.slot) + " " + std::to_string(int(m.outcome)) + " [" + items +
                   "] " + latest.reason + " | " + std::to_string(h.checks) + " " +
                   std::to_string(h.pages) + " " + std::to_string(h.items) + " " +
                   std::to_string(h.consecutiveFailures) + " " + std::to_string(h.blockedStreak) +
                   " " + (h.pausedUntil ? "paused" : "") + (latest.blockedNotice ? " notice" : "") +
                   "\n";
            if (m.slot == last && ended[last] == 1) {
                market.addItem("one", {"777", "新的"});
                market.addItem("four", {"778", "新的"});
                market.addItem("twice", {"779", "新的"});
            } else if (m.slot == last && ended[last] == 2) {
                market.addItem("four", {"780", "新的"});
            }
        };
        stopAfterChecks(last, 3);
        run();

        for (int slot = 0; slot <= last; ++slot) {
            log += "lastIds " + table.slot(slot).lastIds + "\n";
        }
        for (const std::string key : {"one", "four", "none", "twice", "busy", "wall"}) {
            log += "stored " + storedIds(db, key) + "\n";
        }
        db.setConnStr(goodDb);
        // The random number in each request URL differs from run to run.
        return std::regex_replace(log, std::regex("vk1=[0-9]+"), "vk1=n");
    }

    InFlight inFlight;
};

TEST_F(ParallelPollTest, severalWatchesAtOnceReportStoreAndPostExactlyWhatOneAtATimeDoes)
{
    market.setBeforeAnswer([this](const std::string& key, int offset) {
        const int now = ++inFlight.now;
        int most = inFlight.most;
        while (now > most && !inFlight.most.compare_exchange_weak(most, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(key, offset)));
        --inFlight.now;
    });
    for (const int pagestop : {0, 1}) {
        SCOPED_TRACE(testing::Message() << "pagestop " << pagestop);
        inFlight.most = 0;
        const std::string oneAtATime = runScenario(1, pagestop);
        EXPECT_EQ(inFlight.most, 1);
        inFlight.most = 0;
        const std::string together = runScenario(4, pagestop);
        EXPECT_GT(inFlight.most, 1);
        EXPECT_EQ(together, oneAtATime);
        // Something happened worth comparing: reports, failures, a pause.
        EXPECT_NE(oneAtATime.find("777"), std::string::npos) << oneAtATime;
        EXPECT_NE(oneAtATime.find("HTTP 500"), std::string::npos);
        EXPECT_NE(oneAtATime.find("paused"), std::string::npos);
    }
    market.setBeforeAnswer({});
}

// Only the page a watch's check ends on is written to the page file, with
// its next page already on the way while it was parsed.
TEST_F(ParallelPollTest, thePageFileHoldsTheLastPageOfTheCheck)
{
    settings.parallel = 2;
    const auto items = TestMarket::makeItems(400);
    market.setItems("bike", items);
    setWatches({"bike"});
    stopAfterChecks(0, 1);
    run();
    EXPECT_EQ(market.requests().size(), 8u);
    const std::string page = readFile(paths.pageFile);
    EXPECT_NE(page.find(items[319].id), std::string::npos);
    EXPECT_EQ(page.find(items[279].id), std::string::npos);
}

// A watch listed twice is one watch: when its first row is told to rest, its
// second row asks nothing in that pass, also when the rows after the one
// under check are fetched ahead.
TEST_F(ParallelPollTest, watchListedTwiceAndToldToRestIsAskedOnceInThePass)
{
    market.setItems("busy", TestMarket::makeItems(3, 3000));
    for (const int parallel : {1, 8}) {
        SCOPED_TRACE(testing::Message() << "parallel " << parallel);
        settings.parallel = parallel;
        market.setFault(
            "busy",
            {.kind = MarketFault::Kind::Status, .status = 429, .times = 1, .retryAfter = "60"});
        market.clearRequests();
        setWatches({"busy", "busy", "alpha"});
        runFlag.clear();
        messages.clear();
        ended.clear();
        stopAfterChecks(2, 1);
        run();

        EXPECT_EQ(messages, (Messages{begun(0), failed(0), begun(2), done(2), stopped}));
        std::size_t asked = 0;
        for (const MarketRequest& r : market.requests()) {
            asked += r.key == "busy";
        }
        EXPECT_EQ(asked, 1u);
    }
}

// Stop cuts what is in flight at once: with no stall limit and no deadline,
// nothing else would end these transfers.
TEST_F(ParallelPollTest, stopCutsEveryTransferInFlight)
{
    session.stallTimeoutMs = 0;
    session.pageDeadlineMs = 0;
    settings.parallel = 4;
    for (const std::string key : {"a", "b", "c", "d"}) {
        market.setItems(key, TestMarket::makeItems(3, 100));
        market.setFault(key, {.kind = MarketFault::Kind::Stall, .stallMs = 0});
    }
    setWatches({"a", "b", "c", "d"});
    CPollThread worker(params());
    ASSERT_TRUE(worker.CreateThread());
    ASSERT_TRUE(market.waitForRequests(4, 30s));
    runFlag.requestStop();
    worker.join();
    EXPECT_EQ(messages, (Messages{begun(0), cutShort(0), stopped}));
    EXPECT_EQ(table.slot(0).lastIds, "");
}

} // namespace tw::test
