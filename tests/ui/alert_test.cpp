#include "desktop/alertcommand.h"
#include "tests/support/fakenotificationservice.h"
#include "tests/support/testbus.h"
#include "tests/ui/windowfixture.h"
#include "ui/alerter.h"
#include "ui/qthostservices.h"

#include <algorithm>
#include <filesystem>
#include <thread>

#include <QDesktopServices>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QSignalSpy>
#include <QThread>
#include <QUrl>

namespace tw::test {
namespace {

std::string page(const std::string& id)
{
    return "http://127.0.0.1:8/item.htm?id=" + id;
}

// The browser: the offscreen platform opens no address.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    UrlCatcher() { QDesktopServices::setUrlHandler("http", this, "open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler("http"); }

    QStringList urls;
    bool allOnGuiThread = true;

public Q_SLOTS:
    void open(const QUrl& url)
    {
        allOnGuiThread = allOnGuiThread && QThread::currentThread() == thread();
        urls << url.toString(QUrl::FullyEncoded);
    }
};

class Alert : public WindowTest
{
protected:
    void SetUp() override
    {
        openWindow("http://127.0.0.1:9/s?c=1&q=a\n", "[General]\nitemhost=127.0.0.1:8\n");
    }
    void report(const std::string& ids) { post(PROGRESS_DONE, 0, ids); }
};

TEST_F(Alert, clearDataOnlyAfterYesAndAFailedClearIsReported)
{
    db().insertItem("a", "1", "t", 0);
    db().insertItem("b", "2", "t", 0);
    app->table()->setLastIds(0, "1");

    host->setNextAnswer(IDNO);
    dlg->OnClearData();
    EXPECT_EQ(db().getLatestItems("a", 10).size(), 1u);

    host->setNextAnswer(IDYES);
    dlg->OnClearData();
    EXPECT_TRUE(db().getLatestItems("a", 10).empty());
    EXPECT_TRUE(db().getLatestItems("b", 10).empty());
    EXPECT_EQ(app->table()->slot(0).lastIds, "1");
    EXPECT_EQ(host->confirms(),
              (std::vector<std::string>{"确认清空已有数据?", "确认清空已有数据?"}));
    EXPECT_TRUE(host->warnings().empty());

    std::filesystem::remove(dir.file("sys.mdb"));
    host->setNextAnswer(IDYES);
    dlg->OnClearData();
    ASSERT_EQ(host->warnings().size(), 1u);
    EXPECT_EQ(host->warnings()[0].rfind("清空数据失败：", 0), 0u);
}

// Calls from another thread reach the GUI thread without waiting for it; a missing or broken alarm
// file, or no sound device, never keeps pages from opening.
TEST_F(Alert, qtServicesOpenPagesOnTheGuiThreadWhateverTheSoundDoes)
{
    UrlCatcher catcher;
    auto services = std::make_shared<QtHostServices>();
    std::thread worker([&services] {
        EXPECT_TRUE(services->openUrl("http://127.0.0.1:8/item.htm?id=0"));
        services->playSound("/nonexistent/alert.wav");
        services->stopSound();
        // The GUI thread waits in join(): a box waited for from here would
        // never return. None is shown off the GUI thread.
        services->warning(nullptr, "off the window thread");
        EXPECT_EQ(services->confirm(nullptr, "off the window thread?"), IDNO);
        EXPECT_EQ(services->openTextFile(nullptr, "/"), "");
    });
    worker.join();
    ASSERT_TRUE(waitUntil([&] { return catcher.urls.size() == 1; }));
    EXPECT_TRUE(catcher.allOnGuiThread);

    openWindow({}, "[General]\nitemhost=127.0.0.1:8\n", services);
    for (const char* alarm : {"", "not a wave file"}) {
        SCOPED_TRACE(alarm);
        std::filesystem::remove(dir.file("alert.wav"));
        if (*alarm) {
            writeFile(dir.file("alert.wav"), alarm);
        }
        catcher.urls.clear();
        app->alerter().alert("http://127.0.0.1/s?q=a", itemsOf("1,2"));
        ASSERT_TRUE(pagesHandedOver());
        EXPECT_EQ(catcher.urls, QStringList({"http://127.0.0.1:8/item.htm?id=1",
                                             "http://127.0.0.1:8/item.htm?id=2"}));
        dlg->OnStopAlarm();
    }
}

// The notification names the watch's key, the count and the first titles the
// pages gave; clicking it brings the window back. notify=0 sends none.
TEST_F(Alert, eachAlertOfAWatchAlsoSendsADesktopNotificationUnlessSwitchedOff)
{
    TestBus bus;
    FakeNotificationService service(bus.address());
    ASSERT_TRUE(service.registered());
    app->setNotifyBus(bus.address());
    dlg->show();
    postFound(0, {{"12", "标题12"}, {"11", "标题11"}, {"14", "标题14"}, {"13", "标题13"}});
    ASSERT_TRUE(waitUntil([&] { return service.received().size() == 1; }));
    EXPECT_EQ(service.received()[0].summary, QStringLiteral("发现更新！a"));
    EXPECT_EQ(service.received()[0].body,
              QStringLiteral("搜索“a”有 4 件新宝贝\n标题12\n标题11\n标题14"));

    dlg->showMinimized();
    ASSERT_TRUE(waitUntil([&] { return dlg->isMinimized(); }));
    service.click(service.received()[0].id);
    EXPECT_TRUE(waitUntil([&] { return !dlg->isMinimized(); }));

    openWindow({}, "[General]\nnotify=0\n");
    app->setNotifyBus(bus.address());
    report("12");
    ASSERT_TRUE(pagesHandedOver());
    ASSERT_EQ(host->urls().size(), 5u);
    QTest::qWait(50);
    EXPECT_EQ(service.received().size(), 1u);
}

// The alert command hears of each alert, with the titles its pages gave,
// and of nothing else; a failing command is one line in the status line for
// all the alerts it fails, never a box.
TEST_F(Alert, theAlertCommandHearsEachAlertAndItsFailureIsToldOnce)
{
    const std::string script = dir.file("push");
    writeFile(script, "#!/bin/sh\ncat >> \"$1\"\nexit \"$2\"\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    openWindow({}, "[General]\nitemhost=127.0.0.1:8\nonalert=" + script + " " +
                       dir.file("alerts.json") + " 0\n");
    QSignalSpy ended(&app->alertCommand(), &AlertCommand::finished);
    post(PROGRESS_BASELINE, 0);
    postFound(0, {{"901", "红色 台灯"}, {"902", ""}});
    ASSERT_TRUE(waitUntil([&] { return ended.size() == 1; }));
    const std::string written = readFile(dir.file("alerts.json"));
    ASSERT_EQ(std::count(written.begin(), written.end(), '\n'), 1) << written;
    const QJsonObject alert = QJsonDocument::fromJson(QByteArray::fromStdString(written)).object();
    EXPECT_EQ(alert.value("key").toString(), "a");
    EXPECT_EQ(alert.value("url").toString(), "http://127.0.0.1:9/s?c=1&q=a");
    EXPECT_EQ(alert.value("count").toInt(), 2);
    const QJsonArray items = alert.value("items").toArray();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[0].toObject().value("title").toString(), "红色 台灯");
    EXPECT_EQ(items[1].toObject().value("url").toString(), QString::fromStdString(page("902")));

