#include "engine/pollthread.h"

#include "core/apppaths.h"
#include "core/memorytrim.h"
#include "core/runflag.h"
#include "core/runsettings.h"
#include "core/text.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "engine/fetchitems.h"
#include "engine/pollmessages.h"
#include "store/itemdb.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace tw {

namespace {

constexpr std::chrono::milliseconds kTick{1000};
// More watches at once buys nothing measurable and only loads the marketplace.
constexpr int kMaxParallel = 32;

// The reported ids of fresh, each with the title its page gave: the
// position of the id in ids is that of its title in titles.
std::vector<FoundItem> withTitles(std::string_view fresh, std::string_view ids,
                                  std::string_view titles)
{
    std::vector<FoundItem> items;
    if (fresh.empty()) {
        return items;
    }
    const std::vector<ItemRow> listed = listedItems(ids, titles);
    std::unordered_map<std::string_view, std::string_view> titleOf;
    for (const ItemRow& row : listed) {
        titleOf.emplace(row.bbid, row.bbtitle);
    }
    for (const std::string_view id : text::splitFields(fresh, ',')) {
        const auto it = titleOf.find(id);
        items.push_back(
            {std::string(id), it != titleOf.end() ? std::string(it->second) : std::string()});
    }
    return items;
}

} // namespace

CPollThread::CPollThread(PollThreadParams params)
    : BackgroundTask(params.sink), m_params(std::move(params)),
      m_clock(m_params.clock ? *m_params.clock : m_steadyClock),
      m_policy(m_params.settings.jitter, m_params.random), m_tick(kTick),
      m_finder(
          m_params.roster.table(), m_params.db, m_params.runFlag, m_params.paths.titlesFile,
          [this] { return aborted(); }, &m_clock)
{
    m_finder.setDedupe(m_params.settings.dedupe != 0);
}

CPollThread::~CPollThread()
{
    abort();
    join();
}

void CPollThread::wake()
{
    m_clock.interrupt();
}

void CPollThread::run()
{
    if (!openSession(m_params.openSession, m_params.session)) {
        post(RunEnded{.sessionFailed = true});
        return;
    }

    const WatchTable& table = m_params.roster.table();
    int tick = 0;
    bool stopped = false;
    std::optional<SteadyTime> passBegan;
    while (!stopped && !stopRequested()) {
        if (tick % interval() != 0) {
            sleepTick();
            ++tick;
            continue;
        }
        if (passBegan) {
            sleepPassFloor(*passBegan);
            if (stopRequested()) {
                break;
            }
        }
        passBegan = m_clock.steadyNow();
        int checked = 0;
        int failed = 0;
        pruneHealth();
        if (!m_fullRead) {
            try {
                m_fullRead = m_params.db.fullReadUrls();
            } catch (const DbError&) {
                // Every page is read until the store answers: sound, only slower.
            }
        }
        m_passSlot = 0;
        beginPass();
        for (int slot = 0; slot < table.watchCount(); ++slot) {
            if (stopRequested()) {
                stopped = true;
                break;
            }
            m_passSlot = slot;
            const WatchRoster::Entry entry = m_params.roster.at(slot);
            if (m_health.isPaused(entry.slot.url, m_clock.steadyNow()) ||
                restsByOptions(entry.slot.url, entry.options)) {
                continue;
            }
            if (!checkWatch(slot, entry)) {
                ++failed;
            }
            ++checked;
            if (m_endsRun) {
                stopped = true;
                break;
            }
        }
        m_ahead.reset();
        tick = 1;
        if (checked > 0) {
            releasePassMemory();
        }
        // One draw per wait, so the whole wait varies, not each second.
        m_tick = m_policy.jittered(kTick);
        // With interval 1 an empty table, one whose checks all fail at once
        // (no network) or all rest, would otherwise spin without a pause.
        if (failed == checked && !stopped && tick % interval() == 0) {
            m_clock.sleepFor(kTick);
            ++tick;
        }
    }

    // The session is the worker's own: close it before telling the window we
    // are done, so that nothing is left to do after the message.
    closeSession();
    m_finder.closeStore();
    post(RunEnded{});
}

