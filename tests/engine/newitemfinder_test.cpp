#include "core/runflag.h"
#include "core/watchtable.h"
#include "engine/newitemfinder.h"
#include "store/itemdb.h"
#include "tests/support/storetestutil.h"
#include "tests/support/tempdir.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace tw {
namespace {

using test::storedIds;

class NewItemFinderTest : public ::testing::Test
{
protected:
    NewItemFinderTest()
    {
        db.setConnStr(test::makeItemDatabase(dir.file("sys.mdb")));
        table.replaceAll({{"https://s.example.com/search?&q=keyA&x=1", "keyA"},
                          {"https://s.example.com/search?&q=keyB&x=1", "keyB"}});
    }

    // What findNewItems reported and how its walk ended.
    std::string walk(const std::string& lastIds, const std::string& currentIds)
    {
        const std::string found = finder.findNewItems(lastIds, currentIds);
        const char* ends[] = {"finished", "stopped", "failed"};
        return found + " " + ends[int(finder.lastWalkEnd())];
    }

    test::TempDir dir;
    std::string titlesFile = dir.file("_tmpbbtitles.txt");
    WatchTable table;
    RunFlag runFlag;
    CItemDb db;
    // Called before each id with the count of ids so far; it may act mid-walk
    // and returns whether to abort.
    std::function<bool(int)> hook;
    int stopChecks = 0;
    NewItemFinder finder{table, db, runFlag, titlesFile,
                         [this] { return hook ? hook(++stopChecks) : false; }};
};

TEST_F(NewItemFinderTest, reportsAndStoresNewIdsInPageOrderWithTheTitleAtTheirPosition)
{
    EXPECT_EQ(walk("", "30,10"), "30,10 finished"); // no titles file at all
    test::writeFile(titlesFile, "red^green^blue^");
    // 30 was in the previous check, 10 is stored already; 40 has no title.
    EXPECT_EQ(walk("30", "30,10,20,40"), "20,40 finished");
    // Newest check first, each check's items in page order.
    EXPECT_EQ(storedIds(db, "keyA"), "20,40,30,10");
    EXPECT_EQ(storedIds(db, "keyB"), "");
    std::string titles;
    for (const ItemRow& row : db.getLatestItems("keyA", 10)) {
        titles += row.bbtitle + "^";
    }
    EXPECT_EQ(titles, "blue^^^^");
}

TEST_F(NewItemFinderTest, idsSeenInThePreviousCheckCostNoStoreAccess)
{
    // Any use of this store fails, so a walk that finishes cannot have used it.
    db.setConnStr(CCore::getDbConnStrMdb(dir.file("absent.mdb")));
    // Same list: early return. Another order, or a subset: every id is in lastIds.
    for (const char* current : {"1,2,3", "3,1,2", "2", ""}) {
        EXPECT_EQ(walk("1,2,3", current), " finished") << current;
    }
    // A whole-field test: "1" is not seen because "11" was.
    EXPECT_EQ(walk("11,2", "2,1"), " failed");
}

// The key comes from the slot under check. An id stored under it is skipped
// without stray commas; one stored under another key is new here. An empty
// field ends the walk.
TEST_F(NewItemFinderTest, storedItemsAreSkippedPerWatchKey)
{
    db.insertItem("keyB", "2", "old", CItemDb::kBbsl);
    db.insertItem("keyA", "3", "other watch", CItemDb::kBbsl);
    finder.setCurSlot(1);
    EXPECT_EQ(walk("", "1,2,3"), "1,3 finished");
    EXPECT_EQ(walk("", "2,3,1"), " finished");
    EXPECT_EQ(walk("", "4,,5"), "4 finished");
    EXPECT_EQ(storedIds(db, "keyB"), "4,1,3,2");
    EXPECT_EQ(storedIds(db, "keyA"), "3");
}

// A stop holds until cleared; what was found before a stop or an abort
// mid-walk is kept and reported.
TEST_F(NewItemFinderTest, stopOrAbortEndsTheWalkAndKeepsWhatWasFound)
{
    runFlag.requestStop();
    EXPECT_EQ(walk("", "1,2"), " stopped");
    EXPECT_EQ(storedIds(db, "keyA"), "");
    runFlag.clear();
    for (const std::string id : {"1", "2", "3", "4", "5"}) {
        EXPECT_EQ(walk("", id), id + " finished");
    }

    hook = [this](int n) {
        if (n == 2) {
            runFlag.requestStop(); // while the second id is looked at
        }
        return false;
    };
    EXPECT_EQ(walk("", "11,12,13,14"), "11,12 stopped");
    EXPECT_EQ(storedIds(db, "keyA"), "11,12,5,4,3,2,1");

    runFlag.clear();
    stopChecks = 0;
    hook = [](int n) { return n >= 2; };
    EXPECT_EQ(walk("", "15,16,17"), "15 stopped");
}

// A check's items are stored together or not at all: a store that fails
// after the look-up leaves nothing stored and nothing reported.
TEST_F(NewItemFinderTest, storeErrorMidWalkStoresAndReportsNothingAndTheNextWalkReportsAll)
{
    const std::string good = db.connStr();
    hook = [&](int n) {
        if (n == 3) {
            db.setConnStr(CCore::getDbConnStrMdb(dir.file("gone.mdb")));
        }
        return false;
    };
    EXPECT_EQ(walk("", "1,2,3,4"), " failed");
    EXPECT_NE(finder.lastError().find("gone.mdb"), std::string::npos) << finder.lastError();

    // Once the store is back, the next call (same lastIds, as the worker keeps
    // it) reports every id.
    db.setConnStr(good);
    hook = nullptr;
    EXPECT_EQ(walk("", "1,2,3,4"), "1,2,3,4 finished");
    EXPECT_TRUE(finder.lastError().empty());
    EXPECT_EQ(storedIds(db, "keyA"), "1,2,3,4");
}

} // namespace
} // namespace tw
