#include "engine/newitemfinder.h"

#include "core/runflag.h"
#include "core/text.h"
#include "core/watchtable.h"
#include "core/zuvira.h"
#include "store/itemdb.h"

#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tw {

NewItemFinder::NewItemFinder(const WatchTable& table, CItemDb& db, const RunFlag& runFlag,
                             std::string titlesFile, std::function<bool()> abortRequested)
    : m_table(table), m_db(db), m_runFlag(runFlag), m_titlesFile(std::move(titlesFile)),
      m_abortRequested(std::move(abortRequested))
{}

bool NewItemFinder::stopRequested() const
{
    return m_runFlag.isStop() || (m_abortRequested && m_abortRequested());
}

std::string NewItemFinder::findNewItems(const std::string& lastIds, const std::string& currentIds)
{
    m_walkEnd = WalkEnd::Finished;
    m_error.clear();

    // Nothing to look at costs neither a file read nor the store.
    if (currentIds.empty()) {
        return {};
    }
    if (lastIds == currentIds) {
        return {};
    }

    // The lists are split once; field n of each is what getFg(n) gives.
    std::string result;
    const std::string titles = CCore::readTxtFile(m_titlesFile);
    const std::vector<std::string_view> ids = text::splitFields(currentIds, ',');
    const std::vector<std::string_view> titleFields = text::splitFields(titles, '^');
    std::unordered_set<std::string_view> seen;
    if (!lastIds.empty()) {
        const std::vector<std::string_view> last = text::splitFields(lastIds, ',');
        seen.insert(last.begin(), last.end());
    }

    // Walk the ids in page order: each one neither in the previous check nor
    // in the store is stored and reported, until a stop or a store failure.
    for (std::size_t n = 0;; ++n) {
        if (stopRequested()) {
            m_walkEnd = WalkEnd::Stopped;
            break;
        }
        const std::string id(n < ids.size() ? ids[n] : std::string_view());
        if (id.empty()) {
            break;
        }
        const std::string title(n < titleFields.size() ? titleFields[n] : std::string_view());
        if (seen.contains(id)) {
            continue;
        }
        try {
            if (!storeItemIfNew(id, title)) {
                result += id;
                result += ',';
            }
        } catch (const DbError& e) {
            // What was stored so far is still reported; the caller keeps
            // lastIds so that the rest is looked at again next time.
            m_walkEnd = WalkEnd::Failed;
            m_error = e.what();
            break;
        }
    }

    // The reported ids, joined by "," without a final one.
    if (!result.empty()) {
        result.pop_back();
    }
    return result;
}

bool NewItemFinder::storeItemIfNew(const std::string& bbid, const std::string& bbtitle)
{
    const std::string sid = m_checkSid ? *m_checkSid : m_table.sid(m_curSlot);
    if (m_db.isItemExist(sid, bbid)) {
        return true;
    }
    // Asked before the insert, which would make it true for every item.
    // Only a report counts: an item a baseline or a marking took silently
    // under another key was never shown.
    const bool reportedElsewhere = m_dedupe && m_db.isBbidReported(bbid);
    // Stored under this key as well, so that this watch's item list shows it
    // and turning dedupe off later does not report it here.
    m_db.insertItem(sid, bbid, bbtitle, CItemDb::kBbsl);
    return reportedElsewhere;
}

} // namespace tw
