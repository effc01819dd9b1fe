#pragma once

#include "engine/fetchitems.h"
#include "engine/httpsession.h"
#include "engine/requestpacer.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tw {

// The result pages of one pass's watches, fetched ahead of their checks with
// up to `parallel` watches in flight together on the session's connections.
// Each watch's pages still come in order: page k+1 is asked for only after
// page k held items and, with pagestop, after its ids were looked at. The
// worker takes the outcomes in slot order (take()), so everything after the
// fetch (detection, the store, the health records, the messages) happens as
// with one watch at a time. Worker thread only.
class PassFetcher
{
public:
    // One watch as its check would fetch it.
    struct Watch
    {
        int slot = -1;
        std::string url;
        std::string sid;
        std::string lastIds;
        // The url with "&vk1=" and its random number.
        std::string requestUrl;
        // The watch's own words, as FetchContext takes them.
        std::string extraIgnoreWords;
        std::string mustWords;
        // Its first check is quiet (the global baseline or its own).
        bool baseline = false;
    };
    // What the pass does with a slot: check it, fetch nothing ahead for it
    // (Skip: resting, or waiting for an earlier check; take() still fetches
    // it), or the list ends before it.
    struct Plan
    {
        enum class Kind { Check, Skip, End } kind = Kind::End;
        Watch watch;
    };

    struct Settings
    {
        int parallel = 1;
        // Requests per second to one host; 0: no limit.
        int maxRate = 0;
        // Where the starts under maxRate are taken, shared with whatever else
        // asks the same hosts; nullptr: the fetcher's own.
        RequestPacer* pacer = nullptr;
        // The scratch files and the ignore words, as fetchItems uses them.
        std::string pageFile;
        std::string titlesFile;
        std::string ignoreWords;
        // What the pass will check at a slot after the one being taken.
        std::function<Plan(int slot)> plan;
        // The request url for a watch's url, for one that was not planned.
        std::function<std::string(const std::string& url)> requestUrlFor;
        // With pagestop: asked after each page with the ids it added, once
        // every earlier watch whose results could change the answer has been
        // taken; true ends the watch's pages there.
        std::function<bool(const Watch&, const std::vector<std::string>& pageIds)> stopAfterPage;
        // With dedupe, any earlier watch's results may change that answer,
        // not only those of watches under the same key.
        bool anyKeyCounts = false;
        // True when the pass is to end: every transfer is cut.
        std::function<bool()> stopRequested;
    };

    PassFetcher(HttpSession& session, Settings settings);
    // Cuts what is still in flight.
    ~PassFetcher();
    PassFetcher(const PassFetcher&) = delete;
    PassFetcher& operator=(const PassFetcher&) = delete;

    // The outcome of watch's pages as fetchItems gives it (titlesFile
    // written), fetched ahead when it was planned so, else now; then
    // watch.requestUrl is the one its pages were asked under. Watches planned
    // before it that were not taken are dropped. Rethrows what the pagestop
    // question threw for it.
    FetchOutcome take(Watch& watch);

private:
    struct Check;
    using Clock = std::chrono::steady_clock;

    void plan();
    // Starts what may start; the time the next start is due, if any waits.
    Clock::time_point startTransfers();
    // Takes an answer in; true when its page is to be parsed. Asks for the
    // next page at once where the ids do not decide.
    bool onAnswer(Check& check, HttpSession::Finished& finished);
    void parse(Check& check, const std::string& page);
    void decide(Check& check);
    void askNextPage(Check& check);
    bool mayDecide(const Check& check) const;
    void drive(Check& check);
    RequestPacer& pacer() { return m_settings.pacer ? *m_settings.pacer : m_ownPacer; }

    HttpSession& m_session;
    Settings m_settings;
    // The watches fetched ahead, in slot order, the one being taken first.
    std::vector<std::unique_ptr<Check>> m_checks;
    int m_planned = -1;
    bool m_listEnded = false;
    int m_inFlight = 0;
    int m_nextTag = 0;
    RequestPacer m_ownPacer;
    std::vector<HttpSession::Finished> m_finished;
    // Of m_finished, the pages to parse once the next transfers are out.
    std::vector<std::pair<Check*, HttpSession::Finished*>> m_toParse;
};

} // namespace tw
