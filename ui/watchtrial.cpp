#include "ui/watchtrial.h"

#include "ui/runcontroller.h"

#include <QMetaObject>

namespace tw {

WatchTrial::WatchTrial(CItemDb& db, CCore& core, RunController& run, QObject* parent)
    : QObject(parent), m_db(db), m_core(core), m_run(run)
{}

WatchTrial::~WatchTrial()
{
    stopTask();
}

bool WatchTrial::start(TrialRequest request)
{
    stopTask();
    request.openSession = m_run.sessionFactory();
    request.clock = m_run.pollClock();
    request.pacer = &m_run.pacer();
    const unsigned generation = ++m_generation;
    // The task's thread hands the result over and never waits; the task is
    // joined before this object goes, and a result still queued then is
    // dropped with it.
    m_task = std::make_unique<TrialCheck>(std::move(request), m_db, m_core,
                                          [this, generation](TrialResult result) {
                                              QMetaObject::invokeMethod(
                                                  this,
                                                  [this, generation, result = std::move(result)] {
                                                      if (generation != m_generation || !m_task) {
                                                          return;
                                                      }
                                                      m_task->join();
                                                      m_task.reset();
                                                      Q_EMIT finished(result);
                                                  },
                                                  Qt::QueuedConnection);
                                          });
    if (!m_task->start()) {
        m_task.reset();
        return false;
    }
    return true;
}

void WatchTrial::cancel()
{
    if (m_task) {
        // The task still ends with its result, marked cancelled.
        m_task->abort();
    }
}

void WatchTrial::stopTask()
{
    if (m_task) {
        m_task->abort();
        m_task->join();
        m_task.reset();
    }
}

} // namespace tw
