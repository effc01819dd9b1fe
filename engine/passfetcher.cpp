#include "engine/passfetcher.h"

#include "core/zuvira.h"
#include "engine/pageparser.h"
#include "engine/resultpages.h"
#include "engine/sessioncheck.h"

#include <algorithm>
#include <exception>

namespace tw {

namespace {

// How often a wait looks at a stop request, at the most.
constexpr std::chrono::milliseconds kStopLook{200};

} // namespace

struct PassFetcher::Check
{
    Check(Watch w, const std::string& ignoreWords)
        : watch(std::move(w)), parser(ignoreWords, watch.extraIgnoreWords, watch.mustWords)
    {
        pageUrl = watch.requestUrl + "&s=0";
    }

    enum class State {
        Waiting,  // its next page is to be asked for
        InFlight, // a page is on its way
        Deciding, // with pagestop: whether to go on waits for earlier watches
        Done,
    };

    Watch watch;
    PageParser parser;
    FetchOutcome outcome;
    int offset = 0;
    // The page being parsed holds items and is not the 8th.
    bool more = false;
    std::string pageUrl;
    State state = State::Waiting;
    int tag = -1;
    std::exception_ptr thrown;
};

PassFetcher::PassFetcher(HttpSession& session, Settings settings)
    : m_session(session), m_settings(std::move(settings))
{
    m_settings.parallel = std::max(1, m_settings.parallel);
    // Over HTTP/1.1 a few connections carry the transfers; over HTTP/2 they
    // wait for the one connection that multiplexes them.
    m_session.setMaxHostConnections(std::min(m_settings.parallel, 4));
}

PassFetcher::~PassFetcher()
{
    m_session.cancelTransfers();
    m_session.setMaxHostConnections(0);
}

FetchOutcome PassFetcher::take(Watch& watch)
{
    // Planned watches the pass went past, or one at this slot that is no
    // longer the watch there (a list imported meanwhile), are dropped.
    const auto stale = [&](const std::unique_ptr<Check>& c) {
        const Watch& w = c->watch;
        return w.slot < watch.slot ||
               (w.slot == watch.slot &&
                (w.url != watch.url || w.sid != watch.sid || w.lastIds != watch.lastIds ||
                 w.extraIgnoreWords != watch.extraIgnoreWords || w.mustWords != watch.mustWords ||
                 w.baseline != watch.baseline));
    };
    while (!m_checks.empty() && stale(m_checks.front())) {
        m_checks.erase(m_checks.begin());
    }
    if (m_checks.empty() || m_checks.front()->watch.slot != watch.slot) {
        Watch now = watch;
        if (now.requestUrl.empty() && m_settings.requestUrlFor) {
            now.requestUrl = m_settings.requestUrlFor(now.url);
        }
        m_checks.insert(m_checks.begin(),
                        std::make_unique<Check>(std::move(now), m_settings.ignoreWords));
    }
    m_planned = std::max(m_planned, watch.slot);

    Check& check = *m_checks.front();
    drive(check);
    const std::unique_ptr<Check> done = std::move(m_checks.front());
    m_checks.erase(m_checks.begin());
    if (done->thrown) {
        std::rethrow_exception(done->thrown);
    }
    watch.requestUrl = done->watch.requestUrl;
    finishOutcome(done->outcome, done->parser, m_settings.pageFile, m_settings.titlesFile);
    return std::move(done->outcome);
}

void PassFetcher::plan()
{
    // Twice as many watches as in flight: one slow watch does not hold up
    // the ones behind it, and what waits for its turn stays small.
    const std::size_t ahead = static_cast<std::size_t>(2 * m_settings.parallel);
    while (!m_listEnded && m_settings.plan && m_checks.size() < ahead) {
        Plan next = m_settings.plan(m_planned + 1);
        if (next.kind == Plan::Kind::End) {
            m_listEnded = true;
            break;
        }
        ++m_planned;
        if (next.kind == Plan::Kind::Check) {
            m_checks.push_back(
                std::make_unique<Check>(std::move(next.watch), m_settings.ignoreWords));
        }
    }
}

void PassFetcher::drive(Check& target)
{
    for (;;) {
        plan();
        for (const auto& c : m_checks) {
            if (c->state == Check::State::Deciding && mayDecide(*c)) {
                decide(*c);
            }
        }
        if (target.state == Check::State::Done) {
            return;
        }
        if (m_settings.stopRequested && m_settings.stopRequested()) {
            // Nothing fetched ahead is worth keeping past a stop.
            m_session.cancelTransfers();
            m_inFlight = 0;
            target.outcome.failed = true;
            target.outcome.error = target.pageUrl + ": download aborted";
            target.state = Check::State::Done;
            m_checks.erase(m_checks.begin() + 1, m_checks.end());
            m_listEnded = true;
            return;
        }
        const Clock::time_point due = startTransfers();
        const Clock::time_point now = Clock::now();
        const auto wait =
            std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(due - now),
                       std::chrono::milliseconds(0), kStopLook);
        m_finished.clear();
        m_session.waitAny(m_finished, wait);
        m_toParse.clear();
        for (HttpSession::Finished& finished : m_finished) {
            --m_inFlight;
            for (const auto& c : m_checks) {
                if (c->state == Check::State::InFlight && c->tag == finished.tag) {
                    if (onAnswer(*c, finished)) {
                        m_toParse.emplace_back(c.get(), &finished);
                    }
                    break;
                }
            }
        }
        // The freed places and the next pages go out before the pages are
        // parsed, so that the server is busy meanwhile.
        startTransfers();
        for (const auto& [check, finished] : m_toParse) {
            parse(*check, finished->body);
        }
    }
}

