#include "engine/requestpacer.h"
#include "engine/sessioncheck.h"
#include "engine/trialcheck.h"
#include "tests/engine/pollworkerfixture.h"

#include <optional>

namespace tw::test {
namespace {

using namespace std::chrono_literals;

class TrialCheckTest : public PollThreadTest
{
protected:
    TrialCheckTest()
    {
        // Made now, so that the snapshots are taken of the whole file.
        db.ensureStateTables();
    }

    TrialRequest request(const std::string& key)
    {
        TrialRequest r;
        r.url = market.searchUrl(key);
        r.sid = key;
        r.settings = settings;
        r.session = session;
        r.clock = this;
        return r;
    }

    // Runs a trial to its end; whileRunning is called once it started.
    TrialResult runTrial(TrialRequest r, const std::function<void(TrialCheck&)>& whileRunning = {})
    {
        std::optional<TrialResult> got;
        int calls = 0;
        {
            TrialCheck trial(std::move(r), db, core, [&](TrialResult result) {
                got = std::move(result);
                ++calls;
            });
            EXPECT_TRUE(trial.start());
            if (whileRunning) {
                whileRunning(trial);
            }
            trial.join();
        }
        EXPECT_EQ(calls, 1);
        return got.value_or(TrialResult{});
    }

    // Row counts of the program's tables, and the worker's scratch files.
    std::string visibleState()
    {
        RawDb raw(dir.file("sys.mdb"));
        std::string state;
        for (const char* name : {"t_item", "t_find", "t_baseline", "t_fullread"}) {
            state += name + (":" + raw.query(std::string("select count(*) from ") + name));
        }
        return state + " page:" + readFile(paths.pageFile) +
               " titles:" + readFile(paths.titlesFile);
    }
};

std::vector<std::string> verdicts(const TrialResult& result)
{
    std::vector<std::string> out;
    for (const TrialItem& item : result.items) {
        out.push_back(item.id + " " + verdictText(item));
    }
    return out;
}

std::string pageText(const TrialPage& page)
{
    return std::to_string(page.offset) + ":" + std::to_string(page.status) + ":" +
           std::to_string(page.items);
}

// One trial over two pages of items and the empty page after them meets
// every verdict, as the worker would decide it, and leaves the store and
// the worker's files as they were.
TEST_F(TrialCheckTest, everyVerdictAsTheWorkerWouldDecideItWithNothingWritten)
{
    std::vector<MarketItem> items = {
        {"901", "台灯 包邮 坏"},   {"902", "台灯 包邮 二手"},  {"903", "台灯 全新"},
        {"904", "台灯 包邮 上次"}, {"905", "台灯 包邮 已存"},  {"906", "台灯 包邮 别处"},
        {"907", "台灯^包邮 新"},   {"9 08", "台灯 包邮 空格"},
    };
    for (const MarketItem& filler : TestMarket::makeItems(32, 1000, "台灯 包邮")) {
        items.push_back(filler);
    }
    items.push_back({"907", "台灯 包邮 又一次"});
    items.push_back({"950", "台灯 包邮 末"});
    market.setItems("lamp", items);
    db.insertItem("lamp", "905", "台灯 包邮 已存", 0);
    db.insertItem("desk", "906", "台灯 包邮 别处", 0);
    writeFile(paths.pageFile, "the worker's page");
    writeFile(paths.titlesFile, "the worker's titles^");
    settings.ignoreWords = "破损,坏";
    settings.dedupe = 1;
    settings.baseline = 1;
    const std::string dbBefore = readFile(dir.file("sys.mdb"));
    const std::string stateBefore = visibleState();

    TrialRequest r = request("lamp");
    r.options.ignore = " 旧 , 二手";
    r.options.must = "台灯,包邮";
    r.lastIds = "800,904";
    const TrialResult result = runTrial(std::move(r));

    std::vector<std::string> expected = {
        "901 被忽略：词 坏",
        "902 被忽略：词 二手",
        "903 缺少必须词 包邮",
        "904 已见",
        "905 已见",
        "906 已在其他搜索中提醒",
        "907 新",
    };
    for (long long id = 1000; id < 1032; ++id) {
        expected.push_back(std::to_string(id) + " 新");
    }
    expected.push_back("907 重复");
    expected.push_back("950 新");
    EXPECT_EQ(verdicts(result), expected);
    ASSERT_GE(result.items.size(), 7u);
    EXPECT_EQ(result.items[6].title, "台灯 包邮 新");
    EXPECT_EQ(result.invalidIds, 1u);
    ASSERT_EQ(result.pages.size(), 3u);
    EXPECT_EQ(pageText(result.pages[0]), "0:200:40");
    EXPECT_EQ(pageText(result.pages[1]), "40:200:2");
    EXPECT_EQ(pageText(result.pages[2]), "80:200:0");
    for (const TrialPage& page : result.pages) {
        EXPECT_EQ(page.error, "");
    }
    EXPECT_FALSE(result.failed);
    EXPECT_FALSE(result.cancelled);
    EXPECT_FALSE(result.restingUntil);

    EXPECT_EQ(visibleState(), stateBefore);
    EXPECT_TRUE(readFile(dir.file("sys.mdb")) == dbBefore);
}

// A key with nothing stored and no first check yet takes its items as the
// baseline when the watch's setting, else the global one, says so.
TEST_F(TrialCheckTest, aQuietFirstCheckTakesEveryListedItemAsBaseline)
{
    const std::string all = "100 首次检测：作为基线,101 首次检测：作为基线,102 首次检测：作为基线";
    const std::string fresh = "100 新,101 新,102 新";
    struct Case
    {
        int global;
        std::optional<bool> own;
        bool firstCheckDone;
        std::string verdicts;
    };
    for (const Case& c : {Case{0, true, false, all}, Case{1, std::nullopt, false, all},
                          Case{1, false, false, fresh}, Case{1, std::nullopt, true, fresh}}) {
        SCOPED_TRACE(c.verdicts + (c.firstCheckDone ? " after a first check" : ""));
        if (c.firstCheckDone) {
            db.storeSeenItems("alpha", {}, {"u", {}}, FindKind::Baseline);
        }
        settings.baseline = c.global;
        TrialRequest r = request("alpha");
        r.options.baseline = c.own;
        std::string got;
        for (const std::string& v : verdicts(runTrial(std::move(r)))) {
            got += (got.empty() ? "" : ",") + v;
        }
        EXPECT_EQ(got, c.verdicts);
        EXPECT_EQ(storedIds(db, "alpha"), "");
    }
}

// A failing page ends the walk; the pages before it and their items stay.
TEST_F(TrialCheckTest, aFailedPageEndsTheWalkAndKeepsWhatCameBefore)
{
    market.setItems("gamma", TestMarket::makeItems(45, 500));
    market.setFault("gamma", {MarketFault::Kind::Status, 503, 0, 40, -1});
    const TrialResult result = runTrial(request("gamma"));

    EXPECT_TRUE(result.failed);
    ASSERT_EQ(result.pages.size(), 2u);
    EXPECT_EQ(pageText(result.pages[0]), "0:200:40");
    EXPECT_EQ(pageText(result.pages[1]), "40:503:0");
    EXPECT_EQ(result.pages[0].error, "");
    EXPECT_NE(result.pages[1].error.find("503"), std::string::npos) << result.pages[1].error;
    EXPECT_EQ(result.error, result.pages[1].error);
    ASSERT_EQ(result.items.size(), 40u);
    EXPECT_EQ(verdictText(result.items.back()), "新");
    EXPECT_EQ(market.requestCount(), 2u);
}

// A resting watch is not asked for; one whose rest has passed is.
TEST_F(TrialCheckTest, aRestingWatchMakesNoRequest)
{
    TrialRequest resting = request("alpha");
    resting.restingUntil = kStart + 1min;
    const TrialResult result = runTrial(resting);
    EXPECT_EQ(result.restingUntil, kStart + 1min);
    EXPECT_TRUE(result.pages.empty());
    EXPECT_TRUE(result.items.empty());
    EXPECT_FALSE(result.failed);
    EXPECT_EQ(market.requestCount(), 0u);

    resting.restingUntil = kStart - 1s;
    const TrialResult rested = runTrial(resting);
    EXPECT_FALSE(rested.restingUntil);
    EXPECT_EQ(rested.pages.size(), 2u);
    EXPECT_EQ(rested.items.size(), 3u);
}

// Without the abort the stalled page would fail by the session's stall
// time-out, and the result would not be marked cancelled.
TEST_F(TrialCheckTest, abortDuringAStalledPageEndsTheTrialAsCancelled)
{
    market.setFault("alpha", {MarketFault::Kind::Stall, 500, 0, 0, -1});
    const TrialResult result = runTrial(request("alpha"), [&](TrialCheck& trial) {
        EXPECT_TRUE(market.waitForRequests(1, 10s));
        trial.abort();
    });
    EXPECT_TRUE(result.cancelled);
    EXPECT_FALSE(result.failed);
    EXPECT_TRUE(result.pages.empty());
    EXPECT_TRUE(result.items.empty());
}

// The worker's pass fetcher and a trial take their starts from the one pacer
// they are given; a trial waiting for its turn ends at abort().
TEST_F(TrialCheckTest, workerAndTrialTakeTheirStartsFromOnePacer)
{
    RequestPacer pacer;
    const std::string host = urlHost(market.searchUrl("alpha"));
    settings.maxrate = 1000;
    stopAfterChecks(0, 1);
    PollThreadParams p = params();
    p.pacer = &pacer;
    {
        CPollThread worker(std::move(p));
        ASSERT_TRUE(worker.CreateThread());
        worker.join();
    }
    EXPECT_EQ(reports, Strings{"0:" + listed("alpha")});
    // Only a start the worker took lies after the steady clock's zero.
    EXPECT_TRUE(pacer.tryStart(host, 1000, SteadyTime{}).has_value());

    pacer.reserve(host, 1, std::chrono::steady_clock::now() + 1h);
    market.clearRequests();
    TrialRequest r = request("alpha");
    r.pacer = &pacer;
    const TrialResult result = runTrial(std::move(r), [&](TrialCheck& trial) {
        EXPECT_FALSE(market.waitForRequests(1, 300ms));
        trial.abort();
    });
    EXPECT_TRUE(result.cancelled);
    EXPECT_TRUE(result.pages.empty());
    EXPECT_EQ(market.requestCount(), 0u);
}

TEST(RequestPacerTest, keepsEachHostToItsRateWhoeverAsks)
{
    using Clock = RequestPacer::Clock;
    const Clock::time_point t0 = Clock::time_point{} + 1h;
    RequestPacer pacer;

    // 4 a second: starts 250 ms apart, reserved ahead or taken when due.
    EXPECT_EQ(pacer.reserve("a", 4, t0), 0ms);
    EXPECT_EQ(pacer.reserve("a", 4, t0), 250ms);
    EXPECT_EQ(pacer.reserve("a", 4, t0 + 100ms), 400ms);
    EXPECT_EQ(pacer.tryStart("a", 4, t0 + 600ms), t0 + 750ms);
    EXPECT_EQ(pacer.tryStart("a", 4, t0 + 600ms), t0 + 750ms) << "nothing taken meanwhile";
    EXPECT_EQ(pacer.tryStart("a", 4, t0 + 750ms), std::nullopt);
    EXPECT_EQ(pacer.reserve("a", 4, t0 + 750ms), 250ms);
    // A gap longer than the interval is not saved up for a burst.
    EXPECT_EQ(pacer.tryStart("a", 4, t0 + 5s), std::nullopt);
    EXPECT_EQ(pacer.reserve("a", 4, t0 + 5s), 250ms);

    // Each host paces alone, and no rate is no limit.
    EXPECT_EQ(pacer.tryStart("b", 4, t0), std::nullopt);
    EXPECT_EQ(pacer.reserve("b", 4, t0), 250ms);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pacer.reserve("c", 0, t0), 0ms);
        EXPECT_EQ(pacer.tryStart("c", 0, t0), std::nullopt);
    }
}

} // namespace
} // namespace tw::test
