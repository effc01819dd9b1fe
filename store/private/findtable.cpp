#include "store/findtable.h"

namespace tw::sqlite {

bool ensureFindTable(Connection& db)
{
    try {
        // As schema.sql makes it for a new database.
        db.exec("CREATE TABLE IF NOT EXISTS t_find (sid TEXT NOT NULL, bbid TEXT NOT NULL,"
                " url TEXT NOT NULL DEFAULT '', found INTEGER, kind TEXT NOT NULL,"
                " told INTEGER NOT NULL DEFAULT 1, PRIMARY KEY (sid, bbid, url));"
                "CREATE INDEX IF NOT EXISTS ix_find_url_found ON t_find (url, found)");
        return true;
    } catch (const DbError&) {
        if (sqlite3_db_readonly(db.get(), "main") == 1) {
            return false;
        }
        throw;
    }
}

bool hasFindTable(const Connection& db)
{
    Statement table(db, "select 1 from sqlite_master where type='table' and name='t_find'");
    return table.step();
}

void moveSilentRows(Connection& db)
{
    {
        // Most starts have nothing to move: no write lock for them.
        Statement any(db, "select 1 from t_silent limit 1");
        if (!any.step()) {
            return;
        }
    }
    // Closing the connection without COMMIT rolls everything back. A row
    // whose t_item row has no key or id cannot be keyed in the record: it
    // stays, and the look-ups go on reading it.
    db.exec("BEGIN IMMEDIATE;"
            "INSERT OR IGNORE INTO t_find (sid, bbid, url, found, kind)"
            " SELECT i.sid, i.bbid, '', NULL, 'baseline' FROM t_silent s"
            " JOIN t_item i ON i.rowid = s.id WHERE i.sid IS NOT NULL AND i.bbid IS NOT NULL;"
            "DELETE FROM t_silent WHERE id NOT IN"
            " (SELECT rowid FROM t_item WHERE sid IS NULL OR bbid IS NULL);"
            "COMMIT");
}

FindWriter::FindWriter(const Connection& db)
    // Replaces a find of an item whose t_item row someone removed by hand:
    // the item was found again.
    : m_insert(db, "insert or replace into t_find(sid,bbid,url,found,kind,told) "
                   "values(?,?,?,?,?,?)")
{}

void FindWriter::write(const std::string& sid, const std::string& bbid, const FindSource& source,
                       FindKind kind)
{
    m_insert.reset();
    m_insert.bindAll({sid, bbid, source.url,
                      static_cast<long long>(source.found.time_since_epoch().count()),
                      std::string(findKindName(kind)),
                      // A reported item is told once its alert is queued;
                      // the other kinds never need telling.
                      kind == FindKind::New ? 0LL : 1LL});
    m_insert.step();
    m_insert.reset();
}

} // namespace tw::sqlite
