#pragma once

#include "store/dberror.h"
#include "store/findrecord.h"
#include "store/sqlvalue.h"

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

struct ItemRow
{
    std::string bbid;
    std::string bbtitle;
};

// An item to store, and how it was found.
struct FoundRow
{
    ItemRow item;
    FindKind kind = FindKind::New;
};

// A stored item as the item list shows it.
struct ListedItem
{
    std::string bbid;
    std::string bbtitle;
    // Its earliest find under its key; none for an item stored before the
    // record of finds was kept, or by another tool.
    std::optional<std::chrono::sys_seconds> firstFound;
};

// A stretch of wall time during which a watch was checked and its checks
// succeeded.
struct StoredSpan
{
    std::chrono::sys_seconds begin{};
    std::chrono::sys_seconds end{};

    bool operator==(const StoredSpan&) const = default;
};

// A watch told as quiet: since when, and whether the user was told.
struct QuietEpisode
{
    std::chrono::sys_seconds since{};
    bool told = false;

    bool operator==(const QuietEpisode&) const = default;
};

// What the quiet-watch warning keeps of one watch URL across restarts.
struct WatchQuietRecord
{
    // Times of the checks that stored items found (new or dedupe), newest first.
    std::vector<std::chrono::sys_seconds> findEvents;
    std::vector<StoredSpan> checked;
    std::optional<QuietEpisode> episode;
};

// The database of items already reported, table t_item in sys.mdb, with the
// record of finds (table t_find) that the program writes with each item it
// stores. It keeps only the connection string: every operation opens its own
// connection and closes it again, so the window and the worker never share
// one. Every operation throws DbError on failure.
class CItemDb
{
public:
    // What every insert writes into the unused bbsl column.
    static constexpr int kBbsl = 0;

    CItemDb();
    virtual ~CItemDb();

    // A path or an SQLite URI ("file:...?mode=rw").
    void setConnStr(std::string connStr);
    const std::string& connStr() const { return m_connStr; }
    // How long an operation waits for a lock that another connection holds
    // before it fails with SQLITE_BUSY.
    void setBusyTimeout(std::chrono::milliseconds timeout);
    static constexpr std::chrono::milliseconds kDefaultBusyTimeout{5000};
    int busyTimeoutMs() const { return m_busyTimeoutMs; }

    void execute(std::string_view sql, std::initializer_list<SqlValue> params = {});
    // First column of the first row as text; "" for no row or NULL.
    std::string queryValue(std::string_view sql, std::initializer_list<SqlValue> params = {});

    bool isItemExist(const std::string& sid, const std::string& bbid);
    // Removes every "'" from bbtitle before it stores it. Writes no find, as
    // another tool adding a row would not.
    void insertItem(const std::string& sid, const std::string& bbid, const std::string& bbtitle,
                    int bbsl);
    // True when anything is stored under sid.
    bool hasItems(const std::string& sid);
    // True when bbid is stored under any key as an item that was reported
    // there (opened or notified): a find of kind New, or for an item stored
    // before the record was kept, one not named in t_silent.
    bool isBbidReported(const std::string& bbid);
    // The stored title of (sid, bbid); "" when there is none.
    std::string itemTitle(const std::string& sid, const std::string& bbid);
    // The first completed check of a search key (kind Baseline), or a "mark
    // all as seen" (kind Marked): stores under sid every item not yet stored
    // there, each with its find, and records that sid had its first check
    // (table t_baseline), so that it is never taken as a first check again,
    // also when it listed nothing. All or, on an error, none. Items come in
    // page order and the first gets the largest row id. The number of rows
    // added.
    int storeSeenItems(const std::string& sid, const std::vector<ItemRow>& items,
                       const FindSource& source, FindKind kind);
    // True once storeSeenItems has run for sid (since the last deleteAllItems).
    bool hadFirstCheck(const std::string& sid);
    // Makes the index that keeps isBbidReported from reading the whole table;
    // nothing when it is there already.
    void ensureBbidIndex();
    // Newest first (by rowid, which a hand-made table without an integer
    // key has too), at most count rows; none for a count of 0 or less.
    std::vector<ItemRow> getLatestItems(const std::string& sid, int count);
    // As getLatestItems, with each item's earliest find. A read-only file
    // without the record lists its items without.
    std::vector<ListedItem> listItems(const std::string& sid, int count);
    // The finds that filter lets through, newest first (those of unknown
    // time last); none from a read-only file without the record.
    std::vector<FindRecord> finds(const FindFilter& filter = {});

    // Per watch URL, its last eventsPerWatch find events, its checked spans
    // and its quiet episode (tables t_checked and t_quiet).
    std::map<std::string, WatchQuietRecord> quietRecords(std::size_t eventsPerWatch);
    void saveCheckedSpans(const std::string& url, const std::vector<StoredSpan>& spans);
    // nullopt ends the watch's episode.
    void saveQuietEpisode(const std::string& url, const std::optional<QuietEpisode>& episode);
    // The watch URLs whose next check reads all its result pages, whatever
    // pagestop says (table t_fullread): a check of theirs failed after
    // storing part of its pages, and a page of those would end a page stop
    // above the items it never got to. A URL goes when one of its checks
    // completes.
    std::set<std::string> fullReadUrls();
    void setFullReadOwed(const std::string& url, bool owed);
    // Every item of every key, with what was kept about them, the record of
    // finds included.
    void deleteAllItems();

    enum class IndexCheck { Present, Made };
    // A t_item made by hand may lack the (sid, bbid) index, and then every
    // look-up reads the whole table. Makes it when no index leads with those
    // two columns. Throws DbError when it cannot (a read-only file, no
    // table): the store still works, only slower.
    IndexCheck ensureItemIndex();

    // The tables of the program's own state beside t_item, made when missing
    // (once per connection string), and t_silent's rows moved into the
    // record of finds. Throws DbError when the tables cannot be made, except
    // the record in a read-only file. A move that fails waits for the next
    // start; the look-ups read t_silent's rows meanwhile.
    void ensureStateTables();

private:

    std::string m_connStr;
    std::atomic<bool> m_stateTablesReady{false};
    std::atomic<int> m_busyTimeoutMs{static_cast<int>(kDefaultBusyTimeout.count())};
};

} // namespace tw
