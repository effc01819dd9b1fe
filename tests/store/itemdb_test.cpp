#include "store/itemdbsession.h"
#include "tests/support/storetestutil.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace tw::test {
namespace {

using namespace std::chrono_literals;

// The ids of the latest count rows under sid, newest first.
std::string latest(CItemDb& db, const std::string& sid, int count = 100)
{
    std::string ids;
    for (const ItemRow& row : db.getLatestItems(sid, count)) {
        ids += (ids.empty() ? "" : ",") + row.bbid;
    }
    return ids;
}

// A watch storing items at 2026-10-21 14:04:00 UTC.
const FindSource kSource{"http://127.0.0.1/s?q=k", std::chrono::sys_seconds(1792591440s)};

using ItemDbTest = StoreFixture;

TEST_F(ItemDbTest, lookUpIsScopedToItsKeyAndTitlesLoseTheirQuotes)
{
    db.insertItem("phone", "1001", "it's 'new'", CItemDb::kBbsl);
    db.insertItem("phone", "1002", "'''", CItemDb::kBbsl);
    db.insertItem("camera", "1001", "a camera", CItemDb::kBbsl);
    EXPECT_TRUE(db.isItemExist("phone", "1001"));
    EXPECT_FALSE(db.isItemExist("camera", "1002"));
    EXPECT_FALSE(db.isItemExist("other", "1001"));
    EXPECT_EQ(latest(db, "phone"), "1002,1001");

    const std::vector<ItemRow> rows = db.getLatestItems("phone", 10);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].bbtitle, "");
    EXPECT_EQ(rows[1].bbtitle, "its new");
}

TEST_F(ItemDbTest, latestItemsAreNewestFirstAndLimitedAlsoAfterClearing)
{
    for (int i = 1; i <= 8; ++i) {
        db.insertItem("k", std::to_string(i), "t" + std::to_string(i), CItemDb::kBbsl);
        db.insertItem("other", std::to_string(100 + i), "", CItemDb::kBbsl);
    }
    EXPECT_EQ(latest(db, "k", 5), "8,7,6,5,4");
    EXPECT_EQ(latest(db, "k"), "8,7,6,5,4,3,2,1");
    EXPECT_EQ(db.getLatestItems("k", 1).front().bbtitle, "t8");
    EXPECT_EQ(latest(db, "nobody"), "");
    // SQLite would read a negative limit as "all rows".
    EXPECT_EQ(latest(db, "k", 0), "");
    EXPECT_EQ(latest(db, "k", -1), "");

    db.deleteAllItems();
    EXPECT_FALSE(db.isItemExist("k", "1"));
    EXPECT_EQ(db.queryValue("select count(*) from t_item"), "0");
    db.insertItem("k", "3", "", CItemDb::kBbsl);
    db.insertItem("k", "4", "", CItemDb::kBbsl);
    EXPECT_EQ(latest(db, "k"), "4,3");
}

TEST_F(ItemDbTest, oddKeysAndIdsRoundTripExactly)
{
    const std::vector<std::string> odd = {
        "it's",        "a''b'",     "'); delete from t_item; --",
        "%_*?",        "二手 相机", "line\r\nend",
        "back\\slash", "",          "\"quoted\"",
    };
    for (const std::string& value : odd) {
        db.insertItem(value, value, "title", CItemDb::kBbsl);
    }
    for (const std::string& value : odd) {
        SCOPED_TRACE(value);
        EXPECT_TRUE(db.isItemExist(value, value));
        EXPECT_EQ(latest(db, value), value);
    }
    EXPECT_EQ(db.queryValue("select count(*) from t_item"), std::to_string(odd.size()));
    EXPECT_FALSE(db.isItemExist("%", "%_*?"));
}

