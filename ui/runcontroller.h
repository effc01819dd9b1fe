#pragma once

#include "core/runflag.h"
#include "engine/markseentask.h"
#include "engine/pollmessages.h"
#include "engine/pollthread.h"

#include <memory>
#include <string>

#include <QObject>

namespace tw {

class CCore;
class CItemDb;
class WatchRoster;
struct AppPaths;
struct RunSettings;

// What a run and a marking use; the owner keeps it all alive longer than
// the controller. A run gets its own copy of the settings when it starts.
struct RunContext
{
    WatchRoster& roster;
    const RunSettings& settings;
    const AppPaths& paths;
    CItemDb& db;
    CCore& core;
};

// The background work in one place: the poll worker and the "mark all seen"
// task, never both, with one state that the button, the status line and the
// tray follow. Their messages arrive here as posted events and leave as
// typed signals on the window thread, each carrying the watch it is about;
// every room that needs one connects itself.
class RunController : public QObject, public PollSink
{
    Q_OBJECT

public:
    enum class State { Idle, Running, Stopping, Marking, Closing };
    Q_ENUM(State)

    explicit RunController(RunContext context, QObject* parent = nullptr);
    // Stops and awaits whatever runs.
    ~RunController() override;

    State state() const { return m_state; }
    bool isRunning() const { return m_state == State::Running || m_state == State::Stopping; }

    // How the next worker opens its session and keeps time; tests shorten
    // the time-outs or fail the session on purpose.
    void setPollOptions(SessionSettings session, SessionFactory openSession = {},
                        PollClock* clock = nullptr);
    const SessionSettings& pollOptions() const { return m_sessionSettings; }
    const SessionFactory& sessionFactory() const { return m_openSession; }
    PollClock* pollClock() const { return m_pollClock; }
    // Shared by the worker and the trial checks: together they keep to maxrate.
    RequestPacer& pacer() { return m_pacer; }

    // From Idle: starts the worker with session. False when its thread could
    // not be started (nothing changed).
    bool start(const SessionSettings& session);
    // Asks the run to end. cut: the transfer in progress is cut too, so the
    // worker ends within about a second (Stop, close); without it the check
    // under way finishes first (the end after an alert).
    void stop(bool cut = true);
    // From Idle: one "mark all seen" check of the watch in slot.
    bool markSeen(const WatchRef& watch, const std::string& sid, const SessionSettings& session);
    // Close-down: ends and awaits the worker and the marking. Final.
    void closeDown();

    const RunFlag& runFlag() const { return m_runFlag; }
    bool workerAlive() const { return m_worker != nullptr; }

    // From any thread.
    void postMessage(PollMessage message) override;

Q_SIGNALS:
    void stateChanged(tw::RunController::State state);
    void checkBegan(const tw::CheckBegan& message);
    void checkEnded(const tw::CheckEnded& message);
    // The run is over; sessionFailed when it never could begin.
    void runEnded(bool sessionFailed);
    void markingEnded(const tw::MarkingEnded& message);

protected:
    void customEvent(QEvent* e) override;

private:
    void setState(State state);
    void dispatch(const PollMessage& message);
    void endRun(const RunEnded& message);
    void endMarking(const MarkingEnded& message);

    RunContext m_context;
    State m_state = State::Idle;
    RunFlag m_runFlag;
    SessionSettings m_sessionSettings;
    SessionFactory m_openSession;
    PollClock* m_pollClock = nullptr;
    RequestPacer m_pacer;
    std::unique_ptr<CMarkSeenTask> m_markSeen;
    std::unique_ptr<CPollThread> m_worker;
};

} // namespace tw
