#include "windowfixture.h"

#include <chrono>
#include <filesystem>

#include <QPushButton>
#include <QTableWidget>

namespace tw::test {
namespace {

using namespace std::chrono_literals;

std::string idList(int n, long long first = 900000000001LL)
{
    std::string ids;
    for (int i = 0; i < n; ++i) {
        ids += (i ? "," : "") + std::to_string(first + i);
    }
    return ids;
}

std::vector<std::string> pages(int n, long long first = 900000000001LL)
{
    std::vector<std::string> urls;
    for (int i = 0; i < n; ++i) {
        urls.push_back("http://127.0.0.1:8/item.htm?id=" + std::to_string(first + i));
    }
    return urls;
}

class Alert : public WindowTest
{
protected:
    void SetUp() override
    {
        WindowTest::SetUp();
        openWindow("http://127.0.0.1:9/s?c=1&q=a\n", "[General]\nitemhost=127.0.0.1:8\n");
    }

    void report(const std::string& ids)
    {
        dlg->table()->setNewIds(0, ids);
        dlg->postMessage(WM_POLL_PROGRESS, PROGRESS_DONE, 0);
        QCoreApplication::sendPostedEvents(dlg.get());
    }

    QPushButton* stopAlarm() { return dlg->findChild<QPushButton*>("IDC_STOP_ALARM"); }
};

TEST_F(Alert, opensEveryPageUpToThirtyInListOrder)
{
    report(idList(3));
    EXPECT_EQ(host->urls(), pages(3));
    EXPECT_EQ(host->sounds(), std::vector<std::string>{dir.file("alert.wav")});
    EXPECT_TRUE(stopAlarm()->isEnabled());
    EXPECT_FALSE(stopAlarm()->isVisible());
    EXPECT_EQ(dlg->findChild<QTableWidget*>("IDC_WATCH_LIST")->item(0, 1)->text(), "发现更新！");

    report(idList(45, 910000000001LL));
    const std::vector<std::string> urls = host->urls();
    ASSERT_EQ(urls.size(), 33u);
    EXPECT_EQ(std::vector<std::string>(urls.begin() + 3, urls.end()), pages(30, 910000000001LL));
}

TEST_F(Alert, anIdCannotLeaveTheQueryValue)
{
    dlg->raiseAlert("1#x,2/../evil?y=1");
    EXPECT_EQ(host->urls(), (std::vector<std::string>{
                                "http://127.0.0.1:8/item.htm?id=1%23x",
                                "http://127.0.0.1:8/item.htm?id=2%2F..%2Fevil%3Fy%3D1",
                            }));
}

TEST_F(Alert, theSoundIsReplayedOnceUnlessStopped)
{
    dlg->setAlarmReplayDelay(20ms);
    report(idList(1));
    ASSERT_TRUE(waitUntil([this] { return host->sounds().size() == 2; }));
    EXPECT_FALSE(dlg->alarmPending());
    // Expiry leaves the stop button enabled; only the user's stop disables it.
    EXPECT_TRUE(stopAlarm()->isEnabled());

    report(idList(1, 5));
    ASSERT_TRUE(dlg->alarmPending());
    dlg->OnStopAlarm();
    EXPECT_FALSE(dlg->alarmPending());
    EXPECT_FALSE(stopAlarm()->isEnabled());
    EXPECT_EQ(host->stops(), 1);
    EXPECT_EQ(host->sounds().size(), 3u);
}

TEST_F(Alert, clearDataOnlyAfterYes)
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
}

TEST_F(Alert, aFailedClearIsReported)
{
    std::filesystem::remove(dir.file("sys.mdb"));
    host->setNextAnswer(IDYES);
    dlg->OnClearData();
    ASSERT_EQ(host->warnings().size(), 1u);
    EXPECT_EQ(host->warnings()[0].rfind("清空数据失败：", 0), 0u);
}

} // namespace
} // namespace tw::test
