#pragma once

#include "engine/httpsession.h"
#include "engine/pollmessages.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tw {

// Opens a task's internet session; nullptr when it cannot be set up.
using SessionFactory = std::function<std::unique_ptr<HttpSession>(const SessionSettings&)>;

// The life every background task shares: one thread started once, an abort
// flag, an internet session that the task's thread opens and closes while any
// thread may abort it, and the sink its messages are posted to.
//
// A derived class stops the thread in its own destructor (abort(), then
// join()), before its members go: run() reads them to the end.
class BackgroundTask
{
public:
    BackgroundTask(const BackgroundTask&) = delete;
    BackgroundTask& operator=(const BackgroundTask&) = delete;

    // From any thread: raises the abort flag, wakes the task (wake()) and
    // fails the transfer under way. Never waits for the task to clean up.
    void abort();
    // Waits for the thread to end; at once when it never started or was
    // joined. Not from the task's own thread (the sink).
    void join();

protected:
    explicit BackgroundTask(PollSink& sink) : m_sink(sink) {}
    // Joins as a last resort; the derived destructor should have.
    ~BackgroundTask();

    // Starts run() on a thread of its own; false when the thread could not
    // be created or was started before (a task runs once).
    bool startThread();

    // The task's work, on its own thread.
    virtual void run() = 0;
    // Ends whatever else the task may be waiting on; called by abort() from
    // any thread, so it must be thread-safe.
    virtual void wake() {}

    bool aborted() const { return m_abort.load(); }

    // Task thread only: opens the session through factory (an abort that came
    // first aborts it at once); false when it could not be opened.
    bool openSession(const SessionFactory& factory, const SessionSettings& settings);
    // Task thread only: the open session, or nullptr. Used without the lock:
    // no other thread changes it.
    HttpSession* session() const { return m_session.get(); }
    // Task thread only: closes the session, outside the lock.
    void closeSession();

    // From the task's thread: hands message to the sink, never waiting.
    void post(PollMessage message) { m_sink.postMessage(std::move(message)); }

private:
    PollSink& m_sink;
    std::atomic<bool> m_abort{false};
    // Guards m_session against abort(); only the task's thread sets it.
    std::mutex m_sessionMutex;
    std::unique_ptr<HttpSession> m_session;
    bool m_started = false; // owner's thread only
    std::thread m_thread;
};

} // namespace tw