bool CPollThread::checkWatch(int slot, const WatchRoster::Entry& entry)
{
    // The id, the slot and the options in one step: the messages name the
    // watch checked, and the check follows the options it had then.
    const SlotCopy& copy = entry.slot;
    const bool muted = entry.options.muted.value_or(false);
    post(CheckBegan{{entry.id, slot, copy.url}});
    m_finder.setCurSlot(slot);
    m_finder.setCheckSid(copy.sid);
    m_finder.setCheckUrl(copy.url);
    m_finder.setMuted(muted);

    const WallTime began = m_clock.wallNow();
    const SteadyTime steadyBegan = m_clock.steadyNow();
    m_lastStart[copy.url] = steadyBegan;
    const CheckResult result =
        runCheck(slot, copy, entry.options, m_health.get(copy.url).everListed);

    // A list replaced during the check may have moved the watch: its record
    // and lastIds go to where it is now. A watch that left the list keeps
    // neither; its message still tells what was stored for it.
    const int filed = m_params.roster.table().slotOf(slot, copy.url);
    const int row = filed >= 0 ? filed : slot;
    CheckEnded message;
    message.watch = {entry.id, row, copy.url};
    message.items = result.fresh;
    message.stored = result.stored;
    // A muted watch's finds sound nothing, so nothing waits to be shown.
    m_endsRun = !result.fresh.empty() && !m_params.settings.keepWatching && !muted;
    message.endsRun = m_endsRun;
    message.muted = muted;
    message.openLimit = entry.options.openLimit.value_or(-1);
    message.at = m_clock.wallNow();
    // The items a check stored of pages it did not finish would end a page
    // stop of the next one above the items it never got to.
    if (!result.failed && !result.cut) {
        setFullRead(copy.url, false);
    } else if (!result.ids.empty()) {
        setFullRead(copy.url, true);
    }
    if (result.cut) {
        // A stop cut the check short: it tells nothing about the watch.
        message.outcome = CheckOutcome::Stopped;
        post(std::move(message));
        return true;
    }
    if (filed >= 0) {
        recordHealth(copy.url, result, began, steadyBegan);
        message.health = m_health.get(copy.url);
        message.blockedNotice = result.failed && m_health.takeBlockedNotice(copy.url);
    }
    if (result.failed) {
        message.outcome = CheckOutcome::Failed;
        message.reason = result.error;
    } else if (result.baseline) {
        message.outcome = CheckOutcome::Baseline;
    }
    post(std::move(message));
    // A walk cut short by a store failure leaves lastIds alone: the ids it
    // did not get to must be looked at next time, not taken as seen. After a
    // failed download the walk covered the pages that came whole, so those
    // ids are seen; a page failing every time would otherwise cost a store
    // look-up for every id at every check.
    if (result.complete && !(result.failed && result.ids.empty())) {
        setLastIds(row, copy.url, result.ids);
    }
    return !result.failed;
}

bool CPollThread::owesFullRead(const std::string& url) const
{
    return !m_fullRead || m_fullRead->contains(url);
}

void CPollThread::setFullRead(const std::string& url, bool owed)
{
    if (m_fullRead && m_fullRead->contains(url) == owed) {
        return;
    }
    if (m_fullRead) {
        if (owed) {
            m_fullRead->insert(url);
        } else {
            m_fullRead->erase(url);
        }
    }
    try {
        m_params.db.setFullReadOwed(url, owed);
    } catch (const DbError&) {
        // This run still goes by its own copy; a restart before the watch's
        // next complete check may page-stop it.
    }
}

void CPollThread::sleepPassFloor(SteadyTime began)
{
    // With interval 1 a quick pass would follow the last at once, hundreds of
    // requests a second against a fast server.
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(began + kTick - m_clock.steadyNow());
    if (left > std::chrono::milliseconds(0)) {
        m_clock.sleepFor(std::min(left, kTick));
    }
}

