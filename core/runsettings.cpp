#include "core/runsettings.h"

#include "core/zuvira.h"

#include <algorithm>

namespace tw {

void RunSettings::readFrom(CCore& core)
{
    interval = core.getConfigInt("interval");
    kcbase = core.getConfigInt("kcbase");
    maxitemshow = core.getConfigInt("maxitemshow");
    ignoreWords = core.getConfigStr("ignore");
    filtkc = core.getConfigB("filtkc");
    itemHost = core.getConfigStr("itemhost");
    mallHost = core.getConfigStr("mallhost");
    readRunOptions(core);
}

void RunSettings::readRunOptions(CCore& core)
{
    // The file may have been edited by hand since the last read.
    core.reloadConfig();
    baseline = core.getConfigB("baseline");
    pagestop = core.getConfigB("pagestop");
    dedupe = core.getConfigB("dedupe");
    notify = core.getConfigB("notify");
    jitter = core.getConfigInt("jitter");
    cookieFile = core.getConfigStr("cookiefile");
    userAgent = core.getConfigStr("useragent");
    proxy = core.getConfigStr("proxy");
    parallel = core.getConfigInt("parallel");
    maxrate = core.getConfigInt("maxrate");
    keepWatching = core.getConfigB("keepwatching");
    openLimit = core.getConfigInt("openlimit");
    tray = core.getConfigB("tray");
    onAlert = core.getConfigStr("onalert");
}

IntervalInput parseInterval(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r\n";
    const std::size_t b = text.find_first_not_of(blanks);
    text = b == std::string_view::npos ? std::string_view()
                                       : text.substr(b, text.find_last_not_of(blanks) - b + 1);
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        text.remove_prefix(1);
    }
    const IntervalInput tooSmall{0, "间隔时间不能小于1秒！"};
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return tooSmall;
    }
    // Counted only as far as the limit, so that no number of digits overflows.
    long long value = 0;
    for (const char c : text) {
        value = std::min<long long>(value * 10 + (c - '0'), kMaxInterval + 1LL);
    }
    if (negative || value < 1) {
        return tooSmall;
    }
    if (value > kMaxInterval) {
        return {0, "间隔时间过大，最多 86400 秒！"};
    }
    return {static_cast<int>(value), {}};
}

} // namespace tw
