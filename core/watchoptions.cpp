#include "core/watchoptions.h"

#include "core/watchlist.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tw::watchoptions {

namespace {

std::string_view trimmed(std::string_view s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::optional<int> toInt(std::string_view s)
{
    int value = 0;
    const auto [end, err] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (err != std::errc() || end != s.data() + s.size() || s.empty()) {
        return std::nullopt;
    }
    return value;
}

std::optional<bool> toFlag(std::string_view s)
{
    if (s == "0" || s == "1") {
        return s == "1";
    }
    return std::nullopt;
}

// Minutes after midnight of "HH:MM".
std::optional<int> toMinute(std::string_view s)
{
    s = trimmed(s);
    const std::size_t colon = s.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2 || s.size() - colon != 3) {
        return std::nullopt;
    }
    const std::optional<int> h = toInt(s.substr(0, colon));
    const std::optional<int> m = toInt(s.substr(colon + 1));
    if (!h || !m || *h < 0 || *h > 23 || *m < 0 || *m > 59) {
        return std::nullopt;
    }
    return *h * 60 + *m;
}

// Sets the field key names; the reason when the value is no value of it,
// nullopt for a key that is not ours.
std::optional<std::string> setKey(WatchOptions& o, std::string_view key, std::string_view value)
{
    const auto number = [&](std::optional<int>& field, int least) -> std::string {
        const std::optional<int> n = toInt(value);
        if (!n || *n < least) {
            return "“" + std::string(key) + "” 应为不小于 " + std::to_string(least) + " 的整数";
        }
        field = n;
        return {};
    };
    const auto flag = [&](std::optional<bool>& field) -> std::string {
        const std::optional<bool> b = toFlag(value);
        if (!b) {
            return "“" + std::string(key) + "” 应为 0 或 1";
        }
        field = b;
        return {};
    };
    if (key == "name") {
        o.name = std::string(value);
    } else if (key == "must") {
        o.must = std::string(value);
    } else if (key == "ignore") {
        o.ignore = std::string(value);
    } else if (key == "interval") {
        return number(o.interval, 1);
    } else if (key == "hours") {
        const std::optional<ActiveHours> h = parseHours(value);
        if (!h) {
            return "“hours” 应为 HH:MM-HH:MM（起止不同）";
        }
        o.hours = h;
    } else if (key == "paused") {
        return flag(o.paused);
    } else if (key == "muted") {
        return flag(o.muted);
    } else if (key == "openlimit") {
        return number(o.openLimit, 0);
    } else if (key == "baseline") {
        return flag(o.baseline);
    } else {
        return std::nullopt;
    }
    return std::string();
}

Failure errnoFailure(const std::string& what, int err)
{
    return Failure{what + ": " + std::strerror(err)};
}

} // namespace

std::string pathBeside(const std::string& itemsFile)
{
    return (std::filesystem::path(itemsFile).parent_path() / "_items.ini").string();
}

const WatchOptions* Parsed::find(const std::string& url) const
{
    for (const auto& [u, options] : sections) {
        if (u == url) {
            return &options;
        }
    }
    return nullptr;
}

Parsed parse(std::string_view text)
{
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    Parsed out;
    WatchOptions* section = nullptr;
    int number = 0;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++number;
        if (raw.ends_with('\r')) {
            raw.remove_suffix(1);
        }
        const std::string_view line = trimmed(raw);
        std::vector<std::string>& keep = section ? section->keptLines : out.head;
        if (line.empty()) {
            continue;
        }
        if (line.front() == '#' || line.front() == ';') {
            keep.emplace_back(raw);
            continue;
        }
        const auto report = [&](std::string what) {
            out.problems.push_back({number, std::move(what)});
            keep.emplace_back(raw);
        };
        if (line.front() == '[') {
            const std::size_t close = line.rfind(']');
            if (close == std::string_view::npos || close == 1) {
                report("节标题应为 [网址]");
                continue;
            }
            const std::string url(line.substr(1, close - 1));
            auto it = std::find_if(out.sections.begin(), out.sections.end(),
                                   [&](const auto& s) { return s.first == url; });
            if (it == out.sections.end()) {
                out.sections.emplace_back(url, WatchOptions{});
                it = std::prev(out.sections.end());
            }
            section = &it->second;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos || trimmed(line.substr(0, eq)).empty()) {
            report("应为 键=值");
            continue;
        }
        if (!section) {
            report("键值行不在任何 [网址] 节下");
            continue;
        }
        const std::string_view key = trimmed(line.substr(0, eq));
        const std::optional<std::string> bad = setKey(*section, key, trimmed(line.substr(eq + 1)));
        if (!bad) {
            section->keptLines.emplace_back(raw);
        } else if (!bad->empty()) {
            report(*bad);
        }
    }
    return out;
}

