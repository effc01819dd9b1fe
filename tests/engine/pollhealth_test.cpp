#include "tests/engine/pollworkerfixture.h"

namespace tw::test {
namespace {

using namespace std::chrono_literals;

// What the window sees of slot 0 on each ended check: the message, the row
// text it would show, whether a notice was due, and the reason.
struct SeenCheck
{
    bool failed = false;
    std::string row;
    bool notice = false;
    std::string reason;
};

class PollHealthTest : public PollThreadTest
{
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
        onEvent = [this](const PolledMessage& m) {
            const int slot = m.slot;
            if (m == begun(slot) && beforeCheck) {
                beforeCheck(slot, ended[slot] + 1);
            }
            if (slot == 0 && (m == done(0) || m == failed(0))) {
                const WatchHealth h = (*latest.health);
                seen.push_back({m == failed(0),
                                m == failed(0) ? failedRowText(h, latest.at) : "",
                                latest.blockedNotice, latest.reason});
            }
        };
    }

    // Requests the market saw for key's first page.
    std::size_t firstPageRequests(const std::string& key)
    {
        std::size_t n = 0;
        for (const auto& r : market.requests()) {
            n += r.path == "/search" && r.key == key && r.offset == 0;
        }
        return n;
    }

    // Called on the worker when check n (from 1) of slot begins.
    std::function<void(int slot, int n)> beforeCheck;
    std::vector<SeenCheck> seen;
};

TEST_F(PollHealthTest, blockedChecksFailNamingTheCauseAndTheNoticeComesOncePerEpisode)
{
    const std::pair<MarketFault, const char*> walls[] = {
        {{.kind = MarketFault::Kind::Login}, "被重定向到其他网站 localhost"},
        {{.kind = MarketFault::Kind::Status, .status = 401}, "HTTP 401"},
        {{.kind = MarketFault::Kind::Status, .status = 403}, "HTTP 403"},
        {{.kind = MarketFault::Kind::Status, .status = 429, .retryAfter = "0"}, "HTTP 429"},
        {{.kind = MarketFault::Kind::NoMarkers}, "第一页没有搜索结果"},
    };
    int round = 0;
    for (const auto& [wall, cause] : walls) {
        SCOPED_TRACE(cause);
        const std::string key = "w" + std::to_string(++round);
        market.setItems(key, TestMarket::makeItems(3, 5000));
        setWatches({key});
        messages.clear();
        ended.clear();
        seen.clear();
        runFlag.clear();
        // Checks 2-4 and 6-8 meet the wall; 1 and 5 go through.
        beforeCheck = [&, wall = wall](int, int n) {
            if (n == 2 || n == 6) {
                market.setFault(key, wall);
            } else if (n == 5) {
                market.clearFaults();
            }
        };
        stopAfterChecks(0, 8);
        run();
        market.clearFaults();

        ASSERT_EQ(seen.size(), 8u);
        const bool failedAt[] = {false, true, true, true, false, true, true, true};
        // A 429 rests from the first answer on, every wall from the third.
        const std::string early = wall.status == 429 ? "暂停至 " : "检测失败";
        const std::string rows[] = {"", early, early, "疑似被拦截，暂停至 ",
                                    "", early, early, "疑似被拦截，暂停至 "};
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].failed, failedAt[i]) << "check " << i + 1;
            EXPECT_EQ(seen[i].row.substr(0, rows[i].size()), rows[i]) << "check " << i + 1;
            EXPECT_EQ(seen[i].notice, i == 3 || i == 7) << "check " << i + 1;
            if (failedAt[i]) {
                EXPECT_NE(seen[i].reason.find(cause), std::string::npos) << seen[i].reason;
            }
        }
        EXPECT_EQ(reports.back(), "0:" + listed(key)) << "reported once, by the first check";
    }
}

TEST_F(PollHealthTest, emptyFirstPageIsQuietUntilTheWatchHasListedItems)
{
    market.setFault("alpha", {.kind = MarketFault::Kind::NoMarkers, .times = 1});
    stopAfterChecks(0, 3);
    beforeCheck = [&](int, int n) {
        if (n == 3) {
            market.setFault("alpha", {.kind = MarketFault::Kind::NoMarkers, .times = 1});
        }
    };
    run();
    EXPECT_EQ(messages,
              (Messages{begun(0), done(0), begun(0), done(0), begun(0), failed(0), stopped}));
}

