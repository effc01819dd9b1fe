#include "tests/engine/pollworkerfixture.h"

#include <set>

namespace tw::test {
namespace {

using namespace std::chrono_literals;

// The quiet first check applies only to a key with nothing stored; the next
// check reports what is new from then on.
TEST_F(PollThreadTest, quietFirstCheckStoresWithoutReportingAKeyWithNothingStored)
{
    struct Case
    {
        int baseline;
        bool keyHasItems;
        PolledMessage firstEnd;
        Strings reports;
    };
    const Case cases[] = {
        {0, false, done(0), {"0:100,101,102", "0:777"}},
        {1, false, baselined(0), {"0:777"}},
        {1, true, done(0), {"0:101,102", "0:777"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "baseline " << c.baseline << " stored " << c.keyHasItems);
        db.deleteAllItems();
        market.setItems("alpha", TestMarket::makeItems(3, 100));
        if (c.keyHasItems) {
            db.insertItem("alpha", "100", "t", 0);
        }
        settings.baseline = c.baseline;
        runFlag.clear();
        messages.clear();
        reports.clear();
        ended.clear();
        onEvent = [&](const PolledMessage& m) {
            if (m.slot == 0 && m.kind == PolledMessage::Kind::Ended && ended[0] == 1) {
                market.addItem("alpha", {"777", "新的"});
            }
        };
        stopAfterChecks(0, 2);
        run();

        EXPECT_EQ(messages, (Messages{begun(0), c.firstEnd, begun(0), done(0), stopped}));
        EXPECT_EQ(reports, c.reports);
        EXPECT_EQ(storedIds(db, "alpha"), c.keyHasItems ? "777,101,102,100" : "777,100,101,102");
        EXPECT_EQ(table.slot(0).lastIds, "777,100,101,102");
        // A fresh table: the same list again would keep what the watch saw.
        table.clear();
        setWatches({"alpha"});
    }
}

// Only the first completed check of a key is quiet, also when it found
// nothing (or only ignored titles), and that is remembered across runs.
TEST_F(PollThreadTest, quietFirstCheckThatFindsNothingIsStillTheOnlyQuietOne)
{
    settings.baseline = 1;
    settings.ignoreWords = "坏";
    market.setItems("alpha", {{"100", "坏的"}});
    stopAfterChecks(0, 1);
    run();
    EXPECT_EQ(messages, (Messages{begun(0), done(0), stopped}));

    // A restart: a fresh table and worker.
    market.addItem("alpha", {"777", "新的"});
    table.clear();
    setWatches({"alpha"});
    runFlag.clear();
    ended.clear();
    run();
    EXPECT_EQ(reports, (Strings{"0:777"}));
    EXPECT_EQ(storedIds(db, "alpha"), "777");
}

// dedupe suppresses only what was reported under another key: a new
// overlapping watch's quiet first check took its items without a word.
TEST_F(PollThreadTest, dedupeDoesNotCountItemsAnotherKeyTookQuietly)
{
    settings.baseline = 1;
    settings.dedupe = 1;
    db.ensureBbidIndex();
    setWatches({"alpha", "beta"});
    onEvent = [&](const PolledMessage& m) {
        if (m == baselined(0)) {
            // Listed under both keys between the two first checks.
            market.addItem("alpha", {"555", "两边都有"});
            market.addItem("beta", {"555", "两边都有"});
        }
    };
    stopAfterChecks(1, 2);
    run();

    EXPECT_EQ(messages, (Messages{begun(0), baselined(0), begun(1), baselined(1), begun(0), done(0),
                                  begun(1), done(1), stopped}));
    EXPECT_EQ(reports, (Strings{"0:555"}));
}

// A failed page during the quiet first check stores nothing: a part stored
// would make the next check report the rest as new.
TEST_F(PollThreadTest, quietFirstCheckWithAFailedPageStoresNothingAndTriesAgain)
{
    settings.baseline = 1;
    market.setItems("alpha", TestMarket::makeItems(50, 100)); // two pages
    market.setFault("alpha", {MarketFault::Kind::Status, 500, 0, 40, 1});
    stopAfterChecks(0, 2);
    run();

    EXPECT_EQ(messages, (Messages{begun(0), failed(0), begun(0), baselined(0), stopped}));
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(storedIds(db, "alpha"), listed("alpha"));
}

// pagestop trades completeness for requests: on a search not sorted newest
// first, an item listed on page 3 below a page of known items is missed.
TEST_F(PollThreadTest, pageStopEndsAtAPageOfKnownItemsAndMissesWhatIsListedBelowIt)
{
    struct Case
    {
        int pagestop;
        std::size_t secondPassRequests;
        Strings secondPassReports;
    };
    const Case cases[] = {{0, 8, {"0:999000001"}}, {1, 1, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "pagestop " << c.pagestop);
        db.deleteAllItems();
        std::vector<MarketItem> items = TestMarket::makeItems(8 * TestMarket::kPageSize, 100);
        market.setItems("alpha", items);
        replaceWatches({{market.searchUrl("alpha"), "alpha"}});
        settings.pagestop = c.pagestop;
        runFlag.clear();
        ended.clear();
        onEvent = [&](const PolledMessage& m) {
            if (m == begun(0) && ended[0] == 1) {
                items.insert(items.begin() + 2 * TestMarket::kPageSize + 5, {"999000001", "页三"});
                market.setItems("alpha", items);
                market.clearRequests();
                reports.clear();
            }
        };
        stopAfterChecks(0, 2);
        run();

        EXPECT_EQ(market.requestCount(), c.secondPassRequests);
        EXPECT_EQ(reports, c.secondPassReports);
    }
}

// A check that failed at page 2 stored page 1: with pagestop the next check
// would end at that page, all known, and never store or report the items
// below it. So the watch's checks read every page until one completes, one
// watch at a time and several at once, also after a restart, when lastIds is
// empty and only the store knows page 1.
TEST_F(PollThreadTest, checkAfterOneThatFailedPartwayReadsEveryPageUntilOneCompletes)
{
    settings.pagestop = 1;
    const std::string url = market.searchUrl("alpha");
    for (const int parallel : {1, 8}) {
        for (const bool restart : {false, true}) {
            SCOPED_TRACE(testing::Message() << "parallel " << parallel << " restart " << restart);
            db.deleteAllItems();
            market.clearRequests();
            market.setItems("alpha", TestMarket::makeItems(100, 100));
            market.setFault("alpha", {MarketFault::Kind::Status, 500, 0, 40, 1});
            settings.parallel = parallel;
            table.clear();
            setWatches({"alpha"});
            runFlag.clear();
            ended.clear();
            reports.clear();
            std::vector<std::size_t> requests;
            onEvent = [&](const PolledMessage& m) {
                if (m.kind == PolledMessage::Kind::Ended) {
                    requests.push_back(market.requestCount());
                }
            };
            if (restart) {
                stopAfterChecks(0, 1);
                run();
                EXPECT_EQ(db.fullReadUrls(), std::set<std::string>{url});
                table.clear();
                setWatches({"alpha"});
                runFlag.clear();
                ended.clear();
            }
            stopAfterChecks(0, restart ? 2 : 3);
            run();

            // Pages 1 and 2 (500); pages 1 to 4 (empty); page 1 alone again.
            EXPECT_EQ(requests, (std::vector<std::size_t>{2, 6, 7}));
            const std::string firstPage = listed("alpha", 40);
            const std::string below = listed("alpha").substr(firstPage.size() + 1);
            EXPECT_EQ(reports, (Strings{"0:" + firstPage, "0:" + below}));
            EXPECT_EQ(storedIds(db, "alpha"), below + "," + firstPage);
            EXPECT_TRUE(db.fullReadUrls().empty());
        }
    }
}

// One alert per item across watches: with dedupe on, an item stored under one
// key is stored under the second key too, but not reported again.
TEST_F(PollThreadTest, dedupeReportsAnItemListedUnderTwoKeysOnce)
{
    struct Case
    {
        int dedupe;
        Strings reports;
    };
    const Case cases[] = {
        {0, {"0:100,101,102", "1:200,101,201"}},
        {1, {"0:100,101,102", "1:200,201"}},
    };
    db.ensureBbidIndex();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "dedupe " << c.dedupe);
        db.deleteAllItems();
        market.setItems("beta", {{"200", "b"}, {"101", "共同"}, {"201", "c"}});
        table.clear();
        setWatches({"alpha", "beta"});
        settings.dedupe = c.dedupe;
        runFlag.clear();
        reports.clear();
        ended.clear();
        stopAfterChecks(1, 1);
        run();

        EXPECT_EQ(reports, c.reports);
        EXPECT_EQ(storedIds(db, "beta"), "200,101,201");
    }
}


} // namespace
} // namespace tw::test
