#include "core/apppaths.h"
#include "core/runflag.h"
#include "core/runsettings.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "engine/pollclock.h"
#include "engine/pollmessages.h"
#include "engine/pollthread.h"
#include "engine/watchhealth.h"
#include "store/itemdb.h"
#include "tests/support/fakehost.h"
#include "tests/support/storetestutil.h"
#include "tests/support/tempdir.h"
#include "tools/testmarket/testmarket.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace tw {
namespace {

using namespace std::chrono_literals;
using test::MarketFault;
using test::MarketItem;
using test::storedIds;
using test::TestMarket;
using Strings = std::vector<std::string>;

struct PolledMessage
{
    unsigned msg = 0;
    std::intptr_t wParam = 0;
    std::intptr_t lParam = 0;
    friend bool operator==(const PolledMessage&, const PolledMessage&) = default;
    friend std::ostream& operator<<(std::ostream& os, const PolledMessage& m)
    {
        return os << (m.msg == WM_POLL_DONE ? "DONE(" : "PROGRESS(") << m.wParam << ',' << m.lParam
                  << ')';
    }
};
using Messages = std::vector<PolledMessage>;

const auto begun = [](int slot) { return PolledMessage{WM_POLL_PROGRESS, PROGRESS_BEGIN, slot}; };
const auto done = [](int slot) { return PolledMessage{WM_POLL_PROGRESS, PROGRESS_DONE, slot}; };
const auto failed = [](int slot) { return PolledMessage{WM_POLL_PROGRESS, PROGRESS_FAILED, slot}; };
const auto baselined = [](int slot) {
    return PolledMessage{WM_POLL_PROGRESS, PROGRESS_BASELINE, slot};
};
const PolledMessage stopped{WM_POLL_DONE, 0, 0};
// 2026-10-21 14:04:00 UTC, the fake clock's time of day at its start.
const WallTime kStart = std::chrono::system_clock::from_time_t(1792591440);

// The fixture is the window's side and the worker's clock: it records every
// message and its sleeps pass at once, advancing its time by what was asked.
// Both run on the worker thread; the test reads what they kept after join().
class PollThreadTest : public ::testing::Test, public PollSink, public PollClock
{
protected:
    PollThreadTest()
    {
        EXPECT_TRUE(market.start());
        market.setItems("alpha", TestMarket::makeItems(3, 100));
        market.setItems("beta", TestMarket::makeItems(2, 200));
        setWatches({"alpha"});
        db.setConnStr(goodDb);
        settings.interval = 1;
        session.connectTimeoutMs = 2000;
        // Short enough to keep the stalled case quick, long enough for a
        // sanitizer build on a busy machine.
        session.stallTimeoutMs = 1500;
        session.connectBackoffMs = 10;
    }

    void postMessage(unsigned msg, std::intptr_t wParam, std::intptr_t lParam) override
    {
        const PolledMessage m{msg, wParam, lParam};
        const int slot = int(lParam);
        messages.push_back(m);
        const bool checkEnded = m == done(slot) || m == failed(slot) || m == baselined(slot);
        if (checkEnded) {
            ++ended[slot];
        }
        if (onEvent) {
            onEvent(m);
        }
        if (msg == WM_POLL_PROGRESS && windowTakes) {
            const std::string ids = table.takeNewIds(slot);
            if (!ids.empty()) {
                reports.push_back(std::to_string(slot) + ":" + ids);
            }
        }
        if (checkEnded && slot == stopSlot && ended[slot] == stopAfter) {
            runFlag.requestStop();
        }
    }
    void sleepFor(std::chrono::milliseconds d) override
    {
        elapsed += d;
        ++sleeps;
        if (onSleep) {
            onSleep(sleeps);
        }
    }
    void interrupt() override {}
    WallTime wallNow() const override { return kStart + elapsed; }

    void setWatches(const Strings& keys)
    {
        std::vector<Watch> watches;
        for (const std::string& key : keys) {
            watches.push_back({market.searchUrl(key), key});
        }
        table.replaceAll(watches);
    }

