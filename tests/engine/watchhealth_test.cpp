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
    h.pausedUntil = SteadyTime{} + 150s;
    h.pausedUntilWall = kCheck + 150s;
    EXPECT_EQ(healthText(h, kCheck),
              "上次检测 14:02:31，用时 0.8 秒，3 页 112 个宝贝；上次发现新宝贝 13:40；"
              "连续失败 3 次；连续 3 次疑似被拦截；暂停至 14:05:01");
    EXPECT_EQ(healthText(h, kCheck + 150s).find("暂停"), std::string::npos)
        << "a pause that has ended is not shown";

    h.consecutiveFailures = 0;
    h.blockedStreak = 0;
    h.invalidIds = 2;
    EXPECT_EQ(
        healthText(h, kCheck + 150s),
        "上次检测 14:02:31，用时 0.8 秒，3 页 112 个宝贝，2 个无效编号；上次发现新宝贝 13:40；"
        "上次失败：HTTP 429")
        << "after a recovery the last failure is still told";
}

TEST_F(WatchHealthTest, failedRowTellsPauseAndBlockApartFromAPlainFailure)
{
    WatchHealth h;
    h.blockedStreak = 2;
    EXPECT_EQ(failedRowText(h, kCheck), "检测失败");
    h.pausedUntil = SteadyTime{} + 150s;
    h.pausedUntilWall = kCheck + 150s;
    EXPECT_EQ(failedRowText(h, kCheck), "暂停至 14:05");
    EXPECT_EQ(failedRowText(h, kCheck + 150s), "检测失败");
    h.blockedStreak = 3;
    EXPECT_EQ(failedRowText(h, kCheck), "疑似被拦截，暂停至 14:05");
    h.pausedUntil.reset();
    EXPECT_EQ(failedRowText(h, kCheck), "疑似被拦截");
}

TEST(WatchHealthBook, recordsAreKeptByUrlAndGoWhenTheirWatchLeaves)
{
    const SteadyTime now{};
    WatchHealthBook book;
    EXPECT_EQ(book.get("http://a").url, "");
    book.update("http://a", [&](WatchHealth& h) {
        h.checks = 5;
        h.blockedNoticeDue = true;
        h.pausedUntil = now + 1min;
    });
    book.update("http://b", [](WatchHealth& h) { ++h.checks; });
    EXPECT_TRUE(book.isPaused("http://a", now));
    EXPECT_FALSE(book.isPaused("http://a", now + 1min));
    EXPECT_FALSE(book.isPaused("http://b", now));
    EXPECT_TRUE(book.takeBlockedNotice("http://a"));
    EXPECT_FALSE(book.takeBlockedNotice("http://a"));
    EXPECT_EQ(book.get("http://b").url, "http://b");
    EXPECT_EQ(book.get("http://b").checks, 1);

    book.keepOnly({"http://b", "http://c"});
    EXPECT_EQ(book.get("http://a").checks, 0);
    EXPECT_FALSE(book.isPaused("http://a", now));
    EXPECT_EQ(book.get("http://b").checks, 1);
}

} // namespace
} // namespace tw
