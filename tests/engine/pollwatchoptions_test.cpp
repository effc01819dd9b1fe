#include "core/watchoptions.h"
#include "tests/engine/pollworkerfixture.h"

#include <algorithm>
#include <ctime>

namespace tw::test {
namespace {

using namespace std::chrono_literals;

class PollWatchOptionsTest : public PollThreadTest
{
protected:
    // The list as the room hands it over: each watch with its options.
    void setWatches(const std::vector<std::pair<std::string, WatchOptions>>& watches)
    {
        std::vector<Watch> list;
        std::vector<WatchId> ids;
        std::vector<WatchOptions> options;
        for (const auto& [key, o] : watches) {
            list.push_back({market.searchUrl(key), key});
            ids.push_back(idOf(market.searchUrl(key)));
            options.push_back(o);
        }
        roster.replaceAll(list, ids, options);
    }

    // Requests the market got for key.
    std::size_t requestsFor(const std::string& key) const
    {
        const std::vector<MarketRequest> all = market.requests();
        return static_cast<std::size_t>(std::count_if(
            all.begin(), all.end(), [&](const MarketRequest& r) { return r.key == key; }));
    }
};

int localMinute(WallTime at)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(at);
    std::tm local{};
    localtime_r(&t, &local);
    return local.tm_hour * 60 + local.tm_min;
}

// Over 130 s of the worker's clock, with a global interval of 1 s: a paused
// watch gets no request, its neighbour one every pass, a watch of its own
// 10 s a check every 9 to 10 s, and one with hours only inside them (the
// minute after the start's local minute). Also with pages fetched ahead,
// which must not fetch for a watch that rests.
TEST_F(PollWatchOptionsTest, pausedHoursAndIntervalDecideWhichWatchGetsARequest)
{
    const int first = localMinute(kStart);
    WatchOptions paused;
    paused.paused = true;
    WatchOptions slow;
    slow.interval = 10;
    WatchOptions later;
    later.hours = ActiveHours{(first + 1) % 1440, (first + 2) % 1440};
    market.setItems("gamma", TestMarket::makeItems(2, 300));
    market.setItems("delta", TestMarket::makeItems(2, 400));

    for (const int parallel : {1, 4}) {
        SCOPED_TRACE(testing::Message() << "parallel " << parallel);
        settings.parallel = parallel;
        setWatches({{"alpha", paused}, {"beta", {}}, {"gamma", slow}, {"delta", later}});
        market.clearRequests();
        runFlag.clear();
        elapsed = 0ms;
        std::map<int, std::vector<std::chrono::milliseconds>> began;
        onEvent = [&](const PolledMessage& m) {
            if (m.kind == PolledMessage::Kind::Began) {
                began[m.slot].push_back(elapsed);
            }
        };
        onSleep = [&](int) {
            if (elapsed >= 130s) {
                runFlag.requestStop();
            }
        };
        run();

        EXPECT_EQ(requestsFor("alpha"), 0u);
        EXPECT_EQ(began[0].size(), 0u);
        EXPECT_GE(began[1].size(), 100u);
        EXPECT_GE(requestsFor("beta"), began[1].size());

        ASSERT_GE(began[2].size(), 13u);
        EXPECT_LE(began[2].size(), 15u);
        for (std::size_t i = 1; i < began[2].size(); ++i) {
            const auto gap = began[2][i] - began[2][i - 1];
            EXPECT_TRUE(gap >= 9s && gap <= 10s) << gap.count() << " ms";
        }

        ASSERT_FALSE(began[3].empty());
        for (const auto at : began[3]) {
            EXPECT_TRUE(at >= 60s && at < 120s) << at.count() << " ms";
        }
        // Two pages a check: the one with items and the empty one after it.
        EXPECT_EQ(requestsFor("delta"), 2 * began[3].size());
        // Fresh passes for the next round: the same urls would be known.
        table.clear();
    }
}

// A watch's must and ignore words act on its titles alone; a muted watch's
// new items are stored as muted and told, and its message says so; a
// watch's own baseline and open limit hold for it alone.
TEST_F(PollWatchOptionsTest, wordsMutingBaselineAndOpenLimitActOnTheirWatchOnly)
{
    const auto items = [](long long first) {
        return std::vector<MarketItem>{{std::to_string(first), "全新 台灯 包邮"},
                                       {std::to_string(first + 1), "二手 台灯"},
                                       {std::to_string(first + 2), "坏 台灯 包邮"}};
    };
    const Strings keys = {"alpha", "beta", "gamma", "delta", "eps"};
    for (std::size_t i = 0; i < keys.size(); ++i) {
        market.setItems(keys[i], items(100 * static_cast<long long>(i + 1)));
    }
    WatchOptions must;
    must.must = " 包邮 ,全新";
    WatchOptions ignore;
    ignore.ignore = "坏, ";
    WatchOptions muted;
    muted.muted = true;
    muted.openLimit = 2;
    WatchOptions quiet;
    quiet.baseline = true;
    settings.baseline = 0;
    setWatches(
        {{"alpha", must}, {"beta", ignore}, {"gamma", muted}, {"delta", {}}, {"eps", quiet}});

    std::map<int, CheckEnded> ends;
    onEvent = [&](const PolledMessage& m) {
        if (m.kind == PolledMessage::Kind::Ended) {
            ends[m.slot] = latest;
        }
    };
    stopAfterChecks(4, 1);
    run();

    EXPECT_EQ(reports, (Strings{"0:100", "1:200,201", "2:300,301,302", "3:400,401,402"}));
    EXPECT_EQ(ends[4].outcome, CheckOutcome::Baseline);
    for (int slot = 0; slot < 5; ++slot) {
        SCOPED_TRACE(slot);
        EXPECT_EQ(ends[slot].muted, slot == 2);
        EXPECT_EQ(ends[slot].openLimit, slot == 2 ? 2 : -1);
    }
    RawDb raw(goodDb);
    EXPECT_EQ(raw.query("select kind||':'||told from t_find where sid='gamma' order by bbid"),
              "muted:1|muted:1|muted:1|");
    EXPECT_EQ(raw.query("select kind||':'||told from t_find where sid='delta' order by bbid"),
              "new:0|new:0|new:0|");
    EXPECT_EQ(raw.query("select kind from t_find where sid='eps' order by bbid"),
              "baseline|baseline|baseline|");
}

} // namespace
} // namespace tw::test
