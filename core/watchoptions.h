#pragma once

#include "core/result.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tw {

// Local hours of the day, as minutes after midnight; `to` before `from`
// crosses midnight. The end minute itself is outside.
struct ActiveHours
{
    int from = 0;
    int to = 0;

    bool contains(int minuteOfDay) const
    {
        return from < to ? minuteOfDay >= from && minuteOfDay < to
                         : minuteOfDay >= from || minuteOfDay < to;
    }
    bool operator==(const ActiveHours&) const = default;
};

// What a single watch sets for itself (its section of `_items.ini`); an
// unset field uses the global value.
struct WatchOptions
{
    std::optional<std::string> name;
    // Words separated by ",", kept as written; see watchoptions::words.
    std::optional<std::string> must;
    std::optional<std::string> ignore;
    // Seconds between the starts of two checks, at least 1.
    std::optional<int> interval;
    std::optional<ActiveHours> hours;
    std::optional<bool> paused;
    std::optional<bool> muted;
    std::optional<int> openLimit;
    std::optional<bool> baseline;
    // Comments, unknown keys and broken lines of the section, as written:
    // a hand edit the program does not understand survives its saves.
    std::vector<std::string> keptLines;

    bool operator==(const WatchOptions&) const = default;
};

namespace watchoptions {

// The file beside the list file at itemsFile.
std::string pathBeside(const std::string& itemsFile);

// A line ignored on reading, with why.
struct Problem
{
    int line = 0;
    std::string what;

    bool operator==(const Problem&) const = default;
};

struct Parsed
{
    // Lines before the first section (comments), kept on save.
    std::vector<std::string> head;
    // By URL, in file order; a URL with two sections gets one, the later
    // values winning.
    std::vector<std::pair<std::string, WatchOptions>> sections;
    std::vector<Problem> problems;

    const WatchOptions* find(const std::string& url) const;
};

Parsed parse(std::string_view text);
// The lines of the file, without line ends; sections with nothing in them
// are left out.
std::vector<std::string>
serialize(const std::vector<std::string>& head,
          const std::vector<std::pair<std::string, WatchOptions>>& sections);

// Minutes after local midnight at t.
int localMinuteOfDay(std::chrono::system_clock::time_point t);

// "HH:MM-HH:MM"; nullopt for anything else, or for an empty span.
std::optional<ActiveHours> parseHours(std::string_view text);
std::string hoursText(const ActiveHours& hours);

// The words of a "," list with blanks around each trimmed and empty ones
// dropped, joined by "," again.
std::string words(std::string_view list);

// A missing file reads as empty; an unreadable one fails with the reason.
Result<Parsed> readFile(const std::string& path);
// Written whole and atomically (temp file and rename).
Result<void> writeFile(const std::string& path, const std::vector<std::string>& lines);

// The problems as a line for the user; "" for none.
std::string problemsText(const std::string& path, const std::vector<Problem>& problems);

} // namespace watchoptions

} // namespace tw