void CPollThread::releasePassMemory()
{
    // Idle between passes the worker should hold no more than it must: the
    // page buffer and what the checks freed go back to the system.
    std::string().swap(m_pageBuffer);
    m_finder.closeStore();
    if (HttpSession* open = session()) {
        open->releaseBuffers();
    }
    returnFreeMemory();
}

std::string CPollThread::fullLastIds(int slot, const SlotCopy& copy) const
{
    const auto it = m_fullLastIds.find(slot);
    if (it != m_fullLastIds.end() && it->second.url == copy.url &&
        it->second.field == copy.lastIds) {
        return it->second.ids;
    }
    return copy.lastIds;
}

void CPollThread::setLastIds(int slot, const std::string& url, const std::string& ids)
{
    m_fullLastIds.erase(slot);
    slot = m_params.roster.table().setLastIdsFor(slot, url, ids);
    if (slot < 0) {
        return;
    }
    std::string field = fitIdList(ids, WatchTable::kLastIdsMax);
    if (field.size() == ids.size() || field.empty()) {
        m_fullLastIds.erase(slot);
        return;
    }
    m_fullLastIds[slot] = {url, std::move(field), ids};
}

bool CPollThread::allKnown(const std::vector<std::string>& pageIds, const std::string& lastIds,
                           const std::string& sid)
{
    return m_finder.allKnown(pageIds, lastIds, sid);
}

void CPollThread::pruneHealth()
{
    const WatchTable& table = m_params.roster.table();
    std::vector<std::string> urls;
    for (int slot = 0; slot < table.watchCount(); ++slot) {
        urls.push_back(table.url(slot));
    }
    std::erase_if(m_lastStart, [&](const auto& started) {
        return std::find(urls.begin(), urls.end(), started.first) == urls.end();
    });
    m_health.keepOnly(std::move(urls));
}

bool CPollThread::restsByOptions(const std::string& url, const WatchOptions& options) const
{
    if (options.paused.value_or(false)) {
        return true;
    }
    if (options.hours &&
        !options.hours->contains(watchoptions::localMinuteOfDay(m_clock.wallNow()))) {
        return true;
    }
    if (options.interval) {
        // Less a second: passes start a little over the global interval
        // apart, and a watch given the global value must not miss every other.
        const auto last = m_lastStart.find(url);
        return last != m_lastStart.end() &&
               m_clock.steadyNow() - last->second < std::chrono::seconds(*options.interval) - kTick;
    }
    return false;
}

bool CPollThread::baselineSetting(const WatchOptions& options) const
{
    return options.baseline.value_or(m_params.settings.baseline != 0);
}

PassFetcher::Watch CPollThread::fetchWatch(int slot, const SlotCopy& copy,
                                           const WatchOptions& options) const
{
    PassFetcher::Watch watch{slot, copy.url, copy.sid, fullLastIds(slot, copy), {}};
    watch.extraIgnoreWords = watchoptions::words(options.ignore.value_or(std::string()));
    watch.mustWords = watchoptions::words(options.must.value_or(std::string()));
    watch.baseline = baselineSetting(options);
    return watch;
}

void CPollThread::recordHealth(const std::string& url, const CheckResult& result, WallTime began,
                               SteadyTime steadyBegan)
{
    const WallTime ended = m_clock.wallNow();
    const SteadyTime steadyEnded = m_clock.steadyNow();
    m_health.update(url, [&](WatchHealth& h) {
        ++h.checks;
        h.lastCheck = began;
        h.lastDuration = std::max(
            std::chrono::milliseconds(0),
            std::chrono::duration_cast<std::chrono::milliseconds>(steadyEnded - steadyBegan));
        h.pages = result.pages;
        h.items = result.items;
        h.invalidIds = result.invalidIds;
        if (!result.fresh.empty()) {
            h.lastNewItem = ended;
        }
        if (result.failed) {
            ++h.consecutiveFailures;
            h.lastFailure = result.error;
            h.lastFailureStatus = result.httpStatus;
            h.blockedStreak = result.blocked ? h.blockedStreak + 1 : 0;
            if (h.looksBlocked() && !h.blockedNoticeGiven) {
                h.blockedNoticeDue = true;
                h.blockedNoticeGiven = true;
            }
        } else {
            h.everListed = h.everListed || result.items > 0;
            h.consecutiveFailures = 0;
            h.blockedStreak = 0;
            // The watch worked again: a new episode may be told again.
            h.blockedNoticeDue = false;
            h.blockedNoticeGiven = false;
        }
        RequestPolicy::afterCheck(h, !result.failed, result.httpStatus, result.retryAfter, ended,
                                  steadyEnded);
    });
}

