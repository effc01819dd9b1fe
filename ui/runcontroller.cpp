#include "ui/runcontroller.h"

#include "core/apppaths.h"
#include "core/runsettings.h"
#include "core/watchroster.h"
#include "ui/pollevent.h"

#include <QCoreApplication>

namespace tw {

RunController::RunController(RunContext context, QObject* parent)
    : QObject(parent), m_context(context)
{}

RunController::~RunController()
{
    closeDown();
}

void RunController::setPollOptions(SessionSettings session, SessionFactory openSession,
                                   PollClock* clock)
{
    m_sessionSettings = std::move(session);
    m_openSession = std::move(openSession);
    m_pollClock = clock;
}

bool RunController::start(const SessionSettings& session)
{
    if (m_state != State::Idle) {
        return false;
    }
    m_runFlag.clear();
    PollThreadParams params{*this,         m_context.roster, m_runFlag,      m_context.settings,
                            m_context.paths, m_context.db,     m_context.core};
    params.session = session;
    params.openSession = m_openSession;
    params.clock = m_pollClock;
    params.pacer = &m_pacer;
    m_worker = std::make_unique<CPollThread>(std::move(params));
    if (!m_worker->CreateThread()) {
        m_worker.reset();
        return false;
    }
    setState(State::Running);
    return true;
}

void RunController::stop(bool cut)
{
    if (m_state != State::Running && m_state != State::Stopping) {
        return;
    }
    m_runFlag.requestStop();
    if (cut && m_worker) {
        m_worker->abort();
    }
    setState(State::Stopping);
}

bool RunController::markSeen(const WatchRef& watch, const std::string& sid,
                             const SessionSettings& session)
{
    if (m_state != State::Idle) {
        return false;
    }
    MarkSeenParams params{*this, m_context.db, m_context.core};
    params.id = watch.id;
    params.slot = watch.slot;
    params.url = watch.url;
    params.sid = sid;
    params.pageFile = m_context.paths.pageFile;
    params.titlesFile = m_context.paths.titlesFile;
    params.ignoreWords = m_context.settings.ignoreWords;
    params.session = session;
    params.openSession = m_openSession;
    m_markSeen = std::make_unique<CMarkSeenTask>(std::move(params));
    if (!m_markSeen->start()) {
        m_markSeen.reset();
        return false;
    }
    setState(State::Marking);
    return true;
}

void RunController::closeDown()
{
    if (m_state == State::Closing) {
        return;
    }
    setState(State::Closing);
    if (m_worker) {
        // abort() also breaks a stalled download, so the close never waits
        // for the network's time-outs.
        m_runFlag.requestStop();
        m_worker->abort();
        m_worker->join();
        m_worker.reset();
    }
    if (m_markSeen) {
        m_markSeen->abort();
        m_markSeen->join();
        m_markSeen.reset();
    }
}

void RunController::postMessage(PollMessage message)
{
    QCoreApplication::postEvent(this, new PollEvent(std::move(message)));
}

void RunController::customEvent(QEvent* e)
{
    if (e->type() != PollEvent::eventType() || m_state == State::Closing) {
        return;
    }
    dispatch(static_cast<PollEvent*>(e)->message());
}

void RunController::dispatch(const PollMessage& message)
{
    struct
    {
        RunController* self;
        void operator()(const CheckBegan& m) const { Q_EMIT self->checkBegan(m); }
        void operator()(const CheckEnded& m) const
        {
            if (m.endsRun) {
                // The worker ends the run after this check; the flag and the
                // button follow, as after Stop, but the check under way finishes.
                self->stop(false);
            }
            Q_EMIT self->checkEnded(m);
        }
        void operator()(const RunEnded& m) const { self->endRun(m); }
        void operator()(const MarkingEnded& m) const { self->endMarking(m); }
    } visitor{this};
    std::visit(visitor, message);
}

void RunController::endRun(const RunEnded& message)
{
    // Nothing follows the run's end from the worker: its thread is ending.
    if (m_worker) {
        m_worker->join();
        m_worker.reset();
    }
    m_runFlag.clear();
    setState(State::Idle);
    Q_EMIT runEnded(message.sessionFailed);
}

void RunController::endMarking(const MarkingEnded& message)
{
    if (!m_markSeen) {
        return;
    }
    m_markSeen->join();
    m_markSeen.reset();
    setState(State::Idle);
    Q_EMIT markingEnded(message);
}

void RunController::setState(State state)
{
    if (m_state == state) {
        return;
    }
    m_state = state;
    Q_EMIT stateChanged(state);
}

} // namespace tw
