#include "engine/quietwatch.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace tw {

namespace {

using std::chrono::duration_cast;
using std::chrono::seconds;

// Sorted, each time once: a find event recorded twice is still one check.
std::vector<WallTime> sortedEvents(std::vector<WallTime> events)
{
    std::sort(events.begin(), events.end());
    events.erase(std::unique(events.begin(), events.end()), events.end());
    return events;
}

// Gaps are wall time between find events, closed hours included: simple, and
// it errs towards a longer usual gap, so a watch checked only part of the day
// is warned about later rather than falsely.
std::optional<seconds> usualGap(const std::vector<WallTime>& sorted)
{
    if (sorted.size() < kMinFindEvents) {
        return std::nullopt;
    }
    const auto first = sorted.end() - std::ptrdiff_t(std::min(sorted.size(), kUsualGapEvents));
    std::vector<WallTime::duration> gaps;
    for (auto it = first + 1; it != sorted.end(); ++it) {
        gaps.push_back(*it - *(it - 1));
    }
    std::sort(gaps.begin(), gaps.end());
    const std::size_t mid = gaps.size() / 2;
    const WallTime::duration median =
        gaps.size() % 2 == 1 ? gaps[mid] : (gaps[mid - 1] + gaps[mid]) / 2;
    return duration_cast<seconds>(median);
}

// Sorted by begin, merged where they overlap or touch, and clipped to
// [from, to] when given; empty and inverted spans are dropped.
std::vector<CheckedSpan> mergedSpans(std::vector<CheckedSpan> spans, std::optional<WallTime> from,
                                     std::optional<WallTime> to)
{
    std::vector<CheckedSpan> clipped;
    for (CheckedSpan s : spans) {
        if (from) {
            s.begin = std::max(s.begin, *from);
        }
        if (to) {
            s.end = std::min(s.end, *to);
        }
        if (s.begin < s.end) {
            clipped.push_back(s);
        }
    }
    std::sort(clipped.begin(), clipped.end(),
              [](const CheckedSpan& a, const CheckedSpan& b) { return a.begin < b.begin; });
    std::vector<CheckedSpan> merged;
    for (const CheckedSpan& s : clipped) {
        if (!merged.empty() && s.begin <= merged.back().end) {
            merged.back().end = std::max(merged.back().end, s.end);
        } else {
            merged.push_back(s);
        }
    }
    return merged;
}

std::optional<WallTime> lastOf(const std::vector<WallTime>& sorted)
{
    return sorted.empty() ? std::nullopt : std::optional<WallTime>(sorted.back());
}

} // namespace

QuietVerdict quietVerdict(const std::vector<WallTime>& findEvents,
                          const std::vector<CheckedSpan>& checked, WallTime now, int quietFactor,
                          int quietMinutes)
{
    const std::vector<WallTime> events = sortedEvents(findEvents);

    QuietVerdict verdict;
    verdict.usualGap = usualGap(events);

    WallTime::duration quiet{0};
    for (const CheckedSpan& s : mergedSpans(checked, lastOf(events), now)) {
        quiet += s.end - s.begin;
    }
    verdict.quietTime = duration_cast<seconds>(quiet);

    // Compared in whole seconds, as the tooltip shows them.
    verdict.quiet = verdict.usualGap && quietFactor > 0 &&
                    verdict.quietTime >= quietFactor * *verdict.usualGap &&
                    verdict.quietTime >= std::chrono::minutes(quietMinutes);
    return verdict;
}

std::vector<CheckedSpan> compactSpans(std::vector<CheckedSpan> spans,
                                      const std::vector<WallTime>& findEvents)
{
    return mergedSpans(std::move(spans), lastOf(sortedEvents(findEvents)), std::nullopt);
}

} // namespace tw
