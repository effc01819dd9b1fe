#include "engine/quietwatch.h"

#include <chrono>
#include <gtest/gtest.h>
#include <optional>
#include <utility>
#include <vector>

namespace tw {
namespace {

using std::chrono::minutes;

// Every time in these tables is in minutes from here.
const WallTime kStart = std::chrono::system_clock::from_time_t(1792591351);

WallTime at(int minute)
{
    return kStart + minutes(minute);
}

std::vector<WallTime> times(const std::vector<int>& eventMinutes)
{
    std::vector<WallTime> out;
    for (int m : eventMinutes) {
        out.push_back(at(m));
    }
    return out;
}

std::vector<CheckedSpan> spans(const std::vector<std::pair<int, int>>& spanMinutes)
{
    std::vector<CheckedSpan> out;
    for (auto [begin, end] : spanMinutes) {
        out.push_back({at(begin), at(end)});
    }
    return out;
}

// Find events from minute 0 on, one after each gap.
std::vector<int> chain(const std::vector<int>& gaps)
{
    std::vector<int> out{0};
    for (int gap : gaps) {
        out.push_back(out.back() + gap);
    }
    return out;
}

// The minute now, the quiet factor and the quiet minutes.
struct Setting
{
    int now;
    int factor;
    int floorMinutes;
};

struct Want
{
    std::optional<int> usualGap;
    int quietTime;
    bool quiet;
};

struct Case
{
    const char* name;
    std::vector<int> events;
    std::vector<std::pair<int, int>> checked;
    Setting setting;
    Want want;
};

void expectVerdict(const Case& c)
{
    SCOPED_TRACE(c.name);
    const Setting& s = c.setting;
    const QuietVerdict v =
        quietVerdict(times(c.events), spans(c.checked), at(s.now), s.factor, s.floorMinutes);
    ASSERT_EQ(v.usualGap.has_value(), c.want.usualGap.has_value());
    if (c.want.usualGap) {
        EXPECT_EQ(*v.usualGap, minutes(*c.want.usualGap));
    }
    EXPECT_EQ(v.quietTime, minutes(c.want.quietTime));
    EXPECT_EQ(v.quiet, c.want.quiet);
}

// Hourly finds at 0..300: a usual gap of 60 minutes.
const std::vector<int> kHourly = {0, 60, 120, 180, 240, 300};

TEST(QuietWatch, usualGapIsTheMedianGapOfTheLatestFinds)
{
    // Old wide gaps, then 19 recent gaps whose median (10) is far from the
    // median of all 24 (100) and of the last 20 gaps (55).
    const std::vector<int> longHistory =
        chain({1000, 1000, 1000, 1000, 1000, 10, 100, 10, 100, 10, 100, 10,
               100,  10,   100,  10,   100,  10, 100, 10, 100, 10, 100, 10});
    const int last = longHistory.back();

    const Case cases[] = {
        {"four finds give no usual gap and are never quiet",
         {0, 60, 120, 180},
         {{0, 5000}},
         {5000, 1, 0},
         {std::nullopt, 4820, false}},
        {"a find recorded twice counts once",
         {0, 60, 120, 180, 180},
         {{0, 5000}},
         {5000, 1, 0},
         {std::nullopt, 4820, false}},
        {"no finds at all: every checked minute is quiet, still no warning",
         {},
         {{10, 70}},
         {100, 1, 0},
         {std::nullopt, 60, false}},
        // Gaps 10, 20, 30, 40, 500: the median is not the mean (120).
        {"odd gap count, one minute short of three times the median",
         {0, 10, 30, 60, 100, 600},
         {{600, 700}},
         {689, 3, 0},
         {30, 89, false}},
        {"odd gap count, reaching three times the median",
         {0, 10, 30, 60, 100, 600},
         {{600, 700}},
         {690, 3, 0},
         {30, 90, true}},
        // Gaps 10, 20, 40, 500: the median is halfway between 20 and 40.
        {"even gap count, three times the lower middle gap is not enough",
         {0, 10, 30, 70, 570},
         {{570, 700}},
         {630, 3, 0},
         {30, 60, false}},
        {"even gap count, short of three times the upper middle gap is enough",
         {0, 10, 30, 70, 570},
         {{570, 700}},
         {660, 3, 0},
         {30, 90, true}},
        {"only the latest 20 finds count",
         longHistory,
         {{last, last + 30}},
         {last + 30, 3, 0},
         {10, 30, true}},
    };
    for (const Case& c : cases) {
        expectVerdict(c);
    }
}

TEST(QuietWatch, quietCountsOnlyCheckedTimeSinceTheLastFind)
{
    const Case cases[] = {
        {"hours with the program closed do not count",
         kHourly,
         {{300, 360}, {1000, 1060}},
         {2000, 3, 0},
         {60, 120, false}},
        {"checked time after a closed spell adds up",
         kHourly,
         {{300, 360}, {1000, 1120}},
         {2000, 3, 0},
         {60, 180, true}},
        {"checked time before the last find does not count",
         kHourly,
         {{0, 250}, {280, 330}},
         {400, 1, 0},
         {60, 30, false}},
        {"a span running past now ends at now",
         kHourly,
         {{300, 10000}},
         {450, 3, 0},
         {60, 150, false}},
        {"a span beginning after now does not count",
         kHourly,
         {{300, 400}, {500, 600}},
         {450, 3, 0},
         {60, 100, false}},
        {"overlapping spans and finds out of order",
         {300, 0, 120, 60, 240, 180},
         {{400, 500}, {300, 350}, {320, 420}, {450, 480}},
         {600, 3, 0},
         {60, 200, true}},

        {"factor reached, quiet minutes not",
         kHourly,
         {{300, 420}},
         {420, 2, 180},
         {60, 120, false}},
        {"quiet minutes reached, factor not",
         kHourly,
         {{300, 450}},
         {450, 3, 120},
         {60, 150, false}},
        {"factor and quiet minutes both reached",
         kHourly,
         {{300, 480}},
         {480, 3, 180},
         {60, 180, true}},
        {"quiet factor 0 turns the warning off",
         kHourly,
         {{300, 100000}},
         {100000, 0, 0},
         {60, 99700, false}},

        {"quiet without a later find", kHourly, {{300, 1100}}, {1100, 3, 0}, {60, 800, true}},
        // Gaps 60 x5 and 700: the usual gap stays 60.
        {"a later find restarts the quiet time",
         {0, 60, 120, 180, 240, 300, 1000},
         {{300, 1100}},
         {1100, 3, 0},
         {60, 100, false}},
    };
    for (const Case& c : cases) {
        expectVerdict(c);
    }
}

TEST(QuietWatch, compactSpansKeepsTheVerdictWithFewerSpans)
{
    struct SpanCase
    {
        const char* name;
        std::vector<int> events;
        std::vector<std::pair<int, int>> input;
        std::vector<std::pair<int, int>> expected;
    };
    const SpanCase cases[] = {
        {"overlapping and touching spans merge, in order",
         {},
         {{30, 40}, {0, 10}, {5, 20}, {20, 25}},
         {{0, 25}, {30, 40}}},
        {"time before the last find goes",
         {50, 0},
         {{0, 10}, {40, 60}, {70, 80}},
         {{50, 60}, {70, 80}}},
        {"empty and inverted spans go", {}, {{10, 10}, {20, 15}, {30, 35}}, {{30, 35}}},
        {"spans after the last find stay apart",
         kHourly,
         {{300, 310}, {320, 330}},
         {{300, 310}, {320, 330}}},
    };
    for (const SpanCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<CheckedSpan> compacted = compactSpans(spans(c.input), times(c.events));
        EXPECT_EQ(compacted, spans(c.expected));
        for (int now : {0, 15, 35, 55, 75, 400}) {
            EXPECT_EQ(quietVerdict(times(c.events), compacted, at(now), 1, 0),
                      quietVerdict(times(c.events), spans(c.input), at(now), 1, 0))
                << "now " << now;
        }
    }
}

} // namespace
} // namespace tw
