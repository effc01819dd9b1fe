#include "ui/dialogunits.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

namespace tw::test {
namespace {

class WatchDlgSetUp : public WindowTest
{
};

TEST_F(WatchDlgSetUp, withoutDatabaseWarnsAndEndsWithoutTouchingTheSettings)
{
    const std::string ini = "[General]\ninterval=7\nfiltkc=1\n";
    writeIni(ini);
    writeList("http://127.0.0.1/s?q=a\r\n");
    {
        CWatchDlg window(host, dir.path());
        EXPECT_FALSE(window.OnInitDialog());
        EXPECT_FALSE(window.setUpComplete());
        EXPECT_EQ(window.table(), nullptr);
        EXPECT_EQ(window.findChild<QTableWidget*>("IDC_WATCH_LIST")->rowCount(), 0);
        EXPECT_EQ(window.result(), 1);
    }
    ASSERT_EQ(host->warnings().size(), 1u);
    EXPECT_EQ(host->warnings()[0], "数据库文件无法访问！程序退出。");
    EXPECT_EQ(readFile(dir.file("tidewatch.ini")), ini);
    EXPECT_EQ(list(), "http://127.0.0.1/s?q=a\r\n");
}

TEST_F(WatchDlgSetUp, showsTheStoredSettingsUnchanged)
{
    for (const char* interval : {"0", "-5", "45"}) {
        TempDir own;
        createItemDatabase(own.file("sys.mdb"));
        writeFile(own.file("tidewatch.ini"),
                  std::string("[General]\ninterval=") + interval + "\nfiltkc=1\n");
        CWatchDlg window(host, own.path());
        ASSERT_TRUE(window.OnInitDialog());
        EXPECT_EQ(window.findChild<QLineEdit*>("IDC_INTERVAL")->text().toStdString(), interval);
        EXPECT_TRUE(window.findChild<QCheckBox*>("IDC_FILTER_STOCK")->isChecked());
        EXPECT_EQ(window.table()->watchCount(), 0);
    }
    EXPECT_TRUE(host->warnings().empty());
}

TEST_F(WatchDlgSetUp, everyControlHasItsIdCaptionGeometryAndState)
{
    CWatchDlg& w = openWindow();
    const DialogUnits du(w.font());
    EXPECT_EQ(w.windowTitle(), "Tidewatch");
    EXPECT_FALSE(w.windowIcon().isNull());
    EXPECT_EQ(w.size(), QSize(du.x(495), du.y(272)));

    struct Control
    {
        const char* name;
        int id;
        const char* caption;
        QRect units;
        bool visible;
        bool enabled;
    };
    const Control controls[] = {
        {"IDC_START", 1005, "开始", {438, 251, 50, 14}, true, true},
        {"IDC_INTERVAL", 1002, "30", {51, 7, 39, 14}, true, true},
        {"IDC_WATCH_LIST", 1000, nullptr, {7, 42, 481, 188}, true, true},
        {"IDC_STATUS", 1001, "就绪", {7, 257, 178, 8}, true, true},
        {"IDC_STATIC_INTERVAL", -1, "检测间隔：", {7, 9, 41, 8}, true, true},
        {"IDC_STATIC_SECONDS", -1, "秒", {98, 9, 9, 8}, true, true},
        {"IDC_IMPORT", 1006, "导入", {438, 26, 50, 14}, true, true},
        {"IDC_STOP_ALARM", 1007, "停止报警", {295, 251, 50, 14}, false, false},
        {"IDC_FILTER_STOCK", 1009, "过滤库存", {158, 7, 48, 10}, false, true},
        {"IDC_CLEAR_DATA", 1010, "清空数据", {223, 7, 50, 14}, false, true},
    };
    w.show();
    for (const Control& c : controls) {
        SCOPED_TRACE(c.name);
        auto* widget = w.findChild<QWidget*>(c.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->property("controlId").toInt(), c.id);
        EXPECT_EQ(widget->geometry(),
                  du.rect(c.units.x(), c.units.y(), c.units.width(), c.units.height()));
        EXPECT_EQ(widget->isVisible(), c.visible);
        EXPECT_EQ(widget->isEnabled(), c.enabled);
        if (!c.caption) {
            continue;
        }
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(widget)) {
            text = b->text();
        } else if (auto* l = qobject_cast<QLabel*>(widget)) {
            text = l->text();
        } else if (auto* e = qobject_cast<QLineEdit*>(widget)) {
            text = e->text();
        }
        EXPECT_EQ(text.toStdString(), c.caption);
    }
}

TEST_F(WatchDlgSetUp, tabOrderFollowsTheTemplate)
{
    CWatchDlg& w = openWindow();
    QStringList order;
    QWidget* start = w.findChild<QWidget*>("IDC_START");
    QWidget* next = start;
    do {
        if (next->objectName().startsWith("IDC_") && (next->focusPolicy() & Qt::TabFocus)) {
            order << next->objectName();
        }
        next = next->nextInFocusChain();
    } while (next != start);
    EXPECT_EQ(order, QStringList({"IDC_START", "IDC_INTERVAL", "IDC_WATCH_LIST", "IDC_IMPORT",
                                  "IDC_STOP_ALARM", "IDC_FILTER_STOCK", "IDC_CLEAR_DATA"}));
}

TEST_F(WatchDlgSetUp, listShowsEachQueryStringInARowOfItsOwn)
{
    CWatchDlg& w = openWindow("http://127.0.0.1/search?c=1&q=lamp&sort=new\r\n"
                              "\r\n"
                              "http://127.0.0.1/no-query\n"
                              "http://127.0.0.1/s?q=a?b\n");
    auto* list = w.findChild<QTableWidget*>("IDC_WATCH_LIST");
    EXPECT_TRUE(list->showGrid());
    EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_FALSE(list->verticalHeader()->isVisible());
    ASSERT_EQ(list->columnCount(), 2);
    EXPECT_EQ(list->horizontalHeaderItem(0)->text(), "网址");
    EXPECT_EQ(list->horizontalHeaderItem(1)->text(), "执行状态");
    EXPECT_EQ(list->columnWidth(0), 450);
    EXPECT_EQ(list->columnWidth(1), 220);

    ASSERT_EQ(list->rowCount(), 3);
    EXPECT_EQ(w.table()->watchCount(), 3);
    EXPECT_EQ(list->item(0, 0)->text(), "c=1&q=lamp&sort=new");
    EXPECT_EQ(list->item(1, 0)->text(), "");
    EXPECT_EQ(list->item(2, 0)->text(), "q=a");
    EXPECT_EQ(w.table()->sid(0), "lamp");
    EXPECT_EQ(w.table()->sid(1), "");
    EXPECT_EQ(w.table()->url(1), "http://127.0.0.1/no-query");
    EXPECT_EQ(w.table()->lastIds(0), "");
}

TEST_F(WatchDlgSetUp, escapeAndEnterNeitherCloseNorPress)
{
    CWatchDlg& w = openWindow("http://127.0.0.1/s?q=a\r\n");
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    for (const char* name : {"IDC_INTERVAL", "IDC_WATCH_LIST", "IDC_START"}) {
        QWidget* target = w.findChild<QWidget*>(name);
        target->setFocus();
        for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
            QTest::keyClick(target, key);
        }
    }
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.isRunning());
    EXPECT_TRUE(host->warnings().empty());
}

} // namespace
} // namespace tw::test
