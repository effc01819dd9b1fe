#pragma once

#include "engine/watchhealth.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string_view>

namespace tw {

// How politely the worker asks: pauses after "too many requests", and the
// jitter of the waits between passes. Requests themselves are never made in
// parallel: the worker sends them one after another on one reused handle.
class RequestPolicy
{
public:
    static constexpr std::chrono::seconds kFirstBackoff{30};
    static constexpr std::chrono::seconds kMaxBackoff{30 * 60};
    static constexpr std::chrono::seconds kMaxRetryAfter{60 * 60};

    // Returns a number in [0, 1).
    using Uniform = std::function<double()>;

    // jitterPercent is clamped to 0..100; uniform defaults to a seeded engine.
    explicit RequestPolicy(int jitterPercent = 0, Uniform uniform = {});

    // A Retry-After value (delay-seconds or an HTTP date) as the wait from
    // now, 0 to kMaxRetryAfter; nullopt when absent or unreadable.
    static std::optional<std::chrono::seconds> parseRetryAfter(std::string_view value,
                                                               WallTime now);
    // 30 s, 60 s, 120 s ... for the n-th back-off answer in a row, at most kMaxBackoff.
    static std::chrono::seconds backoffDelay(int n);
    // Answers that ask the client to slow down.
    static bool pausesOn(long status) { return status == 429 || status == 503; }

    // Updates the watch's back-off after a check whose blocked streak is
    // already counted: a success ends it; a 429 or 503 pauses the watch
    // until Retry-After says, and a watch that looks blocked rests too; with
    // no stated wait, or one of 0, for the next back-off step. Other failures
    // leave it as it is. The pause runs on the steady clock (steadyNow);
    // wallNow reads a stated date and gives the time shown.
    static void afterCheck(WatchHealth& health, bool ok, long status, std::string_view retryAfter,
                           WallTime wallNow, SteadyTime steadyNow);

    // wait made longer or shorter by up to the jitter share of itself.
    std::chrono::milliseconds jittered(std::chrono::milliseconds wait);

private:
    int m_jitterPercent;
    Uniform m_uniform;
};

} // namespace tw
