#include "ui/qthostservices.h"
#include "windowfixture.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include <QDesktopServices>
#include <QPushButton>
#include <QThread>
#include <QUrl>

namespace tw::test {
namespace {

using namespace std::chrono_literals;

// n ids from first on, as an id list and as the pages they open.
std::pair<std::string, std::vector<std::string>> news(int n, long long first)
{
    std::pair<std::string, std::vector<std::string>> out;
    for (int i = 0; i < n; ++i) {
        out.first += (i ? "," : "") + std::to_string(first + i);
        out.second.push_back("http://127.0.0.1:8/item.htm?id=" + std::to_string(first + i));
    }
    return out;
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
    void report(const std::string& ids)
    {
        dlg->table()->setNewIds(0, ids);
        post(PROGRESS_DONE, 0);
    }
    QPushButton* stopAlarm() { return child<QPushButton>("IDC_STOP_ALARM"); }
};

TEST_F(Alert, opensEveryPageUpToThirtyInListOrderWithTheIdKeptInTheQueryValue)
{
    const auto three = news(3, 900000000001LL);
    report(three.first);
    EXPECT_EQ(host->urls(), three.second);
    EXPECT_EQ(host->sounds(), std::vector<std::string>{dir.file("alert.wav")});
    EXPECT_TRUE(stopAlarm()->isEnabled());
    EXPECT_EQ(cell(0, 1), "发现更新！");

    const auto many = news(45, 910000000001LL);
    report(many.first);
    dlg->raiseAlert("1#x,2/../evil?y=1");
    const std::vector<std::string> urls = host->urls();
    ASSERT_EQ(urls.size(), 35u);
    EXPECT_EQ(std::vector<std::string>(urls.begin() + 3, urls.begin() + 33),
              std::vector<std::string>(many.second.begin(), many.second.begin() + 30));
    EXPECT_EQ(std::vector<std::string>(urls.begin() + 33, urls.end()),
              (std::vector<std::string>{"http://127.0.0.1:8/item.htm?id=1%23x",
                                        "http://127.0.0.1:8/item.htm?id=2%2F..%2Fevil%3Fy%3D1"}));
}

TEST_F(Alert, theSoundIsReplayedOnceUnlessStopped)
{
    dlg->setAlarmReplayDelay(20ms);
    report("1");
    ASSERT_TRUE(waitUntil([this] { return host->sounds().size() == 2; }));
    EXPECT_FALSE(dlg->alarmPending());
    // Only the user's stop disables the button, not the replay.
    EXPECT_TRUE(stopAlarm()->isEnabled());

    report("5");
    ASSERT_TRUE(dlg->alarmPending());
    dlg->OnStopAlarm();
    EXPECT_FALSE(dlg->alarmPending());
    EXPECT_FALSE(stopAlarm()->isEnabled());
    EXPECT_EQ(host->stops(), 1);
    EXPECT_EQ(host->sounds().size(), 3u);
}

TEST_F(Alert, clearDataOnlyAfterYesAndAFailedClearIsReported)
{
    db().insertItem("a", "1", "t", 0);
    db().insertItem("b", "2", "t", 0);
    dlg->table()->setLastIds(0, "1");

    host->setNextAnswer(IDNO);
    dlg->OnClearData();
    EXPECT_EQ(db().getLatestItems("a", 10).size(), 1u);

    host->setNextAnswer(IDYES);
    dlg->OnClearData();
    EXPECT_TRUE(db().getLatestItems("a", 10).empty());
    EXPECT_TRUE(db().getLatestItems("b", 10).empty());
    EXPECT_EQ(dlg->table()->lastIds(0), "1");
    EXPECT_EQ(host->confirms(),
              (std::vector<std::string>{"确认清空已有数据?", "确认清空已有数据?"}));
    EXPECT_TRUE(host->warnings().empty());

    std::filesystem::remove(dir.file("sys.mdb"));
    host->setNextAnswer(IDYES);
    dlg->OnClearData();
    ASSERT_EQ(host->warnings().size(), 1u);
    EXPECT_EQ(host->warnings()[0].rfind("清空数据失败：", 0), 0u);
}

// Calls from another thread are carried out on the GUI thread, and a missing
// or broken alarm file, or no sound device at all, never keeps pages from
// opening.
TEST_F(Alert, qtServicesOpenPagesOnTheGuiThreadWhateverTheSoundDoes)
{
    UrlCatcher catcher;
    auto services = std::make_shared<QtHostServices>();
    std::thread worker([&services] {
        EXPECT_TRUE(services->openUrl("http://127.0.0.1:8/item.htm?id=0"));
        services->playSound("/nonexistent/alert.wav");
        services->stopSound();
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
        dlg->raiseAlert("1,2");
        EXPECT_EQ(catcher.urls, QStringList({"http://127.0.0.1:8/item.htm?id=1",
                                             "http://127.0.0.1:8/item.htm?id=2"}));
        dlg->OnStopAlarm();
    }
}

} // namespace
} // namespace tw::test

#include "alert_test.moc"
