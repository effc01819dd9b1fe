#pragma once

#include "core/apppaths.h"
#include "core/runflag.h"
#include "core/runsettings.h"
#include "core/watchroster.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "engine/pollclock.h"
#include "engine/pollmessages.h"
#include "engine/pollthread.h"
#include "store/itemdb.h"
#include "store/schema.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace tw::bench {

// Sleeps pass at once: a pass never waits for the next tick here.
class NoWaitClock : public PollClock
{
public:
    void sleepFor(std::chrono::milliseconds) override {}
    void interrupt() override {}
};

// Lets one long-running worker make one pass at a time, as a run does between
// two ticks: after the last watch's check it reports the pass and waits for
// the next go. Blocking here is fine for a benchmark, never for a window.
class PassSink : public PollSink
{
public:
    explicit PassSink(int watches) : m_lastSlot(watches - 1) {}

    void postMessage(PollMessage message) override
    {
        const auto* end = std::get_if<CheckEnded>(&message);
        if (!end) {
            return;
        }
        std::unique_lock lock(m_mutex);
        if (end->outcome == CheckOutcome::Failed) {
            ++m_failures;
        }
        if (end->watch.slot == m_lastSlot) {
            m_passDone = true;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_go; });
            m_go = false;
        }
    }

    // Releases the worker for one pass and waits for its end; the number of
    // failed checks in it.
    int runPass()
    {
        std::unique_lock lock(m_mutex);
        m_failures = 0;
        m_passDone = false;
        m_go = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_passDone; });
        return m_failures;
    }

    // The first pass begins at once after start: wait for it, without a go.
    int firstPass()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_passDone; });
        return m_failures;
    }

    void release()
    {
        std::lock_guard lock(m_mutex);
        m_go = true;
        m_changed.notify_all();
    }

    // For the next worker: no pass seen yet.
    void reset()
    {
        std::lock_guard lock(m_mutex);
        m_passDone = false;
        m_go = false;
        m_failures = 0;
    }

private:
    const int m_lastSlot;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_passDone = false;
    bool m_go = false;
    int m_failures = 0;
};

// One poll worker with its own table, store and settings in appDir, making a
// pass whenever runPass() asks. Fill table and settings before start(): the
// worker reads the table while it runs, and takes its copy of the settings
// at the start.
struct PassWorker
{
    PassWorker(const std::string& appDir, int watches)
        : paths(AppPaths::under(appDir)), sink(watches), m_watches(watches)
    {
        createItemDatabase(appDir + "sys.mdb");
        db.setConnStr(CCore::getDbConnStrMdb(appDir + "sys.mdb"));
        settings.interval = 1;
        // A pass reports every item of a fresh store: the run goes on after it.
        settings.keepWatching = 1;
    }
    PassWorker(const PassWorker&) = delete;
    PassWorker& operator=(const PassWorker&) = delete;
    ~PassWorker() { stop(); }

    // Starts the worker; its first pass stores every item. The failed checks.
    int start()
    {
        runFlag.clear();
        sink.reset();
        m_worker = std::make_unique<CPollThread>(PollThreadParams{
            sink, roster, runFlag, settings, paths, db, core, session, {}, &clock});
        if (!m_worker->CreateThread()) {
            m_worker.reset();
            return m_watches;
        }
        return sink.firstPass();
    }
    bool started() const { return m_worker != nullptr; }
    int runPass() { return sink.runPass(); }
    // A new worker with the settings as they are now (a worker keeps the
    // copy it took at its start); its first pass, like start()'s, finds what
    // the table and the store already hold. The failed checks of that pass.
    int restart()
    {
        stop();
        return start();
    }

    void stop()
    {
        if (m_worker) {
            runFlag.requestStop();
            sink.release();
            m_worker->join();
            m_worker.reset();
        }
    }

    CCore core{nullptr, "/tmp/"};
    AppPaths paths;
    RunSettings settings;
    SessionSettings session;
    WatchTable table;
    WatchRoster roster{table};
    RunFlag runFlag;
    CItemDb db;
    PassSink sink;
    NoWaitClock clock;

private:
    std::unique_ptr<CPollThread> m_worker;
    const int m_watches;
};

} // namespace tw::bench