TEST_F(PollHealthTest, tooManyRequestsPausesTheWatchWithoutRequestsUntilRetryAfter)
{
    settings.interval = 10; // a pass every 9 s of the fake clock
    setWatches({"alpha", "beta"});
    market.setFault(
        "alpha",
        {.kind = MarketFault::Kind::Status, .status = 429, .times = 1, .retryAfter = "60"});
    std::vector<std::chrono::milliseconds> alphaChecks;
    beforeCheck = [&](int slot, int n) {
        if (slot == 0) {
            alphaChecks.push_back(elapsed);
        } else if (n == 2) {
            // Setting the clock back an hour does not add an hour.
            wallShift = -1h;
        }
    };
    stopAfterChecks(1, 8);
    run();

    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].row, "暂停至 14:05");
    EXPECT_NE(seen[0].reason.find("HTTP 429"), std::string::npos) << seen[0].reason;
    EXPECT_FALSE(seen[1].failed);
    // Passes at 0, 9, ..., 54 s skip it; the one at 63 s asks again.
    EXPECT_EQ(alphaChecks, (std::vector<std::chrono::milliseconds>{0s, 63s}));
    EXPECT_EQ(firstPageRequests("alpha"), 2u);
    EXPECT_EQ(firstPageRequests("beta"), 8u) << "the other watches go on";
    EXPECT_EQ(reports, (Strings{"1:" + listed("beta"), "0:" + listed("alpha")}));
}

TEST_F(PollHealthTest, backOffWithoutRetryAfterGrowsWhileFailingAndASuccessEndsIt)
{
    // 429, 429, 503 (a stated date in the past is no wait), then a success.
    market.setGlobalFault({.kind = MarketFault::Kind::Status, .status = 429, .times = 2});
    std::vector<std::chrono::milliseconds> checksAt;
    std::vector<std::chrono::seconds> pauses;
    beforeCheck = [&](int, int n) {
        checksAt.push_back(elapsed);
        if (n == 3) {
            market.setGlobalFault({.kind = MarketFault::Kind::Status,
                                   .status = 503,
                                   .times = 1,
                                   .retryAfter = "nonsense"});
        }
    };
    onEvent = [&, inner = onEvent](const PolledMessage& m) {
        inner(m);
        if (m == failed(0)) {
            const WatchHealth h = (*latest.health);
            pauses.push_back(std::chrono::duration_cast<std::chrono::seconds>(
                h.pausedUntil.value_or(SteadyTime{}) - steadyNow()));
        } else if (m == done(0)) {
            EXPECT_FALSE((*latest.health).pausedUntil);
            EXPECT_EQ((*latest.health).backoffStep, 0);
        }
    };
    stopAfterChecks(0, 4);
    run();

    EXPECT_EQ(pauses, (std::vector<std::chrono::seconds>{30s, 60s, 120s}));
    // With nothing else to check, the worker sleeps a second per pass.
    EXPECT_EQ(checksAt, (std::vector<std::chrono::milliseconds>{0s, 30s, 90s, 210s}));
    EXPECT_EQ(seen.back().failed, false);
}

// A blocked watch asked every pass would be blocked harder: from the answer
// that makes it look blocked on, it rests like one asked to slow down.
TEST_F(PollHealthTest, blockedWatchBacksOffFromTheThirdAnswerUntilItWorksAgain)
{
    market.setFault("alpha", {.kind = MarketFault::Kind::Login});
    std::vector<std::chrono::milliseconds> checksAt;
    beforeCheck = [&](int, int n) {
        checksAt.push_back(elapsed);
        if (n == 5) {
            market.clearFaults();
        }
    };
    stopAfterChecks(0, 6);
    run();

    // 0, 1, 2 s: three walls, the third tells; then 30 s, 60 s, and the
    // success ends the rest.
    EXPECT_EQ(checksAt, (std::vector<std::chrono::milliseconds>{0s, 1s, 2s, 32s, 92s, 93s}));
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[2].row, "疑似被拦截，暂停至 14:04");
    EXPECT_TRUE(seen[2].notice);
    EXPECT_FALSE(seen[3].notice);
    EXPECT_EQ(seen[3].row, "疑似被拦截，暂停至 14:05");
    EXPECT_FALSE(seen[4].failed);
}

