#include "engine/watchhealth.h"

#include <cstdio>
#include <ctime>

namespace tw {

namespace {

// Display only: whether the pause set last still ends after the time of day now.
bool showsPause(const WatchHealth& health, WallTime now)
{
    return health.pausedUntil && health.pausedUntilWall && *health.pausedUntilWall > now;
}

} // namespace

std::string clockText(WallTime t, bool seconds)
{
    const std::time_t time = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    localtime_r(&time, &local);
    char buffer[16];
    std::strftime(buffer, sizeof buffer, seconds ? "%H:%M:%S" : "%H:%M", &local);
    return buffer;
}

std::string healthText(const WatchHealth& health, WallTime now)
{
    if (health.checks == 0) {
        return {};
    }
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1f",
                  static_cast<double>(health.lastDuration.count()) / 1000.0);
    std::string text = "上次检测 " + clockText(health.lastCheck, true) + "，用时 " + duration +
                       " 秒，" + std::to_string(health.pages) + " 页 " +
                       std::to_string(health.items) + " 个宝贝";
    if (health.invalidIds > 0) {
        text += "，" + std::to_string(health.invalidIds) + " 个无效编号";
    }
    text += health.lastNewItem ? "；上次发现新宝贝 " + clockText(*health.lastNewItem, false)
                               : std::string("；尚未发现新宝贝");
    if (health.consecutiveFailures > 0) {
        text += "；连续失败 " + std::to_string(health.consecutiveFailures) + " 次";
    }
    // While failing, the row's reason line already says why.
    if (!health.lastFailure.empty() && health.consecutiveFailures == 0) {
        text += "；上次失败：" + health.lastFailure;
    }
    if (health.blockedStreak > 0) {
        text += "；连续 " + std::to_string(health.blockedStreak) + " 次疑似被拦截";
    }
    if (showsPause(health, now)) {
        text += "；暂停至 " + clockText(*health.pausedUntilWall, true);
    }
    return text;
}

std::string failedRowText(const WatchHealth& health, WallTime now)
{
    const std::string pause =
        showsPause(health, now) ? "暂停至 " + clockText(*health.pausedUntilWall, false) : "";
    if (health.looksBlocked()) {
        return pause.empty() ? "疑似被拦截" : "疑似被拦截，" + pause;
    }
    if (!pause.empty()) {
        return pause;
    }
    return "检测失败";
}

} // namespace tw
