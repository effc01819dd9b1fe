#pragma once

#include <string_view>

namespace tw {

enum class SettingKind { Int, Text, Flag };

struct SettingDef
{
    std::string_view key;
    SettingKind kind;
    std::string_view defaultValue;
    std::string_view meaning;
};

// Every key of tidewatch.ini with its default; README.md lists the same.
inline constexpr SettingDef kSettings[] = {
    {"interval", SettingKind::Int, "30", "seconds between two polls of the watch list"},
    {"kcbase", SettingKind::Int, "0", "kept for older set-ups; has no effect"},
    {"maxitemshow", SettingKind::Int, "100", "rows shown in the item list window"},
    {"ignore", SettingKind::Text, "", "words separated by \",\": titles holding one are ignored"},
    {"filtkc", SettingKind::Flag, "0", "state of the (hidden) stock filter box"},
    {"itemhost", SettingKind::Text, "item.example.com",
     "host[:port] of the item page opened for new items"},
    {"mallhost", SettingKind::Text, "detail.example.com",
     "host[:port] of the item page opened from the item list"},
    {"baseline", SettingKind::Flag, "0",
     "1: the first check of a search with nothing stored stores its items and reports none"},
    {"pagestop", SettingKind::Flag, "0",
     "1: a check stops paging at a page of known items (searches sorted newest first only)"},
    {"dedupe", SettingKind::Flag, "0",
     "1: an item stored under any search key is not reported again"},
    {"notify", SettingKind::Flag, "1", "1: every alert also sends a desktop notification"},
    {"jitter", SettingKind::Int, "0",
     "percent by which each wait between polls varies at random, 0 to 100"},
    {"cookiefile", SettingKind::Text, "",
     "cookies.txt (Netscape format) sent with every request; never written"},
    {"useragent", SettingKind::Text, "", "User-Agent sent; empty: Tidewatch/<version>"},
    {"proxy", SettingKind::Text, "",
     "proxy URL (http://, https://, socks5://); empty: the usual environment variables"},
    {"parallel", SettingKind::Int, "1", "watches checked at once, 1 to 32"},
    {"maxrate", SettingKind::Int, "0", "requests per second to one host at most; 0: no limit"},
    {"keepwatching", SettingKind::Flag, "0", "1: an alert does not end the run"},
    {"openlimit", SettingKind::Int, "30", "item pages one alert opens in the browser; 0: none"},
    {"tray", SettingKind::Flag, "0",
     "1: an icon in the desktop's tray; closing the window hides it"},
    {"onalert", SettingKind::Text, "",
     "program and arguments started for each alert, the alert as JSON on its input"},
};

inline constexpr std::string_view kConfigFileName = "tidewatch.ini";

const SettingDef* findSetting(std::string_view key);

} // namespace tw
