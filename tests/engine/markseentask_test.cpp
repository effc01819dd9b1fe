#include "tests/support/storetestutil.h"
#include "core/apppaths.h"
#include "core/zuvira.h"
#include "engine/markseentask.h"
#include "engine/pollmessages.h"
#include "store/itemdb.h"
#include "tests/support/tempdir.h"
#include "tools/testmarket/testmarket.h"

#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

namespace tw {
namespace {

using test::MarketFault;
using test::TestMarket;

class MarkSeenTaskTest : public ::testing::Test, public PollSink
{
protected:
    MarkSeenTaskTest()
    {
        EXPECT_TRUE(market.start());
        db.setConnStr(test::makeItemDatabase(dir.file("sys.mdb")));
    }

    void postMessage(PollMessage m) override
    {
        std::lock_guard lock(mutex);
        if (const auto* end = std::get_if<MarkingEnded>(&m)) {
            posted.push_back(*end);
        } else {
            ADD_FAILURE() << "the task posted a message of a run";
        }
    }

    MarkSeenParams params(const std::string& key)
    {
        MarkSeenParams p{*this, db, core, 42, 7, market.searchUrl(key), key};
        p.pageFile = paths.pageFile;
        p.titlesFile = paths.titlesFile;
        return p;
    }

    std::vector<std::string> stored(const std::string& key)
    {
        std::vector<std::string> ids;
        for (const ItemRow& row : db.getLatestItems(key, 1000)) {
            ids.insert(ids.begin(), row.bbid + ":" + row.bbtitle);
        }
        return ids;
    }

    test::TempDir dir;
    TestMarket market;
    CCore core{nullptr, dir.path()};
    AppPaths paths = AppPaths::under(dir.path());
    CItemDb db;
    std::mutex mutex;
    std::vector<MarkingEnded> posted;
};

TEST_F(MarkSeenTaskTest, storesEveryListedItemOnceWithItsTitleAndReportsTheEnd)
{
    market.setItems("alpha", TestMarket::makeItems(45, 100, "标题"));
    db.insertItem("alpha", "101", "标题 101", 0);
    CMarkSeenTask task(params("alpha"));
    ASSERT_TRUE(task.start());
    task.join();

    ASSERT_EQ(posted.size(), 1u);
    EXPECT_TRUE(posted[0].stored);
    EXPECT_EQ(posted[0].reason, "");
    // The result names its watch.
    EXPECT_EQ(posted[0].watch.id, 42u);
    EXPECT_EQ(posted[0].watch.slot, 7);
    EXPECT_EQ(posted[0].watch.url, market.searchUrl("alpha"));
    EXPECT_TRUE(task.succeeded());
    EXPECT_EQ(task.stored(), 44);
    const std::vector<std::string> rows = stored("alpha");
    ASSERT_EQ(rows.size(), 45u);
    EXPECT_EQ(rows[0], "101:标题 101");
    // Oldest first: the top of the first page is stored last, so the item
    // list shows it first.
    EXPECT_EQ(rows[1], "144:标题 144");
    EXPECT_EQ(rows[44], "100:标题 100");
}

TEST_F(MarkSeenTaskTest, aFailedPageStoresNothingAndTellsWhy)
{
    market.setItems("alpha", TestMarket::makeItems(45, 100));
    market.setFault("alpha", {MarketFault::Kind::Status, 503, 0, 40, -1});
    CMarkSeenTask task(params("alpha"));
    ASSERT_TRUE(task.start());
    task.join();

    ASSERT_EQ(posted.size(), 1u);
    EXPECT_FALSE(posted[0].stored);
    EXPECT_EQ(posted[0].reason, task.error());
    EXPECT_FALSE(task.succeeded());
    EXPECT_NE(task.error().find("503"), std::string::npos) << task.error();
    EXPECT_TRUE(stored("alpha").empty());
}

TEST_F(MarkSeenTaskTest, abortDuringAStalledPageEndsAtOnceWithoutStoring)
{
    market.setItems("alpha", TestMarket::makeItems(3, 100));
    market.setFault("alpha", {MarketFault::Kind::Stall, 500, 0, 0, -1});
    CMarkSeenTask task(params("alpha"));
    ASSERT_TRUE(task.start());
    ASSERT_TRUE(market.waitForRequests(1, std::chrono::seconds(10)));
    task.abort();
    task.join();

    ASSERT_EQ(posted.size(), 1u);
    EXPECT_FALSE(posted[0].stored);
    EXPECT_TRUE(stored("alpha").empty());
}

} // namespace
} // namespace tw