std::vector<std::string>
serialize(const std::vector<std::string>& head,
          const std::vector<std::pair<std::string, WatchOptions>>& sections)
{
    std::vector<std::string> lines = head;
    for (const auto& [url, o] : sections) {
        if (o == WatchOptions{}) {
            continue;
        }
        if (!lines.empty()) {
            lines.emplace_back();
        }
        lines.push_back("[" + url + "]");
        const auto put = [&](const char* key, const std::string& value) {
            lines.push_back(std::string(key) + "=" + value);
        };
        if (o.name) {
            put("name", *o.name);
        }
        if (o.must) {
            put("must", *o.must);
        }
        if (o.ignore) {
            put("ignore", *o.ignore);
        }
        if (o.interval) {
            put("interval", std::to_string(*o.interval));
        }
        if (o.hours) {
            put("hours", hoursText(*o.hours));
        }
        if (o.paused) {
            put("paused", *o.paused ? "1" : "0");
        }
        if (o.muted) {
            put("muted", *o.muted ? "1" : "0");
        }
        if (o.openLimit) {
            put("openlimit", std::to_string(*o.openLimit));
        }
        if (o.baseline) {
            put("baseline", *o.baseline ? "1" : "0");
        }
        lines.insert(lines.end(), o.keptLines.begin(), o.keptLines.end());
    }
    return lines;
}

int localMinuteOfDay(std::chrono::system_clock::time_point t)
{
    const std::time_t at = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    localtime_r(&at, &local);
    return local.tm_hour * 60 + local.tm_min;
}

std::optional<ActiveHours> parseHours(std::string_view text)
{
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        return std::nullopt;
    }
    const std::optional<int> from = toMinute(text.substr(0, dash));
    const std::optional<int> to = toMinute(text.substr(dash + 1));
    // A span from a time to itself would mean all day or never.
    if (!from || !to || *from == *to) {
        return std::nullopt;
    }
    return ActiveHours{*from, *to};
}

std::string hoursText(const ActiveHours& hours)
{
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d-%02d:%02d", hours.from / 60, hours.from % 60,
                  hours.to / 60, hours.to % 60);
    return buffer;
}

std::string words(std::string_view list)
{
    std::string out;
    while (true) {
        const std::size_t comma = list.find(',');
        const std::string_view word = trimmed(list.substr(0, comma));
        if (!word.empty()) {
            out += (out.empty() ? "" : ",") + std::string(word);
        }
        if (comma == std::string_view::npos) {
            return out;
        }
        list.remove_prefix(comma + 1);
    }
}

Result<Parsed> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            return Parsed{};
        }
        return errnoFailure(path, errno);
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        return errnoFailure(path, errno);
    }
    return parse(text.str());
}

Result<void> writeFile(const std::string& path, const std::vector<std::string>& lines)
{
    // The list file's writer: CR LF lines, temp file, fsync and rename.
    return watchlist::save(path, lines);
}

std::string problemsText(const std::string& path, const std::vector<Problem>& problems)
{
    std::string text;
    for (const Problem& p : problems) {
        text += (text.empty() ? path + " 有未采用的行：" : "；") + "第 " + std::to_string(p.line) +
                " 行" + p.what;
    }
    return text.empty() ? text : text + "。";
}

} // namespace tw::watchoptions
