#include "store/itemdbsession.h"
#include "tests/support/storetestutil.h"

#include <gtest/gtest.h>
#include <string>
#include <unordered_set>
#include <vector>

namespace tw::test {
namespace {

// Each find as "sid/bbid kind url time", oldest last; "?" for no time.
std::vector<std::string> findsOf(CItemDb& db)
{
    std::vector<std::string> rows;
    for (const FindRecord& f : db.finds()) {
        rows.push_back(f.sid + "/" + f.bbid + " " + f.kind + " " + f.url + " " +
                       (f.found ? std::to_string(f.found->time_since_epoch().count()) : "?"));
    }
    return rows;
}

// sys.mdb as the previous version left it, once with the schema it shipped
// and once with a t_item made by hand (no index, no integer key): t_silent
// names by rowid the items taken without a report. Opening it moves those
// into the record, once, and t_item stays as it was; the look-ups still pass
// over the items taken silently, also those an older copy takes later.
TEST(FindRecordMigration, takesOverTSilentAndLeavesTItemAsItWas)
{
    const std::vector<std::string> tables = {
        "create table t_item(id integer primary key autoincrement, sid text, bbid text,"
        " bbtitle text, bbsl integer);"
        "create index ix_item_sid_bbid on t_item (sid, bbid);",
        "create table t_item(sid, bbid, bbtitle, bbsl, id);",
    };
    for (const std::string& table : tables) {
        SCOPED_TRACE(table);
        TempDir dir;
        const std::string path = dir.file("sys.mdb");
        RawDb raw(path);
        raw.exec(table + "create table t_silent (id integer primary key);"
                         "create table t_baseline (sid text primary key);"
                         "insert into t_item(sid,bbid,bbtitle,bbsl) values ('a','1','told',0),"
                         " ('a','2','quiet',0), ('b','2','quiet',0), ('b','3','told',0);"
                         "insert into t_silent select rowid from t_item where bbtitle='quiet';"
                         // A row whose item is long gone.
                         "insert into t_silent values (99);"
                         "insert into t_baseline values ('a'), ('b')");
        const std::string itemsSql = "select rowid||':'||quote(id)||':'||sid||':'||bbid||':'||"
                                     "bbtitle||':'||bbsl from t_item order by rowid";
        const std::string itemSchemaSql =
            "select quote(sql) from sqlite_master where tbl_name='t_item' order by name";
        const std::string items = raw.query(itemsSql);
        const std::string itemSchema = raw.query(itemSchemaSql);

        // Read-only, nothing can be moved or made, and the store still works.
        CItemDb db;
        db.setConnStr("file:" + path + "?mode=ro");
        EXPECT_NO_THROW(db.ensureStateTables());
        EXPECT_TRUE(db.hadFirstCheck("a"));
        const std::vector<ListedItem> listed = db.listItems("a", 10);
        ASSERT_EQ(listed.size(), 2u);
        EXPECT_FALSE(listed[0].firstFound);
        EXPECT_TRUE(db.finds().empty());
        EXPECT_TRUE(db.fullReadUrls().empty());
        EXPECT_EQ(raw.query("select count(*) from t_silent"), "3|");

        db.setConnStr(CCore::getDbConnStrMdb(path));
        ItemDbSession session(db);
        EXPECT_EQ(session.reportedAnywhere({"1", "2", "3"}),
                  (std::unordered_set<std::string>{"1", "3"}));
        EXPECT_EQ(findsOf(db), (std::vector<std::string>{"b/2 baseline  ?", "a/2 baseline  ?"}));
        EXPECT_EQ(raw.query("select count(*) from t_silent"), "0|");
        EXPECT_EQ(raw.query(itemsSql), items);
        EXPECT_EQ(raw.query(itemSchemaSql), itemSchema);

        // An older copy of the program takes an item silently: it counts
        // before the next start moves it, and after.
        raw.exec("insert into t_item(sid,bbid,bbtitle,bbsl) values ('c','4','quiet',0);"
                 "insert into t_silent select max(rowid) from t_item");
        EXPECT_FALSE(db.isBbidReported("4"));
        for (int start = 0; start < 2; ++start) {
            CItemDb again;
            again.setConnStr(CCore::getDbConnStrMdb(path));
            EXPECT_FALSE(again.isBbidReported("4"));
            EXPECT_EQ(findsOf(again).size(), 3u);
        }
        EXPECT_EQ(raw.query("select count(*) from t_silent"), "0|");
    }
}

} // namespace
} // namespace tw::test
