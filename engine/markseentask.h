#pragma once

#include "core/watchroster.h"
#include "engine/backgroundtask.h"
#include "engine/httpsession.h"

#include <string>

namespace tw {

class CCore;
class CItemDb;
class PollClock;

struct MarkSeenParams
{
    // Receives MarkingEnded (pollmessages.h), naming the watch by id, slot
    // and url, posted from the task's thread.
    PollSink& sink;
    CItemDb& db;
    CCore& core;
    WatchId id = 0;
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
    // Dates the finds; defaults to real time.
    const PollClock* clock = nullptr;
};

// "Mark all as seen" for one watch, outside a run: one check of its pages on
// a thread of its own, storing under its key every item listed there without
// reporting any (finds of kind Marked), so that the next check reports only
// what comes after. It stores all of the listing or, when a page fails,
// nothing; abort() ends a download under way at once, and then nothing is
// stored. The owner keeps what the params name alive until join() has
// returned (the destructor aborts and joins).
class CMarkSeenTask final : public BackgroundTask
{
public:
    explicit CMarkSeenTask(MarkSeenParams params);
    ~CMarkSeenTask();

    // False when the thread could not be started, or was started before.
    bool start() { return startThread(); }

    int slot() const { return m_params.slot; }
    // Valid after join(): rows added, or why the task failed.
    bool succeeded() const { return m_succeeded; }
    int stored() const { return m_stored; }
    const std::string& error() const { return m_error; }

private:
    void run() override;
    void markSeen(HttpSession& session);

    MarkSeenParams m_params;
    bool m_succeeded = false;
    int m_stored = 0;
    std::string m_error;
};

} // namespace tw
