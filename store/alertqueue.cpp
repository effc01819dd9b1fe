#include "store/alertqueue.h"

#include "store/itemdb.h"
#include "store/private/store/itemconnection.h"

#include <algorithm>

namespace tw {

using sqlite::Access;

namespace {

void ensureTables(sqlite::Connection& db)
{
    db.exec("CREATE TABLE IF NOT EXISTS t_alert (id INTEGER PRIMARY KEY AUTOINCREMENT,"
            " event TEXT NOT NULL, url TEXT NOT NULL, sid TEXT NOT NULL,"
            " catchup INTEGER NOT NULL DEFAULT 0, page_limit INTEGER NOT NULL DEFAULT 0,"
            " pages_opened INTEGER NOT NULL DEFAULT 0, notify INTEGER NOT NULL DEFAULT 0,"
            " command INTEGER NOT NULL DEFAULT 0, usual_gap_s INTEGER NOT NULL DEFAULT 0,"
            " quiet_s INTEGER NOT NULL DEFAULT 0, dropped INTEGER NOT NULL DEFAULT 0);"
            "CREATE TABLE IF NOT EXISTS t_alertitem (alert INTEGER NOT NULL, seq INTEGER NOT NULL,"
            " bbid TEXT NOT NULL, title TEXT NOT NULL, PRIMARY KEY (alert, seq))");
}

void run(sqlite::Statement& statement)
{
    while (statement.step()) {
    }
    statement.reset();
}

} // namespace

AlertQueue::AlertQueue(CItemDb& db) : m_db(db) {}

QueuedAlert AlertQueue::enqueue(QueuedAlert alert)
{
    m_db.ensureStateTables();
    sqlite::Connection db =
        sqlite::openItemConnection(m_db.connStr(), m_db.busyTimeoutMs(), Access::Write);
    ensureTables(db);
    db.exec("BEGIN IMMEDIATE");
    sqlite::Statement count(db, "select count(*) from t_alert");
    count.step();
    const long long queued = count.columnInt64(0).value_or(0);
    count.reset();
    alert.dropped = std::max(0LL, queued + 1 - static_cast<long long>(kMaxEntries));
    if (alert.dropped > 0) {
        sqlite::Statement oldest(db, "delete from t_alert where id in (select id from t_alert "
                                     "order by id limit ?)");
        oldest.bindAll({alert.dropped});
        run(oldest);
        db.exec("delete from t_alertitem where alert not in (select id from t_alert)");
    }
    sqlite::Statement insert(
        db, "insert into t_alert(event,url,sid,catchup,page_limit,pages_opened,notify,command,"
            "usual_gap_s,quiet_s,dropped) values(?,?,?,?,?,?,?,?,?,?,?)");
    insert.bindAll({alert.event, alert.url, alert.sid, alert.catchup ? 1LL : 0LL,
                    static_cast<long long>(alert.pageLimit),
                    static_cast<long long>(alert.pagesOpened), alert.notifyPending ? 1LL : 0LL,
                    alert.commandPending ? 1LL : 0LL, alert.usualGapS, alert.quietS,
                    alert.dropped});
    run(insert);
    alert.id = sqlite3_last_insert_rowid(db.get());
    sqlite::Statement item(db, "insert into t_alertitem(alert,seq,bbid,title) values(?,?,?,?)");
    sqlite::Statement told(db, "update t_find set told=1 where sid=? and bbid=? and url=?");
    for (std::size_t n = 0; n < alert.items.size(); ++n) {
        item.bindAll({alert.id, static_cast<long long>(n), alert.items[n].id,
                      alert.items[n].title});
        run(item);
        told.bindAll({alert.sid, alert.items[n].id, alert.url});
        run(told);
    }
    db.exec("COMMIT");
    return alert;
}

std::vector<QueuedAlert> AlertQueue::pending()
{
    m_db.ensureStateTables();
    sqlite::Connection db =
        sqlite::openItemConnection(m_db.connStr(), m_db.busyTimeoutMs(), Access::Write);
    ensureTables(db);
    std::vector<QueuedAlert> alerts;
    sqlite::Statement entries(db, "select id,event,url,sid,catchup,page_limit,pages_opened,notify,"
                                  "command,usual_gap_s,quiet_s,dropped from t_alert order by id");
    while (entries.step()) {
        QueuedAlert& a = alerts.emplace_back();
        a.id = *entries.columnInt64(0);
        a.event = entries.columnText(1);
        a.url = entries.columnText(2);
        a.sid = entries.columnText(3);
        a.catchup = entries.columnInt64(4).value_or(0) != 0;
        a.pageLimit = static_cast<int>(entries.columnInt64(5).value_or(0));
        a.pagesOpened = static_cast<int>(entries.columnInt64(6).value_or(0));
        a.notifyPending = entries.columnInt64(7).value_or(0) != 0;
        a.commandPending = entries.columnInt64(8).value_or(0) != 0;
        a.usualGapS = entries.columnInt64(9).value_or(0);
        a.quietS = entries.columnInt64(10).value_or(0);
        a.dropped = entries.columnInt64(11).value_or(0);
    }
    sqlite::Statement items(db, "select bbid,title from t_alertitem where alert=? order by seq");
    for (QueuedAlert& a : alerts) {
        items.bindAll({a.id});
        while (items.step()) {
            a.items.push_back({items.columnText(0), items.columnText(1)});
        }
        items.reset();
    }
    return alerts;
}

std::vector<UntoldFinds> AlertQueue::untold()
{
    m_db.ensureStateTables();
    sqlite::Connection db =
        sqlite::openItemConnection(m_db.connStr(), m_db.busyTimeoutMs(), Access::Read);
    std::vector<UntoldFinds> untold;
    sqlite::Statement finds(
        db, "select f.url,f.sid,f.bbid,coalesce((select i.bbtitle from t_item i where "
            "i.sid=f.sid and i.bbid=f.bbid order by i.rowid desc limit 1),'') from t_find f "
            // One check's finds are written bottom of the page first.
            "where f.kind='new' and f.told=0 order by f.url, f.found, f.rowid desc");
    while (finds.step()) {
        const std::string url = finds.columnText(0);
        if (untold.empty() || untold.back().url != url) {
            untold.push_back({url, finds.columnText(1), {}});
        }
        untold.back().items.push_back({finds.columnText(2), finds.columnText(3)});
    }
    return untold;
}

void AlertQueue::update(long long id, const char* sql, long long value)
{
    sqlite::Connection db =
        sqlite::openItemConnection(m_db.connStr(), m_db.busyTimeoutMs(), Access::Write);
    db.exec("BEGIN IMMEDIATE");
    sqlite::Statement set(db, sql);
    set.bindAll({value, id});
    run(set);
    // An entry served whole goes, with its items.
    sqlite::Statement done(
        db, "delete from t_alert where id=? and notify=0 and command=0 and "
            "pages_opened >= min(page_limit, (select count(*) from t_alertitem where alert=?))");
    done.bindAll({id, id});
    run(done);
    sqlite::Statement items(db, "delete from t_alertitem where alert=? and not exists "
                                "(select 1 from t_alert where id=?)");
    items.bindAll({id, id});
    run(items);
    db.exec("COMMIT");
}

void AlertQueue::setPagesOpened(long long id, int opened)
{
    update(id, "update t_alert set pages_opened=? where id=?", opened);
}

void AlertQueue::notified(long long id)
{
    update(id, "update t_alert set notify=? where id=?", 0);
}

void AlertQueue::commandEnded(long long id)
{
    update(id, "update t_alert set command=? where id=?", 0);
}

} // namespace tw
