#pragma once

#include "engine/trialcheck.h"

#include <memory>

#include <QObject>

namespace tw {

class CCore;
class CItemDb;
class RunController;

// "试一下" of the watch dialog: one trial check at a time, beside the run
// and with its pacer, its end handed back on the window thread. A new start
// or the room's end cancels the one before.
class WatchTrial : public QObject
{
    Q_OBJECT

public:
    WatchTrial(CItemDb& db, CCore& core, RunController& run, QObject* parent = nullptr);
    ~WatchTrial() override;

    // The session, clock and pacer are the run's; false when the thread
    // could not be started.
    bool start(TrialRequest request);
    void cancel();

Q_SIGNALS:
    void finished(const tw::TrialResult& result);

private:
    void stopTask();

    CItemDb& m_db;
    CCore& m_core;
    RunController& m_run;
    std::unique_ptr<TrialCheck> m_task;
    // Tells a result from the task it came from after a restart.
    unsigned m_generation = 0;
};

} // namespace tw
