#include "core/watchlist.h"
#include "tests/ui/windowfixture.h"
#include "tools/testmarket/testmarket.h"

#include <filesystem>
#include <tuple>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>

namespace tw::test {
namespace {

using WatchDlgSetUp = WindowTest;

// Without sys.mdb the settings stay as stored, not overwritten with empty
// controls; with it they are shown as stored, an interval below 1 included.
TEST_F(WatchDlgSetUp, showsTheStoredSettingsAndWithoutDatabaseLeavesThemUntouched)
{
    const std::string ini = "[General]\ninterval=7\nfiltkc=1\n";
    writeFile(dir.file("tidewatch.ini"), ini);
    writeFile(dir.file("_items.txt"), "http://127.0.0.1/s?q=a\r\n");
    {
        Program program(host, dir.path());
        EXPECT_FALSE(program.setUp());
        EXPECT_EQ(program.window().result(), 1);
    }
    EXPECT_EQ(host->warnings(), std::vector<std::string>{"数据库文件无法访问！程序退出。"});
    EXPECT_EQ(readFile(dir.file("tidewatch.ini")), ini);
    EXPECT_EQ(list(), "http://127.0.0.1/s?q=a\r\n");

    for (const char* interval : {"0", "-5", "45"}) {
        openWindow({}, std::string("[General]\ninterval=") + interval + "\nfiltkc=1\n");
        EXPECT_EQ(child<QLineEdit>("IDC_INTERVAL")->text().toStdString(), interval);
        EXPECT_TRUE(child<QCheckBox>("IDC_FILTER_STOCK")->isChecked());
    }
    EXPECT_EQ(host->warnings().size(), 1u);
}

// The offscreen platform, like stock GNOME, has no tray: tray=1 then only
// says so, and the close box still closes down.
TEST_F(WatchDlgSetUp, withoutATrayOnTheDesktopTrayOneOnlySaysSo)
{
    openWindow("http://127.0.0.1/s?q=a\n", "[General]\ntray=1\n");
    EXPECT_EQ(app->tray(), nullptr);
    EXPECT_EQ(child<QLabel>("IDC_STATUS")->text(), "提示：桌面没有系统托盘，tray=1 不起作用");
    dlg->showAtStart(true);
    EXPECT_TRUE(dlg->isMinimized());
    dlg->close();
    EXPECT_EQ(list(), "http://127.0.0.1/s?q=a\r\n") << "closed down";
}

// A value out of range is used as its limit and told once in the status
// line, also when a later Start reads the file again; a value edited between
// two runs is announced and used by the next alert.
TEST_F(WatchDlgSetUp, anOutOfRangeSettingIsToldOnceAndAnEditReachesTheNextRun)
{
    TestMarket market;
    ASSERT_TRUE(market.start());
    market.setItems("a", TestMarket::makeItems(2, 100));
    openWindow(market.searchUrl("a") + "\n",
               "[General]\ninterval=1\nopenlimit=-3\nitemhost=127.0.0.1:8\n");
    auto* status = child<QLabel>("IDC_STATUS");
    EXPECT_EQ(status->text(), "提示：设置 openlimit=-3 超出范围（至少 0），按 0 处理");
    QSignalSpy changed(app.get(), &Program::settingChanged);

    dlg->OnStartStop();
    ASSERT_TRUE(waitUntil([&] { return !app->isRunning(); }));
    EXPECT_EQ(cell(0, 1), "发现更新！(2)");
    EXPECT_TRUE(host->urls().empty()) << "no page opened with the limit at 0";
    EXPECT_EQ(status->text(), "停止。");
    EXPECT_TRUE(changed.isEmpty());

    writeFile(dir.file("tidewatch.ini"), "[General]\ninterval=1\nopenlimit=1\nitemhost=127.0.0.1:8\n");
    market.setItems("a", TestMarket::makeItems(4, 100));
    dlg->OnStartStop();
    ASSERT_TRUE(waitUntil([&] { return !app->isRunning(); }));
    ASSERT_EQ(changed.size(), 1);
    EXPECT_EQ(changed[0][0].toString(), "openlimit");
    ASSERT_TRUE(pagesHandedOver());
    EXPECT_EQ(host->urls(), std::vector<std::string>{"http://127.0.0.1:8/item.htm?id=102"});
    EXPECT_EQ(status->text(), "停止。");
}

TEST_F(WatchDlgSetUp, controlsCarryTheirIdsAndTextsAndEscapeOrEnterDoNothing)
{
    openWindow("http://127.0.0.1/s?q=a\r\n");
    EXPECT_EQ(dlg->windowTitle(), "Tidewatch");
    EXPECT_FALSE(dlg->windowIcon().isNull());

    // Name, id, caption, visible, enabled.
    const std::tuple<const char*, int, const char*, bool, bool> controls[] = {
        {"IDC_START", 1005, "开始", true, true},
        {"IDC_INTERVAL", 1002, "30", true, true},
        {"IDC_WATCH_LIST", 1000, nullptr, true, true},
        {"IDC_STATUS", 1001, "就绪", true, true},
        {"IDC_STATIC_INTERVAL", -1, "检测间隔：", true, true},
        {"IDC_STATIC_SECONDS", -1, "秒", true, true},
        {"IDC_SETTINGS", 1013, "设置…", true, true},
        {"IDC_HISTORY", 1012, "发现记录", true, true},
        {"IDC_IMPORT", 1006, "导入", true, true},
        {"IDC_STOP_ALARM", 1007, "停止报警", false, false},
        {"IDC_FILTER_STOCK", 1009, "过滤库存", false, true},
        {"IDC_CLEAR_DATA", 1010, "清空数据", false, true},
    };
    dlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg));
    for (const auto& [name, id, caption, visible, enabled] : controls) {
        SCOPED_TRACE(name);
        QWidget* w = child(name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->property("controlId").toInt(), id);
        EXPECT_EQ(w->isVisible(), visible);
        EXPECT_EQ(w->isEnabled(), enabled);
        EXPECT_EQ(w->property("text").toString().toStdString(), caption ? caption : "");
    }