void CPollThread::sleepTick()
{
    // Never more than a second at a time, so that a stop is seen as soon.
    std::chrono::milliseconds left = m_tick;
    while (left > kTick && !stopRequested()) {
        m_clock.sleepFor(kTick);
        left -= kTick;
    }
    if (!stopRequested()) {
        m_clock.sleepFor(std::min(left, kTick));
    }
}

void CPollThread::beginPass()
{
    const RunSettings& s = m_params.settings;
    const int parallel = std::clamp(s.parallel, 1, kMaxParallel);
    if (!session() || (parallel == 1 && s.maxrate <= 0)) {
        return;
    }
    PassFetcher::Settings ahead;
    ahead.parallel = parallel;
    ahead.maxRate = std::max(0, s.maxrate);
    ahead.pacer = m_params.pacer;
    ahead.pageFile = m_params.paths.pageFile;
    ahead.titlesFile = m_params.paths.titlesFile;
    ahead.ignoreWords = s.ignoreWords;
    ahead.plan = [this](int slot) { return planCheck(slot); };
    ahead.requestUrlFor = [this](const std::string& url) {
        return prepareRequestUrl(m_params.core, url);
    };
    if (s.pagestop) {
        ahead.stopAfterPage = [this](const PassFetcher::Watch& w,
                                     const std::vector<std::string>& ids) {
            return !owesFullRead(w.url) && !isBaseline(w.sid, w.baseline) &&
                   allKnown(ids, w.lastIds, w.sid);
        };
    }
    ahead.anyKeyCounts = s.dedupe != 0;
    ahead.stopRequested = [this] { return stopRequested(); };
    m_ahead = std::make_unique<PassFetcher>(*session(), std::move(ahead));
}

PassFetcher::Plan CPollThread::planCheck(int slot)
{
    // What the pass loop will find at slot, as far as can be told now.
    PassFetcher::Plan plan;
    if (slot >= m_params.roster.table().watchCount()) {
        return plan;
    }
    const WatchRoster::Entry entry = m_params.roster.at(slot);
    const SlotCopy& copy = entry.slot;
    if (m_health.isPaused(copy.url, m_clock.steadyNow()) ||
        restsByOptions(copy.url, entry.options)) {
        plan.kind = PassFetcher::Plan::Kind::Skip;
        return plan;
    }
    // The same watch in an earlier row still to be checked may be told to
    // rest (429, 503): this row is fetched at its turn, if it is not resting
    // by then.
    const WatchTable& table = m_params.roster.table();
    for (int earlier = m_passSlot; earlier < slot; ++earlier) {
        if (table.url(earlier) == copy.url) {
            plan.kind = PassFetcher::Plan::Kind::Skip;
            return plan;
        }
    }
    plan.kind = PassFetcher::Plan::Kind::Check;
    plan.watch = fetchWatch(slot, copy, entry.options);
    plan.watch.requestUrl = prepareRequestUrl(m_params.core, copy.url);
    return plan;
}

bool CPollThread::isBaseline(const std::string& sid, bool baselineOn)
{
    // Only the first completed check of a key is one, also when it found
    // nothing; a key stored before its first check was recorded had it.
    return baselineOn && !m_params.db.hadFirstCheck(sid) && !m_params.db.hasItems(sid);
}

