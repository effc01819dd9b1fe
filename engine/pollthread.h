#pragma once

#include "core/runsettings.h"
#include "core/watchroster.h"
#include "engine/backgroundtask.h"
#include "engine/httpsession.h"
#include "engine/newitemfinder.h"
#include "engine/passfetcher.h"
#include "engine/pollclock.h"
#include "engine/pollmessages.h"
#include "engine/requestpolicy.h"
#include "engine/watchhealthbook.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tw {

class CCore;
class CItemDb;
class RunFlag;
struct AppPaths;
struct SlotCopy;

// Everything the worker uses. The settings are the worker's own copy, taken
// when the run starts; the rest is handed over by reference: the window owns
// it and must keep it alive until CPollThread::join() has returned (the
// CPollThread destructor joins).
struct PollThreadParams
{
    // Receives every message, posted from the worker thread; never waited on.
    PollSink& sink;
    // Read: each slot with its watch's id, and the watch count; written: the
    // slot's lastIds.
    WatchRoster& roster;
    // Read only: the window writes "STOP" to end the run.
    const RunFlag& runFlag;
    // Copied in: a change the window makes reaches the next run only.
    RunSettings settings;
    // pageFile and titlesFile; the worker alone writes them while it runs.
    const AppPaths& paths;
    CItemDb& db;
    CCore& core;
    // Time-outs of the session; tests shorten them.
    SessionSettings session{};
    // Defaults to HttpSession::open.
    SessionFactory openSession{};
    // Defaults to real time; tests pass a clock that never really waits.
    PollClock* clock = nullptr;
    // The random source of the jitter (settings.jitter); tests fix it.
    RequestPolicy::Uniform random{};
    // Where the starts under settings.maxrate are taken; the window hands the
    // same one to its trial checks, so that together they keep to the rate.
    // It must outlive the worker. nullptr: each pass paces itself alone.
    RequestPacer* pacer = nullptr;
};

// The poll worker: one background thread that checks every watch every
// `interval` seconds and posts its messages to the sink
// (engine/pollmessages.h).
//
// Life cycle, all on the window thread:
//   auto worker = std::make_unique<CPollThread>(params);  // runFlag cleared before
//   if (!worker->CreateThread()) { "Cannot Start New Thread"; worker.reset(); }
//   ... runFlag.requestStop() to end the run; the worker posts RunEnded
//   ... on RunEnded: worker->join() (returns at once) and worker.reset()
//   ... at close-down: worker.reset() alone: the destructor calls abort() and
//       join(), which returns within about a second even during a stalled
//       download, because abort() wakes the sleep and aborts the transfer.
//
// Messages, each naming its watch by the id the roster gave with the slot at
// the check's start, the slot where the watch is when it is posted, and its
// url: CheckBegan when a check begins; CheckEnded at its end, with outcome
// Done, Baseline when it stored the watch's first items without reporting
// them (settings.baseline), Failed with the reason when a download or the
// store failed, or Stopped when a stop cut it short. CheckEnded carries the
// items the check stored and reports, each with the title its page gave, in
// page order (also after a failure: what the pages before it gave), the
// watch's health record and whether the blocked notice is due. When the
// check reported items and settings.keepWatching is off, the run ends after
// it, and its CheckEnded says so (endsRun): no later check may run before
// the window has shown the alert. lastIds is written after the message; it
// is left as it was after a store failure or a stop, and after a failed
// download becomes the ids of the pages that came whole (when there were
// any). A pass whose checks all failed is followed by at least one second's
// sleep, and no pass begins less than a second after the one before began.
// RunEnded ends every run that opened its session, also one ended by
// abort(); with sessionFailed the session could not be opened and no slot
// was touched. After RunEnded the worker touches nothing the window owns.
//
// Health: a watch's record, pause, blocked streak and notice are kept by its
// url, so they move with the watch when an import moves it, and go at the
// next pass when it leaves the list. A check fails as blocked when it was
// redirected to another host, answered 401/403/429, or its first page had no
// result list though earlier checks listed items. A 429 or 503 pauses the
// watch (Retry-After, else a growing back-off), and so does every blocked
// answer from the one that makes the watch look blocked on; a paused watch
// is skipped in passes, without any message, until its pause ends on the
// steady clock.
//
// Options of single watches (WatchOptions), read from the roster with the
// slot at each check: a watch paused, outside its hours (local time of
// wallNow()) or whose own interval has not passed since its last check
// began (less a second, so that the global value checks it every pass) is
// skipped like a resting watch. Its must and ignore words filter its titles
// as the global ignore words do; its baseline replaces settings.baseline;
// a muted watch's new items are stored as Muted, and its CheckEnded says so
// and never ends the run; its openlimit rides on CheckEnded.
//
// With settings.parallel above 1 (or a maxrate) the pages of the watches
// after the one under check are fetched meanwhile (PassFetcher); the checks
// still take their results, and post their messages, in slot order. A row
// whose url an earlier row of the pass is still to check is not fetched
// ahead: that check may make the watch rest.
//
// Full reads: a check that failed or was cut after pages of it came, whose
// items it may have stored, leaves its url owing a full read
// (CItemDb::fullReadUrls, kept across runs): its checks read every page,
// whatever settings.pagestop says, until one completes.
class CPollThread final : public BackgroundTask
{
public:
    explicit CPollThread(PollThreadParams params);
    // Aborts and joins; never leaves the thread running.
    ~CPollThread();

