#pragma once

#include "engine/httpsession.h"
#include "engine/pollthread.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tw {

class CCore;
class CItemDb;
class PollSink;

struct MarkSeenParams
{
    // Receives WM_MARK_SEEN_DONE (pollmessages.h) with the slot, the url and
    // the reason of a failure, posted from the task's thread.
    PollSink& sink;
    CItemDb& db;
    CCore& core;
    int slot = 0;
    std::string url;
    std::string sid;
    // The worker's scratch files: no run may be active while the task runs.
    std::string pageFile;
    std::string titlesFile;
    std::string ignoreWords;
    SessionSettings session{};
    // Defaults to HttpSession::open.
    SessionFactory openSession{};
};

// "Mark all as seen" for one watch, outside a run: one check of its pages on
// a thread of its own, storing under its key every item listed there without
// reporting any, so that the next check reports only what comes after. It
// stores all of the listing or, when a page fails, nothing. The owner keeps
// what the params name alive until join() has returned (the destructor
// aborts and joins).
class CMarkSeenTask
{
public:
    explicit CMarkSeenTask(MarkSeenParams params);
    ~CMarkSeenTask();
    CMarkSeenTask(const CMarkSeenTask&) = delete;
    CMarkSeenTask& operator=(const CMarkSeenTask&) = delete;

    // False when the thread could not be started.
    bool start();
    // Ends a download under way at once; then nothing is stored.
    void abort();
    void join();

    int slot() const { return m_params.slot; }
    // Valid after join(): rows added, or why the task failed.
    bool succeeded() const { return m_succeeded; }
    int stored() const { return m_stored; }
    const std::string& error() const { return m_error; }

private:
    void run();
    void markSeen(HttpSession& session);

    MarkSeenParams m_params;
    std::atomic<bool> m_abort{false};
    std::mutex m_sessionMutex;
    HttpSession* m_session = nullptr; // the task's own, while it is open
    bool m_succeeded = false;
    int m_stored = 0;
    std::string m_error;
    std::thread m_thread;
};

} // namespace tw
