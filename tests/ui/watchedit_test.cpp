#include "core/watchlist.h"
#include "core/watchoptions.h"
#include "desktop/alertcommand.h"
#include "tests/support/roomfixture.h"
#include "tests/ui/windowfixture.h"
#include "tools/testmarket/testmarket.h"
#include "ui/unseenitems.h"
#include "ui/watcheditdlg.h"
#include "ui/watchlistmodel.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>

namespace tw::test {
namespace {

using namespace std::chrono_literals;

// One watch at a time from the window, over the real worker, store and test
// marketplace, the worker's time held by the test.
class WatchEdit : public WindowTest
{
protected:
    void SetUp() override { ASSERT_TRUE(market.start()); }
    void TearDown() override
    {
        answers.release();
        clock.interrupt();
        app.reset();
        market.setBeforeAnswer({});
    }

    void open(const std::vector<std::string>& keys, const std::string& ini = {})
    {
        std::string items;
        for (const std::string& key : keys) {
            items += market.searchUrl(key) + "\n";
        }
        // The first pass is quiet: what a test adds later is what is new.
        openWindow(items, "[General]\ninterval=1\nkeepwatching=1\nnotify=0\nbaseline=1\n"
                          "itemhost=127.0.0.1:8\n" +
                              ini);
        SessionSettings session;
        session.stallTimeoutMs = 0;
        session.pageDeadlineMs = 0;
        app->setPollOptions(session, {}, &clock);
        app->rows().setClock([this] { return clock.wallNow(); });
    }

    void start()
    {
        clock.rearm();
        dlg->OnStartStop();
        ASSERT_TRUE(app->isRunning());
    }
    // Until the worker waits after a pass, with what it posted shown.
    bool passEnded()
    {
        const bool ended = waitUntil([this] { return clock.asleep() || !app->isRunning(); });
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        return ended;
    }
    bool nextPass(std::chrono::milliseconds ahead = {})
    {
        clock.wake(ahead);
        // The wake is seen once the worker has left its sleep.
        waitUntil([this] { return !clock.asleep(); });
        return passEnded();
    }

    int asked(const std::string& key) const
    {
        int n = 0;
        for (const MarketRequest& r : market.requests()) {
            n += r.key == key && r.offset <= 0 ? 1 : 0;
        }
        return n;
    }

    // Once the watch dialog opens, fill runs on it, then "确定" is pressed;
    // what the dialog said about its fields is kept in problem.
    void onDialog(std::function<void(CWatchEditDlg&)> fill)
    {
        QTimer::singleShot(0, [this, fill] {
            waitUntil(
                [] { return qobject_cast<CWatchEditDlg*>(QApplication::activeModalWidget()); });
            auto* d = qobject_cast<CWatchEditDlg*>(QApplication::activeModalWidget());
            if (!d) {
                return;
            }
            fill(*d);
            d->accept();
            problem = d->findChild<QLabel*>("IDC_WATCH_PROBLEM")->text().toStdString();
            if (d->isVisible()) {
                d->reject();
            }
        });
    }
    // Once the watch dialog opens, act runs on it; then it is cancelled.
    void withDialog(std::function<void(CWatchEditDlg&)> act)
    {
        QTimer::singleShot(0, [act] {
            waitUntil(
                [] { return qobject_cast<CWatchEditDlg*>(QApplication::activeModalWidget()); });
            if (auto* d = qobject_cast<CWatchEditDlg*>(QApplication::activeModalWidget())) {
                act(*d);
                d->reject();
            }
        });
    }
    // "试一下" pressed and awaited: each item's verdict, "verdict title".
    static std::vector<std::string> tryIt(CWatchEditDlg& d)
    {
        d.findChild<QPushButton*>("IDC_WATCH_TRY")->click();
        EXPECT_TRUE(waitUntil([&] { return !d.trialRunning(); }));
        const auto* items = d.findChild<QTableWidget*>("IDC_WATCH_TRIAL_ITEMS");
        std::vector<std::string> said;
        for (int row = 0; row < items->rowCount(); ++row) {
            said.push_back(items->item(row, 0)->text().toStdString() + " " +
                           items->item(row, 1)->text().toStdString());
        }
        return said;
    }
    static void setField(CWatchEditDlg& d, const char* name, const std::string& text)
    {
        d.findChild<QLineEdit*>(name)->setText(QString::fromStdString(text));
    }