CPollThread::CheckResult CPollThread::runCheck(int slot, const SlotCopy& copy,
                                               const WatchOptions& options, bool everListed)
{
    PassFetcher::Watch watch = fetchWatch(slot, copy, options);
    const std::string& url = watch.url;
    const std::string& sid = watch.sid;
    const std::string& lastIds = watch.lastIds;
    CheckResult result;
    if (!session()) {
        result.failed = true;
        result.error = "no internet session";
        return result;
    }
    try {
        // Asked before the fetch: the quiet first check lists every page.
        const bool baseline = isBaseline(sid, watch.baseline);
        std::string requestUrl;
        FetchOutcome fetched;
        if (m_ahead) {
            fetched = m_ahead->take(watch);
            requestUrl = watch.requestUrl;
        } else {
            requestUrl = prepareRequestUrl(m_params.core, url);
            FetchContext ctx{m_params.core, *session(), m_params.paths.pageFile,
                             m_params.paths.titlesFile, m_params.settings.ignoreWords};
            ctx.pageBuffer = &m_pageBuffer;
            ctx.extraIgnoreWords = watch.extraIgnoreWords;
            ctx.mustWords = watch.mustWords;
            if (m_params.settings.pagestop && !baseline && !owesFullRead(url)) {
                ctx.stopAfterPage = [this, &lastIds, &sid](const std::vector<std::string>& ids) {
                    return allKnown(ids, lastIds, sid);
                };
            }
            fetched = fetchItems(ctx, requestUrl);
        }
        if (stopRequested()) {
            // The pages may be cut off: nothing is stored or claimed now, and
            // the next run looks at them again.
            result.cut = true;
            return result;
        }
        result.ids = std::move(fetched.ids);
        result.pages = fetched.pages;
        result.items = fetched.items;
        result.invalidIds = fetched.invalidIds;
        result.httpStatus = fetched.httpStatus;
        result.retryAfter = std::move(fetched.retryAfter);
        result.blocked = fetched.blocked != BlockCause::None;
        if (!fetched.failed && fetched.firstPageEmpty && everListed) {
            // An empty first page where there were items is far more often a
            // login or verification page than a search that emptied at once.
            fetched.failed = true;
            fetched.blocked = BlockCause::NoResults;
            fetched.error = requestUrl + ": 第一页没有搜索结果（此前有过宝贝），疑似登录或验证页";
            result.blocked = true;
        }

        if (baseline) {
            if (fetched.failed) {
                // A part stored would make the next check report the rest
                // as new: store nothing and try the baseline again.
                result.failed = true;
                result.error = fetched.error;
                return result;
            }
            m_params.db.storeSeenItems(
                sid, listedItems(result.ids, fetched.titles),
                {url, std::chrono::floor<std::chrono::seconds>(m_clock.wallNow())},
                FindKind::Baseline);
            result.baseline = !result.ids.empty();
            result.complete = true;
            return result;
        }

        if (fetched.failed && !result.ids.empty()) {
            // Before the walk stores their items: a crash after it must not
            // leave them to end the next check's page stop.
            setFullRead(url, true);
        }
        // Also after a failed download: the pages before it are whole, and
        // their new items are worth reporting now.
        result.fresh =
            withTitles(m_finder.findNewItems(lastIds, result.ids), result.ids, fetched.titles);
        result.stored = m_finder.lastStored();
        switch (m_finder.lastWalkEnd()) {
        case NewItemFinder::WalkEnd::Finished:
            result.complete = true;
            break;
        case NewItemFinder::WalkEnd::Stopped:
            result.cut = true;
            break;
        case NewItemFinder::WalkEnd::Failed:
            result.failed = true;
            result.error = m_finder.lastError();
            break;
        }
        if (fetched.failed) {
            result.failed = true;
            result.error = fetched.error;
        }
    } catch (const std::exception& e) {
        // Nothing may end the worker but a stop: the check fails instead.
        result.failed = true;
        result.error = e.what();
    }
    return result;
}

bool CPollThread::stopRequested() const
{
    return aborted() || m_params.runFlag.isStop();
}

int CPollThread::interval() const
{
    // A value below 1 comes from the edit box unchecked; poll every second.
    const int value = m_params.settings.interval;
    return value < 1 ? 1 : value;
}

} // namespace tw