    PollThreadParams params()
    {
        PollThreadParams p{*this, table, runFlag, settings, paths, db, core, session, openSession};
        p.clock = this;
        p.random = random;
        return p;
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

    std::string failThenRecover(const std::function<void()>& afterFailure = {},
                                const std::string& seenAfterFailure = "");

    // The first count ids the market lists under key.
    std::string listed(const std::string& key, std::size_t count = std::string::npos)
    {
        std::string ids;
        for (const MarketItem& item : market.items(key)) {
            if (count-- == 0) {
                break;
            }
            ids += (ids.empty() ? "" : ",") + item.id;
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
    const std::string goodDb = test::makeItemDatabase(dir.file("sys.mdb"));
    SessionSettings session;
    SessionFactory openSession;
    RequestPolicy::Uniform random;

    // Used on the worker thread while it runs, and by the test after join().
    CPollThread* current = nullptr;
    std::function<void(const PolledMessage&)> onEvent;
    std::function<void(int)> onSleep; // with the number of sleeps so far
    bool windowTakes = true;
    Messages messages;
    Strings reports;
    std::map<int, int> ended; // checks ended per slot, counted before onEvent
    int stopSlot = -1;
    int stopAfter = 0;
    int sleeps = 0;
    std::chrono::milliseconds elapsed{0};
};

TEST_F(PollThreadTest, eachCheckPostsBeginThenDoneInSlotOrderAroundTheSlotWrites)
{
    market.setItems("gamma", TestMarket::makeItems(45, 1000)); // two pages
    setWatches({"alpha", "nothing", "gamma"});
    const Strings expected = {listed("alpha"), "", listed("gamma")};
    onEvent = [&](const PolledMessage& m) {
        const int slot = int(m.lParam);
        if (m == done(slot)) {
            // newIds is written before the message, lastIds only after it.
            EXPECT_EQ(table.slot(slot).newIds, expected[slot]) << slot;
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
        } else if (m == begun(0) && ended[0] == 2) {
            // The same list imported again keeps what each watch saw last.
            setWatches({"alpha", "beta"});
        } else if (m == begun(0) && ended[0] == 3) {
            // A field that no longer holds what the worker wrote makes the
            // worker go by the field again.
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

// The window does not take newIds here: they must pile up, never be overwritten.
TEST_F(PollThreadTest, itemListedBetweenPassesIsReportedOnceAfterWhatTheWindowHasNotTaken)
{
    windowTakes = false;
    table.setNewIds(0, "55");
    const std::string first = listed("alpha");
    onEvent = [&](const PolledMessage& m) {
        if (m == done(0) && ended[0] == 1) {
            market.addItem("alpha", {"777", "新的"});
        }
    };
    stopAfterChecks(0, 3);
    run();

    EXPECT_EQ(table.slot(0).newIds, "55," + first + ",777");
    EXPECT_EQ(storedIds(db, "alpha"), first + ",777");
    EXPECT_EQ(table.slot(0).lastIds, "777," + first);
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

TEST_F(PollThreadTest, intervalBelowOneIsTakenAsOne)
{
    for (const int interval : {0, -7}) {
        settings.interval = interval;
        ended.clear();
        runFlag.clear();
        stopAfterChecks(0, 3);
        run();
        EXPECT_EQ(ended[0], 3) << interval;
    }
    EXPECT_EQ(sleeps, 0) << "passes follow one another without a pause";
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
    EXPECT_EQ(sleeps, 5);
}

TEST_F(PollThreadTest, stopDuringACheckLetsItFinishAndLosesNoItem)
{
    setWatches({"alpha", "beta"});
    onEvent = [&](const PolledMessage& m) {
        if (m == begun(0)) {
            runFlag.requestStop();
        }
    };
    run();

    EXPECT_EQ(messages, (Messages{begun(0), done(0), stopped}));
    EXPECT_GE(market.requestCount(), 1u) << "the pages of the check were still fetched";
    // The walk never got to the items, so they are not taken as seen and the
    // next run reports every one of them.
    EXPECT_EQ(table.slot(0).lastIds, "");
    onEvent = nullptr;
    runFlag.clear();
    stopAfterChecks(1, 1);
    run();
    EXPECT_EQ(reports, (Strings{"0:" + listed("alpha"), "1:" + listed("beta")}));
}

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
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(table.slot(0).lastIds, "");
    EXPECT_EQ(storedIds(db, "alpha"), listed("alpha")) << "filed under its own key";
    EXPECT_EQ(storedIds(db, "beta"), "");
}

TEST_F(PollThreadTest, failedSessionPostsOneDoneAndTouchesNoSlot)
{
    openSession = [](const SessionSettings&) { return std::unique_ptr<HttpSession>(); };
    table.setLastIds(0, "1");
    run();

    EXPECT_EQ(messages, (Messages{{WM_POLL_DONE, 0, -1}}));
    EXPECT_EQ(market.requestCount(), 0u);
    EXPECT_EQ(table.slot(0).lastIds, "1");
    EXPECT_EQ(table.slot(0).newIds, "");
}

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
            reason = current->failureReason(0);
            if (afterFailure) {
                afterFailure();
            }
        } else if (m == begun(0) && ended[0] == 1) {
            lastIdsAfterFailure = table.slot(0).lastIds;
        } else if (m == done(0)) {
            reasonAfterRecovery = current->failureReason(0);
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
    EXPECT_EQ(storedIds(db, "alpha"), all);
    EXPECT_EQ(table.slot(0).lastIds, all);
    return reason;
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
            reasons.push_back(current->failureReason(0));
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

// With interval 1 a pass follows the last at once, unless every check of it
// failed: then the worker sleeps a second, and does not spin on a dead network.
TEST_F(PollThreadTest, passWhoseChecksAllFailedSleepsASecondBeforeTheNext)
{
    int closedPort = 0;
    {
        TestMarket gone;
        ASSERT_TRUE(gone.start());
        closedPort = gone.port();
    }
    const Watch unreachable{"http://127.0.0.1:" + std::to_string(closedPort) + "/search?q=x", "x"};
    const std::tuple<std::vector<Watch>, bool> rows[] = {
        {{unreachable, unreachable}, true},
        {{unreachable, {market.searchUrl("alpha"), "alpha"}}, false},
    };
    for (const auto& [watches, sleepsBetweenPasses] : rows) {
        SCOPED_TRACE(sleepsBetweenPasses);
        table.replaceAll(watches);
        runFlag.clear();
        messages.clear();
        ended.clear();
        sleeps = 0;
        stopAfterChecks(1, 3);
        run();
        EXPECT_EQ(ended[0], 3);
        if (sleepsBetweenPasses) {
            EXPECT_GE(sleeps, 2);
        } else {
            EXPECT_EQ(sleeps, 0);
        }
    }
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
    EXPECT_EQ(messages, (Messages{begun(0), failed(0), stopped}));
    EXPECT_NE(worker.failureReason(0).find("abort"), std::string::npos) << worker.failureReason(0);

    // An hour between passes: only the destructor's abort() ends the wait,
    // also when it comes before the worker has begun to sleep.
    settings.interval = 3600;
    table.setWatchCount(0);
    {
        CPollThread idle(realTime);
        ASSERT_TRUE(idle.CreateThread());
    }
    EXPECT_EQ(messages.back(), stopped);
}

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
            const int slot = int(m.lParam);
            if (m == begun(slot) && beforeCheck) {
                beforeCheck(slot, ended[slot] + 1);
            }
            if (slot == 0 && (m == done(0) || m == failed(0))) {
                const WatchHealth h = current->health(0);
                seen.push_back({m == failed(0),
                                m == failed(0) ? failedRowText(h, current->wallNow()) : "",
                                current->takeBlockedNotice(0), current->failureReason(0)});
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
        const char* rows[] = {"", "检测失败", "检测失败", "疑似被拦截",
                              "", "检测失败", "检测失败", "疑似被拦截"};
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].failed, failedAt[i]) << "check " << i + 1;
            EXPECT_EQ(seen[i].row, rows[i]) << "check " << i + 1;
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
    beforeCheck = [&](int slot, int) {
        if (slot == 0) {
            alphaChecks.push_back(elapsed);
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
            const WatchHealth h = current->health(0);
            pauses.push_back(std::chrono::duration_cast<std::chrono::seconds>(
                h.pausedUntil.value_or(WallTime{}) - current->wallNow()));
        } else if (m == done(0)) {
            EXPECT_FALSE(current->health(0).pausedUntil);
            EXPECT_EQ(current->health(0).backoffStep, 0);
        }
    };
    stopAfterChecks(0, 4);
    run();

    EXPECT_EQ(pauses, (std::vector<std::chrono::seconds>{30s, 60s, 120s}));
    // With nothing else to check, the worker sleeps a second per pass.
    EXPECT_EQ(checksAt, (std::vector<std::chrono::milliseconds>{0s, 30s, 90s, 210s}));
    EXPECT_EQ(seen.back().failed, false);
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
            health.push_back(current->health(0));
            elapsed += 100s; // the next check happens later
        }
    };
    beforeCheck = [&](int, int n) {
        if (n == 3) {
            setWatches({"beta"});
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

TEST(SteadyPollClock, interruptEndsASleepAndEveryLaterOne)
{
    SteadyPollClock clock;
    std::thread sleeper([&] { clock.sleepFor(std::chrono::hours(1)); });
    clock.interrupt();
    sleeper.join();
    clock.sleepFor(std::chrono::hours(1));
}

} // namespace
} // namespace tw

namespace tw {
namespace {

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
            if (m.lParam == 0 && m.wParam != PROGRESS_BEGIN && ended[0] == 1) {
                market.addItem("alpha", {"777", "新的"});
            }
        };
        stopAfterChecks(0, 2);
        run();

        EXPECT_EQ(messages, (Messages{begun(0), c.firstEnd, begun(0), done(0), stopped}));
        EXPECT_EQ(reports, c.reports);
        EXPECT_EQ(storedIds(db, "alpha"), "100,101,102,777");
        EXPECT_EQ(table.slot(0).lastIds, "777,100,101,102");
        // A fresh table: the same list again would keep what the watch saw.
        table.clear();
        setWatches({"alpha"});
    }
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
        table.replaceAll({{market.searchUrl("alpha"), "alpha"}});
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
} // namespace tw