    // Starts the thread; false when it could not be created or was started
    // before (an object runs once). abort() ends the run as soon as possible,
    // from any thread: it wakes the sleep, fails the running download and
    // stops the detection walk; join() waits for the thread.
    bool CreateThread() { return startThread(); }

private:
    // The worker's own steps, run on the worker thread only.
    void run() override;
    void wake() override;
    // False when the check failed. entry is the roster's at the check's start.
    bool checkWatch(int slot, const WatchRoster::Entry& entry);
    // The watch's options keep it from a request now.
    bool restsByOptions(const std::string& url, const WatchOptions& options) const;
    bool baselineSetting(const WatchOptions& options) const;
    // The watch as the pass fetcher and the check both describe it.
    PassFetcher::Watch fetchWatch(int slot, const SlotCopy& copy,
                                  const WatchOptions& options) const;

    struct CheckResult
    {
        std::string ids;
        // The reported items, in page order.
        std::vector<FoundItem> fresh;
        // Items stored as found, reported or (dedupe) not.
        std::size_t stored = 0;
        bool failed = false;
        // The walk looked at every id, so ids may become lastIds.
        bool complete = false;
        // The items were stored as the watch's baseline, none reported.
        bool baseline = false;
        // A stop came before the check could finish; what it stored (a walk
        // stopped part-way) is still in fresh.
        bool cut = false;
        std::string error;
        int pages = 0;
        std::size_t items = 0;
        std::size_t invalidIds = 0;
        long httpStatus = 0;
        std::string retryAfter;
        bool blocked = false;
    };

    // The id list a slot's field stands for; see m_fullLastIds.
    std::string fullLastIds(int slot, const SlotCopy& copy) const;
    void setLastIds(int slot, const std::string& url, const std::string& ids);
    CheckResult runCheck(int slot, const SlotCopy& copy, const WatchOptions& options,
                         bool everListed);
    // With settings.parallel above 1 (or a maxrate) a pass fetches its
    // watches' pages ahead, several at once; see PassFetcher.
    void beginPass();
    PassFetcher::Plan planCheck(int slot);
    bool isBaseline(const std::string& sid, bool baselineOn);
    // True while url owes a full read, and while that is not known.
    bool owesFullRead(const std::string& url) const;
    void setFullRead(const std::string& url, bool owed);
    // Sleeps what is left of the second since the pass that began at began.
    void sleepPassFloor(SteadyTime began);
    // For settings.pagestop: true when pageIds holds ids and each of them is
    // in lastIds or stored (under sid, or with dedupe reported anywhere).
    bool allKnown(const std::vector<std::string>& pageIds, const std::string& lastIds,
                  const std::string& sid);
    void releasePassMemory();
    void recordHealth(const std::string& url, const CheckResult& result, WallTime began,
                      SteadyTime steadyBegan);
    // Forgets the records of watches that left the list.
    void pruneHealth();
    // One tick of the wait between passes, stretched or shortened by the jitter.
    void sleepTick();
    bool stopRequested() const;
    int interval() const;

    PollThreadParams m_params;
    SteadyPollClock m_steadyClock;
    PollClock& m_clock;
    bool m_endsRun = false; // worker thread only: the last check ends the run
    RequestPolicy m_policy;
    std::chrono::milliseconds m_tick; // worker thread only
    WatchHealthBook m_health;
    // When each url's last check began, for the watches' own intervals.
    std::map<std::string, SteadyTime> m_lastStart; // worker thread only

    NewItemFinder m_finder;
    std::unique_ptr<PassFetcher> m_ahead; // worker thread only
    // The slot the pass is at: rows from it on are still to be checked.
    int m_passSlot = 0; // worker thread only
    // The urls owing a full read; nullopt until read from the store.
    std::optional<std::set<std::string>> m_fullRead; // worker thread only
    // The page under parse, reused from check to check (worker thread only).
    std::string m_pageBuffer;

    // Eight full result pages give an id list longer than the slot's lastIds
    // field holds, and every id cut off would cost a store look-up at every
    // check. So the worker remembers the whole list it wrote, and uses it
    // while the field still holds what was written (same url, same text).
    struct FullLastIds
    {
        std::string url;
        std::string field;
        std::string ids;
    };
    std::map<int, FullLastIds> m_fullLastIds; // worker thread only
};

} // namespace tw
