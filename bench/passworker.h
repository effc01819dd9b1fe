#pragma once

#include "core/apppaths.h"
#include "core/runflag.h"
#include "core/runsettings.h"
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

    void postMessage(PollMessage m) override
    {
        if (m.code != WM_POLL_PROGRESS || m.progress == PROGRESS_BEGIN) {
            return;
        }
        std::unique_lock lock(m_mutex);
        if (m.progress == PROGRESS_FAILED) {
            ++m_failures;
        }
        if (m.slot == m_lastSlot) {
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

private:
    const std::intptr_t m_lastSlot;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_passDone = false;
    bool m_go = false;
    int m_failures = 0;
};

// One poll worker with its own table, store and settings in appDir, making a
// pass whenever runPass() asks. Fill table and settings before start(): the
// worker reads them while it runs.
struct PassWorker
{
    PassWorker(const std::string& appDir, int watches)
        : paths(AppPaths::under(appDir)), sink(watches), m_watches(watches)
    {
        createItemDatabase(appDir + "sys.mdb");
        db.setConnStr(CCore::getDbConnStrMdb(appDir + "sys.mdb"));
        settings.interval = 1;
    }
    PassWorker(const PassWorker&) = delete;
    PassWorker& operator=(const PassWorker&) = delete;
    ~PassWorker() { stop(); }

    // Starts the worker; its first pass stores every item. The failed checks.
    int start()
    {
        m_worker = std::make_unique<CPollThread>(
            PollThreadParams{sink, table, runFlag, settings, paths, db, core, session, {}, &clock});
        if (!m_worker->CreateThread()) {
            m_worker.reset();
            return m_watches;
        }
        return sink.firstPass();
    }
    bool started() const { return m_worker != nullptr; }
    int runPass() { return sink.runPass(); }

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
    RunFlag runFlag;
    CItemDb db;
    PassSink sink;
    NoWaitClock clock;

private:
    std::unique_ptr<CPollThread> m_worker;
    const int m_watches;
};

} // namespace tw::bench
