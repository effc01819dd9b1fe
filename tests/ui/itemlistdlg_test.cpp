#include "tests/ui/windowfixture.h"
#include "ui/itemlistdlg.h"

#include <ctime>
#include <filesystem>

#include <QApplication>
#include <QTimer>

namespace tw::test {
namespace {

class ItemList : public WindowTest
{
protected:
    void SetUp() override { openWindow("", "[General]\nmaxitemshow=3\nmallhost=127.0.0.1:9\n"); }

    // Opens the item list window of a key and returns its list.
    QTableWidget* open(const std::string& sid)
    {
        items = std::make_unique<CItemListDlg>(*app->core(), db(), app->settings(), dlg);
        items->sid = sid;
        items->OnInitDialog();
        return items->findChild<QTableWidget*>("IDC_ITEM_LIST");
    }
    std::unique_ptr<CItemListDlg> items;
};

TEST_F(ItemList, showsTheNewestRowsOfTheKeyAndCountsThemInTheCaption)
{
    for (int i = 1; i <= 5; ++i) {
        db().insertItem("lamp", std::to_string(100 + i), "灯 " + std::to_string(i), 0);
    }
    db().insertItem("other", "999", "x", 0);
    db().execute("insert into t_item (sid, bbid, bbtitle, bbsl) values ('lamp', '106', NULL, 0)");
    // 105 found by two watches, the earlier one first; 104 only under another key.
    const std::time_t found = 1792591440;
    db().execute("insert into t_find (sid, bbid, url, found, kind) values ('lamp', '105', 'b', ?, "
                 "'dedupe'), ('lamp', '105', 'a', ?, 'new'), ('other', '104', 'a', 1, 'new')",
                 {found + 60LL, static_cast<long long>(found)});

    QTableWidget* v = open("lamp");
    EXPECT_EQ(items->windowTitle(), "共 3 个宝贝");
    EXPECT_EQ(v->horizontalHeaderItem(0)->text(), "Item id");
    EXPECT_EQ(v->horizontalHeaderItem(1)->text(), "标题");
    EXPECT_EQ(v->horizontalHeaderItem(2)->text(), "发现时间");
    ASSERT_EQ(v->rowCount(), 3);
    EXPECT_EQ(v->item(0, 0)->text(), "106");
    EXPECT_EQ(v->item(0, 1)->text(), "");
    EXPECT_EQ(v->item(1, 0)->text(), "105");
    EXPECT_EQ(v->item(1, 1)->text(), "灯 5");
    EXPECT_EQ(v->item(2, 0)->text(), "104");
    // Local time; empty for items stored before finds were recorded.
    std::tm local{};
    localtime_r(&found, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    EXPECT_EQ(v->item(1, 2)->text(), text);
    EXPECT_EQ(v->item(0, 2)->text(), "");
    EXPECT_EQ(v->item(2, 2)->text(), "");
}

TEST_F(ItemList, oddKeysAreListedAsStoredAndUnreadableRowsGiveAWarning)
{
    db().insertItem("it's", "1", "quoted", 0);
    db().insertItem("", "2", "no key", 0);
    for (const auto& [sid, id] : {std::pair<const char*, const char*>{"it's", "1"}, {"", "2"}}) {
        QTableWidget* v = open(sid);
        ASSERT_EQ(v->rowCount(), 1);
        EXPECT_EQ(v->item(0, 0)->text(), id);
    }
    EXPECT_TRUE(host->warnings().empty());

    std::filesystem::remove(dir.file("sys.mdb"));
    EXPECT_EQ(open("it's")->rowCount(), 0);
    EXPECT_EQ(items->windowTitle(), "共 0 个宝贝");
    ASSERT_EQ(host->warnings().size(), 1u);
    EXPECT_EQ(host->warnings()[0].rfind("无法读取宝贝列表：", 0), 0u);
}

TEST_F(ItemList, doubleClickOpensTheRowsMallPageAndBelowTheRowsNothing)
{
    db().insertItem("lamp", "12345", "a", 0);
    db().insertItem("lamp", "7&x=1/..", "b", 0);
    QTableWidget* v = open("lamp");
    items->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(items.get()));
    doubleClickRow(v, 1);
    doubleClickRow(v, 0, 1);
    doubleClickRow(v, 1, 0, 1);
    EXPECT_EQ(host->urls(), (std::vector<std::string>{
                                "http://127.0.0.1:9/item.htm?id=12345",
                                "http://127.0.0.1:9/item.htm?id=7%26x%3D1%2F..",
                            }));
    EXPECT_TRUE(items->isVisible());
}

TEST_F(ItemList, theMainWindowOpensItForTheDoubleClickedWatch)
{
    openWindow("http://127.0.0.1/s?c=1&q=one\nhttp://127.0.0.1/s?c=1&q=two\n",
               "[General]\nmaxitemshow=10\n");
    db().insertItem("two", "22", "t", 0);
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg));

    QString caption;
    closeNextDialog(caption);
    doubleClickRow(watchList(), 1);
    EXPECT_EQ(caption, "共 1 个宝贝");

    // Below the last row no window opens: a modal one would never be closed.
    doubleClickRow(watchList(), 1, 0, 1);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

} // namespace
} // namespace tw::test
