#include "itemdb.h"

#include "sqlite.h"

#include <algorithm>
#include <climits>

namespace tw {

DbError::DbError(int code, const std::string& message)
    : std::runtime_error(message + " (SQLite code " + std::to_string(code) + ")"), m_code(code)
{}

namespace {

std::string journalMode(const sqlite::Connection& db)
{
    try {
        sqlite::Statement mode(db, "PRAGMA journal_mode");
        return mode.step() ? CItemDb::valueToText(mode.column(0)) : std::string();
    } catch (const DbError&) {
        // The operation itself meets the same cause and reports it.
        return {};
    }
}

// Each operation pays for a connection of its own, so the settings that make
// it cheap are applied to every one. With a connection per operation an fsync
// per insert costs more than a whole detection pass may take, so
// synchronous=OFF: a commit still reaches the operating system before the call
// returns, and a crash of the program loses nothing. A TRUNCATE journal saves
// making and removing the journal file on every insert; a database that
// someone set to another mode (WAL) keeps it. Neither setting is worth failing
// or waiting for a lock, so they are tried before the busy wait is set and a
// failure only leaves the defaults. Reading connections need neither.
enum class Access { Read, Write };

sqlite::Connection openConnection(const std::string& connStr, int busyTimeoutMs, Access access)
{
    sqlite::Connection db(connStr, 0);
    if (access == Access::Write) {
        db.tryExec("PRAGMA synchronous=OFF");
        if (journalMode(db) == "delete") {
            db.tryExec("PRAGMA journal_mode=TRUNCATE");
        }
    }
    db.setBusyTimeout(busyTimeoutMs);
    return db;
}

} // namespace

CItemDb::CItemDb() = default;

CItemDb::~CItemDb() = default;

void CItemDb::setConnStr(std::string connStr)
{
    m_connStr = std::move(connStr);
}

void CItemDb::setBusyTimeout(std::chrono::milliseconds timeout)
{
    m_busyTimeoutMs = static_cast<int>(std::clamp<long long>(timeout.count(), 0, INT_MAX));
}

void CItemDb::execute(std::string_view sql, std::initializer_list<SqlValue> params)
{
    sqlite::Connection db = openConnection(m_connStr, m_busyTimeoutMs, Access::Write);
    sqlite::Statement statement(db, sql);
    statement.bindAll(params);
    while (statement.step()) {
    }
}

std::string CItemDb::queryValue(std::string_view sql, std::initializer_list<SqlValue> params)
{
    sqlite::Connection db = openConnection(m_connStr, m_busyTimeoutMs, Access::Read);
    sqlite::Statement statement(db, sql);
    statement.bindAll(params);
    if (!statement.step() || statement.columnCount() == 0) {
        return {};
    }
    return valueToText(statement.column(0));
}

std::string CItemDb::valueToText(sqlite3_value* value)
{
    // The column value is only read on the thread that owns its connection.
    if (value == nullptr || sqlite3_value_type(value) == SQLITE_NULL) {
        return {};
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
    if (text == nullptr) {
        return {};
    }
    return std::string(text, static_cast<size_t>(sqlite3_value_bytes(value)));
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

bool CItemDb::isBbidStored(const std::string& bbid)
{
    return !queryValue("select 1 from t_item where bbid=? limit 1", {bbid}).empty();
}

std::string CItemDb::itemTitle(const std::string& sid, const std::string& bbid)
{
    return queryValue("select bbtitle from t_item where bbid=? and sid=? order by id desc limit 1",
                      {bbid, sid});
}

int CItemDb::insertItemsIfNew(const std::string& sid, const std::vector<ItemRow>& items)
{
    if (items.empty()) {
        return 0;
    }
    sqlite::Connection db = openConnection(m_connStr, m_busyTimeoutMs, Access::Write);
    // Closing the connection without COMMIT rolls everything back.
    db.exec("BEGIN IMMEDIATE");
    sqlite::Statement insert(db, "insert into t_item(sid,bbid,bbtitle,bbsl) select ?,?,?,? "
                                 "where not exists (select 1 from t_item where bbid=? and sid=?)");
    int added = 0;
    for (const ItemRow& item : items) {
        std::string title = item.bbtitle;
        std::erase(title, '\'');
        insert.reset();
        insert.bindAll({sid, item.bbid, title, static_cast<long long>(kBbsl), item.bbid, sid});
        insert.step();
        added += sqlite3_changes(db.get());
    }
    db.exec("COMMIT");
    return added;
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
    sqlite::Connection db = openConnection(m_connStr, m_busyTimeoutMs, Access::Read);
    sqlite::Statement statement(
        db, "select bbid,bbtitle from t_item where sid=? order by id desc limit ?");
    statement.bindAll({sid, static_cast<long long>(count)});
    std::vector<ItemRow> rows;
    while (statement.step()) {
        rows.push_back({valueToText(statement.column(0)), valueToText(statement.column(1))});
    }
    return rows;
}

void CItemDb::deleteAllItems()
{
    execute("delete from t_item");
}

} // namespace tw
