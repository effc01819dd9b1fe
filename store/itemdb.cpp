#include "store/itemdb.h"

#include "store/findtable.h"
#include "store/itemconnection.h"
#include "store/sqlite.h"

#include <algorithm>
#include <climits>

namespace tw::sqlite {

namespace {

std::string journalMode(const Connection& db)
{
    try {
        Statement mode(db, "PRAGMA journal_mode");
        return mode.step() ? mode.columnText(0) : std::string();
    } catch (const DbError&) {
        // The operation itself meets the same cause and reports it.
        return {};
    }
}

} // namespace

// Each operation pays for a connection of its own, so the settings that make
// it cheap are applied to every one. With a connection per operation an fsync
// per insert costs more than a whole detection pass may take, so
// synchronous=OFF: a commit still reaches the operating system before the call
// returns, and a crash of the program loses nothing. A TRUNCATE journal saves
// making and removing the journal file on every insert; a database that
// someone set to another mode (WAL) keeps it. Neither setting is worth failing
// or waiting for a lock, so they are tried before the busy wait is set and a
// failure only leaves the defaults. Reading connections need neither.
Connection openItemConnection(const std::string& connStr, int busyTimeoutMs, Access access)
{
    Connection db(connStr, 0);
    if (access == Access::Write) {
        db.tryExec("PRAGMA synchronous=OFF");
        if (journalMode(db) == "delete") {
            db.tryExec("PRAGMA journal_mode=TRUNCATE");
        }
    }
    db.setBusyTimeout(busyTimeoutMs);
    return db;
}

} // namespace tw::sqlite

