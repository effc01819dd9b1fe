#pragma once

#include "store/itemdbsession.h"

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tw {

class CItemDb;
class PollClock;
class RunFlag;
class WatchTable;

// New-item detection for one check of one watch: which ids of the current
// pages were neither in the previous check nor stored under the watch's key.
// Every id reported is stored first, so an item is reported once per key, also
// across runs. A check's ids are looked up together and its new items stored
// in one transaction, over a connection the finder keeps (closeStore() lets
// it go). Used on the worker thread only; it keeps references, so what they
// name must outlive it.
class NewItemFinder
{
public:
    // How the last findNewItems call ended.
    enum class WalkEnd {
        // Every id was looked at (or none needed to be).
        Finished,
        // A stop request cut the walk short: ids after that point were not looked at.
        Stopped,
        // The store failed: nothing was stored and nothing is reported.
        Failed,
    };

    // abortRequested, when given, is asked before each id as well and stops the
    // walk like "STOP" in runFlag (the worker's close-down). clock, when
    // given, dates the finds; else real time does.
    NewItemFinder(const WatchTable& table, CItemDb& db, const RunFlag& runFlag,
                  std::string titlesFile, std::function<bool()> abortRequested = {},
                  const PollClock* clock = nullptr);

    // The slot under check; storeItemIfNew takes its sid and url through it.
    void setCurSlot(int slot)
    {
        m_curSlot = slot;
        m_checkSid.reset();
        m_checkUrl.reset();
    }
    int curSlot() const { return m_curSlot; }
    // The sid of the watch under check as the worker copied it with the url,
    // used until the next setCurSlot instead of the slot's field: a list
    // imported during the check must not get the old watch's items filed
    // under the new watch's key.
    void setCheckSid(std::string sid) { m_checkSid = std::move(sid); }
    // The same for the url that the record of finds names.
    void setCheckUrl(std::string url) { m_checkUrl = std::move(url); }

    // The ids of currentIds to report, in page order, joined by "," without a
    // final ",". Never throws a store error: it ends the walk and shows in
    // lastWalkEnd() and lastError().
    std::string findNewItems(const std::string& lastIds, const std::string& currentIds);

    // With dedupe on, an item reported under any other key is stored under
    // this one too but not reported (its find is of kind Dedupe): an item is
    // reported once across watches.
    void setDedupe(bool dedupe) { m_dedupe = dedupe; }
    // For the checks of a muted watch: what would be stored as New is stored
    // as Muted (told at once), and still returned.
    void setMuted(bool muted) { m_muted = muted; }

    // True when pageIds holds ids and each of them is in lastIds or not to be
    // reported (stored under sid, or with dedupe reported under any key): the pages
    // after it need not be fetched. Throws DbError.
    bool allKnown(const std::vector<std::string>& pageIds, const std::string& lastIds,
                  const std::string& sid);

    // Lets the kept connection go, with its cache; the next look-up opens it again.
    void closeStore() { m_store.close(); }

    WalkEnd lastWalkEnd() const { return m_walkEnd; }
    // Items the last findNewItems call stored, reported or (dedupe) not.
    std::size_t lastStored() const { return m_lastStored; }
    // The store's reason when lastWalkEnd() is Failed, else "".
    const std::string& lastError() const { return m_error; }

private:
    bool stopRequested() const;
    struct Stored
    {
        std::unordered_set<std::string> underSid;
        // With dedupe: of the others, those reported under any key.
        std::unordered_set<std::string> elsewhere;
    };
    // One statement, or two with dedupe, for all of ids. Throws DbError.
    Stored lookUp(const std::string& sid, const std::vector<std::string_view>& ids);

    const WatchTable& m_table;
    ItemDbSession m_store;
    const RunFlag& m_runFlag;
    std::string m_titlesFile;
    std::function<bool()> m_abortRequested;
    const PollClock* m_clock;
    int m_curSlot = 0;
    std::optional<std::string> m_checkSid;
    std::optional<std::string> m_checkUrl;
    bool m_dedupe = false;
    bool m_muted = false;
    std::size_t m_lastStored = 0;
    WalkEnd m_walkEnd = WalkEnd::Finished;
    std::string m_error;
};

} // namespace tw