    QStringList tabOrder;
    QWidget* w = child("IDC_START");
    do {
        if (w->objectName().startsWith("IDC_") && (w->focusPolicy() & Qt::TabFocus)) {
            tabOrder << w->objectName();
        }
    } while ((w = w->nextInFocusChain()) != child("IDC_START"));
    EXPECT_EQ(tabOrder, QStringList({"IDC_START", "IDC_INTERVAL", "IDC_WATCH_LIST", "IDC_ADD", "IDC_SETTINGS",
                                     "IDC_HISTORY", "IDC_IMPORT", "IDC_STOP_ALARM",
                                     "IDC_FILTER_STOCK", "IDC_CLEAR_DATA"}));
    QString caption;
    closeNextDialog(caption);
    QTest::mouseClick(child<QPushButton>("IDC_HISTORY"), Qt::LeftButton);
    EXPECT_EQ(caption, "发现记录");

    for (const char* name : {"IDC_INTERVAL", "IDC_WATCH_LIST", "IDC_START"}) {
        child(name)->setFocus();
        for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
            QTest::keyClick(child(name), key);
        }
    }
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_FALSE(app->isRunning());
    EXPECT_TRUE(host->warnings().empty());
}

TEST_F(WatchDlgSetUp, listSkipsEmptyLinesAndShowsEachQueryStringInARowOfItsOwn)
{
    openWindow("http://127.0.0.1/search?c=1&q=lamp&sort=new\r\n"
               "\r\n  \n"
               "http://127.0.0.1/no-query\n"
               "http://127.0.0.1/s?q=a?b");
    const QAbstractItemModel* list = watchList()->model();
    ASSERT_EQ(list->columnCount(), 2);
    EXPECT_EQ(list->headerData(0, Qt::Horizontal), "网址");
    EXPECT_EQ(list->headerData(1, Qt::Horizontal), "执行状态");

    ASSERT_EQ(list->rowCount(), 3);
    EXPECT_EQ(cell(0, 0), "c=1&q=lamp&sort=new");
    EXPECT_EQ(cell(1, 0), "");
    EXPECT_EQ(cell(2, 0), "q=a");
    EXPECT_EQ(app->table()->url(0), "http://127.0.0.1/search?c=1&q=lamp&sort=new");
    EXPECT_EQ(app->table()->url(1), "http://127.0.0.1/no-query");
    EXPECT_EQ(app->table()->sid(0), "lamp");
}