namespace tw {

using sqlite::Access;

namespace {

std::string lowerAscii(std::string s)
{
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

// True when a full (not partial) index of t_item leads with sid and bbid, in
// either order: the look-up "where bbid=? and sid=?" then finds its row at once.
bool hasItemIndex(const sqlite::Connection& db)
{
    sqlite::Statement indexes(db, "select name from pragma_index_list('t_item') where partial=0");
    while (indexes.step()) {
        sqlite::Statement columns(db,
                                  "select name from pragma_index_info(?) order by seqno limit 2");
        columns.bind(1, indexes.columnText(0));
        std::string leading;
        while (columns.step()) {
            leading += lowerAscii(columns.columnText(0)) + ",";
        }
        if (leading == "sid,bbid," || leading == "bbid,sid,") {
            return true;
        }
    }
    return false;
}

} // namespace

CItemDb::CItemDb() = default;

CItemDb::~CItemDb() = default;

void CItemDb::setConnStr(std::string connStr)
{
    m_connStr = std::move(connStr);
    m_stateTablesReady = false;
}

void CItemDb::ensureStateTables()
{
    if (m_stateTablesReady) {
        return;
    }
    // t_item stays as other tools know it: what the program keeps for itself
    // goes in tables of its own. t_baseline holds the keys that had their
    // first check, t_find the record of finds, which took over t_silent's
    // role (the t_item rowids of items taken without a report). t_silent is
    // kept, emptied, rather than dropped: an older copy of the program run on
    // the file would make it again and fill it, and those rows still count
    // until the next start moves them.
    sqlite::Connection db = sqlite::openItemConnection(m_connStr, m_busyTimeoutMs, Access::Write);
    db.exec("CREATE TABLE IF NOT EXISTS t_silent (id INTEGER PRIMARY KEY);"
            "CREATE TABLE IF NOT EXISTS t_baseline (sid TEXT PRIMARY KEY)");
    if (!sqlite::ensureFindTable(db)) {
        // Read-only: tried again by the next operation, which is cheap.
        return;
    }
    // What the quiet-watch warning keeps per watch URL: the spans of time its
    // checks succeeded, and the episode it was told as quiet.
    db.exec("CREATE TABLE IF NOT EXISTS t_checked (url TEXT NOT NULL, begin INTEGER NOT NULL, "
            "end INTEGER NOT NULL);"
            "CREATE INDEX IF NOT EXISTS ix_checked_url ON t_checked (url);"
            "CREATE TABLE IF NOT EXISTS t_quiet (url TEXT PRIMARY KEY, since INTEGER NOT NULL, "
            "told INTEGER NOT NULL DEFAULT 0)");
    // The watch URLs whose next check reads every page (fullReadUrls).
    db.exec("CREATE TABLE IF NOT EXISTS t_fullread (url TEXT PRIMARY KEY)");
    try {
        sqlite::moveSilentRows(db);
    } catch (const DbError&) {
        // A read-only or locked file: the look-ups read t_silent's rows
        // until a later start moves them.
    }
    m_stateTablesReady = true;
}

void CItemDb::setBusyTimeout(std::chrono::milliseconds timeout)
{
    m_busyTimeoutMs = static_cast<int>(std::clamp<long long>(timeout.count(), 0, INT_MAX));
}

void CItemDb::execute(std::string_view sql, std::initializer_list<SqlValue> params)
{
    sqlite::Connection db = sqlite::openItemConnection(m_connStr, m_busyTimeoutMs, Access::Write);
    sqlite::Statement statement(db, sql);
    statement.bindAll(params);
    while (statement.step()) {
    }
}

std::string CItemDb::queryValue(std::string_view sql, std::initializer_list<SqlValue> params)
{
    sqlite::Connection db = sqlite::openItemConnection(m_connStr, m_busyTimeoutMs, Access::Read);
    sqlite::Statement statement(db, sql);
    statement.bindAll(params);
    if (!statement.step() || statement.columnCount() == 0) {
        return {};
    }
    return statement.columnText(0);
}

bool CItemDb::isItemExist(const std::string& sid, const std::string& bbid)
{
    // "select 1" rather than the id itself, so that a stored empty id is found too.
    return !queryValue("select 1 from t_item where bbid=? and sid=? limit 1", {bbid, sid}).empty();
}

void CItemDb::insertItem(const std::string& sid, const std::string& bbid,
                         const std::string& bbtitle, int bbsl)
{
    std::string title = bbtitle;
    std::erase(title, '\'');
    execute("insert into t_item(sid,bbid,bbtitle,bbsl) values(?,?,?,?)",
            {sid, bbid, title, static_cast<long long>(bbsl)});
}

bool CItemDb::hasItems(const std::string& sid)
{
    return !queryValue("select 1 from t_item where sid=? limit 1", {sid}).empty();
}

bool CItemDb::isBbidReported(const std::string& bbid)
{
    ensureStateTables();
    return !queryValue(std::string("select 1 from t_item i where i.bbid=? and ") +
                           sqlite::kReportedItem + " limit 1",
                       {bbid})
                .empty();
}

bool CItemDb::hadFirstCheck(const std::string& sid)
{
    ensureStateTables();
    return !queryValue("select 1 from t_baseline where sid=?", {sid}).empty();
}

int CItemDb::storeSeenItems(const std::string& sid, const std::vector<ItemRow>& items,
                            const FindSource& source, FindKind kind)
{
    ensureStateTables();
    sqlite::Connection db = sqlite::openItemConnection(m_connStr, m_busyTimeoutMs, Access::Write);
    // Closing the connection without COMMIT rolls everything back.
    db.exec("BEGIN IMMEDIATE");
    sqlite::Statement insert(db, "insert into t_item(sid,bbid,bbtitle,bbsl) select ?,?,?,? "
                                 "where not exists (select 1 from t_item where bbid=? and sid=?)");
    sqlite::FindWriter find(db);
    int added = 0;
    // Last first: the first item gets the largest row id.
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        const ItemRow& item = *it;
        std::string title = item.bbtitle;
        std::erase(title, '\'');
        insert.reset();
        insert.bindAll({sid, item.bbid, title, static_cast<long long>(kBbsl), item.bbid, sid});
        insert.step();
        if (sqlite3_changes(db.get()) > 0) {
            ++added;
            find.write(sid, item.bbid, source, kind);
        }
    }
    sqlite::Statement first(db, "insert or ignore into t_baseline(sid) values(?)");
    first.bindAll({sid});
    first.step();
    db.exec("COMMIT");
    return added;
}

std::string CItemDb::itemTitle(const std::string& sid, const std::string& bbid)
{
    return queryValue("select bbtitle from t_item where bbid=? and sid=? order by id desc limit 1",
                      {bbid, sid});
}

void CItemDb::ensureBbidIndex()
{
    execute("create index if not exists ix_item_bbid on t_item (bbid)");
}

std::vector<ItemRow> CItemDb::getLatestItems(const std::string& sid, int count)
{
    // SQLite reads a negative limit as "no limit": stop before it gets one.
    if (count <= 0) {
        return {};
    }
    sqlite::Connection db = sqlite::openItemConnection(m_connStr, m_busyTimeoutMs, Access::Read);
    sqlite::Statement statement(
        db, "select bbid,bbtitle from t_item where sid=? order by rowid desc limit ?");
    statement.bindAll({sid, static_cast<long long>(count)});
    std::vector<ItemRow> rows;
    while (statement.step()) {
        rows.push_back({statement.columnText(0), statement.columnText(1)});
    }
    return rows;
}

std::vector<ListedItem> CItemDb::listItems(const std::string& sid, int count)
{
    if (count <= 0) {
        return {};
    }
    sqlite::Connection db = sqlite::openItemConnection(m_connStr, m_busyTimeoutMs, Access::Read);
    // min() passes over the finds of unknown time, moved from t_silent.
    const char* sql =
        sqlite::hasFindTable(db)
            ? "select i.bbid,i.bbtitle,(select min(f.found) from t_find f where f.sid=i.sid and "
              "f.bbid=i.bbid) from t_item i where i.sid=? order by i.rowid desc limit ?"
            : "select bbid,bbtitle,NULL from t_item where sid=? order by rowid desc limit ?";
    sqlite::Statement statement(db, sql);
    statement.bindAll({sid, static_cast<long long>(count)});
    std::vector<ListedItem> rows;
    while (statement.step()) {
        ListedItem& row = rows.emplace_back();
        row.bbid = statement.columnText(0);
        row.bbtitle = statement.columnText(1);
        if (const std::optional<long long> found = statement.columnInt64(2)) {
            row.firstFound = std::chrono::sys_seconds(std::chrono::seconds(*found));
        }
    }
    return rows;
}

std::vector<FindRecord> CItemDb::finds(const FindFilter& filter)
{
    sqlite::Connection db = sqlite::openItemConnection(m_connStr, m_busyTimeoutMs, Access::Read);
    if (!sqlite::hasFindTable(db)) {
        return {};
    }
    // The newest title under the key, should t_item hold the id twice.
    std::string sql = "select f.found,f.url,f.sid,f.bbid,(select i.bbtitle from t_item i where "
                      "i.sid=f.sid and i.bbid=f.bbid order by i.rowid desc limit 1),f.kind "
                      "from t_find f where 1";
    std::vector<SqlValue> values;
    if (filter.since) {
        sql += " and f.found>=?";
        values.emplace_back(static_cast<long long>(filter.since->time_since_epoch().count()));
    }
    if (filter.sid) {
        sql += " and f.sid=?";
        values.emplace_back(*filter.sid);
    }
    if (filter.url) {
        sql += " and f.url=?";
        values.emplace_back(*filter.url);
    }
    // The rowid orders one check's finds as its pages listed them.
    sql += " order by f.found desc, f.rowid desc";
    sqlite::Statement statement(db, sql);
    for (std::size_t i = 0; i < values.size(); ++i) {
        statement.bind(static_cast<int>(i) + 1, values[i]);
    }
    std::vector<FindRecord> records;
    while (statement.step()) {
        FindRecord& record = records.emplace_back();
        if (const std::optional<long long> found = statement.columnInt64(0)) {
            record.found = std::chrono::sys_seconds(std::chrono::seconds(*found));
        }
        record.url = statement.columnText(1);
        record.sid = statement.columnText(2);
        record.bbid = statement.columnText(3);
        record.title = statement.columnText(4);
        record.kind = statement.columnText(5);
    }
    return records;
}

void CItemDb::deleteAllItems()
{
    ensureStateTables();
    sqlite::Connection db = sqlite::openItemConnection(m_connStr, m_busyTimeoutMs, Access::Write);
    // After a clear every key starts afresh, its first check included.
    db.exec("BEGIN IMMEDIATE");
    db.exec("delete from t_item");
    db.exec("delete from t_silent");
    db.exec("delete from t_baseline");
    db.exec("delete from t_find");
    db.exec("delete from t_checked");
    db.exec("delete from t_quiet");
    db.exec("delete from t_fullread");
    db.exec("COMMIT");
}

CItemDb::IndexCheck CItemDb::ensureItemIndex()
{
    // Made once, so without the Write connection's synchronous=OFF.
    sqlite::Connection db = sqlite::openItemConnection(m_connStr, m_busyTimeoutMs, Access::Read);
    if (hasItemIndex(db)) {
        return IndexCheck::Present;
    }
    db.exec("CREATE INDEX ix_item_sid_bbid ON t_item (sid, bbid)");
    return IndexCheck::Made;
}

namespace {

std::chrono::sys_seconds secondsAt(long long t)
{
    return std::chrono::sys_seconds(std::chrono::seconds(t));
}

long long secondsOf(std::chrono::sys_seconds t)
{
    return t.time_since_epoch().count();
}

} // namespace

std::map<std::string, WatchQuietRecord> CItemDb::quietRecords(std::size_t eventsPerWatch)
{
    ensureStateTables();
    std::map<std::string, WatchQuietRecord> records;
    sqlite::Connection db = sqlite::openItemConnection(m_connStr, m_busyTimeoutMs, Access::Read);
    if (!sqlite::hasFindTable(db)) {
        return records;
    }
    // One check's items share their time: a distinct time is a find event.
    sqlite::Statement events(
        db, "select url,found from (select url,found,row_number() over (partition by url order "
            "by found desc) n from (select distinct url,found from t_find where found is not "
            "null and kind in ('new','dedupe','muted'))) where n<=? order by url, found desc");
    events.bindAll({static_cast<long long>(eventsPerWatch)});
    while (events.step()) {
        records[events.columnText(0)].findEvents.push_back(secondsAt(*events.columnInt64(1)));
    }
    try {
        sqlite::Statement spans(db, "select url,begin,end from t_checked order by url, begin");
        while (spans.step()) {
            records[spans.columnText(0)].checked.push_back(
                {secondsAt(*spans.columnInt64(1)), secondsAt(*spans.columnInt64(2))});
        }
        sqlite::Statement quiet(db, "select url,since,told from t_quiet");
        while (quiet.step()) {
            records[quiet.columnText(0)].episode =
                QuietEpisode{secondsAt(*quiet.columnInt64(1)), *quiet.columnInt64(2) != 0};
        }
    } catch (const DbError&) {
        // A read-only file never got the tables: nothing was kept.
    }
    return records;
}

void CItemDb::saveCheckedSpans(const std::string& url, const std::vector<StoredSpan>& spans)
{
    ensureStateTables();
    sqlite::Connection db = sqlite::openItemConnection(m_connStr, m_busyTimeoutMs, Access::Write);
    db.exec("BEGIN IMMEDIATE");
    sqlite::Statement drop(db, "delete from t_checked where url=?");
    drop.bindAll({url});
    while (drop.step()) {
    }
    sqlite::Statement insert(db, "insert into t_checked(url,begin,end) values(?,?,?)");
    for (const StoredSpan& span : spans) {
        insert.reset();
        insert.bindAll({url, secondsOf(span.begin), secondsOf(span.end)});
        while (insert.step()) {
        }
    }
    db.exec("COMMIT");
}

void CItemDb::saveQuietEpisode(const std::string& url, const std::optional<QuietEpisode>& episode)
{
    ensureStateTables();
    if (episode) {
        execute("insert or replace into t_quiet(url,since,told) values(?,?,?)",
                {url, secondsOf(episode->since), episode->told ? 1LL : 0LL});
    } else {
        execute("delete from t_quiet where url=?", {url});
    }
}

std::set<std::string> CItemDb::fullReadUrls()
{
    ensureStateTables();
    std::set<std::string> urls;
    sqlite::Connection db = sqlite::openItemConnection(m_connStr, m_busyTimeoutMs, Access::Read);
    sqlite::Statement table(db,
                            "select 1 from sqlite_master where type='table' and name='t_fullread'");
    if (!table.step()) {
        // A read-only file never got the table: no check of it stored anything.
        return urls;
    }
    sqlite::Statement rows(db, "select url from t_fullread");
    while (rows.step()) {
        urls.insert(rows.columnText(0));
    }
    return urls;
}

void CItemDb::setFullReadOwed(const std::string& url, bool owed)
{
    ensureStateTables();
    if (owed) {
        execute("insert or ignore into t_fullread(url) values(?)", {url});
    } else {
        execute("delete from t_fullread where url=?", {url});
    }
}

} // namespace tw
