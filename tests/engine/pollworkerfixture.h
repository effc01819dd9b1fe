#pragma once

// The poll worker's tests share one fixture: it is the window's side and the
// worker's clock.
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

namespace tw::test {

using namespace std::chrono_literals;
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

inline const auto begun = [](int slot) { return PolledMessage{WM_POLL_PROGRESS, PROGRESS_BEGIN, slot}; };
inline const auto done = [](int slot) { return PolledMessage{WM_POLL_PROGRESS, PROGRESS_DONE, slot}; };
inline const auto failed = [](int slot) { return PolledMessage{WM_POLL_PROGRESS, PROGRESS_FAILED, slot}; };
inline const auto baselined = [](int slot) {
    return PolledMessage{WM_POLL_PROGRESS, PROGRESS_BASELINE, slot};
};
inline const auto cutShort = [](int slot) {
    return PolledMessage{WM_POLL_PROGRESS, PROGRESS_STOPPED, slot};
};
inline const PolledMessage stopped{WM_POLL_DONE, 0, -1};
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
        session.connectTimeoutMs = 2000;
        // Short enough to keep the stalled case quick, long enough for a
        // sanitizer build on a busy machine.
        session.stallTimeoutMs = 1500;
        session.connectBackoffMs = 10;
    }

    void postMessage(PollMessage message) override
    {
        const PolledMessage m{message.code, message.progress, message.slot};
        const int slot = message.slot;
        if (message.code == WM_POLL_PROGRESS) {
            latest = message;
        }
        messages.push_back(m);
        const bool checkEnded = m == done(slot) || m == failed(slot) || m == baselined(slot) ||
                                m == cutShort(slot);
        if (checkEnded) {
            ++ended[slot];
        }
        if (onEvent) {
            onEvent(m);
        }
        if (!message.newIds.empty()) {
            reports.push_back(std::to_string(slot) + ":" + message.newIds);
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
    Messages messages;
    // The whole of the last progress message, as the window would get it.
    PollMessage latest;
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