TEST_F(ItemDbTest, nullsReadAsEmptyAndStatementsAreRefusedRatherThanHalfRun)
{
    RawDb(dbPath()).exec("insert into t_item(sid,bbid,bbtitle,bbsl) values('k','1',NULL,7)");
    EXPECT_EQ(db.queryValue("select bbid from t_item where sid=?", {std::string("none")}), "");
    EXPECT_EQ(db.queryValue("select ? + 1", {41LL}), "42");
    EXPECT_EQ(db.getLatestItems("k", 5).at(0).bbtitle, "");

    // A second statement would otherwise be dropped without a word.
    EXPECT_THROW(db.execute("delete from t_item where sid='a'; delete from t_item"), DbError);
    EXPECT_THROW(db.execute("insert into t_item(sid) values(?)", {}), DbError);
    EXPECT_THROW(db.execute("   "), DbError);
    db.execute("insert into t_item(sid,bbid) values(?,?);  ", {std::string("k"), std::string("2")});
    EXPECT_EQ(latest(db, "k"), "2,1");
}

// The quiet stores of a baseline: all rows in one transaction, none twice,
// and nothing at all when one of them cannot be written.
TEST_F(ItemDbTest, itemsStoredTogetherSkipWhatIsThereAndAreAllOrNothing)
{
    db.insertItem("k", "2", "old", CItemDb::kBbsl);
    EXPECT_FALSE(db.hasItems("other"));
    EXPECT_EQ(db.storeSeenItems("k", {{"1", "one's"}, {"2", "dup"}, {"3", "three"}}, kSource,
                                FindKind::Baseline),
              2);
    EXPECT_EQ(db.finds().size(), 2u) << "a find for each row added";
    // The first item listed gets the largest row id.
    EXPECT_EQ(latest(db, "k"), "1,3,2");
    EXPECT_EQ(db.itemTitle("k", "1"), "ones");
    EXPECT_EQ(db.itemTitle("k", "2"), "old");
    EXPECT_EQ(db.itemTitle("other", "1"), "");
    EXPECT_TRUE(db.hasItems("k"));
    EXPECT_EQ(db.storeSeenItems("k", {}, kSource, FindKind::Marked), 0);

    RawDb raw(dbPath());
    raw.exec("create trigger refuse before insert on t_item when new.bbid = '9' "
             "begin select raise(abort, 'refused'); end");
    EXPECT_THROW(db.storeSeenItems("n", {{"9", ""}, {"8", ""}}, kSource, FindKind::Baseline),
                 DbError);
    EXPECT_FALSE(db.hasItems("n"));
    EXPECT_EQ(db.finds().size(), 2u);
}

TEST_F(ItemDbTest, bbidIndexIsMadeOnceAndServesTheLookUpUnderAnyKey)
{
    db.insertItem("a", "5", "", CItemDb::kBbsl);
    EXPECT_TRUE(db.isBbidReported("5"));
    EXPECT_FALSE(db.isBbidReported("6"));
    db.ensureBbidIndex();
    db.ensureBbidIndex();
    EXPECT_EQ(db.queryValue("select count(*) from sqlite_master where type='index' and "
                            "tbl_name='t_item' and sql like '%(bbid)%'"),
              "1");
    EXPECT_TRUE(db.isBbidReported("5"));
}

