#include "core/runflag.h"
#include "core/watchtable.h"
#include "engine/newitemfinder.h"
#include "itemdbfixture.h"
#include "store/itemdb.h"
#include "support/tempdir.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace tw {
namespace {

using WalkEnd = NewItemFinder::WalkEnd;

class NewItemFinderTest : public ::testing::Test
{
protected:
    NewItemFinderTest()
    {
        db.setConnStr(test::makeItemDatabase(dir));
        // Any use of this store fails, so a call that returns cleanly with it
        // cannot have touched the store.
        missingDb.setConnStr(CCore::getDbConnStrMdb(dir.file("absent.mdb")));
        table.replaceAll({{"https://s.example.com/search?&q=keyA&x=1", "keyA"},
                          {"https://s.example.com/search?&q=keyB&x=1", "keyB"}});
    }

    NewItemFinder finder(CItemDb& store, int slot = 0)
    {
        NewItemFinder f(table, store, runFlag, titlesFile, [this] {
            ++stopChecks;
            return hook ? hook(stopChecks) : false;
        });
        f.setCurSlot(slot);
        return f;
    }

    std::vector<std::string> storedIds(const std::string& sid)
    {
        std::vector<std::string> ids;
        for (const ItemRow& row : db.getLatestItems(sid, 1000)) {
            ids.insert(ids.begin(), row.bbid); // oldest first
        }
        return ids;
    }

    test::TempDir dir;
    std::string titlesFile = dir.file("_tmpbbtitles.txt");
    WatchTable table;
    RunFlag runFlag;
    CItemDb db;
    CItemDb missingDb;
    // Called before each id with the count of ids so far; may act mid-walk.
    std::function<bool(int)> hook;
    int stopChecks = 0;
};

TEST_F(NewItemFinderTest, firstCheckStoresAndReportsAllInPageOrder)
{
    test::writeFile(titlesFile, "red^green^blue^");
    auto f = finder(db);

    EXPECT_EQ(f.findNewItems("", "30,10,20"), "30,10,20");
    EXPECT_EQ(f.lastWalkEnd(), WalkEnd::Finished);
    EXPECT_EQ(storedIds("keyA"), (std::vector<std::string>{"30", "10", "20"}));
    const auto rows = db.getLatestItems("keyA", 10);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].bbtitle, "blue");
    EXPECT_EQ(rows[2].bbtitle, "red");
    EXPECT_TRUE(storedIds("keyB").empty());
}

TEST_F(NewItemFinderTest, idsSeenInThePreviousCheckCostNoStoreAccess)
{
    ASSERT_THROW(missingDb.isItemExist("keyA", "1"), DbError);
    auto f = finder(missingDb);
    // Same list: early return. Another order, or a subset: every id is in lastIds.
    EXPECT_EQ(f.findNewItems("1,2,3", "1,2,3"), "");
    EXPECT_EQ(f.findNewItems("1,2,3", "3,1,2"), "");
    EXPECT_EQ(f.findNewItems("1,2,3", "2"), "");
    EXPECT_EQ(f.findNewItems("1,2,3", ""), "");
    EXPECT_EQ(f.lastWalkEnd(), WalkEnd::Finished);
    EXPECT_EQ(stopChecks, 6); // only the walks over "3,1,2" and "2" ran
    // A whole-field test: "1" is not seen because "11" was.
    EXPECT_EQ(f.findNewItems("11,2", "2,1"), "");
    EXPECT_EQ(f.lastWalkEnd(), WalkEnd::Failed);
}

TEST_F(NewItemFinderTest, storedItemsAreScopedToTheWatchKey)
{
    db.insertItem("keyB", "7", "old", CItemDb::kBbsl);
    db.insertItem("keyA", "8", "other watch", CItemDb::kBbsl);
    auto f = finder(db, 1); // the key comes from the slot under check: keyB

    EXPECT_EQ(f.findNewItems("", "7,8"), "8");
    EXPECT_EQ(storedIds("keyB"), (std::vector<std::string>{"7", "8"}));
    EXPECT_EQ(storedIds("keyA"), (std::vector<std::string>{"8"}));
}

TEST_F(NewItemFinderTest, alreadyStoredMiddleCandidateIsSkippedWithoutStrayCommas)
{
    db.insertItem("keyA", "2", "t", CItemDb::kBbsl);
    auto f = finder(db);
    EXPECT_EQ(f.findNewItems("", "1,2,3"), "1,3");
    EXPECT_EQ(f.findNewItems("", "2"), "");
    EXPECT_EQ(f.findNewItems("", "2,3,1"), "");
}

