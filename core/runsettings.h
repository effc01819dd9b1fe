#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tw {

class CCore;

// The values read from tidewatch.ini, one field a key of kSettings
// (core/settings.h), which declares each key's default, range and when it is
// read; the defaults here are the same (tests/core/runsettings_test.cpp).
// A plain value: a run's worker gets its own copy at its start.
struct RunSettings
{
    int interval = 30;
    int kcbase = 0;
    int maxitemshow = 100;
    std::string ignoreWords;
    int filtkc = 0;
    std::string itemHost = "item.example.com";
    std::string mallHost = "detail.example.com";
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
    // When a watch that used to find items is told as quiet.
    int quietFactor = 5;
    int quietMinutes = 360;

    // A note for the user for each value the last read found outside its
    // range. The field then holds the value brought into range, but for the
    // interval, which the window checks itself when a run starts.
    std::vector<std::string> problems;

    // Every key.
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
