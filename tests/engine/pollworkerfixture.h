#pragma once

// The poll worker's tests share one fixture: it is the window's side and the
// worker's clock.
#include "core/apppaths.h"
#include "core/runflag.h"
#include "core/runsettings.h"
#include "core/watchroster.h"
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

namespace tw::test {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

// A message as the run's order shows it: which one, its slot, and how a
// check or the run ended.
struct PolledMessage
{
    enum class Kind { Began, Ended, RunEnded };
    Kind kind = Kind::Began;
    int slot = -1;
    CheckOutcome outcome = CheckOutcome::Done;
    bool sessionFailed = false;

    friend bool operator==(const PolledMessage&, const PolledMessage&) = default;
    friend std::ostream& operator<<(std::ostream& os, const PolledMessage& m)
    {
        static const char* const outcomes[] = {"done", "failed", "baseline", "stopped"};
        switch (m.kind) {
        case Kind::Began:
            return os << "began(" << m.slot << ')';
        case Kind::Ended:
            return os << outcomes[static_cast<int>(m.outcome)] << '(' << m.slot << ')';
        case Kind::RunEnded:
            return os << (m.sessionFailed ? "runEnded(session failed)" : "runEnded");
        }
        return os;
    }
};
using Messages = std::vector<PolledMessage>;

inline PolledMessage endedWith(int slot, CheckOutcome outcome)
{
    return {PolledMessage::Kind::Ended, slot, outcome};
}
inline const auto begun = [](int slot) { return PolledMessage{PolledMessage::Kind::Began, slot}; };
inline const auto done = [](int slot) { return endedWith(slot, CheckOutcome::Done); };
inline const auto failed = [](int slot) { return endedWith(slot, CheckOutcome::Failed); };
inline const auto baselined = [](int slot) { return endedWith(slot, CheckOutcome::Baseline); };
inline const auto cutShort = [](int slot) { return endedWith(slot, CheckOutcome::Stopped); };
inline const PolledMessage stopped{PolledMessage::Kind::RunEnded};
inline const PolledMessage sessionFailed{PolledMessage::Kind::RunEnded, -1, CheckOutcome::Done,
                                         true};

// The ids of items joined by ",", as a slot's fields hold them.
inline std::string joinedIds(const std::vector<FoundItem>& items)
{
    std::string ids;
    for (const FoundItem& item : items) {
        ids += (ids.empty() ? "" : ",") + item.id;
    }
    return ids;
}

// 2026-10-21 14:04:00 UTC, the fake clock's time of day at its start.
inline const WallTime kStart = std::chrono::system_clock::from_time_t(1792591440);

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
        // Most tests run passes after items were reported; the one about the
        // end of a run at an alert turns this off.
        settings.keepWatching = 1;
        session.connectTimeoutMs = 2000;
        // Short enough to keep the stalled case quick, long enough for a
        // sanitizer build on a busy machine.
        session.stallTimeoutMs = 1500;
        session.connectBackoffMs = 10;
    }

    void postMessage(PollMessage message) override
    {
        PolledMessage m;
        if (const auto* began = std::get_if<CheckBegan>(&message)) {
            m = begun(began->watch.slot);
            latestBegan = *began;
        } else if (const auto* end = std::get_if<CheckEnded>(&message)) {
            m = endedWith(end->watch.slot, end->outcome);
            latest = *end;
        } else if (const auto* run = std::get_if<RunEnded>(&message)) {
            m = run->sessionFailed ? sessionFailed : stopped;
        } else {
            ADD_FAILURE() << "the worker posted a marking message";
        }
        const int slot = m.slot;
        const bool checkEnded = m.kind == PolledMessage::Kind::Ended;
        messages.push_back(m);
        if (checkEnded) {
            ++ended[slot];
        }
        if (onEvent) {
            onEvent(m);
        }
        if (checkEnded && !latest.items.empty()) {
            reports.push_back(std::to_string(slot) + ":" + joinedIds(latest.items));
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
    WallTime wallNow() const override { return kStart + elapsed + wallShift; }
    SteadyTime steadyNow() const override { return SteadyTime{} + elapsed; }

    void setWatches(const Strings& keys)
    {
        std::vector<Watch> watches;
        for (const std::string& key : keys) {
            watches.push_back({market.searchUrl(key), key});
        }
        replaceWatches(watches);
    }

    // The list as the window stores it: each watch with its id, the same one
    // for the same url every time.
    void replaceWatches(const std::vector<Watch>& watches)
    {
        std::vector<WatchId> ids;
        for (const Watch& watch : watches) {
            ids.push_back(idOf(watch.url));
        }
        roster.replaceAll(watches, ids);
    }
    WatchId idOf(const std::string& url)
    {
        return watchIds.try_emplace(url, 100 + watchIds.size()).first->second;
    }

    // The settings as they are now: the worker takes its own copy.
    PollThreadParams params()
    {
        PollThreadParams p{*this, roster, runFlag, settings, paths, db, core, session, openSession};
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

    // What the market lists under key, with the titles it gives.
    std::vector<FoundItem> marketItems(const std::string& key)
    {
        std::vector<FoundItem> items;
        for (const MarketItem& item : market.items(key)) {
            items.push_back({item.id, item.title});
        }
        return items;
    }

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
    WatchRoster roster{table};
    std::map<std::string, WatchId> watchIds; // by url
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
    Messages messages;
    // The whole of the last message of each kind, as the window would get it.
    CheckBegan latestBegan;
    CheckEnded latest;
    Strings reports;
    std::map<int, int> ended; // checks ended per slot, counted before onEvent
    int stopSlot = -1;
    int stopAfter = 0;
    int sleeps = 0;
    std::chrono::milliseconds elapsed{0};
    // The time of day set back or forward, as a user or NTP may do.
    std::chrono::milliseconds wallShift{0};
};

} // namespace tw::test