TEST_F(NewItemFinderTest, emptyFieldEndsTheWalk)
{
    auto f = finder(db);
    EXPECT_EQ(f.findNewItems("", "1,,2"), "1");
    EXPECT_EQ(storedIds("keyA"), (std::vector<std::string>{"1"}));
    EXPECT_EQ(f.lastWalkEnd(), WalkEnd::Finished);
}

TEST_F(NewItemFinderTest, titlesPairWithIdsByPositionAndMayBeMissing)
{
    auto f = finder(db);
    EXPECT_EQ(f.findNewItems("", "1,2"), "1,2"); // no titles file at all
    for (const ItemRow& row : db.getLatestItems("keyA", 10)) {
        EXPECT_EQ(row.bbtitle, "");
    }

    test::writeFile(titlesFile, "one^two^three^");
    // Titles follow the position in currentIds, also when earlier ids are skipped.
    EXPECT_EQ(f.findNewItems("1,2", "1,2,3,4"), "3,4");
    const auto rows = db.getLatestItems("keyA", 2);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].bbid, "4");
    EXPECT_EQ(rows[0].bbtitle, ""); // fewer titles than ids
    EXPECT_EQ(rows[1].bbtitle, "three");
}

TEST_F(NewItemFinderTest, stopBeforeTheWalkStoresNothing)
{
    runFlag.set("STOP");
    auto f = finder(db);
    EXPECT_EQ(f.findNewItems("", "1,2"), "");
    EXPECT_EQ(f.lastWalkEnd(), WalkEnd::Stopped);
    EXPECT_TRUE(storedIds("keyA").empty());
}

TEST_F(NewItemFinderTest, stopInTheMiddleKeepsWhatWasFound)
{
    hook = [this](int n) {
        if (n == 2) {
            runFlag.requestStop(); // while the second id is looked at
        }
        return false;
    };
    auto f = finder(db);
    EXPECT_EQ(f.findNewItems("", "1,2,3,4"), "1,2");
    EXPECT_EQ(f.lastWalkEnd(), WalkEnd::Stopped);
    EXPECT_EQ(storedIds("keyA"), (std::vector<std::string>{"1", "2"}));
}

TEST_F(NewItemFinderTest, onlyTheExactStopWordStops)
{
    int n = 0;
    for (const char* word : {"stop", "STOP ", " STOP", "STOPP", "Stop"}) {
        runFlag.set(word);
        auto f = finder(db);
        const std::string id = std::to_string(++n);
        EXPECT_EQ(f.findNewItems("", id), id) << '"' << word << '"';
        EXPECT_EQ(f.lastWalkEnd(), WalkEnd::Finished);
    }
}

TEST_F(NewItemFinderTest, abortStopsTheWalkLikeStop)
{
    hook = [](int n) { return n >= 2; };
    auto f = finder(db);
    EXPECT_EQ(f.findNewItems("", "1,2,3"), "1");
    EXPECT_EQ(f.lastWalkEnd(), WalkEnd::Stopped);
}

TEST_F(NewItemFinderTest, storeErrorMidWalkReturnsWhatWasStoredAndFlagsIt)
{
    const std::string good = db.connStr();
    hook = [&](int n) {
        if (n == 3) {
            db.setConnStr(CCore::getDbConnStrMdb(dir.file("gone.mdb")));
        }
        return false;
    };
    auto f = finder(db);
    EXPECT_EQ(f.findNewItems("", "1,2,3,4"), "1,2");
    EXPECT_EQ(f.lastWalkEnd(), WalkEnd::Failed);
    EXPECT_FALSE(f.lastError().empty());

    // Once the store is back, the next call (same lastIds, as the worker keeps
    // it) reports exactly the ids the failed call never got to.
    db.setConnStr(good);
    hook = nullptr;
    EXPECT_EQ(f.findNewItems("", "1,2,3,4"), "3,4");
    EXPECT_EQ(f.lastWalkEnd(), WalkEnd::Finished);
    EXPECT_TRUE(f.lastError().empty());
    EXPECT_EQ(storedIds("keyA"), (std::vector<std::string>{"1", "2", "3", "4"}));
}

} // namespace
} // namespace tw
