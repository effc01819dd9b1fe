#include "tests/support/storetestutil.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

namespace tw::test {
namespace {

size_t openFileCount()
{
    return static_cast<size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// Runs op, which must fail with code and a message holding reason. Unless
// another connection holds a lock (SQLite then keeps a closed connection's
// file open until the lock goes, so as not to drop it), no file that op opened
// may stay open.
void expectDbError(const std::function<void()>& op, int code, bool countFiles = true,
                   const std::string& reason = "")
{
    const size_t before = openFileCount();
    try {
        op();
        ADD_FAILURE() << "no DbError";
    } catch (const DbError& e) {
        EXPECT_EQ(e.code(), code) << e.what();
        EXPECT_NE(std::string(e.what()), "");
        EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
    }
    if (countFiles) {
        EXPECT_EQ(openFileCount(), before) << "a connection was left open";
    }
}

using ItemDbErrorTest = StoreFixture;

TEST_F(ItemDbErrorTest, missingOrCorruptFileFailsIsLeftAsItWasAndWorksOnceReplaced)
{
    std::filesystem::remove(dbPath());
    expectDbError([&] { db.isItemExist("k", "1"); }, SQLITE_CANTOPEN);
    expectDbError([&] { db.insertItem("k", "1", "t", CItemDb::kBbsl); }, SQLITE_CANTOPEN);
    expectDbError([&] { db.deleteAllItems(); }, SQLITE_CANTOPEN);
    EXPECT_FALSE(std::filesystem::exists(dbPath()));

    const std::string junk(4096, 'x');
    writeFile(dbPath(), junk);
    expectDbError([&] { db.isItemExist("k", "1"); }, SQLITE_NOTADB);
    expectDbError([&] { db.insertItem("k", "1", "t", CItemDb::kBbsl); }, SQLITE_NOTADB);
    // Making the database never overwrites a file, nor makes a directory.
    EXPECT_THROW(createItemDatabase(dbPath()), DbError);
    EXPECT_EQ(readFile(dbPath()), junk);
    EXPECT_THROW(createItemDatabase(dir.file("no/such/sys.mdb")), DbError);

    std::filesystem::remove(dbPath());
    createItemDatabase(dbPath());
    db.insertItem("k", "1", "t", CItemDb::kBbsl);
    EXPECT_TRUE(db.isItemExist("k", "1"));
}

TEST_F(ItemDbErrorTest, lockHeldPastTheBusyWaitFailsThenClears)
{
    db.insertItem("k", "1", "t", CItemDb::kBbsl);
    db.setBusyTimeout(std::chrono::milliseconds(20));
    const size_t before = openFileCount();
    {
        RawDb holder(dbPath());
        holder.exec("BEGIN EXCLUSIVE");
        expectDbError([&] { db.insertItem("k", "2", "t", CItemDb::kBbsl); }, SQLITE_BUSY, false);
        expectDbError([&] { db.isItemExist("k", "1"); }, SQLITE_BUSY, false);
        expectDbError([&] { db.deleteAllItems(); }, SQLITE_BUSY, false);
        holder.exec("COMMIT");
    }
    EXPECT_EQ(openFileCount(), before) << "a connection was left open";
    EXPECT_FALSE(db.isItemExist("k", "2"));
    db.insertItem("k", "2", "t", CItemDb::kBbsl);
    EXPECT_TRUE(db.isItemExist("k", "2"));
    EXPECT_TRUE(db.isItemExist("k", "1"));
}

TEST_F(ItemDbErrorTest, missingTableAndBadSqlCarryTheReason)
{
    RawDb(dbPath()).exec("drop table t_item");
    expectDbError([&] { db.isItemExist("k", "1"); }, SQLITE_ERROR, true, "no such table: t_item");
    expectDbError([&] { db.execute("selec 1"); }, SQLITE_ERROR);
}

} // namespace
} // namespace tw::test