// A pause and the record behind it belong to the watch, not to its row: an
// import that moves the watch keeps them, and one that drops it drops them.
TEST_F(PollHealthTest, pauseMovesWithItsWatchAndGoesWhenTheWatchLeaves)
{
    settings.interval = 10; // a pass every 9 s of the fake clock
    setWatches({"alpha", "beta"});
    const std::string alpha = market.searchUrl("alpha");
    const auto pauseAlpha = [&](const char* retryAfter) {
        market.setFault("alpha", {.kind = MarketFault::Kind::Status,
                                  .status = 429,
                                  .times = 1,
                                  .retryAfter = retryAfter});
    };
    pauseAlpha("60");
    std::vector<std::chrono::milliseconds> alphaChecks;
    beforeCheck = [&](int slot, int) {
        if (table.url(slot) == alpha) {
            alphaChecks.push_back(elapsed);
        }
    };
    // Imports land between passes, as the window's may.
    onSleep = [&](int) {
        if (elapsed == 1s) {
            setWatches({"beta", "alpha"}); // the paused watch moves to row 1
        } else if (elapsed == 73s) {
            pauseAlpha("600");
        } else if (elapsed == 82s) {
            setWatches({"beta"});
        } else if (elapsed == 91s) {
            setWatches({"beta", "alpha"}); // back a pass after it left
        }
    };
    stopAfterChecks(0, 13);
    run();

    // Still paused in its new row until 60 s, paused again for 600 s at
    // 81 s, and asked at once when it comes back after leaving.
    EXPECT_EQ(alphaChecks, (std::vector<std::chrono::milliseconds>{0s, 63s, 72s, 81s, 99s}));
}

TEST_F(PollHealthTest, jitterStretchesOrShortensEachWaitBetweenPasses)
{
    const struct
    {
        int jitter;
        double uniform;
        std::chrono::milliseconds wait;
    } cases[] = {
        {0, 1.0, 9000ms},
        {50, 1.0, 13500ms},
        {50, 0.0, 4500ms},
        {20, 0.75, 9900ms},
    };
    settings.interval = 10;
    for (const auto& c : cases) {
        settings.jitter = c.jitter;
        random = [u = c.uniform] { return u; };
        std::vector<std::chrono::milliseconds> passes;
        std::chrono::milliseconds longest{0};
        std::chrono::milliseconds before = elapsed;
        onSleep = [&](int) {
            longest = std::max(longest, elapsed - before);
            before = elapsed;
        };
        beforeCheck = [&](int, int) {
            passes.push_back(elapsed);
            before = elapsed;
        };
        ended.clear();
        runFlag.clear();
        stopAfterChecks(0, 3);
        run();
        ASSERT_EQ(passes.size(), 3u);
        EXPECT_EQ(passes[1] - passes[0], c.wait) << c.jitter << " " << c.uniform;
        EXPECT_EQ(passes[2] - passes[1], c.wait) << c.jitter << " " << c.uniform;
        EXPECT_LE(longest, 1000ms) << "a stop is still seen within a second";
    }
}

TEST_F(PollHealthTest, healthFollowsEachCheckAndStartsAfreshForAnotherUrl)
{
    market.setItems("alpha", TestMarket::makeItems(45, 100));
    std::vector<WatchHealth> health;
    onEvent = [&, inner = onEvent](const PolledMessage& m) {
        inner(m);
        if (m == done(0)) {
            health.push_back((*latest.health));
            elapsed += 100s; // the next check happens later
            if (ended[0] == 2) {
                setWatches({"beta"});
            }
        }
    };
    stopAfterChecks(0, 3);
    run();

    ASSERT_EQ(health.size(), 3u);
    EXPECT_EQ(health[0].checks, 1);
    EXPECT_EQ(health[0].pages, 3) << "the third page ends the list";
    EXPECT_EQ(health[0].items, 45u);
    EXPECT_EQ(health[0].lastNewItem, kStart);
    EXPECT_EQ(healthText(health[0], kStart),
              "上次检测 14:04:00，用时 0.0 秒，3 页 45 个宝贝；上次发现新宝贝 14:04");
    EXPECT_EQ(health[1].checks, 2);
    EXPECT_EQ(health[1].lastCheck, kStart + 100s);
    EXPECT_EQ(health[1].lastNewItem, kStart) << "nothing new in the second check";
    EXPECT_EQ(health[2].url, market.searchUrl("beta"));
    EXPECT_EQ(health[2].checks, 1);
    EXPECT_EQ(health[2].items, 2u);
}

TEST_F(PollHealthTest, cookieFileOpensTheLoginWall)
{
    market.requireCookie("login=yes");
    test::writeFile(dir.file("cookies.txt"), "127.0.0.1\tFALSE\t/\tFALSE\t0\tlogin\tyes\n");
    stopAfterChecks(0, 1);
    run();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].failed);
    EXPECT_NE(seen[0].reason.find("localhost"), std::string::npos) << seen[0].reason;

    session.cookieFile = dir.file("cookies.txt");
    runFlag.clear();
    ended.clear();
    run();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FALSE(seen[1].failed) << seen[1].reason;
    EXPECT_EQ(reports, (Strings{"0:" + listed("alpha")}));
}


} // namespace
} // namespace tw::test