// Tables that someone made by hand: the five columns, no index, maybe no
// types, maybe in WAL mode, which must stay as it is.
TEST(ItemDbHandMade, worksWithoutIndexOrTypes)
{
    const std::vector<std::string> tables = {
        "create table t_item(id integer primary key autoincrement, sid text, bbid text,"
        " bbtitle text, bbsl integer)",
        "create table t_item(id integer primary key, sid, bbid, bbtitle, bbsl)",
        "create table t_item(id integer primary key, sid, bbid, bbtitle, bbsl);"
        "pragma journal_mode=wal",
        // No integer key: id stays NULL, and only the rowid tells new from old.
        "create table t_item(id int primary key, sid, bbid, bbtitle, bbsl)",
        "create table t_item(sid text, bbid text, bbtitle text, bbsl integer, id integer)",
        "create table t_item(id text primary key, sid, bbid, bbtitle, bbsl)",
    };
    for (const std::string& table : tables) {
        SCOPED_TRACE(table);
        TempDir dir;
        RawDb(dir.file("sys.mdb")).exec(table);
        CItemDb db;
        db.setConnStr(CCore::getDbConnStrMdb(dir.file("sys.mdb")));

        db.insertItem("k", "007", "first", CItemDb::kBbsl);
        db.insertItem("k", "8", "second", CItemDb::kBbsl);
        // Ids are texts: leading zeros make another id.
        EXPECT_TRUE(db.isItemExist("k", "007"));
        EXPECT_FALSE(db.isItemExist("k", "7"));
        EXPECT_EQ(latest(db, "k"), "8,007");
        // Items taken silently are told apart by the record of finds, a
        // table of its own; t_item keeps its five columns.
        EXPECT_FALSE(db.hadFirstCheck("s"));
        EXPECT_EQ(db.storeSeenItems("s", {{"8", ""}, {"9", ""}}, kSource, FindKind::Baseline), 2);
        EXPECT_TRUE(db.hadFirstCheck("s"));
        EXPECT_TRUE(db.isBbidReported("8"));
        EXPECT_FALSE(db.isBbidReported("9"));
        EXPECT_EQ(db.queryValue("select count(*) from pragma_table_info('t_item')"), "5");
        db.setFullReadOwed("u", true);
        db.setFullReadOwed("v", true);
        db.setFullReadOwed("v", false);
        EXPECT_EQ(db.fullReadUrls(), std::set<std::string>{"u"});
        db.deleteAllItems();
        EXPECT_FALSE(db.isItemExist("k", "8"));
        EXPECT_FALSE(db.hadFirstCheck("s"));
        EXPECT_TRUE(db.finds().empty());
        EXPECT_TRUE(db.fullReadUrls().empty());
        if (table.ends_with("wal")) {
            EXPECT_EQ(db.queryValue("pragma journal_mode"), "wal");
        }
    }
}

// At start-up a hand-made table gets the index that look-ups need, once, and
// only when no index already leads with its two columns.
TEST(ItemDbHandMade, indexIsMadeOnlyWhereNoneServesTheLookUp)
{
    using Check = CItemDb::IndexCheck;
    const std::string table = "create table t_item(id, sid, bbid, bbtitle, bbsl);";
    const std::tuple<std::string, Check, int> rows[] = {
        {"", Check::Present, 1}, // as the set-up step makes it
        {table, Check::Made, 1},
        {"create table t_item(id integer primary key autoincrement, sid text, bbid text,"
         " bbtitle text, bbsl integer)",
         Check::Made, 1},
        {table + "create index mine on t_item(BBID, Sid, bbtitle)", Check::Present, 1},
        {table + "create index one on t_item(sid)", Check::Made, 2},
        {table + "create index late on t_item(bbtitle, sid, bbid)", Check::Made, 2},
        {table + "create index part on t_item(sid, bbid) where bbsl=1", Check::Made, 2},
    };
    for (const auto& [sql, check, indexes] : rows) {
        SCOPED_TRACE(sql);
        TempDir dir;
        const std::string path = dir.file("sys.mdb");
        CItemDb db;
        if (sql.empty()) {
            db.setConnStr(makeItemDatabase(path));
        } else {
            RawDb(path).exec(sql);
            db.setConnStr(CCore::getDbConnStrMdb(path));
        }
        db.insertItem("k", "1", "t", CItemDb::kBbsl);

        EXPECT_EQ(db.ensureItemIndex(), check);
        EXPECT_EQ(db.ensureItemIndex(), Check::Present);
        RawDb raw(path);
        EXPECT_EQ(raw.query("select count(*) from pragma_index_list('t_item')"),
                  std::to_string(indexes) + "|");
        EXPECT_NE(raw.query("explain query plan select 1 from t_item where bbid='1' and sid='k'")
                      .find("USING"),
                  std::string::npos);
        EXPECT_TRUE(db.isItemExist("k", "1"));
    }
}

