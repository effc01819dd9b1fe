#pragma once

#include "core/runsettings.h"
#include "core/watchoptions.h"
#include "engine/backgroundtask.h"
#include "engine/httpsession.h"
#include "engine/requestpacer.h"
#include "engine/watchhealth.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tw {

class CCore;
class CItemDb;
class PageParser;
class PollClock;

// One watch as a trial check reads it: copies of what the worker would use.
struct TrialRequest
{
    std::string url;
    std::string sid;
    // Its words and its baseline count; paused, hours and interval do not:
    // the user asked for the check now.
    WatchOptions options;
    // ignoreWords, dedupe, baseline and maxrate count.
    RunSettings settings;
    // The ids of the watch's last check, as the slot holds them.
    std::string lastIds;
    // Until when the watch rests (WatchHealth::pausedUntilWall): while it
    // does, the trial asks the marketplace nothing.
    std::optional<WallTime> restingUntil;
    SessionSettings session{};
    // Defaults to HttpSession::open.
    SessionFactory openSession{};
    // The time of day restingUntil is compared with; defaults to real time.
    const PollClock* clock = nullptr;
    // The worker's pacer (PollThreadParams::pacer), so that the two together
    // keep to settings.maxrate; nullptr: the trial paces its own pages only.
    RequestPacer* pacer = nullptr;
};

// One result page as the trial got it.
struct TrialPage
{
    int offset = 0;
    // The HTTP status; 0 when no answer came.
    long status = 0;
    // Item blocks the page listed, those dropped included.
    std::size_t items = 0;
    std::chrono::milliseconds time{0};
    // Why the page failed, as a check's failure says it; "" when it came.
    std::string error;
};

enum class TrialVerdict { New, Seen, Ignored, MissingWord, Repeated, ReportedElsewhere, Baseline };

// One item block, with why a check would or would not report it.
struct TrialItem
{
    // As a check would store them.
    std::string id;
    std::string title;
    TrialVerdict verdict = TrialVerdict::New;
    // Ignored: the ignore word it holds; MissingWord: the first must word it lacks.
    std::string word;
};

struct TrialResult
{
    // In page order, up to the one that failed or held no item block.
    std::vector<TrialPage> pages;
    // Every item block of those pages, in page order.
    std::vector<TrialItem> items;
    // Item blocks dropped for an id that is no usable text; not in items.
    std::size_t invalidIds = 0;
    // A page or the store failed, for error; what came before is kept.
    bool failed = false;
    std::string error;
    // abort() came before the end: the result may be cut short.
    bool cancelled = false;
    // Set when the watch rests: then nothing else is.
    std::optional<WallTime> restingUntil;
};

// The verdict as the user reads it, e.g. "被忽略：词 坏".
std::string verdictText(const TrialItem& item);

// "试一下": checks one watch now as the worker would, on a thread of its
// own, and tells for each item why it would or would not be reported. It
// reads every page a check may read (pagestop does not count), looks items up
// in the store, and writes nothing: no item, find or full-read mark, neither
// the worker's page nor titles file, no lastIds, no health record. It may run
// beside the worker.
//
// The result goes to `done`, called once on the task's thread, also after
// abort() (cancelled set); it must not wait for the owner's thread (post the
// result there). No message goes to any sink. From the owner's thread:
// start(), abort() at any time (ends a download or a wait for the pacer at
// once), join(); the destructor aborts and joins. The owner keeps db, core,
// the pacer and what done touches alive until join() has returned.
class TrialCheck final : public BackgroundTask
{
public:
    using Completion = std::function<void(TrialResult)>;

    TrialCheck(TrialRequest request, CItemDb& db, CCore& core, Completion done);
    ~TrialCheck();

    // False when the thread could not be started, or was started before.
    bool start() { return startThread(); }

private:
    void run() override;
    void wake() override;
    void check(HttpSession& session, TrialResult& result);
    void walkPages(HttpSession& session, PageParser& parser, TrialResult& result);
    // Waits for host's turn under settings.maxrate; false when aborted.
    bool waitTurn(const std::string& host);
    // Throws DbError.
    void judge(const PageParser& parser, TrialResult& result);
    bool isBaseline() const;
    WallTime wallNow() const;

    TrialRequest m_request;
    CItemDb& m_db;
    CCore& m_core;
    Completion m_done;
    RequestPacer m_ownPacer;
    std::mutex m_waitMutex;
    std::condition_variable m_wake;
};

} // namespace tw
