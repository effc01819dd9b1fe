#pragma once

#include "engine/watchhealth.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

namespace tw {

// Wall time during which a watch was being checked and its checks succeeded.
// A closed program, a stopped run or a failing, paused or out-of-hours watch
// leaves a gap between spans.
struct CheckedSpan
{
    WallTime begin;
    WallTime end;

    bool operator==(const CheckedSpan&) const = default;
};

// Whether a watch has gone quiet ("可能已失效"), with what its tooltip tells.
struct QuietVerdict
{
    // Median gap between recent find events; none before kMinFindEvents.
    std::optional<std::chrono::seconds> usualGap;
    // Checked time since the last find event, up to now.
    std::chrono::seconds quietTime{0};
    bool quiet = false;

    bool operator==(const QuietVerdict&) const = default;
};

// Fewer find events than this give no usual gap, so the watch is never quiet.
inline constexpr std::size_t kMinFindEvents = 5;
// Only this many of the latest find events set the usual gap; a caller may
// keep no more.
inline constexpr std::size_t kUsualGapEvents = 20;

// findEvents: when checks of the watch stored at least one item as new or
// dedupe. Neither list needs to be sorted; spans may overlap and run past now.
// The watch is quiet once quietTime reaches both quietFactor times usualGap
// and quietMinutes; quietFactor 0 turns the warning off.
QuietVerdict quietVerdict(const std::vector<WallTime>& findEvents,
                          const std::vector<CheckedSpan>& checked, WallTime now, int quietFactor,
                          int quietMinutes);

// The spans sorted, with overlapping or touching ones merged and the time
// before the last find event cut away: what a caller persists, giving the
// same verdict as the spans it was given.
std::vector<CheckedSpan> compactSpans(std::vector<CheckedSpan> spans,
                                      const std::vector<WallTime>& findEvents);

} // namespace tw