// A database made by hand without the look-up index gets it at set-up; one
// where it cannot be made still opens the window.
TEST_F(WatchDlgSetUp, handMadeDatabaseGetsItsIndexAtSetUp)
{
    writeFile(dir.file("sys.mdb"), "");
    {
        CItemDb handMade;
        handMade.setConnStr(CCore::getDbConnStrMdb(dir.file("sys.mdb")));
        handMade.execute("create table t_item(id, sid, bbid, bbtitle, bbsl)");
    }
    const std::string countIndexes = "select count(*) from pragma_index_list('t_item')";
    openWindow();
    EXPECT_EQ(db().queryValue(countIndexes), "1");

    std::filesystem::remove(dir.file("sys.mdb"));
    writeFile(dir.file("sys.mdb"), "");
    openWindow();
    EXPECT_TRUE(host->warnings().empty());
}

TEST_F(WatchDlgSetUp, rowsShowTheSearchWordsDecodedAndTheFileKeepsEveryByte)
{
    const std::string items = "http://127.0.0.1/search?cat=1&q=%E6%89%8B%E6%9C%BA&sort=new\r\n"
                              "http://127.0.0.1/search?cat=1&q=red+shoes&sort=new\r\n"
                              "http://127.0.0.1/s%20x?cat=1&q=%E6%89%ZZ%FF&sort=new\r\n";
    openWindow(items);
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"cat=1&q=手机&sort=new", "http://127.0.0.1/search?cat=1&q=手机&sort=new",
         "%E6%89%8B%E6%9C%BA"},
        {"cat=1&q=red shoes&sort=new", "http://127.0.0.1/search?cat=1&q=red shoes&sort=new",
         "red+shoes"},
        {"cat=1&q=%E6%89%ZZ%FF&sort=new", "http://127.0.0.1/s x?cat=1&q=%E6%89%ZZ%FF&sort=new",
         "%E6%89%ZZ%FF"},
    };
    for (int row = 0; row < 3; ++row) {
        const auto& [shown, tip, sid] = rows[row];
        EXPECT_EQ(cell(row, 0).toStdString(), shown);
        EXPECT_EQ(cell(row, 0, Qt::ToolTipRole).toStdString(), tip);
        EXPECT_EQ(app->table()->sid(row), sid) << "the search key stays as written";
    }
    app.reset();
    EXPECT_EQ(list(), items);
}

using WatchList = WindowTest;

std::string urlOfLength(std::size_t n)
{
    std::string url = "http://127.0.0.1/s?c=1&q=k&p=";
    url.resize(n, 'x');
    return url;
}

TEST_F(WatchList, importSkipsPagedLinesCutsCommentsAndForgetsEveryId)
{
    openWindow("http://127.0.0.1/old?c=1&q=A\r\n");
    app->table()->setLastIds(0, "1,2");
    app->table()->setNewIds(0, "3");
    importFile("http://127.0.0.1/a?c=1&q=A&x=1#note\n"
               "\n"
               "http://127.0.0.1/b?c=1&q=B&s=40\n"
               "# a comment line\n"
               "http://127.0.0.1/c?c=1&q=C\r\n");
    EXPECT_EQ(list(), "http://127.0.0.1/a?c=1&q=A&x=1\r\nhttp://127.0.0.1/c?c=1&q=C\r\n");
    EXPECT_EQ(app->table()->watchCount(), 2);
    ASSERT_EQ(rowCount(), 2);
    EXPECT_EQ(cell(0, 0), "c=1&q=A&x=1");
    EXPECT_EQ(cell(1, 0), "c=1&q=C");
    EXPECT_EQ(app->table()->slot(0).lastIds, "");
    EXPECT_EQ(app->table()->slot(0).newIds, "");
    EXPECT_TRUE(host->warnings().empty());
}

