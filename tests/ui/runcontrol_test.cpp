#include "core/text.h"
#include "tests/ui/windowfixture.h"
#include "tools/testmarket/testmarket.h"
#include "ui/unseenitems.h"
#include "ui/qthostservices.h"

#include <filesystem>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace tw::test {
namespace {

class RunControl : public WindowTest
{
protected:
    QPushButton* startButton() { return child<QPushButton>("IDC_START"); }
    QString status() { return child<QLabel>("IDC_STATUS")->text(); }
    QLineEdit* interval() { return child<QLineEdit>("IDC_INTERVAL"); }

    void expectState(const char* caption, const char* text, bool enabled, bool running)
    {
        EXPECT_EQ(startButton()->text().toStdString(), caption);
        EXPECT_EQ(status().toStdString(), text);
        EXPECT_EQ(startButton()->isEnabled(), enabled);
        EXPECT_EQ(app->isRunning(), running);
    }
    bool waitForIdle()
    {
        return waitUntil([this] { return !app->isRunning() && !app->runner().workerAlive(); });
    }
    // A window watching "a" and "b" on market, two items listed under each.
    void openTwoWatches(TestMarket& market, const std::string& ini)
    {
        ASSERT_TRUE(market.start());
        market.setItems("a", TestMarket::makeItems(2, 100));
        market.setItems("b", TestMarket::makeItems(2, 200));
        openWindow(market.searchUrl("a") + "\n" + market.searchUrl("b") + "\n", ini);
    }
};

TEST_F(RunControl, theFourStatesAndTheirTransitions)
{
    openWindow();
    expectState("开始", "就绪", true, false);

    QTest::mouseClick(startButton(), Qt::LeftButton);
    expectState("停止", "执行中", true, true);

    // Called directly, no event is handled in between: the button is disabled
    // at once, the rest waits for WM_POLL_DONE.
    dlg->OnStartStop();
    expectState("停止", "执行中", false, true);
    EXPECT_TRUE(app->runner().runFlag().isStop());
    EXPECT_TRUE(app->runner().workerAlive());

    ASSERT_TRUE(waitForIdle());
    expectState("执行", "停止。", true, false);

    QTest::mouseClick(startButton(), Qt::LeftButton);
    expectState("停止", "执行中", true, true);
    EXPECT_FALSE(app->runner().runFlag().isStop()) << "a new run starts with the flag cleared";

    // An alert during a run stops it as the button does.
    post(PROGRESS_DONE, 3, "5");
    expectState("停止", "执行中", false, true);
    EXPECT_TRUE(app->runner().runFlag().isStop());
    ASSERT_TRUE(waitForIdle());
    expectState("执行", "停止。", true, false);
}

TEST_F(RunControl, aStartRefusedForTheIntervalOrEndedByTheSession)
{
    openWindow("http://127.0.0.1:9/s?c=1&q=a\n");
    for (const char* text : {"", "0", "99999999999999"}) {
        SCOPED_TRACE(text);
        interval()->setText(text);
        startButton()->setFocus();
        dlg->OnStartStop();
        expectState("开始", "就绪", true, false);
        EXPECT_FALSE(app->runner().workerAlive());
        EXPECT_EQ(dlg->focusWidget(), interval());
    }
    EXPECT_EQ(host->warnings(),
              (std::vector<std::string>{"间隔时间不能小于1秒！", "间隔时间不能小于1秒！",
                                        "间隔时间过大，最多 86400 秒！"}));

    // A session that cannot open ends the run at once.
    interval()->setText("30");
    app->setPollOptions({}, [](const SessionSettings&) { return std::unique_ptr<HttpSession>(); });
    dlg->OnStartStop();
    ASSERT_TRUE(waitForIdle());
    expectState("执行", "停止。", true, false);
    EXPECT_EQ(cell(0, 1), "");
}

TEST_F(RunControl, closingDuringARunWaitsForTheWorkerEvenInAStalledDownload)
{
    TestMarket market;
    ASSERT_TRUE(market.start());
    market.setItems("lamp", TestMarket::makeItems(3));
    market.setGlobalFault({MarketFault::Kind::Stall, 0, 0});
    const std::string url = market.searchUrl("lamp");
    openWindow(url + "\n", "[General]\ninterval=1\nignore=二手,坏\n");
    dlg->OnStartStop();
    ASSERT_TRUE(market.waitForRequests(1, std::chrono::seconds(20)));

    interval()->setText("5");
    child<QCheckBox>("IDC_FILTER_STOCK")->setChecked(true);
    dlg->show();
    dlg->close();
    EXPECT_FALSE(app->runner().workerAlive());
    EXPECT_EQ(list(), url + "\r\n");

    Program again(host, dir.path());
    ASSERT_TRUE(again.setUp());
    EXPECT_EQ(again.window().findChild<QLineEdit*>("IDC_INTERVAL")->text(), "5");
    EXPECT_TRUE(again.window().findChild<QCheckBox*>("IDC_FILTER_STOCK")->isChecked());
    EXPECT_EQ(again.settings().ignoreWords, "二手,坏");
}

TEST_F(RunControl, anImportDuringARunHandsTheWorkerTheNewList)
{
    TestMarket market;
    ASSERT_TRUE(market.start());
    openWindow(market.searchUrl("old") + "\n", "[General]\ninterval=1\n");
    dlg->OnStartStop();
    ASSERT_TRUE(market.waitForRequests(1, std::chrono::seconds(20)));

    importFile(market.searchUrl("new") + "\n");
    EXPECT_TRUE(app->isRunning());
    EXPECT_TRUE(waitUntil([&] { return market.requests().back().key == "new"; }, 20000));
}

TEST_F(RunControl, aStartIsRefusedForAnUnreadableCookieFileOrABadProxyReadAfresh)
{
    openWindow("http://127.0.0.1:9/s?c=1&q=a\n",
               "[General]\ninterval=30\ncookiefile=missing.txt\n");
    const auto edit = [&](const std::string& ini) {
        writeFile(dir.file("tidewatch.ini"), ini);
        std::filesystem::last_write_time(dir.file("tidewatch.ini"),
                                         std::filesystem::file_time_type::clock::now() +
                                             std::chrono::seconds(++iniWrites));
    };
    dlg->OnStartStop();
    expectState("开始", "就绪", true, false);
    ASSERT_EQ(host->warnings().size(), 1u);
    EXPECT_TRUE(host->warnings()[0].starts_with("Cookie 文件无法读取：" + dir.file("missing.txt")))
        << host->warnings()[0];

    edit("[General]\ninterval=30\nproxy=ftp://127.0.0.1:21\n");
    dlg->OnStartStop();
    expectState("开始", "就绪", true, false);
    ASSERT_EQ(host->warnings().size(), 2u);
    EXPECT_NE(host->warnings()[1].find("代理地址无效"), std::string::npos) << host->warnings()[1];

    writeFile(dir.file("cookies.txt"), "# Netscape HTTP Cookie File\n");
    edit("[General]\ninterval=30\ncookiefile=cookies.txt\nproxy=socks5://127.0.0.1:1080\n");
    SessionSettings opened;
    app->setPollOptions({}, [&](const SessionSettings& s) {
        opened = s;
        return std::unique_ptr<HttpSession>();
    });
    dlg->OnStartStop();
    ASSERT_TRUE(waitForIdle());
    EXPECT_EQ(host->warnings().size(), 2u);
    EXPECT_EQ(opened.cookieFile, dir.file("cookies.txt"));
    EXPECT_EQ(opened.proxy, "socks5://127.0.0.1:1080");
    EXPECT_EQ(opened.userAgent, "");
}

// Behind a login wall every check fails as blocked: the third in a row marks
// the row and tells the user once, without a box or the alarm; with the
// cookie file the same watch goes through.
TEST_F(RunControl, aBlockedWatchIsMarkedAndToldOnceAndACookieFileLetsItThrough)
{
    TestMarket market;
    ASSERT_TRUE(market.start());
    market.setItems("手机", TestMarket::makeItems(3));
    market.requireCookie("login=yes");
    const std::string url = market.searchUrl("手机");
    // No desktop notification: the note in the window carries the notice.
    openWindow(url + "\n", "[General]\ninterval=1\nnotify=0\n");
    auto* notice = child<QLabel>("IDC_NOTICE");
    EXPECT_TRUE(notice->isHidden());

    dlg->OnStartStop();
    // Blocked from the third answer on, and resting rather than asked every second.
    ASSERT_TRUE(
        waitUntil([&] { return cell(0, 1).startsWith(QStringLiteral("疑似被拦截，暂停至 ")); }));
    EXPECT_FALSE(notice->isHidden());
    EXPECT_NE(notice->text().toStdString().find("手机"), std::string::npos);
    const std::string tip = cell(0, 1, Qt::ToolTipRole).toStdString();
    EXPECT_TRUE(tip.starts_with(text::readableUrl(url) + "\n")) << tip;
    EXPECT_NE(tip.find("被重定向到其他网站 localhost"), std::string::npos) << tip;
    EXPECT_NE(tip.find("\n上次检测 "), std::string::npos) << tip;
    EXPECT_EQ(cell(0, 0, Qt::ToolTipRole).toStdString(), tip);

    notice->hide();
    QCoreApplication::processEvents();
    EXPECT_TRUE(notice->isHidden()) << "one notice for the episode";
    EXPECT_TRUE(host->warnings().empty());
    EXPECT_TRUE(host->sounds().empty());
    dlg->OnStartStop();
    ASSERT_TRUE(waitForIdle());

    writeFile(dir.file("cookies.txt"), "127.0.0.1\tFALSE\t/\tFALSE\t0\tlogin\tyes\n");
    writeFile(dir.file("tidewatch.ini"), "[General]\ninterval=1\ncookiefile=cookies.txt\n");
    std::filesystem::last_write_time(dir.file("tidewatch.ini"),
                                     std::filesystem::file_time_type::clock::now() +
                                         std::chrono::seconds(++iniWrites));
    dlg->OnStartStop();
    ASSERT_TRUE(waitForIdle()) << "the alert ends the run";
    ASSERT_TRUE(pagesHandedOver());
    EXPECT_EQ(host->urls().size(), 3u) << "the three items were reported";
}

// The real worker and window together: the row that alerted keeps its news
// after the run ended, and Stop during a page that never comes cuts it, so
// the window is idle again at once and the cut check claims nothing.
TEST_F(RunControl, theAlertedRowKeepsItsNewsAndStopCutsASlowPage)
{
    TestMarket market;
    ASSERT_NO_FATAL_FAILURE(openTwoWatches(market, "[General]\ninterval=1\n"));
    dlg->OnStartStop();
    ASSERT_TRUE(waitForIdle());
    EXPECT_EQ(cell(0, 1), "发现更新！(2)");
    EXPECT_EQ(cell(1, 1), "") << "the alert ended the run";
    ASSERT_TRUE(pagesHandedOver());
    const std::size_t opened = host->urls().size();
    EXPECT_EQ(opened, 2u);

    // Only the cut can end this page: the stall limit is an hour.
    SessionSettings patient;
    patient.stallTimeoutMs = 3600 * 1000;
    app->setPollOptions(patient);
    market.setGlobalFault({MarketFault::Kind::Stall, 0, 0});
    // Looked at: the row shows its checks again.
    app->unseen().watchSeen(market.searchUrl("a"));
    dlg->OnStartStop();
    ASSERT_TRUE(market.waitForRequests(3, std::chrono::seconds(20)));
    ASSERT_TRUE(waitUntil([&] { return cell(0, 1) == "执行中"; }));
    dlg->OnStartStop();
    ASSERT_TRUE(waitForIdle());
    expectState("执行", "停止。", true, false);
    EXPECT_EQ(cell(0, 1), "已中断");
    EXPECT_EQ(host->urls().size(), opened);
}

// keepwatching=1 with the real worker: each alert does what it always does
// and the run goes on, so a later item on either watch alerts again.
TEST_F(RunControl, keepWatchingAlertsAgainOnEitherWatchAndTheRunGoesOn)
{
    TestMarket market;
    ASSERT_NO_FATAL_FAILURE(openTwoWatches(
        market, "[General]\ninterval=1\nkeepwatching=1\nopenlimit=1\nitemhost=127.0.0.1:8\n"));
    dlg->OnStartStop();
    ASSERT_TRUE(waitUntil([&] { return host->urls().size() == 2; }));
    EXPECT_TRUE(app->isRunning()) << "the first alerts ended nothing";

    market.addItem("a", {"777", "新的 a"});
    ASSERT_TRUE(waitUntil([&] { return host->urls().size() == 3; }));
    EXPECT_EQ(host->urls().back(), "http://127.0.0.1:8/item.htm?id=777");
    market.addItem("b", {"888", "新的 b"});
    ASSERT_TRUE(waitUntil([&] { return host->urls().size() == 4; }));
    EXPECT_EQ(host->urls().back(), "http://127.0.0.1:8/item.htm?id=888");
    EXPECT_TRUE(app->isRunning());
    EXPECT_GE(host->sounds().size(), 4u);
    EXPECT_TRUE(cell(0, 1, Qt::ToolTipRole).contains(QStringLiteral("3 件新宝贝未查看")))
        << cell(0, 1, Qt::ToolTipRole).toStdString();

    dlg->OnStartStop();
    ASSERT_TRUE(waitForIdle());
    EXPECT_EQ(host->urls().size(), 4u);
}

TEST_F(RunControl, messagesArriveWhileARealMessageBoxRunsItsLoop)
{
    openWindow({}, "[General]\ninterval=0\n", std::make_shared<QtHostServices>());
    dlg->show();

    QString statusSeenInBox;
    QTimer::singleShot(0, [&] {
        waitUntil([] { return QApplication::activeModalWidget() != nullptr; });
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), "间隔时间不能小于1秒！");
        app->runner().postMessage(RunEnded{});
        waitUntil([&] { return status() == "停止。"; });
        statusSeenInBox = status();
        box->done(QMessageBox::Ok);
    });
    dlg->OnStartStop(); // refused: the warning box runs its own loop
    EXPECT_EQ(statusSeenInBox, "停止。");
}

} // namespace
} // namespace tw::test
