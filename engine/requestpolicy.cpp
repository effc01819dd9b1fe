#include "engine/requestpolicy.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <curl/curl.h>
#include <random>
#include <string>

namespace tw {

RequestPolicy::RequestPolicy(int jitterPercent, Uniform uniform)
    : m_jitterPercent(std::clamp(jitterPercent, 0, 100)), m_uniform(std::move(uniform))
{
    if (!m_uniform) {
        m_uniform = [engine = std::mt19937_64(std::random_device{}())]() mutable {
            return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
        };
    }
}

std::optional<std::chrono::seconds> RequestPolicy::parseRetryAfter(std::string_view value,
                                                                   WallTime now)
{
    if (value.empty()) {
        return std::nullopt;
    }
    if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        long long seconds = 0;
        const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), seconds);
        if (ec == std::errc::result_out_of_range) {
            return kMaxRetryAfter;
        }
        return std::chrono::seconds(std::min<long long>(seconds, kMaxRetryAfter.count()));
    }
    // curl_getdate reads the three date forms HTTP allows.
    const time_t when = curl_getdate(std::string(value).c_str(), nullptr);
    if (when == -1) {
        return std::nullopt;
    }
    // In seconds, without converting the date to the clock's own unit: a
    // date past 2262 does not fit nanoseconds.
    const long long nowSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    long long wait = 0;
    if (__builtin_sub_overflow(static_cast<long long>(when), nowSeconds, &wait)) {
        wait = when > 0 ? kMaxRetryAfter.count() : 0;
    }
    return std::chrono::seconds(std::clamp<long long>(wait, 0, kMaxRetryAfter.count()));
}

std::chrono::seconds RequestPolicy::backoffDelay(int n)
{
    std::chrono::seconds delay = kFirstBackoff;
    for (int i = 1; i < n && delay < kMaxBackoff; ++i) {
        delay *= 2;
    }
    return std::min(delay, kMaxBackoff);
}

void RequestPolicy::afterCheck(WatchHealth& health, bool ok, long status,
                               std::string_view retryAfter, WallTime wallNow, SteadyTime steadyNow)
{
    if (ok) {
        health.backoffStep = 0;
        health.pausedUntil.reset();
        health.pausedUntilWall.reset();
        return;
    }
    // A blocked watch asked again every pass only gets blocked harder.
    if (!pausesOn(status) && !health.looksBlocked()) {
        return;
    }
    std::chrono::seconds wait{0};
    if (pausesOn(status)) {
        wait = parseRetryAfter(retryAfter, wallNow).value_or(wait);
    }
    // A stated wait that is already over would mean no pause at all.
    if (wait <= std::chrono::seconds(0)) {
        wait = backoffDelay(++health.backoffStep);
    }
    health.pausedUntil = steadyNow + wait;
    health.pausedUntilWall = wallNow + wait;
}

std::chrono::milliseconds RequestPolicy::jittered(std::chrono::milliseconds wait)
{
    if (m_jitterPercent == 0 || wait.count() <= 0) {
        return wait;
    }
    const double share = m_jitterPercent / 100.0 * (2.0 * m_uniform() - 1.0);
    const auto varied = std::llround(static_cast<double>(wait.count()) * (1.0 + share));
    return std::chrono::milliseconds(std::max<long long>(varied, 0));
}

} // namespace tw
