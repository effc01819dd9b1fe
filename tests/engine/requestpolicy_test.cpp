#include "engine/requestpolicy.h"

#include <chrono>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace tw {
namespace {

using namespace std::chrono_literals;
using std::chrono::seconds;

// 2026-10-21 07:28:00 UTC
const WallTime kNow = std::chrono::system_clock::from_time_t(1792567680);

TEST(RequestPolicy, retryAfterReadsSecondsAndTheThreeHttpDateForms)
{
    const struct
    {
        const char* value;
        std::optional<seconds> wait;
    } cases[] = {
        {"120", 120s},
        {"0", 0s},
        {"3601", 3600s},                    // capped at an hour
        {"99999999999999999999999", 3600s}, // and never overflows
        {"Wed, 21 Oct 2026 07:30:00 GMT", 120s},
        {"Wednesday, 21-Oct-26 07:30:00 GMT", 120s},
        {"Wed Oct 21 07:30:00 2026", 120s},
        {"Wed, 21 Oct 2026 07:00:00 GMT", 0s}, // already past
        {"Wed, 21 Oct 2026 12:00:00 GMT", 3600s},
        {"Fri, 01 Jan 9999 00:00:00 GMT", 3600s}, // past 2262: no overflow
        {"Thu, 01 Jan 1970 00:00:01 GMT", 0s},
        {"", std::nullopt},
        {"-5", std::nullopt},
        {"soon", std::nullopt},
        {"1.5", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RequestPolicy::parseRetryAfter(c.value, kNow), c.wait) << c.value;
    }
}

TEST(RequestPolicy, backOffDoublesFromHalfAMinuteUpToHalfAnHour)
{
    const seconds expected[] = {30s, 60s, 120s, 240s, 480s, 960s, 1800s, 1800s};
    for (int n = 1; n <= 8; ++n) {
        EXPECT_EQ(RequestPolicy::backoffDelay(n), expected[n - 1]) << n;
    }
    EXPECT_EQ(RequestPolicy::backoffDelay(1000), 1800s);
}

TEST(RequestPolicy, tooManyRequestsUnavailableAndABlockedWatchPauseAndASuccessEndsIt)
{
    // The pause runs on the steady clock; the time of day only reads dates
    // and gives the time shown.
    const SteadyTime now = SteadyTime{} + 1000h;
    WatchHealth h;
    const auto after = [&](bool ok, long status, const char* retryAfter) {
        RequestPolicy::afterCheck(h, ok, status, retryAfter, kNow, now);
        return h.pausedUntil ? std::optional(*h.pausedUntil - now) : std::nullopt;
    };
    EXPECT_EQ(after(false, 500, ""), std::nullopt);
    EXPECT_EQ(after(false, 403, "60"), std::nullopt) << "not yet blocked";
    EXPECT_EQ(after(false, 0, ""), std::nullopt) << "ordinary failures are checked again";

    EXPECT_EQ(after(false, 429, ""), 30s);
    EXPECT_EQ(h.pausedUntilWall, kNow + 30s);
    EXPECT_EQ(after(false, 503, ""), 60s);
    after(false, 500, "");
    EXPECT_EQ(after(false, 429, ""), 120s) << "a failure of another kind does not end the back-off";
    EXPECT_EQ(after(false, 429, "7"), 7s) << "the server's word wins";
    EXPECT_TRUE(h.isPaused(now + 6s));
    EXPECT_FALSE(h.isPaused(now + 7s));
    // A stated wait that is over, or a date too far for the clock's unit:
    // the next back-off step, without undefined behaviour.
    EXPECT_EQ(after(false, 429, "0"), 240s);
    EXPECT_EQ(after(false, 503, "Wed, 21 Oct 2026 07:00:00 GMT"), 480s);
    EXPECT_EQ(after(false, 503, "Fri, 01 Jan 9999 00:00:00 GMT"), 3600s);

    EXPECT_EQ(after(true, 200, ""), std::nullopt);
    EXPECT_FALSE(h.pausedUntilWall);
    EXPECT_EQ(after(false, 429, ""), 30s) << "the back-off starts over";
    after(true, 200, "");

    // A watch that looks blocked rests like one asked to slow down.
    h.blockedStreak = WatchHealth::kBlockedAfter;
    EXPECT_EQ(after(false, 403, ""), 30s);
    EXPECT_EQ(after(false, 302, ""), 60s);
}

TEST(RequestPolicy, jitterVariesAWaitByUpToItsShareEitherWay)
{
    double next = 0.0;
    const auto fixed = [&] { return next; };
    const struct
    {
        int percent;
        double uniform;
        long long ms;
    } cases[] = {
        {0, 0.0, 1000},  {0, 0.99, 1000}, {20, 0.0, 800},   {20, 0.5, 1000},
        {20, 1.0, 1200}, {100, 0.0, 0},   {100, 1.0, 2000}, {250, 1.0, 2000}, // clamped to 100
        {-5, 0.0, 1000},
    };
    for (const auto& c : cases) {
        RequestPolicy policy(c.percent, fixed);
        next = c.uniform;
        EXPECT_EQ(policy.jittered(1000ms).count(), c.ms) << c.percent << " " << c.uniform;
    }
    RequestPolicy seeded(50);
    for (int i = 0; i < 100; ++i) {
        const auto wait = seeded.jittered(1000ms);
        EXPECT_GE(wait, 500ms);
        EXPECT_LE(wait, 1500ms);
    }
}

} // namespace
} // namespace tw
