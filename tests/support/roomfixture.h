#pragma once

// The program's state without its window: the core library over a folder of
// its own, the item store, the settings, the watch list and a real run
// against the local test marketplace. A room test adds the rooms it tests.
#include "core/apppaths.h"
#include "core/runsettings.h"
#include "core/watchlist.h"
#include "core/watchlistroom.h"
#include "core/watchroster.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "engine/pollclock.h"
#include "store/itemdb.h"
#include "tests/support/eventloop.h"
#include "tests/support/fakehost.h"
#include "tests/support/storetestutil.h"
#include "tests/support/tempdir.h"
#include "tools/testmarket/testmarket.h"
#include "ui/runcontroller.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <QCoreApplication>

namespace tw::test {

// The worker's clock, held by the test: every sleep between two passes
// waits until the test lets the worker go on, so what the rooms show after a
// pass holds still. Its time moves by what the worker slept, and by what
// the test adds to a sleep.
class HeldClock : public PollClock
{
public:
    void sleepFor(std::chrono::milliseconds d) override
    {
        std::unique_lock lock(m_mutex);
        m_asleep = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_go || m_interrupted; });
        m_go = false;
        m_asleep = false;
        m_elapsed += d + std::exchange(m_ahead, {});
    }
    void interrupt() override
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = true;
        m_changed.notify_all();
    }
    std::chrono::system_clock::time_point wallNow() const override
    {
        std::lock_guard lock(m_mutex);
        return m_start + m_elapsed;
    }
    std::chrono::steady_clock::time_point steadyNow() const override
    {
        std::lock_guard lock(m_mutex);
        return std::chrono::steady_clock::time_point{} + m_elapsed;
    }

    // The worker has ended a pass and waits for the test.
    bool asleep() const
    {
        std::lock_guard lock(m_mutex);
        return m_asleep && !m_go;
    }
    // Waits for that on this thread, handing on no event meanwhile.
    bool waitAsleep(std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [this] { return m_asleep && !m_go; });
    }
    // Ends the sleep, `ahead` later than the worker asked for.
    void wake(std::chrono::milliseconds ahead = {})
    {
        std::lock_guard lock(m_mutex);
        m_go = true;
        m_ahead = ahead;
        m_changed.notify_all();
    }
    // A stop interrupts the sleeps for good; the next run sleeps again.
    void rearm()
    {
        std::lock_guard lock(m_mutex);
        m_interrupted = false;
        m_go = false;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_asleep = false;
    bool m_go = false;
    bool m_interrupted = false;
    std::chrono::milliseconds m_ahead{0};
    std::chrono::milliseconds m_elapsed{0};
    const std::chrono::system_clock::time_point m_start = std::chrono::system_clock::now();
};

// Holds the marketplace's answers to the searches for one key until the test
// lets them go: the check under way stays under way.
class AnswerHold
{
public:
    void hold(const std::string& key)
    {
        std::lock_guard lock(m_mutex);
        m_key = key;
    }
    void release()
    {
        std::lock_guard lock(m_mutex);
        m_key.clear();
        m_changed.notify_all();
    }
    // On the marketplace's thread, before it answers a search for key.
    void wait(const std::string& key)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_key.empty() || m_key != key; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_key;
};

class RoomTest : public ::testing::Test
{
protected:
    RoomTest()
    {
        EXPECT_TRUE(market.start());
        market.setBeforeAnswer([this](const std::string& key, int) { answers.wait(key); });
        db.setConnStr(makeItemDatabase(paths.dbFile));
        settings.interval = 2;
        settings.keepWatching = 1;
        settings.notify = 0;
        settings.itemHost = "127.0.0.1:8";
        // A held answer is cut only by a stop.
        SessionSettings session;
        session.stallTimeoutMs = 0;
        session.pageDeadlineMs = 0;
        run.setPollOptions(session, {}, &clock);
    }
    ~RoomTest() override
    {
        answers.release();
        run.closeDown();
        market.setBeforeAnswer({});
    }

    // The list file holds one watch per key, as the program reads it at start.
    void watch(const std::vector<std::string>& keys)
    {
        writeFile(paths.itemsFile, urlsOf(keys));
        list.load();
    }
    // The user imports a list of these keys.
    void importKeys(const std::vector<std::string>& keys)
    {
        writeFile(dir.file("import.txt"), urlsOf(keys));
        EXPECT_TRUE(list.import(dir.file("import.txt")).replaced);
    }
    std::string urlsOf(const std::vector<std::string>& keys) const
    {
        std::string lines;
        for (const std::string& key : keys) {
            lines += market.searchUrl(key) + "\n";
        }
        return lines;
    }

    bool startRun()
    {
        clock.rearm();
        return run.start(run.pollOptions());
    }
    // Lets the worker begin its next pass, `ahead` later, and waits for its end.
    bool nextPass(std::chrono::milliseconds ahead = {})
    {
        clock.wake(ahead);
        return passEnded();
    }
    // Until the worker waits after a pass or the run is over, with every
    // message it posted handed to the rooms.
    bool passEnded()
    {
        const bool ended =
            processEventsUntil([this] { return clock.asleep() || !run.isRunning(); });
        QCoreApplication::sendPostedEvents();
        return ended;
    }
    bool stopRun()
    {
        run.stop();
        return processEventsUntil([this] { return run.state() == RunController::State::Idle; });
    }

    TempDir dir;
    std::shared_ptr<FakeHost> host = std::make_shared<FakeHost>();
    CCore core{host, dir.path()};
    AppPaths paths = AppPaths::under(dir.path());
    CItemDb db;
    RunSettings settings;
    WatchTable table;
    WatchRoster roster{table};
    WatchListRoom list{roster, paths.itemsFile};
    AnswerHold answers;
    TestMarket market;
    HeldClock clock;
    RunController run{RunContext{roster, settings, paths, db, core}};
};

} // namespace tw::test
