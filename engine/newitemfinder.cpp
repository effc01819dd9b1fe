#include "engine/newitemfinder.h"

#include "core/runflag.h"
#include "core/text.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "engine/pollclock.h"
#include "store/itemdb.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tw {

NewItemFinder::NewItemFinder(const WatchTable& table, CItemDb& db, const RunFlag& runFlag,
                             std::string titlesFile, std::function<bool()> abortRequested,
                             const PollClock* clock)
    : m_table(table), m_store(db), m_runFlag(runFlag), m_titlesFile(std::move(titlesFile)),
      m_abortRequested(std::move(abortRequested)), m_clock(clock)
{}

bool NewItemFinder::stopRequested() const
{
    return m_runFlag.isStop() || (m_abortRequested && m_abortRequested());
}

NewItemFinder::Stored NewItemFinder::lookUp(const std::string& sid,
                                            const std::vector<std::string_view>& ids)
{
    Stored stored;
    stored.underSid = m_store.storedUnder(sid, ids);
    if (m_dedupe && stored.underSid.size() < ids.size()) {
        std::vector<std::string_view> rest;
        for (const std::string_view id : ids) {
            if (!stored.underSid.contains(std::string(id))) {
                rest.push_back(id);
            }
        }
        stored.elsewhere = m_store.reportedAnywhere(rest);
    }
    return stored;
}

std::string NewItemFinder::findNewItems(const std::string& lastIds, const std::string& currentIds)
{
    m_walkEnd = WalkEnd::Finished;
    m_error.clear();
    m_lastStored = 0;

    // Nothing to look at costs neither a file read nor the store.
    if (currentIds.empty()) {
        return {};
    }
    if (lastIds == currentIds) {
        return {};
    }

    // The lists are split once; field n of each is what getFg(n) gives.
    const std::string sid = m_checkSid ? *m_checkSid : m_table.sid(m_curSlot);
    const std::string titles = CCore::readTxtFile(m_titlesFile);
    const std::vector<std::string_view> ids = text::splitFields(currentIds, ',');
    const std::vector<std::string_view> titleFields = text::splitFields(titles, '^');
    std::unordered_set<std::string_view> seen;
    if (!lastIds.empty()) {
        const std::vector<std::string_view> last = text::splitFields(lastIds, ',');
        seen.insert(last.begin(), last.end());
    }

    // Walk the ids in page order: each one neither in the previous check nor
    // in the store is new, until a stop or an empty field. The store is asked
    // once, when the first id needs it, about every id the walk may reach.
    std::string result;
    std::vector<FoundRow> fresh;
    std::optional<Stored> stored;
    try {
        for (std::size_t n = 0; n < ids.size(); ++n) {
            if (stopRequested()) {
                m_walkEnd = WalkEnd::Stopped;
                break;
            }
            const std::string_view id = ids[n];
            if (id.empty()) {
                break;
            }
            // Also an id listed twice: its first place decides.
            if (!seen.insert(id).second) {
                continue;
            }
            if (!stored) {
                std::vector<std::string_view> ask;
                for (std::size_t k = n; k < ids.size() && !ids[k].empty(); ++k) {
                    if (k == n || !seen.contains(ids[k])) {
                        ask.push_back(ids[k]);
                    }
                }
                stored = lookUp(sid, ask);
            }
            if (stored->underSid.contains(std::string(id))) {
                continue;
            }
            // With dedupe an item stored under another key is stored under
            // this one as well, so that this watch's item list shows it and
            // turning dedupe off later does not report it here.
            FoundRow& row = fresh.emplace_back();
            row.item = {std::string(id),
                        std::string(n < titleFields.size() ? titleFields[n] : std::string_view())};
            if (stored->elsewhere.contains(row.item.bbid)) {
                row.kind = FindKind::Dedupe;
            } else {
                if (m_muted) {
                    row.kind = FindKind::Muted;
                }
                result += id;
                result += ',';
            }
        }
        // Oldest first: the top of the first page gets the largest row id, so
        // the item list, newest first, shows the items in the pages' order.
        std::reverse(fresh.begin(), fresh.end());
        const auto now = m_clock ? m_clock->wallNow() : std::chrono::system_clock::now();
        m_store.insertItems(sid, fresh,
                            {m_checkUrl ? *m_checkUrl : m_table.url(m_curSlot),
                             std::chrono::floor<std::chrono::seconds>(now)});
        m_lastStored = fresh.size();
    } catch (const DbError& e) {
        // Nothing was stored: the caller keeps lastIds, so that every id is
        // looked at again next time.
        m_walkEnd = WalkEnd::Failed;
        m_error = e.what();
        return {};
    }

    // The reported ids, joined by "," without a final one.
    if (!result.empty()) {
        result.pop_back();
    }
    return result;
}

bool NewItemFinder::allKnown(const std::vector<std::string>& pageIds, const std::string& lastIds,
                             const std::string& sid)
{
    // A page without a usable id (all ignored or listed before) proves
    // nothing about the pages after it.
    if (pageIds.empty()) {
        return false;
    }
    std::vector<std::string_view> ask;
    for (const std::string& id : pageIds) {
        if (!CCore::isInFg(lastIds, ',', id)) {
            ask.push_back(id);
        }
    }
    if (ask.empty()) {
        return true;
    }
    const Stored stored = lookUp(sid, ask);
    return std::all_of(ask.begin(), ask.end(), [&](std::string_view id) {
        const std::string key(id);
        return stored.underSid.contains(key) || stored.elsewhere.contains(key);
    });
}

} // namespace tw