// Cancelled, without a usable line or with a failed write: the stored list
// stays as it was.
TEST_F(WatchList, theStoredListIsKeptUnlessANewOneIsWrittenWhole)
{
    openWindow("http://127.0.0.1/a?c=1&q=A\r\n");
    dlg->OnImport(); // no file name queued: cancelled
    EXPECT_EQ(app->table()->watchCount(), 1);

    importFile("\nhttp://127.0.0.1/b?c=1&q=B&s=0\n#only\n");
    EXPECT_EQ(list(), "http://127.0.0.1/a?c=1&q=A\r\n");
    EXPECT_EQ(rowCount(), 1);
    EXPECT_EQ(app->table()->url(0), "http://127.0.0.1/a?c=1&q=A");
    ASSERT_EQ(host->warnings().size(), 1u);
    EXPECT_EQ(host->warnings()[0], "文件中没有可导入的监控，列表保持不变。");

    // A directory in the temporary file's place fails the write as any user.
    std::filesystem::create_directory(watchlist::tempPathFor(dir.file("_items.txt")));
    importFile("http://127.0.0.1/b?c=1&q=B\n");
    EXPECT_EQ(list(), "http://127.0.0.1/a?c=1&q=A\r\n");
    ASSERT_EQ(host->warnings().size(), 2u);
    EXPECT_NE(host->warnings()[1].find("_items.txt.new"), std::string::npos);
    const Result<void> saved = app->saveWatchList();
    EXPECT_FALSE(saved.ok());
    EXPECT_FALSE(saved.error().empty());
    EXPECT_EQ(list(), "http://127.0.0.1/a?c=1&q=A\r\n");

    // A delete of the last watch is the user's: saved as an empty list.
    std::filesystem::remove(watchlist::tempPathFor(dir.file("_items.txt")));
    app->list().remove(0);
    ASSERT_TRUE(app->saveWatchList().ok());
    EXPECT_EQ(list(), "");
}

// Also without a list file to read back, and with a file that cannot be read:
// the table keeps its watches and their ids, the rows stay in step with it.
TEST_F(WatchList, anImportWithoutAWatchLeavesTableRowsAndFileAlone)
{
    openWindow();
    importFile("http://127.0.0.1/a?c=1&q=A\n");
    app->table()->setLastIds(0, "1,2");
    std::filesystem::remove(dir.file("_items.txt"));

    importFile("\n#only\n");
    EXPECT_EQ(app->table()->watchCount(), 1);
    EXPECT_EQ(rowCount(), 1);
    EXPECT_EQ(app->table()->slot(0).lastIds, "1,2");
    EXPECT_FALSE(std::filesystem::exists(dir.file("_items.txt")));
    EXPECT_EQ(host->warnings(), std::vector<std::string>{"文件中没有可导入的监控，列表保持不变。"});

    host->setNextFileName(dir.file("missing.txt"));
    dlg->OnImport();
    EXPECT_EQ(app->table()->watchCount(), 1);
    EXPECT_EQ(app->table()->slot(0).lastIds, "1,2");
    ASSERT_EQ(host->warnings().size(), 2u);
    EXPECT_NE(host->warnings()[1].find("missing.txt"), std::string::npos) << host->warnings()[1];
}

