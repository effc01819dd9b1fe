#pragma once

#include <atomic>
#include <string>

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

    // In the order the window reads them at set-up.
    void readFrom(CCore& core);
};

} // namespace tw
