#include "tests/ui/windowfixture.h"
#include "tools/testmarket/testmarket.h"

#include <memory>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

namespace tw::test {
namespace {

class RowMenu : public WindowTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(market.start());
        market.setItems("a", TestMarket::makeItems(3, 100));
        openWindow(market.searchUrl("a") + "\n" + market.searchUrl("b") + "\n",
                   "[General]\ninterval=1\nmaxitemshow=10\n");
    }

    bool marking() { return app->runner().state() == RunController::State::Marking; }

    // As the item list shows them, newest first.
    std::vector<std::string> stored(const std::string& key)
    {
        std::vector<std::string> ids;
        for (const ItemRow& row : db().getLatestItems(key, 100)) {
            ids.push_back(row.bbid);
        }
        return ids;
    }

    TestMarket market;
};

TEST_F(RowMenu, offersItsActionsOnAWatchAndNoneBelowTheLastRow)
{
    std::unique_ptr<QMenu> menu(dlg->rowMenu(1));
    ASSERT_NE(menu, nullptr);
    QStringList texts;
    QStringList disabled;
    for (QAction* action : menu->actions()) {
        texts << action->text();
        if (!action->isEnabled()) {
            disabled << action->text();
        }
    }
    EXPECT_EQ(disabled, QStringList{"下移"}) << "the last row cannot move down";
    EXPECT_EQ(texts, QStringList({"在浏览器中打开搜索页", "查看宝贝列表", "全部标记为已见",
                                  "复制网址", "", "编辑…", "暂停", "静音", "上移", "下移", "",
                                  "删除"}));
    EXPECT_EQ(dlg->rowMenu(2), nullptr);
    EXPECT_EQ(dlg->rowMenu(-1), nullptr);
}

TEST_F(RowMenu, opensAndCopiesTheWatchsOwnUrlAndShowsItsItems)
{
    trigger(1, "在浏览器中打开搜索页");
    EXPECT_EQ(host->urls(), std::vector<std::string>{market.searchUrl("b")});

    trigger(1, "复制网址");
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), market.searchUrl("b"));

    db().insertItem("b", "22", "t", 0);
    dlg->show();
    QString caption;
    closeNextDialog(caption);
    trigger(1, "查看宝贝列表");
    EXPECT_EQ(caption, "共 1 个宝贝");

    // A list file edited by hand: the desktop's opener never gets a local file.
    app->list().replace(0, {"file:///etc/passwd?q=x", "x"});
    const std::size_t opened = host->urls().size();
    trigger(0, "在浏览器中打开搜索页");
    EXPECT_EQ(host->urls().size(), opened);
    ASSERT_FALSE(host->warnings().empty());
    EXPECT_NE(host->warnings().back().find("file:///etc/passwd"), std::string::npos);
}

// The baseline on demand: stored, nothing opened, nothing sounded, and the
// next check of the watch finds only what came after.
TEST_F(RowMenu, markAllSeenStoresWhatTheWatchListsWithoutReportingIt)
{
    trigger(0, "全部标记为已见");
    EXPECT_TRUE(marking());
    EXPECT_FALSE(child<QPushButton>("IDC_START")->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return !marking(); }));
    EXPECT_EQ(cell(0, 1), "已建立基线");
    EXPECT_EQ(stored("a"), (std::vector<std::string>{"100", "101", "102"}));
    EXPECT_TRUE(host->urls().empty());
    EXPECT_TRUE(host->sounds().empty());
    EXPECT_TRUE(child<QPushButton>("IDC_START")->isEnabled());

    market.addItem("a", {"555", "新"});
    dlg->OnStartStop();
    ASSERT_TRUE(waitUntil([&] { return !app->isRunning(); }));
    ASSERT_TRUE(pagesHandedOver());
    EXPECT_EQ(host->urls(), std::vector<std::string>{"http://item.example.com/item.htm?id=555"});
}

// Behind a login wall the marking needs the run's cookie file, read afresh.
TEST_F(RowMenu, markAllSeenGoesThroughALoginWallWithTheRunsCookieFile)
{
    market.requireCookie("login=yes");
    writeFile(dir.file("cookies.txt"), "127.0.0.1\tFALSE\t/\tFALSE\t0\tlogin\tyes\n");
    openWindow(market.searchUrl("a") + "\n", "[General]\ncookiefile=cookies.txt\n");
    trigger(0, "全部标记为已见");
    ASSERT_TRUE(waitUntil([&] { return !marking(); }));
    EXPECT_EQ(cell(0, 1), "已建立基线");
    EXPECT_EQ(stored("a"), (std::vector<std::string>{"100", "101", "102"}));
}

// A real marking that ends after a real import: its result goes to the row
// that now holds its watch, not to the row number it started from.
TEST_F(RowMenu, aMarkingThatEndsAfterAnImportReportsOnItsOwnWatch)
{
    market.setFault("a", {MarketFault::Kind::Stall, 0, 300, -1, 1});
    trigger(0, "全部标记为已见");
    ASSERT_TRUE(market.waitForRequests(1, std::chrono::seconds(20)));
    importFile(market.searchUrl("c") + "\n" + market.searchUrl("a") + "\n");
    ASSERT_TRUE(waitUntil([&] { return !marking(); }, 20000));
    EXPECT_EQ(cell(1, 1), "已建立基线");
    EXPECT_EQ(cell(0, 1), "");
    EXPECT_EQ(stored("a"), (std::vector<std::string>{"100", "101", "102"}));
}

TEST_F(RowMenu, markAllSeenIsRefusedDuringARunOrAnotherMarkingAndAFailureIsShownInTheRow)
{
    // The run's first check reports what "a" lists, which ends the run.
    dlg->OnStartStop();
    ASSERT_TRUE(app->isRunning());
    trigger(0, "全部标记为已见");
    EXPECT_FALSE(marking());
    EXPECT_EQ(host->warnings(),
              std::vector<std::string>{"监控正在执行，无法标记为已见，请先停止。"});
    ASSERT_TRUE(waitUntil([&] { return !app->isRunning(); }, 20000));
    db().deleteAllItems();

    market.setFault("a", {MarketFault::Kind::Status, 503, 0, -1, -1});
    market.setFault("b", {MarketFault::Kind::Stall, 0, 300, -1, 1});
    trigger(1, "全部标记为已见");
    trigger(0, "全部标记为已见");
    EXPECT_EQ(host->warnings().back(), "正在标记另一个监控，请稍候。");
    ASSERT_TRUE(waitUntil([&] { return !marking(); }, 20000));
    EXPECT_EQ(cell(1, 1), "已建立基线");

    trigger(0, "全部标记为已见");
    ASSERT_TRUE(waitUntil([&] { return !marking(); }));
    EXPECT_EQ(cell(0, 1), "检测失败");
    EXPECT_NE(cell(0, 1, Qt::ToolTipRole).indexOf("503"), -1);
    EXPECT_TRUE(stored("a").empty());
}

} // namespace
} // namespace tw::test