// An import during a run: a report on its way follows its url to the new row
// and is raised there, what the watch saw last stays with it, and the rows
// show the table even when the list file cannot be written.
TEST_F(WatchList, anImportKeepsAStayingWatchsReportAndTheRowsShowTheTable)
{
    openWindow("http://127.0.0.1/a?c=1&q=A\r\nhttp://127.0.0.1/b?c=1&q=B\r\n");
    WatchTable& table = *app->table();
    table.setLastIdsFor(1, "http://127.0.0.1/b?c=1&q=B", "5,6");
    CheckEnded found;
    found.watch = watchAt(1);
    found.items = itemsOf("77");
    app->runner().postMessage(found);
    std::filesystem::remove(dir.file("_items.txt"));
    std::filesystem::create_directory(watchlist::tempPathFor(dir.file("_items.txt")));

    importFile("http://127.0.0.1/b?c=1&q=B\nhttp://127.0.0.1/d?c=1&q=D\n");
    QCoreApplication::sendPostedEvents(&app->runner());
    ASSERT_EQ(table.watchCount(), 2);
    ASSERT_EQ(rowCount(), 2);
    for (int row = 0; row < 2; ++row) {
        EXPECT_EQ(cell(row, 0).toStdString(), CCore::getFg(table.url(row), '?', 1));
    }
    EXPECT_EQ(table.slot(0).lastIds, "5,6");
    EXPECT_EQ(cell(0, 1), "发现更新！(1)");
    ASSERT_TRUE(pagesHandedOver());
    ASSERT_EQ(host->urls().size(), 1u);
    EXPECT_NE(host->urls()[0].find("id=77"), std::string::npos) << host->urls()[0];
    ASSERT_EQ(host->warnings().size(), 1u) << "the failed save is reported";
    EXPECT_FALSE(std::filesystem::exists(dir.file("_items.txt")));
}

TEST_F(WatchList, linesPastTheTableOrTheirFieldsAreLeftOutAndCountedOnce)
{
    openWindow();
    std::string body;
    for (int i = 0; i < 1003; ++i) {
        body += "http://127.0.0.1/s?q=k" + std::to_string(i) + "\n";
        if (i == 10) {
            body += urlOfLength(WatchTable::kUrlMax + 1) + "\n";
            body += "http://127.0.0.1/s?c=1&q=" + std::string(WatchTable::kSidMax + 1, 'k') + "\n";
            body += urlOfLength(WatchTable::kUrlMax) + "\n";
        }
    }
    importFile(body);
    EXPECT_EQ(app->table()->watchCount(), WatchTable::kSlots);
    EXPECT_EQ(rowCount(), WatchTable::kSlots);
    EXPECT_EQ(app->table()->url(11), urlOfLength(WatchTable::kUrlMax));
    // 1004 that fit, 1000 taken, plus the two too long: each named by its line.
    ASSERT_EQ(host->warnings().size(), 1u);
    const std::string told = host->warnings()[0];
    EXPECT_TRUE(told.starts_with("已导入 1000 个监控。\n第 12 行未载入：过长")) << told;
    EXPECT_NE(told.find("第 13 行未载入：过长"), std::string::npos) << told;
    EXPECT_TRUE(told.ends_with("第 1006 行未载入：超出列表上限（最多 1000 行）")) << told;

    // The saved list holds only what was taken: reading it back warns no more.
    Program again(host, dir.path());
    ASSERT_TRUE(again.setUp());
    EXPECT_EQ(again.table()->watchCount(), WatchTable::kSlots);
    EXPECT_EQ(host->warnings().size(), 1u);
}

// Once a signal asked the program to end, nothing the user could still click
// begins a dialog, a box or a run.
TEST_F(WatchList, afterASignalNoDialogBoxOrRunBegins)
{
    openWindow("http://127.0.0.1/a?c=1&q=A\r\n", "[General]\ninterval=0\n");
    dlg->closeBySignal();
    int dialogs = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* open = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            ++dialogs;
            open->reject();
        }
    });
    closer.start(10);

    dlg->OnWatchListDblClk(0);
    importFile("http://127.0.0.1/b?c=1&q=B\n");
    dlg->OnStartStop(); // an interval of 0 would warn
    dlg->OnClearData();
    EXPECT_EQ(dialogs, 0);
    EXPECT_TRUE(host->warnings().empty());
    EXPECT_TRUE(host->confirms().empty());
    EXPECT_EQ(app->table()->url(0), "http://127.0.0.1/a?c=1&q=A");
    EXPECT_FALSE(app->isRunning());
}

} // namespace
} // namespace tw::test