    openWindow({}, "[General]\nonalert=" + script + " " + dir.file("alerts.json") + " 3\n");
    QSignalSpy failed(&app->alertCommand(), &AlertCommand::failed);
    QSignalSpy failedEnded(&app->alertCommand(), &AlertCommand::finished);
    report("903");
    report("904");
    ASSERT_TRUE(waitUntil([&] { return failedEnded.size() == 2; }));
    EXPECT_EQ(failed.size(), 1);
    EXPECT_EQ(child<QLabel>("IDC_STATUS")->text(), "提示：提醒命令失败，退出码 3");
    EXPECT_TRUE(host->warnings().empty());
}

// Told once, in the status line, when the answer comes; never as a box.
TEST_F(Alert, aSoundThatCannotPlayIsToldInTheStatusLine)
{
    QLabel* status = child<QLabel>("IDC_STATUS");
    EXPECT_EQ(status->text(), "就绪");
    ASSERT_TRUE(host->reportSoundProblem("提示：没有音频设备，报警不会发声"));
    EXPECT_EQ(status->text(), "提示：没有音频设备，报警不会发声");
    EXPECT_TRUE(host->warnings().empty());

    // The desktop's own check: here either no device or no alert.wav.
    std::filesystem::remove(dir.file("alert.wav"));
    openWindow({}, "[General]\n", std::make_shared<QtHostServices>());
    status = child<QLabel>("IDC_STATUS");
    EXPECT_TRUE(waitUntil([&] { return status->text().startsWith("提示："); }));
}

} // namespace
} // namespace tw::test

#include "alert_test.moc"