// The worker's kept connection: many ids per statement, no lock held between
// calls, and a file replaced under it is the one it reads next.
TEST_F(ItemDbTest, keptSessionLooksUpInBatchesHoldsNoLockAndFollowsAReplacedFile)
{
    ItemDbSession session(db);
    std::vector<std::string> ids;
    std::vector<FoundRow> items;
    for (int i = 0; i < 700; ++i) {
        ids.push_back(std::to_string(5000 + i));
        if (i % 3 == 0) {
            items.push_back({{ids.back(), "it's " + ids.back()}});
        }
    }
    session.insertItems("k", items, kSource);
    db.insertItem("other", "4", "", CItemDb::kBbsl);
    ids.push_back("4");
    const std::vector<std::string_view> asked(ids.begin(), ids.end());
    const auto under = session.storedUnder("k", asked);
    EXPECT_EQ(under.size(), items.size());
    EXPECT_TRUE(under.contains("5699") && !under.contains("5698") && !under.contains("4"));
    // An item taken silently (a baseline) under another key was never reported.
    db.storeSeenItems("quiet", {{"5001", ""}}, kSource, FindKind::Baseline);
    EXPECT_EQ(session.reportedAnywhere(asked).size(), items.size() + 1);
    // In the order given: the last item has the largest row id.
    EXPECT_EQ(latest(db, "k", 2), "5699,5696");
    EXPECT_EQ(db.itemTitle("k", "5000"), "its 5000");

    // The window writes while the session stays open.
    db.deleteAllItems();
    EXPECT_TRUE(session.storedUnder("k", asked).empty());

    // A database moved away is not read or written behind the user's back.
    std::filesystem::rename(dbPath(), dbPath() + ".aside");
    EXPECT_THROW(session.storedUnder("k", asked), DbError);
    EXPECT_THROW(session.insertItems("k", items, kSource), DbError);
    createItemDatabase(dbPath());
    session.insertItems("k", {{{"1", ""}}}, kSource);
    EXPECT_EQ(latest(db, "k"), "1");
}

TEST(ItemDbHandMade, indexThatCannotBeMadeIsAReasonAndTheStoreStillWorks)
{
    TempDir dir;
    const std::string path = dir.file("sys.mdb");
    RawDb(path).exec("create table t_item(id, sid, bbid, bbtitle, bbsl);"
                     "insert into t_item(sid, bbid) values('k', '1')");
    CItemDb db;
    // Running as root, a file mode would not stop a write; the URI does.
    db.setConnStr("file:" + path + "?mode=ro");
    try {
        db.ensureItemIndex();
        ADD_FAILURE() << "made an index in a read-only database";
    } catch (const DbError& e) {
        EXPECT_NE(std::string(e.what()).find("readonly"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(db.isItemExist("k", "1"));

    TempDir empty;
    RawDb(empty.file("sys.mdb")).exec("pragma user_version=1");
    db.setConnStr(CCore::getDbConnStrMdb(empty.file("sys.mdb")));
    EXPECT_THROW(db.ensureItemIndex(), DbError);
}

TEST(ItemDbPath, directoryWithUriCharactersOpens)
{
    TempDir dir;
    const std::string sub = dir.file("a dir?x=1#frag%20&q");
    std::filesystem::create_directory(sub);
    CItemDb db;
    db.setConnStr(makeItemDatabase(sub + "/sys.mdb"));
    db.insertItem("k", "1", "t", CItemDb::kBbsl);
    EXPECT_TRUE(db.isItemExist("k", "1"));
    // Nothing was made beside it under a name cut at "?" or "#".
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

} // namespace
} // namespace tw::test
