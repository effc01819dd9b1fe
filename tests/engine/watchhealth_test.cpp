#include "engine/watchhealth.h"
#include "engine/watchhealthbook.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace tw {
namespace {

using namespace std::chrono_literals;

// 2026-10-21 14:02:31 UTC
const WallTime kCheck = std::chrono::system_clock::from_time_t(1792591351);

class WatchHealthTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC0", 1);
        tzset();
    }
};

TEST_F(WatchHealthTest, healthReadsAsPlainChinese)
{
    WatchHealth h;
    EXPECT_EQ(healthText(h, kCheck), "") << "before the first check there is nothing to tell";

    h.checks = 4;
    h.lastCheck = kCheck;
    h.lastDuration = 812ms;
    h.pages = 3;
    h.items = 112;
    EXPECT_EQ(healthText(h, kCheck),
              "上次检测 14:02:31，用时 0.8 秒，3 页 112 个宝贝；尚未发现新宝贝");
    h.lastNewItem = kCheck - 22min - 31s;
    EXPECT_EQ(healthText(h, kCheck),
              "上次检测 14:02:31，用时 0.8 秒，3 页 112 个宝贝；上次发现新宝贝 13:40");

    h.consecutiveFailures = 3;
    h.lastFailure = "HTTP 429";
    h.blockedStreak = 3;
    h.pausedUntil = kCheck + 150s;
    EXPECT_EQ(healthText(h, kCheck),
              "上次检测 14:02:31，用时 0.8 秒，3 页 112 个宝贝；上次发现新宝贝 13:40；"
              "连续失败 3 次；连续 3 次疑似被拦截；暂停至 14:05:01");
    EXPECT_EQ(healthText(h, kCheck + 150s).find("暂停"), std::string::npos)
        << "a pause that has ended is not shown";

    h.consecutiveFailures = 0;
    h.blockedStreak = 0;
    EXPECT_EQ(healthText(h, kCheck + 150s),
              "上次检测 14:02:31，用时 0.8 秒，3 页 112 个宝贝；上次发现新宝贝 13:40；"
              "上次失败：HTTP 429")
        << "after a recovery the last failure is still told";
}

TEST_F(WatchHealthTest, failedRowTellsPauseAndBlockApartFromAPlainFailure)
{
    WatchHealth h;
    h.blockedStreak = 2;
    EXPECT_EQ(failedRowText(h, kCheck), "检测失败");
    h.pausedUntil = kCheck + 150s;
    EXPECT_EQ(failedRowText(h, kCheck), "暂停至 14:05");
    EXPECT_EQ(failedRowText(h, kCheck + 150s), "检测失败");
    h.blockedStreak = 3;
    EXPECT_EQ(failedRowText(h, kCheck), "疑似被拦截");
}

TEST(WatchHealthBook, aSlotGivenAnotherUrlStartsAfreshAndTheNoticeIsTakenOnce)
{
    WatchHealthBook book;
    EXPECT_EQ(book.get(3).url, "");
    book.update(3, "http://a", [](WatchHealth& h) {
        h.checks = 5;
        h.blockedNoticeDue = true;
        h.pausedUntil = kCheck + 1min;
    });
    EXPECT_TRUE(book.isPaused(3, "http://a", kCheck));
    EXPECT_FALSE(book.isPaused(3, "http://b", kCheck)) << "another watch in the slot is not paused";
    EXPECT_FALSE(book.isPaused(4, "http://a", kCheck));
    EXPECT_TRUE(book.takeBlockedNotice(3));
    EXPECT_FALSE(book.takeBlockedNotice(3));

    book.update(3, "http://b", [](WatchHealth& h) { ++h.checks; });
    EXPECT_EQ(book.get(3).url, "http://b");
    EXPECT_EQ(book.get(3).checks, 1);
    EXPECT_FALSE(book.get(3).pausedUntil);
}

} // namespace
} // namespace tw
