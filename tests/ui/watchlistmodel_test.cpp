#include "core/text.h"
#include "tests/support/roomfixture.h"
#include "ui/unseenitems.h"
#include "ui/watchlistmodel.h"

namespace tw::test {
namespace {

// The rows as the window shows them, over a real run; no window.
class WatchListModelTest : public RoomTest
{
protected:
    WatchListModelTest()
    {
        market.setItems("a", TestMarket::makeItems(2, 100));
        market.setItems("b", TestMarket::makeItems(2, 200));
        market.setItems("c", TestMarket::makeItems(2, 300));
    }

    QString status(int row) const
    {
        return rows.index(row, WatchListModel::StatusColumn).data().toString();
    }
    std::string tip(int row) const
    {
        return rows.index(row, WatchListModel::StatusColumn)
            .data(Qt::ToolTipRole)
            .toString()
            .toStdString();
    }
    bool checking(int row)
    {
        return processEventsUntil([&] { return status(row) == "执行中"; });
    }
    bool tipHas(int row, const std::string& part) const
    {
        return tip(row).find(part) != std::string::npos;
    }

    UnseenItems unseen{run, [] { return false; }};
    WatchListModel rows{list, run, unseen};
};

// With the quiet first check on: a row shows its check while it runs, then
// what it found; a find is the row's news, with its count, until the
// watch's item list is opened, also through later checks, and the time of
// the find outlives the run.
TEST_F(WatchListModelTest, eachRowShowsWhatItsWatchsLastCheckFound)
{
    settings.baseline = 1;
    market.setFault("b", {MarketFault::Kind::Status, 500});
    watch({"a", "b"});
    EXPECT_EQ(rows.index(0, WatchListModel::UrlColumn).data(), "cat=1&q=a&sort=new");
    answers.hold("a");
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(checking(0));
    EXPECT_EQ(status(1), "");
    answers.release();
    ASSERT_TRUE(passEnded());
    EXPECT_EQ(status(0), "已建立基线");
    EXPECT_EQ(status(1), "检测失败");
    EXPECT_TRUE(tip(1).starts_with(text::readableUrl(market.searchUrl("b")) + "\n")) << tip(1);
    EXPECT_TRUE(tipHas(1, ": HTTP 500\n上次检测 ")) << tip(1);

    market.clearFaults();
    market.addItem("a", {"777", "新的 a"});
    ASSERT_TRUE(nextPass());
    EXPECT_EQ(status(0), "发现更新！(1)");
    EXPECT_EQ(status(1), "已建立基线");
    EXPECT_TRUE(tipHas(0, "\n1 件新宝贝未查看")) << tip(0);

    answers.hold("a");
    clock.wake();
    ASSERT_TRUE(checking(0));
    answers.release();
    ASSERT_TRUE(passEnded());
    EXPECT_EQ(status(0), "发现更新！(1)");
    EXPECT_TRUE(tipHas(0, "上次发现新宝贝")) << tip(0);
    EXPECT_TRUE(tipHas(0, "\n1 件新宝贝未查看")) << tip(0);
    unseen.watchSeen(market.searchUrl("a"));
    EXPECT_FALSE(tipHas(0, "未查看")) << tip(0);
    EXPECT_EQ(status(0), "无更新");

    ASSERT_TRUE(stopRun());
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(passEnded());
    EXPECT_EQ(status(0), "无更新");
    EXPECT_TRUE(tipHas(0, "上次发现新宝贝")) << tip(0);
}

// The end of a check reaches the row of the watch it checked, not the row
// where that watch was: an import under way moves and removes watches. A
// stop cuts a check short, and the row says so without losing what the
// check before it said.
TEST_F(WatchListModelTest, aCheckEndsOnItsOwnWatchsRowThroughAnImportOrAStop)
{
    watch({"a", "b", "c"});
    ASSERT_TRUE(startRun());
    ASSERT_TRUE(passEnded());
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(status(row), "发现更新！(2)") << row;
    }
    for (const char* key : {"a", "b", "c"}) {
        unseen.watchSeen(market.searchUrl(key));
    }

    answers.hold("a");
    clock.wake();
    ASSERT_TRUE(checking(0));
    importKeys({"c", "b"});
    EXPECT_EQ(rows.rowCount(), 2);
    EXPECT_EQ(status(0), "");
    answers.release();
    ASSERT_TRUE(passEnded());
    EXPECT_EQ(status(0), "") << "the check of a watch that left the list is no other's";
    EXPECT_EQ(status(1), "无更新");

    answers.hold("b");
    clock.wake();
    ASSERT_TRUE(checking(1));
    ASSERT_TRUE(stopRun());
    EXPECT_EQ(status(0), "无更新");
    EXPECT_EQ(status(1), "已中断");
    EXPECT_TRUE(tipHas(1, "\n上次检测 ")) << tip(1);
}

} // namespace
} // namespace tw::test
