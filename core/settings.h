#pragma once

#include "core/runsettings.h"

#include <limits>
#include <string>
#include <string_view>

namespace tw {

enum class SettingKind { Int, Text, Flag };

// The page of a settings dialog a key belongs on; groupName gives its title.
enum class SettingGroup { Detection, Alerts, Network, Desktop };
std::string_view groupName(SettingGroup group);

// AtEveryRun: read again at every "开始" (RunSettings::readRunOptions), so the
// file may be edited while the window is open.
enum class SettingRead { AtProgramStart, AtEveryRun };

// Kept: the value is used as read and only the problem is told, for the
// interval, which the window checks itself when a run starts.
enum class OutOfRange { Clamped, Kept };

struct SettingRange
{
    int min = 0;
    int max = 0;
};
inline constexpr int kIntMin = std::numeric_limits<int>::min();
inline constexpr int kIntMax = std::numeric_limits<int>::max();

struct SettingDef
{
    std::string_view key;
    SettingKind kind = SettingKind::Int;
    // As written into a new file; "" for an empty text.
    std::string_view defaultValue;
    SettingRange range; // Int and Flag
    OutOfRange outOfRange = OutOfRange::Clamped;
    SettingGroup group = SettingGroup::Detection;
    SettingRead read = SettingRead::AtProgramStart;
    // README.md's meaning column word for word; a test holds the two together.
    std::string_view meaning;
    int RunSettings::*number = nullptr;       // Int and Flag
    std::string RunSettings::*text = nullptr; // Text
};

constexpr SettingDef intSetting(std::string_view key, std::string_view defaultValue,
                                SettingRange range, SettingGroup group, SettingRead read,
                                int RunSettings::*field, std::string_view meaning,
                                OutOfRange outOfRange = OutOfRange::Clamped)
{
    return {.key = key,
            .kind = SettingKind::Int,
            .defaultValue = defaultValue,
            .range = range,
            .outOfRange = outOfRange,
            .group = group,
            .read = read,
            .meaning = meaning,
            .number = field};
}

constexpr SettingDef flagSetting(std::string_view key, std::string_view defaultValue,
                                 SettingGroup group, SettingRead read, int RunSettings::*field,
                                 std::string_view meaning)
{
    return {.key = key,
            .kind = SettingKind::Flag,
            .defaultValue = defaultValue,
            .range = {0, 1},
            .group = group,
            .read = read,
            .meaning = meaning,
            .number = field};
}

constexpr SettingDef textSetting(std::string_view key, std::string_view defaultValue,
                                 SettingGroup group, SettingRead read,
                                 std::string RunSettings::*field, std::string_view meaning)
{
    return {.key = key,
            .kind = SettingKind::Text,
            .defaultValue = defaultValue,
            .group = group,
            .read = read,
            .meaning = meaning,
            .text = field};
}

// Every key of tidewatch.ini, in the order of README.md's settings table.
// Adding a key here is all it takes to read, check, write and list it; its
// README row must follow (tests/core/settingstable_test.cpp).
inline constexpr SettingDef kSettings[] = {
    intSetting("interval", "30", {1, kMaxInterval}, SettingGroup::Detection,
               SettingRead::AtProgramStart, &RunSettings::interval,
               "seconds: a pass over the watch list begins interval - 1 s after the previous pass "
               "ended (at least 1 s after one whose checks all failed), and never sooner than 1 s "
               "after the previous pass began",
               OutOfRange::Kept),
    intSetting("kcbase", "0", {kIntMin, kIntMax}, SettingGroup::Detection,
               SettingRead::AtProgramStart, &RunSettings::kcbase,
               "kept for older set-ups; has no effect"),
    intSetting("maxitemshow", "100", {0, kIntMax}, SettingGroup::Desktop,
               SettingRead::AtProgramStart, &RunSettings::maxitemshow,
               "rows shown in the item list window"),
    textSetting("ignore", "", SettingGroup::Detection, SettingRead::AtProgramStart,
                &RunSettings::ignoreWords,
                "words separated by \",\": titles holding one are ignored, e.g. `ignore=二手,坏`"),
    flagSetting("filtkc", "0", SettingGroup::Detection, SettingRead::AtProgramStart,
                &RunSettings::filtkc, "state of the (hidden) stock filter box"),
    textSetting("itemhost", "item.example.com", SettingGroup::Alerts, SettingRead::AtProgramStart,
                &RunSettings::itemHost, "host[:port] of the item page opened for new items"),
    textSetting("mallhost", "detail.example.com", SettingGroup::Desktop,
                SettingRead::AtProgramStart, &RunSettings::mallHost,
                "host[:port] of the item page opened from the item list"),
    flagSetting("baseline", "0", SettingGroup::Detection, SettingRead::AtEveryRun,
                &RunSettings::baseline,
                "1: the first completed check of a search key (one with nothing stored) stores "
                "every item it lists and reports none (the row shows \"已建立基线\"); later checks "
                "report only what is new, also when that first check found nothing. Which keys "
                "had their first check is kept in `sys.mdb` (table `t_baseline`). Use it when you "
                "add searches and do not want 30 old items opened at once"),
    flagSetting("pagestop", "0", SettingGroup::Detection, SettingRead::AtEveryRun,
                &RunSettings::pagestop,
                "1: a check stops paging at the first page on which every item is already known "
                "(from the previous check or stored). Fewer requests (a quiet pass over 8-page "
                "searches needs one page each instead of eight), so you are blocked less. **Only "
                "for searches sorted newest first**: on any other order a new item listed below a "
                "page of known ones is missed"),
    flagSetting("dedupe", "0", SettingGroup::Detection, SettingRead::AtEveryRun,
                &RunSettings::dedupe,
                "1: an item already reported under any search key is not reported again when "
                "another search lists it (items taken silently by `baseline` or \"全部标记为已见\" "
                "do not count) (it is still stored under that key, so its item list shows it). "
                "Use it when your searches overlap. An index on the item id is made at start for "
                "it"),
    flagSetting("notify", "1", SettingGroup::Alerts, SettingRead::AtEveryRun, &RunSettings::notify,
                "1: each alert, and each watch that seems blocked, also sends a desktop "
                "notification; 0: none (a blocked watch is then told by the note in the window)"),
    intSetting("jitter", "0", {0, 100}, SettingGroup::Network, SettingRead::AtEveryRun,
               &RunSettings::jitter,
               "percent, 0 to 100: each wait between passes is made longer or shorter at random "
               "by up to this share, so requests do not land at exact multiples of the interval"),
    textSetting("cookiefile", "", SettingGroup::Network, SettingRead::AtEveryRun,
                &RunSettings::cookieFile,
                "a cookies.txt file in Netscape format, as browsers' cookie export extensions "
                "write it; its cookies go with every request. Cookies the marketplace sets during "
                "a run are kept in memory only: the file is never written. A bare name is looked "
                "for beside the program"),
    textSetting("useragent", "", SettingGroup::Network, SettingRead::AtEveryRun,
                &RunSettings::userAgent, "the User-Agent sent; empty sends `Tidewatch/<version>`"),
    textSetting("proxy", "", SettingGroup::Network, SettingRead::AtEveryRun, &RunSettings::proxy,
                "a proxy URL, `http://`, `https://` or `socks5://` (e.g. "
                "`socks5://127.0.0.1:1080`); empty leaves the usual `http_proxy`, `https_proxy`, "
                "`no_proxy` environment variables in charge"),
    intSetting("parallel", "1", {1, 32}, SettingGroup::Network, SettingRead::AtEveryRun,
               &RunSettings::parallel,
               "watches checked at once, 1 to 32 (larger values count as 32, smaller as 1). 1 "
               "asks one page at a time, as before; more shortens a pass at a real network's "
               "round trip about that many times (below)"),
    intSetting("maxrate", "0", {0, kIntMax}, SettingGroup::Network, SettingRead::AtEveryRun,
               &RunSettings::maxrate,
               "at most this many requests per second to one host, for a marketplace that "
               "counts them; 0: no limit"),
    flagSetting("keepwatching", "0", SettingGroup::Alerts, SettingRead::AtEveryRun,
                &RunSettings::keepWatching,
                "1: an alert does everything it does with 0 (row, alarm, pages, notification) "
                "but the run goes on, and a later new item alerts again; only \"停止\" ends a run. "
                "0: an alert ends the run"),
    intSetting("openlimit", "30", {0, kIntMax}, SettingGroup::Alerts, SettingRead::AtEveryRun,
               &RunSettings::openLimit,
               "how many item pages one alert opens in the browser; 0 opens none (the row, the "
               "notification and `onalert` still tell)"),
    flagSetting("tray", "0", SettingGroup::Desktop, SettingRead::AtEveryRun, &RunSettings::tray,
                "1: an icon in the desktop's tray; closing the window then hides it and Tidewatch "
                "goes on until \"退出\" in the icon's menu. Without a tray on the desktop it "
                "changes nothing (the status line says so once)"),
    textSetting("onalert", "", SettingGroup::Alerts, SettingRead::AtEveryRun, &RunSettings::onAlert,
                "a program and its arguments started for each alert, with the alert as JSON on "
                "its standard input (see \"Leaving it running\"); empty starts nothing"),
    intSetting("quietfactor", "5", {0, 1000}, SettingGroup::Alerts, SettingRead::AtEveryRun,
               &RunSettings::quietFactor,
               "a watch is told as \"可能已失效\" when it has found nothing for this many times "
               "its usual gap between finds (and at least `quietminutes`); 0: never"),
    intSetting("quietminutes", "360", {1, 525600}, SettingGroup::Alerts, SettingRead::AtEveryRun,
               &RunSettings::quietMinutes,
               "the least quiet time, in minutes, before a watch is told as \"可能已失效\""),
};

inline constexpr std::string_view kConfigFileName = "tidewatch.ini";

const SettingDef* findSetting(std::string_view key);

// The value a run uses for value read from the file for def (Int or Flag),
// and the user's note when the two differ or value lies outside the range.
struct RangeCheck
{
    int value = 0;
    std::string problem; // "" when value is in range
};
RangeCheck checkRange(const SettingDef& def, int value);

} // namespace tw
