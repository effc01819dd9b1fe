#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace tw {

class CCore;

// The values read from the settings at start-up. interval and filtkc are
// rewritten from the window's controls while the worker reads interval, so
// those two are atomic; the rest is written only before any worker exists.
struct RunSettings
{
    std::atomic<int> interval{0};
    int kcbase = 0;
    int maxitemshow = 0;
    std::string ignoreWords;
    std::atomic<int> filtkc{0};
    std::string itemHost;
    std::string mallHost;
    // Read again at every Start, before the worker exists; see readRunOptions.
    int baseline = 0;
    int pagestop = 0;
    int dedupe = 0;
    int notify = 1;
    // How the worker asks the marketplace.
    int jitter = 0;
    std::string cookieFile;
    std::string userAgent;
    std::string proxy;
    // Watches checked at once, and requests per second to one host (0: no limit).
    int parallel = 1;
    int maxrate = 0;
    // Leaving it running.
    int keepWatching = 0;
    int openLimit = 30;
    int tray = 0;
    std::string onAlert;

    // In the order the window reads them at set-up.
    void readFrom(CCore& core);
    // The settings a user may change in the file between two runs, as the
    // file holds them now.
    void readRunOptions(CCore& core);
};

// The interval as typed into the window: whole seconds from 1 to kMaxInterval
// (a day; a longer wait is no watch). error is the message for the user, ""
// when value can be used.
struct IntervalInput
{
    int value = 0;
    std::string error;
};
inline constexpr int kMaxInterval = 86400;
IntervalInput parseInterval(std::string_view text);

} // namespace tw