    std::string status(int row) const { return cell(row, 1).toStdString(); }

    TestMarket market;
    HeldClock clock;
    AnswerHold answers;
    std::string problem;
};

TEST_F(WatchEdit, addingRefusesTheSameSearchSpelledOtherwiseAndBeginsQuietly)
{
    market.setItems("手机", TestMarket::makeItems(2, 100));
    market.setItems("杯", TestMarket::makeItems(3, 200));
    open({"手机"});

    const std::string raw = market.baseUrl() + "/search?cat=1&q=手机&sort=new";
    onDialog([&](CWatchEditDlg& d) { setField(d, "IDC_WATCH_URL", raw); });
    dlg->OnAdd();
    EXPECT_NE(problem.find("第 1 行"), std::string::npos) << problem;
    EXPECT_EQ(app->list().count(), 1);

    onDialog(
        [&](CWatchEditDlg& d) { setField(d, "IDC_WATCH_URL", "  " + market.searchUrl("杯")); });
    dlg->OnAdd();
    EXPECT_EQ(problem, "");
    ASSERT_EQ(rowCount(), 2);
    EXPECT_EQ(list(), market.searchUrl("手机") + "\r\n" + market.searchUrl("杯") + "\r\n");

    start();
    ASSERT_TRUE(passEnded());
    EXPECT_EQ(status(1), "已建立基线");
    EXPECT_TRUE(host->urls().empty());
    market.addItem("杯", {"299", "新杯"});
    ASSERT_TRUE(nextPass());
    EXPECT_EQ(status(1), "发现更新！(1)");
    ASSERT_TRUE(pagesHandedOver());
    EXPECT_EQ(host->urls(), std::vector<std::string>{"http://127.0.0.1:8/item.htm?id=299"});

    // Deleting the last watches leaves an empty list, saved.
    host->setNextAnswer(IDYES);
    host->setNextAnswer(IDYES);
    trigger(1, "删除");
    trigger(0, "删除");
    EXPECT_EQ(rowCount(), 0);
    EXPECT_EQ(list(), "");
}

TEST_F(WatchEdit, pausedMutedAndOwnIntervalEachActOnTheirWatchOnly)
{
    for (const char* key : {"n", "p", "m", "slow"}) {
        market.setItems(key, TestMarket::makeItems(2, key[0] * 1000));
    }
    const std::string script = dir.file("push");
    writeFile(script, "#!/bin/sh\ncat >> \"$1\"\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    open({"n", "p", "m", "slow"}, "onalert=" + script + " " + dir.file("told.json") + "\n");
    QSignalSpy commandsEnded(&app->alertCommand(), &AlertCommand::finished);
    trigger(1, "暂停");
    trigger(2, "静音");
    onDialog([&](CWatchEditDlg& d) { setField(d, "IDC_WATCH_INTERVAL", "10"); });
    trigger(3, "编辑…");
    EXPECT_EQ(problem, "");
    EXPECT_EQ(status(1), "已暂停");

    start();
    ASSERT_TRUE(passEnded());
    market.addItem("m", {"777", "静音的新宝贝"});
    market.addItem("n", {"888", "新宝贝"});
    for (int pass = 1; pass < 20; ++pass) {
        ASSERT_TRUE(nextPass());
    }
    EXPECT_EQ(asked("n"), 20);
    EXPECT_EQ(asked("p"), 0);
    EXPECT_EQ(asked("m"), 20);
    // Passes one held second apart: its own 10 s, less the second of
    // tolerance, lets every ninth one ask.
    EXPECT_EQ(asked("slow"), 3);
    EXPECT_EQ(status(1), "已暂停");

    // The muted watch stored and counted its find, and told nothing.
    EXPECT_EQ(status(2), "发现更新！(1)");
    EXPECT_EQ(db().getLatestItems(watchlist::searchKey(market.searchUrl("m")), 10).front().bbid,
              "777");
    ASSERT_TRUE(pagesHandedOver());
    EXPECT_EQ(host->urls(), std::vector<std::string>{"http://127.0.0.1:8/item.htm?id=888"});
    ASSERT_TRUE(waitUntil([&] { return commandsEnded.size() == 1; }));
    const std::string told = readFile(dir.file("told.json"));
    EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << told;
    EXPECT_NE(told.find("\"888\""), std::string::npos) << told;
    EXPECT_TRUE(app->isRunning());

    // "继续" asks it again from the next pass on.
    trigger(1, "继续");
    ASSERT_TRUE(nextPass());
    EXPECT_EQ(asked("p"), 1);
    EXPECT_EQ(readFile(dir.file("_items.ini")).find("paused"), std::string::npos);
}

TEST_F(WatchEdit, activeHoursAndWordsFollowTheirWatch)
{
    market.setItems("a", {{"1", "红 杯"}, {"2", "蓝 杯"}, {"3", "红 旧 杯"}});
    market.setItems("b", {{"1", "红 杯"}, {"2", "蓝 杯"}, {"3", "红 旧 杯"}});
    market.setItems("h", TestMarket::makeItems(2, 100));
    const int now = watchoptions::localMinuteOfDay(clock.wallNow());
    const ActiveHours later{(now + 60) % 1440, (now + 120) % 1440};
    writeFile(dir.file("_items.ini"), "[" + market.searchUrl("a") + "]\nmust=红\n[" +
                                          market.searchUrl("b") + "]\nignore=旧\n[" +
                                          market.searchUrl("h") +
                                          "]\nhours=" + watchoptions::hoursText(later) + "\n");
    open({"a", "b", "h"});
    EXPECT_EQ(status(2), "时段外");

    start();
    ASSERT_TRUE(passEnded());
    EXPECT_EQ(asked("h"), 0);
    market.addItem("a", {"4", "红 新 杯"});
    market.addItem("a", {"5", "蓝 新 杯"});
    market.addItem("b", {"7", "红 新 杯"});
    market.addItem("b", {"6", "旧 新 杯"});
    ASSERT_TRUE(nextPass(61min));
    EXPECT_EQ(asked("h"), 1);
    EXPECT_NE(status(2), "时段外");
    ASSERT_TRUE(pagesHandedOver());
    EXPECT_EQ(host->urls(), (std::vector<std::string>{"http://127.0.0.1:8/item.htm?id=4",
                                                      "http://127.0.0.1:8/item.htm?id=7"}));
}

TEST_F(WatchEdit, aHandEditedOptionsFileSurvivesTheWindowsSaves)
{
    const std::string a = market.searchUrl("a");
    const std::string ini = "; 我的设置\n[" + a +
                            "]\nname=客厅 灯; 第二=个\nmust=红,杯\n# 手写的注释\ncolour=蓝=绿;x\n";
    writeFile(dir.file("_items.ini"), ini);
    open({"a", "b"});
    EXPECT_EQ(cell(0, 0), "客厅 灯; 第二=个");
    trigger(1, "静音");
    trigger(0, "下移");
    EXPECT_EQ(list(), market.searchUrl("b") + "\r\n" + a + "\r\n");
    const std::string saved = readFile(dir.file("_items.ini"));
    for (const char* line : {"; 我的设置", "name=客厅 灯; 第二=个", "must=红,杯", "# 手写的注释",
                             "colour=蓝=绿;x", "muted=1"}) {
        EXPECT_NE(saved.find(line), std::string::npos) << line << "\n" << saved;
    }
    app.reset();
    open({"b", "a"});
    EXPECT_EQ(cell(1, 0), "客厅 灯; 第二=个");
    EXPECT_TRUE(app->list().at(0)->options.muted.value_or(false));
}

TEST_F(WatchEdit, aDeleteOrMoveDuringACheckLosesNoReport)
{
    market.setBeforeAnswer([&](const std::string& key, int) { answers.wait(key); });
    for (const char* key : {"a", "b", "c"}) {
        market.setItems(key, TestMarket::makeItems(2, key[0] * 1000));
    }
    open({"a", "b", "c"});
    start();
    ASSERT_TRUE(passEnded());
    market.addItem("b", {"b1", "b 的新宝贝"});
    market.addItem("c", {"c1", "c 的新宝贝"});
    answers.hold("b");
    clock.wake();
    ASSERT_TRUE(waitUntil([&] { return status(1) == "执行中"; }));
    host->setNextAnswer(IDYES);
    trigger(1, "删除");
    trigger(1, "上移");
    EXPECT_EQ(list(), market.searchUrl("c") + "\r\n" + market.searchUrl("a") + "\r\n");
    answers.release();
    ASSERT_TRUE(passEnded());
    // The pass had gone past the row c moved to: c is checked in the next one.
    ASSERT_TRUE(nextPass());
    ASSERT_TRUE(pagesHandedOver());
    EXPECT_EQ(host->urls(), (std::vector<std::string>{"http://127.0.0.1:8/item.htm?id=b1",
                                                      "http://127.0.0.1:8/item.htm?id=c1"}));
    EXPECT_EQ(status(0), "发现更新！(1)");
}

TEST_F(WatchEdit, tryingAWatchSaysWhyEachItemWouldOrWouldNotBeReportedAndChangesNothing)
{
    market.setItems("a", {{"1", "好 杯"},
                          {"2", "坏 杯"},
                          {"3", "好 盘"},
                          {"4", "好 杯 四"},
                          {"5", "好 杯 五"},
                          {"1", "好 杯"}});
    market.setItems("c", TestMarket::makeItems(2, 300));
    writeFile(dir.file("_items.ini"), "[" + market.searchUrl("a") + "]\npaused=1\n");
    open({"a", "b"}, "ignore=坏\ndedupe=1\n");
    start();
    ASSERT_TRUE(passEnded());
    market.addItem("b", {"4", "好 杯 四"});
    ASSERT_TRUE(nextPass());
    // The marketplace asks b to slow down for ten minutes.
    market.setFault("b", {MarketFault::Kind::Status, 429, 0, -1, 1, 0, {}, "600"});
    ASSERT_TRUE(nextPass());
    app->unseen().watchSeen(market.searchUrl("b"));
    ASSERT_TRUE(status(1).starts_with("暂停至")) << status(1);
    dlg->OnStartStop();
    ASSERT_TRUE(waitUntil([&] { return !app->isRunning(); }));
    const std::string sidA = watchlist::searchKey(market.searchUrl("a"));
    db().insertItem(sidA, "5", "好 杯 五", 0);
    const auto finds = db().finds({}).size();
    const std::string pageFile = readFile(dir.file("_tmpbbtitles.txt"));
    const std::string before = status(0);
    const std::size_t askedBefore = market.requests().size();

    std::vector<std::string> said;
    std::vector<std::string> baseline;
    QString pages;
    withDialog([&](CWatchEditDlg& d) {
        setField(d, "IDC_WATCH_MUST", "杯");
        said = tryIt(d);
        pages = d.findChild<QLabel*>("IDC_WATCH_PAGES")->text();
        // Another search, taken quietly at first.
        setField(d, "IDC_WATCH_URL", market.searchUrl("c"));
        setField(d, "IDC_WATCH_MUST", "");
        EXPECT_TRUE(d.findChild<QCheckBox*>("IDC_ONLY_LATER")->isChecked());
        baseline = tryIt(d);
    });
    trigger(0, "编辑…");
    EXPECT_EQ(said, (std::vector<std::string>{"新 好 杯", "被忽略：词 坏 坏 杯",
                                              "缺少必须词 杯 好 盘", "已在其他搜索中提醒 好 杯 四",
                                              "已见 好 杯 五", "重复 好 杯"}));
    EXPECT_TRUE(pages.contains("第 1 页：HTTP 200，6 个宝贝")) << pages.toStdString();
    ASSERT_EQ(baseline.size(), 2u);
    for (const std::string& verdict : baseline) {
        EXPECT_TRUE(verdict.starts_with("首次检测：作为基线 ")) << verdict;
    }
    EXPECT_GT(market.requests().size(), askedBefore);

    // A resting watch is not asked, and the dialog says until when.
    const std::size_t askedByNow = market.requests().size();
    withDialog([&](CWatchEditDlg& d) {
        EXPECT_TRUE(tryIt(d).empty());
        pages = d.findChild<QLabel*>("IDC_WATCH_PAGES")->text();
    });
    trigger(1, "编辑…");
    EXPECT_TRUE(pages.contains("暂停至")) << pages.toStdString();
    EXPECT_EQ(market.requests().size(), askedByNow);

    // Nothing stored, no last ids, no health, no scratch file, no list change.
    EXPECT_EQ(db().finds({}).size(), finds);
    EXPECT_EQ(db().getLatestItems(sidA, 10).size(), 1u);
    EXPECT_EQ(app->table()->slot(0).lastIds, "");
    EXPECT_EQ(readFile(dir.file("_tmpbbtitles.txt")), pageFile);
    EXPECT_EQ(status(0), before);
    EXPECT_EQ(app->list().at(0)->url, market.searchUrl("a"));
}

} // namespace
} // namespace tw::test