PassFetcher::Clock::time_point PassFetcher::startTransfers()
{
    const Clock::time_point now = Clock::now();
    Clock::time_point due = now + kStopLook;
    // The earliest watches first: theirs are the results needed first.
    for (const auto& c : m_checks) {
        if (m_inFlight >= m_settings.parallel) {
            break;
        }
        if (c->state != Check::State::Waiting) {
            continue;
        }
        if (m_settings.maxRate > 0) {
            if (const auto at = pacer().tryStart(urlHost(c->pageUrl), m_settings.maxRate, now)) {
                due = std::min(due, *at);
                continue;
            }
        }
        c->tag = m_nextTag++;
        c->state = Check::State::InFlight;
        ++m_inFlight;
        m_session.startTransfer(c->pageUrl, c->tag);
    }
    return due;
}

bool PassFetcher::onAnswer(Check& check, HttpSession::Finished& finished)
{
    check.state = Check::State::Done;
    FetchOutcome& outcome = check.outcome;
    if (answerFailed(outcome, check.pageUrl, finished.result, finished.answer)) {
        return false;
    }
    ++outcome.pages;
    const std::string& page = finished.body;
    check.more = check.offset + kPageSize < kOffsetLimit && PageParser::holdsItems(page);
    if (check.more && !m_settings.stopAfterPage) {
        // Only a page with items is followed by another, whatever the parse
        // below says: the same request the page loop makes.
        check.offset += kPageSize;
        askNextPage(check);
    }
    return true;
}

void PassFetcher::parse(Check& check, const std::string& page)
{
    FetchOutcome& outcome = check.outcome;
    const bool holdsItems = check.parser.addPage(page);
    if (holdsItems && check.more && !m_settings.stopAfterPage) {
        return;
    }
    // With pagestop a page with items may be the last: that waits for the
    // decision, when the page is gone.
    writeLastPage(outcome, m_settings.pageFile, check.pageUrl, page);
    if (outcome.failed) {
        check.state = Check::State::Done;
        return;
    }
    if (!holdsItems) {
        outcome.firstPageEmpty = outcome.pages == 1;
        // Its next page, if one was asked for, is dropped when it comes.
        check.state = Check::State::Done;
        return;
    }
    if (!check.more) {
        return;
    }
    check.offset += kPageSize;
    check.state = Check::State::Deciding;
    if (mayDecide(check)) {
        decide(check);
    }
}

bool PassFetcher::mayDecide(const Check& check) const
{
    // The watches before it are not taken yet: what they store may turn the
    // answer for this one.
    for (const auto& c : m_checks) {
        if (c.get() == &check) {
            return true;
        }
        if (m_settings.anyKeyCounts || c->watch.sid == check.watch.sid) {
            return false;
        }
    }
    return true;
}

void PassFetcher::decide(Check& check)
{
    check.state = Check::State::Done;
    try {
        if (m_settings.stopAfterPage(check.watch, check.parser.lastPageIds())) {
            return;
        }
    } catch (...) {
        check.thrown = std::current_exception();
        return;
    }
    askNextPage(check);
}

void PassFetcher::askNextPage(Check& check)
{
    check.pageUrl = check.watch.requestUrl + "&s=" + CCore::getStrInt(check.offset);
    check.state = Check::State::Waiting;
}

} // namespace tw
