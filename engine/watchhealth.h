#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace tw {

using WallTime = std::chrono::system_clock::time_point;
using SteadyTime = std::chrono::steady_clock::time_point;

// What the worker knows about how one watch has been doing. A record belongs
// to one slot holding one url: a slot given another url starts afresh.
struct WatchHealth
{
    std::string url;
    int checks = 0;
    // When the last check began and how long it took.
    WallTime lastCheck{};
    std::chrono::milliseconds lastDuration{0};
    // Pages fetched and items listed by the last check.
    int pages = 0;
    std::size_t items = 0;
    // Items of the last check dropped because their id was no usable text.
    std::size_t invalidIds = 0;
    // Some check of this watch listed items: a first page without any since
    // is a wall, not an empty search.
    bool everListed = false;
    std::optional<WallTime> lastNewItem;

    // The HTTP status (0: none) and the reason of the last failure; kept
    // after a success so that the tooltip can still tell it.
    long lastFailureStatus = 0;
    std::string lastFailure;
    int consecutiveFailures = 0;

    // Blocked checks in a row; the notice is due once per episode.
    int blockedStreak = 0;
    bool blockedNoticeDue = false;
    bool blockedNoticeGiven = false;

    // Back-off steps in a row (429/503 without a stated wait, or a blocked
    // answer), and until when no request is made: measured on the steady
    // clock; the time of day it stood for when set is for display only.
    int backoffStep = 0;
    std::optional<SteadyTime> pausedUntil;
    std::optional<WallTime> pausedUntilWall;

    bool isPaused(SteadyTime now) const { return pausedUntil && *pausedUntil > now; }
    bool looksBlocked() const { return blockedStreak >= kBlockedAfter; }

    static constexpr int kBlockedAfter = 3;
};

// Local time of day, "14:02:31" with seconds, else "14:02".
std::string clockText(WallTime t, bool seconds);

// The health in plain Chinese for the row's tooltip, e.g.
// "上次检测 14:02:31，用时 0.8 秒，3 页 112 个宝贝；上次发现新宝贝 13:40";
// "" before the first check.
std::string healthText(const WatchHealth& health, WallTime now);

// The status a row shows after a failed check: "疑似被拦截" after
// kBlockedAfter blocked checks in a row, "疑似被拦截，暂停至 14:05" when the
// watch also rests, else "暂停至 14:05" while paused, else "检测失败".
std::string failedRowText(const WatchHealth& health, WallTime now);

} // namespace tw
